// The server's small pure pieces: which mouse reports lie inside the window, how a returned
// coordinate is rounded to a grid index, and what Put writes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>

#include "server/src/Put.h"
#include "server/src/ValidCoords.h"
#include "server/src/ViewMath.h"

namespace ServerTest {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct CoordsCase {
  double x, y;
  float sx, sy;
  bool inside;
};

// The window is sy wide and sx tall: x is bounded by sy, y by sx, both inclusive.
const CoordsCase kCoordsCases[] = {
    {0.0, 0.0, 320, 240, true},
    {-0.0, -0.0, 320, 240, true},
    {240.0, 320.0, 320, 240, true},
    {120.0, 160.0, 320, 240, true},
    {240.5, 160.0, 320, 240, false},
    {120.0, 320.5, 320, 240, false},
    {320.0, 240.0, 320, 240, false},  // axes swapped: x = 320 is past the width of 240
    {-1e-300, 10.0, 320, 240, false},
    {10.0, -1e-300, 320, 240, false},
    {-10.0, 10.0, 320, 240, false},
    {kNaN, 10.0, 320, 240, false},
    {10.0, kNaN, 320, 240, false},
    {kInf, 10.0, 320, 240, false},
    {10.0, -kInf, 320, 240, false},
    // The float bound is widened, never the coordinate narrowed: the double just above 0.1f
    // would round to 0.1f as a float and pass.
    {std::nextafter(static_cast<double>(0.1f), 1.0), 0.0, 320, 0.1f, false},
    {0.0, std::nextafter(static_cast<double>(0.1f), 1.0), 0.1f, 240, false},
    {static_cast<double>(0.1f), static_cast<double>(0.1f), 0.1f, 0.1f, true},
};

TEST(ValidCoordsTest, InsideTheTransposedWindowOnly) {
  for (const CoordsCase& c : kCoordsCases) {
    SCOPED_TRACE(testing::Message()
                 << "x " << c.x << " y " << c.y << " sx " << c.sx << " sy " << c.sy);
    auto mouse = std::make_unique<FractalNetObj::MouseInfo>();
    mouse->button = FractalNetObj::kLeftButtonAlone;
    mouse->x = c.x;
    mouse->y = c.y;
    EXPECT_EQ(Server::validCoords(mouse, c.sx, c.sy), c.inside);
  }
  EXPECT_FALSE(Server::validCoords(nullptr, 320, 240));
}

struct LocateCase {
  float value, lo, range;
  int32_t count;
  std::optional<int32_t> index;
};

// (value - lo) / range * count, rounded half to even.
const LocateCase kLocateCases[] = {
    {0.125f, 0.0f, 1.0f, 4, 0},   // 0.5
    {0.375f, 0.0f, 1.0f, 4, 2},   // 1.5
    {0.625f, 0.0f, 1.0f, 4, 2},   // 2.5
    {0.875f, 0.0f, 1.0f, 4, 4},   // 3.5
    {-0.125f, 0.0f, 1.0f, 4, 0},  // -0.5
    {-0.375f, 0.0f, 1.0f, 4, -2},
    {0.3f, 0.0f, 1.0f, 4, 1},  // 1.2000000476837158
    {0.0f, -1.25f, 2.5f, 240, 120},
    {1.2395833730697632f, -1.25f, 2.5f, 240, 239},
    // The difference is formed in extended precision: in float, 1 - (-1e-8) is 1, halved a tie.
    {1.0f, -1e-8f, 2.0f, 1, 1},
    {std::numeric_limits<float>::quiet_NaN(), 0.0f, 1.0f, 4, std::nullopt},
    {std::numeric_limits<float>::infinity(), 0.0f, 1.0f, 4, std::nullopt},
    {1.0f, 0.0f, 0.0f, 4, std::nullopt},  // a view without extent
    {0.0f, 0.0f, 0.0f, 4, std::nullopt},
    {3e38f, -3e38f, 1e-30f, 1200, std::nullopt},  // far past a 32-bit index
    {2147483520.0f, 0.0f, 1.0f, 1, 2147483520},   // the largest float that fits
    {2147483648.0f, 0.0f, 1.0f, 1, std::nullopt},
    {-2147483648.0f, 0.0f, 1.0f, 1, std::numeric_limits<int32_t>::min()},
};

TEST(LocateIndexTest, RoundsHalfToEvenAndRefusesWhatDoesNotFit) {
  for (const LocateCase& c : kLocateCases) {
    SCOPED_TRACE(testing::Message()
                 << c.value << " from " << c.lo << " over " << c.range << " x " << c.count);
    EXPECT_EQ(Server::LocateIndex(c.value, c.lo, c.range, c.count), c.index);
  }
}

TEST(PutTest, WritesTheTextUnchanged) {
  testing::internal::CaptureStdout();
  Server::Put("Fractal Server:\n\n");
  Server::Put("no newline");
  Server::Put("");
  Server::Put(std::string_view("a\0b", 3));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            std::string("Fractal Server:\n\nno newline") + std::string("a\0b", 3));
}

}  // namespace
}  // namespace ServerTest
