// Framing: one message is a checked header plus a body of announced length. The header is
// checked (magic, version, kind, DataFormat, length limit) before any of the body is read or
// stored; FrameAssembler reads frames from a byte source. Implemented in Frame.cc. Pure functions:
// thread-safe.
#pragma once

#include <cstdint>

#include "netobj/wire/Values.h"
#include "netobj/wire/WireFormat.h"

namespace NetObj {

struct FrameHeader {
  MessageKind kind = MessageKind::kCall;
  DataFormat format;
  uint32_t length = 0;
};

// The header arrived but breaks the rules; the stream cannot be trusted past it.
class MalformedFrame : public Rd::Failure {
 public:
  using Rd::Failure::Failure;
};

// Writes the 16 header bytes at `out`.
void EncodeHeader(const FrameHeader& h, uint8_t* out);
// Checks and decodes 16 header bytes; throws MalformedFrame.
FrameHeader DecodeHeader(const uint8_t* in);

}  // namespace NetObj
