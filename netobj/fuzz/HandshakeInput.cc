// Feeding a serving TLS channel over a socket pair.
#include "netobj/fuzz/HandshakeInput.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>

#include "netobj/TlsChannel.h"

namespace NetObj {

namespace {

const std::shared_ptr<const TlsContext>& FuzzContext() {
  static const auto context =
      std::make_shared<const TlsContext>(ClusterKey{std::vector<uint8_t>(32, 0x42), "fuzz key"});
  return context;
}

struct Pair {
  Socket ours, theirs;
  Pair() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) throw Error({"socketpair"});
    ours = Socket(fds[0]);
    theirs = Socket(fds[1]);
  }
};

}  // namespace

HandshakeOutcome HandshakeInput(std::span<const uint8_t> input) {
  if (input.empty()) return HandshakeOutcome::kWaiting;
  std::size_t piece = std::max<std::size_t>(1, input[0] % 64) * 16;
  input = input.subspan(1);
  Pair p;
  TlsChannel serving(FuzzContext(), std::move(p.ours), "fuzz peer", TlsChannel::Role::kServing);
  FrameAssembler::Got got = FrameAssembler::Got::kWouldBlock;
  try {
    // Pieces, each pumped as the polling thread would pump it, then the peer's end.
    for (std::size_t at = 0; at <= input.size(); at += piece) {
      std::size_t n = std::min(piece, input.size() - std::min(at, input.size()));
      if (n > 0)
        p.theirs.SendAll(input.data() + at, n, "fuzz");
      else
        ::shutdown(p.theirs.fd(), SHUT_WR);
      got = serving.Pump(FrameAssembler::Wait::kNever);
      if (got != FrameAssembler::Got::kWouldBlock) break;
      if (n == 0) break;
    }
    if (got == FrameAssembler::Got::kWouldBlock) {
      ::shutdown(p.theirs.fd(), SHUT_WR);
      got = serving.Pump(FrameAssembler::Wait::kNever);
    }
  } catch (const Rd::Failure&) {
    return HandshakeOutcome::kEnded;
  } catch (const Wr::Failure&) {
    return HandshakeOutcome::kEnded;
  }
  if (got == FrameAssembler::Got::kFrame) return HandshakeOutcome::kFrame;
  return got == FrameAssembler::Got::kClosed ? HandshakeOutcome::kEnded
                                             : HandshakeOutcome::kWaiting;
}

std::vector<uint8_t> ClientHelloForFuzzing() {
  Pair p;
  TlsChannel calling(FuzzContext(), std::move(p.ours), "fuzz server", TlsChannel::Role::kCalling);
  try {
    calling.Handshake(std::chrono::milliseconds(1));  // sends its hello, then gives up waiting
  } catch (const ConnectError&) {
  }
  std::vector<uint8_t> hello(16384);
  std::optional<std::size_t> n = p.theirs.TryRecv(hello.data(), hello.size(), "fuzz", false);
  hello.resize(n.value_or(0));
  return hello;
}

}  // namespace NetObj
