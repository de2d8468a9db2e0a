// Conversions between endpoints, socket addresses and their printed form.
#include "netobj/wire/Endpoint.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace NetObj {

Endpoint Endpoint::FromSockaddr(const sockaddr* sa) {
  Endpoint e;
  if (sa->sa_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(sa);
    e.family = 4;
    std::memcpy(e.addr.data(), &in->sin_addr, 4);
    e.port = ntohs(in->sin_port);
  } else if (sa->sa_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(sa);
    // A v4-mapped peer of a dual-stack listener is an IPv4 peer.
    if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr)) {
      e.family = 4;
      std::memcpy(e.addr.data(), in6->sin6_addr.s6_addr + 12, 4);
    } else {
      e.family = 6;
      std::memcpy(e.addr.data(), &in6->sin6_addr, 16);
    }
    e.port = ntohs(in6->sin6_port);
  }
  return e;
}

Endpoint Endpoint::Loopback4(uint16_t port) {
  Endpoint e;
  e.family = 4;
  e.addr[0] = 127;
  e.addr[3] = 1;
  e.port = port;
  return e;
}

socklen_t Endpoint::ToSockaddr(sockaddr_storage* out) const {
  std::memset(out, 0, sizeof(*out));
  if (family == 4) {
    auto* in = reinterpret_cast<sockaddr_in*>(out);
    in->sin_family = AF_INET;
    std::memcpy(&in->sin_addr, addr.data(), 4);
    in->sin_port = htons(port);
    return sizeof(sockaddr_in);
  }
  auto* in6 = reinterpret_cast<sockaddr_in6*>(out);
  in6->sin6_family = AF_INET6;
  std::memcpy(&in6->sin6_addr, addr.data(), 16);
  in6->sin6_port = htons(port);
  return sizeof(sockaddr_in6);
}

std::string Endpoint::ToString() const {
  char buf[INET6_ADDRSTRLEN] = {};
  inet_ntop(family == 4 ? AF_INET : AF_INET6, addr.data(), buf, sizeof(buf));
  if (family == 4) return std::string(buf) + ":" + std::to_string(port);
  return "[" + std::string(buf) + "]:" + std::to_string(port);
}

bool Endpoint::IsLoopback() const {
  if (family == 4) return addr[0] == 127;
  static constexpr std::array<uint8_t, 16> kLoop6{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  return addr == kLoop6;
}

bool Endpoint::IsLinkLocal() const {
  if (family == 4) return addr[0] == 169 && addr[1] == 254;
  return addr[0] == 0xfe && (addr[1] & 0xc0) == 0x80;
}

bool Endpoint::SameAddress(const Endpoint& o) const {
  return family == o.family && std::memcmp(addr.data(), o.addr.data(), AddressLength()) == 0;
}

}  // namespace NetObj
