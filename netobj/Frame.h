// Framing: one message is a checked header plus a body of announced length. FrameReader reads
// whole frames from a socket through a small buffer, so a short message costs one system call;
// it checks the header (magic, version, kind, DataFormat, length limit) before reading or
// allocating the body.
//
// Ownership: a FrameReader belongs to one connection and is used by one thread at a time.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "netobj/Socket.h"
#include "netobj/WireFormat.h"

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

class FrameReader {
 public:
  // Reads the next frame; the body replaces the contents of `body`. Throws Rd::Failure.
  FrameHeader Read(const Socket& s, const std::string& peer, std::vector<uint8_t>* body);
  // Whether any byte of the frame being read (or last read) arrived.
  bool got_bytes() const { return got_bytes_; }
  void Reset() { begin_ = end_ = 0; }

 private:
  void Fill(const Socket& s, const std::string& peer, std::size_t need);

  std::array<uint8_t, 8192> buf_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  bool got_bytes_ = false;
};

}  // namespace NetObj
