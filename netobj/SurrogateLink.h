// What a surrogate knows about the remote object it stands for: the object's wire identity,
// types and addresses, the order in which to try the addresses, and the runtime instance that
// made it (calls on the surrogate go through that runtime). A link removes its surrogate's
// entry from the runtime's surrogate table when it dies.
//
// Ownership: the surrogate owns its link; the link refers to its runtime weakly, so a surrogate
// may outlive its runtime (its calls then fail). Thread-safe: immutable after construction
// except the preferred address, which is atomic.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "netobj/NetObj.h"
#include "netobj/ObjectRef.h"

namespace NetObj {

class RuntimeCore;

class SurrogateLink {
 public:
  SurrogateLink(std::weak_ptr<RuntimeCore> core, ObjectRef ref, std::vector<Endpoint> order);
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

 private:
  std::weak_ptr<RuntimeCore> core_;
  ObjectRef ref_;
  std::vector<Endpoint> order_;
  std::string pool_key_;
  std::atomic<std::size_t> preferred_{0};
};

}  // namespace NetObj
