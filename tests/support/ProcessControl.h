// Small process helpers shared by the display tests' child processes: stopping a child by its
// pid and reading from a pipe with a deadline. Every wait here is bounded.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>

namespace test_support {

// Asks `pid` to end (SIGTERM), gives it a short grace period, then kills it (SIGKILL) and reaps
// it. Safe to call for a child that has already ended.
void StopProcess(pid_t pid);

// Makes the calling (freshly forked) child receive `signal` when the test process dies, so no
// child outlives a crashed test.
void DieWithParent(int signal);

// Waits until `fd` has data or end of file, at most `timeout`. True when readable.
bool WaitReadable(int fd, std::chrono::milliseconds timeout);

// Reads exactly `size` bytes before `timeout` runs out. False on end of file, error or timeout.
bool ReadExactly(int fd, void* buffer, std::size_t size, std::chrono::milliseconds timeout);

// Writes all `size` bytes, retrying after interruptions. False on error.
bool WriteAll(int fd, const void* buffer, std::size_t size);

}  // namespace test_support
