// Interface addresses, address ordering and name resolution.
#include "netobj/wire/Addresses.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>

#include <algorithm>

#include "netobj/wire/Values.h"

namespace NetObj {

std::vector<Endpoint> LocalAddresses(uint16_t port, bool with_ipv6) {
  std::vector<Endpoint> out;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return {Endpoint::Loopback4(port)};
  for (ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || !(i->ifa_flags & IFF_UP)) continue;
    int fam = i->ifa_addr->sa_family;
    if (fam != AF_INET && !(fam == AF_INET6 && with_ipv6)) continue;
    Endpoint e = Endpoint::FromSockaddr(i->ifa_addr);
    if (e.family == 6 && e.IsLinkLocal()) continue;
    e.port = port;
    if (std::find(out.begin(), out.end(), e) == out.end()) out.push_back(e);
  }
  ::freeifaddrs(list);
  if (out.empty()) out.push_back(Endpoint::Loopback4(port));
  return out;
}

bool IsLocalPeer(const Endpoint& peer, const std::vector<Endpoint>& local) {
  if (peer.IsLoopback()) return true;
  return std::any_of(local.begin(), local.end(),
                     [&](const Endpoint& l) { return l.SameAddress(peer); });
}

std::vector<Endpoint> ConnectOrder(const std::vector<Endpoint>& advertised,
                                   const std::optional<Endpoint>& via,
                                   const std::vector<Endpoint>& local) {
  bool all_loopback = std::all_of(advertised.begin(), advertised.end(),
                                  [](const Endpoint& e) { return e.IsLoopback(); });
  bool same_host =
      all_loopback || std::any_of(advertised.begin(), advertised.end(), [&](const Endpoint& e) {
        return !e.IsLoopback() && IsLocalPeer(e, local);
      });
  std::vector<Endpoint> out;
  auto add = [&out](const Endpoint& e) {
    if (std::find(out.begin(), out.end(), e) == out.end()) out.push_back(e);
  };
  if (via) add(*via);
  auto add_if = [&](auto pred) {
    for (const auto& e : advertised)
      if (pred(e)) add(e);
  };
  if (same_host) add_if([](const Endpoint& e) { return e.IsLoopback(); });
  add_if([](const Endpoint& e) { return !e.IsLoopback() && e.family == 4 && !e.IsLinkLocal(); });
  add_if([](const Endpoint& e) { return !e.IsLoopback() && e.family == 6; });
  add_if([](const Endpoint& e) { return e.family == 4 && e.IsLinkLocal(); });
  return out;
}

std::vector<Endpoint> ResolveHost(std::string_view host, uint16_t port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  std::string name(host);
  int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &res);
  if (rc != 0) throw Error({"cannot resolve host", name, ::gai_strerror(rc)});
  std::vector<Endpoint> v4, v6;
  for (addrinfo* a = res; a != nullptr; a = a->ai_next) {
    if (a->ai_family != AF_INET && a->ai_family != AF_INET6) continue;
    Endpoint e = Endpoint::FromSockaddr(a->ai_addr);
    e.port = port;
    auto& list = e.family == 4 ? v4 : v6;
    if (std::find(list.begin(), list.end(), e) == list.end()) list.push_back(e);
  }
  ::freeaddrinfo(res);
  v4.insert(v4.end(), v6.begin(), v6.end());
  if (v4.empty()) throw Error({"cannot resolve host", name, "no IP address"});
  return v4;
}

}  // namespace NetObj
