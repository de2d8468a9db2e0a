// A forked process that plays the server's part towards the display adapter: it runs a fixed
// list of steps (adapter calls) on a given X display, one step each time the test says so, and
// reports a short text after each. Each child has its own fresh adapter state and window; the
// window stays open until the child is stopped.
//
// Ownership: owns the child process and both pipes; the destructor stops the child by its pid,
// also when a test fails half-way. Not thread-safe; one test thread uses it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace display_test {

class AdapterChild {
 public:
  // Runs in the child. Its result is the step's report; an exception ends the child.
  using Step = std::function<std::string()>;

  static constexpr std::chrono::milliseconds kStepTimeout{20000};

  // Forks the child, which connects to `display` (like ":3") and waits for Start().
  AdapterChild(const std::string& display, std::vector<Step> steps);
  ~AdapterChild();
  AdapterChild(const AdapterChild&) = delete;
  AdapterChild& operator=(const AdapterChild&) = delete;

  // Lets the child run its next step.
  void Start();
  // The report of the step last started, or nothing when none came within `timeout` (the step
  // is still running, or the child ended). A step that reported nothing yet can be awaited again.
  std::optional<std::string> Await(std::chrono::milliseconds timeout);
  // Start, then Await with the generous step timeout.
  std::optional<std::string> Run();

 private:
  pid_t pid_ = -1;
  int commands_ = -1;  // parent -> child: one byte per step
  int reports_ = -1;   // child -> parent: 4-byte length, then the report
};

}  // namespace display_test
