// Work distribution: one row per request, in increasing order, until the view is out; then the
// rows whose units died before their results came in, lowest first; then null.
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "server/src/FractalImpl.h"
#include "server/src/FractalNetObjImpl.h"
#include "server/src/ServerState.h"

namespace Server {

namespace {

std::shared_ptr<FractalNetObj::Fractal> NewUnit(ServerState& s, int32_t row) {
  return std::make_shared<FractalImpl>(s, s.UnitForRow(row), UnitOrigin{s.viewSerial, row});
}

// A released unit leaves its row without a holder unless the row is already in. Each row of a
// view has at most one unit out at a time (it goes out again only once its last unit is gone),
// so the release means nobody is computing it. Units of earlier views carry an older serial.
void NoteLostRows(ServerState& s, const std::vector<UnitOrigin>& released) {
  for (const UnitOrigin& unit : released) {
    if (unit.viewSerial != s.viewSerial || unit.row < 0 || unit.row >= s.sy) continue;
    if (!s.received[static_cast<std::size_t>(unit.row)]) s.lostRows.insert(unit.row);
  }
}

// The lowest lost row. Rows whose results came in after all (a holder dropped its unit but
// still returned the row) are struck off on the way.
std::optional<int32_t> LowestLostRow(ServerState& s) {
  while (!s.lostRows.empty()) {
    const int32_t row = *s.lostRows.begin();
    if (!s.received[static_cast<std::size_t>(row)]) return row;
    s.lostRows.erase(s.lostRows.begin());
  }
  return std::nullopt;
}

}  // namespace

std::shared_ptr<FractalNetObj::Fractal> FractalNetObjImpl::RequestFractal() {
  // Taken before `mu`, so that this call never holds two locks at once; a unit released after
  // this point is seen by a later request.
  const std::vector<UnitOrigin> released = state_.released.TakeAll();
  std::scoped_lock lock(state_.mu);
  NoteLostRows(state_, released);
  // A row counts as out only once its unit exists.
  if (state_.curY < state_.sy) {
    std::shared_ptr<FractalNetObj::Fractal> unit = NewUnit(state_, state_.curY);
    ++state_.curY;
    return unit;
  }
  if (const std::optional<int32_t> row = LowestLostRow(state_)) {
    std::shared_ptr<FractalNetObj::Fractal> unit = NewUnit(state_, *row);
    state_.lostRows.erase(*row);
    return unit;
  }
  // No waiting for the next view here: the client simply asks again.
  return nullptr;
}

}  // namespace Server
