#include "server/src/ValidCoords.h"

#include <cmath>

namespace Server {

bool validCoords(const FractalNetObj::MouseInfoStar& mouse, float sx, float sy) {
  if (mouse == nullptr) return false;
  if (std::isnan(mouse->x) || std::isnan(mouse->y)) return false;
  if (mouse->x < 0.0) return false;
  if (mouse->x > static_cast<double>(sy)) return false;
  if (mouse->y < 0.0) return false;
  if (mouse->y > static_cast<double>(sx)) return false;
  return true;
}

}  // namespace Server
