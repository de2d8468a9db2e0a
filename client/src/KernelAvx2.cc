// The AVX2 kernel (with FMA): 4 double lanes per vector, kGroups vectors in flight. Without
// expanding loads and scatters, lanes that leave are settled one by one through memory; the step
// itself is the same as in the AVX-512 kernel.
//
// Everything after the target pragma is compiled for AVX2 and must only run after the
// dispatcher checked the processor; so every standard header comes before it, nothing in the
// region has external linkage except the entry points, and it instantiates no standard library
// template (an out-of-line copy built for AVX2 could be the one the linker keeps).
#include <immintrin.h>

#include <cstdint>

#include "client/src/Kernels.h"
#include "client/src/PointSource.h"
#include "client/src/ReferenceOrbit.h"

#pragma GCC push_options
#pragma GCC target("avx2,fma")

#include "client/src/OrbitStep.h"

namespace Client {

namespace {

struct Avx2 {
  using V = __m256d;
  using M = __m256d;  // all ones in a lane for true
  static V Splat(double v) { return _mm256_set1_pd(v); }
  static V Add(V a, V b) { return _mm256_add_pd(a, b); }
  static V Sub(V a, V b) { return _mm256_sub_pd(a, b); }
  static V Mul(V a, V b) { return _mm256_mul_pd(a, b); }
  static V MulAdd(V a, V b, V c) { return _mm256_fmadd_pd(a, b, c); }
  static V MulSub(V a, V b, V c) { return _mm256_fmsub_pd(a, b, c); }
  static V Abs(V a) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), a); }
  // 2^k for 2^k <= |a| < 2^(k+1), or 0 for a = 0: the exponent bits alone.
  static V Binade(V a) {
    return _mm256_and_pd(a, _mm256_castsi256_pd(_mm256_set1_epi64x(0x7ff0000000000000)));
  }
  static V AddBits(V a, long long bits) {
    return _mm256_castsi256_pd(_mm256_add_epi64(_mm256_castpd_si256(a), _mm256_set1_epi64x(bits)));
  }
  static V Max(V a, V b) { return _mm256_max_pd(a, b); }
  static M LeNonNegative(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_LE_OQ); }
  static M Equal(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_EQ_OQ); }
  static M And(M a, M b) { return _mm256_and_pd(a, b); }
};

constexpr int kLanes = 4;
constexpr int kGroups = 3;

unsigned LaneBits(__m256d mask) { return static_cast<unsigned>(_mm256_movemask_pd(mask)); }

// As in the AVX-512 kernel: the orbit lives in registers (Orbit), the rest here; a lane's
// count is t - start at step t; a dead lane holds c = 0, z = 0 and start = +inf.
struct LaneGroup {
  __m256d x;
  __m256d y;
  __m256d start;  // whole numbers, exact far beyond any count
  int64_t slot[kLanes];
};

// z and the square of its imaginary part, for one vector of lanes.
struct Orbit {
  __m256d fx;
  __m256d fy;
  __m256d fy2;
};

// One group's values, spilled for settling lane by lane.
struct LaneArrays {
  alignas(32) double fx[kLanes], fy[kLanes], x[kLanes], y[kLanes], start[kLanes];
  alignas(32) double nfx[kLanes], nfy[kLanes], nfy2[kLanes], q[kLanes];
};

class Avx2Run {
 public:
  Avx2Run(PointSource& source, HandOverCounts& counts)
      : source_(source), counts_(counts), maxiter_(source.maxiter()) {}

  void Run();

 private:
  void StepGroup(LaneGroup& g, Orbit& z, __m256d last_start, double t);
  void Settle(LaneGroup& g, Orbit& z, __m256d fx, __m256d fy, __m256d fy2, __m256d q,
              unsigned real_exact, unsigned imag_exact, unsigned exits, double t);
  bool HandOver(LaneArrays& a, int lane, unsigned real_exact, unsigned imag_exact);
  void Refill(LaneArrays& a, int64_t& slot, int lane, double now);

  PointSource& source_;
  HandOverCounts& counts_;
  const int32_t maxiter_;
  int live_ = 0;
};

void Avx2Run::Run() {
  static_assert(kGroups == 3, "the loop below names each group");
  LaneGroup groups[kGroups];
  for (LaneGroup& g : groups) {
    LaneArrays a{};
    for (int lane = 0; lane < kLanes; ++lane) {
      ++live_;
      Refill(a, g.slot[lane], lane, 0.0);
    }
    g.x = _mm256_load_pd(a.x);
    g.y = _mm256_load_pd(a.y);
    g.start = _mm256_load_pd(a.start);
  }
  // Named, and only copied for the rare path, so that they stay in registers.
  const Orbit zero{_mm256_setzero_pd(), _mm256_setzero_pd(), _mm256_setzero_pd()};
  Orbit z0 = zero, z1 = zero, z2 = zero;
  // t stays far below 2^53, so it and its differences with a lane's start are exact.
  for (double t = 0.0; live_ > 0; t += 1.0) {
    const __m256d last_start = _mm256_set1_pd(t + 1.0 - maxiter_);
    StepGroup(groups[0], z0, last_start, t);
    StepGroup(groups[1], z1, last_start, t);
    StepGroup(groups[2], z2, last_start, t);
  }
}

// One step from t to t + 1 for one group. Lanes leave the fast path for a rounding not
// proven, |z|^2 >= 4 (escaped, or exactly 4 in double), or the count reaching maxiter with
// this step. Settled inline, as in the AVX-512 kernel; only a copy of the orbit can reach
// memory.
__attribute__((always_inline)) inline void Avx2Run::StepGroup(LaneGroup& g, Orbit& z,
                                                              __m256d last_start, double t) {
  const OrbitStepResult<Avx2> r = OrbitStep<Avx2>(z.fx, z.fy, z.fy2, g.x, g.y);
  const __m256d proven = _mm256_and_pd(r.real_exact, r.imag_exact);
  const __m256d leave = _mm256_or_pd(_mm256_cmp_pd(r.q, _mm256_set1_pd(4.0), _CMP_GE_OQ),
                                     _mm256_cmp_pd(g.start, last_start, _CMP_LE_OQ));
  const auto exits =
      static_cast<unsigned>(_mm256_movemask_pd(leave) | (_mm256_movemask_pd(proven) ^ 0xf));
  if (__builtin_expect(exits != 0, 0)) {
    Orbit copy = z;
    Settle(g, copy, r.fx, r.fy, r.fy2, r.q, static_cast<unsigned>(_mm256_movemask_pd(r.real_exact)),
           static_cast<unsigned>(_mm256_movemask_pd(r.imag_exact)), exits, t);
    z = copy;
  } else {
    z = Orbit{r.fx, r.fy, r.fy2};
  }
}

// Takes the step from t to t + 1 for g, whose lanes in `exits` left the fast path; z holds the
// orbit before the step and gets it after. Steps not proven are redone by the reference; then
// lanes that escaped or reached the limit store their count and take the next points at z = 0,
// and all others go on from the step's result.
__attribute__((always_inline)) inline void Avx2Run::Settle(LaneGroup& g, Orbit& z, __m256d fx,
                                                           __m256d fy, __m256d fy2, __m256d q,
                                                           unsigned real_exact, unsigned imag_exact,
                                                           unsigned exits, double t) {
  LaneArrays a;
  _mm256_store_pd(a.fx, z.fx);
  _mm256_store_pd(a.fy, z.fy);
  _mm256_store_pd(a.x, g.x);
  _mm256_store_pd(a.y, g.y);
  _mm256_store_pd(a.start, g.start);
  _mm256_store_pd(a.nfx, fx);
  _mm256_store_pd(a.nfy, fy);
  _mm256_store_pd(a.nfy2, fy2);
  _mm256_store_pd(a.q, q);
  const StepExactness<Avx2> exact = StepWasExact<Avx2>(z.fx, z.fy, z.fy2, g.x, g.y, fx, fy);
  const auto exact_real = static_cast<unsigned>(_mm256_movemask_pd(exact.real));
  const auto exact_imag = static_cast<unsigned>(_mm256_movemask_pd(exact.imag));
  const auto exact_modulus = static_cast<unsigned>(_mm256_movemask_pd(exact.modulus));
  for (unsigned bits = exits; bits != 0; bits &= bits - 1) {
    const int lane = __builtin_ctz(bits);
    const unsigned bit = 1u << lane;
    const bool at_four = a.q[lane] == 4.0;
    bool escaped = a.q[lane] > 4.0;
    if ((real_exact & imag_exact & bit) == 0 || at_four) {
      if (((real_exact | exact_real) & (imag_exact | exact_imag) & bit) != 0 &&
          (!at_four || (exact_modulus & bit) != 0)) {
        ++counts_.exact_rechecks;  // no rounding anywhere: the vector's step stands
      } else {
        escaped = HandOver(a, lane, real_exact, imag_exact);
      }
    }
    const auto m = static_cast<int32_t>(t + 1.0 - a.start[lane]);
    if (escaped || m == maxiter_) {
      // The count is m, or 1 when m reached maxiter (which covers escaping exactly there).
      source_.out()[g.slot[lane]] = m == maxiter_ ? 1 : m;
      counts_.vector_steps += static_cast<uint64_t>(m);
      Refill(a, g.slot[lane], lane, t + 1.0);
      a.nfx[lane] = a.nfy[lane] = a.nfy2[lane] = 0.0;
    }
  }
  z.fx = _mm256_load_pd(a.nfx);
  z.fy = _mm256_load_pd(a.nfy);
  z.fy2 = _mm256_load_pd(a.nfy2);
  g.x = _mm256_load_pd(a.x);
  g.y = _mm256_load_pd(a.y);
  g.start = _mm256_load_pd(a.start);
}

// The reference takes the lane's step from the state before it; its result replaces the
// vector's. Returns whether the reference found the orbit escaped.
bool Avx2Run::HandOver(LaneArrays& a, int lane, unsigned real_exact, unsigned imag_exact) {
  const unsigned bit = 1u << lane;
  if ((real_exact & bit) == 0) {
    ++counts_.real_rounding;
  } else if ((imag_exact & bit) == 0) {
    ++counts_.imag_rounding;
  } else {
    ++counts_.modulus_four;
  }
  auto new_x = static_cast<float>(a.fx[lane]);
  auto new_y = static_cast<float>(a.fy[lane]);
  const bool escaped =
      ReferenceStep(static_cast<float>(a.x[lane]), static_cast<float>(a.y[lane]), new_x, new_y);
  a.nfx[lane] = new_x;
  a.nfy[lane] = new_y;
  a.nfy2[lane] = a.nfy[lane] * a.nfy[lane];  // exact, as in the step
  return escaped;
}

// The lane takes the next point, starting its count at `now`, or dies when there is none.
void Avx2Run::Refill(LaneArrays& a, int64_t& slot, int lane, double now) {
  if (source_.Ready(1) > 0) {
    a.x[lane] = source_.xs()[0];
    a.y[lane] = source_.ys()[0];
    slot = source_.slots()[0];
    a.start[lane] = now;
    source_.Take(1);
  } else {
    a.x[lane] = a.y[lane] = 0.0;
    a.start[lane] = __builtin_inf();
    --live_;
  }
}

}  // namespace

void RunAvx2(PointSource& source, HandOverCounts& counts) { Avx2Run(source, counts).Run(); }

void ProbeStepsAvx2(const ProbeLane* lanes, ProbeResult* results, int n) {
  for (int base = 0; base < n; base += kLanes) {
    alignas(32) double fx[kLanes] = {}, fy[kLanes] = {}, x[kLanes] = {}, y[kLanes] = {};
    const int count = n - base < kLanes ? n - base : kLanes;
    for (int i = 0; i < count; ++i) {
      fx[i] = lanes[base + i].fx;
      fy[i] = lanes[base + i].fy;
      x[i] = lanes[base + i].x;
      y[i] = lanes[base + i].y;
    }
    const __m256d vfx = _mm256_load_pd(fx), vfy = _mm256_load_pd(fy);
    const __m256d vfy2 = _mm256_mul_pd(vfy, vfy);
    const __m256d vx = _mm256_load_pd(x), vy = _mm256_load_pd(y);
    const OrbitStepResult<Avx2> r = OrbitStep<Avx2>(vfx, vfy, vfy2, vx, vy);
    const StepExactness<Avx2> exact = StepWasExact<Avx2>(vfx, vfy, vfy2, vx, vy, r.fx, r.fy);
    const __m256d four = _mm256_set1_pd(4.0);
    const unsigned at_four = LaneBits(_mm256_cmp_pd(r.q, four, _CMP_EQ_OQ));
    const unsigned proven = (LaneBits(r.real_exact) | LaneBits(exact.real)) &
                            (LaneBits(r.imag_exact) | LaneBits(exact.imag)) &
                            (~at_four | LaneBits(exact.modulus));
    const auto escaped =
        static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(r.q, four, _CMP_GT_OQ)));
    _mm256_store_pd(fx, r.fx);
    _mm256_store_pd(fy, r.fy);
    for (int i = 0; i < count; ++i) {
      results[base + i] = ProbeResult{static_cast<float>(fx[i]), static_cast<float>(fy[i]),
                                      ((proven >> i) & 1) != 0, ((escaped >> i) & 1) != 0};
    }
  }
}

}  // namespace Client

#pragma GCC pop_options
