// A runtime instance's lifecycle, its space id, and turning references into objects and back.
#include "netobj/RuntimeCore.h"

#include <random>

#include "netobj/Addresses.h"
#include "netobj/StubRegistry.h"

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
    : options_(options), space_id_(NewSpaceId()), local_(LocalAddresses(0, true)) {}

RuntimeCore::~RuntimeCore() { Shutdown(); }

uint16_t RuntimeCore::Listen() {
  std::scoped_lock lock(mu_);
  if (server_) return server_->port();
  if (stopping_) throw Error({"runtime has shut down"});
  Socket listener = Socket::Listen(options_.port);
  bool v6 = listener.IsIpv6();
  server_ = std::make_unique<Server>(
      std::move(listener), options_.max_serving_connections,
      [this](const Socket& s, const Endpoint& peer) { Serve(s, peer); },
      [this](const Socket& s, const Endpoint& peer) { Refuse(s, peer); });
  advertised_ = LocalAddresses(server_->port(), v6);
  return server_->port();
}

std::vector<Endpoint> RuntimeCore::Advertised() {
  Listen();
  std::scoped_lock lock(mu_);
  return advertised_;
}

uint64_t RuntimeCore::accepted_connections() const {
  std::scoped_lock lock(mu_);
  return server_ ? server_->accepted() : 0;
}

void RuntimeCore::Shutdown() {
  if (stopping_.exchange(true)) return;
  pool_.Shutdown();
  std::unique_ptr<Server> server;
  {
    std::scoped_lock lock(mu_);
    server.swap(server_);
  }
  if (server) server->Stop();
  exports_.Clear();
}

void RuntimeCore::PutRef(CallConnection& c, const Ref& r) {
  MessageWriter& w = c.out;
  if (const auto* obj = std::get_if<std::shared_ptr<T>>(&r); obj && *obj) {
    if ((*obj)->IsSurrogate()) {
      w.PutObjectRef((*obj)->link()->ref());
      return;
    }
    ObjectRef ref;
    ref.id = WireId{space_id_, exports_.Export(*obj)};
    for (auto t : (*obj)->RemoteTypes()) ref.types.emplace_back(t);
    ref.endpoints = Advertised();
    w.PutObjectRef(ref);
    c.written_exports.push_back(ref.id.object);
  } else if (const auto* text = std::get_if<Text>(&r); text && *text) {
    w.PutTextRef(**text);
  } else if (const auto* arr = std::get_if<Int32Array>(&r); arr && *arr) {
    w.PutArrayRef(**arr);
  } else {
    w.PutNullRef();
  }
}

Ref RuntimeCore::GetRef(CallConnection& c, const TypeCode& expected) {
  WireValue v = c.in.GetRef();
  Ref out = nullptr;
  if (auto* ref = std::get_if<ObjectRef>(&v)) {
    std::optional<Endpoint> via;
    if (ref->id.space == c.peer_space && !ref->endpoints.empty()) {
      via = c.peer();
      via->port = ref->endpoints.front().port;
    }
    out = ObjectFor(*ref, via);
  } else if (auto* text = std::get_if<Text>(&v)) {
    out = std::move(*text);
  } else if (auto* arr = std::get_if<Int32Array>(&v)) {
    out = std::move(*arr);
  }
  if (!expected.Accepts(out)) throw Error({"wrong type", "reference of an unexpected type"});
  return out;
}

std::shared_ptr<T> RuntimeCore::ObjectFor(const ObjectRef& ref,
                                          const std::optional<Endpoint>& via) {
  if (ref.id.space == space_id_) {
    auto target = exports_.Find(ref.id.object);
    if (!target) throw Error({"unknown object", "object " + std::to_string(ref.id.object)});
    return target->object;
  }
  if (ref.id.space != 0)
    if (auto s = surrogates_.Find(ref.id)) return s;
  const StubRegistry& stubs = StubRegistry::Instance();
  const StubEntry* entry = stubs.FirstRegistered(ref.types);
  if (entry == nullptr) entry = stubs.Find("NetObj.T");
  std::shared_ptr<T> made = entry->make_surrogate();
  if (!made) throw Error({"cannot make surrogate", entry->type_name});
  made->set_link(std::make_shared<SurrogateLink>(weak_from_this(), ref,
                                                 ConnectOrder(ref.endpoints, via, local_)));
  if (ref.id.space == 0) return made;
  return surrogates_.Insert(ref.id, made);
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
  made->set_link(std::make_shared<SurrogateLink>(weak_from_this(), std::move(ref), order));
  return made;
}

}  // namespace NetObj
