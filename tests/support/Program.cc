#include "tests/support/Program.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "tests/support/ProcessControl.h"

extern char** environ;

namespace test_support {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kPollInterval{10};
constexpr milliseconds kGracePeriod{3000};

int CaptureFile(const char* name) {
  const int fd = memfd_create(name, MFD_CLOEXEC);
  if (fd < 0) throw std::runtime_error(std::string("memfd_create: ") + std::strerror(errno));
  return fd;
}

std::string ReadCaptured(int fd) {
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0) return "";
  const std::size_t size = std::min(static_cast<std::size_t>(st.st_size), Program::kMaxCaptured);
  std::string text(size, '\0');
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = pread(fd, text.data() + got, size - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  text.resize(got);
  return text;
}

std::vector<std::string> Environment(const std::vector<std::string>& extra) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view entry(*e);
    bool replaced = false;
    for (const std::string& x : extra) {
      if (entry.starts_with(std::string_view(x).substr(0, x.find('=') + 1))) replaced = true;
    }
    if (!replaced) env.emplace_back(entry);
  }
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (std::string& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

int Decoded(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

Program::Program(const Invocation& invocation, Input input) {
  std::vector<std::string> argv{invocation.argv0.value_or(invocation.path)};
  argv.insert(argv.end(), invocation.args.begin(), invocation.args.end());
  std::vector<std::string> env = Environment(invocation.env);
  std::vector<char*> argp = Pointers(argv);
  std::vector<char*> envp = Pointers(env);
  out_ = CaptureFile("stdout");
  err_ = CaptureFile("stderr");
  int stdinFd = -1;
  if (input == Input::kPipe) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
      throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    stdinFd = fds[0];
    in_ = fds[1];
  } else {
    stdinFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  }
  pid_ = fork();
  if (pid_ < 0) {
    close(stdinFd);
    throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
  }
  if (pid_ == 0) {
    DieWithParent(SIGKILL);
    dup2(stdinFd, STDIN_FILENO);
    dup2(out_, STDOUT_FILENO);
    dup2(err_, STDERR_FILENO);
    execve(invocation.path.c_str(), argp.data(), envp.data());
    _exit(127);
  }
  close(stdinFd);
  running_ = true;
}

Program::~Program() {
  Stop();
  close(out_);
  close(err_);
  if (in_ >= 0) close(in_);
}

std::string Program::Out() const { return ReadCaptured(out_); }
std::string Program::Err() const { return ReadCaptured(err_); }

bool Program::Reaped() {
  if (!running_) return true;
  int status = 0;
  const pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == pid_) {
    running_ = false;
    status_ = status;
  } else if (r < 0 && errno == ECHILD) {
    running_ = false;
    status_ = 0;
  }
  return !running_;
}

bool Program::WaitForOut(std::string_view text, milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (true) {
    const bool ended = Reaped();
    if (Out().find(text) != std::string::npos) return true;
    if (ended || Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollInterval);
  }
}

std::optional<int> Program::WaitForExit(milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!Reaped()) {
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(kPollInterval);
  }
  return Decoded(status_);
}

bool Program::Say(std::string_view line) {
  if (in_ < 0) return false;
  std::string text(line);
  text += '\n';
  return WriteAll(in_, text.data(), text.size());
}

void Program::Signal(int signal) {
  if (!Reaped()) kill(pid_, signal);
}

void Program::Stop() {
  if (Reaped()) return;
  kill(pid_, SIGTERM);
  if (WaitForExit(kGracePeriod)) return;
  Kill();
}

void Program::Kill() {
  if (Reaped()) return;
  kill(pid_, SIGKILL);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  running_ = false;
  status_ = status;
}

Finished RunToEnd(const Invocation& invocation, milliseconds timeout) {
  Program program(invocation);
  Finished finished;
  finished.status = program.WaitForExit(timeout);
  program.Stop();
  finished.out = program.Out();
  finished.err = program.Err();
  return finished;
}

}  // namespace test_support
