// Pooled calling-side connections.
#include "netobj/ConnectionPool.h"

namespace NetObj {

OutgoingCall* ConnectionPool::TakeIdle(const std::string& key) {
  MutexLock lock(mu_);
  if (shut_down_) return nullptr;
  auto it = idle_.find(key);
  if (it == idle_.end() || it->second.empty()) return nullptr;
  std::unique_ptr<OutgoingCall> c = std::move(it->second.back());
  it->second.pop_back();
  OutgoingCall* raw = c.get();
  in_use_.emplace(raw, std::move(c));
  return raw;
}

OutgoingCall* ConnectionPool::AddInUse(std::unique_ptr<OutgoingCall> c) {
  MutexLock lock(mu_);
  if (shut_down_) return nullptr;  // `c` closes on return
  OutgoingCall* raw = c.get();
  in_use_.emplace(raw, std::move(c));
  return raw;
}

bool ConnectionPool::Renew(OutgoingCall& c, std::unique_ptr<Channel> fresh, const Endpoint& peer) {
  std::unique_ptr<Channel> old;  // closed once the lock is let go
  MutexLock lock(mu_);
  if (shut_down_) return false;
  old = c.Replace(std::move(fresh), peer);
  return true;
}

void ConnectionPool::Release(OutgoingCall& c, const std::string& key, bool keep) {
  std::unique_ptr<OutgoingCall> dropped;
  MutexLock lock(mu_);
  auto it = in_use_.find(&c);
  if (it == in_use_.end()) return;
  dropped = std::move(it->second);
  in_use_.erase(it);
  if (keep && !shut_down_) {
    auto& list = idle_[key];
    if (list.size() < kMaxIdlePerPeer) list.push_back(std::move(dropped));
  }
}

void ConnectionPool::Shutdown() {
  std::unordered_map<std::string, std::vector<std::unique_ptr<OutgoingCall>>> idle;
  {
    MutexLock lock(mu_);
    shut_down_ = true;
    idle.swap(idle_);
    for (auto& [raw, c] : in_use_) c->channel().Shutdown();
  }
}

std::size_t ConnectionPool::idle_count() const {
  MutexLock lock(mu_);
  std::size_t n = 0;
  for (const auto& [key, list] : idle_) n += list.size();
  return n;
}

}  // namespace NetObj
