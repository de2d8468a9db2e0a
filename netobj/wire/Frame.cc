// Frame headers.
#include "netobj/wire/Frame.h"

#include <cstring>

namespace NetObj {

void EncodeHeader(const FrameHeader& h, uint8_t* out) {
  std::memcpy(out, kMagic, 4);
  out[4] = kWireVersion;
  out[5] = static_cast<uint8_t>(h.kind);
  out[6] = out[7] = 0;
  std::memcpy(out + 8, h.format.bytes.data(), 4);
  out[12] = static_cast<uint8_t>(h.length >> 24);
  out[13] = static_cast<uint8_t>(h.length >> 16);
  out[14] = static_cast<uint8_t>(h.length >> 8);
  out[15] = static_cast<uint8_t>(h.length);
}

FrameHeader DecodeHeader(const uint8_t* in) {
  if (std::memcmp(in, kMagic, 4) != 0) throw MalformedFrame({"malformed message", "bad magic"});
  if (in[4] != kWireVersion) throw MalformedFrame({"malformed message", "unsupported version"});
  if (in[5] < 1 || in[5] > 3 || in[6] != 0 || in[7] != 0)
    throw MalformedFrame({"malformed message", "unknown message kind"});
  FrameHeader h;
  h.kind = static_cast<MessageKind>(in[5]);
  std::memcpy(h.format.bytes.data(), in + 8, 4);
  if (!IsValidDataFormat(h.format))
    throw MalformedFrame({"malformed message", "unknown data format"});
  h.length = (uint32_t{in[12]} << 24) | (uint32_t{in[13]} << 16) | (uint32_t{in[14]} << 8) | in[15];
  if (h.length > kMaxMessage) throw MalformedFrame({"malformed message", "message too long"});
  return h;
}

}  // namespace NetObj
