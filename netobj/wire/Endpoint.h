// An IPv4 or IPv6 address with a TCP port, as it travels inside object references and as the
// socket layer connects to it. A plain value: copy it freely; no method blocks or shares state.
//
// Implemented in Endpoint.cc.
#pragma once

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <string>

namespace NetObj {

struct Endpoint {
  uint8_t family = 4;              // 4 or 6
  std::array<uint8_t, 16> addr{};  // network byte order; IPv4 uses the first 4 bytes
  uint16_t port = 0;               // host byte order

  static Endpoint FromSockaddr(const sockaddr* sa);
  static Endpoint Loopback4(uint16_t port);
  // Fills `out` and returns its length.
  socklen_t ToSockaddr(sockaddr_storage* out) const;
  std::string ToString() const;  // "127.0.0.1:7917", "[::1]:7917"
  std::size_t AddressLength() const { return family == 4 ? 4 : 16; }
  bool IsLoopback() const;
  bool IsLinkLocal() const;
  bool SameAddress(const Endpoint& o) const;
  bool operator==(const Endpoint& o) const { return SameAddress(o) && port == o.port; }
};

}  // namespace NetObj
