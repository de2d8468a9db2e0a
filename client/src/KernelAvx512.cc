// The AVX-512 kernel: 8 double lanes per vector, kGroups vectors in flight to hide latency.
// Lanes that finish store their counts and are refilled at once from the point source with
// expanding loads, so that the lanes stay busy whatever the mix of counts.
//
// Everything after the target pragma is compiled for AVX-512 and must only run after the
// dispatcher checked the processor; so every standard header comes before it, nothing in the
// region has external linkage except the entry points, and it instantiates no standard library
// template (an out-of-line copy built for AVX-512 could be the one the linker keeps).
#include <immintrin.h>

#include <cstdint>

#include "client/src/Kernels.h"
#include "client/src/PointSource.h"
#include "client/src/ReferenceOrbit.h"

#pragma GCC push_options
#pragma GCC target("avx512f,popcnt")
// Some of GCC 12's AVX-512 intrinsics pass a self-initialised "undefined" vector, which its own
// -Wmaybe-uninitialized then reports wherever they are inlined.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

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
  static V MulAdd(V a, V b, V c) { return _mm512_fmadd_pd(a, b, c); }
  static V MulSub(V a, V b, V c) { return _mm512_fmsub_pd(a, b, c); }
  static V Abs(V a) { return _mm512_abs_pd(a); }
  // 2^k for 2^k <= |a| < 2^(k+1), or 0 for a = 0: the exponent bits alone.
  static V Binade(V a) { return FromBits(_mm512_and_si512(Bits(a), _mm512_set1_epi64(kExponent))); }
  static V AddBits(V a, long long bits) {
    return FromBits(_mm512_add_epi64(Bits(a), _mm512_set1_epi64(bits)));
  }
  // Non-negative doubles order as their bit patterns do, so the integer unit compares them.
  static V Max(V a, V b) { return FromBits(_mm512_max_epi64(Bits(a), Bits(b))); }
  static M LeNonNegative(V a, V b) { return _mm512_cmple_epi64_mask(Bits(a), Bits(b)); }
  static M Equal(V a, V b) { return _mm512_cmp_pd_mask(a, b, _CMP_EQ_OQ); }
  static M And(M a, M b) { return a & b; }

  static constexpr long long kExponent = 0x7ff0000000000000;
  static __m512i Bits(V a) { return _mm512_castpd_si512(a); }
  static V FromBits(__m512i a) { return _mm512_castsi512_pd(a); }
};

constexpr int kLanes = 8;
constexpr int kGroups = 4;
constexpr __mmask8 kAllLanes = 0xff;
constexpr long long kNever = 0x7fffffffffffffff;  // a start no step reaches

// One vector of lanes. The orbit changes every step and lives in registers (Orbit); the rest
// lives here. A lane's iteration count is t - start at step t. A dead lane (the grid has run
// out) holds c = 0 and z = 0, whose orbit stays exactly 0, never escapes and never fails a
// check, and start = kNever, so it never reaches the limit.
struct LaneGroup {
  __m512d x;
  __m512d y;
  __m512i start;
  alignas(64) int64_t slot[kLanes];
};

// z and the square of its imaginary part, for one vector of lanes.
struct Orbit {
  __m512d fx;
  __m512d fy;
  __m512d fy2;
};

class Avx512Run {
 public:
  Avx512Run(PointSource& source, HandOverCounts& counts)
      : source_(source), counts_(counts), maxiter_(source.maxiter()) {}

  void Run();

 private:
  void StepGroup(LaneGroup& g, Orbit& z, __m512i last_start, long long t);
  void Settle(LaneGroup& g, Orbit& z, __m512d fx, __m512d fy, __m512d fy2, __m512d q,
              __mmask8 real_exact, __mmask8 imag_exact, __mmask8 exits, long long t);
  void HandOver(const LaneGroup& g, const Orbit& z, OrbitStepResult<Avx512>& r, __mmask8 lanes);
  void Refill(LaneGroup& g, __mmask8 lanes, long long now);

  PointSource& source_;
  HandOverCounts& counts_;
  const int32_t maxiter_;
  int live_ = 0;                            // lanes not dead
  __m512i steps_ = _mm512_setzero_si512();  // iterations of the points finished, per lane
};

void Avx512Run::Run() {
  static_assert(kGroups == 4, "the loop below names each group");
  LaneGroup groups[kGroups];
  for (LaneGroup& g : groups) {
    g.x = g.y = _mm512_setzero_pd();
    g.start = _mm512_set1_epi64(kNever);
    live_ += kLanes;
    Refill(g, kAllLanes, 0);
  }
  // Named, and only copied for the rare path, so that they stay in registers.
  const Orbit zero{_mm512_setzero_pd(), _mm512_setzero_pd(), _mm512_setzero_pd()};
  Orbit z0 = zero, z1 = zero, z2 = zero, z3 = zero;
  for (long long t = 0; live_ > 0; ++t) {
    const __m512i last_start = _mm512_set1_epi64(t + 1 - maxiter_);
    StepGroup(groups[0], z0, last_start, t);
    StepGroup(groups[1], z1, last_start, t);
    StepGroup(groups[2], z2, last_start, t);
    StepGroup(groups[3], z3, last_start, t);
  }
  alignas(64) long long steps[kLanes];
  _mm512_store_si512(steps, steps_);
  for (long long lane_steps : steps) counts_.vector_steps += static_cast<uint64_t>(lane_steps);
}

// One step from t to t + 1 for one group. Lanes leave the fast path for a rounding not
// proven, |z|^2 >= 4 (escaped, or exactly 4 in double), or the count reaching maxiter with this
// step. Each group branches on its own and settles inline (every vector register is
// caller-saved, so a call would spill the other groups); only a copy of its orbit can reach
// memory, so that the common path stores nothing.
__attribute__((always_inline)) inline void Avx512Run::StepGroup(LaneGroup& g, Orbit& z,
                                                                __m512i last_start, long long t) {
  const OrbitStepResult<Avx512> r = OrbitStep<Avx512>(z.fx, z.fy, z.fy2, g.x, g.y);
  const auto exits = static_cast<__mmask8>(~(r.real_exact & r.imag_exact) |
                                           Avx512::LeNonNegative(Avx512::Splat(4.0), r.q) |
                                           _mm512_cmple_epi64_mask(g.start, last_start));
  if (__builtin_expect(exits != 0, 0)) {
    Orbit copy = z;
    Settle(g, copy, r.fx, r.fy, r.fy2, r.q, r.real_exact, r.imag_exact, exits, t);
    z = copy;
  } else {
    z = Orbit{r.fx, r.fy, r.fy2};
  }
}

// Takes the step from t to t + 1 for g, whose lanes in `exits` left the fast path; z holds the
// orbit before the step and gets it after. Steps not proven are redone by the reference; then
// lanes that escaped or reached the limit store their count and take the next points at z = 0,
// and all others go on from the step's result.
__attribute__((always_inline)) inline void Avx512Run::Settle(LaneGroup& g, Orbit& z, __m512d fx,
                                                             __m512d fy, __m512d fy2, __m512d q,
                                                             __mmask8 real_exact,
                                                             __mmask8 imag_exact, __mmask8 exits,
                                                             long long t) {
  OrbitStepResult<Avx512> r{fx, fy, fy2, q, real_exact, imag_exact};
  const __m512d four = _mm512_set1_pd(4.0);
  const __mmask8 at_four = _mm512_cmp_pd_mask(q, four, _CMP_EQ_OQ);
  __mmask8 handed = exits & static_cast<__mmask8>(~(real_exact & imag_exact) | at_four);
  if (handed != 0) {
    const StepExactness<Avx512> exact =
        StepWasExact<Avx512>(z.fx, z.fy, z.fy2, g.x, g.y, r.fx, r.fy);
    const auto proven = static_cast<__mmask8>(
        (real_exact | exact.real) & (imag_exact | exact.imag) & (~at_four | exact.modulus));
    const auto kept = static_cast<__mmask8>(handed & proven);
    if (kept != 0) {
      counts_.exact_rechecks += static_cast<uint64_t>(__builtin_popcount(kept));
      r.q = _mm512_mask_mov_pd(r.q, kept & at_four, _mm512_setzero_pd());  // exactly 4
      handed &= static_cast<__mmask8>(~proven);
    }
    if (handed != 0) HandOver(g, z, r, handed);
  }
  // Now q > 4 exactly for the lanes that escaped.
  const __m512i m = _mm512_sub_epi64(_mm512_set1_epi64(t + 1), g.start);
  const __mmask8 at_limit = _mm512_cmpeq_epi64_mask(m, _mm512_set1_epi64(maxiter_));
  const __mmask8 leave = exits & (_mm512_cmp_pd_mask(r.q, four, _CMP_GT_OQ) | at_limit);
  if (leave != 0) {
    // The count is m, or 1 when m reached maxiter (which covers escaping exactly there). Mostly
    // one or two lanes leave at a time, so plain stores beat a scatter.
    alignas(64) long long value[kLanes];
    _mm512_store_si512(value, _mm512_mask_mov_epi64(m, at_limit, _mm512_set1_epi64(1)));
    for (unsigned bits = leave; bits != 0; bits &= bits - 1) {
      const int lane = __builtin_ctz(bits);
      source_.out()[g.slot[lane]] = static_cast<int32_t>(value[lane]);
    }
    steps_ = _mm512_mask_add_epi64(steps_, leave, steps_, m);
    Refill(g, leave, t + 1);
  }
  const auto stay = static_cast<__mmask8>(~leave);
  z.fx = _mm512_maskz_mov_pd(stay, r.fx);
  z.fy = _mm512_maskz_mov_pd(stay, r.fy);
  z.fy2 = _mm512_maskz_mov_pd(stay, r.fy2);
}

// The reference takes the step for `lanes` from the state before it (z) and its result
// replaces the vector's in r, with q set to +inf for escaped and 0 for not escaped.
__attribute__((noinline, cold)) void Avx512Run::HandOver(const LaneGroup& g, const Orbit& z,
                                                         OrbitStepResult<Avx512>& r,
                                                         __mmask8 lanes) {
  alignas(64) double fx[kLanes], fy[kLanes], x[kLanes], y[kLanes];
  alignas(64) double nfx[kLanes], nfy[kLanes], nfy2[kLanes], q[kLanes];
  _mm512_store_pd(fx, z.fx);
  _mm512_store_pd(fy, z.fy);
  _mm512_store_pd(x, g.x);
  _mm512_store_pd(y, g.y);
  _mm512_store_pd(nfx, r.fx);
  _mm512_store_pd(nfy, r.fy);
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
    nfy2[lane] = nfy[lane] * nfy[lane];  // exact, as in the step
    q[lane] = escaped ? __builtin_inf() : 0.0;
  }
  r.fx = _mm512_load_pd(nfx);
  r.fy = _mm512_load_pd(nfy);
  r.fy2 = _mm512_load_pd(nfy2);
  r.q = _mm512_load_pd(q);
}

// The lanes in `lanes` take the next points, starting their count at `now`; those for which
// the grid has no point left die.
inline void Avx512Run::Refill(LaneGroup& g, __mmask8 lanes, long long now) {
  const int wanted = __builtin_popcount(lanes);
  const int ready = source_.Ready(wanted);
  unsigned load = lanes;
  for (int extra = wanted - ready; extra > 0; --extra) {
    load &= ~(0x80000000u >> __builtin_clz(load));  // drop the highest lane
  }
  const auto load_mask = static_cast<__mmask8>(load);
  g.x = _mm512_mask_expandloadu_pd(g.x, load_mask, source_.xs());
  g.y = _mm512_mask_expandloadu_pd(g.y, load_mask, source_.ys());
  _mm512_store_si512(
      g.slot, _mm512_mask_expandloadu_epi64(_mm512_load_si512(g.slot), load_mask, source_.slots()));
  g.start = _mm512_mask_mov_epi64(g.start, load_mask, _mm512_set1_epi64(now));
  source_.Take(__builtin_popcount(load));
  const auto dead = static_cast<__mmask8>(lanes & ~load);
  if (dead != 0) {
    g.x = _mm512_mask_mov_pd(g.x, dead, _mm512_setzero_pd());
    g.y = _mm512_mask_mov_pd(g.y, dead, _mm512_setzero_pd());
    g.start = _mm512_mask_mov_epi64(g.start, dead, _mm512_set1_epi64(kNever));
    live_ -= __builtin_popcount(dead);
  }
}

}  // namespace

void RunAvx512(PointSource& source, HandOverCounts& counts) { Avx512Run(source, counts).Run(); }

void ProbeStepsAvx512(const ProbeLane* lanes, ProbeResult* results, int n) {
  for (int base = 0; base < n; base += kLanes) {
    alignas(64) double fx[kLanes] = {}, fy[kLanes] = {}, x[kLanes] = {}, y[kLanes] = {};
    const int count = n - base < kLanes ? n - base : kLanes;
    for (int i = 0; i < count; ++i) {
      fx[i] = lanes[base + i].fx;
      fy[i] = lanes[base + i].fy;
      x[i] = lanes[base + i].x;
      y[i] = lanes[base + i].y;
    }
    const __m512d vfx = _mm512_load_pd(fx), vfy = _mm512_load_pd(fy);
    const __m512d vfy2 = _mm512_mul_pd(vfy, vfy);
    const __m512d vx = _mm512_load_pd(x), vy = _mm512_load_pd(y);
    const OrbitStepResult<Avx512> r = OrbitStep<Avx512>(vfx, vfy, vfy2, vx, vy);
    const StepExactness<Avx512> exact = StepWasExact<Avx512>(vfx, vfy, vfy2, vx, vy, r.fx, r.fy);
    const __m512d four = _mm512_set1_pd(4.0);
    const __mmask8 at_four = _mm512_cmp_pd_mask(r.q, four, _CMP_EQ_OQ);
    const unsigned proven = (r.real_exact | exact.real) & (r.imag_exact | exact.imag) &
                            static_cast<__mmask8>(~at_four | exact.modulus);
    const unsigned escaped = _mm512_cmp_pd_mask(r.q, four, _CMP_GT_OQ);
    _mm512_store_pd(fx, r.fx);
    _mm512_store_pd(fy, r.fy);
    for (int i = 0; i < count; ++i) {
      results[base + i] = ProbeResult{static_cast<float>(fx[i]), static_cast<float>(fy[i]),
                                      ((proven >> i) & 1) != 0, ((escaped >> i) & 1) != 0};
    }
  }
}

}  // namespace Client

#pragma GCC diagnostic pop
#pragma GCC pop_options
