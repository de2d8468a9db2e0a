// A program started by the runtime's process tests, its output read through a pipe. The child is
// killed if the test process dies, and killed by its pid and reaped when the object goes; every
// wait is bounded.
//
// Owned by one test thread; not thread-safe.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace TestNetObj {

class Child {
 public:
  // Runs argv[0] with the test's environment plus `env` ("NAME=value"). Throws
  // std::runtime_error when it cannot.
  explicit Child(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  const std::string& output() const { return output_; }
  // Reads until the output holds `text`, the output ends, or `timeout` passes.
  bool WaitForText(std::string_view text, std::chrono::milliseconds timeout);
  // Writes a line to the child's standard input.
  void Say(const std::string& line);
  void Signal(int sig) const;
  // SIGKILL and reap. Idempotent.
  void Kill();

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int in_ = -1;
  std::string output_;
};

}  // namespace TestNetObj
