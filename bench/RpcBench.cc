// A null remote call through the runtime against a raw TCP ping-pong of the same message sizes,
// both over loopback with TCP_NODELAY, measured in the same run, alternating rounds. Prints the
// per-call times and, last, "rpc: <runtime time / raw time>" from the best round of each.
//
//   rpc_bench [--key] [calls-per-round [rounds]]
//
// With --key both runtimes hold the same cluster key, so the call goes over a keyed connection
// (a TLS 1.3 handshake, then records sealed with its keys) while the baseline stays plain TCP:
// the figure, printed as "rpc-key: <ratio>", is then what the key costs a call on top of the
// runtime. The connection is pooled, so its one handshake falls in
// the warm-up; the accepted connections are printed to show that no round paid another.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <thread>
#include <vector>

#include "netobj/NetObj.h"
#include "netobj/OpenedCall.h"
#include "netobj/Runtime.h"
#include "netobj/wire/Socket.h"
#include "netobj/wire/WireFormat.h"

namespace {

using namespace NetObj;
using Clock = std::chrono::steady_clock;

constexpr int32_t kProt = 1;

class Null : public T {
 public:
  virtual void ping() = 0;
  std::span<const std::string_view> RemoteTypes() const override {
    static constexpr std::string_view kTypes[] = {"Bench.Null", "NetObj.T"};
    return kTypes;
  }
};

class NullImpl : public Null {
 public:
  void ping() override {}
};

class NullSurrogate : public Null {
 public:
  void ping() override {
    ConvertingFailures([&] {
      OpenedCall call(*this, kProt);
      CallConnection& c = call.connection();
      PutInt32(c, 0);
      DataFormat rep = WaitForReply(c);
      if (GetInt32(c, rep, std::numeric_limits<int32_t>::min(),
                   std::numeric_limits<int32_t>::max()) != 0)
        FailBadData();
      call.Finish();
    });
  }
};

void Invoke(CallConnection& c, T& obj, DataFormat rep, int32_t prot) {
  if (prot != kProt) FailBadData();
  if (GetInt32(c, rep, 0, 0) != 0) FailBadData();
  dynamic_cast<Null&>(obj).ping();
  BeginReply(c);
  PutInt32(c, 0);
}

std::shared_ptr<T> MakeSurrogate() { return std::make_shared<NullSurrogate>(); }

// Sizes of the runtime's null call: frame header, caller's space, callee's space and object,
// stub protocol, an empty release section, method code; the reply: header, replier's space,
// reply code.
constexpr std::size_t kRequestSize = kHeaderSize + 8 + 8 + 8 + 4 + 4 + 4;
constexpr std::size_t kReplySize = kHeaderSize + 8 + 4;

void ReadExact(int fd, uint8_t* p, std::size_t n) {
  while (n > 0) {
    ssize_t k = ::recv(fd, p, n, 0);
    if (k <= 0) std::exit(2);
    p += k;
    n -= static_cast<std::size_t>(k);
  }
}

void WriteAll(int fd, const uint8_t* p, std::size_t n) {
  if (::send(fd, p, n, MSG_NOSIGNAL) != static_cast<ssize_t>(n)) std::exit(2);
}

double RawRound(int fd, int calls) {
  uint8_t req[kRequestSize] = {1}, rep[kReplySize];
  auto t0 = Clock::now();
  for (int i = 0; i < calls; ++i) {
    WriteAll(fd, req, sizeof(req));
    ReadExact(fd, rep, sizeof(rep));
  }
  return std::chrono::duration<double, std::micro>(Clock::now() - t0).count() / calls;
}

double RpcRound(Null& s, int calls) {
  auto t0 = Clock::now();
  for (int i = 0; i < calls; ++i) s.ping();
  return std::chrono::duration<double, std::micro>(Clock::now() - t0).count() / calls;
}

// A key of the runtime's own: both ends get the same value, as hosts sharing one key file would.
// No file is needed for that, and the file's checks are not what is measured.
KeySetting BenchKey() {
  ClusterKey key;
  key.source = "rpc_bench";
  std::random_device random;
  for (std::size_t i = 0; i < kMinKeyBytes; ++i)
    key.secret.push_back(static_cast<uint8_t>(random()));
  return KeySetting{std::move(key), {}};
}

}  // namespace

int main(int argc, char** argv) {
  bool keyed = false;
  std::vector<int> numbers;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--key") == 0)
      keyed = true;
    else
      numbers.push_back(std::atoi(argv[i]));
  }
  int calls = numbers.size() > 0 ? numbers[0] : 20000;
  int rounds = numbers.size() > 1 ? numbers[1] : 7;
  if (calls < 1 || rounds < 1 || numbers.size() > 2) {
    std::fprintf(stderr, "usage: rpc_bench [--key] [calls-per-round [rounds]]\n");
    return 2;
  }
  RegisterStubs("Bench.Null", kProt, &MakeSurrogate, &Invoke);

  // The raw baseline: an echo thread answering each request with a reply of the same size.
  Socket listener = Socket::Listen(0);
  std::thread echo([&] {
    Endpoint peer;
    Socket s = listener.Accept(&peer);
    uint8_t req[kRequestSize], rep[kReplySize] = {2};
    for (;;) {
      std::size_t got = 0;
      while (got < sizeof(req)) {
        ssize_t k = ::recv(s.fd(), req + got, sizeof(req) - got, 0);
        if (k <= 0) return;
        got += static_cast<std::size_t>(k);
      }
      WriteAll(s.fd(), rep, sizeof(rep));
    }
  });
  Socket raw =
      Socket::Connect(Endpoint::Loopback4(listener.LocalPort()), std::chrono::milliseconds(1000));

  Runtime::Options options;
  if (keyed) options.key = BenchKey();
  Runtime owner(options), client(options);
  auto s =
      std::dynamic_pointer_cast<Null>(client.ObjectOf(owner.RefOf(std::make_shared<NullImpl>())));
  RawRound(raw.fd(), 1000);  // warm both paths
  RpcRound(*s, 1000);

  double best_raw = 1e9, best_rpc = 1e9;
  for (int r = 0; r < rounds; ++r) {
    double raw_us = RawRound(raw.fd(), calls);
    double rpc_us = RpcRound(*s, calls);
    std::printf("round %d: raw %.2f us/call, runtime %.2f us/call\n", r, raw_us, rpc_us);
    best_raw = std::min(best_raw, raw_us);
    best_rpc = std::min(best_rpc, rpc_us);
  }
  raw.ShutdownBoth();
  echo.join();
  std::printf("request %zu bytes, reply %zu bytes, %d calls per round\n", kRequestSize, kReplySize,
              calls);
  std::printf("best: raw %.2f us/call, runtime %.2f us/call\n", best_raw, best_rpc);
  if (keyed) {
    std::printf("connections the owner accepted (TLS handshakes): %llu over %d calls\n",
                static_cast<unsigned long long>(owner.accepted_connections()),
                1000 + calls * rounds);
  }
  std::printf("%s: %.2f\n", keyed ? "rpc-key" : "rpc", best_rpc / best_raw);
  return 0;
}
