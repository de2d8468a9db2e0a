// The stub table and RegisterStubs.
#include "netobj/StubRegistry.h"

namespace NetObj {

namespace {
std::shared_ptr<T> MakePlainSurrogate() { return std::make_shared<T>(); }
}  // namespace

StubRegistry& StubRegistry::Instance() {
  // Never destroyed: runtime threads may still look types up while the process exits.
  static StubRegistry* registry = [] {
    auto* r = new StubRegistry;
    r->Add("NetObj.T", 1, &MakePlainSurrogate, nullptr);
    return r;
  }();
  return *registry;
}

void StubRegistry::Add(std::string_view type_name, int32_t stub_prot,
                       SurrogateFactory make_surrogate, Dispatcher dispatch) {
  MutexLock lock(mu_);
  StubEntry& e = entries_[std::string(type_name)];
  e = StubEntry{std::string(type_name), stub_prot, make_surrogate, dispatch};
}

const StubEntry* StubRegistry::Find(std::string_view type_name) const {
  MutexLock lock(mu_);
  auto it = entries_.find(type_name);
  return it == entries_.end() ? nullptr : &it->second;
}

const StubEntry* StubRegistry::FirstRegistered(std::span<const std::string_view> types) const {
  for (auto t : types)
    if (const StubEntry* e = Find(t)) return e;
  return nullptr;
}

const StubEntry* StubRegistry::FirstRegistered(std::span<const std::string> types) const {
  for (const auto& t : types)
    if (const StubEntry* e = Find(t)) return e;
  return nullptr;
}

void RegisterStubs(std::string_view remoteType, int32_t stubProt, SurrogateFactory makeSurrogate,
                   Dispatcher dispatch) {
  StubRegistry::Instance().Add(remoteType, stubProt, makeSurrogate, dispatch);
}

}  // namespace NetObj
