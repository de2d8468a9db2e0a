// Walks a work unit's grid in the reference's order and hands its points to a vector kernel in
// small batches, each with the slot of the PixMap element it fills. Points the kernels cannot
// take are computed here with the reference and stored at once. One kernel call owns one
// source; not thread-safe. The source writes into the caller's element storage, which must
// outlive it.
#pragma once

#include <cstdint>

#include "client/src/ComputeIsa.h"
#include "interface/FractalNetObj.h"

namespace Client {

// Coordinates beyond this magnitude (and those that are not finite) go to the reference. With
// |c| within it and |z| <= 2 before a step, every intermediate of the vector step stays below
// 2^42, far from overflow in double and from the float overflow threshold; such a point
// escapes at once anyway whenever |c| > 2.
inline constexpr float kVectorBound = 0x1p20f;

class PointSource {
 public:
  static constexpr int kCapacity = 256;

  // `out` is the element storage of f's PixMap (sx * sy elements); `counts` gets the points
  // computed by the reference. f.sx and f.sy must not be negative.
  PointSource(const FractalNetObj::FractalParams& f, int32_t* out, HandOverCounts& counts);
  PointSource(const PointSource&) = delete;
  PointSource& operator=(const PointSource&) = delete;

  // Makes at least `want` (<= kCapacity) points ready unless the grid runs out first, and
  // returns how many are ready. The next ready point is xs()[0], ys()[0], slots()[0].
  int Ready(int want) {
    if (end_ - next_ < want) Generate();
    return end_ - next_;
  }
  const double* xs() const { return x_ + next_; }
  const double* ys() const { return y_ + next_; }
  const int64_t* slots() const { return slot_ + next_; }
  // Takes the first n ready points.
  void Take(int n) { next_ += n; }

  int32_t maxiter() const { return maxiter_; }
  int32_t* out() const { return out_; }

 private:
  void Generate();

  // The grid walk, exactly as the reference advances it.
  int32_t sx_;
  int32_t sy_;
  int32_t maxiter_;
  float xmin_;
  float dx_ = 0.0f;
  float dy_ = 0.0f;
  int32_t px_ = 0;
  int32_t py_ = 0;
  float x_now_;
  float y_now_;
  int32_t* out_;
  HandOverCounts& counts_;

  // Ready points are [next_, end_).
  int next_ = 0;
  int end_ = 0;
  alignas(64) double x_[kCapacity];
  alignas(64) double y_[kCapacity];
  alignas(64) int64_t slot_[kCapacity];
};

}  // namespace Client
