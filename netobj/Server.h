// The serving side's transport: one listening socket, an accepting thread, and one thread per
// accepted connection, which runs the handler until the connection ends. A call that blocks for
// minutes holds up only its own connection. When max_connections are being served, a new
// connection is answered by `refuse` and closed at once.
//
// Ownership: the Server owns the listener, every served socket and every thread; Stop (or the
// destructor) shuts the sockets down and joins the threads, so handlers must return once their
// socket fails. Thread-safe: port/accepted from any thread; Stop from any thread but a handler.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

#include "netobj/Socket.h"

namespace NetObj {

class Server {
 public:
  using Handler = std::function<void(const Socket&, const Endpoint&)>;

  Server(Socket listener, int max_connections, Handler serve, Handler refuse);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  uint16_t port() const { return port_; }
  // Connections accepted so far (refused ones included).
  uint64_t accepted() const { return accepted_.load(); }
  void Stop();

 private:
  struct Slot {
    Socket sock;
    Endpoint peer;
    std::thread thread;
    bool done = false;
  };
  void AcceptLoop();
  void ReapFinished();  // joins threads whose connection has ended; takes mu_

  Socket listener_;
  uint16_t port_;
  int max_connections_;
  Handler serve_;
  Handler refuse_;
  std::atomic<uint64_t> accepted_{0};
  std::mutex mu_;
  bool stopping_ = false;
  std::list<Slot> slots_;
  std::thread acceptor_;
};

}  // namespace NetObj
