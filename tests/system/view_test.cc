// The running system, end to end: an agent, the server and its clients as real processes on a
// private X server. Every pixel of the window is compared with the image predicted from the
// view (tests/tools/tour), and clicks are real pointer events.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/XProbe.h"
#include "tests/system/SystemRig.h"
#include "tests/tools/tour/Tour.h"

namespace system_test {
namespace {

using std::chrono::milliseconds;
using tour::Tour;
using tour::TourSettings;
using tour::WindowPosition;

constexpr unsigned int kLeft = test_support::kLeftButton;
constexpr unsigned int kRight = test_support::kRightButton;
constexpr milliseconds kViewTimeout{30000};
constexpr milliseconds kClickTimeout{10000};
constexpr uint32_t kWhite = 0xffffff;

std::vector<std::string> SizeArgs(int32_t sx, int32_t sy) {
  return {"-width", std::to_string(sx), "-height", std::to_string(sy)};
}

TourSettings Settings(const SystemRig& rig, int32_t sx, int32_t sy, bool crossHairs) {
  TourSettings s;
  s.display = rig.display();
  s.sx = sx;
  s.sy = sy;
  s.crossHairs = crossHairs;
  return s;
}

void ClickAndCompare(Tour& t, WindowPosition p, unsigned int button, const char* what) {
  SCOPED_TRACE(what);
  const int before = t.clicksTaken();
  t.Click(p, button, kClickTimeout);
  EXPECT_EQ(t.AwaitView(kViewTimeout), "");
  EXPECT_EQ(t.clicksTaken(), before + 1) << "the server took one press more than once";
}

// Small views, so that a run takes little time; the clicks cover both buttons, the centre,
// off-centre points (where the two axes' different scales show) and the window's corners.
TEST(SystemTest, EveryViewMatchesItsPredictionThroughLeftAndRightClicks) {
  SystemRig rig;
  rig.StartServer(SizeArgs(64, 48));
  Tour t(Settings(rig, 64, 48, false));
  rig.StartClient();
  rig.StartClient();

  ASSERT_EQ(t.AwaitView(kViewTimeout), "") << "initial view";
  ClickAndCompare(t, t.Centre(), kLeft, "left click at the centre");
  ClickAndCompare(t, t.Centre(), kRight, "right click at the centre");
  ClickAndCompare(t, {5, 10}, kLeft, "left click up and left of the centre");
  ClickAndCompare(t, {40, 55}, kRight, "right click down and right of the centre");
  ClickAndCompare(t, {0, 0}, kLeft, "left click at the top-left pixel");
  ClickAndCompare(t, {47, 63}, kLeft, "left click at the bottom-right pixel");
  for (auto& client : rig.clients()) EXPECT_FALSE(client->WaitForExit(milliseconds(0)));
}

struct ClickCase {
  const char* name;
  WindowPosition position;  // in the 240 x 320 window
  unsigned int button;
  float xmin, xmax, ymin, ymax;  // the view after the click
};

void PrintTo(const ClickCase& c, std::ostream* os) { *os << c.name; }

class DefaultSizeTest : public testing::TestWithParam<ClickCase> {};

// The server's default size and initial view, and the views that known clicks lead to: the
// window's centre is mouse (120, 160), its bottom-left pixel mouse (0, 0).
TEST_P(DefaultSizeTest, ClickMovesTheViewAsTheServerMustAndTheWindowShowsIt) {
  const ClickCase& c = GetParam();
  SystemRig rig;
  rig.StartServer({});
  Tour t(Settings(rig, 320, 240, false));
  rig.StartClient();
  rig.StartClient();
  ASSERT_EQ(t.AwaitView(kViewTimeout), "") << "initial view";

  t.Click(c.position, c.button, kClickTimeout);
  EXPECT_EQ(t.view().xmin, c.xmin);
  EXPECT_EQ(t.view().xmax, c.xmax);
  EXPECT_EQ(t.view().ymin, c.ymin);
  EXPECT_EQ(t.view().ymax, c.ymax);
  EXPECT_EQ(t.AwaitView(kViewTimeout), "") << "the view after the click";
}

INSTANTIATE_TEST_SUITE_P(
    Clicks, DefaultSizeTest,
    testing::Values(
        ClickCase{"LeftAtCentre", {120, 159}, kLeft, -2.3125f, 1.0625f, -1.125f, 1.125f},
        ClickCase{"RightAtCentre", {120, 159}, kRight, -2.6875f, 1.4375f, -1.375f, 1.375f},
        ClickCase{"LeftAtBottomLeft",
                  {0, 319},
                  kLeft,
                  -0.6458333730697632f,
                  2.7291665077209473f,
                  -2.53125f,
                  -0.28125f}),
    [](const testing::TestParamInfo<ClickCase>& info) { return info.param.name; });

// Odd sizes put the cross-hairs half a pixel off the centre: -width 65 -height 47 makes a window
// 47 wide and 65 tall, with the lines in column 47 / 2 = 23 and row 65 - 1 - 65 / 2 = 32. The
// lines leave white selected; the prediction of the next view starts from it.
TEST(SystemTest, CrossHairsAreWhiteLinesThroughTheCentreOfEveryView) {
  SystemRig rig;
  rig.StartServer({"-crosshairs", "-width", "65", "-height", "47"});
  Tour t(Settings(rig, 65, 47, true));
  rig.StartClient();
  rig.StartClient();
  ASSERT_EQ(t.AwaitView(kViewTimeout), "");
  const tour::RgbImage& w = t.window();
  for (int row = 0; row < w.height; ++row) {
    EXPECT_EQ(w.pixels[static_cast<std::size_t>(row) * w.width + 23], kWhite) << "row " << row;
  }
  for (int column = 0; column < w.width; ++column) {
    EXPECT_EQ(w.pixels[static_cast<std::size_t>(32) * w.width + column], kWhite)
        << "column " << column;
  }
  ClickAndCompare(t, {10, 10}, kLeft, "left click");
  ClickAndCompare(t, t.Centre(), kRight, "right click");
}

// The largest image, handed out to many clients at once. The window is 1200 wide and 1600 tall.
TEST(SystemTest, SixteenClientsCompleteTheLargestView) {
  SystemRig rig(Screen{1280, 1664});
  rig.StartServer(SizeArgs(1600, 1200));
  Tour t(Settings(rig, 1600, 1200, false));
  for (int i = 0; i < 16; ++i) rig.StartClient();
  EXPECT_EQ(t.AwaitView(milliseconds(120000)), "");
  for (auto& client : rig.clients()) EXPECT_FALSE(client->WaitForExit(milliseconds(0)));
}

}  // namespace
}  // namespace system_test
