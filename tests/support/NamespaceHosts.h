// Hosts of a small LAN for one test, as network namespaces: a hub host and any number of hosts
// linked to it, each by a veth pair of its own on a /24 of its own. Every host has its loopback
// up and a hosts file (/etc/netns/NAME/hosts) that names the hub, and the linked hosts that have
// names, so a name resolves only inside the namespaces; any other file of a host's /etc (an
// nsswitch.conf, a resolv.conf) can be given too. A hub with no linked host is a host cut off
// from every network. Programs run in a host through `ip netns exec`, which lays the files of
// /etc/netns/NAME over /etc.
//
// `ip netns exec` forks, so a program started that way is not stopped by the pid the test
// holds: everything that runs in a host is stopped by the pids `ip netns pids` lists, when the
// object goes (SIGTERM, a grace period, SIGKILL), before the namespaces and their /etc/netns
// directories are removed.
//
// Ownership: owns the namespaces and what runs in them. Not thread-safe; one test thread.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/Program.h"

namespace test_support {

// The very first `ip netns add` was refused: this machine or user cannot make namespaces, and a
// test may skip rather than fail.
class NamespacesRefused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct NamespaceLayout {
  std::string hub_name;  // the name every host knows the hub by
  int linked_hosts = 0;
  // Names of linked hosts 1, 2, ... (fewer than linked_hosts leaves the rest unnamed), known to
  // the hub and to the host itself.
  std::vector<std::string> host_names;
  // Further files of every host's /etc, as {file name, contents}.
  std::vector<std::pair<std::string, std::string>> etc_files;
  // The namespaces are called <prefix>-<pid>-..., so that leftovers tell whose they were.
  std::string prefix = "lan";
};

class NamespaceHosts {
 public:
  // Throws NamespacesRefused when the first namespace cannot be made, and std::runtime_error,
  // naming the `ip` command that failed, for any later step; what was made is removed.
  explicit NamespaceHosts(NamespaceLayout layout);
  // `hub_name` is the name the other hosts know the hub by.
  NamespaceHosts(std::string hub_name, int linked_hosts);
  ~NamespaceHosts();
  NamespaceHosts(const NamespaceHosts&) = delete;
  NamespaceHosts& operator=(const NamespaceHosts&) = delete;

  // Host 0 is the hub; 1 to linked_hosts are linked to it.
  int hosts() const { return static_cast<int>(hosts_.size()); }
  const std::string& hub_name() const { return layout_.hub_name; }
  // The hub's address as host `host` reaches it.
  std::string HubAddressFor(int host) const;
  // The address of linked host `host` (1 to linked_hosts), as the hub reaches it.
  std::string AddressOf(int host) const;

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

  void Make();
  void Remove();
  void StopEverythingIn(const std::string& ns);
  void WriteEtc(int host);

  NamespaceLayout layout_;
  std::string tag_;
  std::vector<Host> hosts_;
  bool made_etc_netns_ = false;
};

// Runs `ip` with `args` to its end (bounded); throws std::runtime_error naming the command when
// it fails.
void Ip(const std::vector<std::string>& args);

}  // namespace test_support
