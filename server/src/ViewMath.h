// The arithmetic of the view: where a row lies, where a returned result belongs, how a click
// moves and scales the view.
//
// Servers must agree with one another bit for bit, so every expression here is evaluated in x87
// extended precision (long double, 64-bit significand) and rounded to a 32-bit float exactly once,
// where the result is stored. Callers chain these functions so that each step reads the float that
// the step before it stored.
//
// Pure functions of their arguments; safe on any thread.
#pragma once

#include <cstdint>
#include <optional>

#include "interface/FractalNetObj.h"

namespace Server {

// The k of every zoom step: each side of the view moves by k times its extent.
inline constexpr float kZoomFactor = 0.05f;

// hi - lo, stored as a float (the view's xrange and yrange).
float Extent(float lo, float hi);

// The coordinate of row r of a view: lo + r * ((hi - lo) / rows), the division first.
float RowCoordinate(float lo, float hi, int32_t rows, int32_t r);

// The grid index that `value` stands for in a view starting at `lo` with extent `range` over
// `count` points: round((value - lo) / range * count), ties to even. Empty when the quotient is
// not a number or does not fit a 32-bit index, so that no caller converts an out-of-range value.
std::optional<int32_t> LocateIndex(float value, float lo, float range, int32_t count);

// The shift that a click makes along one axis: (range / count) * (mouse - otherCount / 2.0).
// The window is transposed, so a horizontal mouse offset is measured against half of the other
// axis's point count; see ReturnResults.
float Jump(float range, int32_t count, double mouse, int32_t otherCount);

// a + b and a - b, each stored as a float.
float AddStored(float a, float b);
float SubtractStored(float a, float b);

// bound + k * range and bound - k * range, each stored as a float; the product is not rounded.
float AddScaled(float bound, float k, float range);
float SubtractScaled(float bound, float k, float range);

// Whether a view can span lo .. hi along one axis: both bounds finite, lo below hi, and the
// extent, stored as a float, finite and above zero. Then every row (column) coordinate lies
// between the bounds, and the index that locates it is a finite number from 0 to the count.
bool IsPlaceable(float lo, float hi);

struct ViewBounds {
  float xmin, xmax, ymin, ymax;
};

// The work unit for row r of a view of sx columns and sy rows: the whole width, one row at the
// row's coordinate.
FractalNetObj::FractalParams RowUnit(const ViewBounds& view, int32_t sx, int32_t sy,
                                     int32_t maxiter, int32_t r);

// The view that one click at (mouseX, mouseY) leads to, in a view of sx columns and sy rows: the
// move, then the zoom (in for the left button, out for the right, none for any other state),
// both with the extents from before the move. The window shows the image transposed: the
// mouse's x runs along the rows (y) and its y, counted upwards, along the columns (x), each
// shift scaled by the other axis's step. At the limits of a float a step can round two bounds
// together or overflow; the view's rows could then no longer be located from their coordinates,
// and no later click could bring the bounds back. Such a step is not taken: empty.
std::optional<ViewBounds> ClickStep(const ViewBounds& view, int32_t sx, int32_t sy, int32_t button,
                                    double mouseX, double mouseY);

}  // namespace Server
