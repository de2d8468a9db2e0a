// The serving side's transport. One polling thread accepts connections and watches every
// connection that is between requests: it assembles requests from whatever bytes arrive, without
// a thread per connection, and hands each complete request to the worker pool, whose worker keeps
// the connection for the requests that follow soon after (WorkerPool.h). Short requests that
// never wait (the runtime's lease traffic) are served on the polling thread itself, so they are
// answered even when every worker is busy.
//
// Hostile peers: a connection costs a thread only while a whole request is being served. A
// request must arrive whole within `request_deadline` (plus one second per MiB announced) from
// its first byte, or the connection is closed with an error ("request too slow"). A connection
// idle for `idle_timeout` is closed. At most `max_connections` are open, fewer if the descriptor
// limit cannot be raised to fit them: when one more arrives, the connection idle longest is
// closed to make room (a pooled calling connection: its caller retries on a fresh one), else the
// one whose request has been arriving longest; when every connection is serving a call or
// carries a lease, the newcomer is answered "server busy" and closed.
//
// Trust: the runtime's transport admits or refuses each peer before any byte of it is read (a
// refused one gets one error reply, as "server busy" does), and makes each connection's channel.
// A channel's handshake counts as a request arriving, from the accept on: it runs on the polling
// thread a step at a time as its bytes come, and one that has not finished by the request
// deadline is closed, so a slow or silent handshake holds no worker.
//
// Implemented in Server.cc, on Poller.h and WorkerPool.h. Ownership: the Server owns the
// listener, every connection (its channel, from the transport) with its Session, the poller, the
// worker pool and the polling thread. Stop (or the destructor) closes the connections and joins the
// threads, so a Session's Serve must return once its channel fails. Thread-safe: every public
// method, from any thread; Stop also from a worker or the polling thread (which is then detached
// instead of joined).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <thread>
#include <unordered_map>
#include <vector>

#include "netobj/Channel.h"
#include "netobj/Poller.h"
#include "netobj/Transport.h"
#include "netobj/WorkerPool.h"
#include "netobj/port/Mutex.h"
#include "netobj/wire/Frame.h"
#include "netobj/wire/Socket.h"

namespace NetObj {

class Server {
 public:
  using Clock = std::chrono::steady_clock;

  // What the runtime serves one connection with: made when the connection is accepted,
  // destroyed when it ends. Used by one thread at a time (the polling thread or a worker).
  class Session {
   public:
    virtual ~Session() = default;
    // Whether the request is short and never waits, so the polling thread may serve it.
    virtual bool IsQuick(const FrameHeader& h, std::span<const uint8_t> body) const = 0;
    // Serves one whole request and replies; false ends the connection. `on_poller`: the reply
    // must not block (a peer that does not read loses its connection).
    virtual bool Serve(const FrameHeader& h, std::vector<uint8_t>& body, bool on_poller) = 0;
    // The stream broke the rules or came too slowly: tell the peer, without blocking.
    virtual void Reject(const AtomList& atoms) = 0;
    // Carries a lease: never evicted, never closed for idleness. Any thread may ask.
    virtual bool Exempt() const = 0;
    // No request followed the last reply within the linger time.
    virtual void Idle() = 0;
  };

  struct Limits {
    int max_connections = 1024;
    std::chrono::milliseconds idle_timeout{60000};
    std::chrono::milliseconds request_deadline{5000};
    std::chrono::milliseconds linger{1000};
  };
  struct Hooks {
    // Makes the session of connection `id`; the channel outlives it, and stays the server's.
    std::function<std::unique_ptr<Session>(Channel&, const Endpoint&, uint64_t id)> open;
    // The whole frame that refuses a connection with these atoms ("server busy", or the
    // transport's refusal).
    std::function<std::vector<uint8_t>(const AtomList&)> refusal;
    // Runs about every 250 ms on the polling thread (lease expiry); must not block.
    std::function<void()> tick;
  };

  // `transport` outlives the server.
  Server(Socket listener, const Limits& limits, Hooks hooks, Transport& transport);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  uint16_t port() const { return port_; }
  // Connections accepted so far (refused ones included).
  uint64_t accepted() const { return accepted_.load(); }
  std::size_t open_connections() const;
  std::size_t worker_threads() const;
  // Closes connection `id` if it is still open.
  void Disconnect(uint64_t id);
  void Stop();

 private:
  // Where a connection is; guarded by mu_. Parked connections are the polling thread's, the
  // others their worker's (or the polling thread's while it serves a quick request).
  enum class State {
    kIdle,       // parked, no byte of a request yet: may be closed for idleness or evicted
    kArriving,   // parked, a request partly in: held to the request deadline
    kServing,    // a worker has it for a whole request
    kLingering,  // a worker waits for the next request: evicted before any arriving one
    kEvicted,    // shut down to make room while lingering; its worker closes it
  };
  struct Conn;
  using ConnPtr = std::shared_ptr<Conn>;
  struct Closing {
    Socket sock;
    Clock::time_point until;
  };

  void PollLoop();
  void Dispatch(uint64_t key);
  void AcceptAll();
  void Admit(Socket s, const Endpoint& peer);
  ConnPtr PickVictimLocked() const REQUIRES(mu_);
  void Refuse(Socket s, const Endpoint& peer, const AtomList& atoms);
  void DrainClosing(uint64_t key);
  void OnReadable(uint64_t id);
  void ServeParked(const ConnPtr& c);
  void ParkLocked(Conn& c, bool arriving) REQUIRES(mu_);
  void Arm(const Conn& c, bool first);
  void HandToWorker(const ConnPtr& c);
  bool ServeOnWorker(Conn& c);
  bool AwaitOnWorker(Conn& c);
  void Close(Conn& c);
  void Sweep(Clock::time_point now);
  void SweepConnections(Clock::time_point now);
  void SweepClosing(Clock::time_point now);

  Socket listener_;
  uint16_t port_;
  Limits limits_;
  Hooks hooks_;
  Transport& transport_;
  Poller poller_;
  std::atomic<uint64_t> accepted_{0};
  std::chrono::milliseconds tick_;
  bool listener_armed_ = true;                     // polling thread only
  uint64_t next_closing_ = 0;                      // polling thread only
  std::unordered_map<uint64_t, Closing> closing_;  // polling thread only

  mutable Mutex mu_;
  bool stopping_ GUARDED_BY(mu_) = false;
  uint64_t next_id_ GUARDED_BY(mu_) = 1;
  std::unordered_map<uint64_t, ConnPtr> conns_ GUARDED_BY(mu_);
  WorkerPool workers_;        // its own lock; never called with mu_ held
  std::jthread poll_thread_;  // started last, joined by Stop
  // Lock order: mu_ is never held while calling into workers_ or a Session, but for Exempt.
};

}  // namespace NetObj
