// The thread that lets go of released objects.
#include "netobj/Finalizer.h"

#include "netobj/ThreadPlacement.h"

namespace NetObj {

void Finalizer::Add(std::vector<std::shared_ptr<T>> objects) {
  if (objects.empty()) return;
  {
    MutexLock lock(mu_);
    if (!stopping_) {
      for (auto& o : objects) queue_.push_back(std::move(o));
      if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
      cv_.NotifyOne();
      return;
    }
  }
  objects.clear();  // after Stop: here, outside the lock
}

void Finalizer::Run() {
  TakeProcessCpus();
  for (;;) {
    std::vector<std::shared_ptr<T>> batch;
    {
      MutexLock lock(mu_);
      cv_.Wait(mu_, [this] {
        mu_.AssertHeld();  // the wait holds it whenever it asks
        return stopping_ || !queue_.empty();
      });
      if (stopping_ && queue_.empty()) return;
      batch.swap(queue_);
    }
    batch.clear();  // destructors run here, outside the lock
  }
}

void Finalizer::Stop() {
  std::thread t;
  {
    MutexLock lock(mu_);
    stopping_ = true;
    t.swap(thread_);
    cv_.NotifyOne();
  }
  if (t.joinable()) t.join();
  std::vector<std::shared_ptr<T>> rest;
  {
    MutexLock lock(mu_);
    rest.swap(queue_);
  }
}

}  // namespace NetObj
