// The work units whose last holder has let go of them, as FractalImpl's destructor reports
// them, kept until RequestFractal looks at them under the server lock. A unit is released when
// every client holding it has dropped it or died; if its row has not come in by then, nobody
// will compute it, and RequestFractal hands the row out again.
//
// Owned by the ServerState. Holds plain values, never a unit.
//
// Thread safety: Add and TakeAll may be called on any thread at any time, including one that
// already holds the server lock `mu` (a unit may die anywhere its last reference drops). The list
// has a lock of its own, taken only by these two methods and never held while any other lock is
// taken or any other code runs, so it cannot take part in a deadlock: a thread that holds `mu`
// may take it, and nothing ever waits for `mu` while holding it.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

namespace Server {

// Which row of which view a unit was handed out for.
struct UnitOrigin {
  uint64_t viewSerial = 0;
  int32_t row = 0;
};

class ReleasedUnits {
 public:
  // Notes that the unit for `origin` is gone. Never throws: should memory run out the note is
  // lost, and that row is then not handed out again.
  void Add(const UnitOrigin& origin) noexcept;

  // Everything noted since the last call, oldest first; the list is empty afterwards.
  std::vector<UnitOrigin> TakeAll();

 private:
  std::mutex mu_;
  std::vector<UnitOrigin> units_;
};

}  // namespace Server
