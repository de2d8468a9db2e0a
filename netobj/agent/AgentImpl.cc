// The agent's name table.
#include "netobj/agent/AgentImpl.h"

#include <vector>

#include "netobj/RuntimeCore.h"

namespace NetObj {

void AgentImpl::put(const std::string& name, std::shared_ptr<T> obj, const Endpoint& from) {
  if (!is_local_(from))
    throw Error(
        {"export refused", "only processes on the agent's host may export", from.ToString()});
  std::vector<std::shared_ptr<T>> gone;  // released after the lock: dropping touches the runtime
  MutexLock lock(mu_);
  for (auto it = names_.begin(); it != names_.end();) {
    if (it->second && OwnerKnownDead(*it->second)) {
      gone.push_back(std::move(it->second));
      it = names_.erase(it);
    } else {
      ++it;
    }
  }
  auto& slot = names_[name];
  gone.push_back(std::move(slot));
  slot = std::move(obj);
}

std::shared_ptr<T> AgentImpl::get(const std::string& name) {
  std::shared_ptr<T> found;
  {
    MutexLock lock(mu_);
    auto it = names_.find(name);
    if (it == names_.end()) return nullptr;
    found = it->second;
  }
  // Asked outside the lock: it may take a round trip to the owner.
  if (!found || OwnerMayBeAlive(*found)) return found;
  std::shared_ptr<T> gone;
  MutexLock lock(mu_);
  auto it = names_.find(name);
  if (it != names_.end() && it->second == found) {
    gone = std::move(it->second);
    names_.erase(it);
  }
  return nullptr;
}

}  // namespace NetObj
