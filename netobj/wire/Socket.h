// A TCP socket owned by one object: connecting with a time limit, listening, accepting, and the
// two raw transfers the framing layer builds on (a frame assembler reads a Socket as its
// ByteSource). Failures become Rd::Failure / Wr::Failure (or NetObj::Error for connecting) whose
// atoms name what failed, the peer and the system's reason.
//
// Implemented in Socket.cc. Ownership: a Socket owns its descriptor and closes it when destroyed.
// Thread safety: one thread uses a Socket at a time, except ShutdownBoth, which any thread may
// call to wake a thread blocked in it (the runtime's shutdown does this).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "netobj/wire/ByteSource.h"
#include "netobj/wire/Endpoint.h"
#include "netobj/wire/Values.h"

namespace NetObj {

// Connecting failed: no byte of the call has left this process, so nothing ran at the peer.
class ConnectError : public Error {
 public:
  explicit ConnectError(AtomList atoms, int code = 0) : Error(std::move(atoms)), code_(code) {}
  // The system's error number for a single address (ECONNREFUSED: nobody listens there).
  int code() const { return code_; }

 private:
  int code_;
};

class Socket final : public ByteSource {
 public:
  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}
  Socket(Socket&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  Socket& operator=(Socket&& o) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket() { Close(); }

  // Connects with TCP_NODELAY and keep-alive set; gives up on this address after `timeout`.
  static Socket Connect(const Endpoint& to, std::chrono::milliseconds timeout);
  // Listens on every address (dual-stack when the host has IPv6), `port` 0 for an ephemeral one.
  static Socket Listen(uint16_t port);
  // Blocks until a peer connects; returns an invalid socket once the listener was shut down.
  Socket Accept(Endpoint* peer) const;
  // For a non-blocking listener: a pending connection, or an invalid socket when none is
  // waiting (`*out_of_descriptors` tells that one is waiting but cannot be taken now).
  Socket AcceptPending(Endpoint* peer, bool* out_of_descriptors) const;
  void SetNonBlocking() const;

  bool valid() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  uint16_t LocalPort() const;
  Endpoint LocalEndpoint() const;
  // The CPU on which the kernel took the last packet that arrived; nothing when it cannot say.
  std::optional<int> IncomingCpu() const;
  bool IsIpv6() const;
  void SetRecvTimeout(std::chrono::milliseconds timeout) const;
  // The receive time-out set; zero for none.
  std::chrono::milliseconds RecvTimeout() const;
  // A send that makes no progress for this long fails (a peer that stopped reading).
  void SetSendTimeout(std::chrono::milliseconds timeout) const;

  // Sends all of [data, data+n); one system call unless the kernel takes it in parts. With
  // `dont_wait`, a send the kernel cannot take at once fails instead of blocking.
  void SendAll(const void* data, std::size_t n, const std::string& peer,
               bool dont_wait = false) const;
  // Receives at most n bytes, at least 1; 0 means the peer closed the connection.
  std::size_t RecvSome(void* data, std::size_t n, const std::string& peer) const;
  // As RecvSome, but returns nothing instead of blocking (or when the receive time-out expired,
  // when `wait`).
  std::optional<std::size_t> TryRecv(void* data, std::size_t n, const std::string& peer,
                                     bool wait) const;
  // As TryRecv: a frame assembler reads the socket as it is.
  std::optional<std::size_t> Receive(void* data, std::size_t n, const std::string& peer,
                                     bool wait) override {
    return TryRecv(data, n, peer, wait);
  }

  void ShutdownBoth() const;
  void Close();

 private:
  int fd_ = -1;
};

// The system's text for errno `err`.
std::string ErrnoText(int err);

}  // namespace NetObj
