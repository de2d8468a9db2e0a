// A channel that is the TCP socket as it is: frames go out in one send and are assembled from
// the socket's own bytes.
//
// Implemented in PlainChannel.cc. Ownership: owns the socket and its frame assembler. Not
// thread-safe (Channel.h): Shutdown alone may come from another thread.
#pragma once

#include <string>

#include "netobj/Channel.h"
#include "netobj/wire/FrameAssembler.h"
#include "netobj/wire/Socket.h"

namespace NetObj {

class PlainChannel final : public Channel {
 public:
  // `peer_text` names the peer in failures.
  PlainChannel(Socket s, std::string peer_text)
      : sock_(std::move(s)), peer_text_(std::move(peer_text)) {}

  const std::string& peer_text() const override { return peer_text_; }
  int fd() const override { return sock_.fd(); }
  void Send(std::span<const uint8_t> frame, bool dont_wait) override;
  FrameHeader ReadFrame(std::vector<uint8_t>* body) override;
  FrameAssembler::Got Pump(FrameAssembler::Wait wait) override;
  FrameHeader TakeFrame(std::vector<uint8_t>* body) override { return frames_.Take(body); }
  bool frame_started() const override { return frames_.started(); }
  uint32_t frame_announced() const override { return frames_.announced(); }
  std::optional<int> IncomingCpu() const override { return sock_.IncomingCpu(); }
  void Shutdown() override { sock_.ShutdownBoth(); }

 private:
  Socket sock_;
  std::string peer_text_;
  FrameAssembler frames_;
};

}  // namespace NetObj
