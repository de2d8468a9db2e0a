// Listening, accepting and one thread per served connection.
#include "netobj/Server.h"

namespace NetObj {

Server::Server(Socket listener, int max_connections, Handler serve, Handler refuse)
    : listener_(std::move(listener)),
      port_(listener_.LocalPort()),
      max_connections_(max_connections),
      serve_(std::move(serve)),
      refuse_(std::move(refuse)) {
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

Server::~Server() { Stop(); }

void Server::ReapFinished() {
  std::list<Slot> finished;
  {
    std::scoped_lock lock(mu_);
    for (auto it = slots_.begin(); it != slots_.end();) {
      auto next = std::next(it);
      if (it->done) finished.splice(finished.end(), slots_, it);
      it = next;
    }
  }
  for (auto& s : finished) s.thread.join();
}

void Server::AcceptLoop() {
  for (;;) {
    Endpoint peer;
    Socket s = listener_.Accept(&peer);
    if (!s.valid()) return;
    accepted_.fetch_add(1);
    ReapFinished();
    std::unique_lock lock(mu_);
    if (stopping_) return;
    if (static_cast<int>(slots_.size()) >= max_connections_) {
      lock.unlock();
      refuse_(s, peer);
      continue;
    }
    Slot& slot = slots_.emplace_back();
    slot.sock = std::move(s);
    slot.peer = peer;
    slot.thread = std::thread([this, &slot] {
      serve_(slot.sock, slot.peer);
      // Closed at once, not when reaped: the peer must see the end of the connection.
      std::scoped_lock l(mu_);
      slot.sock.Close();
      slot.done = true;
    });
  }
}

void Server::Stop() {
  {
    std::scoped_lock lock(mu_);
    if (stopping_) return;
    stopping_ = true;
    for (auto& s : slots_) s.sock.ShutdownBoth();
  }
  listener_.ShutdownBoth();
  if (acceptor_.joinable()) acceptor_.join();
  std::list<Slot> all;
  {
    std::scoped_lock lock(mu_);
    all.swap(slots_);
  }
  for (auto& s : all) {
    // A handler that ends its own runtime cannot wait for itself.
    if (s.thread.get_id() == std::this_thread::get_id())
      s.thread.detach();
    else
      s.thread.join();
  }
  listener_.Close();
}

}  // namespace NetObj
