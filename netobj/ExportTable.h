// The objects this runtime has handed out, and which peers (spaces) hold surrogates of them.
//
// Counting: the owner counts every send of a reference to a peer P before the message leaves
// (`Send`), and P counts every reference it receives from the owner on the surrogate it makes
// or already has. When the surrogate dies, P releases the object with the number of receipts
// that surrogate absorbed. The owner keeps P as a holder while sends exceed releases, so a
// release for an old surrogate can never free an object sent again meanwhile: that later send
// is counted and not yet released, whatever order the messages arrive in. A send that never
// left whole is taken back (`Unsend`). A reference that reaches P through a third party is
// counted by P's synchronous registration with the owner (`Register`).
//
// Epochs: each holder record has an epoch, new for every record (a table-wide counter). When a
// holder's lease ends (its lease connection closed, no renewal within the lease period, or a new
// lease connection replaced it) the record and every holding in it are dropped; counts and
// releases that name the old epoch are then ignored, and the holder re-registers what it still
// holds under the new one. References carry the epoch they were counted under.
//
// Lifetime: the table holds every exported object weakly (its number stays valid while it
// lives) and strongly while it is pinned (well-known objects, RefOf) or held by some peer. An
// object whose last holding ends is returned as "dropped" to the caller, which lets it go
// outside every lock: its destructor runs there if nothing local holds it.
//
// Numbers below kFirstOrdinaryId are well-known (reachable by calls addressed to space 0);
// ordinary exports count up from kFirstOrdinaryId and are never reused.
//
// Implemented in ExportTable.cc. Thread-safe: every method takes the table's lock; no object code
// runs under it.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "netobj/NetObj.h"
#include "netobj/port/Mutex.h"

namespace NetObj {

inline constexpr uint64_t kFirstOrdinaryId = 16;

class ExportTable {
 public:
  using Clock = std::chrono::steady_clock;
  using Dropped = std::vector<std::shared_ptr<T>>;

  struct Target {
    std::shared_ptr<T> object;
    Dispatcher dispatch = nullptr;
  };
  struct Sent {
    uint64_t id = 0;
    uint64_t epoch = 0;
  };
  struct Release {
    uint64_t id = 0;
    uint64_t epoch = 0;
    uint64_t count = 0;
  };

  // The object's number, exporting it (weakly) on first use.
  uint64_t Export(const std::shared_ptr<T>& obj);
  // Exported and kept alive until Clear, whoever holds it.
  uint64_t Pin(const std::shared_ptr<T>& obj);
  void ExportWellKnown(uint64_t id, const std::shared_ptr<T>& obj);

  // One send of `obj` to `space` (not 0) is about to leave: counted under the holder's epoch.
  Sent Send(const std::shared_ptr<T>& obj, uint64_t space, Clock::time_point now);
  // That send never left whole.
  Dropped Unsend(const Sent& sent, uint64_t space);
  // A registration by `space` of a reference it received from a third party; the epoch it was
  // counted under, or nothing when the object is not alive here.
  std::optional<uint64_t> Register(uint64_t id, uint64_t space, Clock::time_point now);
  // A lease renewal from `space` over server connection `connection`: its epoch. A renewal over
  // another connection than the last one starts a new lease (new epoch, old holdings dropped
  // into *dropped).
  uint64_t Renew(uint64_t space, uint64_t connection, Clock::time_point now, Dropped* dropped,
                 uint64_t* replaced_connection);
  Dropped Released(uint64_t space, std::span<const Release> releases);
  // A holder that holds nothing ends its lease (true); one still counted keeps it (false).
  bool EndLease(uint64_t space, uint64_t connection);
  // The lease connection `connection` of `space` closed: its holdings end.
  Dropped LeaseClosed(uint64_t space, uint64_t connection);
  // Ends the leases not renewed within `period`; their connections go into *connections.
  // Also forgets exported objects that died.
  Dropped Expire(Clock::time_point now, Clock::duration period, std::vector<uint64_t>* connections);
  // Every holder counts as heard from now (after a pause of this process's own).
  void HeardFromAll(Clock::time_point now);

  std::optional<Target> Find(uint64_t id) const;
  // Entries that keep their object alive (pinned or held).
  std::size_t size() const;
  std::set<uint64_t> HoldersOf(const T* obj) const;
  // Holders whose lease connection is open.
  std::size_t leased_holders() const;
  // Drops every entry (the runtime's shutdown), breaking cycles through exported objects.
  void Clear();

 private:
  struct Entry {
    std::weak_ptr<T> weak;
    std::shared_ptr<T> strong;  // while pinned or held
    Dispatcher dispatch = nullptr;
    bool pinned = false;
    std::unordered_map<uint64_t, int64_t> holders;  // space -> sends not yet released
  };
  struct Holder {
    uint64_t epoch = 0;
    Clock::time_point last_heard;
    uint64_t connection = 0;  // server connection carrying its lease; 0 before the first renewal
    std::unordered_set<uint64_t> objects;
  };

  static Dispatcher DispatcherFor(const T& obj);
  uint64_t ExportLocked(const std::shared_ptr<T>& obj, Dispatcher d) REQUIRES(mu_);
  Holder& HolderLocked(uint64_t space, Clock::time_point now) REQUIRES(mu_);
  void CountLocked(uint64_t id, Entry& e, uint64_t space, Holder& h, int64_t delta,
                   Dropped* dropped) REQUIRES(mu_);
  void DropHolderLocked(uint64_t space, Dropped* dropped) REQUIRES(mu_);

  mutable Mutex mu_;
  uint64_t next_id_ GUARDED_BY(mu_) = kFirstOrdinaryId;
  uint64_t next_epoch_ GUARDED_BY(mu_) = 1;
  std::unordered_map<uint64_t, Entry> by_id_ GUARDED_BY(mu_);
  std::unordered_map<const T*, uint64_t> id_of_ GUARDED_BY(mu_);
  std::unordered_map<uint64_t, Holder> holders_ GUARDED_BY(mu_);
};

}  // namespace NetObj
