// Where an owner lets go of the objects no peer holds any more, when no serving worker can: a
// thread of its own, so that a destructor that blocks (say, on the program's lock) holds up
// neither lease traffic nor calls, only later releases. Objects released by a lease renewal, a
// closed or expired lease, or a send taken back go here; those released by an ordinary call go
// on its worker after the reply. The destructor runs on this thread (unless local code still
// holds the object: then wherever that code drops it), outside every runtime lock.
//
// Implemented in Finalizer.cc. Thread-safe: Add from any thread (never under a runtime lock); Stop
// from any thread but this one's.
#pragma once

#include <memory>
#include <thread>
#include <vector>

#include "netobj/NetObj.h"
#include "netobj/port/Mutex.h"

namespace NetObj {

class Finalizer {
 public:
  Finalizer() = default;
  ~Finalizer() { Stop(); }
  Finalizer(const Finalizer&) = delete;
  Finalizer& operator=(const Finalizer&) = delete;

  void Add(std::vector<std::shared_ptr<T>> objects);
  // Lets go of what is queued and joins the thread; later Adds let go at once.
  void Stop();

 private:
  void Run();

  Mutex mu_;
  CondVar cv_;
  std::vector<std::shared_ptr<T>> queue_ GUARDED_BY(mu_);
  bool stopping_ GUARDED_BY(mu_) = false;
  std::thread thread_ GUARDED_BY(mu_);
};

}  // namespace NetObj
