// The stub units across real processes: a caller imports a FractalNetObj.T that an owner process
// exported through a real netobj-agent, and runs one work unit through it; first on one host
// over loopback, then between two network namespaces standing for two hosts, where the caller
// finds the owner's agent by a host name that only the namespaces know.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "interface/test/ChildProcess.h"
#include "interface/test/ParamsText.h"

namespace {

using StubSystemTest::ChildProcess;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr const char* kAgent = NETOBJ_AGENT_PATH;
constexpr const char* kOwner = STUB_TEST_OWNER_PATH;
constexpr const char* kCaller = STUB_TEST_CALLER_PATH;
constexpr const char* kName = "fractal";

// What the caller must print, and the owner must have received, when every value crossed
// unchanged.
std::string ExpectedParamsLine() {
  return "params " + StubSystemTest::ParamsText(StubSystemTest::EdgeParams()) + "\n";
}
std::string ExpectedReturnLine() {
  return "returnResults " + StubSystemTest::ParamsText(StubSystemTest::EdgeParams()) + " " +
         StubSystemTest::PixMapText(StubSystemTest::ReturnedPixMap()) + "\n";
}

void ExpectOneUnitCrossed(ChildProcess& caller, ChildProcess& owner) {
  std::optional<int> status = caller.WaitForExit(30s);
  EXPECT_EQ(status, 0) << "caller output:\n" << caller.output();
  const std::string& out = caller.output();
  EXPECT_NE(out.find("server=surrogate\n"), std::string::npos) << out;
  EXPECT_NE(out.find("unit=surrogate\n"), std::string::npos) << out;
  EXPECT_NE(out.find(ExpectedParamsLine()), std::string::npos) << out;
  EXPECT_NE(out.find("second=null\n"), std::string::npos) << out;
  EXPECT_TRUE(owner.WaitForText(ExpectedReturnLine(), 10s)) << "owner output:\n" << owner.output();
}

// A TCP port that was free a moment ago, for an agent that must not meet another test's.
uint16_t FreePort() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  socklen_t len = sizeof a;
  uint16_t port = 0;
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
    port = ntohs(a.sin_port);
  }
  close(s);
  return port;
}

TEST(StubProcesses, ACallerRunsAUnitThroughAnOwnerOnTheSameHost) {
  uint16_t port = FreePort();
  ASSERT_NE(port, 0);
  std::vector<std::string> env = {"NETOBJ_AGENT_PORT=" + std::to_string(port)};
  ChildProcess agent({kAgent}, env);
  ASSERT_TRUE(agent.WaitForText("listening", 10s)) << agent.output();
  ChildProcess owner({kOwner, kName}, env);
  ASSERT_TRUE(owner.WaitForText("ready\n", 10s)) << owner.output();
  ChildProcess caller({kCaller, "localhost", kName}, env);
  ExpectOneUnitCrossed(caller, owner);
}

TEST(StubProcesses, ANameNotExportedIsReportedNotCalled) {
  uint16_t port = FreePort();
  ASSERT_NE(port, 0);
  std::vector<std::string> env = {"NETOBJ_AGENT_PORT=" + std::to_string(port)};
  ChildProcess agent({kAgent}, env);
  ASSERT_TRUE(agent.WaitForText("listening", 10s)) << agent.output();
  ChildProcess caller({kCaller, "localhost", "nobody"}, env);
  EXPECT_EQ(caller.WaitForExit(30s), 2) << caller.output();
  EXPECT_NE(caller.output().find("not exported"), std::string::npos) << caller.output();
}

// Two network namespaces joined by a veth pair, each with an address that exists only inside
// them and a hosts file that names both. Removes everything it made, whatever happened.
class TwoHosts {
 public:
  static constexpr const char* kOwnerHost = "stub-owner-host";
  static constexpr const char* kCallerHost = "stub-caller-host";

  TwoHosts() {
    std::string tag = std::to_string(getpid());
    owner_ns_ = "stubs-own-" + tag;
    caller_ns_ = "stubs-call-" + tag;
  }
  ~TwoHosts() { Remove(); }

  // Empty on success; otherwise why `ip netns` was refused (the test then skips).
  std::string CreateNamespaces() {
    std::string out;
    if (Ip({"netns", "add", owner_ns_}, &out) != 0) return out;
    owner_made_ = true;
    if (Ip({"netns", "add", caller_ns_}, &out) != 0) return out;
    caller_made_ = true;
    return "";
  }

  // Links and names the two hosts; a failure here is a test failure, not a skip.
  std::string Connect() {
    const std::string ownerDev = "vo" + std::to_string(getpid());
    const std::string callerDev = "vc" + std::to_string(getpid());
    std::string out;
    const std::vector<std::vector<std::string>> steps = {
        {"-n", owner_ns_, "link", "add", ownerDev, "type", "veth", "peer", "name", callerDev,
         "netns", caller_ns_},
        {"-n", owner_ns_, "addr", "add", "10.213.7.1/24", "dev", ownerDev},
        {"-n", caller_ns_, "addr", "add", "10.213.7.2/24", "dev", callerDev},
        {"-n", owner_ns_, "link", "set", ownerDev, "up"},
        {"-n", caller_ns_, "link", "set", callerDev, "up"},
        {"-n", owner_ns_, "link", "set", "lo", "up"},
        {"-n", caller_ns_, "link", "set", "lo", "up"},
    };
    for (const auto& step : steps) {
      if (Ip(step, &out) != 0) return out;
    }
    for (const std::string& ns : {owner_ns_, caller_ns_}) {
      if (!WriteHosts(ns)) return "cannot write /etc/netns/" + ns + "/hosts";
    }
    return "";
  }

  // The argv that runs `argv` inside the owner's or the caller's namespace.
  std::vector<std::string> InOwner(std::vector<std::string> argv) const {
    return In(owner_ns_, std::move(argv));
  }
  std::vector<std::string> InCaller(std::vector<std::string> argv) const {
    return In(caller_ns_, std::move(argv));
  }

 private:
  static int Ip(std::vector<std::string> args, std::string* out) {
    args.insert(args.begin(), "ip");
    return StubSystemTest::Run(args, 20s, out);
  }

  static std::vector<std::string> In(const std::string& ns, std::vector<std::string> argv) {
    argv.insert(argv.begin(), {"ip", "netns", "exec", ns});
    return argv;
  }

  bool WriteHosts(const std::string& ns) {
    std::error_code ec;
    if (!fs::exists("/etc/netns")) {
      if (!fs::create_directory("/etc/netns", ec)) return false;
      made_etc_netns_ = true;
    }
    fs::path dir = fs::path("/etc/netns") / ns;
    fs::create_directory(dir, ec);
    hosts_dirs_.push_back(dir);
    std::ofstream hosts(dir / "hosts");
    hosts << "127.0.0.1 localhost\n"
          << "10.213.7.1 " << kOwnerHost << "\n"
          << "10.213.7.2 " << kCallerHost << "\n";
    return static_cast<bool>(hosts);
  }

  void Remove() {
    std::string ignored;
    if (caller_made_) Ip({"netns", "del", caller_ns_}, &ignored);
    if (owner_made_) Ip({"netns", "del", owner_ns_}, &ignored);
    std::error_code ec;
    for (const fs::path& dir : hosts_dirs_) fs::remove_all(dir, ec);
    if (made_etc_netns_) fs::remove("/etc/netns", ec);  // only if still empty
  }

  std::string owner_ns_;
  std::string caller_ns_;
  bool owner_made_ = false;
  bool caller_made_ = false;
  bool made_etc_netns_ = false;
  std::vector<fs::path> hosts_dirs_;
};

TEST(StubProcesses, ACallerOnOneHostRunsAUnitThroughAnOwnerOnAnotherByHostName) {
  TwoHosts hosts;
  std::string refused = hosts.CreateNamespaces();
  if (!refused.empty()) {
    GTEST_SKIP() << "network namespaces are not available here ('ip netns add' was refused): "
                 << refused;
  }
  std::string failed = hosts.Connect();
  ASSERT_EQ(failed, "");

  // Children are declared after the namespaces so they stop before the namespaces go.
  std::vector<std::string> env = {"NETOBJ_AGENT_PORT=7917"};
  ChildProcess agent(hosts.InOwner({kAgent}), env);
  ASSERT_TRUE(agent.WaitForText("listening", 10s)) << agent.output();
  ChildProcess owner(hosts.InOwner({kOwner, kName}), env);
  ASSERT_TRUE(owner.WaitForText("ready\n", 10s)) << owner.output();
  ChildProcess caller(hosts.InCaller({kCaller, TwoHosts::kOwnerHost, kName}), env);
  ExpectOneUnitCrossed(caller, owner);
}

}  // namespace
