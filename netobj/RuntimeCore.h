// One runtime instance's machinery, tying the layers together: its space id, export and
// surrogate tables, calling-side pool, serving side (started on first export), the holder's
// leases and the owner's finalizer, and the call, reply and reference operations that the public
// functions in NetObj.h forward to.
//
// A message body starts with the sender's space id. A call then names the object called
// (space, object number) and the caller's stub protocol; a reply carries the values the
// dispatcher wrote; an error reply carries an atom list, which the caller raises as NetObj::Error.
//
// Object lifetime across spaces (ExportTable explains the counting, LeaseKeeper the holder's
// side): writing one of our objects to a peer counts a holding before the message leaves; a
// reference received from its owner is counted on its surrogate at no extra cost; one received
// from a third party is registered with its owner by one call before GetRef returns (the sender
// keeps its own surrogate alive meanwhile, see CallConnection::in_transit).
//
// Ownership: held by a Runtime through a shared_ptr; surrogate links refer to it weakly, and an
// open call keeps it alive until CloseCall. Thread-safe: every method may be called from any
// thread, except that one CallConnection is used by one thread at a time.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "netobj/CallConnection.h"
#include "netobj/ConnectionPool.h"
#include "netobj/ExportTable.h"
#include "netobj/Finalizer.h"
#include "netobj/LeaseKeeper.h"
#include "netobj/NetObj.h"
#include "netobj/RuntimeOptions.h"
#include "netobj/Server.h"
#include "netobj/SurrogateLink.h"
#include "netobj/SurrogateTable.h"
#include "netobj/port/Mutex.h"

namespace NetObj {

class RuntimeCore final : public std::enable_shared_from_this<RuntimeCore>, private SurrogateHome {
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
  LeaseKeeper& leases() { return leases_; }
  // This host's addresses (port 0), read once at start.
  const std::vector<Endpoint>& local_addresses() const { return local_; }

  // Starts serving if not yet; returns the port. Throws NetObj::Error if it cannot listen.
  uint16_t Listen();
  // The addresses written into references to our objects (Listen first).
  std::vector<Endpoint> Advertised();
  uint64_t accepted_connections() const;
  std::size_t open_serving_connections() const;
  // Stops serving and leasing, wakes callers blocked in calls (they raise Thread::Alerted),
  // drops exports.
  void Shutdown();
  bool stopping() const { return stopping_.load(); }

  CallConnection& OpenCall(const std::shared_ptr<SurrogateLink>& link, int32_t stub_prot);
  DataFormat WaitForReply(CallConnection& c);
  void CloseCall(CallConnection& c, bool reuse);
  void BeginReply(CallConnection& c);

  void PutRef(CallConnection& c, const Ref& r);
  Ref GetRef(CallConnection& c, const TypeCode& expected);

  // How a received reference was accounted for by its owner.
  enum class Receipt {
    kCounted,       // from the owner, counted for us under the reference's epoch
    kThirdParty,    // from someone else: registered with the owner before use
    kUnregistered,  // handed over out of band (Runtime::ObjectOf): the owner pinned the object
  };
  // The local object or surrogate for a received reference. `via` is where its owner was
  // reached, when it came from its owner.
  std::shared_ptr<T> ObjectFor(const ObjectRef& ref, const std::optional<Endpoint>& via,
                               Receipt how);
  // A surrogate for the well-known object `id` of whichever runtime listens at `addresses`.
  std::shared_ptr<T> WellKnownSurrogate(std::vector<Endpoint> addresses, uint64_t id,
                                        std::string_view type);

  // Objects no peer holds any more, let go on the finalizer's thread.
  void LetGo(ExportTable::Dropped dropped) { finalizer_.Add(std::move(dropped)); }

 private:
  class ServingSession;

  void SurrogateGone(const WireId& id, uint64_t epoch, uint64_t receipts) override;

  std::unique_ptr<Server::Session> OpenSession(const Socket& s, const Endpoint& peer, uint64_t id);
  std::vector<uint8_t> Refusal(const Endpoint& peer);
  bool IsQuick(const FrameHeader& h, std::span<const uint8_t> body) const;
  bool ServeRequest(CallConnection& c, const FrameHeader& h, std::vector<uint8_t>& body,
                    bool on_poller);
  bool ServeOne(CallConnection& c, const FrameHeader& h);
  void Dispatch(CallConnection& c, const FrameHeader& h);
  void ServeLease(CallConnection& c, int32_t stub_prot);
  bool SendError(CallConnection& c, const AtomList& atoms);
  void Tick();
  void Unsend(CallConnection& c);
  uint64_t RegisterReceipt(const SurrogateLink& link);
  std::unique_ptr<CallConnection> Connect(SurrogateLink& link);
  Socket ConnectSocket(SurrogateLink& link, Endpoint* peer);
  FrameHeader Exchange(CallConnection& c);

  const RuntimeOptions options_;
  const uint64_t space_id_;
  const std::vector<Endpoint> local_;
  ExportTable exports_;
  SurrogateTable surrogates_;
  ConnectionPool pool_;
  LeaseKeeper leases_{options_, space_id_, surrogates_};
  Finalizer finalizer_;
  std::atomic<bool> stopping_{false};
  mutable Mutex mu_;
  std::unique_ptr<Server> server_ GUARDED_BY(mu_);
  std::vector<Endpoint> advertised_ GUARDED_BY(mu_);
  std::chrono::steady_clock::time_point last_tick_;  // the server's thread only
};

// Whether the owner of `obj` (a surrogate) may still be alive; true for local objects. Checks
// with the owner, so it may take a few seconds.
bool OwnerMayBeAlive(const T& obj);
// Whether the owner of `obj` is already known to be dead; never waits.
bool OwnerKnownDead(const T& obj);

}  // namespace NetObj
