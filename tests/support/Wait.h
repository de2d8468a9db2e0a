// A bounded wait for a condition that another thread or process makes true: every wait of a test
// ends, so that a suite that fails cannot hang.
//
// Ownership: none. Thread-safe as far as `done` is.
#pragma once

#include <chrono>
#include <thread>

namespace test_support {

// Asks `done` until it holds, every `poll`, and for no longer than `timeout`; whether it held.
// `done` is asked at least once, also with a zero timeout.
template <class Predicate>
bool WaitUntil(Predicate&& done, std::chrono::milliseconds timeout,
               std::chrono::milliseconds poll = std::chrono::milliseconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(poll);
  }
  return true;
}

}  // namespace test_support
