// The table of exported objects and of the peers that hold them.
#include "netobj/ExportTable.h"

#include <algorithm>
#include <cstdint>

#include "netobj/StubRegistry.h"

namespace NetObj {

Dispatcher ExportTable::DispatcherFor(const T& obj) {
  const StubEntry* e = StubRegistry::Instance().FirstRegistered(obj.RemoteTypes());
  return e ? e->dispatch : nullptr;
}

uint64_t ExportTable::ExportLocked(const std::shared_ptr<T>& obj, Dispatcher d) {
  auto it = id_of_.find(obj.get());
  if (it != id_of_.end()) {
    auto e = by_id_.find(it->second);
    // The same address may belong to a new object once the old one died.
    if (e != by_id_.end() && e->second.weak.lock() == obj) return it->second;
  }
  uint64_t id = next_id_++;
  Entry& e = by_id_[id];
  e.weak = obj;
  e.dispatch = d;
  id_of_[obj.get()] = id;
  return id;
}

uint64_t ExportTable::Export(const std::shared_ptr<T>& obj) {
  Dispatcher d = DispatcherFor(*obj);  // outside the lock: RemoteTypes is the object's code
  MutexLock lock(mu_);
  return ExportLocked(obj, d);
}

uint64_t ExportTable::Pin(const std::shared_ptr<T>& obj) {
  Dispatcher d = DispatcherFor(*obj);
  MutexLock lock(mu_);
  uint64_t id = ExportLocked(obj, d);
  Entry& e = by_id_[id];
  e.pinned = true;
  e.strong = obj;
  return id;
}

void ExportTable::ExportWellKnown(uint64_t id, const std::shared_ptr<T>& obj) {
  Dispatcher d = DispatcherFor(*obj);
  std::shared_ptr<T> old;
  MutexLock lock(mu_);
  Entry& e = by_id_[id];
  old = std::move(e.strong);  // released after the lock
  e = Entry{obj, obj, d, true, {}};
  id_of_[obj.get()] = id;
}

ExportTable::Holder& ExportTable::HolderLocked(uint64_t space, Clock::time_point now) {
  auto [it, made] = holders_.try_emplace(space);
  if (made) {
    it->second.epoch = next_epoch_++;
    // A holder made by a send has the lease period to open its lease.
    it->second.last_heard = now;
  }
  return it->second;
}

void ExportTable::CountLocked(uint64_t id, Entry& e, uint64_t space, Holder& h, int64_t delta,
                              Dropped* dropped) {
  int64_t& n = e.holders[space];
  n += delta;
  if (n > 0) {
    h.objects.insert(id);
    if (!e.strong) e.strong = e.weak.lock();
    return;
  }
  e.holders.erase(space);
  h.objects.erase(id);
  if (e.holders.empty() && !e.pinned && e.strong) dropped->push_back(std::move(e.strong));
}

ExportTable::Sent ExportTable::Send(const std::shared_ptr<T>& obj, uint64_t space,
                                    Clock::time_point now) {
  Dispatcher d = DispatcherFor(*obj);
  Dropped none;
  MutexLock lock(mu_);
  uint64_t id = ExportLocked(obj, d);
  Entry& e = by_id_[id];
  e.strong = obj;  // held from here on; the count below keeps it so
  Holder& h = HolderLocked(space, now);
  CountLocked(id, e, space, h, +1, &none);
  return Sent{id, h.epoch};
}

ExportTable::Dropped ExportTable::Unsend(const Sent& sent, uint64_t space) {
  Dropped dropped;
  MutexLock lock(mu_);
  auto h = holders_.find(space);
  auto e = by_id_.find(sent.id);
  if (h == holders_.end() || h->second.epoch != sent.epoch || e == by_id_.end()) return dropped;
  CountLocked(sent.id, e->second, space, h->second, -1, &dropped);
  return dropped;
}

std::optional<uint64_t> ExportTable::Register(uint64_t id, uint64_t space, Clock::time_point now) {
  Dropped none;
  MutexLock lock(mu_);
  auto e = by_id_.find(id);
  if (e == by_id_.end()) return std::nullopt;
  std::shared_ptr<T> alive = e->second.weak.lock();
  if (!alive) return std::nullopt;
  Holder& h = HolderLocked(space, now);
  h.last_heard = now;
  CountLocked(id, e->second, space, h, +1, &none);
  return h.epoch;
}

uint64_t ExportTable::Renew(uint64_t space, uint64_t connection, Clock::time_point now,
                            Dropped* dropped, uint64_t* replaced_connection) {
  MutexLock lock(mu_);
  *replaced_connection = 0;
  auto it = holders_.find(space);
  if (it != holders_.end() && it->second.connection != 0 && it->second.connection != connection) {
    *replaced_connection = it->second.connection;
    DropHolderLocked(space, dropped);
  }
  Holder& h = HolderLocked(space, now);
  h.connection = connection;
  h.last_heard = now;
  return h.epoch;
}

ExportTable::Dropped ExportTable::Released(uint64_t space, std::span<const Release> releases) {
  Dropped dropped;
  MutexLock lock(mu_);
  auto h = holders_.find(space);
  if (h == holders_.end()) return dropped;
  for (const Release& r : releases) {
    if (r.epoch != h->second.epoch || r.count == 0) continue;  // an older lease's
    auto e = by_id_.find(r.id);
    if (e == by_id_.end() || !e->second.holders.contains(space)) continue;
    int64_t count = static_cast<int64_t>(std::min<uint64_t>(r.count, INT64_MAX / 2));
    CountLocked(r.id, e->second, space, h->second, -count, &dropped);
  }
  return dropped;
}

bool ExportTable::EndLease(uint64_t space, uint64_t connection) {
  MutexLock lock(mu_);
  auto h = holders_.find(space);
  if (h == holders_.end()) return true;
  if (!h->second.objects.empty() || h->second.connection != connection) return false;
  holders_.erase(h);
  return true;
}

void ExportTable::DropHolderLocked(uint64_t space, Dropped* dropped) {
  auto h = holders_.find(space);
  if (h == holders_.end()) return;
  for (uint64_t id : h->second.objects) {
    auto e = by_id_.find(id);
    if (e == by_id_.end()) continue;
    e->second.holders.erase(space);
    if (e->second.holders.empty() && !e->second.pinned && e->second.strong)
      dropped->push_back(std::move(e->second.strong));
  }
  holders_.erase(h);
}

ExportTable::Dropped ExportTable::LeaseClosed(uint64_t space, uint64_t connection) {
  Dropped dropped;
  MutexLock lock(mu_);
  auto h = holders_.find(space);
  if (h != holders_.end() && h->second.connection == connection) DropHolderLocked(space, &dropped);
  return dropped;
}

ExportTable::Dropped ExportTable::Expire(Clock::time_point now, Clock::duration period,
                                         std::vector<uint64_t>* connections) {
  Dropped dropped;
  MutexLock lock(mu_);
  std::vector<uint64_t> late;
  for (const auto& [space, h] : holders_)
    if (now - h.last_heard > period) late.push_back(space);
  for (uint64_t space : late) {
    uint64_t c = holders_[space].connection;
    if (c != 0) connections->push_back(c);
    DropHolderLocked(space, &dropped);
  }
  for (auto it = by_id_.begin(); it != by_id_.end();) {
    const Entry& e = it->second;
    if (!e.strong && e.weak.expired()) {
      it = by_id_.erase(it);
    } else {
      ++it;
    }
  }
  for (auto it = id_of_.begin(); it != id_of_.end();) {
    if (!by_id_.contains(it->second))
      it = id_of_.erase(it);
    else
      ++it;
  }
  return dropped;
}

void ExportTable::HeardFromAll(Clock::time_point now) {
  MutexLock lock(mu_);
  for (auto& [space, h] : holders_) h.last_heard = now;
}

std::optional<ExportTable::Target> ExportTable::Find(uint64_t id) const {
  MutexLock lock(mu_);
  auto it = by_id_.find(id);
  if (it == by_id_.end()) return std::nullopt;
  std::shared_ptr<T> obj = it->second.weak.lock();
  if (!obj) return std::nullopt;
  return Target{std::move(obj), it->second.dispatch};
}

std::size_t ExportTable::size() const {
  MutexLock lock(mu_);
  std::size_t n = 0;
  for (const auto& [id, e] : by_id_) n += e.strong != nullptr;
  return n;
}

std::set<uint64_t> ExportTable::HoldersOf(const T* obj) const {
  MutexLock lock(mu_);
  std::set<uint64_t> out;
  auto id = id_of_.find(obj);
  if (id == id_of_.end()) return out;
  auto e = by_id_.find(id->second);
  if (e == by_id_.end()) return out;
  for (const auto& [space, n] : e->second.holders) out.insert(space);
  return out;
}

std::size_t ExportTable::leased_holders() const {
  MutexLock lock(mu_);
  return static_cast<std::size_t>(std::count_if(
      holders_.begin(), holders_.end(), [](const auto& kv) { return kv.second.connection != 0; }));
}

void ExportTable::Clear() {
  std::unordered_map<uint64_t, Entry> dropped;
  {
    MutexLock lock(mu_);
    dropped.swap(by_id_);
    id_of_.clear();
    holders_.clear();
  }
  // `dropped` dies here, outside the lock: destructors of objects may call back into the runtime.
}

}  // namespace NetObj
