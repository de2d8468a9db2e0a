// The agent's object: the table of names under which objects are exported on this host. A new
// export under a name replaces the old one. Exports are accepted only from this host: `is_local`
// decides whether a caller's address is one of ours (a test may pass its own rule).
//
// The agent holds a registered surrogate of every exported object, so it keeps a lease with each
// exporting process: a name whose owner has died is forgotten when it is next asked for (the
// owner is asked first, so an import right after the owner died finds nothing) and whenever a
// new export arrives.
//
// Ownership: holds the exported objects (surrogates of their owners) by shared_ptr.
// Thread-safe: the table has its own lock.
#pragma once

#include <functional>
#include <map>

#include "netobj/agent/AgentStubs.h"
#include "netobj/port/Mutex.h"

namespace NetObj {

class AgentImpl : public Agent {
 public:
  using LocalRule = std::function<bool(const Endpoint&)>;
  explicit AgentImpl(LocalRule is_local) : is_local_(std::move(is_local)) {}

  void ping() override {}
  void put(const std::string& name, std::shared_ptr<T> obj, const Endpoint& from) override;
  std::shared_ptr<T> get(const std::string& name) override;

 private:
  LocalRule is_local_;
  Mutex mu_;
  std::map<std::string, std::shared_ptr<T>, std::less<>> names_ GUARDED_BY(mu_);
};

}  // namespace NetObj
