// Which CPUs a thread of the runtime may run on. A thread inherits its creator's CPU set, and a
// serving worker may be pinned to one caller's CPU (LocalPeerAffinity); so every long-lived
// thread (a lease thread, the finalizer, the export keeper) takes the process's CPU set as it
// starts, else one started from such a worker would keep that worker's one CPU for good.
//
// Implemented in ThreadPlacement.cc. Stateless; each function acts on the calling thread only:
// thread-safe.
#pragma once

#include <sched.h>

namespace NetObj {

// Gives the calling thread the CPU set of the process's main thread.
void TakeProcessCpus();
// The calling thread's CPU set; false when the system does not tell it.
bool ThreadCpus(cpu_set_t* set);
// Moves the calling thread to `set`; false when that is not allowed.
bool PlaceThread(const cpu_set_t& set);

}  // namespace NetObj
