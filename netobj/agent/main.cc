// netobj-agent: the per-host agent through which programs export and import objects by name.
// Listens on TCP port 7917, or on NETOBJ_AGENT_PORT when set. Runs until SIGINT or SIGTERM.
// `netobj-agent --new-key FILE` instead makes a new cluster key in FILE and exits.
#include <signal.h>

#include <cstdio>
#include <cstring>

#include "netobj/ClusterKey.h"
#include "netobj/Runtime.h"
#include "netobj/agent/AgentImpl.h"
#include "netobj/wire/Addresses.h"

namespace {

// The key is made here rather than by a tool of its own: every host that runs a service of the
// package has this program, and it writes the file exactly as the runtime will accept it.
int NewKey(const char* path) {
  try {
    NetObj::WriteNewKeyFile(path);
  } catch (const NetObj::Error& e) {
    std::fprintf(stderr, "netobj-agent: %s\n", e.atoms().empty() ? e.what() : e.atoms()[0].c_str());
    return 1;
  }
  std::printf("netobj-agent: new cluster key in %s\n", path);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace NetObj;
  if (argc == 3 && std::strcmp(argv[1], "--new-key") == 0 && argv[2][0] != '\0') {
    return NewKey(argv[2]);
  }
  if (argc != 1) {
    std::fprintf(stderr, "Usage: netobj-agent [--new-key FILE]\n");
    return 2;
  }
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
