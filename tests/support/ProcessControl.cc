#include "tests/support/ProcessControl.h"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace test_support {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kGracePeriod{3000};
constexpr std::chrono::milliseconds kReapPollInterval{10};

bool ReapWithin(pid_t pid, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (true) {
    const pid_t done = waitpid(pid, nullptr, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR)) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kReapPollInterval);
  }
}

}  // namespace

void StopProcess(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  if (ReapWithin(pid, kGracePeriod)) return;
  kill(pid, SIGKILL);
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

void DieWithParent(int signal) {
  const pid_t parent = getppid();
  prctl(PR_SET_PDEATHSIG, signal);
  // The parent may have died before prctl took effect.
  if (getppid() != parent) _exit(1);
}

bool WaitReadable(int fd, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (true) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(std::max<long>(left.count(), 0)));
    if (ready > 0) return true;
    if (ready == 0) return false;
    if (errno != EINTR) return false;
  }
}

bool ReadExactly(int fd, void* buffer, std::size_t size, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  auto* out = static_cast<char*>(buffer);
  std::size_t got = 0;
  while (got < size) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || !WaitReadable(fd, left)) return false;
    const ssize_t n = read(fd, out + got, size - got);
    if (n == 0) return false;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    got += static_cast<std::size_t>(n);
  }
  return true;
}

bool WriteAll(int fd, const void* buffer, std::size_t size) {
  const auto* in = static_cast<const char*>(buffer);
  std::size_t sent = 0;
  while (sent < size) {
    const ssize_t n = write(fd, in + sent, size - sent);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace test_support
