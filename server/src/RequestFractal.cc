// Work distribution: one row per request, in increasing order, until the view is out.
#include <memory>
#include <mutex>

#include "server/src/FractalImpl.h"
#include "server/src/FractalNetObjImpl.h"
#include "server/src/ServerState.h"

namespace Server {

std::shared_ptr<FractalNetObj::Fractal> FractalNetObjImpl::RequestFractal() {
  std::scoped_lock lock(state_.mu);
  // No waiting for the next view here: the client simply asks again.
  if (state_.curY >= state_.sy) return nullptr;
  auto unit = std::make_shared<FractalImpl>(state_, state_.UnitForRow(state_.curY));
  ++state_.curY;
  return unit;
}

}  // namespace Server
