// Incremental frame assembly.
#include "netobj/wire/FrameAssembler.h"

#include <algorithm>
#include <cstring>

namespace NetObj {

namespace {
// Bodies this much longer than the buffer are read straight into their own storage.
constexpr std::size_t kFirstBodyChunk = 64 * 1024;
// Enough for a short message to arrive in one system call.
constexpr std::size_t kBufferSize = 8192;
}  // namespace

void FrameAssembler::GrowBody(std::size_t at_least) {
  // Doubling, capped by what was announced: storage never runs ahead of the received bytes by
  // more than their own size (or the first chunk).
  std::size_t want = std::max({at_least, body_have_ * 2, std::min(kFirstBodyChunk, at_least * 2)});
  body_.resize(std::min<std::size_t>(want, header_.length));
}

void FrameAssembler::MakeBuffer() {
  if (buf_.empty()) buf_.resize(kBufferSize);
}

bool FrameAssembler::Parse() {
  if (!have_header_) {
    if (end_ - begin_ < kHeaderSize) return false;
    header_ = DecodeHeader(buf_.data() + begin_);
    begin_ += kHeaderSize;
    have_header_ = true;
    body_have_ = 0;
    body_.clear();
  }
  std::size_t n = std::min(end_ - begin_, BodyMissing());
  if (n > 0) {
    if (body_.size() < body_have_ + n) GrowBody(body_have_ + n);
    std::memcpy(body_.data() + body_have_, buf_.data() + begin_, n);
    body_have_ += n;
    begin_ += n;
  }
  if (begin_ == end_) begin_ = end_ = 0;
  return BodyMissing() == 0;
}

FrameAssembler::Got FrameAssembler::Pump(ByteSource& s, const std::string& peer, Wait wait) {
  MakeBuffer();
  bool may_block = wait != Wait::kNever;
  for (;;) {
    if (Parse()) return Got::kFrame;
    std::optional<std::size_t> k;
    if (have_header_ && BodyMissing() > buf_.size()) {
      if (body_.size() == body_have_) GrowBody(body_have_ + 1);
      k = s.Receive(body_.data() + body_have_, body_.size() - body_have_, peer, may_block);
      if (k) body_have_ += *k;
    } else {
      if (end_ == buf_.size()) {  // only a header's worth can be left over here
        std::memmove(buf_.data(), buf_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
      }
      k = s.Receive(buf_.data() + end_, buf_.size() - end_, peer, may_block);
      if (k) end_ += *k;
    }
    if (!k) return Got::kWouldBlock;
    if (*k == 0) {
      if (!started()) return Got::kClosed;
      throw Rd::Failure({"connection closed by peer", peer, "message truncated"});
    }
    may_block = wait == Wait::kAlways;
  }
}

FrameHeader FrameAssembler::Read(ByteSource& s, const std::string& peer,
                                 std::vector<uint8_t>* body) {
  switch (Pump(s, peer, Wait::kAlways)) {
    case Got::kFrame:
      return Take(body);
    case Got::kClosed:
      throw Rd::Failure({"connection closed by peer", peer});
    case Got::kWouldBlock:
      break;
  }
  throw Rd::Failure({"read timed out", peer});
}

FrameAssembler::Got FrameAssembler::Deliver(std::span<const uint8_t>* bytes) {
  MakeBuffer();
  for (;;) {
    if (Parse()) return Got::kFrame;
    if (bytes->empty()) return Got::kWouldBlock;
    if (end_ == buf_.size()) {
      std::memmove(buf_.data(), buf_.data() + begin_, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
    }
    std::size_t n = std::min(bytes->size(), buf_.size() - end_);
    std::memcpy(buf_.data() + end_, bytes->data(), n);
    end_ += n;
    *bytes = bytes->subspan(n);
  }
}

FrameHeader FrameAssembler::Take(std::vector<uint8_t>* body) {
  body_.resize(body_have_);
  std::swap(*body, body_);
  have_header_ = false;
  body_have_ = 0;
  return header_;
}

}  // namespace NetObj
