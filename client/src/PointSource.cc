#include "client/src/PointSource.h"

#include <cmath>
#include <cstddef>

#include "client/src/ReferenceOrbit.h"

namespace Client {

namespace {

bool InVectorDomain(float x, float y) {
  return std::fabs(x) <= kVectorBound && std::fabs(y) <= kVectorBound;  // false for NaN
}

}  // namespace

PointSource::PointSource(const FractalNetObj::FractalParams& f, int32_t* out,
                         HandOverCounts& counts)
    : sx_(f.sx),
      sy_(f.sy),
      maxiter_(f.maxiter),
      xmin_(f.xmin),
      x_now_(f.xmin),
      y_now_(f.ymin),
      out_(out),
      counts_(counts) {
  // With no points the steps would divide by zero and are never used.
  if (sx_ > 0 && sy_ > 0) {
    dx_ = GridStep(f.xmin, f.xmax, sx_);
    dy_ = GridStep(f.ymin, f.ymax, sy_);
  } else {
    py_ = sy_;  // nothing to walk
    sx_ = 0;
  }
}

// The reference advances x and y by x = float(extended(x) + extended(dx)). For two floats the
// extended sum rounds to 64 bits and then to 24; since 64 >= 2 * 24 + 2, that double rounding
// is innocuous for addition (Figueroa's theorem), so one float addition, correctly rounded to
// nearest-even, gives the same float; both see the same overflow threshold, and a sum in the
// float subnormal range is exact in both. Plain float additions below therefore walk the same
// grid as the reference. (The process must not run with flush-to-zero set; nothing here sets
// it.)
void PointSource::Generate() {
  int n = 0;
  for (int i = next_; i < end_; ++i, ++n) {
    x_[n] = x_[i];
    y_[n] = y_[i];
    slot_[n] = slot_[i];
  }
  next_ = 0;
  // The walk in locals, so that the stores below cannot make the compiler reload it.
  float x = x_now_;
  float y = y_now_;
  int32_t px = px_;
  int32_t py = py_;
  while (n < kCapacity && py < sy_) {
    const int32_t row_end = sx_ - px < kCapacity - n ? sx_ : px + (kCapacity - n);
    int64_t slot = static_cast<int64_t>(px) * sy_ + py;
    for (; px < row_end; ++px, slot += sy_) {
      if (InVectorDomain(x, y)) {
        x_[n] = x;
        y_[n] = y;
        slot_[n] = slot;
        ++n;
      } else {
        out_[slot] = ReferenceCount(x, y, maxiter_);
        ++counts_.reference_points;
      }
      x = x + dx_;
    }
    if (px == sx_) {
      px = 0;
      x = xmin_;
      y = y + dy_;
      ++py;
    }
  }
  x_now_ = x;
  y_now_ = y;
  px_ = px;
  py_ = py;
  end_ = n;
}

}  // namespace Client
