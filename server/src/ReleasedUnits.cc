#include "server/src/ReleasedUnits.h"

#include <new>

namespace Server {

void ReleasedUnits::Add(const UnitOrigin& origin) noexcept {
  std::scoped_lock lock(mu_);
  try {
    units_.push_back(origin);
  } catch (const std::bad_alloc&) {
    // A destructor cannot report it; the row stays out as if its holder were still computing.
  }
}

std::vector<UnitOrigin> ReleasedUnits::TakeAll() {
  std::vector<UnitOrigin> taken;
  std::scoped_lock lock(mu_);
  taken.swap(units_);
  return taken;
}

}  // namespace Server
