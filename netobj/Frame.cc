// Frame headers and reading whole frames.
#include "netobj/Frame.h"

#include <algorithm>
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

void FrameReader::Fill(const Socket& s, const std::string& peer, std::size_t need) {
  if (begin_ > 0 && begin_ + need > buf_.size()) {
    std::memmove(buf_.data(), buf_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  while (end_ - begin_ < need) {
    std::size_t k = s.RecvSome(buf_.data() + end_, buf_.size() - end_, peer);
    if (k == 0) {
      if (!got_bytes_) throw Rd::Failure({"connection closed by peer", peer});
      throw Rd::Failure({"connection closed by peer", peer, "message truncated"});
    }
    got_bytes_ = true;
    end_ += k;
  }
}

FrameHeader FrameReader::Read(const Socket& s, const std::string& peer,
                              std::vector<uint8_t>* body) {
  got_bytes_ = end_ > begin_;
  Fill(s, peer, kHeaderSize);
  FrameHeader h = DecodeHeader(buf_.data() + begin_);
  begin_ += kHeaderSize;
  body->resize(h.length);
  std::size_t have = std::min<std::size_t>(end_ - begin_, h.length);
  if (have > 0) std::memcpy(body->data(), buf_.data() + begin_, have);
  begin_ += have;
  if (begin_ == end_) begin_ = end_ = 0;
  while (have < h.length) {
    std::size_t k = s.RecvSome(body->data() + have, h.length - have, peer);
    if (k == 0) throw Rd::Failure({"connection closed by peer", peer, "message truncated"});
    have += k;
  }
  return h;
}

}  // namespace NetObj
