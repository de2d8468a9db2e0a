// What the surrogate methods of both stub units share: the protocol version, the integer range,
// the runtime's frame around one call (netobj/OpenedCall.h), and the reply code check.
//
// Thread safety: constants and stateless functions.
#pragma once

#include <cstdint>

#include "netobj/NetObj.h"
#include "netobj/OpenedCall.h"

namespace FractalNetObj::StubSupport {

// The protocol version both stub units speak, sent with every call and required of every request.
inline constexpr int32_t kStubProtocol = 1;

// Integers cross as 32-bit signed values; the stubs narrow nothing further.
inline constexpr int32_t kLowest = INT32_MIN;
inline constexpr int32_t kHighest = INT32_MAX;

using NetObj::ConvertingFailures;
using NetObj::OpenedCall;

// Reads a reply code and refuses every code but OK (0).
inline void ExpectReplyOk(NetObj::CallConnection& c, NetObj::DataFormat rep) {
  if (NetObj::GetInt32(c, rep, kLowest, kHighest) != 0) NetObj::FailBadData();
}

}  // namespace FractalNetObj::StubSupport
