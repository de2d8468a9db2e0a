#include "tests/tools/tour/View.h"

#include <cmath>

#include "server/src/ViewMath.h"

namespace tour {

View View::Initial(int32_t sx, int32_t sy) {
  View v;
  v.sx = sx;
  v.sy = sy;
  return v;
}

// The window is the image transposed: the pointer's x runs along the rows (y) and its y, counted
// upwards, along the columns (x). Each shift is scaled by the other axis's step, and the zoom
// uses the extents from before the shift.
View View::AfterClick(int32_t button, double mouseX, double mouseY) const {
  using namespace Server;
  const float xrange = Extent(xmin, xmax);
  const float yrange = Extent(ymin, ymax);
  const float xjump = Jump(xrange, sx, mouseX, sy);
  const float yjump = Jump(yrange, sy, mouseY, sx);
  View next = *this;
  next.ymin = AddStored(ymin, xjump);
  next.ymax = AddStored(ymax, xjump);
  next.xmin = SubtractStored(xmin, yjump);
  next.xmax = SubtractStored(xmax, yjump);
  const float k = kZoomFactor;
  if (button == kLeftButton) {
    next.xmin = AddScaled(next.xmin, k, xrange);
    next.xmax = SubtractScaled(next.xmax, k, xrange);
    next.ymin = AddScaled(next.ymin, k, yrange);
    next.ymax = SubtractScaled(next.ymax, k, yrange);
  } else if (button == kRightButton) {
    next.xmin = SubtractScaled(next.xmin, k, xrange);
    next.xmax = AddScaled(next.xmax, k, xrange);
    next.ymin = SubtractScaled(next.ymin, k, yrange);
    next.ymax = AddScaled(next.ymax, k, yrange);
  }
  return next;
}

FractalNetObj::FractalParams View::RowUnit(int32_t r) const {
  FractalNetObj::FractalParams unit;
  unit.sx = sx;
  unit.sy = 1;
  unit.xmin = xmin;
  unit.xmax = xmax;
  unit.ymin = Server::RowCoordinate(ymin, ymax, sy, r);
  unit.ymax = unit.ymin;
  unit.maxiter = maxiter;
  return unit;
}

WindowPosition PositionOf(const View& view, double x, double y) {
  const double row = (x - view.xmin) / (static_cast<double>(view.xmax) - view.xmin) * view.sx;
  const double column = (y - view.ymin) / (static_cast<double>(view.ymax) - view.ymin) * view.sy;
  return {static_cast<int>(std::lround(column)), static_cast<int>(std::lround(row))};
}

double MouseX(const View&, const WindowPosition& p) { return p.column; }

double MouseY(const View& view, const WindowPosition& p) { return view.sx - 1 - p.row; }

}  // namespace tour
