// Starting, feeding and reaping the serving side's workers.
#include "netobj/WorkerPool.h"

#include <chrono>
#include <system_error>

#include "netobj/LocalPeerAffinity.h"

namespace NetObj {

namespace {

constexpr auto kWorkerIdle = std::chrono::seconds(10);

// A handler that ends its own runtime cannot wait for itself.
void JoinUnlessSelf(std::jthread& t) {
  if (!t.joinable()) return;
  if (t.get_id() == std::this_thread::get_id())
    t.detach();
  else
    t.join();
}

}  // namespace

WorkerPool::~WorkerPool() { Stop(); }

bool WorkerPool::Hand(std::shared_ptr<Connection> c) {
  Workers finished;
  bool started = true;
  {
    MutexLock lock(mu_);
    if (stopping_) return true;
    queue_.push_back(std::move(c));
    if (idle_ >= queue_.size()) {
      work_cv_.NotifyOne();
      return true;
    }
    finished = ReapLocked();
    started = StartLocked();
    if (!started) queue_.pop_back();
  }
  // Joined before the list lets go: an ended thread may still hold its Worker for a moment.
  for (auto& w : finished) w->thread.join();
  return started;
}

std::size_t WorkerPool::threads() const {
  MutexLock lock(mu_);
  std::size_t n = 0;
  for (const auto& w : workers_) n += w->done ? 0 : 1;
  return n;
}

WorkerPool::Workers WorkerPool::ReapLocked() {
  Workers finished;
  for (auto it = workers_.begin(); it != workers_.end();) {
    auto next = std::next(it);
    if ((*it)->done) finished.splice(finished.end(), workers_, it);
    it = next;
  }
  return finished;
}

// The thread holds its Worker too: one detached by Stop outlives the list.
bool WorkerPool::StartLocked() {
  auto w = std::make_shared<Worker>();
  try {
    w->thread = std::jthread([this, w] { Work(*w); });
  } catch (const std::system_error&) {
    return false;
  }
  workers_.push_back(std::move(w));
  return true;
}

void WorkerPool::Work(Worker& self) {
  while (std::shared_ptr<Connection> c = Next()) Drive(*c);
  MutexLock lock(mu_);
  self.done = true;
}

std::shared_ptr<WorkerPool::Connection> WorkerPool::Next() {
  MutexLock lock(mu_);
  ++idle_;
  bool has_work = work_cv_.WaitFor(mu_, kWorkerIdle, [&] {
    mu_.AssertHeld();  // the wait holds it whenever it asks
    return stopping_ || !queue_.empty();
  });
  --idle_;
  if (stopping_ || !has_work) return nullptr;
  std::shared_ptr<Connection> c = std::move(queue_.front());
  queue_.pop_front();
  return c;
}

void WorkerPool::Drive(Connection& c) {
  LocalPeerAffinity affinity(c.SameHost());
  do {
    affinity.Follow(c.channel());
  } while (c.Serve() && c.AwaitNext());
}

void WorkerPool::Stop() {
  Workers workers;
  std::deque<std::shared_ptr<Connection>> queued;
  {
    MutexLock lock(mu_);
    if (stopping_) return;
    stopping_ = true;
    workers.swap(workers_);
    queued.swap(queue_);
  }
  work_cv_.NotifyAll();
  for (auto& w : workers) JoinUnlessSelf(w->thread);
}

}  // namespace NetObj
