// What a keyed owner lets through, in one process: a session recorded on the way and replayed
// moves nothing, and callers with another key or with none never reach the object. Each case
// counts the served object's calls, so that "refused" means the object was never called, not
// just that the caller saw an error.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "netobj/Runtime.h"
#include "netobj/test/Garbage.h"
#include "netobj/test/TestKeys.h"
#include "netobj/test/TestService.h"
#include "netobj/wire/Socket.h"
#include "tests/support/Atoms.h"

namespace {

using namespace NetObj;
using namespace TestNetObj;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class CountingService : public ServiceImpl {
 public:
  int32_t add(int32_t a, int32_t b) override {
    ++adds;
    return ServiceImpl::add(a, b);
  }
  std::atomic<int> adds{0};
};

// A reference to `obj` that leads through `via` rather than to its owner's own addresses.
ObjectRef Through(ObjectRef ref, uint16_t via) {
  ref.endpoints = {Endpoint::Loopback4(via)};
  return ref;
}

// A loopback TCP proxy in front of `to` that keeps every byte its callers sent, one recording
// per connection. One thread forwards both ways; it stops with the object.
class RecordingProxy {
 public:
  explicit RecordingProxy(uint16_t to)
      : to_(Endpoint::Loopback4(to)), listener_(Socket::Listen(0)), thread_([this] { Run(); }) {}
  ~RecordingProxy() {
    stop_ = true;
    thread_.join();
  }
  uint16_t port() const { return listener_.LocalPort(); }
  std::vector<std::vector<uint8_t>> recordings() const {
    std::lock_guard<std::mutex> lock(mu_);
    return recorded_;
  }

 private:
  struct Pair {
    Socket caller, owner;
    std::size_t recording;
    bool ended = false;
  };

  void Run() {
    std::vector<Pair> pairs;
    for (int round = 0; !stop_ && round < 1000000; ++round) {
      std::vector<pollfd> watch{{listener_.fd(), POLLIN, 0}};
      for (const Pair& p : pairs) {
        watch.push_back({p.caller.fd(), POLLIN, 0});
        watch.push_back({p.owner.fd(), POLLIN, 0});
      }
      if (::poll(watch.data(), watch.size(), 20) <= 0) continue;
      const std::size_t watched = pairs.size();
      for (std::size_t i = 0; i < watched; ++i) {
        Pair& p = pairs[i];
        p.ended = !Forward(watch[1 + 2 * i], p.caller, p.owner, &p) ||
                  !Forward(watch[2 + 2 * i], p.owner, p.caller, nullptr);
      }
      std::erase_if(pairs, [](const Pair& p) { return p.ended; });  // closing both ends
      if (watch[0].revents & POLLIN) {
        Endpoint peer;
        Socket caller = listener_.Accept(&peer);
        try {
          Socket owner = Socket::Connect(to_, 1000ms);
          std::lock_guard<std::mutex> lock(mu_);
          recorded_.emplace_back();
          pairs.push_back({std::move(caller), std::move(owner), recorded_.size() - 1});
        } catch (const Error&) {
          // The caller sees its connection close, as it would with the owner gone.
        }
      }
    }
  }

  // Passes on what `from` holds; records it when it comes from the caller. False once `from`
  // has ended.
  bool Forward(const pollfd& ready, const Socket& from, const Socket& to, const Pair* caller) {
    if ((ready.revents & (POLLIN | POLLHUP | POLLERR)) == 0) return true;
    uint8_t buf[16384];
    ssize_t n = ::recv(from.fd(), buf, sizeof(buf), MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    if (n <= 0) return false;
    if (caller != nullptr) {
      std::lock_guard<std::mutex> lock(mu_);
      auto& r = recorded_[caller->recording];
      r.insert(r.end(), buf, buf + n);
    }
    return ::send(to.fd(), buf, static_cast<std::size_t>(n), MSG_NOSIGNAL) == n;
  }

  Endpoint to_;
  Socket listener_;
  mutable std::mutex mu_;
  std::vector<std::vector<uint8_t>> recorded_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Sends `bytes` to `port` at once and reads whatever comes back; whether the owner ended the
// connection within `limit`.
bool ReplayEnds(uint16_t port, const std::vector<uint8_t>& bytes, std::chrono::milliseconds limit) {
  Socket s = Socket::Connect(Endpoint::Loopback4(port), 1000ms);
  (void)::send(s.fd(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
  return EndedWithin(s, limit);
}

// TLS 1.3 binds each session to fresh key shares: what a caller sent, sent again on a new
// connection, is no call.
TEST(KeyedOwner, ARecordedSessionReplayedChangesNothing) {
  RuntimeOptions keyed;
  keyed.key = TestKey(1);
  Runtime owner(keyed), caller(keyed);
  auto impl = std::make_shared<CountingService>();
  const uint16_t port = owner.Listen();
  std::vector<std::vector<uint8_t>> recordings;
  {
    RecordingProxy proxy(port);
    auto service = AsService(caller.ObjectOf(Through(owner.RefOf(impl), proxy.port())));
    ASSERT_TRUE(service);
    EXPECT_EQ(service->add(20, 22), 42);
    recordings = proxy.recordings();
  }
  ASSERT_EQ(impl->adds, 1);
  ASSERT_FALSE(recordings.empty());
  std::size_t bytes = 0;
  for (const auto& r : recordings) bytes += r.size();
  EXPECT_GT(bytes, 100u) << "no TLS session went through the proxy";
  for (std::size_t i = 0; i < recordings.size(); ++i) {
    SCOPED_TRACE("recording " + std::to_string(i) + ", " + std::to_string(recordings[i].size()) +
                 " bytes");
    EXPECT_TRUE(ReplayEnds(port, recordings[i], 10000ms));
    EXPECT_EQ(impl->adds, 1);
  }
  // The owner serves on, and the caller's own next call counts.
  auto direct = AsService(caller.ObjectOf(owner.RefOf(impl)));
  EXPECT_EQ(direct->add(1, 2), 3);
  EXPECT_EQ(impl->adds, 2);
}

struct CallerCase {
  const char* name;
  KeySetting key;
  bool reaches;        // the call is served
  std::string reason;  // else: why the caller says it was refused
};

// Callers of a keyed owner, with its key, with another key and with none; and a keyed caller of
// a keyless owner. Only the first reaches the object; each other fails its call with
// NetObj::Error and says on stderr which peer refused it and why.
TEST(KeyedOwner, OnlyCallersWithItsKeyReachTheObject) {
  const KeySetting owners = TestKey(1);
  const std::vector<std::pair<KeySetting, std::vector<CallerCase>>> owners_and_callers = {
      {owners,
       {{"the owner's key", TestKey(1), true, ""},
        {"another key", TestKey(2, "another test key"), false,
         "no matching cluster key (another test key)"},
        {"no key", KeySetting{}, false,
         "no matching cluster key (we hold none: set NETOBJ_KEY_FILE)"}}},
      {KeySetting{}, {{"a key, at a keyless owner", TestKey(1), false, "it holds no cluster key"}}},
  };
  for (const auto& [owner_key, callers] : owners_and_callers) {
    RuntimeOptions oo;
    oo.key = owner_key;
    Runtime owner(oo);
    const std::string peer = ":" + std::to_string(owner.Listen()) + " refused us: ";
    for (const CallerCase& c : callers) {
      SCOPED_TRACE(c.name);
      auto impl = std::make_shared<CountingService>();
      RuntimeOptions co;
      co.key = c.key;
      Runtime caller(co);
      auto service = AsService(caller.ObjectOf(owner.RefOf(impl)));
      ASSERT_TRUE(service);
      testing::internal::CaptureStderr();
      if (c.reaches) {
        EXPECT_EQ(service->add(1, 2), 3);
      } else {
        EXPECT_FALSE(test_support::AtomsOf([&] { service->add(1, 2); }).empty());
      }
      const std::string err = testing::internal::GetCapturedStderr();
      EXPECT_EQ(impl->adds, c.reaches ? 1 : 0);
      std::size_t lines = 0;
      for (std::size_t at = err.find("refused us"); at != std::string::npos && lines < 100;
           at = err.find("refused us", at + 1))
        ++lines;
      // One line however many of the owner's addresses were tried.
      EXPECT_EQ(lines, c.reaches ? 0u : 1u) << err;
      if (!c.reaches) {
        EXPECT_EQ(err.rfind("netobj: ", 0), 0u) << err;
        EXPECT_NE(err.find(peer + c.reason + "\n"), std::string::npos)
            << "stderr:\n"
            << err << "wanted: ..." << peer << c.reason;
      }
    }
  }
}

}  // namespace
