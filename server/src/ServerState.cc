#include "server/src/ServerState.h"

#include <stdexcept>
#include <string>

#include "server/src/FractalNetObjImpl.h"
#include "server/src/ViewMath.h"

namespace Server {

namespace {

// Checked before anything is allocated from it.
int32_t CheckedExtent(int32_t value, int32_t highest, const char* what) {
  if (value < 1 || value > highest) {
    throw std::invalid_argument(std::string("server image ") + what +
                                " out of range: " + std::to_string(value));
  }
  return value;
}

}  // namespace

ServerState::ServerState(int32_t sx, int32_t sy, int32_t crossHairs)
    : crossHairs(crossHairs),
      sx(CheckedExtent(sx, kMaxWidth, "width")),
      sy(CheckedExtent(sy, kMaxHeight, "height")) {
  myFractalNetObj = std::make_shared<FractalNetObjImpl>(*this);
  image = std::make_shared<FractalNetObj::ImageRec>();
  image_map = std::make_shared<NetObj::Int32Array2D>(this->sx, this->sy);
  received.assign(static_cast<std::size_t>(this->sy), false);
}

ServerState::~ServerState() = default;

FractalNetObj::FractalParams ServerState::UnitForRow(int32_t r) const {
  return RowUnit({xmin, xmax, ymin, ymax}, sx, sy, maxiter, r);
}

void ServerState::StartView() {
  ++viewSerial;
  curY = 0;
  numResults = 0;
  received.assign(received.size(), false);
  lostRows.clear();
}

}  // namespace Server
