// One program started by a system test, with its standard output and standard error read through
// a pipe. The child is killed if the test process dies, and stopped by its pid (SIGTERM, then
// SIGKILL) when the object goes; every wait is bounded by a deadline.
//
// Owned by one test thread; not thread-safe.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace StubSystemTest {

class ChildProcess {
 public:
  // Runs argv[0] (searched in PATH) with the test's environment plus `env` ("NAME=value").
  // Throws std::runtime_error when the pipe or the process cannot be made.
  ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  // Everything read from the child so far.
  const std::string& output() const { return output_; }

  // Reads until the output holds `text`, the child closes its output, or `timeout` passes.
  bool WaitForText(std::string_view text, std::chrono::milliseconds timeout);
  // Reads the output and waits for the child to end; its exit status, or nothing when it was
  // still running at the deadline or ended by a signal.
  std::optional<int> WaitForExit(std::chrono::milliseconds timeout);
  // Ends the child (SIGTERM, a grace period, then SIGKILL) and reaps it. Idempotent.
  void Stop();

 private:
  // Reads what is available, waiting at most `timeout`; false at end of output.
  bool ReadSome(std::chrono::milliseconds timeout);
  bool Reap(bool block, int* status);

  pid_t pid_ = -1;
  int out_ = -1;
  bool running_ = false;
  std::string output_;
};

// Runs a command to its end (at most `timeout`); its exit status, or -1 when it did not end.
// The output is appended to `output` when given.
int Run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
        std::string* output = nullptr);

}  // namespace StubSystemTest
