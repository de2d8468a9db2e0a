// The vector kernels against the x87 reference, bit for bit, on every instruction set this
// processor has: a corpus of views (the default view, deep zooms to float resolution around
// boundary points, limits from 1 to 10,000, seeded random views), odd grid sizes, inputs built
// to make each kind of hand-over happen, and single steps from lane states built to sit on the
// edge of each proof obligation.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "client/src/Compute.h"
#include "client/src/ComputeIsa.h"
#include "client/src/Kernels.h"
#include "client/src/ReferenceOrbit.h"

namespace Client {
namespace {

using FractalNetObj::FractalParams;
using Extended = long double;

// Under the address sanitizer the x87 reference runs several times slower; the corpus shrinks
// by this factor there (fewer random views and fuzzed states, smaller deep views).
#if defined(__SANITIZE_ADDRESS__)
constexpr int kShrink = 4;
#else
constexpr int kShrink = 1;
#endif

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

std::vector<ComputeIsa> VectorIsas() {
  std::vector<ComputeIsa> isas;
  for (ComputeIsa isa : {ComputeIsa::kAvx512, ComputeIsa::kAvx2}) {
    if (IsaAvailable(isa)) isas.push_back(isa);
  }
  return isas;
}

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

FractalParams Point(float x, float y, int32_t maxiter) { return Params(1, 1, x, x, y, y, maxiter); }

std::string Describe(const FractalParams& f) {
  char text[200];
  std::snprintf(text, sizeof text, "%d x %d, x %a .. %a, y %a .. %a, maxiter %d", f.sx, f.sy,
                f.xmin, f.xmax, f.ymin, f.ymax, f.maxiter);
  return text;
}

// Every element equal; on a difference names the first few.
void ExpectSameCounts(const FractalNetObj::PixMap& expected, const FractalNetObj::PixMap& actual,
                      const std::string& what) {
  ASSERT_NE(actual, nullptr) << what;
  ASSERT_EQ(actual->nx(), expected->nx()) << what;
  ASSERT_EQ(actual->ny(), expected->ny()) << what;
  int shown = 0;
  std::size_t differing = 0;
  for (int32_t i = 0; i < expected->nx(); ++i) {
    for (int32_t j = 0; j < expected->ny(); ++j) {
      if (actual->at(i, j) == expected->at(i, j)) continue;
      ++differing;
      if (shown++ < 3) {
        ADD_FAILURE() << what << ": element [" << i << "][" << j << "] is " << actual->at(i, j)
                      << ", the reference has " << expected->at(i, j);
      }
    }
  }
  EXPECT_EQ(differing, 0u) << what;
}

// Compares every vector set, and Compute itself, with the reference on f.
void ExpectMatchesReference(const FractalParams& f, HandOverCounts* totals = nullptr) {
  const FractalNetObj::PixMap expected = ComputeReference(f);
  for (ComputeIsa isa : VectorIsas()) {
    HandOverCounts counts;
    ExpectSameCounts(expected, ComputeWith(isa, f, &counts),
                     std::string(IsaName(isa)) + " on " + Describe(f));
    if (totals != nullptr && isa == BestIsa()) {
      totals->reference_points += counts.reference_points;
      totals->real_rounding += counts.real_rounding;
      totals->imag_rounding += counts.imag_rounding;
      totals->modulus_four += counts.modulus_four;
      totals->exact_rechecks += counts.exact_rechecks;
      totals->vector_steps += counts.vector_steps;
    }
  }
  ExpectSameCounts(expected, Compute(f), "Compute on " + Describe(f));
}

// The rows of a view as the server hands them out: row r at ymin + r (ymax - ymin) / sy.
std::vector<FractalParams> ServerRows(const FractalParams& view) {
  std::vector<FractalParams> rows;
  const Extended step = (Extended{view.ymax} - Extended{view.ymin}) / view.sy;
  for (int32_t r = 0; r < view.sy; ++r) {
    const auto y = static_cast<float>(Extended{view.ymin} + static_cast<Extended>(r) * step);
    rows.push_back(Params(view.sx, 1, view.xmin, view.xmax, y, y, view.maxiter));
  }
  return rows;
}

// A square view of `width` around (x, y), sampled on sx by sy points.
FractalParams Around(double x, double y, double width, int32_t sx, int32_t sy, int32_t maxiter) {
  const double height = width * sy / sx;
  return Params(sx, sy, static_cast<float>(x - width / 2), static_cast<float>(x + width / 2),
                static_cast<float>(y - height / 2), static_cast<float>(y + height / 2), maxiter);
}

std::vector<FractalParams> Corpus() {
  std::vector<FractalParams> views;
  // The default view, as the server's rows and as one grid whose rows accumulate dy.
  const FractalParams standard = Params(320, 240, -2.5f, 1.25f, -1.25f, 1.25f, 96);
  for (const FractalParams& row : ServerRows(standard)) views.push_back(row);
  views.push_back(standard);

  // Deep zooms around boundary points, down to column steps below the float spacing there
  // (where x stops advancing and whole runs of columns repeat one point).
  const struct {
    double x, y;
  } centres[] = {{-0.743643887, 0.131825904}, {-0.75, 0.0},      {0.25, 0.0},
                 {-1.25066, 0.02012},         {-0.1011, 0.9563}, {0.001643721, 0.822467633},
                 {-1.768573656, 0.0},         {-2.0, 0.0}};
  for (const auto& c : centres) {
    for (double width : {1e-2, 1e-4, 2e-5, 4e-6, 1e-7}) {
      views.push_back(Around(c.x, c.y, width, 48 / kShrink + 1, 36 / kShrink + 1, 2000));
    }
  }

  // Limits from 1 to 10,000 over the bulbs and the valley between them.
  for (int32_t maxiter : {1, 2, 3, 4, 5, 17, 96, 255, 1000, 10000}) {
    views.push_back(Around(-0.6, 0.3, 0.9, 40, 30, maxiter));
  }

  // Seeded random views: anywhere near the set, at any zoom down to float resolution.
  std::mt19937 gen(20241209);
  std::uniform_real_distribution<double> cx(-2.2, 0.8), cy(-1.3, 1.3), zoom(0.0, 22.0),
      limit(std::log(2.0), std::log(3000.0));
  std::uniform_int_distribution<int32_t> columns(1, 70), rows(1, 9);
  for (int i = 0; i < 80 / kShrink; ++i) {
    const double x = cx(gen), y = cy(gen), width = std::exp2(-zoom(gen));
    const int32_t sx = columns(gen), sy = rows(gen);
    views.push_back(Around(x, y, width, sx, sy, static_cast<int32_t>(std::exp(limit(gen)))));
  }
  return views;
}

TEST(ComputeFastTest, CorpusMatchesTheReferenceOnEverySet) {
  HandOverCounts totals;
  for (const FractalParams& f : Corpus()) ExpectMatchesReference(f, &totals);
  if (VectorIsas().empty()) return;
  // Not a pass condition: the rates for the record.
  std::printf(
      "[ corpus   ] %s: %llu vector iterations, %llu steps handed over (real %llu, "
      "imaginary %llu, |z|^2 = 4: %llu), one in %.3g; %llu kept after the second look; %llu "
      "points by the reference\n",
      IsaName(BestIsa()), static_cast<unsigned long long>(totals.vector_steps),
      static_cast<unsigned long long>(totals.HandedOver()),
      static_cast<unsigned long long>(totals.real_rounding),
      static_cast<unsigned long long>(totals.imag_rounding),
      static_cast<unsigned long long>(totals.modulus_four),
      totals.HandedOver() == 0
          ? 0.0
          : static_cast<double>(totals.vector_steps) / static_cast<double>(totals.HandedOver()),
      static_cast<unsigned long long>(totals.exact_rechecks),
      static_cast<unsigned long long>(totals.reference_points));
}

TEST(ComputeFastTest, OddGridSizes) {
  // Widths around the vector widths and the source's batch, rows that accumulate dy, and
  // empty grids, over a stretch of the boundary.
  for (int32_t sx : {0, 1, 2, 3, 7, 8, 9, 15, 16, 17, 31, 33, 100, 257}) {
    for (int32_t sy : {0, 1, 2, 3, 7}) {
      ExpectMatchesReference(Params(sx, sy, -1.9f, 0.45f, -0.2f, 1.1f, 300));
    }
  }
}

TEST(ComputeFastTest, NegativeExtentsThrowOnEverySet) {
  for (ComputeIsa isa : VectorIsas()) {
    EXPECT_THROW(ComputeWith(isa, Params(-1, 1, 0, 1, 0, 0, 10), nullptr), std::invalid_argument);
    EXPECT_THROW(ComputeWith(isa, Params(1, -1, 0, 1, 0, 0, 10), nullptr), std::invalid_argument);
  }
}

TEST(ComputeFastTest, AnUnavailableSetIsRefused) {
  for (ComputeIsa isa : {ComputeIsa::kAvx2, ComputeIsa::kAvx512}) {
    if (!IsaAvailable(isa)) {
      EXPECT_THROW(ComputeWith(isa, Point(0, 0, 10), nullptr), std::invalid_argument);
    }
  }
}

TEST(ComputeFastTest, TheReferenceSetComputesEveryPointItself) {
  HandOverCounts counts;
  const FractalParams f = Params(13, 5, -2.0f, 0.5f, -1.0f, 1.0f, 50);
  ExpectSameCounts(ComputeReference(f), ComputeWith(ComputeIsa::kReference, f, &counts),
                   "reference set");
  EXPECT_EQ(counts.reference_points, 65u);
  EXPECT_EQ(counts.HandedOver(), 0u);
}

// Each case must make the kernels take the named path (a step given to the reference, a step
// kept after the second look, a point computed whole by the reference), and the counts must
// still match the reference.
struct HandOverCase {
  std::string name;
  FractalParams params;
  uint64_t HandOverCounts::*counter;
  int32_t expected_first;  // pinned value of element [0][0]
};

TEST(ComputeFastTest, EachKindOfHandOverHappensAndMatches) {
  const std::vector<HandOverCase> cases = {
      // At one step the double and the extended value of the new real part round to different
      // floats; double arithmetic alone would go on to 406.
      {"real rounding, where double would differ", Point(-0x1.7f4848p-1f, 0x1.d7f892p-5f, 1000),
       &HandOverCounts::real_rounding, 471},
      // Step 2's imaginary sum y (1 + 2x) lies just off a float tie, closer than half a
      // double's last place: double rounding alone would store the other float there.
      {"imaginary rounding, where double would differ", Point(0x1.618eep-21f, 0x1.957a58p-1f, 50),
       &HandOverCounts::imag_rounding, 26},
      // z2 = (2, 3 * 2^-30): |z|^2 = 4 + 9 * 2^-60 rounds to 4 in double but not in extended,
      // so the orbit escapes at 2; double arithmetic alone would say 3.
      {"|z|^2 of 4 in double only", Point(1.0f, 0x1p-30f, 10), &HandOverCounts::modulus_four, 2},
      // Short coordinates make exact sums that fall on float ties: the checks fail, and the
      // second look finds no rounding at all, so the lanes keep them.
      {"real part exactly on a tie", Point(-0x1.f4p-1f, -1.25f, 96),
       &HandOverCounts::exact_rechecks, 3},
      {"imaginary part exactly on a tie", Point(-0x1.22p-1f, -1.25f, 96),
       &HandOverCounts::exact_rechecks, 3},
      // |z|^2 is exactly 4 at every step and 4 is not greater than 4.
      {"|z|^2 exactly 4 for ever", Point(-2.0f, 0.0f, 50), &HandOverCounts::exact_rechecks, 1},
      // Outside the vector domain: not finite, or beyond 2^20.
      {"not a number", Params(3, 1, kNaN, 1.0f, 0, 0, 10), &HandOverCounts::reference_points, 1},
      {"infinite bounds", Params(2, 1, -kInf, kInf, 0, 0, 10), &HandOverCounts::reference_points,
       1},
      {"beyond the vector bound", Point(0x1.000002p20f, 0.5f, 10),
       &HandOverCounts::reference_points, 1},
      {"huge imaginary part", Point(0.25f, -3e38f, 10), &HandOverCounts::reference_points, 1},
      // A limit below 2 leaves no room for a vector step.
      {"limit of one", Params(9, 2, -2.5f, 1.25f, 0, 1, 1), &HandOverCounts::reference_points, 1},
      {"limit of zero", Params(9, 2, -2.5f, 1.25f, 0, 1, 0), &HandOverCounts::reference_points, 1},
  };
  for (ComputeIsa isa : VectorIsas()) {
    for (const HandOverCase& c : cases) {
      SCOPED_TRACE(std::string(IsaName(isa)) + ": " + c.name);
      HandOverCounts counts;
      const FractalNetObj::PixMap fast = ComputeWith(isa, c.params, &counts);
      ExpectSameCounts(ComputeReference(c.params), fast, c.name);
      EXPECT_GT(counts.*(c.counter), 0u);
      EXPECT_EQ(fast->at(0, 0), c.expected_first);
    }
  }
}

TEST(ComputeFastTest, ThePointAtTheVectorBoundStaysInTheLanes) {
  for (ComputeIsa isa : VectorIsas()) {
    HandOverCounts counts;
    const FractalParams f = Point(0x1p20f, -0x1p20f, 10);
    ExpectSameCounts(ComputeReference(f), ComputeWith(isa, f, &counts), IsaName(isa));
    EXPECT_EQ(counts.reference_points, 0u) << IsaName(isa);
    EXPECT_EQ(counts.vector_steps, 1u) << IsaName(isa);
  }
}

// Float subnormal imaginary parts: the row's y and the orbits' imaginary parts lie below
// 2^-126, where the float grid no longer follows the binade of the double.
TEST(ComputeFastTest, SubnormalImaginaryParts) {
  ExpectMatchesReference(Params(97, 1, -1.9f, 0.3f, 1e-40f, 1e-40f, 500));
  ExpectMatchesReference(Params(97, 3, -1.9f, 0.3f, -0x1p-149f, 0x1p-148f, 500));
  ExpectMatchesReference(Params(41, 1, -0.75f, -0.75f, 0x1p-140f, 0x1p-140f, 3000));
}

// The vector count of iterations, on which the hand-over rates rest, is every iteration of
// every point: a value above 1 is its own count; a 1 is one iteration if |c|^2 > 4, else the
// limit.
TEST(ComputeFastTest, VectorStepsCountEveryIteration) {
  const FractalParams f = Params(70, 1, -2.5f, 1.25f, 0.375f, 0.375f, 96);
  for (ComputeIsa isa : VectorIsas()) {
    HandOverCounts counts;
    const FractalNetObj::PixMap pixmap = ComputeWith(isa, f, &counts);
    const float dx = GridStep(f.xmin, f.xmax, f.sx);
    uint64_t expected = 0;
    float x = f.xmin;
    for (int32_t i = 0; i < f.sx; ++i, x = x + dx) {
      const int32_t value = pixmap->at(i, 0);
      const bool at_once = Extended{x} * x + Extended{f.ymin} * f.ymin > 4;
      expected += value != 1 ? static_cast<uint64_t>(value) : at_once ? 1u : 96u;
    }
    EXPECT_EQ(counts.vector_steps, expected) << IsaName(isa);
  }
}

// ---- single steps from built lane states ----

struct StepOutcome {
  float fx, fy;
  bool escaped;
};

StepOutcome ReferenceOutcome(const ProbeLane& lane) {
  StepOutcome out{lane.fx, lane.fy, false};
  out.escaped = ReferenceStep(lane.x, lane.y, out.fx, out.fy);
  return out;
}

std::vector<ProbeResult> Probe(ComputeIsa isa, const std::vector<ProbeLane>& lanes) {
  std::vector<ProbeResult> results(lanes.size());
  const int n = static_cast<int>(lanes.size());
  if (isa == ComputeIsa::kAvx512) {
    ProbeStepsAvx512(lanes.data(), results.data(), n);
  } else {
    ProbeStepsAvx2(lanes.data(), results.data(), n);
  }
  return results;
}

// Bit for bit, but for the sign of a zero: the vector step rounds every zero to +0 where the
// reference may keep -0, which no later value or count can tell (OrbitStep.h, step 3).
bool SamePart(float got, float want) {
  return std::bit_cast<uint32_t>(got) == std::bit_cast<uint32_t>(want) ||
         (got == 0.0f && want == 0.0f);
}

// A proven step must give the reference's floats, bit for bit up to the sign of a zero, and
// its escape decision. Returns how many lanes were proven.
int ExpectProvenStepsExact(ComputeIsa isa, const std::vector<ProbeLane>& lanes,
                           int* caught = nullptr) {
  const std::vector<ProbeResult> results = Probe(isa, lanes);
  int proven = 0;
  for (std::size_t i = 0; i < lanes.size(); ++i) {
    const ProbeLane& in = lanes[i];
    const StepOutcome ref = ReferenceOutcome(in);
    const ProbeResult& got = results[i];
    const bool same =
        SamePart(got.fx, ref.fx) && SamePart(got.fy, ref.fy) && got.escaped == ref.escaped;
    if (got.proven) {
      ++proven;
      EXPECT_TRUE(same) << IsaName(isa) << ": proven step from z = (" << std::hexfloat << in.fx
                        << ", " << in.fy << "), c = (" << in.x << ", " << in.y << ") gives ("
                        << got.fx << ", " << got.fy << ", escaped " << got.escaped
                        << "), the reference (" << ref.fx << ", " << ref.fy << ", escaped "
                        << ref.escaped << ")";
    } else if (!same && caught != nullptr) {
      ++*caught;
    }
  }
  return proven;
}

TEST(ComputeStepTest, StatesWhereDoubleDiffersAreNotProven) {
  // Each is a state where plain double arithmetic rounds to another float, or decides the
  // escape otherwise, than the reference does.
  const std::vector<ProbeLane> lanes = {
      // Real part: D = 2^-24 - 2^-60 exactly; D + x = 1 + 2^-23 + 2^-24 - 2^-60 is exact in
      // extended, just below a float tie, but rounds onto the tie in double.
      {1.0f + 0x1p-23f, 0.0f, 0x1p-12f, 0x1p-30f},
      // Imaginary part: 2 fx fy = 2^-24 (1 - 2^-36), the same sum.
      {0.0f, 1.0f + 0x1p-23f, 0x1p-12f * (1.0f + 0x1p-18f), 0x1p-13f * (1.0f - 0x1p-18f)},
      // z = c = (2, 2^-30): |z|^2 = 4 + 2^-60, escaped in extended, exactly 4 in double.
      {2.0f, 0x1p-30f, 0.0f, 0.0f},
  };
  for (const ProbeLane& lane : lanes) {
    // The premise: double arithmetic alone would get these wrong.
    const double d =
        static_cast<double>(lane.fx) * lane.fx - static_cast<double>(lane.fy) * lane.fy;
    const auto dfx = static_cast<float>(d + lane.x);
    const auto dfy = static_cast<float>(2.0 * lane.fx * lane.fy + lane.y);
    const bool descaped = static_cast<double>(dfx) * dfx + static_cast<double>(dfy) * dfy > 4.0;
    const StepOutcome ref = ReferenceOutcome(lane);
    ASSERT_TRUE(dfx != ref.fx || dfy != ref.fy || descaped != ref.escaped);
  }
  for (ComputeIsa isa : VectorIsas()) {
    for (const ProbeResult& r : Probe(isa, lanes)) EXPECT_FALSE(r.proven) << IsaName(isa);
  }
}

// A sum just below zero, above -2^-150, is -0 as the reference stores it and +0 from the
// vector step; such a step is still proven, and the zero's sign is all that differs.
TEST(ComputeStepTest, ProvenStepsMayTurnTheReferencesMinusZeroIntoPlusZero) {
  const std::vector<ProbeLane> lanes = {
      // Real part: fx^2 - fy^2 + x = -2^-152.
      {0.0f, 0.5f, 0.0f, 0x1p-76f},
      // Imaginary part: 2 fx fy + y = -2^-151.
      {0.5f, 0.0f, 0x1p-76f, -0x1p-76f},
  };
  const StepOutcome realRef = ReferenceOutcome(lanes[0]);
  const StepOutcome imagRef = ReferenceOutcome(lanes[1]);
  ASSERT_EQ(std::bit_cast<uint32_t>(realRef.fx), 0x80000000u);
  ASSERT_EQ(std::bit_cast<uint32_t>(imagRef.fy), 0x80000000u);
  for (ComputeIsa isa : VectorIsas()) {
    const std::vector<ProbeResult> got = Probe(isa, lanes);
    EXPECT_EQ(std::bit_cast<uint32_t>(got[0].fx), 0u) << IsaName(isa);
    EXPECT_EQ(std::bit_cast<uint32_t>(got[1].fy), 0u) << IsaName(isa);
    EXPECT_EQ(ExpectProvenStepsExact(isa, lanes), 2) << IsaName(isa);
  }
}

// A random float with an exponent in [lo, hi] and either sign.
float RandomFloat(std::mt19937& gen, int lo, int hi) {
  std::uniform_int_distribution<int> exponent(lo, hi);
  std::uniform_int_distribution<uint32_t> mantissa(0, (1u << 23) - 1);
  const float unit = std::bit_cast<float>(0x3f800000u | mantissa(gen));  // [1, 2)
  const float value = std::ldexp(unit, exponent(gen));
  return (gen() & 1) != 0 ? -value : value;
}

float RandomSign(std::mt19937& gen, float value) { return (gen() & 1) != 0 ? -value : value; }

// Lane states built so that the new real or imaginary part lies just off a float tie, by an
// offset that ranges from below the extended precision to above the double precision, with
// the tie on either side; states whose new |z|^2 lies within a few floats of 4; and plain
// random states down into the float subnormal range.
//
// Real part: fx = 2^a, fy = p 2^(a-23) make D = fx^2 - fy^2 = 2^2a (1 - p^2 2^-46), and x with
// its last place at 2^(2a+1) puts x + D just below the tie above x. Imaginary part likewise
// with fx = 2^a (1 + p 2^-23), fy = 2^b (1 - p 2^-23), so 2 fx fy = 2^(a+b+1) (1 - p^2 2^-46).
std::vector<ProbeLane> EdgeStates(std::mt19937& gen, int count) {
  std::vector<ProbeLane> lanes;
  std::uniform_int_distribution<int> kind(0, 3), nudge(-3, 3), exponent(-40, -2);
  std::uniform_int_distribution<int32_t> offset(1, 4096);
  while (static_cast<int>(lanes.size()) < count) {
    ProbeLane lane{};
    switch (kind(gen)) {
      case 0: {  // real part next to a tie
        const int a = exponent(gen);
        const auto p = static_cast<float>(offset(gen));
        lane.fx = RandomSign(gen, std::ldexp(1.0f, a));
        lane.fy = RandomSign(gen, std::ldexp(p, a - 23));
        lane.x = RandomFloat(gen, 2 * a + 24, 2 * a + 24);
        lane.y = RandomFloat(gen, -30, 0);
        break;
      }
      case 1: {  // imaginary part next to a tie
        const int a = exponent(gen) / 2, b = exponent(gen) / 2;
        const auto p = static_cast<float>(offset(gen));
        lane.fx = RandomSign(gen, std::ldexp(1.0f + p * 0x1p-23f, a));
        lane.fy = RandomSign(gen, std::ldexp(1.0f - p * 0x1p-23f, b));
        lane.y = RandomFloat(gen, a + b + 25, a + b + 25);
        lane.x = RandomFloat(gen, -30, 0);
        break;
      }
      case 2: {  // |z|^2 next to 4 on the first step, z = c
        lane.y = RandomFloat(gen, -40, 0);
        lane.x = std::sqrt(4.0f - lane.y * lane.y);
        for (int k = nudge(gen); k != 0; k += k > 0 ? -1 : 1) {
          lane.x = std::nextafter(lane.x, k > 0 ? 3.0f : 1.0f);
        }
        break;
      }
      default:  // anything, including float subnormal coordinates and parts
        lane = ProbeLane{RandomFloat(gen, -149, 1), RandomFloat(gen, -149, 1),
                         RandomFloat(gen, -80, 0), RandomFloat(gen, -80, 0)};
        break;
    }
    // The step's preconditions: |c| components within the vector bound, |z| <= 2.
    if (!(std::fabs(lane.x) <= 0x1p20f && std::fabs(lane.y) <= 0x1p20f)) continue;
    if (Extended{lane.fx} * lane.fx + Extended{lane.fy} * lane.fy > 4) continue;
    lanes.push_back(lane);
  }
  return lanes;
}

TEST(ComputeStepTest, ProvenStepsFromEdgeStatesAreExact) {
  std::mt19937 gen(77);
  const std::vector<ProbeLane> lanes = EdgeStates(gen, 200000 / kShrink);
  for (ComputeIsa isa : VectorIsas()) {
    int caught = 0;
    const int proven = ExpectProvenStepsExact(isa, lanes, &caught);
    // The states are hard enough that double arithmetic alone goes wrong on some of them.
    EXPECT_GT(caught, 0) << IsaName(isa);
    EXPECT_GT(proven, 0) << IsaName(isa);
    std::printf("[ edges    ] %s: %d of %zu edge states proven, %d where double differs caught\n",
                IsaName(isa), proven, lanes.size(), caught);
  }
}

TEST(ComputeStepTest, OrdinaryStatesAreAlmostAllProven) {
  std::mt19937 gen(78);
  std::uniform_real_distribution<float> c(-2.0f, 2.0f), z(-1.4f, 1.4f);
  std::vector<ProbeLane> lanes;
  for (int i = 0; i < 100000 / kShrink; ++i) lanes.push_back({c(gen), c(gen), z(gen), z(gen)});
  for (ComputeIsa isa : VectorIsas()) {
    const int proven = ExpectProvenStepsExact(isa, lanes);
    EXPECT_GE(proven, static_cast<int>(lanes.size()) - 2) << IsaName(isa);
  }
}

}  // namespace
}  // namespace Client
