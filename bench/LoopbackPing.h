// A raw TCP ping-pong over loopback (TCP_NODELAY, blocking sockets, one send and one receive
// loop per message): the floor that any remote call of the same message sizes can approach.
// An echo thread answers each request of `requestBytes` with a reply of `replyBytes`.
//
// Ownership: owns both sockets and the echo thread, which ends with the object.
// Not thread-safe; one thread measures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <thread>
#include <vector>

namespace bench {

class LoopbackPing {
 public:
  // Throws std::runtime_error when the sockets cannot be made.
  LoopbackPing(std::size_t requestBytes, std::size_t replyBytes);
  ~LoopbackPing();
  LoopbackPing(const LoopbackPing&) = delete;
  LoopbackPing& operator=(const LoopbackPing&) = delete;

  // The mean round trip of `count` ping-pongs, in microseconds; the best of `rounds` rounds.
  double BestRoundTripMicros(int count, int rounds);

 private:
  void Echo();

  std::size_t requestBytes_;
  std::size_t replyBytes_;
  int listener_ = -1;
  int caller_ = -1;
  int callee_ = -1;
  std::jthread echo_;
};

}  // namespace bench
