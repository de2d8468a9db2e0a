// What a surrogate knows about the remote object it stands for: the object's wire identity,
// types and addresses, the order in which to try the addresses, the runtime instance that made
// it (calls on the surrogate go through that runtime), and the receipts it has absorbed: how
// many references to the object the owner counted for this runtime under which epoch (see
// ExportTable). A tracked link (one in the surrogate table) leaves the table when it dies and
// has its receipts released to the owner, through the SurrogateHome its runtime gave it; an
// untracked one (a well-known object addressed by host and port, or the runtime's own calls to
// an owner's lease object) does neither.
//
// Implemented in SurrogateTable.cc. Ownership: the surrogate owns its link; the link refers to its
// runtime weakly, so a surrogate may outlive its runtime (its calls then fail, and its death tells
// nobody). Thread-safe: immutable after construction except the preferred address (atomic) and the
// receipts (guarded by mu_).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "netobj/NetObj.h"
#include "netobj/port/Mutex.h"
#include "netobj/wire/ObjectRef.h"

namespace NetObj {

class RuntimeCore;

// What a tracked link needs of its runtime as its surrogate dies: the surrogate table forgets
// it, and what it had absorbed is released to the owner. The runtime implements it.
class SurrogateHome {
 public:
  virtual void SurrogateGone(const WireId& id, uint64_t epoch, uint64_t receipts) = 0;

 protected:
  ~SurrogateHome() = default;
};

class SurrogateLink {
 public:
  // `ref`'s epoch is not kept: a surrogate passed on is never counted for the receiver by us.
  // `home` (null: untracked) is the runtime that `core` names, told of the surrogate's death
  // while that runtime lives.
  SurrogateLink(std::weak_ptr<RuntimeCore> core, ObjectRef ref, std::vector<Endpoint> order,
                SurrogateHome* home);
  ~SurrogateLink();
  SurrogateLink(const SurrogateLink&) = delete;
  SurrogateLink& operator=(const SurrogateLink&) = delete;

  const ObjectRef& ref() const { return ref_; }
  std::shared_ptr<RuntimeCore> core() const { return core_.lock(); }
  // Pooled connections are shared by every surrogate of one owner (or, for a well-known
  // object addressed by host and port, of one address).
  const std::string& pool_key() const { return pool_key_; }
  const std::vector<Endpoint>& connect_order() const { return order_; }
  std::size_t preferred() const { return preferred_.load(std::memory_order_relaxed); }
  void set_preferred(std::size_t i) { preferred_.store(i, std::memory_order_relaxed); }

  // One receipt counted by the owner under `epoch`. A newer epoch starts the count afresh (the
  // owner dropped the older one's); an older one is ignored.
  void CountReceipt(uint64_t epoch);
  // The epoch of the receipts held (0: none, the surrogate is not registered with its owner).
  uint64_t epoch() const;
  uint64_t receipts() const;

 private:
  std::weak_ptr<RuntimeCore> core_;
  ObjectRef ref_;
  std::vector<Endpoint> order_;
  std::string pool_key_;
  SurrogateHome* home_;  // valid while core_ can be locked
  std::atomic<std::size_t> preferred_{0};
  mutable Mutex mu_;
  uint64_t epoch_ GUARDED_BY(mu_) = 0;
  uint64_t receipts_ GUARDED_BY(mu_) = 0;
};

}  // namespace NetObj
