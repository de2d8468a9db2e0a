// The tour's own idea of the server's view: the rectangle, the grid and the iteration limit,
// held as the server holds them (32-bit floats), and moved by a click exactly as the server
// moves it, with the server's own view arithmetic. Nothing here asks the server.
//
// A plain value; pure functions, safe on any thread.
#pragma once

#include <cstdint>

#include "interface/FractalNetObj.h"
#include "server/src/ViewMath.h"

namespace tour {

struct View {
  float xmin = -2.5f;
  float xmax = 1.25f;
  float ymin = -1.25f;
  float ymax = 1.25f;
  int32_t sx = 320;  // image columns, along x; the window's height in pixels
  int32_t sy = 240;  // image rows, along y; the window's width in pixels
  int32_t maxiter = 96;

  // The view a server started with these sizes shows first.
  static View Initial(int32_t sx, int32_t sy);

  // The view after the server took a click reported at (mouseX, mouseY) in window drawing
  // coordinates (x the window column, y counted upwards from the bottom row) with pointer state
  // `button`: recentred by the click, then zoomed in (left), out (right) or not at all; left as
  // it is when the server would not take that step (the limits of floats).
  View AfterClick(int32_t button, double mouseX, double mouseY) const;

  // The work unit the server hands out for row r: the whole width, one row.
  FractalNetObj::FractalParams RowUnit(int32_t r) const;
};

// Where a point of the plane lies in the window of `view`, rounded to the nearest pixel; the
// caller decides what to do with a point outside.
struct WindowPosition {
  int column = 0;
  int row = 0;
};
WindowPosition PositionOf(const View& view, double x, double y);

// The drawing coordinates that the server's pointer query reports for a window pixel.
double MouseX(const View& view, const WindowPosition& p);
double MouseY(const View& view, const WindowPosition& p);

}  // namespace tour
