#include "server/src/FractalImpl.h"

#include <mutex>

#include "server/src/ServerState.h"

namespace Server {

FractalImpl::FractalImpl(ServerState& state, const FractalNetObj::FractalParams& unit,
                         UnitOrigin origin)
    : state_(state),
      origin_(origin),
      sx(unit.sx),
      sy(unit.sy),
      xmin(unit.xmin),
      xmax(unit.xmax),
      ymin(unit.ymin),
      ymax(unit.ymax),
      maxiter(unit.maxiter) {
  state_.liveUnits.fetch_add(1, std::memory_order_relaxed);
}

FractalImpl::~FractalImpl() {
  state_.released.Add(origin_);
  state_.liveUnits.fetch_sub(1, std::memory_order_relaxed);
}

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
