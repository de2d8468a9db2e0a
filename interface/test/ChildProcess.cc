#include "interface/test/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace StubSystemTest {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (std::string& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

std::vector<std::string> Environment(const std::vector<std::string>& extra) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string_view entry(*e);
    bool overridden = false;
    for (const std::string& x : extra) {
      std::string_view name = std::string_view(x).substr(0, x.find('=') + 1);
      if (entry.starts_with(name)) overridden = true;
    }
    if (!overridden) env.emplace_back(entry);
  }
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

milliseconds Left(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? left : milliseconds(0);
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::vector<std::string>& env) {
  std::vector<std::string> args = argv;
  std::vector<std::string> envs = Environment(env);
  std::vector<char*> argp = Pointers(args);
  std::vector<char*> envp = Pointers(envs);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe: " + std::string(strerror(errno)));
  pid_t parent = getpid();
  pid_ = fork();
  if (pid_ < 0) {
    close(fds[0]);
    close(fds[1]);
    throw std::runtime_error("fork: " + std::string(strerror(errno)));
  }
  if (pid_ == 0) {
    // Only async-signal-safe calls between fork and exec.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    dup2(fds[1], STDOUT_FILENO);
    dup2(fds[1], STDERR_FILENO);
    execvpe(argp[0], argp.data(), envp.data());
    _exit(127);
  }
  close(fds[1]);
  out_ = fds[0];
  running_ = true;
}

ChildProcess::~ChildProcess() {
  Stop();
  if (out_ >= 0) close(out_);
}

bool ChildProcess::ReadSome(milliseconds timeout) {
  if (out_ < 0) return false;
  pollfd p{out_, POLLIN, 0};
  int ready = poll(&p, 1, static_cast<int>(timeout.count()));
  if (ready <= 0) return true;
  char buffer[4096];
  ssize_t n = read(out_, buffer, sizeof buffer);
  if (n > 0) {
    output_.append(buffer, static_cast<std::size_t>(n));
    return true;
  }
  if (n < 0 && errno == EINTR) return true;
  close(out_);
  out_ = -1;
  return false;
}

bool ChildProcess::WaitForText(std::string_view text, milliseconds timeout) {
  Clock::time_point deadline = Clock::now() + timeout;
  while (output_.find(text) == std::string::npos) {
    if (Left(deadline).count() == 0) return false;
    if (!ReadSome(std::min(Left(deadline), milliseconds(100)))) {
      return output_.find(text) != std::string::npos;
    }
  }
  return true;
}

bool ChildProcess::Reap(bool block, int* status) {
  if (!running_) return true;
  pid_t r = waitpid(pid_, status, block ? 0 : WNOHANG);
  if (r == pid_ || (r < 0 && errno == ECHILD)) {
    running_ = false;
    return true;
  }
  return false;
}

std::optional<int> ChildProcess::WaitForExit(milliseconds timeout) {
  Clock::time_point deadline = Clock::now() + timeout;
  int status = 0;
  while (!Reap(false, &status)) {
    if (Left(deadline).count() == 0) return std::nullopt;
    if (!ReadSome(std::min(Left(deadline), milliseconds(50)))) {
      std::this_thread::sleep_for(milliseconds(10));
    }
  }
  // The rest of the output; bounded, in case a process the child started still holds the pipe.
  Clock::time_point drained = Clock::now() + milliseconds(1000);
  while (ReadSome(std::min(Left(drained), milliseconds(100))) && Left(drained).count() > 0) {
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return std::nullopt;
}

void ChildProcess::Stop() {
  if (!running_) return;
  int status = 0;
  kill(pid_, SIGTERM);
  Clock::time_point deadline = Clock::now() + milliseconds(5000);
  while (!Reap(false, &status) && Left(deadline).count() > 0) {
    ReadSome(milliseconds(20));
  }
  if (running_) {
    kill(pid_, SIGKILL);
    Reap(true, &status);
  }
}

int Run(const std::vector<std::string>& argv, milliseconds timeout, std::string* output) {
  ChildProcess child(argv);
  std::optional<int> status = child.WaitForExit(timeout);
  if (output != nullptr) *output += child.output();
  return status.value_or(-1);
}

}  // namespace StubSystemTest
