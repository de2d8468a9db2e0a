// A runtime instance's lifecycle, its space id, and turning references into objects and back.
#include "netobj/RuntimeCore.h"

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

// A worker that has served a request waits this long for the next one on the same connection
// before handing it back to the polling thread: a run of calls costs no hand-over.
constexpr std::chrono::milliseconds kLinger{1000};

}  // namespace

RuntimeCore::RuntimeCore(const RuntimeOptions& options)
    : options_(options), space_id_(NewSpaceId()), local_(LocalAddresses(0, true)) {}

RuntimeCore::~RuntimeCore() { Shutdown(); }

uint16_t RuntimeCore::Listen() {
  MutexLock lock(mu_);
  if (server_) return server_->port();
  if (stopping_) throw Error({"runtime has shut down"});
  Socket listener = Socket::Listen(options_.port);
  bool v6 = listener.IsIpv6();
  Server::Limits limits{options_.max_serving_connections, options_.idle_timeout,
                        options_.request_deadline, kLinger};
  Server::Hooks hooks{[this](const Socket& s, const Endpoint& peer, uint64_t id) {
                        return OpenSession(s, peer, id);
                      },
                      [this](const Endpoint& peer) { return Refusal(peer); }, [this] { Tick(); }};
  last_tick_ = std::chrono::steady_clock::now();  // read by the server's thread from here on
  server_ = std::make_unique<Server>(std::move(listener), limits, std::move(hooks));
  advertised_ = LocalAddresses(server_->port(), v6);
  return server_->port();
}

std::vector<Endpoint> RuntimeCore::Advertised() {
  Listen();
  MutexLock lock(mu_);
  return advertised_;
}

uint64_t RuntimeCore::accepted_connections() const {
  MutexLock lock(mu_);
  return server_ ? server_->accepted() : 0;
}

std::size_t RuntimeCore::open_serving_connections() const {
  MutexLock lock(mu_);
  return server_ ? server_->open_connections() : 0;
}

void RuntimeCore::Shutdown() {
  if (stopping_.exchange(true)) return;
  // Our leases end first: the owners drop what we held.
  leases_.Shutdown();
  pool_.Shutdown();
  Server* server;
  {
    MutexLock lock(mu_);
    server = server_.get();
  }
  // Stopped, not destroyed: a worker running this very shutdown returns into it.
  if (server) server->Stop();
  exports_.Clear();
  finalizer_.Stop();
}

void RuntimeCore::Tick() {
  using Clock = std::chrono::steady_clock;
  Clock::time_point now = Clock::now();
  // A tick late by seconds means this process was stopped (or starved), not its holders.
  auto pause = std::max<Clock::duration>(options_.lease_period / 2, std::chrono::seconds(2));
  bool paused = now - last_tick_ > pause;
  last_tick_ = now;
  // After such a pause nobody's silence is their fault: every holder gets a fresh lease period.
  std::vector<uint64_t> expired;
  ExportTable::Dropped dropped = exports_.Expire(
      now, paused ? Clock::duration::max() : Clock::duration(options_.lease_period), &expired);
  if (paused) exports_.HeardFromAll(now);
  LetGo(std::move(dropped));
  if (expired.empty()) return;
  MutexLock lock(mu_);
  for (uint64_t id : expired) server_->Disconnect(id);
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
    ref.endpoints = Advertised();
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
  uint64_t epoch = RegisterReceipt(link);
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
