#include "tests/support/Agent.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace test_support {

namespace {

constexpr int kAttempts = 5;
constexpr std::chrono::milliseconds kStartTimeout{10000};
constexpr std::chrono::milliseconds kStopTimeout{5000};

}  // namespace

uint16_t UnusedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                     getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
  close(fd);
  if (!bound) throw std::runtime_error("no free TCP port");
  return ntohs(address.sin_port);
}

std::string AgentPortSetting(uint16_t port) { return "NETOBJ_AGENT_PORT=" + std::to_string(port); }

Agent::Agent(const std::string& path) : path_(path) {
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    port_ = UnusedPort();
    program_ = std::make_unique<Program>(Invocation{path, {}, {AgentPortSetting(port_)}, {}});
    if (program_->WaitForOut("listening on port", kStartTimeout)) return;
    program_.reset();
  }
  throw std::runtime_error("netobj-agent did not start: " + path);
}

void Agent::Restart() {
  program_->Kill();
  program_ = std::make_unique<Program>(Invocation{path_, {}, {AgentPortSetting(port_)}, {}});
  if (!program_->WaitForOut("listening on port", kStartTimeout))
    throw std::runtime_error("netobj-agent did not start again on port " + std::to_string(port_) +
                             ": " + program_->Err());
}

std::optional<int> Agent::Stop() {
  program_->Signal(SIGTERM);
  const std::optional<int> status = program_->WaitForExit(kStopTimeout);
  program_->Stop();
  return status;
}

}  // namespace test_support
