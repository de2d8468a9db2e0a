// The network object runtime's public face: the base type of every remote object, the values
// that travel by reference (texts and two-dimensional integer arrays), the failures that cross
// from the runtime, and the operations that stub units and programs call.
//
// Implemented in Calls.cc (the calls and values), Types.cc (T, TypeCode), StubRegistry.cc
// (RegisterStubs) and Runtime.cc (the agent operations). Ownership: objects travel as
// std::shared_ptr. A local object written to a peer is kept alive by the runtime while some peer
// holds a surrogate of it (or may still receive one); once none does (the surrogates died, or their
// processes did: within the 8 s lease period at most), the runtime lets go of it, and if the
// program holds it no more its destructor runs on a runtime thread, outside the runtime's locks. A
// surrogate belongs to whoever holds it. Texts and arrays are copied on receipt: the receiver owns
// its copy.
//
// Thread safety: every free function here may be called from any thread. A CallConnection is
// used by one thread at a time (the caller that opened it, or the runtime thread that serves it).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "netobj/wire/Values.h"

namespace NetObj {

class SurrogateLink;  // the runtime's record of which remote object a surrogate stands for

// The base of every remote object type. An object is either local (its methods run in this
// process) or a surrogate made by the runtime (its methods become calls to the owner).
class T {
 public:
  T() = default;
  T(const T&) = delete;
  T& operator=(const T&) = delete;
  virtual ~T();

  // The remote types this object implements, most specific first, ending with "NetObj.T".
  // The owner sends this list so that a receiver builds the most specific surrogate it has
  // stubs for.
  virtual std::span<const std::string_view> RemoteTypes() const;

  bool IsSurrogate() const { return link_ != nullptr; }
  // For surrogates only; null on a local object. Set once by the runtime when it makes the
  // surrogate, before anyone else can see it.
  const std::shared_ptr<SurrogateLink>& link() const { return link_; }
  void set_link(std::shared_ptr<SurrogateLink> link) { link_ = std::move(link); }

 private:
  std::shared_ptr<SurrogateLink> link_;
};

// What PutRef writes and GetRef returns. A null pointer in any alternative is the null
// reference.
using Ref = std::variant<std::nullptr_t, std::shared_ptr<T>, Text, Int32Array>;

// What GetRef accepts of a received reference. Null passes every check.
class TypeCode {
 public:
  static TypeCode Any() { return TypeCode(Kind::kAny, nullptr); }
  static TypeCode OfText() { return TypeCode(Kind::kText, nullptr); }
  static TypeCode OfInt32Array() { return TypeCode(Kind::kInt32Array, nullptr); }
  // Objects of remote type R or any subtype of it.
  template <class R>
  static TypeCode OfObject() {
    return TypeCode(Kind::kObject, [](const NetObj::T& o) {
      // Every object is a NetObj::T; the cast would be a no-op compared against null.
      if constexpr (std::is_same_v<R, NetObj::T>) {
        return (void)o, true;
      } else {
        return dynamic_cast<const R*>(&o) != nullptr;
      }
    });
  }

  bool Accepts(const Ref& ref) const;

 private:
  enum class Kind { kAny, kText, kInt32Array, kObject };
  TypeCode(Kind kind, bool (*is_instance)(const NetObj::T&))
      : kind_(kind), is_instance_(is_instance) {}
  Kind kind_;
  bool (*is_instance_)(const NetObj::T&);
};

// One remote call in progress: on the calling side from OpenCall to CloseCall, on the serving
// side for the life of one dispatcher run. Owned by the runtime.
class CallConnection;

// Which agent to talk to; LocateAgent makes one.
struct AgentHandle {
  std::string host;
  uint16_t port = 0;
};

// Serves one incoming call on a local object: reads the request from c, runs the method,
// writes the reply after BeginReply. May raise NetObj::Error, Rd::Failure, Wr::Failure,
// Thread::Alerted back into the runtime.
using Dispatcher = void (*)(CallConnection& c, T& obj, DataFormat rep, int32_t stubProt);
// Makes an empty surrogate of one remote type; the runtime links it to the remote object.
using SurrogateFactory = std::shared_ptr<T> (*)();

// Received objects of remote type `remoteType` (or a subtype without stubs of its own) become
// surrogates made by `makeSurrogate`; incoming calls on local objects of the type run
// `dispatch`. Called once per stub unit during static initialisation.
void RegisterStubs(std::string_view remoteType, int32_t stubProt, SurrogateFactory makeSurrogate,
                   Dispatcher dispatch);

// Calling side. OpenCall starts a call on the surrogate `obj`; the request may then be written.
// CloseCall ends every call that OpenCall opened, also on failure, exactly once; `reuse` is
// true only after the whole reply was read, and returns the connection to the pool.
CallConnection& OpenCall(T& obj, int32_t stubProt);
DataFormat WaitForReply(CallConnection& c);
void CloseCall(CallConnection& c, bool reuse);

// Serving side: the reply's values follow.
void BeginReply(CallConnection& c);

// Values are read by the peer in the order written.
void PutInt32(CallConnection& c, int32_t v);
void PutInteger(CallConnection& c, int64_t v);
void PutBoolean(CallConnection& c, bool v);
void PutReal(CallConnection& c, float v);
void PutRef(CallConnection& c, const Ref& r);

// Integer reads fail with NetObj::Error when the value lies outside [lowest, highest].
int32_t GetInt32(CallConnection& c, DataFormat rep, int32_t lowest, int32_t highest);
int64_t GetInteger(CallConnection& c, DataFormat rep, int64_t lowest, int64_t highest);
bool GetBoolean(CallConnection& c);
float GetReal(CallConnection& c, DataFormat rep);
// A network object arrives as a surrogate (or the local object itself, when it is ours), a
// text or array as a new copy. A reference that `expected` does not accept is a NetObj::Error.
Ref GetRef(CallConnection& c, DataFormat rep, const TypeCode& expected);

[[noreturn]] void FailBadData();
[[noreturn]] void FailCommunication(const AtomList& atoms);

// Agents: one per host, exporting objects by name.
AgentHandle LocateAgent(std::string_view host);
// Without an agent: the local host's. Exports are accepted only from the agent's own host.
void ExportObject(std::string_view name, std::shared_ptr<T> obj,
                  const std::optional<AgentHandle>& agent = std::nullopt);
// Null when nothing is exported under `name`.
std::shared_ptr<T> ImportObject(std::string_view name, const AgentHandle& agent);

}  // namespace NetObj
