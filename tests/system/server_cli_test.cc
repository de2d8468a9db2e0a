// The server program's command line and console texts, run as a real process on a private X
// server, so that an option wrongly accepted can never open a window anywhere else.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/Agent.h"
#include "tests/support/Wait.h"
#include "tests/support/XProbe.h"
#include "tests/support/XvfbServer.h"
#include "tests/system/SystemRig.h"

namespace system_test {
namespace {

using std::chrono::milliseconds;
using test_support::Invocation;
using test_support::Program;

constexpr char kUsage[] = "Usage: server [-width #] [-height #] [-crosshairs]\n";
constexpr milliseconds kExitTimeout{10000};
constexpr milliseconds kWindowTimeout{10000};
constexpr milliseconds kWindowPoll{20};

// The server on `display`, pointed at a port where no agent listens: whatever it accepts, it
// ends by itself.
Invocation Lonely(std::vector<std::string> args, const std::string& display) {
  Invocation invocation = ServerInvocation(std::move(args));
  invocation.env = {"DISPLAY=" + display,
                    test_support::AgentPortSetting(test_support::UnusedPort())};
  return invocation;
}

TEST(ServerCommandLineTest, BadCommandLinesPrintOnlyTheUsageAndEndWithStatusOne) {
  const std::vector<std::vector<std::string>> bad = {
      {"-width", "0"},
      {"-width", "1601"},
      {"-height", "1201"},
      {"-height", "0"},
      {"-width", "-5"},
      {"-width", "wide"},
      {"-width", "12x"},
      {"-width", "1.5"},
      {"-width"},
      {"-height", "100", "-width"},
      {"extra"},
      {"-width", "50", "extra"},
      {"-crosshairs", "-height", "100", "50"},
  };
  test_support::XvfbServer xvfb;
  for (const auto& args : bad) {
    std::string line;
    for (const auto& a : args) line += a + " ";
    SCOPED_TRACE("server " + line);
    const test_support::Finished run =
        test_support::RunToEnd(Lonely(args, xvfb.display()), kExitTimeout);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, kUsage);
  }
}

struct Accepted {
  std::vector<std::string> args;
  int windowWidth;   // -height
  int windowHeight;  // -width
};

// Accepted options in any order: the banner exactly, no usage, and a window of the size asked
// (as wide as -height, as tall as -width).
TEST(ServerCommandLineTest, GoodCommandLinesPrintTheBannerAndOpenTheWindowOfThatSize) {
  const std::vector<Accepted> good = {
      {{}, 240, 320},
      {{"-crosshairs"}, 240, 320},
      {{"-height", "100", "-width", "50"}, 100, 50},
      {{"-width", "1", "-crosshairs", "-height", "1"}, 1, 1},
      {{"-width", "1600", "-height", "1200"}, 1200, 1600},
  };
  SystemRig rig(Screen{1280, 1664});
  test_support::XProbe probe(rig.display());
  for (const Accepted& c : good) {
    std::string line;
    for (const auto& a : c.args) line += a + " ";
    SCOPED_TRACE("server " + line);
    const std::vector<Window> before = probe.TopLevelWindows();
    Program& server = rig.StartServer(c.args);
    Window window = None;
    test_support::WaitUntil(
        [&] {
          window = probe.FindNewWindow(before, c.windowWidth, c.windowHeight);
          return window != None;
        },
        kWindowTimeout, kWindowPoll);
    EXPECT_NE(window, None) << "no window of " << c.windowWidth << "x" << c.windowHeight;
    EXPECT_EQ(server.Out(), kBanner);
    EXPECT_EQ(server.Err().find("Usage"), std::string::npos) << server.Err();
    EXPECT_FALSE(server.WaitForExit(milliseconds(0))) << "the server ended";
    server.Stop();
  }
}

// Without an agent the export fails: the banner, then one line per atom of the error, status 1.
TEST(ServerCommandLineTest, WithoutAnAgentTheServerPrintsTheErrorAtomsAndEnds) {
  test_support::XvfbServer xvfb;
  const test_support::Finished run =
      test_support::RunToEnd(Lonely({"-width", "8", "-height", "8"}, xvfb.display()), kExitTimeout);
  EXPECT_EQ(run.status, 1);
  ASSERT_TRUE(run.out.starts_with(kBanner)) << run.out;
  std::string rest = run.out.substr(sizeof kBanner - 1);
  ASSERT_FALSE(rest.empty()) << "no error line";
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    ASSERT_NE(end, std::string::npos) << "unterminated line: " << rest;
    const std::string line = rest.substr(0, end);
    EXPECT_TRUE(line.starts_with("***Error> ") && line.size() > 10) << line;
    rest.erase(0, end + 1);
  }
}

}  // namespace
}  // namespace system_test
