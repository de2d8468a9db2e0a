// How a network object is named on the wire: the owner's space (a random 64-bit id chosen per
// runtime instance), the object's number in that space, the owner's remote types from most to
// least specific, and every address the owner listens on. A reference written by the owner
// itself also carries the owner's epoch for the receiver: the owner counted this send as a
// holding of the receiver under that epoch (see ExportTable). Zero means "not counted": the
// receiver registers with the owner before it relies on the object. Plain values;
// thread-compatible.
//
// Header only.
#pragma once

#include <compare>
#include <cstdint>
#include <string>
#include <vector>

#include "netobj/wire/Endpoint.h"

namespace NetObj {

// Space 0 is nobody's: a call addressed to space 0 reaches a well-known object of whichever
// runtime listens at the address (the agent's object is found this way).
struct WireId {
  uint64_t space = 0;
  uint64_t object = 0;
  auto operator<=>(const WireId&) const = default;
};

struct WireIdHash {
  std::size_t operator()(const WireId& w) const {
    return std::hash<uint64_t>()(w.space * 0x9e3779b97f4a7c15ull ^ w.object);
  }
};

struct ObjectRef {
  WireId id;
  std::vector<std::string> types;
  std::vector<Endpoint> endpoints;
  uint64_t epoch = 0;
};

// Bounds on a received reference, checked before anything is stored.
inline constexpr std::size_t kMaxTypes = 32;
inline constexpr std::size_t kMaxTypeName = 255;
inline constexpr std::size_t kMaxEndpoints = 32;

}  // namespace NetObj
