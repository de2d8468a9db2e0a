// The table of exported objects.
#include "netobj/ExportTable.h"

#include "netobj/StubRegistry.h"

namespace NetObj {

Dispatcher ExportTable::DispatcherFor(const T& obj) {
  const StubEntry* e = StubRegistry::Instance().FirstRegistered(obj.RemoteTypes());
  return e ? e->dispatch : nullptr;
}

uint64_t ExportTable::Export(const std::shared_ptr<T>& obj) {
  Dispatcher d = DispatcherFor(*obj);  // outside the lock: RemoteTypes is the object's code
  std::scoped_lock lock(mu_);
  auto it = id_of_.find(obj.get());
  if (it != id_of_.end()) return it->second;
  uint64_t id = next_id_++;
  by_id_[id] = ExportedObject{obj, d, {}};
  id_of_[obj.get()] = id;
  return id;
}

void ExportTable::ExportWellKnown(uint64_t id, const std::shared_ptr<T>& obj) {
  Dispatcher d = DispatcherFor(*obj);
  std::scoped_lock lock(mu_);
  by_id_[id] = ExportedObject{obj, d, {}};
  id_of_[obj.get()] = id;
}

void ExportTable::AddHolder(uint64_t id, uint64_t space) {
  std::scoped_lock lock(mu_);
  auto it = by_id_.find(id);
  if (it != by_id_.end()) it->second.holders.insert(space);
}

std::optional<ExportTable::Target> ExportTable::Find(uint64_t id) const {
  std::scoped_lock lock(mu_);
  auto it = by_id_.find(id);
  if (it == by_id_.end()) return std::nullopt;
  return Target{it->second.object, it->second.dispatch};
}

std::size_t ExportTable::size() const {
  std::scoped_lock lock(mu_);
  return by_id_.size();
}

std::set<uint64_t> ExportTable::Holders(uint64_t id) const {
  std::scoped_lock lock(mu_);
  auto it = by_id_.find(id);
  return it == by_id_.end() ? std::set<uint64_t>{} : it->second.holders;
}

void ExportTable::Clear() {
  std::unordered_map<uint64_t, ExportedObject> dropped;
  {
    std::scoped_lock lock(mu_);
    dropped.swap(by_id_);
    id_of_.clear();
  }
  // `dropped` dies here, outside the lock: destructors of objects may call back into the runtime.
}

}  // namespace NetObj
