#include "tests/support/NamespaceHosts.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace test_support {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

namespace {

constexpr milliseconds kIpTimeout{20000};
constexpr milliseconds kGrace{3000};
constexpr milliseconds kPoll{50};

Finished RunIp(const std::vector<std::string>& args) {
  return RunToEnd(Invocation{"/bin/ip", args, {}, std::string("ip")}, kIpTimeout);
}

std::string Joined(const std::vector<std::string>& args) {
  std::string s = "ip";
  for (const std::string& a : args) s += " " + a;
  return s;
}

std::vector<pid_t> PidsIn(const std::string& ns) {
  std::vector<pid_t> pids;
  std::istringstream in(RunIp({"netns", "pids", ns}).out);
  for (pid_t pid; in >> pid;) pids.push_back(pid);
  return pids;
}

std::string Subnet(int host) { return "10.214." + std::to_string(host) + "."; }

// Two sets of hosts of one test process must not share a namespace name.
std::string NewTag() {
  static std::atomic<int> made{0};
  return std::to_string(getpid()) + "-" + std::to_string(made++);
}

}  // namespace

void Ip(const std::vector<std::string>& args) {
  Finished run = RunIp(args);
  if (run.status != 0) throw std::runtime_error(Joined(args) + " failed: " + run.err);
}

NamespaceHosts::NamespaceHosts(NamespaceLayout layout)
    : layout_(std::move(layout)), tag_(NewTag()) {
  try {
    Make();
  } catch (...) {
    Remove();
    throw;
  }
}

NamespaceHosts::NamespaceHosts(std::string hub_name, int linked_hosts)
    : NamespaceHosts(NamespaceLayout{.hub_name = std::move(hub_name),
                                     .linked_hosts = linked_hosts,
                                     .host_names = {},
                                     .etc_files = {},
                                     .prefix = "lan"}) {}

NamespaceHosts::~NamespaceHosts() { Remove(); }

std::string NamespaceHosts::HubAddressFor(int host) const {
  return host == 0 ? "127.0.0.1" : Subnet(host) + "1";
}

std::string NamespaceHosts::AddressOf(int host) const { return Subnet(host) + "2"; }

void NamespaceHosts::Make() {
  const int linked_hosts = layout_.linked_hosts;
  for (int h = 0; h <= linked_hosts; ++h) {
    Host host{layout_.prefix + "-" + tag_ + "-" + std::to_string(h),
              h == 0 ? "" : "nl" + tag_ + "h" + std::to_string(h)};
    hosts_.push_back(host);
    if (h == 0) {
      const Finished add = RunIp({"netns", "add", host.ns});
      if (add.status != 0)
        throw NamespacesRefused("ip netns add " + host.ns + " was refused: " + add.err);
    } else {
      Ip({"netns", "add", host.ns});
    }
    hosts_.back().made = true;
    Ip({"-n", host.ns, "link", "set", "lo", "up"});
  }
  const std::string& hub = hosts_[0].ns;
  for (int h = 1; h <= linked_hosts; ++h) {
    const Host& host = hosts_[h];
    const std::string hub_end = "nh" + tag_ + "h" + std::to_string(h);
    Ip({"-n", hub, "link", "add", hub_end, "type", "veth", "peer", "name", host.device, "netns",
        host.ns});
    Ip({"-n", hub, "addr", "add", Subnet(h) + "1/24", "dev", hub_end});
    Ip({"-n", host.ns, "addr", "add", Subnet(h) + "2/24", "dev", host.device});
    Ip({"-n", hub, "link", "set", hub_end, "up"});
    Ip({"-n", host.ns, "link", "set", host.device, "up"});
  }
  for (int h = 0; h <= linked_hosts; ++h) WriteEtc(h);
}

void NamespaceHosts::WriteEtc(int h) {
  std::error_code ec;
  if (!fs::exists("/etc/netns")) {
    if (!fs::create_directory("/etc/netns", ec))
      throw std::runtime_error("cannot make /etc/netns: " + ec.message());
    made_etc_netns_ = true;
  }
  const fs::path dir = fs::path("/etc/netns") / hosts_[h].ns;
  fs::create_directory(dir, ec);
  std::ostringstream hosts;
  hosts << "127.0.0.1 localhost\n" << HubAddressFor(h) << " " << layout_.hub_name << "\n";
  for (int named = 1; named <= static_cast<int>(layout_.host_names.size()); ++named) {
    if (h == 0 || h == named)
      hosts << AddressOf(named) << " " << layout_.host_names[named - 1] << "\n";
  }
  std::vector<std::pair<std::string, std::string>> files{{"hosts", hosts.str()}};
  files.insert(files.end(), layout_.etc_files.begin(), layout_.etc_files.end());
  for (const auto& [name, contents] : files) {
    std::ofstream file(dir / name);
    file << contents;
    if (!file) throw std::runtime_error("cannot write " + (dir / name).string());
  }
}

Invocation NamespaceHosts::In(int host, const Invocation& invocation) const {
  Invocation in{"/bin/ip", {"netns", "exec", hosts_.at(host).ns, "/usr/bin/env"}, {}, "ip"};
  in.args.insert(in.args.end(), invocation.env.begin(), invocation.env.end());
  in.args.push_back(invocation.path);
  in.args.insert(in.args.end(), invocation.args.begin(), invocation.args.end());
  return in;
}

void NamespaceHosts::SetLink(int host, bool up) {
  const Host& h = hosts_.at(host);
  Ip({"-n", h.ns, "link", "set", h.device, up ? "up" : "down"});
}

void NamespaceHosts::StopEverythingIn(const std::string& ns) {
  for (pid_t pid : PidsIn(ns)) ::kill(pid, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + kGrace;
  while (!PidsIn(ns).empty() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(kPoll);
  for (pid_t pid : PidsIn(ns)) ::kill(pid, SIGKILL);
}

void NamespaceHosts::Remove() {
  for (const Host& host : hosts_)
    if (host.made) StopEverythingIn(host.ns);
  std::error_code ec;
  for (const Host& host : hosts_) {
    if (host.made) RunIp({"netns", "del", host.ns});
    fs::remove_all(fs::path("/etc/netns") / host.ns, ec);
  }
  hosts_.clear();
  if (made_etc_netns_) fs::remove("/etc/netns", ec);  // only if still empty
}

}  // namespace test_support
