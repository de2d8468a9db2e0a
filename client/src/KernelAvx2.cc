// The AVX2 kernel: 4 double lanes per vector, kGroups vectors in flight. Without expanding
// loads and scatters, lanes that leave are settled one by one through memory; the step itself
// is the same as in the AVX-512 kernel.
//
// Everything after the target pragma is compiled for AVX2 and must only run after the
// dispatcher checked the processor; so every standard header comes before it, and nothing in
// the region has external linkage except the entry point.
#include <immintrin.h>

#include <cstdint>
#include <limits>

#include "client/src/Kernels.h"
#include "client/src/PointSource.h"
#include "client/src/ReferenceOrbit.h"

#pragma GCC push_options
#pragma GCC target("avx2")

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
  static V Abs(V a) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), a); }
  // 2^k for 2^k <= |a| < 2^(k+1), or 0 for a = 0: the exponent bits alone.
  static V Binade(V a) {
    return _mm256_and_pd(a, _mm256_castsi256_pd(_mm256_set1_epi64x(0x7ff0000000000000)));
  }
  // To float and back. The conversion rounds by the MXCSR mode, which nothing in this program
  // changes from round-to-nearest-even.
  static V RoundToFloat(V a) { return _mm256_cvtps_pd(_mm256_cvtpd_ps(a)); }
  static M Le(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_LE_OQ); }
};

constexpr int kLanes = 4;
constexpr int kGroups = 3;

// As in the AVX-512 kernel: a lane's count is (t - start) at step t; a dead lane holds c = 0,
// z = 0 and start = +inf.
struct LaneGroup {
  __m256d fx;
  __m256d fy;
  __m256d fx2;
  __m256d fy2;
  __m256d x;
  __m256d y;
  __m256d start;
  int64_t slot[kLanes];
};

// One lane's values, spilled for settling.
struct LaneArrays {
  alignas(32) double fx[kLanes], fy[kLanes], x[kLanes], y[kLanes], start[kLanes];
  alignas(32) double nfx[kLanes], nfy[kLanes], nfx2[kLanes], nfy2[kLanes], q[kLanes];
};

class Avx2Run {
 public:
  Avx2Run(PointSource& source, HandOverCounts& counts)
      : source_(source), counts_(counts), maxiter_(source.maxiter()) {}

  void Run();

 private:
  void Settle(LaneGroup& g, const OrbitStepResult<Avx2>& r, unsigned exits, double t);
  bool HandOver(LaneArrays& a, int lane, unsigned real_exact, unsigned imag_exact);
  void Refill(LaneArrays& a, int64_t& slot, int lane, double now);

  PointSource& source_;
  HandOverCounts& counts_;
  const int32_t maxiter_;
  int live_ = 0;
};

void Avx2Run::Run() {
  LaneGroup groups[kGroups];
  for (LaneGroup& g : groups) {
    alignas(32) LaneArrays a{};
    for (int lane = 0; lane < kLanes; ++lane) {
      ++live_;
      Refill(a, g.slot[lane], lane, 0.0);
    }
    g.fx = g.fy = g.fx2 = g.fy2 = _mm256_setzero_pd();
    g.x = _mm256_load_pd(a.x);
    g.y = _mm256_load_pd(a.y);
    g.start = _mm256_load_pd(a.start);
  }
  const __m256d four = _mm256_set1_pd(4.0);
  // t stays far below 2^53, so it and its differences with a lane's start are exact.
  for (double t = 0.0; live_ > 0; t += 1.0) {
    const __m256d last_start = _mm256_set1_pd(t + 1.0 - maxiter_);
    OrbitStepResult<Avx2> r[kGroups];
    unsigned exits[kGroups];
    unsigned any = 0;
#pragma GCC unroll 4
    for (int i = 0; i < kGroups; ++i) {
      LaneGroup& g = groups[i];
      r[i] = OrbitStep<Avx2>(g.fx, g.fy, g.fx2, g.fy2, g.x, g.y);
      // Leaves the loop: a rounding not proven, |z|^2 >= 4 (escaped, or exactly 4 in double),
      // or the count reaching maxiter with this step.
      const __m256d leave = _mm256_or_pd(_mm256_cmp_pd(r[i].q, four, _CMP_GE_OQ),
                                         _mm256_cmp_pd(g.start, last_start, _CMP_LE_OQ));
      exits[i] = (static_cast<unsigned>(
                      _mm256_movemask_pd(_mm256_and_pd(r[i].real_exact, r[i].imag_exact))) ^
                  0xfu) |
                 static_cast<unsigned>(_mm256_movemask_pd(leave));
      any |= exits[i];
    }
    for (int i = 0; i < kGroups; ++i) {
      LaneGroup& g = groups[i];
      if (any != 0 && exits[i] != 0) {
        Settle(g, r[i], exits[i], t);
      } else {
        g.fx = r[i].fx;
        g.fy = r[i].fy;
        g.fx2 = r[i].fx2;
        g.fy2 = r[i].fy2;
      }
    }
  }
}

// Takes the step from t to t + 1 for g, whose lanes in `exits` left the fast path. Steps not
// proven are redone by the reference; then lanes that escaped or reached the limit store their
// count and take the next points, and all others go on from the step's result.
void Avx2Run::Settle(LaneGroup& g, const OrbitStepResult<Avx2>& r, unsigned exits, double t) {
  alignas(32) LaneArrays a;
  _mm256_store_pd(a.fx, g.fx);
  _mm256_store_pd(a.fy, g.fy);
  _mm256_store_pd(a.x, g.x);
  _mm256_store_pd(a.y, g.y);
  _mm256_store_pd(a.start, g.start);
  _mm256_store_pd(a.nfx, r.fx);
  _mm256_store_pd(a.nfy, r.fy);
  _mm256_store_pd(a.nfx2, r.fx2);
  _mm256_store_pd(a.nfy2, r.fy2);
  _mm256_store_pd(a.q, r.q);
  const auto real_exact = static_cast<unsigned>(_mm256_movemask_pd(r.real_exact));
  const auto imag_exact = static_cast<unsigned>(_mm256_movemask_pd(r.imag_exact));
  for (unsigned bits = exits; bits != 0; bits &= bits - 1) {
    const int lane = __builtin_ctz(bits);
    const unsigned bit = 1u << lane;
    bool escaped = a.q[lane] > 4.0;
    if ((real_exact & imag_exact & bit) == 0 || a.q[lane] == 4.0) {
      escaped = HandOver(a, lane, real_exact, imag_exact);
    }
    const auto m = static_cast<int32_t>(t + 1.0 - a.start[lane]);
    if (escaped || m == maxiter_) {
      // The count is m, or 1 when m reached maxiter (which covers escaping exactly there).
      source_.out()[g.slot[lane]] = m == maxiter_ ? 1 : m;
      counts_.vector_steps += static_cast<uint64_t>(m);
      Refill(a, g.slot[lane], lane, t + 1.0);
      a.nfx[lane] = a.nfy[lane] = a.nfx2[lane] = a.nfy2[lane] = 0.0;
    }
  }
  g.fx = _mm256_load_pd(a.nfx);
  g.fy = _mm256_load_pd(a.nfy);
  g.fx2 = _mm256_load_pd(a.nfx2);
  g.fy2 = _mm256_load_pd(a.nfy2);
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
  a.nfx2[lane] = a.nfx[lane] * a.nfx[lane];  // exact, as in the step
  a.nfy2[lane] = a.nfy[lane] * a.nfy[lane];
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
    a.start[lane] = std::numeric_limits<double>::infinity();
    --live_;
  }
}

}  // namespace

void RunAvx2(PointSource& source, HandOverCounts& counts) { Avx2Run(source, counts).Run(); }

}  // namespace Client

#pragma GCC pop_options
