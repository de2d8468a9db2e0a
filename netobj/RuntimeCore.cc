// A runtime instance's lifecycle, its space id, and turning references into objects and back.
#include "netobj/RuntimeCore.h"

#include <cstdio>

#include <random>

#include "netobj/Envelope.h"
#include "netobj/StubRegistry.h"
#include "netobj/wire/Addresses.h"

namespace NetObj {

namespace {

uint64_t NewSpaceId() {
  std::random_device rd;
  uint64_t id = 0;
  while (id == 0) id = (uint64_t{rd()} << 32) ^ rd();  // 0 is nobody's space
  return id;
}

}  // namespace

RuntimeCore::RuntimeCore(const RuntimeOptions& options)
    : options_(options),
      space_id_(NewSpaceId()),
      local_(LocalAddresses(0, true)),
      transport_(MakeTransport(options.key)) {
  // Said once, at start: from here on every connection fails for this reason.
  if (!options.key.refused.empty())
    std::fprintf(stderr, "netobj: %s\n", options.key.refused.c_str());
}

RuntimeCore::~RuntimeCore() { Shutdown(); }

void RuntimeCore::Shutdown() {
  if (stopping_.exchange(true)) return;
  // Our leases end first: the owners drop what we held.
  leases_.Shutdown();
  calling_.Shutdown();
  serving_.Stop();
  exports_.Clear();
  finalizer_.Stop();
}

void RuntimeCore::PutRef(CallConnection& c, const Ref& r) {
  MessageWriter& w = c.out;
  if (const auto* obj = std::get_if<std::shared_ptr<T>>(&r); obj && *obj) {
    if ((*obj)->IsSurrogate()) {
      // Not ours to count: the receiver registers it with its owner while we keep ours alive.
      w.PutObjectRef((*obj)->link()->ref());
      c.in_transit.push_back(*obj);
      return;
    }
    ObjectRef ref;
    uint64_t peer = c.peer_space;
    if (peer != 0 && peer != space_id_) {
      ExportTable::Sent sent = exports_.Send(*obj, peer, std::chrono::steady_clock::now());
      ref.id = WireId{space_id_, sent.id};
      ref.epoch = sent.epoch;
      c.written.push_back({sent, peer});
    } else {
      // A peer of unknown space (a well-known object called by address) registers instead.
      ref.id = WireId{space_id_, exports_.Export(*obj)};
      c.in_transit.push_back(*obj);
    }
    for (auto t : (*obj)->RemoteTypes()) ref.types.emplace_back(t);
    ref.endpoints = serving_.Advertised();
    w.PutObjectRef(ref);
  } else if (const auto* text = std::get_if<Text>(&r); text && *text) {
    w.PutTextRef(**text);
  } else if (const auto* arr = std::get_if<Int32Array>(&r); arr && *arr) {
    w.PutArrayRef(**arr);
  } else {
    w.PutNullRef();
  }
}

void RuntimeCore::Unsend(CallConnection& c) {
  ExportTable::Dropped dropped;
  for (const auto& w : c.written) {
    ExportTable::Dropped d = exports_.Unsend(w.sent, w.space);
    for (auto& o : d) dropped.push_back(std::move(o));
  }
  c.written.clear();
  LetGo(std::move(dropped));
}

Ref RuntimeCore::GetRef(CallConnection& c, const TypeCode& expected) {
  WireValue v = c.in.GetRef();
  Ref out = nullptr;
  if (auto* ref = std::get_if<ObjectRef>(&v)) {
    std::optional<Endpoint> via;
    bool from_owner = ref->id.space == c.peer_space;
    if (from_owner && !ref->endpoints.empty()) {
      via = c.peer();
      via->port = ref->endpoints.front().port;
    }
    out = ObjectFor(*ref, via,
                    from_owner && ref->epoch != 0 ? Receipt::kCounted : Receipt::kThirdParty);
  } else if (auto* text = std::get_if<Text>(&v)) {
    out = std::move(*text);
  } else if (auto* arr = std::get_if<Int32Array>(&v)) {
    out = std::move(*arr);
  }
  if (!expected.Accepts(out)) throw Error({"wrong type", "reference of an unexpected type"});
  return out;
}

std::shared_ptr<T> RuntimeCore::ObjectFor(const ObjectRef& ref, const std::optional<Endpoint>& via,
                                          Receipt how) {
  if (ref.id.space == space_id_) {
    auto target = exports_.Find(ref.id.object);
    if (!target) throw Error({kUnknownObject, "object " + std::to_string(ref.id.object)});
    return target->object;
  }
  std::shared_ptr<T> s = ref.id.space != 0 ? surrogates_.Find(ref.id) : nullptr;
  if (!s) {
    const StubRegistry& stubs = StubRegistry::Instance();
    const StubEntry* entry = stubs.FirstRegistered(ref.types);
    if (entry == nullptr) entry = stubs.Find("NetObj.T");
    std::shared_ptr<T> made = entry->make_surrogate();
    if (!made) throw Error({"cannot make surrogate", entry->type_name});
    std::vector<Endpoint> order = ConnectOrder(ref.endpoints, via, local_);
    bool tracked = ref.id.space != 0;
    if (tracked) leases_.LinkMade(ref.id.space, order);
    made->set_link(
        std::make_shared<SurrogateLink>(weak_from_this(), ref, std::move(order),
                                        tracked ? static_cast<SurrogateHome*>(this) : nullptr));
    if (!tracked) return made;
    s = surrogates_.Insert(ref.id, made);
  }
  SurrogateLink& link = *s->link();
  uint64_t owner = ref.id.space;
  if (how == Receipt::kCounted) {
    link.CountReceipt(ref.epoch);
    leases_.Counted(owner, ref.epoch);
  }
  if (how == Receipt::kUnregistered) return s;
  uint64_t held = link.epoch();
  if (held != 0 && held >= leases_.KnownEpoch(owner)) return s;
  // From a third party, or counted under an epoch the owner has since replaced (our lease with
  // it ended while the reference travelled): register before anyone relies on it.
  uint64_t epoch = calling_.RegisterReceipt(link);
  link.CountReceipt(epoch);
  leases_.Counted(owner, epoch);
  return s;
}

void RuntimeCore::SurrogateGone(const WireId& id, uint64_t epoch, uint64_t receipts) {
  surrogates_.Forget(id);
  leases_.LinkGone(id.space, id.object, epoch, receipts);
}

std::shared_ptr<T> RuntimeCore::WellKnownSurrogate(std::vector<Endpoint> addresses, uint64_t id,
                                                   std::string_view type) {
  ObjectRef ref;
  ref.id = WireId{0, id};
  ref.types = {std::string(type), "NetObj.T"};
  ref.endpoints = std::move(addresses);
  // Tried in the order given: the caller named the host.
  std::vector<Endpoint> order = ref.endpoints;
  const StubEntry* entry = StubRegistry::Instance().FirstRegistered(ref.types);
  std::shared_ptr<T> made = entry->make_surrogate();
  made->set_link(std::make_shared<SurrogateLink>(weak_from_this(), std::move(ref), order, nullptr));
  return made;
}

bool OwnerMayBeAlive(const T& obj) {
  const std::shared_ptr<SurrogateLink>& link = obj.link();
  if (!link || link->ref().id.space == 0) return true;
  std::shared_ptr<RuntimeCore> core = link->core();
  if (!core) return true;
  return core->leases().CheckAlive(link->ref().id.space);
}

bool OwnerKnownDead(const T& obj) {
  const std::shared_ptr<SurrogateLink>& link = obj.link();
  if (!link || link->ref().id.space == 0) return false;
  std::shared_ptr<RuntimeCore> core = link->core();
  return core && core->leases().IsDead(link->ref().id.space);
}

}  // namespace NetObj
