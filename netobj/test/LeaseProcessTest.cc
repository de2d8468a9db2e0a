// Object lifetime with real processes: a child process holds a surrogate of an object owned by
// this process (through a real agent); the object's destructor here tells when the owner let
// go. A holder that drops its surrogate is released within the batching delay; one killed with
// SIGKILL within moments of its connections closing; one stopped with SIGSTOP within the lease
// period (8 s by default). The agent forgets a name whose owner was killed.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "netobj/Runtime.h"
#include "netobj/test/TestService.h"
#include "tests/support/Agent.h"
#include "tests/support/Program.h"
#include "tests/support/Wait.h"

namespace {

using namespace NetObj;
using namespace TestNetObj;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test_support::Agent;
using test_support::Program;
using test_support::WaitUntil;

long long MillisecondsSince(Clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

// The holder child in `mode`, at `agent`. It runs until its input ends.
std::unique_ptr<Program> HolderChild(const std::string& mode, const Agent& agent) {
  return std::make_unique<Program>(
      test_support::Invocation{HOLDER_CHILD_BIN, {mode, "svc"}, {agent.PortSetting()}, {}},
      Program::Input::kPipe);
}

RuntimeOptions WithAgentPort(uint16_t port) {
  RuntimeOptions o;
  o.agent_port = port;
  return o;
}

class WithHolder : public ::testing::Test {
 protected:
  void SetUp() override {
    owner.ExportObject("svc", service);
    holder = HolderChild("hold", agent);
    ASSERT_TRUE(holder->WaitForOut("holding", 20s)) << holder->Out() << holder->Err();
    ASSERT_EQ(made.alive, 1);
    // Its lease is up: the owner counts the holder as connected.
    ASSERT_TRUE(WaitUntil([&] { return owner.leased_holders() >= 2; }, 10s));  // agent and child
  }

  Agent agent{NETOBJ_AGENT_BIN};
  Runtime owner{WithAgentPort(agent.port())};
  std::shared_ptr<ServiceImpl> service = std::make_shared<ServiceImpl>();
  Tracker& made = service->tracker();
  std::unique_ptr<Program> holder;
};

TEST_F(WithHolder, ADroppedSurrogateIsReleasedWithinTheBatchingDelay) {
  Clock::time_point t0 = Clock::now();
  holder->Say("drop");
  ASSERT_TRUE(holder->WaitForOut("dropped", 10s));
  EXPECT_TRUE(WaitUntil([&] { return made.alive == 0; }, 10s));
  std::printf("  released %lld ms after the holder was told to drop it (batching delay 100 ms)\n",
              MillisecondsSince(t0));
}

TEST_F(WithHolder, AHolderKilledWithSigkillLosesItsHoldingsAtOnce) {
  Clock::time_point t0 = Clock::now();
  holder->Kill();
  EXPECT_TRUE(WaitUntil([&] { return made.alive == 0; }, 10s));
  std::printf("  released %lld ms after SIGKILL\n", MillisecondsSince(t0));
}

TEST_F(WithHolder, AStoppedHolderLosesItsHoldingsWithinTheLeasePeriod) {
  Clock::time_point t0 = Clock::now();
  holder->Signal(SIGSTOP);
  EXPECT_TRUE(WaitUntil([&] { return made.alive == 0; }, 20s));
  std::printf("  released %lld ms after SIGSTOP (lease period 8000 ms)\n", MillisecondsSince(t0));
  holder->Signal(SIGCONT);
}

TEST(AgentAndDeadOwner, AKilledOwnersNameIsForgotten) {
  Agent agent(NETOBJ_AGENT_BIN);
  Runtime client(WithAgentPort(agent.port()));
  for (int round = 0; round < 3; ++round) {
    std::unique_ptr<Program> owner = HolderChild("own", agent);
    ASSERT_TRUE(owner->WaitForOut("exported", 20s)) << owner->Out() << owner->Err();
    AgentHandle h = client.LocateAgent("127.0.0.1");
    {
      auto s = std::dynamic_pointer_cast<ServiceSurrogate>(client.ImportObject("svc", h));
      ASSERT_TRUE(s);
      EXPECT_EQ(s->add(1, 2), 3);
    }
    owner->Kill();
    // Asked at once: the answer is "nothing exported", not a failure to reach the dead owner.
    std::shared_ptr<T> after;
    EXPECT_NO_THROW(after = client.ImportObject("svc", h));
    EXPECT_EQ(after, nullptr) << "round " << round;
  }
}

// The other way round: an owner stopped for longer than the lease period does not count its
// holders gone when it resumes (its own silence was the cause), and they keep their objects.
TEST(OwnerPause, AnOwnerStoppedBeyondTheLeasePeriodKeepsWhatItsHoldersHold) {
  Agent agent(NETOBJ_AGENT_BIN);
  std::unique_ptr<Program> owner = HolderChild("own", agent);
  ASSERT_TRUE(owner->WaitForOut("exported", 20s)) << owner->Out() << owner->Err();
  Runtime client(WithAgentPort(agent.port()));
  auto service = std::dynamic_pointer_cast<ServiceSurrogate>(
      client.ImportObject("svc", client.LocateAgent("127.0.0.1")));
  ASSERT_TRUE(service);
  auto unit = std::dynamic_pointer_cast<ServiceSurrogate>(service->create(false));
  ASSERT_TRUE(unit);
  owner->Signal(SIGSTOP);
  std::this_thread::sleep_for(10s);  // beyond the 8 s lease period
  owner->Signal(SIGCONT);
  EXPECT_EQ(unit->add(1, 2), 3);
  EXPECT_EQ(service->add(3, 4), 7);
}

}  // namespace
