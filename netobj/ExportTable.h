// The objects this runtime has handed out: each exported local object under its number, with the
// dispatcher its stubs registered and the spaces (peers) it was written to. The table holds a
// shared_ptr to every entry's object, so an object stays alive while a peer may call it. Holders
// are recorded now so that releasing an object once every holder has dropped it can be added
// without changing the table's shape.
//
// Numbers below kFirstOrdinaryId are well-known (reachable by calls addressed to space 0);
// ordinary exports count up from kFirstOrdinaryId and are never reused.
//
// Thread-safe: every method takes the table's lock.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <unordered_map>

#include "netobj/NetObj.h"

namespace NetObj {

inline constexpr uint64_t kFirstOrdinaryId = 16;

struct ExportedObject {
  std::shared_ptr<T> object;
  Dispatcher dispatch = nullptr;  // null when no type of the object has stubs here
  std::set<uint64_t> holders;     // spaces the object was written to
};

class ExportTable {
 public:
  // The object's number, exporting it on first use.
  uint64_t Export(const std::shared_ptr<T>& obj);
  void ExportWellKnown(uint64_t id, const std::shared_ptr<T>& obj);
  void AddHolder(uint64_t id, uint64_t space);

  struct Target {
    std::shared_ptr<T> object;
    Dispatcher dispatch = nullptr;
  };
  std::optional<Target> Find(uint64_t id) const;
  std::size_t size() const;
  std::set<uint64_t> Holders(uint64_t id) const;
  // Drops every entry (the runtime's shutdown), breaking cycles through exported objects.
  void Clear();

 private:
  static Dispatcher DispatcherFor(const T& obj);

  mutable std::mutex mu_;
  uint64_t next_id_ = kFirstOrdinaryId;
  std::unordered_map<uint64_t, ExportedObject> by_id_;
  std::unordered_map<const T*, uint64_t> id_of_;
};

}  // namespace NetObj
