// Malformed traffic for the garbage tests.
#include "netobj/test/Garbage.h"

#include <sys/socket.h>

#include <cerrno>
#include <random>

#include "netobj/wire/FrameAssembler.h"
#include "netobj/wire/Message.h"
#include "netobj/wire/Socket.h"

namespace TestNetObj {

using namespace NetObj;

AtomList SendRaw(uint16_t port, const std::vector<uint8_t>& bytes) {
  Endpoint to = Endpoint::Loopback4(port);
  Socket s = Socket::Connect(to, std::chrono::milliseconds(1000));
  s.SetRecvTimeout(std::chrono::milliseconds(2000));
  try {
    s.SendAll(bytes.data(), bytes.size(), to.ToString());
    ::shutdown(s.fd(), SHUT_WR);
    FrameAssembler frames;
    std::vector<uint8_t> body;
    FrameHeader h = frames.Read(s, to.ToString(), &body);
    if (h.kind != MessageKind::kError) return {"unexpected reply"};
    MessageReader in(body, h.format);
    in.GetU64();
    AtomList atoms(in.GetU32());
    for (auto& a : atoms) a = in.GetString(4096);
    return atoms;
  } catch (const Rd::Failure&) {
    return {};
  } catch (const Wr::Failure&) {
    return {};
  }
}

std::vector<AtomList> ThrowGarbageAt(uint16_t port, uint32_t seed) {
  std::mt19937 rng(seed);
  auto random_bytes = [&](std::size_t n) {
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
  };
  auto frame = [&](MessageKind kind, uint32_t announced, const std::vector<uint8_t>& body) {
    std::vector<uint8_t> v(kHeaderSize);
    EncodeHeader({kind, MakeDataFormat(NativeByteOrder()), announced}, v.data());
    v.insert(v.end(), body.begin(), body.end());
    return v;
  };
  std::vector<std::vector<uint8_t>> inputs;
  for (int i = 0; i < 20; ++i) inputs.push_back(random_bytes(1 + rng() % 2048));
  inputs.push_back(frame(MessageKind::kCall, kMaxMessage + 1, {}));
  inputs.push_back(frame(MessageKind::kCall, 1000, random_bytes(10)));  // truncated
  inputs.push_back(frame(MessageKind::kReply, 8, random_bytes(8)));
  for (int i = 0; i < 20; ++i) {
    std::size_t n = rng() % 64;
    inputs.push_back(frame(MessageKind::kCall, static_cast<uint32_t>(n), random_bytes(n)));
  }
  std::vector<AtomList> replies;
  for (const auto& in : inputs) {
    AtomList atoms = SendRaw(port, in);
    if (!atoms.empty()) replies.push_back(atoms);
  }
  return replies;
}

bool EndedWithin(const NetObj::Socket& s, std::chrono::milliseconds limit) {
  using Clock = std::chrono::steady_clock;
  s.SetRecvTimeout(std::chrono::milliseconds(200));
  Clock::time_point end = Clock::now() + limit;
  for (int i = 0; Clock::now() < end && i < 10000; ++i) {
    uint8_t buf[4096];
    ssize_t n = ::recv(s.fd(), buf, sizeof(buf), 0);
    if (n == 0) return true;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return true;
  }
  return false;
}

}  // namespace TestNetObj
