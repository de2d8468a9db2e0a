// Exports put again at a restarted agent, with the agent a runtime of this process, so that the
// keeper's thread, new exports from other threads and the agent's restart race under TSan.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "netobj/Runtime.h"
#include "netobj/agent/AgentImpl.h"
#include "netobj/test/TestService.h"
#include "tests/support/Agent.h"
#include "tests/support/Wait.h"

namespace {

using namespace NetObj;
using namespace TestNetObj;
using namespace std::chrono_literals;

// An agent on a fixed port that can be ended and started again there.
class InProcessAgent {
 public:
  InProcessAgent() : port_(test_support::UnusedPort()) { Start(); }
  uint16_t port() const { return port_; }
  void Restart() {
    runtime_.reset();
    Start();
  }

 private:
  void Start() {
    RuntimeOptions o;
    o.port = port_;
    runtime_.emplace(o);
    runtime_->ExportWellKnown(kAgentObjectId,
                              std::make_shared<AgentImpl>([](const Endpoint&) { return true; }));
  }
  uint16_t port_;
  std::optional<Runtime> runtime_;
};

RuntimeOptions Owner(uint16_t agent_port) {
  RuntimeOptions o;
  o.agent_port = agent_port;
  o.agent_check = 10ms;
  return o;
}

std::shared_ptr<T> ImportWithin(Runtime& rt, const std::string& name,
                                std::chrono::milliseconds limit) {
  std::shared_ptr<T> found;
  test_support::WaitUntil(
      [&] {
        try {
          found = rt.ImportObject(name, rt.LocateAgent("127.0.0.1"));
        } catch (const Error&) {
          // The agent is between runs.
        }
        return found != nullptr;
      },
      limit, 5ms);
  return found;
}

TEST(ExportKeeper, ExportsMadeWhileTheAgentRestartsAllComeBack) {
  InProcessAgent agent;
  Runtime owner(Owner(agent.port()));
  Runtime importer(Owner(agent.port()));
  std::vector<std::shared_ptr<ServiceImpl>> objects;
  for (int i = 0; i < 4; ++i) objects.push_back(std::make_shared<ServiceImpl>());
  owner.ExportObject("kept", objects[0]);
  {
    // New exports of one name race the keeper's checks and the restarts.
    std::jthread exporter([&] {
      for (int i = 0; i < 30; ++i) {
        try {
          owner.ExportObject("moving", objects[1 + i % 3]);
        } catch (const Error&) {
          // The agent is between runs.
        }
        std::this_thread::sleep_for(2ms);
      }
    });
    for (int i = 0; i < 3; ++i) {
      agent.Restart();
      std::this_thread::sleep_for(15ms);
    }
  }
  owner.ExportObject("moving", objects[3]);
  agent.Restart();
  auto s = std::dynamic_pointer_cast<ServiceSurrogate>(ImportWithin(importer, "kept", 2s));
  ASSERT_TRUE(s);
  EXPECT_EQ(s->add(1, 2), 3);
  // The last export of the moving name is the one that comes back.
  EXPECT_EQ(ImportWithin(owner, "moving", 2s).get(), objects[3].get());
}

}  // namespace
