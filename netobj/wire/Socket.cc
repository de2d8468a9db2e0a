// TCP sockets over the POSIX calls.
#include "netobj/wire/Socket.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace NetObj {

std::string ErrnoText(int err) {
  char buf[256];
  // The GNU variant returns the text, which may or may not live in buf.
  return strerror_r(err, buf, sizeof(buf));
}

Socket& Socket::operator=(Socket&& o) noexcept {
  if (this != &o) {
    Close();
    fd_ = o.fd_;
    o.fd_ = -1;
  }
  return *this;
}

void Socket::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void Socket::ShutdownBoth() const {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
}

namespace {

void SetNoDelay(int fd) {
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

// A call may wait for minutes on a live peer, so calls have no read time-out; keep-alive probes
// instead notice a peer whose host vanished without a reset (after about two minutes).
void SetKeepAlive(int fd) {
  int one = 1, idle = 60, interval = 10, count = 6;
  ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof(one));
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof(idle));
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof(interval));
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof(count));
}

[[noreturn]] void FailConnect(const Endpoint& to, int err) {
  throw ConnectError({"cannot connect", to.ToString(), ErrnoText(err)}, err);
}

bool OutOfDescriptors(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

// One accepted connection, transient failures (a peer that gave up) retried: its descriptor, or
// -1 with the failure in *error.
int AcceptOne(int listener, Endpoint* peer, int* error) {
  for (;;) {
    sockaddr_storage ss;
    socklen_t len = sizeof(ss);
    int fd = ::accept4(listener, reinterpret_cast<sockaddr*>(&ss), &len, SOCK_CLOEXEC);
    if (fd >= 0) {
      SetNoDelay(fd);
      *peer = Endpoint::FromSockaddr(reinterpret_cast<sockaddr*>(&ss));
      return fd;
    }
    if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
    *error = errno;
    return -1;
  }
}

}  // namespace

Socket Socket::Connect(const Endpoint& to, std::chrono::milliseconds timeout) {
  sockaddr_storage ss;
  socklen_t len = to.ToSockaddr(&ss);
  Socket s(::socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!s.valid()) FailConnect(to, errno);
  if (::connect(s.fd_, reinterpret_cast<sockaddr*>(&ss), len) != 0) {
    if (errno != EINPROGRESS) FailConnect(to, errno);
    pollfd p{s.fd_, POLLOUT, 0};
    int n;
    do {
      n = ::poll(&p, 1, static_cast<int>(timeout.count()));
    } while (n < 0 && errno == EINTR);
    if (n == 0) FailConnect(to, ETIMEDOUT);
    int err = 0;
    socklen_t elen = sizeof(err);
    ::getsockopt(s.fd_, SOL_SOCKET, SO_ERROR, &err, &elen);
    if (n < 0) err = errno;
    if (err != 0) FailConnect(to, err);
  }
  int flags = ::fcntl(s.fd_, F_GETFL);
  ::fcntl(s.fd_, F_SETFL, flags & ~O_NONBLOCK);
  SetNoDelay(s.fd_);
  SetKeepAlive(s.fd_);
  return s;
}

Socket Socket::Listen(uint16_t port) {
  auto fail = [port](int err) -> Error {
    return Error({"cannot listen", "port " + std::to_string(port), ErrnoText(err)});
  };
  int one = 1;
  Socket s(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (s.valid()) {
    int zero = 0;
    ::setsockopt(s.fd_, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof(zero));
    ::setsockopt(s.fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_any;
    a.sin6_port = htons(port);
    if (::bind(s.fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
      int err = errno;
      // A host without IPv6 falls back to IPv4 below; a taken port is a real failure.
      if (err == EADDRINUSE || err == EACCES) throw fail(err);
      s.Close();
    }
  }
  if (!s.valid()) {
    s = Socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!s.valid()) throw fail(errno);
    ::setsockopt(s.fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(port);
    if (::bind(s.fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) throw fail(errno);
  }
  // A burst of connections waits in the kernel until the polling thread takes it.
  if (::listen(s.fd_, SOMAXCONN) != 0) throw fail(errno);
  return s;
}

Socket Socket::Accept(Endpoint* peer) const {
  for (;;) {
    int error = 0;
    int fd = AcceptOne(fd_, peer, &error);
    if (fd >= 0) return Socket(fd);
    // No descriptors for a moment keeps the listener.
    if (!OutOfDescriptors(error)) return Socket();
    ::poll(nullptr, 0, 50);
  }
}

Socket Socket::AcceptPending(Endpoint* peer, bool* out_of_descriptors) const {
  int error = 0;
  int fd = AcceptOne(fd_, peer, &error);
  *out_of_descriptors = fd < 0 && OutOfDescriptors(error);
  return fd >= 0 ? Socket(fd) : Socket();
}

void Socket::SetNonBlocking() const {
  int flags = ::fcntl(fd_, F_GETFL);
  ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
}

uint16_t Socket::LocalPort() const { return LocalEndpoint().port; }

Endpoint Socket::LocalEndpoint() const {
  sockaddr_storage ss{};
  socklen_t len = sizeof(ss);
  ::getsockname(fd_, reinterpret_cast<sockaddr*>(&ss), &len);
  return Endpoint::FromSockaddr(reinterpret_cast<sockaddr*>(&ss));
}

std::optional<int> Socket::IncomingCpu() const {
  int cpu = -1;
  socklen_t len = sizeof(cpu);
  if (::getsockopt(fd_, SOL_SOCKET, SO_INCOMING_CPU, &cpu, &len) != 0 || cpu < 0) {
    return std::nullopt;
  }
  return cpu;
}

bool Socket::IsIpv6() const {
  sockaddr_storage ss;
  socklen_t len = sizeof(ss);
  ::getsockname(fd_, reinterpret_cast<sockaddr*>(&ss), &len);
  return ss.ss_family == AF_INET6;
}

void Socket::SetRecvTimeout(std::chrono::milliseconds timeout) const {
  timeval tv{};
  tv.tv_sec = timeout.count() / 1000;
  tv.tv_usec = (timeout.count() % 1000) * 1000;
  ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
}

std::chrono::milliseconds Socket::RecvTimeout() const {
  timeval tv{};
  socklen_t length = sizeof(tv);
  if (::getsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, &length) != 0) return {};
  return std::chrono::milliseconds(tv.tv_sec * 1000 + tv.tv_usec / 1000);
}

void Socket::SetSendTimeout(std::chrono::milliseconds timeout) const {
  timeval tv{};
  tv.tv_sec = timeout.count() / 1000;
  tv.tv_usec = (timeout.count() % 1000) * 1000;
  ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
}

void Socket::SendAll(const void* data, std::size_t n, const std::string& peer,
                     bool dont_wait) const {
  const auto* p = static_cast<const uint8_t*>(data);
  int flags = MSG_NOSIGNAL | (dont_wait ? MSG_DONTWAIT : 0);
  while (n > 0) {
    ssize_t k = ::send(fd_, p, n, flags);
    if (k < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      if (err == EAGAIN || err == EWOULDBLOCK) throw Wr::Failure({"peer not reading", peer});
      if (err == EPIPE || err == ECONNRESET)
        throw Wr::Failure({"connection lost", peer, ErrnoText(err)});
      throw Wr::Failure({"write failed", peer, ErrnoText(err)});
    }
    p += k;
    n -= static_cast<std::size_t>(k);
  }
}

std::size_t Socket::RecvSome(void* data, std::size_t n, const std::string& peer) const {
  std::optional<std::size_t> k = TryRecv(data, n, peer, true);
  if (!k) throw Rd::Failure({"read timed out", peer});
  return *k;
}

std::optional<std::size_t> Socket::TryRecv(void* data, std::size_t n, const std::string& peer,
                                           bool wait) const {
  for (;;) {
    ssize_t k = ::recv(fd_, data, n, wait ? 0 : MSG_DONTWAIT);
    if (k >= 0) return static_cast<std::size_t>(k);
    if (errno == EINTR) continue;
    int err = errno;
    if (err == EAGAIN || err == EWOULDBLOCK) return std::nullopt;
    if (err == ECONNRESET) throw Rd::Failure({"connection reset", peer, ErrnoText(err)});
    throw Rd::Failure({"read failed", peer, ErrnoText(err)});
  }
}

}  // namespace NetObj
