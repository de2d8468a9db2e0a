// A network object agent (netobj-agent) of the test's own, on a TCP port that was free when it
// started, so that tests running side by side, and any agent of the user's, never meet. Every
// program of the test that has to find this agent gets PortSetting() in its environment.
//
// Ownership: owns the agent process, stopped by its pid when the object goes. Not thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "tests/support/Program.h"

namespace test_support {

// A TCP port on which nothing listened a moment ago (the kernel's choice of an ephemeral port).
uint16_t UnusedPort();

// NETOBJ_AGENT_PORT=<port>: the setting that points programs at the agent on `port`.
std::string AgentPortSetting(uint16_t port);

class Agent {
 public:
  // Starts the agent at `path` and returns once it listens. A port taken in between is retried
  // with another; throws std::runtime_error when the agent does not come up.
  explicit Agent(const std::string& path);

  // Kills the agent (SIGKILL) and starts another run of it on the same port; returns once it
  // listens. Throws std::runtime_error when it does not come up.
  void Restart();

  // Asks the agent to end (SIGTERM) and reaps it: its exit status as Program::WaitForExit gives
  // it, nothing when it had to be killed. Idempotent.
  std::optional<int> Stop();

  uint16_t port() const { return port_; }
  std::string PortSetting() const { return AgentPortSetting(port_); }

 private:
  std::string path_;
  uint16_t port_ = 0;
  std::unique_ptr<Program> program_;
};

}  // namespace test_support
