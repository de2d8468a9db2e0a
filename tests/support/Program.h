// One program that a test starts: its own argv[0] if wanted, the test's environment plus a few
// settings, standard input from /dev/null or from a pipe the test writes lines into, and standard
// output and standard error each captured in a memory file of its own. The program never blocks
// on its output, however long it runs without the test looking, and the test can tell the two
// streams apart. Needs no X server: every suite, the runtime's own included, starts its programs
// with it.
//
// Ownership: owns the process, both capture files and the input pipe. The destructor stops the
// process by its pid (SIGTERM, a grace period, then SIGKILL), also when a test fails half-way;
// the process is killed as well if the test process dies. Not thread-safe; one test thread uses
// it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace test_support {

struct Invocation {
  std::string path;                  // the file executed
  std::vector<std::string> args;     // the arguments after argv[0]
  std::vector<std::string> env;      // "NAME=value", added to or replacing the test's own
  std::optional<std::string> argv0;  // the invoked name; `path` when not given
};

class Program {
 public:
  // At most this much of each stream is read back; a longer output is cut.
  static constexpr std::size_t kMaxCaptured = 8 << 20;

  // Where standard input comes from. A program that runs until its input ends wants kPipe; the
  // pipe stays open until the program is stopped.
  enum class Input { kNull, kPipe };

  // Throws std::runtime_error when the capture files, the pipe or the process cannot be made.
  explicit Program(const Invocation& invocation, Input input = Input::kNull);
  ~Program();
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  pid_t pid() const { return pid_; }

  // Everything the program has written to each stream so far.
  std::string Out() const;
  std::string Err() const;

  // Waits until standard output holds `text`; false when the program ended without writing it
  // or `timeout` passed.
  bool WaitForOut(std::string_view text, std::chrono::milliseconds timeout);

  // Waits for the program to end: its exit status, 128 + the signal number when a signal ended
  // it, nothing when it still runs after `timeout`.
  std::optional<int> WaitForExit(std::chrono::milliseconds timeout);

  // Writes `line` and a newline to standard input (Input::kPipe only); false when it could not.
  bool Say(std::string_view line);

  void Signal(int signal);
  // Ends the program if it still runs and reaps it. Idempotent.
  void Stop();
  // Kills the program at once (SIGKILL), with no grace period, and reaps it. Idempotent.
  void Kill();

 private:
  // Reaps the process if it has ended; true when it is no longer running.
  bool Reaped();

  pid_t pid_ = -1;
  bool running_ = false;
  int status_ = 0;
  int out_ = -1;
  int err_ = -1;
  int in_ = -1;  // the write end of the input pipe, with Input::kPipe
};

// Runs a program to its end, at most `timeout`, and kills it if it is still running then.
struct Finished {
  std::optional<int> status;  // as Program::WaitForExit
  std::string out;
  std::string err;
};
Finished RunToEnd(const Invocation& invocation, std::chrono::milliseconds timeout);

}  // namespace test_support
