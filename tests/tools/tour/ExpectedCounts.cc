#include "tests/tools/tour/ExpectedCounts.h"

#include <memory>

#include "client/src/Compute.h"

namespace tour {

FractalNetObj::ImageRec ExpectedCounts(const View& view) {
  FractalNetObj::ImageRec image;
  image.width = view.sx;
  image.height = view.sy;
  image.data = std::make_shared<NetObj::Int32Array2D>(view.sx, view.sy);
  for (int32_t r = 0; r < view.sy; ++r) {
    const FractalNetObj::PixMap row = Client::ComputeReference(view.RowUnit(r));
    for (int32_t x = 0; x < view.sx; ++x) image.data->at(x, r) = row->at(x, 0);
  }
  return image;
}

}  // namespace tour
