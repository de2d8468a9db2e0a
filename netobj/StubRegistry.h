// The process-wide table of stub units: for each remote type name, its stub protocol, the
// factory of its surrogates and its dispatcher. Stub units fill it during static initialisation,
// before main, so it is a function-local static that exists on first use. The runtime's own
// types ("NetObj.T", whose surrogates are plain NetObj::T, and the agent's type) are in it from
// the start.
//
// Implemented in StubRegistry.cc. Thread-safe: every method takes the table's lock. Entries are
// never removed, so a pointer returned by Find stays valid for the life of the process.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>

#include "netobj/NetObj.h"
#include "netobj/port/Mutex.h"

namespace NetObj {

struct StubEntry {
  std::string type_name;
  int32_t stub_prot = 0;
  SurrogateFactory make_surrogate = nullptr;
  Dispatcher dispatch = nullptr;  // null: objects of the type cannot be called
};

class StubRegistry {
 public:
  static StubRegistry& Instance();

  // A second registration of a type name replaces the first.
  void Add(std::string_view type_name, int32_t stub_prot, SurrogateFactory make_surrogate,
           Dispatcher dispatch);
  const StubEntry* Find(std::string_view type_name) const;
  // The first of `types` (most specific first) that has stubs; null if none has.
  const StubEntry* FirstRegistered(std::span<const std::string_view> types) const;
  const StubEntry* FirstRegistered(std::span<const std::string> types) const;

 private:
  StubRegistry() = default;
  mutable Mutex mu_;
  std::map<std::string, StubEntry, std::less<>> entries_ GUARDED_BY(mu_);
};

}  // namespace NetObj
