// Throws malformed traffic at a listening runtime (an owner or an agent) over raw sockets, the
// way a confused or hostile peer would: random bytes, oversized and lying headers, truncated
// frames, frames of the wrong kind, well-formed frames with random bodies. Returns the atoms of
// the error replies received, one list per connection that got one.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "netobj/NetObj.h"
#include "netobj/wire/Socket.h"

namespace TestNetObj {

std::vector<NetObj::AtomList> ThrowGarbageAt(uint16_t port, uint32_t seed);

// Sends `bytes` on a fresh connection and returns the atoms of an error reply, or an empty
// list when the peer closed without one.
NetObj::AtomList SendRaw(uint16_t port, const std::vector<uint8_t>& bytes);

// Whether the peer ends the connection (or resets it) within `limit`, whatever it sends first.
bool EndedWithin(const NetObj::Socket& s, std::chrono::milliseconds limit);

}  // namespace TestNetObj
