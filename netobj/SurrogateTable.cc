// The weak table of surrogates, and the link that leaves it when its surrogate dies.
#include "netobj/SurrogateTable.h"

#include "netobj/RuntimeCore.h"
#include "netobj/SurrogateLink.h"

namespace NetObj {

std::shared_ptr<T> SurrogateTable::Find(const WireId& id) const {
  std::scoped_lock lock(mu_);
  auto it = by_id_.find(id);
  return it == by_id_.end() ? nullptr : it->second.lock();
}

std::shared_ptr<T> SurrogateTable::Insert(const WireId& id, const std::shared_ptr<T>& made) {
  std::scoped_lock lock(mu_);
  std::weak_ptr<T>& slot = by_id_[id];
  if (auto live = slot.lock()) return live;
  slot = made;
  return made;
}

void SurrogateTable::Forget(const WireId& id) {
  std::scoped_lock lock(mu_);
  auto it = by_id_.find(id);
  if (it != by_id_.end() && it->second.expired()) by_id_.erase(it);
}

std::size_t SurrogateTable::size() const {
  std::scoped_lock lock(mu_);
  return by_id_.size();
}

namespace {
std::string PoolKey(const ObjectRef& ref, const std::vector<Endpoint>& order) {
  if (ref.id.space != 0) return "space:" + std::to_string(ref.id.space);
  return "addr:" + (order.empty() ? std::string() : order.front().ToString());
}
}  // namespace

SurrogateLink::SurrogateLink(std::weak_ptr<RuntimeCore> core, ObjectRef ref,
                             std::vector<Endpoint> order)
    : core_(std::move(core)),
      ref_(std::move(ref)),
      order_(std::move(order)),
      pool_key_(PoolKey(ref_, order_)) {}

SurrogateLink::~SurrogateLink() {
  if (ref_.id.space == 0) return;
  if (auto core = core_.lock()) core->surrogates().Forget(ref_.id);
}

}  // namespace NetObj
