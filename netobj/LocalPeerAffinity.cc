// Following a local caller's CPU, and going back to the thread's own set.
#include "netobj/LocalPeerAffinity.h"

#include <algorithm>
#include <optional>

#include "netobj/ThreadPlacement.h"

namespace NetObj {

LocalPeerAffinity::~LocalPeerAffinity() {
  if (pinned_ >= 0) PlaceThread(own_);
}

void LocalPeerAffinity::Follow(const Channel& c) {
  if (!enabled_) return;
  const std::optional<int> cpu = c.IncomingCpu();
  if (!cpu || *cpu >= CPU_SETSIZE) return;
  if (*cpu == pinned_) {
    streak_ = 0;
    return;
  }
  streak_ = *cpu == candidate_ ? streak_ + 1 : 1;
  candidate_ = *cpu;
  if (streak_ < required_) return;
  if (!have_own_) {
    // Without its own set the thread could not be given it back: then it stays where it is.
    if (!ThreadCpus(&own_)) {
      enabled_ = false;
      return;
    }
    have_own_ = true;
  }
  if (!CPU_ISSET(*cpu, &own_)) return;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(*cpu, &one);
  if (!PlaceThread(one)) {
    enabled_ = false;  // not allowed here: no system call per request for nothing
    return;
  }
  pinned_ = *cpu;
  streak_ = 0;
  // A caller that moves away again and again (on an idle machine the scheduler wakes it on the
  // free CPU) is followed less and less often: each move costs a migration.
  required_ = std::min(2 * required_, kMostRequests);
}

}  // namespace NetObj
