// The counts must agree bit for bit with every other client, so besides the textbook points
// this pins inputs that only the exact evaluation gets right: each was found by running
// plausible wrong evaluations side by side, and each expected value was confirmed by an
// independent exact-rational emulation of the arithmetic.
#include "client/src/Compute.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace Client {
namespace {

using FractalNetObj::FractalParams;

FractalParams Params(int32_t sx, int32_t sy, float xmin, float xmax, float ymin, float ymax,
                     int32_t maxiter) {
  FractalParams f;
  f.sx = sx;
  f.sy = sy;
  f.xmin = xmin;
  f.xmax = xmax;
  f.ymin = ymin;
  f.ymax = ymax;
  f.maxiter = maxiter;
  return f;
}

// One point, as a one-column row unit.
FractalParams Point(float x, float y, int32_t maxiter) { return Params(1, 1, x, x, y, y, maxiter); }

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

struct Case {
  std::string name;
  FractalParams params;
  std::vector<std::vector<int32_t>> expected;  // [column][row]
};

std::vector<Case> Cases() {
  return {
      // c = 0 and c = i stay bounded, c = 1 runs 1, 4, 25, c = 2 + i leaves at once.
      {"three columns by two rows", Params(3, 2, 0, 3, 0, 2, 10), {{1, 1}, {3, 2}, {2, 1}}},
      // |z|^2 reaches exactly 4 and stays there; 4 is not greater than 4.
      {"c = -2 never escapes", Point(-2, 0, 50), {{1}}},
      {"c = 1 escaping exactly at the limit", Point(1, 0, 3), {{1}}},
      {"c = 1 escaping before the limit", Point(1, 0, 4), {{3}}},
      {"row unit", Params(4, 1, -2.5f, 1.25f, 0, 0, 96), {{1}, {1}, {1}, {11}}},
      {"limit of one", Params(4, 1, -2.5f, 1.25f, 0, 0, 1), {{1}, {1}, {1}, {1}}},
      // A limit below 1 ends each point after one iteration instead of running interior
      // points (here c = 0 and c = i) until the counter overflows.
      {"limit of zero", Params(3, 2, 0, 3, 0, 2, 0), {{1, 1}, {1, 1}, {1, 1}}},
      {"negative limit", Params(3, 2, 0, 3, 0, 2, -5), {{1, 1}, {1, 1}, {1, 1}}},
      {"no columns", Params(0, 3, 0, 1, 0, 1, 10), {}},
      {"no rows", Params(3, 0, 0, 1, 0, 1, 10), {{}, {}, {}}},
      {"no points", Params(0, 0, 0, 1, 0, 1, 10), {}},
      // A NaN orbit never compares greater than 4, so it runs to the limit.
      {"NaN point", Point(kNaN, 0, 10), {{1}}},
      // Columns at -inf (escapes at once), then -inf + inf = NaN.
      {"infinite bounds", Params(2, 1, -kInf, kInf, 0, 0, 10), {{1}, {1}}},

      // Rounding every operation to float gives 24.
      {"extended, not float, intermediates", Point(-0x1.25dda8p+0f, 0x1.564e36p-2f, 30), {{25}}},
      // Double intermediates give 406 (float ones 403).
      {"extended, not double, intermediates",
       Point(-0x1.7f4848p-1f, 0x1.d7f892p-5f, 1000),
       {{471}}},
      // The last column lies at -0x1.5c4cd4p-1 after six additions of dx = 0x1.39702ep-6;
      // xmin + 6 * dx would be -0x1.5c4cd8p-1, which escapes at 19.
      {"accumulated columns",
       Params(7, 1, -0x1.9711ep-1f, -0x1.528156p-1f, 0x1.df738ap-2f, 0x1.df738ap-2f, 20),
       {{6}, {7}, {7}, {7}, {9}, {1}, {1}}},
      // Likewise along y: ymin + 3 * dy would give 19 in the last row.
      {"accumulated rows",
       Params(1, 4, -0x1.158fbp-3f, -0x1.158fbp-3f, 0x1.687ed4p-1f, 0x1.1edeecp+0f, 20),
       {{1, 1, 14, 1}}},
  };
}

TEST(ComputeTest, MatchesKnownGrids) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    const FractalNetObj::PixMap pixmap = Compute(c.params);
    ASSERT_NE(pixmap, nullptr);
    ASSERT_EQ(pixmap->nx(), c.params.sx);
    ASSERT_EQ(pixmap->ny(), c.params.sy);
    std::vector<std::vector<int32_t>> actual(pixmap->nx(), std::vector<int32_t>(pixmap->ny()));
    for (int32_t i = 0; i < pixmap->nx(); ++i) {
      for (int32_t j = 0; j < pixmap->ny(); ++j) actual[i][j] = pixmap->at(i, j);
    }
    EXPECT_EQ(actual, c.expected);
  }
}

TEST(ComputeTest, StoresColumnsOuterAndRowsInner) {
  const FractalNetObj::PixMap pixmap = Compute(Params(3, 2, 0, 3, 0, 2, 10));
  ASSERT_EQ(pixmap->size(), 6u);
  const std::vector<int32_t> flat(pixmap->data(), pixmap->data() + pixmap->size());
  EXPECT_EQ(flat, (std::vector<int32_t>{1, 1, 3, 2, 2, 1}));
}

TEST(ComputeTest, NegativeExtentIsAnErrorNotAnArray) {
  EXPECT_THROW(Compute(Params(-1, 1, 0, 1, 0, 0, 10)), std::invalid_argument);
  EXPECT_THROW(Compute(Params(1, -1, 0, 1, 0, 0, 10)), std::invalid_argument);
}

}  // namespace
}  // namespace Client
