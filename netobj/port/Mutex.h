// A mutex the compiler can check: std::mutex under a capability, a scoped holder, and a
// condition variable that waits on it. Fields say which Mutex guards them (GUARDED_BY), methods
// which one they need held (REQUIRES) or take themselves (EXCLUDES); the clang preset turns
// every breach into a build error.
//
// Thread-safe, as std::mutex. MutexLock belongs to the thread that made it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stop_token>

#include "netobj/port/ThreadAnnotations.h"

namespace NetObj {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mu_.lock(); }
  void unlock() RELEASE() { mu_.unlock(); }
  // Tells the analysis that the caller holds the mutex where it cannot see so itself (a
  // callback run under the lock).
  void AssertHeld() const ASSERT_CAPABILITY(this) {}

 private:
  std::mutex mu_;
};

class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mu) ACQUIRE(mu) : mu_(mu) { mu_.lock(); }
  ~MutexLock() RELEASE() { mu_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mu_;
};

// Waits release the mutex and take it again before they return, so to the analysis the mutex
// stays held throughout.
class CondVar {
 public:
  void Wait(Mutex& mu) REQUIRES(mu) { cv_.wait(mu); }
  template <class Pred>
  void Wait(Mutex& mu, Pred pred) REQUIRES(mu) {
    cv_.wait(mu, pred);
  }
  // False when `timeout` passed first.
  template <class Rep, class Period, class Pred>
  bool WaitFor(Mutex& mu, std::chrono::duration<Rep, Period> timeout, Pred pred) REQUIRES(mu) {
    return cv_.wait_for(mu, timeout, pred);
  }
  template <class Clock, class Duration, class Pred>
  bool WaitUntil(Mutex& mu, std::chrono::time_point<Clock, Duration> deadline, Pred pred)
      REQUIRES(mu) {
    return cv_.wait_until(mu, deadline, pred);
  }
  // Also ends when `stop` is requested; false then, or when `timeout` passed first.
  template <class Rep, class Period, class Pred>
  bool WaitFor(Mutex& mu, std::stop_token stop, std::chrono::duration<Rep, Period> timeout,
               Pred pred) REQUIRES(mu) {
    return cv_.wait_for(mu, stop, timeout, pred);
  }
  void NotifyOne() { cv_.notify_one(); }
  void NotifyAll() { cv_.notify_all(); }

 private:
  std::condition_variable_any cv_;
};

}  // namespace NetObj
