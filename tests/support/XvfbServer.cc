#include "tests/support/XvfbServer.h"

#include <X11/Xlib.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "tests/support/ProcessControl.h"

namespace test_support {

namespace {

constexpr std::chrono::milliseconds kStartTimeout{10000};
constexpr int kConnectAttempts = 100;
constexpr std::chrono::milliseconds kConnectRetryPause{50};
// Xvfb writes the chosen display number and a newline to this descriptor once it is ready.
constexpr int kDisplayFd = 3;
constexpr std::size_t kMaxDisplayNumberDigits = 10;

[[noreturn]] void ExecXvfb(int displayNumberPipe, const char* screen) {
  DieWithParent(SIGTERM);
  if (displayNumberPipe == kDisplayFd) {
    fcntl(kDisplayFd, F_SETFD, 0);
  } else {
    dup2(displayNumberPipe, kDisplayFd);
  }
  const int devNull = open("/dev/null", O_RDWR);
  dup2(devNull, STDIN_FILENO);
  dup2(devNull, STDOUT_FILENO);
  dup2(devNull, STDERR_FILENO);
  // -noreset: the readiness check disconnects, and a server that resets then refuses the
  // test's own connection for a moment.
  execlp("Xvfb", "Xvfb", "-displayfd", "3", "-screen", "0", screen, "-nolisten", "tcp", "-noreset",
         static_cast<char*>(nullptr));
  _exit(127);
}

}  // namespace

XvfbServer::XvfbServer(int screenWidth, int screenHeight) {
  const std::string screen =
      std::to_string(screenWidth) + "x" + std::to_string(screenHeight) + "x24";
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("Xvfb: cannot make a pipe");
  Launch(fds[1], screen);
  close(fds[1]);
  try {
    display_ = ":" + ReadDisplayNumber(fds[0]);
    close(fds[0]);
    WaitUntilAccepting();
  } catch (...) {
    close(fds[0]);
    StopProcess(pid_);
    throw;
  }
}

XvfbServer::~XvfbServer() { StopProcess(pid_); }

void XvfbServer::Launch(int displayNumberPipe, const std::string& screen) {
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("Xvfb: cannot fork");
  if (pid_ == 0) ExecXvfb(displayNumberPipe, screen.c_str());
}

std::string XvfbServer::ReadDisplayNumber(int fd) {
  std::string digits;
  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  while (digits.size() <= kMaxDisplayNumberDigits) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    char c = 0;
    if (left.count() <= 0 || !ReadExactly(fd, &c, 1, left)) break;
    if (c == '\n') {
      if (!digits.empty()) return digits;
      break;
    }
    if (c < '0' || c > '9') break;
    digits += c;
  }
  throw std::runtime_error("Xvfb did not report a display number (is it installed?)");
}

void XvfbServer::WaitUntilAccepting() {
  for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
    if (Display* dpy = XOpenDisplay(display_.c_str())) {
      XCloseDisplay(dpy);
      return;
    }
    std::this_thread::sleep_for(kConnectRetryPause);
  }
  throw std::runtime_error("Xvfb " + display_ + " does not accept connections");
}

}  // namespace test_support
