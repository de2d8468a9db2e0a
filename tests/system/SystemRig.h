// The whole system as real processes for one test: a private X server, an agent on a free port,
// the server program and any number of clients, every one started with the rig's display and
// agent port and stopped by its pid when the rig goes (clients first, the X server last).
//
// Ownership: owns every process it starts. Not thread-safe; one test thread uses it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/support/Agent.h"
#include "tests/support/Program.h"
#include "tests/support/XvfbServer.h"

namespace system_test {

// The programs under test, as built alongside the tests.
test_support::Invocation ServerInvocation(std::vector<std::string> args);
test_support::Invocation ClientInvocation(std::vector<std::string> args);
std::string AgentPath();

// The server's banner, exactly as it prints it.
inline constexpr char kBanner[] =
    "Fractal Server:\n\n"
    "Now you should start one or more clients using \"client [hostname]\"\n"
    "Use the mouse, left click to center and zoom in, right click to\n"
    "  center and zoom out.\n";

struct Screen {
  int width = 1280;
  int height = 1024;
};

class SystemRig {
 public:
  explicit SystemRig(Screen screen = {});
  ~SystemRig();
  SystemRig(const SystemRig&) = delete;
  SystemRig& operator=(const SystemRig&) = delete;

  const std::string& display() const { return xvfb_.display(); }
  // DISPLAY and NETOBJ_AGENT_PORT for the rig's programs.
  std::vector<std::string> Environment() const;

  // Starts `server` with `args`; returns once its banner is out (the window opens next).
  // Throws std::runtime_error when the banner does not come.
  test_support::Program& StartServer(const std::vector<std::string>& args);
  test_support::Program& server() { return *server_; }
  test_support::Agent& agent() { return agent_; }

  // Starts a client of the server on "localhost"; returns once it asked for its first work
  // unit. The server exports its object just after its window opens, so a client that came too
  // early and found no server is started again. Throws std::runtime_error when none gets going.
  test_support::Program& StartClient();
  std::vector<std::unique_ptr<test_support::Program>>& clients() { return clients_; }

 private:
  test_support::XvfbServer xvfb_;
  test_support::Agent agent_;
  std::unique_ptr<test_support::Program> server_;
  std::vector<std::unique_ptr<test_support::Program>> clients_;
};

}  // namespace system_test
