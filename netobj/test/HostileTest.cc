// Hostile peers against a serving runtime: a thousand connections that send nothing, senders of
// one byte a second, and requests that announce more than they carry. Other callers' calls keep
// succeeding, with their latency measured (and printed) rather than asserted; the owner's
// threads stay few, because a connection costs a thread only while a whole request is served.
// Each case runs without a cluster key and with one; with a key, a TLS handshake is one more
// thing a peer can send slowly, and it too is done on the polling thread, holding no worker.
#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/ssl.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <thread>

#include "netobj/Runtime.h"
#include "netobj/test/Garbage.h"
#include "netobj/test/TestKeys.h"
#include "netobj/test/TestService.h"
#include "netobj/wire/Frame.h"
#include "netobj/wire/FrameAssembler.h"
#include "netobj/wire/Message.h"
#include "netobj/wire/Socket.h"
#include "tests/support/Wait.h"

namespace {

using namespace NetObj;
using namespace TestNetObj;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test_support::WaitUntil;

int ThreadsInProcess() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  return -1;
}

// Room for both ends of every connection in this one process.
void RaiseDescriptorLimit(rlim_t want) {
  rlimit r{};
  ::getrlimit(RLIMIT_NOFILE, &r);
  if (r.rlim_cur < want) {
    r.rlim_cur = std::min(want, r.rlim_max);
    ::setrlimit(RLIMIT_NOFILE, &r);
  }
}

// The first bytes of a well-formed call, sent one at a time by a slow peer.
std::vector<uint8_t> CallFrameBytes() {
  MessageWriter w;
  w.PutU64(1), w.PutU64(0), w.PutU64(16), w.PutI32(1), w.PutU32(0), w.PutI32(0);
  auto frame = w.Seal(MessageKind::kCall);
  return std::vector<uint8_t>(frame.begin(), frame.end());
}

// The first flight of a real TLS 1.3 client: what a keyed owner sees first from every caller.
std::vector<uint8_t> ClientHelloBytes() {
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_client_method()),
                                                        SSL_CTX_free);
  if (!ctx || SSL_CTX_set_min_proto_version(ctx.get(), TLS1_3_VERSION) != 1) return {};
  std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(ctx.get()), SSL_free);
  if (!ssl) return {};
  BIO* in = BIO_new(BIO_s_mem());
  BIO* out = BIO_new(BIO_s_mem());
  SSL_set_bio(ssl.get(), in, out);  // the SSL owns both from here
  SSL_set_connect_state(ssl.get());
  SSL_connect(ssl.get());  // writes the ClientHello and waits, in vain, for the answer
  char* data = nullptr;
  long n = BIO_get_mem_data(out, &data);
  if (n <= 0) return {};
  return std::vector<uint8_t>(data, data + n);
}

struct Latencies {
  std::vector<double> ms;
  int failures = 0;
  void Print(const char* what) {
    std::sort(ms.begin(), ms.end());
    if (ms.empty()) return;
    std::printf("  %s: %zu calls, median %.2f ms, 99th %.2f ms, max %.2f ms, %d failed\n", what,
                ms.size(), ms[ms.size() / 2], ms[ms.size() * 99 / 100], ms.back(), failures);
  }
};

// Calls `service->add` for `how_long`, timing each call.
Latencies CallFor(ServiceSurrogate& service, std::chrono::milliseconds how_long) {
  Latencies l;
  Clock::time_point end = Clock::now() + how_long;
  for (int i = 0; Clock::now() < end && i < 100000; ++i) {
    Clock::time_point t0 = Clock::now();
    try {
      if (service.add(i, 1) != i + 1) ++l.failures;
    } catch (const Error& e) {
      ++l.failures;
      std::printf("  call failed: %s\n", e.what());
    }
    l.ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    std::this_thread::sleep_for(2ms);
  }
  return l;
}

class HostilePeers : public testing::TestWithParam<Keying> {
 protected:
  RuntimeOptions Options() const {
    RuntimeOptions o;
    o.key = GetParam().Setting();
    return o;
  }
};

INSTANTIATE_TEST_SUITE_P(Keys, HostilePeers, testing::Values(kNoKey, kKeyed),
                         [](const testing::TestParamInfo<Keying>& p) {
                           return KeyingName(p.param);
                         });

TEST_P(HostilePeers, IdleConnectionsAndSlowSendersDoNotStopOtherCallers) {
  constexpr int kIdle = 1000;
  constexpr int kSlow = 50;
  // With a key, senders of a ClientHello at one byte a second as well.
  const int kSlowHello = GetParam().keyed ? 20 : 0;
  RaiseDescriptorLimit(2 * (kIdle + kSlow + kSlowHello) + 512);
  RuntimeOptions oo = Options();
  oo.request_deadline = 2000ms;
  Runtime owner(oo), client(Options());
  auto impl = std::make_shared<ServiceImpl>();
  auto service = AsService(client.ObjectOf(owner.RefOf(impl)));
  Endpoint at = Endpoint::Loopback4(owner.Listen());
  int threads_before = ThreadsInProcess();

  std::vector<Socket> idle;
  for (int i = 0; i < kIdle; ++i) idle.push_back(Socket::Connect(at, 10000ms));
  std::vector<Socket> slow;
  for (int i = 0; i < kSlow; ++i) slow.push_back(Socket::Connect(at, 10000ms));
  std::vector<Socket> slow_hello;
  for (int i = 0; i < kSlowHello; ++i) slow_hello.push_back(Socket::Connect(at, 10000ms));
  const std::vector<uint8_t> hello = ClientHelloBytes();
  if (kSlowHello > 0) {
    ASSERT_GT(hello.size(), 100u) << "no ClientHello from OpenSSL";
  }
  // The slow senders: one byte a second on each connection, until the owner gives up on them.
  std::atomic<bool> stop{false};
  std::atomic<int> slow_refused{0};
  std::thread trickle([&] {
    std::vector<uint8_t> bytes = CallFrameBytes();
    std::vector<bool> done(kSlow, false);
    std::vector<bool> hello_done(kSlowHello, false);
    auto send_one = [&](const Socket& s, uint8_t byte, std::vector<bool>::reference done_here) {
      if (done_here) return;
      if (::send(s.fd(), &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT) != 1) {
        done_here = true;
        ++slow_refused;
      }
    };
    for (std::size_t k = 0; k < std::max(bytes.size(), hello.size()) && !stop; ++k) {
      for (int i = 0; i < kSlow && k < bytes.size(); ++i) send_one(slow[i], bytes[k], done[i]);
      for (int i = 0; i < kSlowHello && k < hello.size(); ++i)
        send_one(slow_hello[i], hello[k], hello_done[i]);
      for (int t = 0; t < 100 && !stop; ++t) std::this_thread::sleep_for(10ms);
    }
  });

  Latencies under_attack = CallFor(*service, 4000ms);
  int threads_during = ThreadsInProcess();
  stop = true;
  trickle.join();
  under_attack.Print("under attack");
  EXPECT_EQ(under_attack.failures, 0);
  EXPECT_GT(under_attack.ms.size(), 100u);
  std::printf(
      "  threads: %d before the attack, %d during it (1000 idle + 50 slow + %d slow "
      "ClientHello connections)\n",
      threads_before, threads_during, kSlowHello);
  // No thread per hostile connection: a few dozen at most besides the test's own.
  EXPECT_LT(threads_during - threads_before, 64);

  // The slow senders were answered and cut off by now: "request too slow" without a key; with
  // one, their plain frame is refused as soon as it shows.
  const std::string slow_refusal = GetParam().keyed ? kKeyHoldersOnly : "request too slow";
  for (Socket& s : slow) {
    s.SetRecvTimeout(5000ms);
    FrameAssembler frames;
    std::vector<uint8_t> body;
    try {
      FrameHeader h = frames.Read(s, "slow", &body);
      MessageReader in(body, h.format);
      in.GetU64();
      in.GetU32();
      EXPECT_EQ(in.GetString(100), slow_refusal);
    } catch (const Rd::Failure& e) {
      ADD_FAILURE() << "no refusal: " << e.what();
    }
  }
  // A handshake slower than the deadline is given up: the owner ends the connection.
  for (Socket& s : slow_hello) EXPECT_TRUE(EndedWithin(s, 5000ms));
  std::printf("  owner holds %zu connections after the slow ones were cut off\n",
              owner.open_serving_connections());
}

TEST_P(HostilePeers, AtTheConnectionLimitTheIdleMakeRoomAndTheBusyAreRefused) {
  RuntimeOptions oo = Options();
  oo.max_serving_connections = 8;
  Runtime owner(oo), client(Options()), other(Options());
  auto impl = std::make_shared<ServiceImpl>();
  auto service = AsService(client.ObjectOf(owner.RefOf(impl)));
  Endpoint at = Endpoint::Loopback4(owner.Listen());
  std::vector<Socket> idle;
  for (int i = 0; i < 50; ++i) idle.push_back(Socket::Connect(at, 1000ms));
  // Idle connections make way: calls succeed, each on a connection that may have been evicted
  // since the last (the caller retries once, transparently).
  for (int i = 0; i < 20; ++i) {
    idle.push_back(Socket::Connect(at, 1000ms));
    EXPECT_EQ(service->add(i, i), 2 * i);
  }
  EXPECT_LE(owner.open_serving_connections(), 8u + 1u);
  // Eight calls that block fill every place; the next caller is refused, clearly.
  std::vector<std::future<int>> blocked;
  std::vector<std::shared_ptr<ServiceSurrogate>> callers;
  std::vector<std::unique_ptr<Runtime>> runtimes;
  for (int i = 0; i < 8; ++i) {
    runtimes.push_back(std::make_unique<Runtime>(Options()));
    callers.push_back(AsService(runtimes.back()->ObjectOf(owner.RefOf(impl))));
    blocked.push_back(std::async(std::launch::async, [s = callers.back()] { return s->wait(); }));
    WaitUntil([&] { return impl->waiting() > i; }, 2500ms, 5ms);
  }
  ASSERT_EQ(impl->waiting(), 8);
  auto refused = AsService(other.ObjectOf(owner.RefOf(impl)));
  try {
    refused->add(1, 1);
    ADD_FAILURE() << "not refused";
  } catch (const Error& e) {
    ASSERT_EQ(e.atoms().size(), 3u) << "keyed or not, the refusal says why and names the peer";
    EXPECT_EQ(e.atoms()[0], "server busy");
    EXPECT_EQ(e.atoms()[1], "too many connections");
  }
  impl->OpenGate();
  for (auto& f : blocked) EXPECT_EQ(f.get(), 1);
  EXPECT_EQ(refused->add(2, 3), 5);
}

// A call whose array announces 2^30 elements (4 GiB) in a message of a few bytes is answered
// with an error; the owner keeps serving.
TEST(HostilePeers, AnArrayAnnouncingFourGibibytesIsRefused) {
  Runtime owner, client;
  auto impl = std::make_shared<ServiceImpl>();
  auto service = AsService(client.ObjectOf(owner.RefOf(impl)));
  ObjectRef ref = owner.RefOf(impl);
  MessageWriter w;
  w.PutU64(client.space_id()), w.PutU64(ref.id.space), w.PutU64(ref.id.object), w.PutI32(1);
  w.PutU32(0);  // no releases
  w.PutI32(1);  // echo
  w.PutU8(3);   // an integer array
  w.PutI32(1 << 16), w.PutI32(1 << 14);
  w.PutI32(0);
  auto frame = w.Seal(MessageKind::kCall);
  Endpoint at = Endpoint::Loopback4(owner.Listen());
  Socket s = Socket::Connect(at, 1000ms);
  s.SetRecvTimeout(5000ms);
  s.SendAll(frame.data(), frame.size(), "owner");
  FrameAssembler frames;
  std::vector<uint8_t> body;
  FrameHeader h = frames.Read(s, "owner", &body);
  ASSERT_EQ(h.kind, MessageKind::kError);
  MessageReader in(body, h.format);
  in.GetU64();
  ASSERT_EQ(in.GetU32(), 2u);
  EXPECT_EQ(in.GetString(100), "malformed message");
  EXPECT_EQ(in.GetString(100), "array larger than message");
  EXPECT_EQ(service->add(1, 2), 3);
}

}  // namespace
