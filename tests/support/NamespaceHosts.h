// Hosts of a small LAN for one test, as network namespaces: a hub host and any number of hosts
// linked to it, each by a veth pair of its own on a /24 of its own. Every host has its loopback
// up and a hosts file (/etc/netns/NAME/hosts) that names the hub, so a name resolves only inside
// the namespaces. Programs run in a host through `ip netns exec`.
//
// `ip netns exec` forks, so a program started that way is not stopped by the pid the test
// holds: everything that runs in a host is stopped by the pids `ip netns pids` lists, when the
// object goes (SIGTERM, a grace period, SIGKILL), before the namespaces and their /etc/netns
// directories are removed.
//
// Ownership: owns the namespaces and what runs in them. Not thread-safe; one test thread.
#pragma once

#include <string>
#include <vector>

#include "tests/support/Program.h"

namespace test_support {

class NamespaceHosts {
 public:
  // `hub_name` is the name the other hosts know the hub by. Throws std::runtime_error, naming
  // the `ip` command that failed, when the namespaces cannot be made; what was made is removed.
  NamespaceHosts(std::string hub_name, int linked_hosts);
  ~NamespaceHosts();
  NamespaceHosts(const NamespaceHosts&) = delete;
  NamespaceHosts& operator=(const NamespaceHosts&) = delete;

  // Host 0 is the hub; 1 to linked_hosts are linked to it.
  int hosts() const { return static_cast<int>(hosts_.size()); }
  const std::string& hub_name() const { return hub_name_; }
  // The hub's address as host `host` reaches it.
  std::string HubAddressFor(int host) const;

  // `invocation` run inside host `host`; its env goes through `env`, so that `ip netns exec`
  // passes it on exactly.
  Invocation In(int host, const Invocation& invocation) const;

  // Sets the link of host `host` (1 to linked_hosts) to the hub down or up, on the host's side.
  void SetLink(int host, bool up);

 private:
  struct Host {
    std::string ns;
    std::string device;  // the host's end of its veth pair (none for the hub)
    bool made = false;
  };

  void Make(int linked_hosts);
  void Remove();
  void StopEverythingIn(const std::string& ns);
  void WriteHosts(const Host& host, const std::string& hub_address);

  std::string hub_name_;
  std::string tag_;
  std::vector<Host> hosts_;
  bool made_etc_netns_ = false;
};

// Runs `ip` with `args` to its end (bounded); throws std::runtime_error naming the command when
// it fails.
void Ip(const std::vector<std::string>& args);

}  // namespace test_support
