// TLS channels over loopback: both ends with the key exchange frames after an (EC)DHE handshake;
// a peer with another key, a plain peer and a plain server are each refused with the reason the
// runtime's line names; the serving side's handshake never blocks its thread.
#include <gtest/gtest.h>
#include <openssl/obj_mac.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "netobj/Envelope.h"
#include "netobj/PlainChannel.h"
#include "netobj/TlsChannel.h"
#include "netobj/Transport.h"
#include "netobj/wire/Message.h"

namespace {

using namespace NetObj;
using namespace std::chrono_literals;

ClusterKey KeyOf(uint8_t fill) { return {std::vector<uint8_t>(32, fill), "test key"}; }

std::vector<uint8_t> Frame(MessageKind kind, const AtomList& atoms) {
  MessageWriter w;
  w.PutU64(7);
  PutErrorBody(w, atoms);
  std::span<const uint8_t> f = w.Seal(kind);
  return {f.begin(), f.end()};
}

// A listener and one accepted connection, pumped as the polling thread pumps: never waiting.
struct Loopback {
  Socket listener = Socket::Listen(0);
  Endpoint at = Endpoint::Loopback4(listener.LocalPort());

  Socket Accept() {
    Endpoint peer;
    return listener.Accept(&peer);
  }
};

// Pumps a serving channel without waiting until a frame is in or it fails; bounded.
FrameAssembler::Got PumpUntilFrame(Channel& c) {
  for (int i = 0; i < 500; ++i) {
    FrameAssembler::Got got = c.Pump(FrameAssembler::Wait::kNever);
    if (got != FrameAssembler::Got::kWouldBlock) return got;
    std::this_thread::sleep_for(2ms);
  }
  return FrameAssembler::Got::kWouldBlock;
}

// A calling channel on its own thread: connected, through its handshake, then sending `first`.
std::future<std::unique_ptr<TlsChannel>> StartCalling(Loopback& net,
                                                      std::shared_ptr<TlsContext> context,
                                                      std::vector<uint8_t> first) {
  return std::async(std::launch::async, [&net, context, first] {
    auto c = std::make_unique<TlsChannel>(context, Socket::Connect(net.at, 1000ms), "server",
                                          TlsChannel::Role::kCalling);
    c->Handshake(5000ms);
    c->Send(first, false);
    return c;
  });
}

TEST(TlsChannel, BothEndsWithTheKeyExchangeFramesAfterAnEcdheHandshake) {
  Loopback net;
  auto context = std::make_shared<TlsContext>(KeyOf(1));
  auto calling = StartCalling(net, context, Frame(MessageKind::kCall, {"hello"}));
  TlsChannel serving(context, net.Accept(), "client", TlsChannel::Role::kServing);
  EXPECT_TRUE(serving.frame_started()) << "a handshake to come is held to the deadline";
  std::vector<uint8_t> big(100000, 0x5a);  // several records
  ASSERT_EQ(PumpUntilFrame(serving), FrameAssembler::Got::kFrame);
  std::unique_ptr<TlsChannel> caller = calling.get();
  EXPECT_NE(serving.KeyExchangeGroup(), 0) << "the key alone (psk_ke) was used";
  EXPECT_NE(caller->KeyExchangeGroup(), 0);
  std::vector<uint8_t> body;
  FrameHeader call = serving.TakeFrame(&body);
  EXPECT_EQ(call.kind, MessageKind::kCall);
  MessageReader in(body, call.format);
  in.GetU64();
  EXPECT_EQ(GetErrorBody(in), AtomList{"hello"});

  MessageWriter w;
  w.PutBytes(big.data(), big.size());
  std::span<const uint8_t> reply = w.Seal(MessageKind::kReply);
  serving.Send(reply, false);
  FrameHeader h = caller->ReadFrame(&body);
  EXPECT_EQ(h.kind, MessageKind::kReply);
  EXPECT_EQ(body.size(), reply.size() - kHeaderSize);
}

struct Refusal {
  const char* name;
  bool serving_keyed;  // else a plain serving channel, as a runtime without a key has
  uint8_t calling_key;
  const char* reason_starts;
};

class RefusedHandshake : public ::testing::TestWithParam<Refusal> {};

TEST_P(RefusedHandshake, TheCallerIsToldWhyAndNoFrameReachesTheServer) {
  const Refusal& r = GetParam();
  Loopback net;
  auto calling_context = std::make_shared<TlsContext>(KeyOf(r.calling_key));
  auto calling = std::async(std::launch::async, [&]() -> std::string {
    TlsChannel c(calling_context, Socket::Connect(net.at, 1000ms), "server",
                 TlsChannel::Role::kCalling);
    try {
      c.Handshake(5000ms);
    } catch (const HandshakeRefused& e) {
      return e.reason();
    }
    return "handshake completed";
  });
  std::unique_ptr<Channel> serving;
  if (r.serving_keyed)
    serving = std::make_unique<TlsChannel>(std::make_shared<TlsContext>(KeyOf(1)), net.Accept(),
                                           "client", TlsChannel::Role::kServing);
  else
    serving = std::make_unique<PlainChannel>(net.Accept(), "client");
  AtomList rejected;
  FrameAssembler::Got got = FrameAssembler::Got::kWouldBlock;
  try {
    got = PumpUntilFrame(*serving);
  } catch (const MalformedFrame& e) {
    rejected = e.atoms();  // the plain server answers, as its session would
    serving->Send(Frame(MessageKind::kError, rejected), true);
  } catch (const Rd::Failure&) {
  }
  std::string reason = calling.get();
  EXPECT_EQ(reason.rfind(r.reason_starts, 0), 0u) << reason;
  EXPECT_NE(got, FrameAssembler::Got::kFrame);
}

INSTANTIATE_TEST_SUITE_P(
    Peers, RefusedHandshake,
    ::testing::Values(Refusal{"AnotherKey", true, 2, "no matching cluster key (test key)"},
                      Refusal{"PlainServer", false, 1, "it holds no cluster key"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TlsChannel, APlainPeerIsAnsweredPlainlyAndItsBytesNeverFormAFrame) {
  Loopback net;
  Socket plain = Socket::Connect(net.at, 1000ms);
  std::vector<uint8_t> call = Frame(MessageKind::kCall, {"let me in"});
  plain.SendAll(call.data(), call.size(), "server");
  TlsChannel serving(std::make_shared<TlsContext>(KeyOf(1)), net.Accept(), "client",
                     TlsChannel::Role::kServing);
  AtomList atoms;
  try {
    PumpUntilFrame(serving);
  } catch (const MalformedFrame& e) {
    atoms = e.atoms();
  }
  ASSERT_EQ(atoms, AtomList{kOnlyKeyHolders});
  serving.Send(Frame(MessageKind::kError, atoms), true);
  FrameAssembler frames;
  std::vector<uint8_t> body;
  EXPECT_EQ(frames.Read(plain, "server", &body).kind, MessageKind::kError);
}

TEST(TlsChannel, ASilentPeerLeavesTheServingSideWaitingNotBlocked) {
  Loopback net;
  Socket silent = Socket::Connect(net.at, 1000ms);
  TlsChannel serving(std::make_shared<TlsContext>(KeyOf(1)), net.Accept(), "client",
                     TlsChannel::Role::kServing);
  EXPECT_EQ(serving.Pump(FrameAssembler::Wait::kNever), FrameAssembler::Got::kWouldBlock);
  uint8_t half_hello[] = {0x16, 0x03, 0x01, 0x00};
  silent.SendAll(half_hello, sizeof(half_hello), "server");
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(serving.Pump(FrameAssembler::Wait::kNever), FrameAssembler::Got::kWouldBlock);
  EXPECT_TRUE(serving.frame_started());
  silent.Close();
  std::this_thread::sleep_for(20ms);
  EXPECT_THROW(serving.Pump(FrameAssembler::Wait::kNever), Rd::Failure);
}

// A key holder that spreads a record over many receive time-outs keeps a waiting worker no
// longer than one: the connection goes back to the polling thread as a request arriving.
TEST(TlsChannel, AWaitOnATrickledRecordEndsAfterOneReceiveTimeOut) {
  Loopback net;
  auto context = std::make_shared<TlsContext>(KeyOf(1));
  auto calling = StartCalling(net, context, Frame(MessageKind::kCall, {"first"}));
  Socket accepted = net.Accept();
  accepted.SetRecvTimeout(200ms);
  TlsChannel serving(context, std::move(accepted), "client", TlsChannel::Role::kServing);
  ASSERT_EQ(PumpUntilFrame(serving), FrameAssembler::Got::kFrame);
  std::vector<uint8_t> body;
  serving.TakeFrame(&body);
  std::unique_ptr<TlsChannel> caller = calling.get();

  constexpr int kBytes = 12;
  std::atomic<int> sent{0};
  std::atomic<bool> stop{false};
  std::thread trickle([&] {
    const uint8_t header[] = {0x00, 0x00, 0x00, 0x64};  // a 100-byte record
    ::send(caller->fd(), header, sizeof(header), MSG_NOSIGNAL);
    for (int i = 0; i < kBytes && !stop; ++i) {
      std::this_thread::sleep_for(150ms);
      uint8_t b = 0;
      ::send(caller->fd(), &b, 1, MSG_NOSIGNAL);
      ++sent;
    }
  });
  FrameAssembler::Got got = serving.Pump(FrameAssembler::Wait::kFirst);
  int sent_by_then = sent;
  stop = true;
  trickle.join();
  EXPECT_EQ(got, FrameAssembler::Got::kWouldBlock);
  EXPECT_TRUE(serving.frame_started());
  EXPECT_LE(sent_by_then, 4) << "the wait went on while bytes kept trickling in";
}

}  // namespace
