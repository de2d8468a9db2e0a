// The plain channel's transfers: straight through to the socket.
#include "netobj/PlainChannel.h"

namespace NetObj {

void PlainChannel::Send(std::span<const uint8_t> frame, bool dont_wait) {
  sock_.SendAll(frame.data(), frame.size(), peer_text_, dont_wait);
}

FrameHeader PlainChannel::ReadFrame(std::vector<uint8_t>* body) {
  return frames_.Read(sock_, peer_text_, body);
}

FrameAssembler::Got PlainChannel::Pump(FrameAssembler::Wait wait) {
  return frames_.Pump(sock_, peer_text_, wait);
}

}  // namespace NetObj
