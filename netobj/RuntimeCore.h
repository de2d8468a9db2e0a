// One runtime instance's core, which both sides share: its space id and options, the export and
// surrogate tables, the holder's leases and the owner's finalizer, and turning references into
// objects and back; the calling side (CallingSide.h) and the serving side (ServingSide.h, started
// on first export) are its parts. The public functions in NetObj.h forward to whichever part owns
// the operation (Calls.cc).
//
// Object lifetime across spaces (ExportTable explains the counting, LeaseKeeper the holder's
// side): writing one of our objects to a peer counts a holding before the message leaves; a
// reference received from its owner is counted on its surrogate at no extra cost; one received
// from a third party is registered with its owner by one call before GetRef returns (the sender
// keeps its own surrogate alive meanwhile, see CallConnection::in_transit).
//
// Implemented in RuntimeCore.cc. Ownership: held by a Runtime through a shared_ptr; surrogate
// links refer to it weakly, and an open call keeps it alive until CloseCall. Thread-safe: every
// method may be called from any thread, except that one CallConnection is used by one thread at
// a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "netobj/CallConnection.h"
#include "netobj/CallingSide.h"
#include "netobj/ExportTable.h"
#include "netobj/Finalizer.h"
#include "netobj/LeaseKeeper.h"
#include "netobj/NetObj.h"
#include "netobj/RuntimeOptions.h"
#include "netobj/ServingSide.h"
#include "netobj/SurrogateLink.h"
#include "netobj/SurrogateTable.h"
#include "netobj/Transport.h"

namespace NetObj {

class RuntimeCore final : public std::enable_shared_from_this<RuntimeCore>, private SurrogateHome {
 public:
  explicit RuntimeCore(const RuntimeOptions& options);
  ~RuntimeCore();
  RuntimeCore(const RuntimeCore&) = delete;
  RuntimeCore& operator=(const RuntimeCore&) = delete;

  const RuntimeOptions& options() const { return options_; }
  // How connections carry their bytes, from the key setting read at start.
  Transport& transport() const { return *transport_; }
  uint64_t space_id() const { return space_id_; }
  ExportTable& exports() { return exports_; }
  SurrogateTable& surrogates() { return surrogates_; }
  LeaseKeeper& leases() { return leases_; }
  CallingSide& calling() { return calling_; }
  ServingSide& serving() { return serving_; }
  // This host's addresses (port 0), read once at start.
  const std::vector<Endpoint>& local_addresses() const { return local_; }

  // Stops leasing and serving, wakes callers blocked in calls (they raise Thread::Alerted),
  // drops exports.
  void Shutdown();
  bool stopping() const { return stopping_.load(); }

  // Either side's values by reference: ours counted for the peer, or kept in transit.
  void PutRef(CallConnection& c, const Ref& r);
  Ref GetRef(CallConnection& c, const TypeCode& expected);
  // Takes back what the message's references counted: it never left whole.
  void Unsend(CallConnection& c);

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
  void SurrogateGone(const WireId& id, uint64_t epoch, uint64_t receipts) override;

  const RuntimeOptions options_;
  const uint64_t space_id_;
  const std::vector<Endpoint> local_;
  const std::shared_ptr<Transport> transport_;
  ExportTable exports_;
  SurrogateTable surrogates_;
  CallingSide calling_{*this};
  LeaseKeeper leases_{options_, *transport_, space_id_, surrogates_};
  Finalizer finalizer_;
  std::atomic<bool> stopping_{false};
  // Last, so that the server and its sessions end first.
  ServingSide serving_{*this};
};

// Whether the owner of `obj` (a surrogate) may still be alive; true for local objects. Checks
// with the owner, so it may take a few seconds.
bool OwnerMayBeAlive(const T& obj);
// Whether the owner of `obj` is already known to be dead; never waits.
bool OwnerKnownDead(const T& obj);

}  // namespace NetObj
