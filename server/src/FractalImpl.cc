#include "server/src/FractalImpl.h"

#include <mutex>

#include "server/src/ServerState.h"

namespace Server {

FractalImpl::FractalImpl(ServerState& state, const FractalNetObj::FractalParams& unit)
    : state_(state),
      sx(unit.sx),
      sy(unit.sy),
      xmin(unit.xmin),
      xmax(unit.xmax),
      ymin(unit.ymin),
      ymax(unit.ymax),
      maxiter(unit.maxiter) {}

FractalNetObj::FractalParams FractalImpl::GetFractalParameters() {
  std::scoped_lock lock(state_.mu);
  FractalNetObj::FractalParams f;
  f.sx = sx;
  f.sy = sy;
  f.xmin = xmin;
  f.xmax = xmax;
  f.ymin = ymin;
  f.ymax = ymax;
  f.maxiter = maxiter;
  return f;
}

}  // namespace Server
