// Which addresses this host has, which of a remote object's addresses to try and in what order,
// and host-name resolution. A reference carries every address its owner listens on; the
// receiver tries, in order: the address it actually reached the owner at (when the reference
// came from its owner), loopback when the owner is on this host, then the owner's other IPv4
// and IPv6 addresses. Loopback addresses of another host are never tried: they would reach a
// different process here.
//
// Implemented in Addresses.cc. Thread-safe: pure functions (the system calls they make are
// thread-safe).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "netobj/wire/Endpoint.h"

namespace NetObj {

// Every address of this host's interfaces that are up, loopback included; `port` filled in.
// IPv6 link-local addresses are left out: they mean nothing without the interface.
std::vector<Endpoint> LocalAddresses(uint16_t port, bool with_ipv6);

// The order in which to try a reference's addresses. `local` is LocalAddresses of this host.
std::vector<Endpoint> ConnectOrder(const std::vector<Endpoint>& advertised,
                                   const std::optional<Endpoint>& via,
                                   const std::vector<Endpoint>& local);

// Every address of `host` (IPv4 first) with `port`. Throws NetObj::Error
// ("cannot resolve host", host, reason).
std::vector<Endpoint> ResolveHost(std::string_view host, uint16_t port);

// Whether a peer at `peer` runs on this host.
bool IsLocalPeer(const Endpoint& peer, const std::vector<Endpoint>& local);

}  // namespace NetObj
