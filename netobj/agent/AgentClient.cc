// Locating an agent and exporting and importing through it. Failing to reach the agent is
// reported as ("cannot reach agent", address, reason, ...); a failure of the agent mid-call as
// ("agent failed", ...).
#include "netobj/Runtime.h"
#include "netobj/RuntimeCore.h"
#include "netobj/agent/AgentStubs.h"
#include "netobj/agent/ExportKeeper.h"
#include "netobj/wire/Addresses.h"

namespace NetObj {

namespace {

std::shared_ptr<Agent> AgentAt(RuntimeCore& core, const std::string& host, uint16_t port) {
  auto s = core.WellKnownSurrogate(ResolveHost(host, port), kAgentObjectId, kAgentTypeName);
  return std::dynamic_pointer_cast<Agent>(s);
}

template <class Op>
auto TalkToAgent(Op op) {
  try {
    return op();
  } catch (const ConnectError& e) {
    AtomList atoms{"cannot reach agent"};
    atoms.insert(atoms.end(), e.atoms().begin() + 1, e.atoms().end());
    throw Error(std::move(atoms));
  }
}

}  // namespace

AgentHandle Runtime::LocateAgent(std::string_view host) {
  AgentHandle h{std::string(host), core_->options().agent_port};
  TalkToAgent([&] {
    AgentAt(*core_, h.host, h.port)->ping();
    return 0;
  });
  return h;
}

void Runtime::ExportObject(std::string_view name, std::shared_ptr<T> obj,
                           const std::optional<AgentHandle>& agent) {
  AgentHandle h = agent.value_or(AgentHandle{"127.0.0.1", core_->options().agent_port});
  TalkToAgent([&] {
    kept_->Export(ResolveHost(h.host, h.port), h.host + ":" + std::to_string(h.port),
                  std::string(name), std::move(obj));
    return 0;
  });
}

std::shared_ptr<T> Runtime::ImportObject(std::string_view name, const AgentHandle& agent) {
  return TalkToAgent(
      [&] { return AgentAt(*core_, agent.host, agent.port)->get(std::string(name)); });
}

}  // namespace NetObj
