// The image the server assembles for a view, computed here the way the clients must compute it:
// each row's unit exactly as the server hands it out, put through the reference computation (the
// clients' one-point-at-a-time definition of the arithmetic, not the vector kernels they run),
// and copied into an image indexed [column][row] like the server's image_map.
//
// Pure function; safe on any thread.
#pragma once

#include "interface/FractalNetObj.h"
#include "tests/tools/tour/View.h"

namespace tour {

// width = sx, height = sy, data = the sx by sy counts.
FractalNetObj::ImageRec ExpectedCounts(const View& view);

}  // namespace tour
