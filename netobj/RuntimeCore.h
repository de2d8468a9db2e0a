// One runtime instance's machinery, tying the layers together: its space id, export and
// surrogate tables, calling-side pool, serving side (started on first export), and the call,
// reply and reference operations that the public functions in NetObj.h forward to.
//
// A message body starts with the sender's space id. A call then names the object called
// (space, object number) and the caller's stub protocol; a reply carries the values the
// dispatcher wrote; an error reply carries an atom list, which the caller raises as NetObj::Error.
//
// Ownership: held by a Runtime through a shared_ptr; surrogate links refer to it weakly, and an
// open call keeps it alive until CloseCall. Thread-safe: every method may be called from any
// thread, except that one CallConnection is used by one thread at a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "netobj/CallConnection.h"
#include "netobj/ConnectionPool.h"
#include "netobj/ExportTable.h"
#include "netobj/NetObj.h"
#include "netobj/RuntimeOptions.h"
#include "netobj/Server.h"
#include "netobj/SurrogateLink.h"
#include "netobj/SurrogateTable.h"

namespace NetObj {

class RuntimeCore : public std::enable_shared_from_this<RuntimeCore> {
 public:
  explicit RuntimeCore(const RuntimeOptions& options);
  ~RuntimeCore();
  RuntimeCore(const RuntimeCore&) = delete;
  RuntimeCore& operator=(const RuntimeCore&) = delete;

  const RuntimeOptions& options() const { return options_; }
  uint64_t space_id() const { return space_id_; }
  ExportTable& exports() { return exports_; }
  SurrogateTable& surrogates() { return surrogates_; }
  ConnectionPool& pool() { return pool_; }
  // This host's addresses (port 0), read once at start.
  const std::vector<Endpoint>& local_addresses() const { return local_; }

  // Starts serving if not yet; returns the port. Throws NetObj::Error if it cannot listen.
  uint16_t Listen();
  // The addresses written into references to our objects (Listen first).
  std::vector<Endpoint> Advertised();
  uint64_t accepted_connections() const;
  // Stops serving, wakes callers blocked in calls (they raise Thread::Alerted), drops exports.
  void Shutdown();
  bool stopping() const { return stopping_.load(); }

  CallConnection& OpenCall(const std::shared_ptr<SurrogateLink>& link, int32_t stub_prot);
  DataFormat WaitForReply(CallConnection& c);
  void CloseCall(CallConnection& c, bool reuse);
  void BeginReply(CallConnection& c);

  void PutRef(CallConnection& c, const Ref& r);
  Ref GetRef(CallConnection& c, const TypeCode& expected);

  // The local object or surrogate for a received reference. `via` is where its owner was
  // reached, when it came from its owner.
  std::shared_ptr<T> ObjectFor(const ObjectRef& ref, const std::optional<Endpoint>& via);
  // A surrogate for the well-known object `id` of whichever runtime listens at `addresses`.
  std::shared_ptr<T> WellKnownSurrogate(std::vector<Endpoint> addresses, uint64_t id,
                                        std::string_view type);

 private:
  void Serve(const Socket& s, const Endpoint& peer);
  bool ServeOne(CallConnection& c, const FrameHeader& h);
  void Dispatch(CallConnection& c, const FrameHeader& h);
  bool SendError(CallConnection& c, const AtomList& atoms);
  void Refuse(const Socket& s, const Endpoint& peer);
  std::unique_ptr<CallConnection> Connect(SurrogateLink& link);
  Socket ConnectSocket(SurrogateLink& link, Endpoint* peer);
  FrameHeader Exchange(CallConnection& c);
  void CommitHolders(CallConnection& c);

  const RuntimeOptions options_;
  const uint64_t space_id_;
  const std::vector<Endpoint> local_;
  ExportTable exports_;
  SurrogateTable surrogates_;
  ConnectionPool pool_;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mu_;  // guards server_ and advertised_
  std::unique_ptr<Server> server_;
  std::vector<Endpoint> advertised_;
};

}  // namespace NetObj
