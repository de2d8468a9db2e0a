#include "tests/display/AdapterChild.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <stdexcept>

#include "tests/support/ProcessControl.h"

namespace display_test {

using test_support::DieWithParent;
using test_support::ReadExactly;
using test_support::StopProcess;
using test_support::WaitReadable;
using test_support::WriteAll;

namespace {

// Reports are a few numbers at most.
constexpr uint32_t kMaxReportBytes = 4096;
// Once a report has begun, the rest follows at once.
constexpr std::chrono::milliseconds kReportBodyTimeout{5000};

[[noreturn]] void ServeSteps(int commands, int reports, const std::string& display,
                             const std::vector<AdapterChild::Step>& steps) {
  DieWithParent(SIGKILL);
  setenv("DISPLAY", display.c_str(), 1);
  for (const AdapterChild::Step& step : steps) {
    char go = 0;
    if (read(commands, &go, 1) != 1) _exit(0);
    std::string report;
    try {
      report = step();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "adapter child: step failed: %s\n", e.what());
      _exit(2);
    }
    const auto size = static_cast<uint32_t>(report.size());
    if (!WriteAll(reports, &size, sizeof size) || !WriteAll(reports, report.data(), size)) {
      _exit(3);
    }
  }
  // Keeps the window open until the parent closes the command pipe or stops the child.
  char ignored = 0;
  while (read(commands, &ignored, 1) > 0) {
  }
  _exit(0);
}

}  // namespace

AdapterChild::AdapterChild(const std::string& display, std::vector<Step> steps) {
  // A child that died must show up as a missing report, not end the test process on write.
  signal(SIGPIPE, SIG_IGN);
  int toChild[2];
  int fromChild[2];
  if (pipe2(toChild, O_CLOEXEC) != 0) throw std::runtime_error("adapter child: no pipe");
  if (pipe2(fromChild, O_CLOEXEC) != 0) {
    close(toChild[0]);
    close(toChild[1]);
    throw std::runtime_error("adapter child: no pipe");
  }
  pid_ = fork();
  if (pid_ == 0) {
    close(toChild[1]);
    close(fromChild[0]);
    ServeSteps(toChild[0], fromChild[1], display, steps);
  }
  close(toChild[0]);
  close(fromChild[1]);
  commands_ = toChild[1];
  reports_ = fromChild[0];
  if (pid_ < 0) {
    close(commands_);
    close(reports_);
    throw std::runtime_error("adapter child: cannot fork");
  }
}

AdapterChild::~AdapterChild() {
  close(commands_);
  StopProcess(pid_);
  close(reports_);
}

void AdapterChild::Start() {
  const char go = 'g';
  WriteAll(commands_, &go, 1);
}

std::optional<std::string> AdapterChild::Await(std::chrono::milliseconds timeout) {
  if (!WaitReadable(reports_, timeout)) return std::nullopt;
  uint32_t size = 0;
  if (!ReadExactly(reports_, &size, sizeof size, kReportBodyTimeout)) return std::nullopt;
  if (size > kMaxReportBytes) return std::nullopt;
  std::string report(size, '\0');
  if (!ReadExactly(reports_, report.data(), size, kReportBodyTimeout)) return std::nullopt;
  return report;
}

std::optional<std::string> AdapterChild::Run() {
  Start();
  return Await(kStepTimeout);
}

}  // namespace display_test
