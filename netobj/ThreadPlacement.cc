// A thread's CPU set, read and set through the scheduler.
#include "netobj/ThreadPlacement.h"

#include <unistd.h>

namespace NetObj {

void TakeProcessCpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(::getpid(), sizeof set, &set) == 0) PlaceThread(set);
}

bool ThreadCpus(cpu_set_t* set) {
  CPU_ZERO(set);
  return ::sched_getaffinity(0, sizeof *set, set) == 0;
}

bool PlaceThread(const cpu_set_t& set) { return ::sched_setaffinity(0, sizeof set, &set) == 0; }

}  // namespace NetObj
