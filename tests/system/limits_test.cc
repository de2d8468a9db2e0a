// The server driven to the ends of its arithmetic by a user who keeps a button pressed: each
// completed view takes the held button as the next click, so views follow one another as fast as
// the clients compute them, zooming in until the view's extent is down to the last bits of a
// 32-bit float and then out until its bounds are at the top of the range.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "tests/support/XProbe.h"
#include "tests/system/HeldButton.h"
#include "tests/system/SystemRig.h"

namespace system_test {
namespace {

using std::chrono::milliseconds;

constexpr unsigned int kLeft = test_support::kLeftButton;
constexpr unsigned int kRight = test_support::kRightButton;
constexpr milliseconds kWindowTimeout{10000};
constexpr milliseconds kViewTimeout{10000};

// Off the centre, so that every view is recentred as well as zoomed; the window is 48 wide and
// 64 tall.
TEST(LimitsTest, ThousandsOfHeldButtonViewsEachCompleteAndTheServerKeepsCycling) {
  constexpr int kZoomsIn = 1500;
  constexpr int kZoomsOut = 1200;
  SystemRig rig;
  rig.StartServer({"-width", "64", "-height", "48"});
  HeldButton mouse(rig.display(), 64, 48, kWindowTimeout);
  rig.StartClient();
  rig.StartClient();
  ASSERT_TRUE(mouse.AwaitPoll(kViewTimeout)) << "initial view";

  mouse.Press(kLeft, 10, 17);
  EXPECT_EQ(mouse.CountViews(kZoomsIn, kViewTimeout), kZoomsIn) << "zooming in";
  mouse.Press(kRight, 37, 50);
  EXPECT_EQ(mouse.CountViews(kZoomsOut, kViewTimeout), kZoomsOut) << "zooming out";
  mouse.Press(kLeft, 24, 31);
  EXPECT_EQ(mouse.CountViews(3, kViewTimeout), 3) << "zooming in again from the top";
  mouse.Release();

  EXPECT_FALSE(rig.server().WaitForExit(milliseconds(0))) << rig.server().Err();
  for (auto& client : rig.clients()) {
    EXPECT_FALSE(client->WaitForExit(milliseconds(0))) << client->Out() << client->Err();
  }
}

}  // namespace
}  // namespace system_test
