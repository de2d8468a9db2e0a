// The calling side's connections: idle ones per peer, ready for the next call, and the ones in
// use, so that a shutdown can wake every caller blocked on one. A run of calls to one peer
// reuses one connection and costs one TCP handshake; calls made at the same time get one
// connection each.
//
// Implemented in ConnectionPool.cc. Ownership: the pool owns every OutgoingCall; a caller
// borrows one from TakeIdle or AddInUse to Release. Thread-safe: every method takes the pool's lock
// (no I/O happens under it).
#pragma once

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "netobj/CallConnection.h"
#include "netobj/port/Mutex.h"

namespace NetObj {

class ConnectionPool {
 public:
  // At most this many idle connections are kept per peer; more are closed.
  static constexpr std::size_t kMaxIdlePerPeer = 8;

  // An idle connection to `key`, or null. The connection is in use from here on.
  OutgoingCall* TakeIdle(const std::string& key);
  // Registers a new connection as in use. Fails (returns null, dropping it) after Shutdown.
  OutgoingCall* AddInUse(std::unique_ptr<OutgoingCall> c);
  // Gives the in-use `c` a fresh channel in place of a failed one, under the pool's lock so that
  // a concurrent Shutdown never touches a channel being replaced. False after Shutdown.
  bool Renew(OutgoingCall& c, std::unique_ptr<Channel> fresh, const Endpoint& peer);
  // Ends a use: back to the idle list of `key` when `keep`, closed otherwise.
  void Release(OutgoingCall& c, const std::string& key, bool keep);
  // Closes idle connections, wakes callers blocked on busy ones; later Releases close.
  void Shutdown();
  std::size_t idle_count() const;

 private:
  mutable Mutex mu_;
  bool shut_down_ GUARDED_BY(mu_) = false;
  std::unordered_map<std::string, std::vector<std::unique_ptr<OutgoingCall>>> idle_ GUARDED_BY(mu_);
  std::unordered_map<OutgoingCall*, std::unique_ptr<OutgoingCall>> in_use_ GUARDED_BY(mu_);
};

}  // namespace NetObj
