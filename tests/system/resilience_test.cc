// The system when clients fail under it, as real processes: a client killed again and again while
// views are computed, a client frozen (SIGSTOP) while it holds a row, and the server itself gone
// before a client looks for it. Every view that completes is compared pixel for pixel with the
// image predicted for it (tests/tools/tour).
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "netobj/RuntimeOptions.h"
#include "tests/support/Program.h"
#include "tests/support/XProbe.h"
#include "tests/system/SystemRig.h"
#include "tests/tools/tour/Tour.h"

namespace system_test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using test_support::Program;
using tour::Tour;
using tour::TourSettings;
using tour::WindowPosition;

constexpr unsigned int kLeft = test_support::kLeftButton;
constexpr unsigned int kRight = test_support::kRightButton;
constexpr milliseconds kViewTimeout{30000};
constexpr milliseconds kClickTimeout{10000};
constexpr milliseconds kExitTimeout{10000};

TourSettings DefaultSize(const SystemRig& rig) {
  TourSettings s;
  s.display = rig.display();
  return s;
}

struct Step {
  WindowPosition position;
  unsigned int button;
};

// Clicks that keep the views busy (much of the set's boundary in sight) on the default window,
// 240 wide and 320 tall.
const std::vector<Step> kSteps = {{{150, 170}, kLeft},
                                  {{100, 140}, kLeft},
                                  {{130, 200}, kRight},
                                  {{60, 160}, kLeft},
                                  {{120, 159}, kRight}};

// A client that is killed (SIGKILL) and started again, on a thread of its own, as long as the
// object lives: the first kill `firstKill` after Start, then one every `period`.
class ClientKiller {
 public:
  ClientKiller(const SystemRig& rig, milliseconds period) : rig_(rig), period_(period) {
    Restart();
  }

  // Stops the client as it stands (SIGSTOP); the next kill ends it.
  void Freeze() { victim_->Signal(SIGSTOP); }
  // Kills the client and starts it again, on the caller's thread; only while not killing.
  void KillNow() {
    victim_->Signal(SIGKILL);
    victim_->WaitForExit(kExitTimeout);
    Restart();
  }
  // Begins killing, the first time `firstKill` from now; returns at once.
  void Start(milliseconds firstKill) {
    thread_ = std::jthread([this, firstKill](std::stop_token stop) { Run(stop, firstKill); });
  }
  // Stops killing; returns the kills made since Start.
  int Stop() {
    thread_ = {};
    return kills_.exchange(0);
  }

 private:
  void Restart() {
    test_support::Invocation invocation = ClientInvocation({"localhost"});
    invocation.env = rig_.Environment();
    victim_ = std::make_unique<Program>(invocation);
  }

  void Run(std::stop_token stop, milliseconds firstKill) {
    auto next = Clock::now() + firstKill;
    while (!stop.stop_requested()) {
      std::this_thread::sleep_until(next);
      if (stop.stop_requested()) break;
      KillNow();
      ++kills_;
      next += period_;
    }
  }

  const SystemRig& rig_;
  const milliseconds period_;
  std::unique_ptr<Program> victim_;
  std::atomic<int> kills_{0};
  std::jthread thread_;
};

// A SIGKILLed client's holdings are dropped, so the server hands its rows out again. Views are
// computed in milliseconds, faster than a kill could be timed to land inside one; so the victim
// is stopped while the server waits for the click, when it is (most likely) waiting inside a
// request for a unit. The click has the server answer that request with a row of the next view,
// which the stopped victim holds when it is killed; the kills go on while the view computes.
TEST(ResilienceTest, FourClientsOneKilledAndRestartedEveryViewMatchesItsPrediction) {
  SystemRig rig;
  rig.StartServer({});
  Tour t(DefaultSize(rig));
  for (int i = 0; i < 3; ++i) rig.StartClient();
  ClientKiller killer(rig, milliseconds(200));
  ASSERT_EQ(t.AwaitView(kViewTimeout), "") << "initial view";

  // A killed unit comes back within a lease period at worst, so three views are enough.
  for (std::size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE("view " + std::to_string(i + 1));
    std::this_thread::sleep_for(milliseconds(100));  // every client is waiting for the view
    killer.Freeze();
    t.Click(kSteps[i].position, kSteps[i].button, kClickTimeout);
    killer.KillNow();
    killer.Start(milliseconds(200));
    EXPECT_EQ(t.AwaitView(kViewTimeout), "");
    killer.Stop();
  }
  for (auto& client : rig.clients()) EXPECT_FALSE(client->WaitForExit(milliseconds(0)));
}

// Stopped, the client neither returns its row nor renews its lease: the server learns that it
// holds the unit no more only after the lease period, and then hands the row to another client.
// The client is stopped while the server waits for a click: it is then either waiting inside a
// request for a unit, which the server answers with a row of the next view once clicked, or it
// completed the view and will ask for nothing. A view that completes at once was of the second
// kind, and the stop is tried again on the next one.
// How many work units the client has asked for, by its numbered lines.
int RequestsMade(const Program& client) {
  const std::string out = client.Out();
  int n = 0;
  for (std::size_t at = out.find("Requesting work unit "); at != std::string::npos;
       at = out.find("Requesting work unit ", at + 1))
    ++n;
  return n;
}

TEST(ResilienceTest, AStoppedClientsRowIsHandedOutAgainAfterTheLeaseAndItsLateResultDropped) {
  const NetObj::RuntimeOptions options;
  const milliseconds heldUp{2000};  // the other clients do a whole view in far less
  const milliseconds earliest = options.lease_period - options.lease_renewal - milliseconds(1000);
  const milliseconds latest = options.lease_period + options.lease_renewal + milliseconds(10000);
  constexpr int kAttempts = 8;
  // The client prints its line just before it sends the request.
  constexpr milliseconds kRequestLeaves{50};

  SystemRig rig;
  rig.StartServer({});
  Tour t(DefaultSize(rig));
  Program& stopped = rig.StartClient();
  rig.StartClient();
  rig.StartClient();
  ASSERT_EQ(t.AwaitView(kViewTimeout), "") << "initial view";

  bool held = false;
  Clock::time_point stoppedAt;
  for (int attempt = 0; attempt < kAttempts && !held; ++attempt) {
    const Step& step = kSteps[static_cast<std::size_t>(attempt) % kSteps.size()];
    stopped.Signal(SIGSTOP);
    stoppedAt = Clock::now();
    t.Click(step.position, step.button, kClickTimeout);
    const std::string result = t.AwaitView(heldUp);
    held = result.rfind("the server did not finish", 0) == 0;
    if (!held) {
      ASSERT_EQ(result, "") << "attempt " << attempt;
      // It held no row of this view: it had returned the last one, or was still busy with a unit
      // of the one before. Let it reach its next request before stopping it again, or it stays
      // in that state through every attempt.
      const std::string next =
          "Requesting work unit " + std::to_string(RequestsMade(stopped) + 1) + "...\n";
      stopped.Signal(SIGCONT);
      stopped.WaitForOut(next, kClickTimeout);
      std::this_thread::sleep_for(kRequestLeaves);
    }
  }
  const std::string out = stopped.Out();
  ASSERT_TRUE(held) << "the stopped client never held a row in " << kAttempts << " views; it wrote "
                    << out.size() << " bytes, ending \""
                    << out.substr(out.size() - std::min<std::size_t>(out.size(), 120)) << "\" "
                    << stopped.Err();

  EXPECT_EQ(t.AwaitView(latest - heldUp), "") << "the view held up by the stopped client";
  const auto waited = std::chrono::duration_cast<milliseconds>(Clock::now() - stoppedAt);
  EXPECT_GE(waited, earliest) << "the row came back before the lease can have run out";

  // Woken, the client returns its row of a view that is complete, or finds its unit gone; the
  // server is waiting for a click meanwhile, so the late call is served in the next view.
  const std::string outBefore = stopped.Out();
  stopped.Signal(SIGCONT);
  std::this_thread::sleep_for(milliseconds(1000));
  t.Click(t.Centre(), kLeft, kClickTimeout);
  EXPECT_EQ(t.AwaitView(kViewTimeout), "") << "the view after the late result";
  t.Click({40, 40}, kRight, kClickTimeout);
  EXPECT_EQ(t.AwaitView(kViewTimeout), "") << "the view after that";

  const std::optional<int> status = stopped.WaitForExit(milliseconds(0));
  if (status) {
    EXPECT_EQ(*status, 1);
    EXPECT_EQ(stopped.Out().substr(outBefore.size()), "Netobj.error\n");
  }
  for (std::size_t i = 1; i < rig.clients().size(); ++i) {
    EXPECT_FALSE(rig.clients()[i]->WaitForExit(milliseconds(0)));
  }
}

// The agent must not send a client to a server that died without withdrawing its name.
TEST(ResilienceTest, AClientStartedAfterTheServerWasKilledIsToldNoServerRuns) {
  SystemRig rig;
  rig.StartServer({"-width", "64", "-height", "48"});
  rig.StartClient();
  rig.server().Signal(SIGKILL);
  ASSERT_TRUE(rig.server().WaitForExit(kExitTimeout));
  ASSERT_TRUE(rig.clients()[0]->WaitForExit(kExitTimeout));

  test_support::Invocation invocation = ClientInvocation({"localhost"});
  invocation.env = rig.Environment();
  const test_support::Finished run = test_support::RunToEnd(invocation, kExitTimeout);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "Error: a fractal server is not running on \"localhost\"\n") << run.err;
}

// The agent keeps its names in memory only. Restarted, it knows no "fractal" until the server
// puts its export there again, which it does within a second of the agent's return; a client
// started then finds the server and renders the next view.
TEST(ResilienceTest, AfterTheAgentIsRestartedANewClientFindsTheServerAndTheViewGoesOn) {
  SystemRig rig;
  rig.StartServer({});
  Tour t(DefaultSize(rig));
  rig.StartClient();
  ASSERT_EQ(t.AwaitView(kViewTimeout), "") << "initial view";
  rig.clients()[0]->Stop();

  rig.agent().Restart();
  const auto restarted = Clock::now();
  rig.StartClient();
  const auto found = Clock::now() - restarted;
  EXPECT_LT(found, milliseconds(2000));
  std::cout << "a new client found the server "
            << std::chrono::duration_cast<milliseconds>(found).count()
            << " ms after the agent came back\n";
  t.Click(kSteps[0].position, kSteps[0].button, kClickTimeout);
  EXPECT_EQ(t.AwaitView(kViewTimeout), "");
}

}  // namespace
}  // namespace system_test
