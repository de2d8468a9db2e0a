// The agent across real processes: the built netobj-agent on a free port, runtimes in this
// process exporting and importing through it; and the errors when no agent answers.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "netobj/Runtime.h"
#include "netobj/agent/AgentImpl.h"
#include "netobj/test/Garbage.h"
#include "netobj/test/TestService.h"
#include "netobj/wire/Addresses.h"
#include "tests/support/Agent.h"
#include "tests/support/Atoms.h"
#include "tests/support/Wait.h"

namespace {

using namespace NetObj;
using namespace TestNetObj;
using namespace std::chrono_literals;
using test_support::AtomsOf;
using test_support::UnusedPort;
using test_support::WaitUntil;

RuntimeOptions WithAgentPort(uint16_t port) {
  RuntimeOptions o;
  o.agent_port = port;
  return o;
}

RuntimeOptions WithAgentCheck(uint16_t port, std::chrono::milliseconds check) {
  RuntimeOptions o = WithAgentPort(port);
  o.agent_check = check;
  return o;
}

class WithAgent : public ::testing::Test {
 protected:
  test_support::Agent agent{NETOBJ_AGENT_BIN};
  uint16_t port = agent.port();
  Runtime owner{WithAgentPort(port)};
  Runtime client{WithAgentPort(port)};
  void SetUp() override { ASSERT_NO_THROW(client.LocateAgent("127.0.0.1")); }

  // Kills the agent and starts another run of it on the same port.
  void RestartAgent() {
    agent.Restart();
    ASSERT_NO_THROW(client.LocateAgent("127.0.0.1"));
  }

  // The object exported under `name`, imported as soon as it is there (at most `limit`).
  std::shared_ptr<T> ImportWithin(const std::string& name, std::chrono::milliseconds limit) {
    std::shared_ptr<T> found;
    WaitUntil(
        [&] {
          return (found = client.ImportObject(name, client.LocateAgent("127.0.0.1"))) != nullptr;
        },
        limit, 20ms);
    return found;
  }
};

TEST_F(WithAgent, ExportImportReplaceAndUnknownNames) {
  auto first = std::make_shared<ServiceImpl>();
  owner.ExportObject("svc", first);
  AgentHandle h = client.LocateAgent("localhost");
  EXPECT_EQ(h.port, port);
  auto s = std::dynamic_pointer_cast<SpecialSurrogate>(client.ImportObject("svc", h));
  ASSERT_TRUE(s);
  EXPECT_EQ(s->add(2, 3), 5);
  EXPECT_EQ(client.ImportObject("nothing here", h), nullptr);

  // The surrogate points at the owner, not at the agent: it outlives the agent.
  EXPECT_EQ(agent.Stop(), 0);
  EXPECT_EQ(s->add(4, 5), 9);
}

TEST_F(WithAgent, ANewExportReplacesTheName) {
  auto first = std::make_shared<ServiceImpl>();
  auto second = std::make_shared<ServiceImpl>();
  owner.ExportObject("svc", first);
  owner.ExportObject("svc", second, AgentHandle{"127.0.0.1", port});
  // Imported back into its owner, the object is the local object itself.
  EXPECT_EQ(owner.ImportObject("svc", owner.LocateAgent("127.0.0.1")).get(), second.get());
}

// The agent keeps its names in memory only: the owner puts its exports again at the new run,
// within one check (a second) of its return.
TEST_F(WithAgent, AnExportComesBackWhenTheAgentIsRestarted) {
  auto obj = std::make_shared<ServiceImpl>();
  auto other = std::make_shared<ServiceImpl>();
  owner.ExportObject("svc", obj);
  owner.ExportObject("other", other);
  RestartAgent();
  auto start = std::chrono::steady_clock::now();
  auto s = std::dynamic_pointer_cast<ServiceSurrogate>(ImportWithin("svc", 5s));
  auto waited = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(s);
  EXPECT_EQ(s->add(2, 3), 5);
  EXPECT_LT(waited, 2s);
  EXPECT_TRUE(ImportWithin("other", 0ms));

  // And again: the owner follows every run of the agent, not only the first.
  RestartAgent();
  EXPECT_TRUE(ImportWithin("svc", 5s));
}

// Exported twice, the object is counted twice for the agent and released as such: once the name
// goes to another object, nobody holds the first.
TEST_F(WithAgent, ExportingANameTwiceLeavesNoHoldingBehind) {
  auto first = std::make_shared<ServiceImpl>();
  owner.ExportObject("svc", first);
  owner.ExportObject("svc", first);
  EXPECT_EQ(owner.HoldersOf(first).size(), 1u);
  owner.ExportObject("svc", std::make_shared<ServiceImpl>());
  EXPECT_TRUE(WaitUntil([&] { return owner.HoldersOf(first).empty(); }, 5s, 20ms));
}

// An owner puts its export again only at a new run of the agent: a name that another process
// exported since stays that process's.
TEST_F(WithAgent, AnOwnerDoesNotTakeBackANameAnotherOwnerExported) {
  Runtime first_owner(WithAgentCheck(port, 20ms));
  Runtime second_owner(WithAgentCheck(port, 20ms));
  auto first = std::make_shared<ServiceImpl>();
  auto second = std::make_shared<ServiceImpl>();
  first_owner.ExportObject("svc", first);
  second_owner.ExportObject("svc", second);
  std::this_thread::sleep_for(300ms);  // fifteen checks of the first owner
  EXPECT_EQ(second_owner.ImportObject("svc", second_owner.LocateAgent("127.0.0.1")).get(),
            second.get());
}

TEST_F(WithAgent, GarbageAtTheAgentsPortLeavesItServing) {
  auto replies = ThrowGarbageAt(port, 11);
  EXPECT_FALSE(replies.empty());
  auto obj = std::make_shared<ServiceImpl>();
  owner.ExportObject("after-garbage", obj);
  auto s = std::dynamic_pointer_cast<ServiceSurrogate>(
      client.ImportObject("after-garbage", client.LocateAgent("127.0.0.1")));
  ASSERT_TRUE(s);
  EXPECT_EQ(s->add(1, 1), 2);
}

TEST(NoAgent, LocateAndExportSayWhatFailed) {
  uint16_t port = UnusedPort();
  Runtime rt(WithAgentPort(port));
  std::string where = "127.0.0.1:" + std::to_string(port);
  AtomList expected{"cannot reach agent", where, "Connection refused"};
  EXPECT_EQ(AtomsOf([&] { rt.LocateAgent("127.0.0.1"); }), expected);
  EXPECT_EQ(AtomsOf([&] { rt.ExportObject("x", std::make_shared<ServiceImpl>()); }), expected);
  EXPECT_EQ(AtomsOf([&] { rt.LocateAgent("no-such-host.invalid"); }).front(),
            "cannot resolve host");
}

// The agent refuses exports from other hosts. A test cannot easily call from another host, so
// the agent's rule for "local" is replaced by one that calls every address foreign.
TEST(ForeignExport, IsRefusedAndTheNameStaysUnset) {
  Runtime agent_rt;
  agent_rt.ExportWellKnown(kAgentObjectId,
                           std::make_shared<AgentImpl>([](const Endpoint&) { return false; }));
  uint16_t port = agent_rt.Listen();
  Runtime rt(WithAgentPort(port));
  AtomList atoms = AtomsOf([&] { rt.ExportObject("x", std::make_shared<ServiceImpl>()); });
  ASSERT_GE(atoms.size(), 2u);
  EXPECT_EQ(atoms[0], "export refused");
  EXPECT_EQ(rt.ImportObject("x", rt.LocateAgent("127.0.0.1")), nullptr);
}

}  // namespace
