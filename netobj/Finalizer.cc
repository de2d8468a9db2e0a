// The thread that lets go of released objects.
#include "netobj/Finalizer.h"

#include "netobj/ThreadPlacement.h"

namespace NetObj {

void Finalizer::Add(std::vector<std::shared_ptr<T>> objects) {
  if (objects.empty()) return;
  {
    std::scoped_lock lock(mu_);
    if (!stopping_) {
      for (auto& o : objects) queue_.push_back(std::move(o));
      if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
      cv_.notify_one();
      return;
    }
  }
  objects.clear();  // after Stop: here, outside the lock
}

void Finalizer::Run() {
  TakeProcessCpus();
  std::unique_lock lock(mu_);
  for (;;) {
    cv_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    std::vector<std::shared_ptr<T>> batch;
    batch.swap(queue_);
    lock.unlock();
    batch.clear();  // destructors run here
    lock.lock();
    if (stopping_ && queue_.empty()) return;
  }
}

void Finalizer::Stop() {
  std::thread t;
  {
    std::scoped_lock lock(mu_);
    stopping_ = true;
    t.swap(thread_);
    cv_.notify_one();
  }
  if (t.joinable()) t.join();
  std::vector<std::shared_ptr<T>> rest;
  {
    std::scoped_lock lock(mu_);
    rest.swap(queue_);
  }
}

}  // namespace NetObj
