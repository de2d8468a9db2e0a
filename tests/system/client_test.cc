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

std::string IpPath() {
  for (const char* path : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}) {
    if (access(path, X_OK) == 0) return path;
  }
  return "ip";
}

// A network namespace of the test's own, standing for a host whose name service the test sets
// up: `ip netns exec` mounts the files written to /etc/netns/NAME over those in /etc. Whatever
// still runs in it at the end is stopped by the pids `ip netns pids` lists; then the namespace
// and its files are removed.
class LookupHost {
 public:
  explicit LookupHost(const std::string& tag)
      : name_("client-lookup-" + tag + "-" + std::to_string(getpid())) {}
  ~LookupHost() { Remove(); }
  LookupHost(const LookupHost&) = delete;
  LookupHost& operator=(const LookupHost&) = delete;

  // Empty when the namespace is up with loopback; otherwise why `ip netns add` was refused.
  std::string Create(const std::vector<std::pair<std::string, std::string>>& files) {
    const Finished add = Ip({"netns", "add", name_});
    if (add.status != 0) return add.out + add.err;
    made_ = true;
    std::error_code ec;
    if (!fs::exists("/etc/netns")) {
      if (!fs::create_directory("/etc/netns", ec)) return "cannot make /etc/netns";
      made_etc_netns_ = true;
    }
    const fs::path dir = fs::path("/etc/netns") / name_;
    fs::create_directory(dir, ec);
    for (const auto& [file, text] : files) {
      std::ofstream(dir / file) << text;
    }
    const Finished up = Ip({"-n", name_, "link", "set", "lo", "up"});
    return up.status == 0 ? "" : "cannot bring up lo: " + up.err;
  }

  Invocation In(std::vector<std::string> argv) const {
    argv.insert(argv.begin(), {"netns", "exec", name_});
    return {IpPath(), std::move(argv), {}, {}};
  }

 private:
  static Finished Ip(std::vector<std::string> args) {
    return RunToEnd({IpPath(), std::move(args), {}, {}}, kExitTimeout);
  }

  void Remove() {
    if (made_) {
      for (int round = 0; round < 50; ++round) {
        std::istringstream pids(Ip({"netns", "pids", name_}).out);
        bool any = false;
        for (pid_t pid; pids >> pid;) {
          kill(pid, SIGKILL);
          any = true;
        }
        if (!any) break;
        std::this_thread::sleep_for(milliseconds(20));
      }
      Ip({"netns", "del", name_});
    }
    std::error_code ec;
    fs::remove_all(fs::path("/etc/netns") / name_, ec);
    if (made_etc_netns_) fs::remove("/etc/netns", ec);  // only if no one else's is left
  }

  std::string name_;
  bool made_ = false;
  bool made_etc_netns_ = false;
};

struct LookupCase {
  const char* name;
  std::vector<std::pair<std::string, std::string>> files;  // under /etc/netns/NAME
  std::string out;
};

// A name the name service says it does not know is "No such host"; a lookup that gets no
// answer at all (the resolver finds no name server, EAI_AGAIN) says nothing about the name and
// ends in the message for an unforeseen error.
TEST(ClientTest, OnlyANameTheLookupDeniesIsNoSuchHost) {
  const std::string hosts = "127.0.0.1 localhost\n";
  const std::vector<LookupCase> cases = {
      {"hosts file only",
       {{"nsswitch.conf", "hosts: files\n"}, {"hosts", hosts}},
       "No such host \"no-such-host.invalid\"\n"},
      {"name server on loopback, nobody listening",
       {{"nsswitch.conf", "hosts: dns\n"},
        {"hosts", hosts},
        {"resolv.conf", "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n"}},
       "An unknown fatal error occurred."},
      {"name server without a route",
       {{"nsswitch.conf", "hosts: dns\n"},
        {"hosts", hosts},
        {"resolv.conf", "nameserver 10.213.9.53\noptions timeout:1 attempts:1\n"}},
       "An unknown fatal error occurred."},
  };
  int tag = 0;
  for (const LookupCase& c : cases) {
    SCOPED_TRACE(c.name);
    LookupHost host(std::to_string(++tag));
    const std::string refused = host.Create(c.files);
    if (!refused.empty()) {
      GTEST_SKIP() << "network namespaces are not available here: " << refused;
    }
    const Finished run = RunToEnd(host.In({CLIENT_PATH, "no-such-host.invalid"}), kExitTimeout);
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
