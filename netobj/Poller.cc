// The watch set on epoll, woken through an eventfd.
#include "netobj/Poller.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>

#include "netobj/wire/Values.h"

namespace NetObj {

namespace {

constexpr std::size_t kMostEvents = 64;

uint32_t EventsOf(Poller::Watch watch) {
  switch (watch) {
    case Poller::Watch::kNothing:
      return 0;
    case Poller::Watch::kReadable:
      return EPOLLIN;
    case Poller::Watch::kReadableOnce:
      return EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
  }
  return 0;
}

void Control(int epoll, int op, int fd, uint64_t key, Poller::Watch watch) {
  epoll_event ev{};
  ev.events = EventsOf(watch);
  ev.data.u64 = key;
  ::epoll_ctl(epoll, op, fd, &ev);
}

}  // namespace

Poller::Poller() {
  epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
  wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (epoll_ < 0 || wake_ < 0) {
    if (epoll_ >= 0) ::close(epoll_);
    if (wake_ >= 0) ::close(wake_);
    throw Error({"cannot listen", "no event descriptors"});
  }
  Control(epoll_, EPOLL_CTL_ADD, wake_, kReservedKey, Watch::kReadable);
}

Poller::~Poller() {
  ::close(epoll_);
  ::close(wake_);
}

void Poller::Add(int fd, uint64_t key, Watch watch) {
  Control(epoll_, EPOLL_CTL_ADD, fd, key, watch);
}

void Poller::Modify(int fd, uint64_t key, Watch watch) {
  Control(epoll_, EPOLL_CTL_MOD, fd, key, watch);
}

void Poller::Remove(int fd) { ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr); }

std::size_t Poller::Wait(std::chrono::milliseconds timeout, std::span<uint64_t> ready) {
  epoll_event events[kMostEvents];
  int most = static_cast<int>(std::min(ready.size(), kMostEvents));
  int wait = static_cast<int>(std::max<long>(timeout.count(), 0));
  int n = ::epoll_wait(epoll_, events, most, wait);
  std::size_t count = 0;
  for (int i = 0; i < n; ++i) {
    uint64_t key = events[i].data.u64;
    if (key == kReservedKey)
      Drain();
    else
      ready[count++] = key;
  }
  return count;
}

void Poller::Wake() {
  uint64_t one = 1;
  (void)!::write(wake_, &one, sizeof(one));
}

void Poller::Drain() {
  uint64_t v;
  (void)!::read(wake_, &v, sizeof(v));
}

}  // namespace NetObj
