// The bytes of one connection, whichever side opened it: whole frames sent, frames read whole
// (blocking, for a caller awaiting its reply) or assembled from what has arrived (the polling
// thread's pump, and a worker's wait for the next request), the descriptor to poll, and the
// shutdown that wakes a thread blocked on it. Calls, the server and the lease connections see
// only this, so a channel that encrypts can stand in for the plain one: it makes its handshake
// inside its own Pump and ReadFrame (Pump reporting kWouldBlock while the handshake waits for
// the peer, so the polling thread never blocks on it), and its frame assembler reads the bytes
// it decrypted (ByteSource).
//
// Implemented by PlainChannel (the TCP socket as it is). Ownership: a channel owns its connection
// and closes it when destroyed. Not thread-safe: one thread at a time (the caller that holds the
// call, or the serving thread that holds the connection), except Shutdown, which any thread may
// call.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "netobj/wire/Frame.h"
#include "netobj/wire/FrameAssembler.h"

namespace NetObj {

class Channel {
 public:
  virtual ~Channel() = default;

  // How failures name the peer.
  virtual const std::string& peer_text() const = 0;
  // For a poller: readable when bytes, or the peer's end, arrived.
  virtual int fd() const = 0;

  // Sends the whole frame. With `dont_wait`, one the connection cannot take at once fails rather
  // than block. Throws Wr::Failure.
  virtual void Send(std::span<const uint8_t> frame, bool dont_wait) = 0;
  // Blocks until a whole frame is in; its body is swapped into *body. Throws MalformedFrame, or
  // Rd::Failure (also when the connection ends between frames).
  virtual FrameHeader ReadFrame(std::vector<uint8_t>* body) = 0;
  // Takes what has arrived, waiting as `wait` allows (FrameAssembler::Pump); after kFrame the
  // frame is taken with TakeFrame.
  virtual FrameAssembler::Got Pump(FrameAssembler::Wait wait) = 0;
  virtual FrameHeader TakeFrame(std::vector<uint8_t>* body) = 0;
  // Whether any byte of the next frame has arrived, and the body length it announced.
  virtual bool frame_started() const = 0;
  virtual uint32_t frame_announced() const = 0;

  // The CPU on which the kernel took the last packet that arrived (LocalPeerAffinity).
  virtual std::optional<int> IncomingCpu() const = 0;
  // Ends both directions, waking a thread blocked on the channel; any thread may call it.
  virtual void Shutdown() = 0;
};

}  // namespace NetObj
