// Views at the limits of 32-bit floats. A click whose view could not be rendered and placed (a
// bound not finite, two bounds rounded together, an extent beyond the largest float) leaves the
// view as it was, and long runs with a button held keep every view completing with finite,
// ordered bounds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "client/src/Compute.h"
#include "server/src/ServerState.h"
#include "server/test/ScriptedDisplay.h"
#include "server/test/ServerTestSupport.h"

namespace ServerTest {
namespace {

using FractalNetObj::MouseInfo;

constexpr int32_t kLeft = FractalNetObj::kLeftButtonAlone;
constexpr int32_t kRight = FractalNetObj::kRightButtonAlone;
constexpr int32_t kMoveOnly = FractalNetObj::kMiddleButtonAlone;  // moves without zooming
constexpr int32_t kSx = 64;
constexpr int32_t kSy = 48;
// The window is kSy wide and kSx tall: this point neither moves the view nor is off it.
constexpr double kCentreX = kSy / 2.0;
constexpr double kCentreY = kSx / 2.0;

const View kFirstView = {-2.5f, 1.25f, -1.25f, 1.25f};

bool Placeable(float lo, float hi) {
  return std::isfinite(lo) && std::isfinite(hi) && lo < hi &&
         std::isfinite(static_cast<float>(static_cast<long double>(hi) - lo));
}

void ExpectPlaceable(const View& v) {
  EXPECT_TRUE(Placeable(v.xmin, v.xmax)) << "x from " << v.xmin << " to " << v.xmax;
  EXPECT_TRUE(Placeable(v.ymin, v.ymax)) << "y from " << v.ymin << " to " << v.ymax;
}

bool SameView(const View& a, const View& b) {
  return Bits(a.xmin) == Bits(b.xmin) && Bits(a.xmax) == Bits(b.xmax) &&
         Bits(a.ymin) == Bits(b.ymin) && Bits(a.ymax) == Bits(b.ymax);
}

// One click on a view set up at the limits. With the window 48 wide and 64 tall, a click one
// pixel right of the centre moves y by xrange / 64, one pixel below it moves x by yrange / 48.
// Each expected view is worked out by hand in the comments.
struct LimitCase {
  const char* name;
  View start;
  MouseInfo click;
  View expected;
};

const LimitCase kLimitCases[] = {
    // y one float step wide just below 1; the move of 1.5 steps of 2^-24 takes ymin to the tie
    // 1 - 2^-25 (rounded to the even 1.0) and ymax to 1 + 2^-25 (nearer 1.0): both 1.0.
    {"a move that rounds ymin and ymax together is not taken",
     {-0x1.8p-19f, 0x1.8p-19f, 1.0f - 0x1p-23f, 1.0f - 0x1p-24f},
     {kLeft, kCentreX + 1, kCentreY},
     {-0x1.8p-19f, 0x1.8p-19f, 1.0f - 0x1p-23f, 1.0f - 0x1p-24f}},
    // The same along x: yrange / 48 = 1.5 * 2^-24, subtracted from x for a click one pixel down.
    {"a move that rounds xmin and xmax together is not taken",
     {1.0f - 0x1p-23f, 1.0f - 0x1p-24f, -0x1.2p-19f, 0x1.2p-19f},
     {kLeft, kCentreX, kCentreY - 1},
     {1.0f - 0x1p-23f, 1.0f - 0x1p-24f, -0x1.2p-19f, 0x1.2p-19f}},
    // A few steps wide and moved within one binade, the view moves as always: by 0.75 of a step
    // of 2^-23, rounded to one step.
    {"a move of a view a few float steps wide is taken as always",
     {-0x1.8p-19f, 0x1.8p-19f, 1.0f + 0x4p-23f, 1.0f + 0x6p-23f},
     {kMoveOnly, kCentreX + 1, kCentreY},
     {-0x1.8p-19f, 0x1.8p-19f, 1.0f + 0x5p-23f, 1.0f + 0x7p-23f}},
    // x from -1.75 * 2^126 to 1.75 * 2^126 grows to 1.75 * (1 + 2k) * 2^126 each way, k = 0.05f,
    // which rounds to 0x1.eccccc * 2^126; the extent, 3.28e38, still fits a float. y grows as
    // it always does.
    {"the last zoom out that fits a float is taken as always",
     {-0x1.cp+126f, 0x1.cp+126f, -1.25f, 1.25f},
     {kRight, kCentreX, kCentreY},
     {-0x1.ecccccp+126f, 0x1.ecccccp+126f, -1.375f, 1.375f}},
    // From there the bounds would still fit (1.8e38) but not the extent (3.6e38).
    {"a zoom out whose extent overflows is not taken",
     {-0x1.ecccccp+126f, 0x1.ecccccp+126f, -1.25f, 1.25f},
     {kRight, kCentreX, kCentreY},
     {-0x1.ecccccp+126f, 0x1.ecccccp+126f, -1.25f, 1.25f}},
    // xmax + 0.05 * 2.3e38 = 3.415e38 rounds to infinity; the extent would fit.
    {"a zoom out past the largest float is not taken",
     {1.0e38f, 3.3e38f, -1.25f, 1.25f},
     {kRight, kCentreX, kCentreY},
     {1.0e38f, 3.3e38f, -1.25f, 1.25f}},
    // A click at the top edge moves x by 32 * 2e38 / 48 = 1.33e38: xmax goes past the largest
    // float.
    {"a move past the largest float is not taken",
     {3.0e38f, 3.3e38f, -1.0e38f, 1.0e38f},
     {kMoveOnly, kCentreX, 0},
     {3.0e38f, 3.3e38f, -1.0e38f, 1.0e38f}},
};

TEST(ViewLimitsTest, ClicksAtTheLimitsOfFloats) {
  for (const LimitCase& c : kLimitCases) {
    SCOPED_TRACE(c.name);
    ScriptedDisplay::Get().Reset(ScriptedDisplay::kScriptOnly);
    Server::ServerState s(kSx, kSy, 0);
    SetView(s, c.start);
    ScriptedDisplay::Get().Queue(c.click);
    CompleteView(s);
    ExpectSameView(ViewOf(s), c.expected);

    // The view that follows is handed out whole and completes like any other.
    ScriptedDisplay::Get().Queue({kMoveOnly, kCentreX, kCentreY});
    Held held;
    const auto units = TakeAllUnits(s, kSy + 1, held);
    EXPECT_EQ(units.size(), static_cast<std::size_t>(kSy));
    for (const auto& unit : units) s.myFractalNetObj->returnResults(unit, Filled(kSx, 1, 0));
    EXPECT_EQ(ScriptedDisplay::Get().ShownCount(), 2u);
    ExpectSameView(ViewOf(s), c.expected);
  }
}

// A button held at one point of the window for a number of views.
struct Hold {
  MouseInfo click;
  int views;
};

struct HeldRun {
  const char* name;
  std::vector<Hold> holds;
  // Whether the run reaches a click that cannot be taken; the view then stays as it was.
  bool reachesLimit;
};

const HeldRun kHeldRuns[] = {
    // The extents shrink to eight float steps within 150 views and then drift by a step per
    // view. A view of fewer than ten steps cannot grow: 5 % of it rounds away at each bound, so
    // the right button moves the view but leaves its size. Rows share coordinates throughout.
    {"the left button held off centre, then the right",
     {{{kLeft, 30, 40}, 1500}, {{kRight, 30, 40}, 1200}},
     false},
    // The extent grows by 1.1 per view until, after some 900 views, it would overflow.
    {"the right button held off centre from the first view", {{{kRight, 30, 40}, 1200}}, true},
    // On the centre column y shrinks about 0 into ever finer floats while x stops at eight
    // steps; off it, x's steps move y away from 0 into coarser floats until a move would round
    // ymin and ymax together.
    {"the left button held on the centre column, then off it, then the right",
     {{{kLeft, kCentreX, 40}, 500}, {{kLeft, 30, 40}, 1000}, {{kRight, 30, 40}, 1200}},
     true},
};

// Plays the server's one client: one unit held at a time (the last one until the next request
// replaces it), each row computed and returned. Returns false once something went wrong.
bool RunView(Server::ServerState& s, int64_t& mostLiveUnits) {
  std::shared_ptr<FractalNetObj::Fractal> unit;
  for (int32_t r = 0; r < kSy; ++r) {
    unit = s.myFractalNetObj->requestFractal();
    mostLiveUnits = std::max(mostLiveUnits, s.LiveUnits());
    if (unit == nullptr) {
      ADD_FAILURE() << "request " << r + 1 << " of the view got null";
      return false;
    }
    const FractalNetObj::FractalParams p = unit->getFractalParameters();
    s.myFractalNetObj->returnResults(p, Client::Compute(p));
  }
  return true;
}

void PlayHeldRun(const HeldRun& run) {
  ScriptedDisplay::Get().Reset(ScriptedDisplay::kScriptOnly);
  Server::ServerState s(kSx, kSy, 0);
  std::size_t views = 0;
  int unchanged = 0;
  int64_t mostLiveUnits = 0;
  View before = ViewOf(s);
  ExpectSameView(before, kFirstView);
  for (const Hold& hold : run.holds) {
    for (int v = 0; v < hold.views; ++v) {
      SCOPED_TRACE("view " + std::to_string(views));
      ScriptedDisplay::Get().Queue(hold.click);
      if (!RunView(s, mostLiveUnits)) return;
      ++views;
      ASSERT_EQ(ScriptedDisplay::Get().ShownCount(), views) << "the view did not complete";
      ASSERT_EQ(NumResults(s), 0);
      const View after = ViewOf(s);
      ExpectPlaceable(after);
      if (!Placeable(after.xmin, after.xmax) || !Placeable(after.ymin, after.ymax)) return;
      if (SameView(after, before)) ++unchanged;
      before = after;
    }
  }
  EXPECT_EQ(ScriptedDisplay::Get().Polls(), static_cast<int>(views));
  EXPECT_LE(mostLiveUnits, 2) << "the units that clients let go are not freed";
  if (run.reachesLimit) {
    EXPECT_GT(unchanged, 0) << "no click was refused: the run never reached the limits";
  }
}

TEST(ViewLimitsTest, HeldButtonsKeepEveryViewCompleting) {
  for (const HeldRun& run : kHeldRuns) {
    SCOPED_TRACE(run.name);
    PlayHeldRun(run);
  }
}

}  // namespace
}  // namespace ServerTest
