// netobj-agent: the per-host agent through which programs export and import objects by name.
// Listens on TCP port 7917, or on NETOBJ_AGENT_PORT when set. Runs until SIGINT or SIGTERM.
#include <signal.h>

#include <cstdio>

#include "netobj/Runtime.h"
#include "netobj/agent/AgentImpl.h"
#include "netobj/wire/Addresses.h"

int main() {
  using namespace NetObj;
  // Block the stop signals before any thread starts, so that every thread inherits the mask and
  // sigwait below is the one place they arrive.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  try {
    RuntimeOptions options = RuntimeOptions::FromEnvironment();
    options.port = options.agent_port;
    Runtime runtime(options);
    std::vector<Endpoint> local = LocalAddresses(0, true);
    auto agent = std::make_shared<AgentImpl>(
        [local](const Endpoint& from) { return IsLocalPeer(from, local); });
    runtime.ExportWellKnown(kAgentObjectId, agent);
    std::printf("netobj-agent: listening on port %u\n", static_cast<unsigned>(runtime.Listen()));
    std::fflush(stdout);
    int sig = 0;
    sigwait(&stop, &sig);
    runtime.Shutdown();
  } catch (const Error& e) {
    std::fprintf(stderr, "netobj-agent: %s\n", e.what());
    return 1;
  }
  return 0;
}
