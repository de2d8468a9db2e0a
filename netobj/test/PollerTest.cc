// The watch set over a socket pair: what each way of watching reports, before and after the
// descriptor is watched again or removed, and that a wake-up ends a wait without a key of its own.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <vector>

#include "netobj/Poller.h"

namespace {

using NetObj::Poller;
using std::chrono::milliseconds;

constexpr uint64_t kKey = 7;

struct Pair {
  Pair() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fd), 0); }
  ~Pair() {
    ::close(fd[0]);
    if (fd[1] >= 0) ::close(fd[1]);
  }
  int fd[2] = {-1, -1};
};

std::vector<uint64_t> Ready(Poller& p, milliseconds timeout = milliseconds(50)) {
  uint64_t keys[8];
  std::size_t n = p.Wait(timeout, keys);
  return {keys, keys + n};
}

enum class Peer { kWrites, kHangsUp, kSilent };
enum class Then { kNothing, kWatchAgain, kRemove };

struct Case {
  const char* name;
  Poller::Watch watch;
  Peer peer;
  Then then;
  std::vector<uint64_t> first, second;
};

TEST(Poller, ReportsWhatEachWatchPromises) {
  using W = Poller::Watch;
  const std::vector<uint64_t> key{kKey}, none;
  const Case cases[] = {
      {"readable stays reported while unread", W::kReadable, Peer::kWrites, Then::kNothing, key,
       key},
      {"readable once is reported once", W::kReadableOnce, Peer::kWrites, Then::kNothing, key,
       none},
      {"watched again, reported again", W::kReadableOnce, Peer::kWrites, Then::kWatchAgain, key,
       key},
      {"a hang-up is reported", W::kReadableOnce, Peer::kHangsUp, Then::kNothing, key, none},
      {"nothing watched, nothing reported", W::kNothing, Peer::kWrites, Then::kNothing, none, none},
      {"removed, no longer reported", W::kReadable, Peer::kWrites, Then::kRemove, key, none},
      {"a silent peer is not reported", W::kReadable, Peer::kSilent, Then::kNothing, none, none},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Poller p;
    Pair s;
    p.Add(s.fd[0], kKey, c.watch);
    if (c.peer == Peer::kWrites) {
      ASSERT_EQ(::write(s.fd[1], "x", 1), 1);
    }
    if (c.peer == Peer::kHangsUp) {
      ::close(s.fd[1]);
      s.fd[1] = -1;
    }
    EXPECT_EQ(Ready(p), c.first);
    if (c.then == Then::kWatchAgain) p.Modify(s.fd[0], kKey, c.watch);
    if (c.then == Then::kRemove) p.Remove(s.fd[0]);
    EXPECT_EQ(Ready(p), c.second);
  }
}

TEST(Poller, AWakeUpEndsOneWaitAndIsNoKey) {
  using Clock = std::chrono::steady_clock;
  Poller p;
  p.Wake();
  Clock::time_point start = Clock::now();
  EXPECT_TRUE(Ready(p, milliseconds(5000)).empty());
  EXPECT_LT(Clock::now() - start, milliseconds(2500));
  // Taken by that wait: the next one waits its time out.
  start = Clock::now();
  EXPECT_TRUE(Ready(p, milliseconds(100)).empty());
  EXPECT_GE(Clock::now() - start, milliseconds(90));
}

}  // namespace
