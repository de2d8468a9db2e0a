// The stub units across real processes: a caller imports a FractalNetObj.T that an owner process
// exported through a real netobj-agent, and runs one work unit through it; first on one host
// over loopback, then between two network namespaces standing for two hosts, where the caller
// finds the owner's agent by a host name that only the namespaces know; across hosts every
// process holds the same cluster key, as a runtime serves only its own host without one.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "interface/test/ParamsText.h"
#include "tests/support/Agent.h"
#include "tests/support/KeyFile.h"
#include "tests/support/NamespaceHosts.h"
#include "tests/support/Program.h"

namespace {

using namespace std::chrono_literals;
using test_support::Invocation;
using test_support::Program;

constexpr const char* kAgent = NETOBJ_AGENT_PATH;
constexpr const char* kOwner = STUB_TEST_OWNER_PATH;
constexpr const char* kCaller = STUB_TEST_CALLER_PATH;
constexpr const char* kName = "fractal";
constexpr const char* kOwnerHost = "stub-owner-host";
constexpr const char* kCallerHost = "stub-caller-host";

// What the caller must print, and the owner must have received, when every value crossed
// unchanged.
std::string ExpectedParamsLine() {
  return "params " + StubSystemTest::ParamsText(StubSystemTest::EdgeParams()) + "\n";
}
std::string ExpectedReturnLine() {
  return "returnResults " + StubSystemTest::ParamsText(StubSystemTest::EdgeParams()) + " " +
         StubSystemTest::PixMapText(StubSystemTest::ReturnedPixMap()) + "\n";
}

void ExpectOneUnitCrossed(Program& caller, Program& owner) {
  std::optional<int> status = caller.WaitForExit(30s);
  EXPECT_EQ(status, 0) << "caller output:\n" << caller.Out() << caller.Err();
  const std::string out = caller.Out();
  EXPECT_NE(out.find("server=surrogate\n"), std::string::npos) << out;
  EXPECT_NE(out.find("unit=surrogate\n"), std::string::npos) << out;
  EXPECT_NE(out.find(ExpectedParamsLine()), std::string::npos) << out;
  EXPECT_NE(out.find("second=null\n"), std::string::npos) << out;
  EXPECT_TRUE(owner.WaitForOut(ExpectedReturnLine(), 10s)) << "owner output:\n"
                                                           << owner.Out() << owner.Err();
}

TEST(StubProcesses, ACallerRunsAUnitThroughAnOwnerOnTheSameHost) {
  test_support::Agent agent(kAgent);
  const std::vector<std::string> env = {agent.PortSetting()};
  Program owner(Invocation{kOwner, {kName}, env, {}});
  ASSERT_TRUE(owner.WaitForOut("ready\n", 10s)) << owner.Out() << owner.Err();
  Program caller(Invocation{kCaller, {"localhost", kName}, env, {}});
  ExpectOneUnitCrossed(caller, owner);
}

TEST(StubProcesses, ANameNotExportedIsReportedNotCalled) {
  test_support::Agent agent(kAgent);
  Program caller(Invocation{kCaller, {"localhost", "nobody"}, {agent.PortSetting()}, {}});
  EXPECT_EQ(caller.WaitForExit(30s), 2) << caller.Out() << caller.Err();
  EXPECT_NE(caller.Out().find("not exported"), std::string::npos) << caller.Out();
}

// Two hosts made of network namespaces: the owner's host is the hub, the caller's is linked to
// it, and the hosts files name both.
TEST(StubProcesses, ACallerOnOneHostRunsAUnitThroughAnOwnerOnAnotherByHostName) {
  std::optional<test_support::NamespaceHosts> hosts;
  try {
    hosts.emplace(test_support::NamespaceLayout{.hub_name = kOwnerHost,
                                                .linked_hosts = 1,
                                                .host_names = {kCallerHost},
                                                .etc_files = {},
                                                .prefix = "stubs"});
  } catch (const test_support::NamespacesRefused& refused) {
    GTEST_SKIP() << "network namespaces are not available here: " << refused.what();
  }

  // Children are declared after the namespaces so they stop before the namespaces go.
  test_support::KeyFile key;
  const std::vector<std::string> env = {"NETOBJ_AGENT_PORT=7917", key.Setting()};
  Program agent(hosts->In(0, Invocation{kAgent, {}, env, {}}));
  ASSERT_TRUE(agent.WaitForOut("listening", 10s)) << agent.Out() << agent.Err();
  Program owner(hosts->In(0, Invocation{kOwner, {kName}, env, {}}));
  ASSERT_TRUE(owner.WaitForOut("ready\n", 10s)) << owner.Out() << owner.Err();
  Program caller(hosts->In(1, Invocation{kCaller, {kOwnerHost, kName}, env, {}}));
  ExpectOneUnitCrossed(caller, owner);
}

}  // namespace
