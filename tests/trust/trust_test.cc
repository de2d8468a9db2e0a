// Who a host lets in. Three hosts made of network namespaces: the hub runs the agent and the
// server (its window on a private X server outside the namespaces), the two others are linked to
// it. Without a cluster key only the hub's own programs get in; with one, only programs that
// hold it, the hub's own included. Each refusal is shown twice: by a stranger that speaks the
// wire format alone (netobj_stranger), which must never reach an object, and by the real client,
// which must end as it ends for any failed call and say on stderr who refused it and why. The
// programs that do get in render the view pixel for pixel.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "netobj/ClusterKey.h"
#include "tests/support/ClientStart.h"
#include "tests/support/KeyFile.h"
#include "tests/support/NamespaceHosts.h"
#include "tests/support/Program.h"
#include "tests/support/Wait.h"
#include "tests/support/XProbe.h"
#include "tests/support/XvfbServer.h"
#include "tests/tools/tour/Tour.h"

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using test_support::Finished;
using test_support::Invocation;
using test_support::NamespaceHosts;
using test_support::Program;

constexpr char kHub[] = "render-host";
constexpr int kAgentPort = 7917;
constexpr int kServerPort = 7918;
constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr milliseconds kStartTimeout{10000};
constexpr milliseconds kRunTimeout{20000};
constexpr milliseconds kViewTimeout{60000};
constexpr milliseconds kClickTimeout{20000};

constexpr char kLocalOnly[] = "this host accepts only local peers until a cluster key is set";
constexpr char kHoldersOnly[] = "this host accepts only peers that hold its cluster key";

// Set but empty, NETOBJ_KEY_FILE names no key: a keyless program does not pick up a key of
// whoever runs the tests.
const std::string kNoKey = std::string(NetObj::kKeyFileVariable) + "=";

// The hub's agent and server, started as their units start them, each with `key_setting`.
struct Hub {
  Hub(const NamespaceHosts& lan, const test_support::XvfbServer& xvfb,
      const std::string& key_setting)
      : agent(lan.In(0, Invocation{AGENT_PATH, {}, {key_setting}, {}})),
        server(lan.In(
            0, Invocation{SERVER_PATH,
                          {"-width", std::to_string(kWidth), "-height", std::to_string(kHeight)},
                          {"DISPLAY=" + xvfb.display(),
                           "NETOBJ_PORT=" + std::to_string(kServerPort), key_setting},
                          {}})) {
    if (!agent.WaitForOut("listening on port 7917", kStartTimeout))
      throw std::runtime_error("the agent did not start: " + agent.Err());
    if (!server.WaitForOut("Use the mouse", kStartTimeout))
      throw std::runtime_error("the server did not start: " + server.Err());
  }
  Program agent;
  Program server;
};

// What the stranger on host `host` got back, as its one line.
std::string Stranger(const NamespaceHosts& lan, int host, std::vector<std::string> args) {
  const Finished run = test_support::RunToEnd(
      lan.In(host, Invocation{STRANGER_PATH, std::move(args), {}, {}}), kRunTimeout);
  EXPECT_EQ(run.status, 0) << run.err;
  std::string line = run.out;
  if (!line.empty() && line.back() == '\n') line.pop_back();
  return line;
}

std::vector<std::string> ImportAt(const NamespaceHosts& lan, int host, int port) {
  return {"import", lan.HubAddressFor(host), std::to_string(port), "fractal"};
}

tour::Tour WatchWindow(const test_support::XvfbServer& xvfb) {
  tour::TourSettings settings;
  settings.display = xvfb.display();
  settings.sx = kWidth;
  settings.sy = kHeight;
  return tour::Tour(settings);
}

// The initial view and the one a click at its centre asks for, each pixel as predicted.
void ExpectTwoViewsExact(tour::Tour& t) {
  ASSERT_EQ(t.AwaitView(kViewTimeout), "") << "initial view";
  t.Click(t.Centre(), test_support::kLeftButton, kClickTimeout);
  EXPECT_EQ(t.AwaitView(kViewTimeout), "") << "view after a click";
}

struct RefusedClient {
  const char* name;
  int host;
  std::string key_setting;
  int port;  // the agent's, or the server's: a client that takes the server for an agent
  std::string reason;
};

// A refused client prints what it prints for any failed call, and before that one line on
// stderr naming the host:port that refused it and why.
void ExpectRefused(const NamespaceHosts& lan, const RefusedClient& c) {
  SCOPED_TRACE(c.name);
  const Finished run = test_support::RunToEnd(
      lan.In(c.host, Invocation{CLIENT_PATH,
                                {kHub},
                                {c.key_setting, "NETOBJ_AGENT_PORT=" + std::to_string(c.port)},
                                {}}),
      kRunTimeout);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "Netobj.error\n") << run.err;
  const std::string line = "netobj: " + lan.HubAddressFor(c.host) + ":" + std::to_string(c.port) +
                           " refused us: " + c.reason + "\n";
  EXPECT_NE(run.err.find(line), std::string::npos) << "stderr:\n"
                                                   << run.err << "\nwanted:\n"
                                                   << line;
  std::size_t lines = 0;
  for (std::size_t at = run.err.find("refused us"); at != std::string::npos && lines < 100;
       at = run.err.find("refused us", at + 1))
    ++lines;
  EXPECT_EQ(lines, 1u) << run.err;
}

// A system key would give the keyless programs a key after all.
void RequireNoSystemKey() {
  ASSERT_FALSE(fs::exists(NetObj::kSystemKeyPath))
      << NetObj::kSystemKeyPath << " exists: this machine's programs are never without a key";
}

TEST(TrustTest, WithoutAKeyOnlyTheServersOwnHostGetsIn) {
  RequireNoSystemKey();
  const test_support::KeyFile held;
  NamespaceHosts lan(kHub, 2);
  test_support::XvfbServer xvfb;
  Hub hub(lan, xvfb, kNoKey);
  tour::Tour t = WatchWindow(xvfb);

  // On its own host the stranger reaches the agent and, through the reference it hands out,
  // the server's object: a method it does not have is answered by the object's stubs.
  std::string imported;
  ASSERT_TRUE(test_support::WaitUntil(
      [&] {
        imported = Stranger(lan, 0, ImportAt(lan, 0, kAgentPort));
        return imported.rfind("reply object ", 0) == 0;
      },
      kStartTimeout, milliseconds(200)))
      << imported;
  std::istringstream words(imported.substr(13));
  std::string space, number, types;
  words >> space >> number >> types;
  EXPECT_EQ(types.rfind("FractalNetObj.T", 0), 0u) << imported;
  const std::vector<std::string> bad_method = {
      "call", "", std::to_string(kServerPort), space, number, "1", "99"};
  auto at = [&](int host, std::vector<std::string> args) {
    args[1] = lan.HubAddressFor(host);
    return args;
  };
  EXPECT_EQ(Stranger(lan, 0, at(0, bad_method)).rfind("error: bad data", 0), 0u);

  // From another host, nothing of the request reaches either runtime's objects.
  for (int host : {1, 2}) {
    SCOPED_TRACE("host " + std::to_string(host));
    const std::string refused = std::string("error: ") + kLocalOnly + " (closed)";
    EXPECT_EQ(Stranger(lan, host, ImportAt(lan, host, kAgentPort)), refused);
    EXPECT_EQ(Stranger(lan, host, ImportAt(lan, host, kServerPort)), refused);
    EXPECT_EQ(Stranger(lan, host, at(host, bad_method)), refused);
  }

  const std::vector<RefusedClient> clients = {
      {"no key, another host, the agent", 1, kNoKey, kAgentPort, kLocalOnly},
      {"no key, another host, the server", 2, kNoKey, kServerPort, kLocalOnly},
      {"a key, the server's host, the agent", 0, held.Setting(), kAgentPort,
       "it holds no cluster key"},
  };
  for (const RefusedClient& c : clients) ExpectRefused(lan, c);

  auto client =
      test_support::StartServedClient(lan.In(0, Invocation{CLIENT_PATH, {kHub}, {kNoKey}, {}}));
  ExpectTwoViewsExact(t);
  EXPECT_FALSE(hub.server.WaitForExit(milliseconds(0))) << hub.server.Err();
  EXPECT_FALSE(client->WaitForExit(milliseconds(0))) << client->Out();
}

TEST(TrustTest, WithAKeyOnlyItsHoldersGetInAndRenderExactly) {
  RequireNoSystemKey();
  const test_support::KeyFile cluster, other;
  NamespaceHosts lan(kHub, 2);
  test_support::XvfbServer xvfb;
  Hub hub(lan, xvfb, cluster.Setting());
  tour::Tour t = WatchWindow(xvfb);

  // Plain frames are refused everywhere, on the hub's loopback too, before any object is
  // reachable: the agent's import finds nothing, the server's (no agent there) no "unknown
  // object".
  for (int host : {0, 1}) {
    SCOPED_TRACE("host " + std::to_string(host));
    const std::string refused = std::string("error: ") + kHoldersOnly + " (closed)";
    EXPECT_EQ(Stranger(lan, host, ImportAt(lan, host, kAgentPort)), refused);
    EXPECT_EQ(Stranger(lan, host, ImportAt(lan, host, kServerPort)), refused);
  }

  const std::string mismatch =
      std::string("no matching cluster key (") + NetObj::kKeyFileVariable + ")";
  const std::vector<RefusedClient> clients = {
      {"another key, another host, the agent", 1, other.Setting(), kAgentPort, mismatch},
      {"another key, another host, the server", 1, other.Setting(), kServerPort, mismatch},
      {"another key, the server's host, the agent", 0, other.Setting(), kAgentPort, mismatch},
      {"no key, another host, the agent", 2, kNoKey, kAgentPort,
       "no matching cluster key (we hold none: set NETOBJ_KEY_FILE)"},
  };
  for (const RefusedClient& c : clients) ExpectRefused(lan, c);

  std::vector<std::unique_ptr<Program>> holders;
  for (int host : {1, 2}) {
    holders.push_back(test_support::StartServedClient(
        lan.In(host, Invocation{CLIENT_PATH, {kHub}, {cluster.Setting()}, {}})));
  }
  ExpectTwoViewsExact(t);
  EXPECT_FALSE(hub.server.WaitForExit(milliseconds(0))) << hub.server.Err();
  for (auto& c : holders) EXPECT_FALSE(c->WaitForExit(milliseconds(0))) << c->Out();
}

}  // namespace
