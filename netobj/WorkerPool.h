// The serving side's worker threads. A connection with a whole request is handed to an idle
// worker, or to a new one when none is idle, so that a call that blocks for minutes holds up
// only its own connection. The worker keeps the connection for a run of requests: after each
// reply it waits up to the linger time for the next one before the connection goes back to the
// polling thread, so a run of calls costs no hand-over. While it serves a caller on this host
// it runs on the CPU the caller's requests come from (LocalPeerAffinity). A worker idle for ten
// seconds ends; ended workers are joined when the next one starts, or at Stop.
//
// A worker starts with the CPU set of the thread that hands over (the polling thread, which
// never follows a caller) and gives back the CPU it followed at the end of each run, so one
// caller's CPU does not stay with a worker that serves the next.
//
// Implemented in WorkerPool.cc. Ownership: the pool owns its threads and the queue of handed
// connections (shared with their owner); a Connection's owner keeps its state. Thread-safe:
// every public method, from any thread; Stop also from a worker (which is then detached instead
// of joined).
#pragma once

#include <cstddef>
#include <deque>
#include <list>
#include <memory>
#include <thread>

#include "netobj/Channel.h"
#include "netobj/port/Mutex.h"

namespace NetObj {

class WorkerPool {
 public:
  // A connection as the worker that holds it drives it; only that worker calls these.
  class Connection {
   public:
    virtual ~Connection() = default;
    // The peer runs on this host: the worker follows its CPU.
    virtual bool SameHost() const = 0;
    virtual const Channel& channel() const = 0;
    // Serves the request at hand and replies. false: the connection is over.
    virtual bool Serve() = 0;
    // Waits up to the linger time (the channel's receive time-out) for the next request. true:
    // it came whole and is at hand; false: the connection is back with the polling thread, or
    // over.
    virtual bool AwaitNext() = 0;
  };

  WorkerPool() = default;
  ~WorkerPool();  // Stop
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // false: no thread could be started, and `c` was not taken. After Stop, `c` is dropped.
  bool Hand(std::shared_ptr<Connection> c);
  // Workers that have not ended.
  std::size_t threads() const;
  // Joins every worker once its run ends (the owner shuts the connections down first) and drops
  // the connections still queued.
  void Stop();

 private:
  struct Worker {
    std::jthread thread;
    bool done = false;  // guarded by mu_
  };
  using Workers = std::list<std::shared_ptr<Worker>>;

  bool StartLocked() REQUIRES(mu_);
  Workers ReapLocked() REQUIRES(mu_);  // the caller joins them outside the lock
  void Work(Worker& self);
  // The next connection to serve; null when the pool stops or none came for kWorkerIdle.
  std::shared_ptr<Connection> Next();
  static void Drive(Connection& c);

  mutable Mutex mu_;
  bool stopping_ GUARDED_BY(mu_) = false;
  std::deque<std::shared_ptr<Connection>> queue_ GUARDED_BY(mu_);
  std::size_t idle_ GUARDED_BY(mu_) = 0;
  Workers workers_ GUARDED_BY(mu_);
  CondVar work_cv_;  // waits on mu_
};

}  // namespace NetObj
