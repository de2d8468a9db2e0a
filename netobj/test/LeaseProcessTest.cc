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
#include "netobj/test/Child.h"
#include "netobj/test/TestService.h"
#include "netobj/wire/Socket.h"

namespace {

using namespace NetObj;
using namespace TestNetObj;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

uint16_t FreePort() { return Socket::Listen(0).LocalPort(); }

long long MillisecondsSince(Clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

// Waits (bounded) until `cond` holds.
bool WaitFor(const std::function<bool()>& cond, std::chrono::milliseconds limit) {
  Clock::time_point start = Clock::now();
  while (!cond()) {
    if (Clock::now() - start > limit) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

class WithHolder : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(agent.WaitForText("listening", 10s)) << agent.output();
    owner.ExportObject("svc", service);
    holder =
        std::make_unique<Child>(std::vector<std::string>{HOLDER_CHILD_BIN, "hold", "svc"}, env);
    ASSERT_TRUE(holder->WaitForText("holding", 20s)) << holder->output();
    ASSERT_EQ(made.alive, 1);
    // Its lease is up: the owner counts the holder as connected.
    ASSERT_TRUE(WaitFor([&] { return owner.leased_holders() >= 2; }, 10s));  // agent and child
  }

  uint16_t port = FreePort();
  std::vector<std::string> env{"NETOBJ_AGENT_PORT=" + std::to_string(port)};
  Child agent{{NETOBJ_AGENT_BIN}, env};
  Runtime owner{[&] {
    RuntimeOptions o;
    o.agent_port = port;
    return o;
  }()};
  std::shared_ptr<ServiceImpl> service = std::make_shared<ServiceImpl>();
  Tracker& made = service->tracker();
  std::unique_ptr<Child> holder;
};

TEST_F(WithHolder, ADroppedSurrogateIsReleasedWithinTheBatchingDelay) {
  Clock::time_point t0 = Clock::now();
  holder->Say("drop");
  ASSERT_TRUE(holder->WaitForText("dropped", 10s));
  EXPECT_TRUE(WaitFor([&] { return made.alive == 0; }, 10s));
  std::printf("  released %lld ms after the holder was told to drop it (batching delay 100 ms)\n",
              MillisecondsSince(t0));
}

TEST_F(WithHolder, AHolderKilledWithSigkillLosesItsHoldingsAtOnce) {
  Clock::time_point t0 = Clock::now();
  holder->Kill();
  EXPECT_TRUE(WaitFor([&] { return made.alive == 0; }, 10s));
  std::printf("  released %lld ms after SIGKILL\n", MillisecondsSince(t0));
}

TEST_F(WithHolder, AStoppedHolderLosesItsHoldingsWithinTheLeasePeriod) {
  Clock::time_point t0 = Clock::now();
  holder->Signal(SIGSTOP);
  EXPECT_TRUE(WaitFor([&] { return made.alive == 0; }, 20s));
  std::printf("  released %lld ms after SIGSTOP (lease period 8000 ms)\n", MillisecondsSince(t0));
  holder->Signal(SIGCONT);
}

TEST(AgentAndDeadOwner, AKilledOwnersNameIsForgotten) {
  uint16_t port = FreePort();
  std::vector<std::string> env{"NETOBJ_AGENT_PORT=" + std::to_string(port)};
  Child agent({NETOBJ_AGENT_BIN}, env);
  ASSERT_TRUE(agent.WaitForText("listening", 10s)) << agent.output();
  RuntimeOptions o;
  o.agent_port = port;
  Runtime client(o);
  for (int round = 0; round < 3; ++round) {
    Child owner({HOLDER_CHILD_BIN, "own", "svc"}, env);
    ASSERT_TRUE(owner.WaitForText("exported", 20s)) << owner.output();
    AgentHandle h = client.LocateAgent("127.0.0.1");
    {
      auto s = std::dynamic_pointer_cast<ServiceSurrogate>(client.ImportObject("svc", h));
      ASSERT_TRUE(s);
      EXPECT_EQ(s->add(1, 2), 3);
    }
    owner.Kill();
    // Asked at once: the answer is "nothing exported", not a failure to reach the dead owner.
    std::shared_ptr<T> after;
    EXPECT_NO_THROW(after = client.ImportObject("svc", h));
    EXPECT_EQ(after, nullptr) << "round " << round;
  }
}

// The other way round: an owner stopped for longer than the lease period does not count its
// holders gone when it resumes (its own silence was the cause), and they keep their objects.
TEST(OwnerPause, AnOwnerStoppedBeyondTheLeasePeriodKeepsWhatItsHoldersHold) {
  uint16_t port = FreePort();
  std::vector<std::string> env{"NETOBJ_AGENT_PORT=" + std::to_string(port)};
  Child agent({NETOBJ_AGENT_BIN}, env);
  ASSERT_TRUE(agent.WaitForText("listening", 10s)) << agent.output();
  Child owner({HOLDER_CHILD_BIN, "own", "svc"}, env);
  ASSERT_TRUE(owner.WaitForText("exported", 20s)) << owner.output();
  RuntimeOptions o;
  o.agent_port = port;
  Runtime client(o);
  auto service = std::dynamic_pointer_cast<ServiceSurrogate>(
      client.ImportObject("svc", client.LocateAgent("127.0.0.1")));
  ASSERT_TRUE(service);
  auto unit = std::dynamic_pointer_cast<ServiceSurrogate>(service->create(false));
  ASSERT_TRUE(unit);
  owner.Signal(SIGSTOP);
  std::this_thread::sleep_for(10s);  // beyond the 8 s lease period
  owner.Signal(SIGCONT);
  EXPECT_EQ(unit->add(1, 2), 3);
  EXPECT_EQ(service->add(3, 4), 7);
}

}  // namespace
