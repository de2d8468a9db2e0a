// The public runtime instance, the process default, and configuration from the environment.
#include "netobj/Runtime.h"

#include <cstdlib>
#include <mutex>
#include <string>

#include "netobj/RuntimeCore.h"
#include "netobj/StubRegistry.h"
#include "netobj/agent/AgentStubs.h"
#include "netobj/agent/ExportKeeper.h"

namespace NetObj {

namespace {

uint16_t PortFromEnvironment(const char* var, uint16_t fallback) {
  const char* v = std::getenv(var);
  if (v == nullptr || *v == '\0') return fallback;
  char* end = nullptr;
  long port = std::strtol(v, &end, 10);
  if (*end != '\0' || port < 1 || port > 65535) throw Error({"bad port", var, v});
  return static_cast<uint16_t>(port);
}

// Every runtime can talk to agents: their stubs are registered before the first instance exists.
std::shared_ptr<RuntimeCore> MakeCore(const RuntimeOptions& options) {
  static std::once_flag once;
  std::call_once(once, [] { RegisterAgentStubs(StubRegistry::Instance()); });
  return std::make_shared<RuntimeCore>(options);
}

}  // namespace

RuntimeOptions RuntimeOptions::FromEnvironment() {
  RuntimeOptions o;
  o.port = PortFromEnvironment("NETOBJ_PORT", 0);
  o.agent_port = PortFromEnvironment("NETOBJ_AGENT_PORT", kDefaultAgentPort);
  o.key = KeyFromEnvironment();
  return o;
}

Runtime::Runtime(const Options& options)
    : core_(MakeCore(options)), kept_(std::make_unique<ExportKeeper>(core_, options.agent_check)) {}

Runtime::~Runtime() { Shutdown(); }

Runtime& Runtime::Default() {
  static Runtime* instance = new Runtime(RuntimeOptions::FromEnvironment());
  return *instance;
}

uint64_t Runtime::space_id() const { return core_->space_id(); }
uint16_t Runtime::Listen() { return core_->serving().Listen(); }
void Runtime::Shutdown() {
  // The core first: it wakes a put of the keeper that waits on the agent.
  core_->Shutdown();
  kept_->Stop();
}

void Runtime::ExportWellKnown(uint64_t id, std::shared_ptr<T> obj) {
  if (id == 0 || id >= kFirstOrdinaryId) throw Error({"bad well-known object number"});
  core_->exports().ExportWellKnown(id, obj);
  core_->serving().Listen();
}

ObjectRef Runtime::RefOf(const std::shared_ptr<T>& obj) {
  if (obj->IsSurrogate()) return obj->link()->ref();
  ObjectRef ref;
  ref.id = WireId{core_->space_id(), core_->exports().Pin(obj)};
  for (auto t : obj->RemoteTypes()) ref.types.emplace_back(t);
  ref.endpoints = core_->serving().Advertised();
  return ref;
}

std::shared_ptr<T> Runtime::ObjectOf(const ObjectRef& ref) {
  return core_->ObjectFor(ref, std::nullopt, RuntimeCore::Receipt::kUnregistered);
}

uint64_t Runtime::accepted_connections() const { return core_->serving().accepted_connections(); }
std::size_t Runtime::idle_connections() const { return core_->calling().idle_connections(); }
std::size_t Runtime::exported_objects() const { return core_->exports().size(); }
std::size_t Runtime::live_surrogate_entries() const { return core_->surrogates().size(); }

std::set<uint64_t> Runtime::HoldersOf(const std::shared_ptr<T>& local) const {
  return core_->exports().HoldersOf(local.get());
}

std::size_t Runtime::open_serving_connections() const {
  return core_->serving().open_serving_connections();
}

std::size_t Runtime::leased_holders() const { return core_->exports().leased_holders(); }

std::size_t Runtime::lease_threads() const { return core_->leases().running(); }

AgentHandle LocateAgent(std::string_view host) { return Runtime::Default().LocateAgent(host); }

void ExportObject(std::string_view name, std::shared_ptr<T> obj,
                  const std::optional<AgentHandle>& agent) {
  Runtime::Default().ExportObject(name, std::move(obj), agent);
}

std::shared_ptr<T> ImportObject(std::string_view name, const AgentHandle& agent) {
  return Runtime::Default().ImportObject(name, agent);
}

}  // namespace NetObj
