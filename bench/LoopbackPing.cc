#include "bench/LoopbackPing.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace bench {
namespace {

using Clock = std::chrono::steady_clock;

bool ReadExact(int fd, uint8_t* p, std::size_t n) {
  while (n > 0) {
    const ssize_t k = ::recv(fd, p, n, 0);
    if (k <= 0) return false;
    p += k;
    n -= static_cast<std::size_t>(k);
  }
  return true;
}

bool WriteAll(int fd, const uint8_t* p, std::size_t n) {
  while (n > 0) {
    const ssize_t k = ::send(fd, p, n, MSG_NOSIGNAL);
    if (k <= 0) return false;
    p += k;
    n -= static_cast<std::size_t>(k);
  }
  return true;
}

void NoDelay(int fd) {
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

}  // namespace

LoopbackPing::LoopbackPing(std::size_t requestBytes, std::size_t replyBytes)
    : requestBytes_(requestBytes), replyBytes_(replyBytes) {
  listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::listen(listener_, 1) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    if (listener_ >= 0) ::close(listener_);
    throw std::runtime_error("cannot listen on loopback");
  }
  caller_ = ::socket(AF_INET, SOCK_STREAM, 0);
  if (caller_ < 0 || ::connect(caller_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      (callee_ = ::accept(listener_, nullptr, nullptr)) < 0) {
    if (caller_ >= 0) ::close(caller_);
    ::close(listener_);
    throw std::runtime_error("cannot connect on loopback");
  }
  NoDelay(caller_);
  NoDelay(callee_);
  echo_ = std::jthread([this] { Echo(); });
}

LoopbackPing::~LoopbackPing() {
  ::shutdown(caller_, SHUT_RDWR);
  if (echo_.joinable()) echo_.join();
  ::close(caller_);
  ::close(callee_);
  ::close(listener_);
}

void LoopbackPing::Echo() {
  std::vector<uint8_t> request(requestBytes_), reply(replyBytes_, 2);
  while (ReadExact(callee_, request.data(), request.size()) &&
         WriteAll(callee_, reply.data(), reply.size())) {
  }
}

double LoopbackPing::BestRoundTripMicros(int count, int rounds) {
  std::vector<uint8_t> request(requestBytes_, 1), reply(replyBytes_);
  double best = 1e30;
  for (int r = 0; r < rounds; ++r) {
    const auto t0 = Clock::now();
    for (int i = 0; i < count; ++i) {
      if (!WriteAll(caller_, request.data(), request.size()) ||
          !ReadExact(caller_, reply.data(), reply.size())) {
        throw std::runtime_error("the loopback echo failed");
      }
    }
    const double us = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
    best = std::min(best, us / count);
  }
  return best;
}

}  // namespace bench
