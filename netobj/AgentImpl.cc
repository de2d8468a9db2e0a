// The agent's name table.
#include "netobj/AgentImpl.h"

namespace NetObj {

void AgentImpl::put(const std::string& name, std::shared_ptr<T> obj, const Endpoint& from) {
  if (!is_local_(from))
    throw Error(
        {"export refused", "only processes on the agent's host may export", from.ToString()});
  std::shared_ptr<T> old;
  std::scoped_lock lock(mu_);
  auto& slot = names_[name];
  old = std::move(slot);  // released after the lock: dropping a surrogate touches the runtime
  slot = std::move(obj);
}

std::shared_ptr<T> AgentImpl::get(const std::string& name) {
  std::scoped_lock lock(mu_);
  auto it = names_.find(name);
  return it == names_.end() ? nullptr : it->second;
}

}  // namespace NetObj
