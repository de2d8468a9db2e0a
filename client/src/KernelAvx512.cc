// The AVX-512 kernel: 8 double lanes per vector, kGroups vectors in flight to hide latency.
// Lanes that finish are refilled at once from the point source with expanding loads, and their
// counts scattered to the PixMap, so that the lanes stay busy whatever the mix of counts.
//
// Everything after the target pragma is compiled for AVX-512 and must only run after the
// dispatcher checked the processor; so every standard header comes before it, and nothing in
// the region has external linkage except the entry point.
#include <immintrin.h>

#include <cstdint>
#include <limits>

#include "client/src/Kernels.h"
#include "client/src/PointSource.h"
#include "client/src/ReferenceOrbit.h"

#pragma GCC push_options
#pragma GCC target("avx512f,popcnt")

#include "client/src/OrbitStep.h"

namespace Client {

namespace {

struct Avx512 {
  using V = __m512d;
  using M = __mmask8;
  static V Splat(double v) { return _mm512_set1_pd(v); }
  static V Add(V a, V b) { return _mm512_add_pd(a, b); }
  static V Sub(V a, V b) { return _mm512_sub_pd(a, b); }
  static V Mul(V a, V b) { return _mm512_mul_pd(a, b); }
  static V Abs(V a) { return _mm512_abs_pd(a); }
  // 2^k for 2^k <= |a| < 2^(k+1), or 0 for a = 0: the exponent bits alone.
  static V Binade(V a) {
    return _mm512_castsi512_pd(
        _mm512_and_si512(_mm512_castpd_si512(a), _mm512_set1_epi64(0x7ff0000000000000)));
  }
  // To float and back, rounding to nearest-even whatever the rounding mode is set to. (The
  // zero-masking forms with every lane selected are the plain instructions; the unmasked
  // intrinsics trip a false uninitialised-value warning in GCC 12's headers.)
  static V RoundToFloat(V a) {
    return _mm512_maskz_cvtps_pd(
        0xff, _mm512_maskz_cvt_roundpd_ps(0xff, a, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
  }
  static M Le(V a, V b) { return _mm512_cmp_pd_mask(a, b, _CMP_LE_OQ); }
};

constexpr int kLanes = 8;
constexpr int kGroups = 4;
constexpr __mmask8 kAllLanes = 0xff;

// The state of one vector of lanes. A lane's iteration count is (t - start) at step t. A dead
// lane (the grid has run out) holds c = 0 and z = 0, whose orbit stays exactly 0, never escapes
// and never fails a check, and start = +inf, so it never reaches the limit.
struct LaneGroup {
  __m512d fx;
  __m512d fy;
  __m512d fx2;
  __m512d fy2;
  __m512d x;
  __m512d y;
  __m512d start;
  alignas(64) int64_t slot[kLanes];
};

class Avx512Run {
 public:
  Avx512Run(PointSource& source, HandOverCounts& counts)
      : source_(source), counts_(counts), maxiter_(source.maxiter()) {}

  void Run();

 private:
  void Settle(LaneGroup& g, OrbitStepResult<Avx512> r, __mmask8 exits, double t);
  void HandOver(const LaneGroup& g, OrbitStepResult<Avx512>& r, __mmask8 lanes);
  void Refill(LaneGroup& g, __mmask8 lanes, double now);

  PointSource& source_;
  HandOverCounts& counts_;
  const int32_t maxiter_;
  int live_ = 0;                         // lanes not dead
  __m512d steps_ = _mm512_setzero_pd();  // iterations of the points finished, per lane
};

void Avx512Run::Run() {
  LaneGroup groups[kGroups];
  for (LaneGroup& g : groups) {
    g.fx = g.fy = g.fx2 = g.fy2 = g.x = g.y = _mm512_setzero_pd();
    g.start = _mm512_set1_pd(std::numeric_limits<double>::infinity());
    live_ += kLanes;
    Refill(g, kAllLanes, 0.0);
  }
  const __m512d four = _mm512_set1_pd(4.0);
  // t counts the steps taken; it stays far below 2^53, so it and every difference with a
  // lane's start are exact in double.
  for (double t = 0.0; live_ > 0; t += 1.0) {
    const __m512d last_start = _mm512_set1_pd(t + 1.0 - maxiter_);
    OrbitStepResult<Avx512> r[kGroups];
    __mmask8 exits[kGroups];
    unsigned any = 0;
#pragma GCC unroll 4
    for (int i = 0; i < kGroups; ++i) {
      LaneGroup& g = groups[i];
      r[i] = OrbitStep<Avx512>(g.fx, g.fy, g.fx2, g.fy2, g.x, g.y);
      // Leaves the fast path: a rounding not proven, |z|^2 >= 4 (escaped, or exactly 4 in
      // double), or the count reaching maxiter with this step.
      exits[i] = static_cast<__mmask8>(~(r[i].real_exact & r[i].imag_exact) |
                                       _mm512_cmp_pd_mask(r[i].q, four, _CMP_GE_OQ) |
                                       _mm512_cmp_pd_mask(g.start, last_start, _CMP_LE_OQ));
      any |= exits[i];
    }
#pragma GCC unroll 4
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
  alignas(64) double steps[kLanes];
  _mm512_store_pd(steps, steps_);
  for (double lane_steps : steps) counts_.vector_steps += static_cast<uint64_t>(lane_steps);
}

// Takes the step from t to t + 1 for g, whose lanes in `exits` left the fast path. Steps not
// proven are redone by the reference; then lanes that escaped or reached the limit store their
// count and take the next points, and all others go on from the step's result.
void Avx512Run::Settle(LaneGroup& g, OrbitStepResult<Avx512> r, __mmask8 exits, double t) {
  const __m512d four = _mm512_set1_pd(4.0);
  const __mmask8 exact = r.real_exact & r.imag_exact;
  const __mmask8 handed =
      exits & static_cast<__mmask8>(~exact | _mm512_cmp_pd_mask(r.q, four, _CMP_EQ_OQ));
  if (handed != 0) HandOver(g, r, handed);
  // Now q > 4 exactly for the lanes that escaped.
  const __m512d m = _mm512_sub_pd(_mm512_set1_pd(t + 1.0), g.start);
  const __mmask8 at_limit = _mm512_cmp_pd_mask(m, _mm512_set1_pd(maxiter_), _CMP_EQ_OQ);
  const __mmask8 leave = exits & (_mm512_cmp_pd_mask(r.q, four, _CMP_GT_OQ) | at_limit);
  if (leave != 0) {
    // The count is m, or 1 when m reached maxiter (which covers escaping exactly there).
    const __m512d value = _mm512_mask_mov_pd(m, at_limit, _mm512_set1_pd(1.0));
    _mm512_mask_i64scatter_epi32(source_.out(), leave, _mm512_load_si512(g.slot),
                                 _mm512_maskz_cvtpd_epi32(kAllLanes, value), 4);
    steps_ = _mm512_mask_add_pd(steps_, leave, steps_, m);
    Refill(g, leave, t + 1.0);
  }
  const auto stay = static_cast<__mmask8>(~leave);
  g.fx = _mm512_maskz_mov_pd(stay, r.fx);
  g.fy = _mm512_maskz_mov_pd(stay, r.fy);
  g.fx2 = _mm512_maskz_mov_pd(stay, r.fx2);
  g.fy2 = _mm512_maskz_mov_pd(stay, r.fy2);
}

// The reference takes the step for `lanes` from the state before it (still in g) and its
// result replaces the vector's in r, with q set to +inf for escaped and 0 for not escaped.
__attribute__((noinline, cold)) void Avx512Run::HandOver(const LaneGroup& g,
                                                         OrbitStepResult<Avx512>& r,
                                                         __mmask8 lanes) {
  alignas(64) double fx[kLanes], fy[kLanes], x[kLanes], y[kLanes];
  alignas(64) double nfx[kLanes], nfy[kLanes], nfx2[kLanes], nfy2[kLanes], q[kLanes];
  _mm512_store_pd(fx, g.fx);
  _mm512_store_pd(fy, g.fy);
  _mm512_store_pd(x, g.x);
  _mm512_store_pd(y, g.y);
  _mm512_store_pd(nfx, r.fx);
  _mm512_store_pd(nfy, r.fy);
  _mm512_store_pd(nfx2, r.fx2);
  _mm512_store_pd(nfy2, r.fy2);
  _mm512_store_pd(q, r.q);
  for (unsigned bits = lanes; bits != 0; bits &= bits - 1) {
    const int lane = __builtin_ctz(bits);
    const unsigned bit = 1u << lane;
    if ((r.real_exact & bit) == 0) {
      ++counts_.real_rounding;
    } else if ((r.imag_exact & bit) == 0) {
      ++counts_.imag_rounding;
    } else {
      ++counts_.modulus_four;
    }
    auto new_x = static_cast<float>(fx[lane]);
    auto new_y = static_cast<float>(fy[lane]);
    const bool escaped =
        ReferenceStep(static_cast<float>(x[lane]), static_cast<float>(y[lane]), new_x, new_y);
    nfx[lane] = new_x;
    nfy[lane] = new_y;
    nfx2[lane] = nfx[lane] * nfx[lane];  // exact, as in the step
    nfy2[lane] = nfy[lane] * nfy[lane];
    q[lane] = escaped ? std::numeric_limits<double>::infinity() : 0.0;
  }
  r.fx = _mm512_load_pd(nfx);
  r.fy = _mm512_load_pd(nfy);
  r.fx2 = _mm512_load_pd(nfx2);
  r.fy2 = _mm512_load_pd(nfy2);
  r.q = _mm512_load_pd(q);
}

// The lanes in `lanes` take the next points, starting their count at `now`; those for which
// the grid has no point left die.
void Avx512Run::Refill(LaneGroup& g, __mmask8 lanes, double now) {
  const int wanted = __builtin_popcount(lanes);
  const int ready = source_.Ready(wanted);
  unsigned load = lanes;
  for (int extra = wanted - ready; extra > 0; --extra)
    load &= ~(0x80000000u >> __builtin_clz(load));
  const auto load_mask = static_cast<__mmask8>(load);
  g.x = _mm512_mask_expandloadu_pd(g.x, load_mask, source_.xs());
  g.y = _mm512_mask_expandloadu_pd(g.y, load_mask, source_.ys());
  _mm512_store_si512(
      g.slot, _mm512_mask_expandloadu_epi64(_mm512_load_si512(g.slot), load_mask, source_.slots()));
  g.start = _mm512_mask_mov_pd(g.start, load_mask, _mm512_set1_pd(now));
  source_.Take(__builtin_popcount(load));
  const auto dead = static_cast<__mmask8>(lanes & ~load);
  if (dead != 0) {
    g.x = _mm512_mask_mov_pd(g.x, dead, _mm512_setzero_pd());
    g.y = _mm512_mask_mov_pd(g.y, dead, _mm512_setzero_pd());
    g.start =
        _mm512_mask_mov_pd(g.start, dead, _mm512_set1_pd(std::numeric_limits<double>::infinity()));
    live_ -= __builtin_popcount(dead);
  }
}

}  // namespace

void RunAvx512(PointSource& source, HandOverCounts& counts) { Avx512Run(source, counts).Run(); }

}  // namespace Client

#pragma GCC pop_options
