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

int PointSource::Ready(int want) {
  if (end_ - next_ < want) Generate();
  return end_ - next_;
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
  while (n < kCapacity && py_ < sy_) {
    const int64_t slot = static_cast<int64_t>(px_) * sy_ + py_;
    if (InVectorDomain(x_now_, y_now_)) {
      x_[n] = x_now_;
      y_[n] = y_now_;
      slot_[n] = slot;
      ++n;
    } else {
      out_[slot] = ReferenceCount(x_now_, y_now_, maxiter_);
      ++counts_.reference_points;
    }
    x_now_ = x_now_ + dx_;
    if (++px_ == sx_) {
      px_ = 0;
      x_now_ = xmin_;
      y_now_ = y_now_ + dy_;
      ++py_;
    }
  }
  end_ = n;
}

}  // namespace Client
