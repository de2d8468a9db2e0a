#include "tests/tools/tour/View.h"

#include <cmath>
#include <optional>

#include "server/src/ViewMath.h"

namespace tour {

View View::Initial(int32_t sx, int32_t sy) {
  View v;
  v.sx = sx;
  v.sy = sy;
  return v;
}

// A click whose view the server could not render leaves the view as it was.
View View::AfterClick(int32_t button, double mouseX, double mouseY) const {
  const std::optional<Server::ViewBounds> bounds =
      Server::ClickStep({xmin, xmax, ymin, ymax}, sx, sy, button, mouseX, mouseY);
  View next = *this;
  if (bounds) {
    next.xmin = bounds->xmin;
    next.xmax = bounds->xmax;
    next.ymin = bounds->ymin;
    next.ymax = bounds->ymax;
  }
  return next;
}

FractalNetObj::FractalParams View::RowUnit(int32_t r) const {
  return Server::RowUnit({xmin, xmax, ymin, ymax}, sx, sy, maxiter, r);
}

WindowPosition PositionOf(const View& view, double x, double y) {
  const double row = (x - view.xmin) / (static_cast<double>(view.xmax) - view.xmin) * view.sx;
  const double column = (y - view.ymin) / (static_cast<double>(view.ymax) - view.ymin) * view.sy;
  return {static_cast<int>(std::lround(column)), static_cast<int>(std::lround(row))};
}

double MouseX(const View&, const WindowPosition& p) { return p.column; }

double MouseY(const View& view, const WindowPosition& p) { return view.sx - 1 - p.row; }

}  // namespace tour
