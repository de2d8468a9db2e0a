// The surrogates this runtime has made, by wire identity, held weakly: the same remote object
// received twice yields the same surrogate while that surrogate lives, and a dropped surrogate
// leaves no trace once its link has gone.
//
// Implemented in SurrogateTable.cc. Thread-safe: every method takes the table's lock; no object
// code runs under it.
#pragma once

#include <memory>
#include <unordered_map>
#include <vector>

#include "netobj/NetObj.h"
#include "netobj/port/Mutex.h"
#include "netobj/wire/ObjectRef.h"

namespace NetObj {

class SurrogateTable {
 public:
  std::shared_ptr<T> Find(const WireId& id) const;
  // Enters `made` unless a live surrogate got there first; returns the one that stays.
  std::shared_ptr<T> Insert(const WireId& id, const std::shared_ptr<T>& made);
  // Drops the entry if its surrogate is dead (a newer live one for the same id stays).
  void Forget(const WireId& id);
  // The live surrogates of objects owned by `space`.
  std::vector<std::shared_ptr<T>> LiveOf(uint64_t space) const;
  std::size_t size() const;

 private:
  mutable Mutex mu_;
  std::unordered_map<WireId, std::weak_ptr<T>, WireIdHash> by_id_ GUARDED_BY(mu_);
};

}  // namespace NetObj
