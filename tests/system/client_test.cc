// The client program's console texts and endings, run as a real process: wrong command lines,
// an unknown host and a failed lookup on hosts of the test's own, an agent without a server,
// and a server that dies under its clients.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/Agent.h"
#include "tests/support/NamespaceHosts.h"
#include "tests/support/Program.h"
#include "tests/system/SystemRig.h"
#include "tests/tools/tour/Tour.h"

namespace system_test {
namespace {

using std::chrono::milliseconds;
using test_support::Finished;
using test_support::Invocation;
using test_support::RunToEnd;
namespace fs = std::filesystem;

constexpr milliseconds kExitTimeout{10000};

struct UsageCase {
  std::string argv0;
  std::vector<std::string> args;
};

// The usage names the program as it was invoked, whatever that was.
TEST(ClientTest, AnyArgumentCountButOnePrintsTheUsageWithTheInvokedName) {
  const std::vector<UsageCase> cases = {
      {"client", {}},
      {"./bin/fractal-client", {}},
      {"client", {"localhost", "extra"}},
      {"/opt/x/client", {"a", "b", "c"}},
  };
  for (const UsageCase& c : cases) {
    SCOPED_TRACE(c.argv0 + " with " + std::to_string(c.args.size()) + " arguments");
    Invocation invocation = ClientInvocation(c.args);
    invocation.argv0 = c.argv0;
    invocation.env = {test_support::AgentPortSetting(test_support::UnusedPort())};
    const Finished run = RunToEnd(invocation, kExitTimeout);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "Usage: " + c.argv0 + " <host>\n");
  }
}

struct LookupCase {
  const char* name;
  std::vector<std::pair<std::string, std::string>> files;  // of the host's /etc
  std::string out;
};

// A name the name service says it does not know is "No such host"; a lookup that gets no
// answer at all (the resolver finds no name server, EAI_AGAIN) says nothing about the name and
// ends in the message for an unforeseen error. Each runs on a host of its own, cut off from
// every network, with its own name-service files.
TEST(ClientTest, OnlyANameTheLookupDeniesIsNoSuchHost) {
  const std::vector<LookupCase> cases = {
      {"hosts file only",
       {{"nsswitch.conf", "hosts: files\n"}},
       "No such host \"no-such-host.invalid\"\n"},
      {"name server on loopback, nobody listening",
       {{"nsswitch.conf", "hosts: dns\n"},
        {"resolv.conf", "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n"}},
       "An unknown fatal error occurred."},
      {"name server without a route",
       {{"nsswitch.conf", "hosts: dns\n"},
        {"resolv.conf", "nameserver 10.213.9.53\noptions timeout:1 attempts:1\n"}},
       "An unknown fatal error occurred."},
  };
  for (const LookupCase& c : cases) {
    SCOPED_TRACE(c.name);
    test_support::NamespaceHosts host({.hub_name = "client-host",
                                       .linked_hosts = 0,
                                       .host_names = {},
                                       .etc_files = c.files,
                                       .prefix = "client"});
    const Finished run = RunToEnd(
        host.In(0, Invocation{CLIENT_PATH, {"no-such-host.invalid"}, {}, {}}), kExitTimeout);
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_EQ(run.out, c.out) << run.err;
  }
}

TEST(ClientTest, AnAgentWithoutAServerIsReported) {
  test_support::Agent agent(AgentPath());
  Invocation invocation = ClientInvocation({"localhost"});
  invocation.env = {agent.PortSetting()};
  const Finished run = RunToEnd(invocation, kExitTimeout);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "Error: a fractal server is not running on \"localhost\"\n");
}

// Each line a numbered request, counting from 1, and the failure message last.
void ExpectRequestsThenNetobjError(const std::string& out) {
  std::size_t at = 0;
  int unit = 0;
  const std::string request = "Requesting work unit ";
  while (out.compare(at, request.size(), request) == 0) {
    const std::string line = request + std::to_string(++unit) + "...\n";
    ASSERT_EQ(out.compare(at, line.size(), line), 0) << "line " << unit << " of:\n" << out;
    at += line.size();
  }
  EXPECT_GE(unit, 1);
  EXPECT_EQ(out.substr(at), "Netobj.error\n");
}

struct KillCase {
  const char* name;
  std::vector<std::string> serverArgs;
  bool viewComplete;  // killed while it waits for a click; else while clients still compute
};

void PrintTo(const KillCase& c, std::ostream* os) { *os << c.name; }

class ServerKilledTest : public testing::TestWithParam<KillCase> {};

// The server dies without a word (SIGKILL): every client, whether it waits inside a call or is
// computing, ends within seconds with its one failure message.
TEST_P(ServerKilledTest, EveryClientEndsWithNetobjError) {
  const KillCase& c = GetParam();
  SystemRig rig;
  rig.StartServer(c.serverArgs);
  for (int i = 0; i < 3; ++i) rig.StartClient();
  if (c.viewComplete) {
    tour::TourSettings s;
    s.display = rig.display();
    s.sx = 64;
    s.sy = 48;
    tour::Tour t(s);
    ASSERT_EQ(t.AwaitView(milliseconds(30000)), "");
  }
  rig.server().Signal(SIGKILL);
  for (auto& client : rig.clients()) {
    EXPECT_EQ(client->WaitForExit(kExitTimeout), 1) << "a client did not end";
    ExpectRequestsThenNetobjError(client->Out());
  }
}

INSTANTIATE_TEST_SUITE_P(
    When, ServerKilledTest,
    testing::Values(KillCase{"WaitingForAClick", {"-width", "64", "-height", "48"}, true},
                    KillCase{"WhileClientsCompute", {"-width", "1600", "-height", "1200"}, false}),
    [](const testing::TestParamInfo<KillCase>& info) { return info.param.name; });

}  // namespace
}  // namespace system_test
