// The calling side's connections: idle ones per peer, ready for the next call, and the ones in
// use, so that a shutdown can wake every caller blocked on one. A run of calls to one peer
// reuses one connection and costs one TCP handshake; calls made at the same time get one
// connection each.
//
// Ownership: the pool owns every calling-side CallConnection; a caller borrows one from Acquire
// to Release. Thread-safe: every method takes the pool's lock (no I/O happens under it).
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
  CallConnection* TakeIdle(const std::string& key);
  // Registers a new connection as in use. Fails (returns null, dropping it) after Shutdown.
  CallConnection* AddInUse(std::unique_ptr<CallConnection> c);
  // Gives the in-use `c` a fresh socket in place of a failed one, under the pool's lock so that
  // a concurrent Shutdown never touches a descriptor being replaced. False after Shutdown.
  bool Renew(CallConnection& c, Socket fresh, const Endpoint& peer);
  // Ends a use: back to the idle list of `key` when `keep`, closed otherwise.
  void Release(CallConnection& c, const std::string& key, bool keep);
  // Closes idle connections, wakes callers blocked on busy ones; later Releases close.
  void Shutdown();
  std::size_t idle_count() const;

 private:
  mutable Mutex mu_;
  bool shut_down_ GUARDED_BY(mu_) = false;
  std::unordered_map<std::string, std::vector<std::unique_ptr<CallConnection>>> idle_
      GUARDED_BY(mu_);
  std::unordered_map<CallConnection*, std::unique_ptr<CallConnection>> in_use_ GUARDED_BY(mu_);
};

}  // namespace NetObj
