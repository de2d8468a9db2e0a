// Escape-time counts of one work unit: the reference computation, one point at a time on the
// x87 unit. Compute itself (FastCompute.cc) runs vector kernels that match it bit for bit.
//
// Every client must produce the same counts for the same unit, bit for bit, so the arithmetic is
// pinned down: the named values are 32-bit floats, every right-hand side is evaluated in x87
// extended precision (long double on x86-64, 64-bit significand) and rounded to 32 bits exactly
// once, when it is stored. Each step below is therefore written as one long double expression with
// a single cast to float at the assignment; letting the compiler pick float or double intermediates
// would change the counts near the boundary of the set.
#include "client/src/Compute.h"
#include "client/src/ReferenceOrbit.h"

#include <cstdint>
#include <limits>
#include <memory>

namespace Client {

namespace {

using Extended = long double;

static_assert(std::numeric_limits<Extended>::digits == 64,
              "the counts are defined by a 64-bit significand for intermediates");

constexpr float kEscapeBound = 4.0f;  // on |z|^2, that is |z| > 2
constexpr float kCrossFactor = 2.0f;

// (upper - lower) / n, with n converted exactly.
inline float Step(float lower, float upper, int32_t n) {
  return static_cast<float>((Extended{upper} - Extended{lower}) / static_cast<Extended>(n));
}

// Points advance by one rounded addition each, so the rounding carries from point to point.
inline float Advance(float coordinate, float step) {
  return static_cast<float>(Extended{coordinate} + Extended{step});
}

// One iteration from (fx, fy); true when the new |z|^2 exceeds the bound. A sum that is not a
// number fails the comparison and so counts as not escaped.
inline bool Iterate(float x, float y, float& fx, float& fy) {
  const float old_x = fx;
  fx = static_cast<float>((Extended{fx} * fx - Extended{fy} * fy) + x);
  fy = static_cast<float>((Extended{kCrossFactor} * old_x) * fy + y);
  return Extended{fx} * fx + Extended{fy} * fy > Extended{kEscapeBound};
}

// The iteration at which |z|^2 first exceeded the bound, or 1 when the count reached maxiter
// (also for an orbit that escapes exactly at maxiter). The orbit runs at least once.
inline int32_t EscapeCount(float x, float y, int32_t maxiter) {
  float fx = 0.0f;
  float fy = 0.0f;
  int32_t m = 0;
  while (true) {
    const bool escaped = Iterate(x, y, fx, fy);
    ++m;
    if (escaped) break;
    // ">=" rather than "==": the same for every maxiter >= 1 (m starts at 1 and counts up by
    // one), and a limit of 0 or less ends after one iteration instead of running an interior
    // point until m overflows.
    if (m >= maxiter) break;
  }
  return m != maxiter ? m : 1;
}

}  // namespace

float GridStep(float lower, float upper, int32_t n) { return Step(lower, upper, n); }

bool ReferenceStep(float x, float y, float& fx, float& fy) { return Iterate(x, y, fx, fy); }

int32_t ReferenceCount(float x, float y, int32_t maxiter) { return EscapeCount(x, y, maxiter); }

FractalNetObj::PixMap ComputeReference(const FractalNetObj::FractalParams& f) {
  auto pixmap = std::make_shared<NetObj::Int32Array2D>(f.sx, f.sy);
  // With no points the steps would divide by zero and are never used.
  if (pixmap->size() == 0) return pixmap;

  const float dx = Step(f.xmin, f.xmax, f.sx);
  const float dy = Step(f.ymin, f.ymax, f.sy);
  float y = f.ymin;
  for (int32_t py = 0; py < f.sy; ++py) {
    float x = f.xmin;
    for (int32_t px = 0; px < f.sx; ++px) {
      pixmap->at(px, py) = EscapeCount(x, y, f.maxiter);
      x = Advance(x, dx);
    }
    y = Advance(y, dy);
  }
  return pixmap;
}

}  // namespace Client
