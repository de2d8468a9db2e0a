// Assembles whole frames from a byte stream that may arrive in pieces of any size, without
// blocking on a peer that sends slowly: each Pump takes what the source holds now and says
// whether a frame is complete. The header is checked (magic, version, kind, DataFormat, length
// limit) as soon as its 16 bytes are in; the body's storage grows with the bytes that actually
// arrived, never ahead of them by more than their own size, so a peer that announces a large
// body and sends little costs little memory.
//
// Implemented in FrameAssembler.cc. Ownership: belongs to one connection; reads from a
// ByteSource the connection keeps (a Socket, or what a channel makes of one). One thread at a
// time (the serving side hands a connection, with its assembler, between the polling thread and
// a worker).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "netobj/wire/ByteSource.h"
#include "netobj/wire/Frame.h"

namespace NetObj {

class FrameAssembler {
 public:
  enum class Got { kFrame, kWouldBlock, kClosed };
  // How Pump may wait: every read blocks (the calling side), only the first may block (up to
  // the source's receive time-out), or none does.
  enum class Wait { kAlways, kFirst, kNever };

  // Reads until a whole frame is in or the source has nothing more for now. kClosed: the peer
  // ended the connection between frames. Throws MalformedFrame for a bad header, Rd::Failure
  // for a connection that ended inside a frame or failed.
  Got Pump(ByteSource& s, const std::string& peer, Wait wait);
  // Blocks until a whole frame is in (the calling side); the body is swapped into *body.
  // Throws MalformedFrame, or Rd::Failure (also when the connection ends between frames).
  FrameHeader Read(ByteSource& s, const std::string& peer, std::vector<uint8_t>* body);
  // Takes bytes from the front of *bytes as if they had been received, stopping once a frame is
  // complete; the fuzz target's way in.
  Got Deliver(std::span<const uint8_t>* bytes);
  // Whether any byte of the frame being assembled has arrived.
  bool started() const { return have_header_ || end_ > begin_; }
  // The body length the frame being assembled announced (0 before its header is in).
  uint32_t announced() const { return have_header_ ? header_.length : 0; }
  // After kFrame: the frame's header; its body is swapped into *body. Assembly moves on to the
  // next frame (bytes already received for it are kept).
  FrameHeader Take(std::vector<uint8_t>* body);

 private:
  bool Parse();  // moves buffered bytes into the frame; true when it is complete
  void MakeBuffer();
  std::size_t BodyMissing() const { return header_.length - body_have_; }
  void GrowBody(std::size_t at_least);

  std::vector<uint8_t> buf_;  // made on first use: an idle connection costs none
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  bool have_header_ = false;
  FrameHeader header_;
  std::vector<uint8_t> body_;
  std::size_t body_have_ = 0;
};

}  // namespace NetObj
