// The weak table of surrogates, and the link that leaves it (and releases its receipts) when
// its surrogate dies.
#include "netobj/SurrogateTable.h"

#include "netobj/SurrogateLink.h"

namespace NetObj {

std::shared_ptr<T> SurrogateTable::Find(const WireId& id) const {
  MutexLock lock(mu_);
  auto it = by_id_.find(id);
  return it == by_id_.end() ? nullptr : it->second.lock();
}

std::shared_ptr<T> SurrogateTable::Insert(const WireId& id, const std::shared_ptr<T>& made) {
  MutexLock lock(mu_);
  std::weak_ptr<T>& slot = by_id_[id];
  if (auto live = slot.lock()) return live;
  slot = made;
  return made;
}

void SurrogateTable::Forget(const WireId& id) {
  MutexLock lock(mu_);
  auto it = by_id_.find(id);
  if (it != by_id_.end() && it->second.expired()) by_id_.erase(it);
}

std::vector<std::shared_ptr<T>> SurrogateTable::LiveOf(uint64_t space) const {
  std::vector<std::shared_ptr<T>> out;
  MutexLock lock(mu_);
  for (const auto& [id, weak] : by_id_)
    if (id.space == space)
      if (auto s = weak.lock()) out.push_back(std::move(s));
  return out;
}

std::size_t SurrogateTable::size() const {
  MutexLock lock(mu_);
  return by_id_.size();
}

namespace {
std::string PoolKey(const ObjectRef& ref, const std::vector<Endpoint>& order) {
  if (ref.id.space != 0) return "space:" + std::to_string(ref.id.space);
  return "addr:" + (order.empty() ? std::string() : order.front().ToString());
}
}  // namespace

SurrogateLink::SurrogateLink(std::weak_ptr<RuntimeCore> core, ObjectRef ref,
                             std::vector<Endpoint> order, SurrogateHome* home)
    : core_(std::move(core)),
      ref_(std::move(ref)),
      order_(std::move(order)),
      pool_key_(PoolKey(ref_, order_)),
      home_(home) {
  ref_.epoch = 0;
}

SurrogateLink::~SurrogateLink() {
  if (home_ == nullptr || ref_.id.space == 0) return;
  auto core = core_.lock();
  if (!core) return;
  home_->SurrogateGone(ref_.id, epoch_, receipts_);
}

void SurrogateLink::CountReceipt(uint64_t epoch) {
  MutexLock lock(mu_);
  if (epoch < epoch_) return;
  if (epoch > epoch_) {
    epoch_ = epoch;
    receipts_ = 0;
  }
  ++receipts_;
}

uint64_t SurrogateLink::epoch() const {
  MutexLock lock(mu_);
  return epoch_;
}

uint64_t SurrogateLink::receipts() const {
  MutexLock lock(mu_);
  return receipts_;
}

}  // namespace NetObj
