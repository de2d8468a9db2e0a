// Results that do not belong: each row of a view counts once, and nothing that arrives can write
// outside the image, read outside the array it came with, or complete a view early.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <utility>
#include <vector>

#include "server/src/ServerState.h"
#include "server/test/ScriptedDisplay.h"
#include "server/test/ServerTestSupport.h"

namespace ServerTest {
namespace {

using FractalNetObj::FractalParams;
using FractalNetObj::PixMap;

constexpr int32_t kLeft = FractalNetObj::kLeftButtonAlone;
constexpr int32_t kSx = 8;
constexpr int32_t kSy = 4;

// Row r of a view comes back filled with 10 + r, so a misplaced row shows.
PixMap RowResult(int32_t r) { return Filled(kSx, 1, 10 + r); }

std::vector<int32_t> ImageOf(Server::ServerState& s) {
  std::scoped_lock lock(s.mu);
  return {s.image_map->data(), s.image_map->data() + s.image_map->size()};
}

// A server on its second view (the first has been completed with a click), with every row of
// the second view handed out and rows 0 to 2 returned; row 3 is still out.
struct SecondViewAlmostIn {
  SecondViewAlmostIn() {
    ScriptedDisplay::Get().Reset(ScriptedDisplay::kScriptOnly);
    ScriptedDisplay::Get().Queue({kLeft, 1.0, 2.0});
    earlier = TakeAllUnits(s, kSy + 1, held);
    for (const FractalParams& u : earlier) s.myFractalNetObj->returnResults(u, Filled(kSx, 1, 1));
    units = TakeAllUnits(s, kSy + 1, held);
    for (int32_t r = 0; r < 3; ++r) s.myFractalNetObj->returnResults(units[r], RowResult(r));
  }

  Server::ServerState s{kSx, kSy, 0};
  Held held;
  std::vector<FractalParams> earlier;  // the first view's units
  std::vector<FractalParams> units;    // the second view's
};

struct BadResult {
  const char* name;
  std::function<std::pair<FractalParams, PixMap>(const SecondViewAlmostIn&)> make;
};

FractalParams Row3With(const SecondViewAlmostIn& w, const std::function<void(FractalParams&)>& f) {
  FractalParams p = w.units[3];
  f(p);
  return p;
}

float RowStep(const SecondViewAlmostIn& w) {
  return static_cast<float>((static_cast<long double>(w.units[1].ymin) - w.units[0].ymin));
}

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

const BadResult kBadResults[] = {
    {"a row that is already in, again",
     [](const auto& w) {
       return std::pair{w.units[0], Filled(kSx, 1, 99)};
     }},
    {"a unit of the earlier view",
     [](const auto& w) {
       return std::pair{w.earlier[3], Filled(kSx, 1, 99)};
     }},
    {"no array",
     [](const auto& w) {
       return std::pair{w.units[3], PixMap()};
     }},
    {"an array one column short",
     [](const auto& w) {
       return std::pair{w.units[3], Filled(7, 1, 99)};
     }},
    {"an array without rows",
     [](const auto& w) {
       return std::pair{w.units[3], Filled(kSx, 0, 99)};
     }},
    {"the row after the last",
     [](const auto& w) {
       const float y = static_cast<float>(static_cast<long double>(w.units[3].ymin) + RowStep(w));
       return std::pair{Row3With(w, [&](auto& p) { p.ymin = p.ymax = y; }), Filled(kSx, 1, 99)};
     }},
    {"the row before the first",
     [](const auto& w) {
       const float y = static_cast<float>(static_cast<long double>(w.units[0].ymin) - RowStep(w));
       return std::pair{Row3With(w, [&](auto& p) { p.ymin = p.ymax = y; }), Filled(kSx, 1, 99)};
     }},
    {"columns shifted right by one",
     [](const auto& w) {
       const long double step = (static_cast<long double>(w.units[3].xmax) - w.units[3].xmin) / kSx;
       return std::pair{Row3With(w,
                                 [&](auto& p) {
                                   p.xmin = static_cast<float>(p.xmin + step);
                                   p.xmax = static_cast<float>(p.xmax + step);
                                 }),
                        Filled(kSx, 1, 99)};
     }},
    {"a y extent spanning two rows",
     [](const auto& w) {
       return std::pair{Row3With(w, [&](auto& p) { p.ymin = w.units[2].ymin; }),
                        Filled(kSx, 2, 99)};
     }},
    {"a row that is not a number",
     [](const auto& w) {
       return std::pair{Row3With(w, [](auto& p) { p.ymin = p.ymax = kNaN; }), Filled(kSx, 1, 99)};
     }},
    {"x bounds that are not numbers",
     [](const auto& w) {
       return std::pair{Row3With(w, [](auto& p) { p.xmin = p.xmax = kNaN; }), Filled(kSx, 1, 99)};
     }},
    {"a huge row coordinate",
     [](const auto& w) {
       return std::pair{Row3With(w, [](auto& p) { p.ymin = p.ymax = 3e38f; }), Filled(kSx, 1, 99)};
     }},
    {"an infinite row coordinate",
     [](const auto& w) {
       return std::pair{Row3With(w, [](auto& p) { p.ymin = p.ymax = -kInf; }), Filled(kSx, 1, 99)};
     }},
    {"infinite x bounds",
     [](const auto& w) {
       return std::pair{Row3With(w,
                                 [](auto& p) {
                                   p.xmin = -kInf;
                                   p.xmax = kInf;
                                 }),
                        Filled(kSx, 1, 99)};
     }},
    {"another width",
     [](const auto& w) {
       return std::pair{Row3With(w, [](auto& p) { p.sx = kSx + 1; }), Filled(kSx + 1, 1, 99)};
     }},
    {"another iteration limit",
     [](const auto& w) {
       return std::pair{Row3With(w, [](auto& p) { p.maxiter = 95; }), Filled(kSx, 1, 99)};
     }},
};

TEST(ResultFaultTest, ResultsThatDoNotBelongAreDroppedWithoutTrace) {
  for (const BadResult& bad : kBadResults) {
    SCOPED_TRACE(bad.name);
    SecondViewAlmostIn w;
    ASSERT_EQ(w.units.size(), static_cast<std::size_t>(kSy));
    const std::vector<int32_t> before = ImageOf(w.s);
    ASSERT_EQ(NumResults(w.s), 3);

    auto [params, pixmap] = bad.make(w);
    w.s.myFractalNetObj->returnResults(params, pixmap);
    EXPECT_EQ(ImageOf(w.s), before) << "written";
    EXPECT_EQ(NumResults(w.s), 3) << "counted";
    EXPECT_EQ(ScriptedDisplay::Get().Shown().size(), 1u) << "view completed early";

    // The row still out is taken as usual and completes the view with every row in place.
    ScriptedDisplay::Get().Queue({kLeft, 1.0, 2.0});
    w.s.myFractalNetObj->returnResults(w.units[3], RowResult(3));
    const std::vector<ShownImage> shown = ScriptedDisplay::Get().Shown();
    ASSERT_EQ(shown.size(), 2u);
    for (int32_t x = 0; x < kSx; ++x) {
      for (int32_t r = 0; r < kSy; ++r) EXPECT_EQ(shown[1].values[x * kSy + r], 10 + r);
    }
  }
}

TEST(ResultFaultTest, RowsInAnyOrderAndLargerArraysAreTaken) {
  ScriptedDisplay::Get().Reset(ScriptedDisplay::kScriptOnly);
  ScriptedDisplay::Get().Queue({kLeft, 1.0, 2.0});
  Server::ServerState s(kSx, kSy, 0);
  Held held;
  const std::vector<FractalParams> units = TakeAllUnits(s, kSy + 1, held);
  ASSERT_EQ(units.size(), static_cast<std::size_t>(kSy));
  for (int32_t r : {3, 1, 0, 2}) {
    // Only the first row of a larger array is read.
    s.myFractalNetObj->returnResults(units[r], Filled(kSx + 3, 2, 10 + r));
  }
  const std::vector<ShownImage> shown = ScriptedDisplay::Get().Shown();
  ASSERT_EQ(shown.size(), 1u);
  for (int32_t x = 0; x < kSx; ++x) {
    for (int32_t r = 0; r < kSy; ++r) EXPECT_EQ(shown[0].values[x * kSy + r], 10 + r);
  }
}

// Zoomed in further than a float can resolve, rows share coordinates and the last row's
// coordinate locates past the image. Every row is still filled once and the view completes.
TEST(ResultFaultTest, ViewFinerThanFloatResolutionStillCompletes) {
  ScriptedDisplay::Get().Reset(ScriptedDisplay::kScriptOnly);
  ScriptedDisplay::Get().Queue({kLeft, 1.0, 2.0});
  Server::ServerState s(kSx, kSy, 0);
  SetView(s, {-2.5f, 1.25f, 1.0f, std::nextafter(1.0f, 2.0f)});
  Held held;
  const std::vector<FractalParams> units = TakeAllUnits(s, kSy + 1, held);
  ASSERT_EQ(units.size(), static_cast<std::size_t>(kSy));
  // 1 + r/4 of one float step: rows 0 to 2 round to 1.0, row 3 to the next float.
  EXPECT_EQ(Bits(units[0].ymin), Bits(1.0f));
  EXPECT_EQ(Bits(units[1].ymin), Bits(1.0f));
  EXPECT_EQ(Bits(units[2].ymin), Bits(1.0f));
  EXPECT_EQ(Bits(units[3].ymin), Bits(std::nextafter(1.0f, 2.0f)));

  for (int32_t r = 0; r < kSy; ++r) {
    s.myFractalNetObj->returnResults(units[r], RowResult(r));
    if (r + 1 < kSy) {
      EXPECT_EQ(NumResults(s), r + 1);
    }
  }
  const std::vector<ShownImage> shown = ScriptedDisplay::Get().Shown();
  ASSERT_EQ(shown.size(), 1u);
  for (int32_t x = 0; x < kSx; ++x) {
    for (int32_t r = 0; r < kSy; ++r) EXPECT_EQ(shown[0].values[x * kSy + r], 10 + r);
  }
}

}  // namespace
}  // namespace ServerTest
