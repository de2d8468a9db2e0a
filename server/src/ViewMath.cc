#include "server/src/ViewMath.h"

#include <cmath>
#include <limits>

namespace Server {

namespace {

using Extended = long double;

static_assert(std::numeric_limits<Extended>::digits == 64,
              "view arithmetic is defined by a 64-bit significand for intermediates");

// Ties go to the even neighbour whatever rounding mode the thread runs in: the fraction of a
// long double is exact, so the comparison with one half decides without rounding.
Extended RoundHalfEven(Extended v) {
  const Extended down = std::floor(v);
  const Extended fraction = v - down;
  if (fraction < 0.5L) return down;
  if (fraction > 0.5L) return down + 1.0L;
  return std::fmod(down, 2.0L) == 0.0L ? down : down + 1.0L;
}

}  // namespace

float Extent(float lo, float hi) { return static_cast<float>(Extended{hi} - Extended{lo}); }

float RowCoordinate(float lo, float hi, int32_t rows, int32_t r) {
  const Extended step = (Extended{hi} - Extended{lo}) / static_cast<Extended>(rows);
  return static_cast<float>(Extended{lo} + static_cast<Extended>(r) * step);
}

std::optional<int32_t> LocateIndex(float value, float lo, float range, int32_t count) {
  const Extended position =
      (Extended{value} - Extended{lo}) / Extended{range} * static_cast<Extended>(count);
  if (!std::isfinite(position)) return std::nullopt;
  const Extended index = RoundHalfEven(position);
  if (index < static_cast<Extended>(std::numeric_limits<int32_t>::min()) ||
      index > static_cast<Extended>(std::numeric_limits<int32_t>::max())) {
    return std::nullopt;
  }
  return static_cast<int32_t>(index);
}

float Jump(float range, int32_t count, double mouse, int32_t otherCount) {
  return static_cast<float>((Extended{range} / static_cast<Extended>(count)) *
                            (Extended{mouse} - static_cast<Extended>(otherCount) / 2.0L));
}

float AddStored(float a, float b) { return static_cast<float>(Extended{a} + Extended{b}); }

float SubtractStored(float a, float b) { return static_cast<float>(Extended{a} - Extended{b}); }

float AddScaled(float bound, float k, float range) {
  return static_cast<float>(Extended{bound} + Extended{k} * Extended{range});
}

float SubtractScaled(float bound, float k, float range) {
  return static_cast<float>(Extended{bound} - Extended{k} * Extended{range});
}

bool IsPlaceable(float lo, float hi) {
  if (!std::isfinite(lo) || !std::isfinite(hi) || !(lo < hi)) return false;
  const float extent = Extent(lo, hi);
  return std::isfinite(extent) && extent > 0.0f;
}

FractalNetObj::FractalParams RowUnit(const ViewBounds& view, int32_t sx, int32_t sy,
                                     int32_t maxiter, int32_t r) {
  FractalNetObj::FractalParams unit;
  unit.sx = sx;
  unit.sy = 1;
  unit.xmin = view.xmin;
  unit.xmax = view.xmax;
  unit.ymin = RowCoordinate(view.ymin, view.ymax, sy, r);
  unit.ymax = unit.ymin;
  unit.maxiter = maxiter;
  return unit;
}

std::optional<ViewBounds> ClickStep(const ViewBounds& view, int32_t sx, int32_t sy, int32_t button,
                                    double mouseX, double mouseY) {
  const float xrange = Extent(view.xmin, view.xmax);
  const float yrange = Extent(view.ymin, view.ymax);
  const float xjump = Jump(xrange, sx, mouseX, sy);
  const float yjump = Jump(yrange, sy, mouseY, sx);
  ViewBounds next;
  next.ymin = AddStored(view.ymin, xjump);
  next.ymax = AddStored(view.ymax, xjump);
  next.xmin = SubtractStored(view.xmin, yjump);
  next.xmax = SubtractStored(view.xmax, yjump);
  const float k = kZoomFactor;
  if (button == FractalNetObj::kLeftButtonAlone) {
    next.xmin = AddScaled(next.xmin, k, xrange);
    next.xmax = SubtractScaled(next.xmax, k, xrange);
    next.ymin = AddScaled(next.ymin, k, yrange);
    next.ymax = SubtractScaled(next.ymax, k, yrange);
  } else if (button == FractalNetObj::kRightButtonAlone) {
    next.xmin = SubtractScaled(next.xmin, k, xrange);
    next.xmax = AddScaled(next.xmax, k, xrange);
    next.ymin = SubtractScaled(next.ymin, k, yrange);
    next.ymax = AddScaled(next.ymax, k, yrange);
  }
  if (!IsPlaceable(next.xmin, next.xmax) || !IsPlaceable(next.ymin, next.ymax)) return std::nullopt;
  return next;
}

}  // namespace Server
