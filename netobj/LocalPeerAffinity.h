// Keeps a serving thread on the CPU that a caller on this host runs on, while the thread serves
// that caller's connection.
//
// Why: a call and its reply pass the turn back and forth between the caller's thread and the
// serving thread. When the two share a CPU, each pass is one switch on that CPU. When they sit
// on two CPUs, each pass wakes the other CPU, which costs several times as much (most of all in
// a virtual machine) and leaves both CPUs partly idle. The scheduler wakes a thread where it
// last ran, so a pairing across CPUs, once made, lasts: with two callers and two CPUs, the same
// work ran at half the rate in that state. For a connection from this host the kernel reports
// the CPU on which the caller's last message was sent (the local path delivers a message on the
// sender's CPU), and the serving thread moves there before it serves the request.
//
// The caller is never constrained. When it moves, the serving thread follows once a few requests
// in a row have come from the new CPU. On a machine with a CPU to spare, the scheduler wakes the
// caller on the free CPU as soon as the serving thread joins it, and following would then cost a
// migration every few calls; so each move doubles the run of requests needed for the next one,
// up to a bound. Connections from other hosts are left alone, since the CPU reported for them is
// the one that took the network card's interrupt. A CPU outside the thread's own set is not
// taken.
//
// Implemented in LocalPeerAffinity.cc. Ownership: one instance per run of requests served on one
// connection, on the serving thread's stack; the destructor gives the thread back the CPU set it
// had. Not thread-safe: it acts on the calling thread only. The runtime's long-lived threads, which
// may be started from a pinned worker, take the process's CPU set back (ThreadPlacement.h).
#pragma once

#include <sched.h>

#include "netobj/Channel.h"

namespace NetObj {

class LocalPeerAffinity {
 public:
  // Does nothing at all unless `enabled`: the caller runs on this host.
  explicit LocalPeerAffinity(bool enabled) : enabled_(enabled) {}
  ~LocalPeerAffinity();
  LocalPeerAffinity(const LocalPeerAffinity&) = delete;
  LocalPeerAffinity& operator=(const LocalPeerAffinity&) = delete;

  // Moves the calling thread to the CPU that the last message read from `c` came from. Called
  // before each request is served; costs one system call when the caller has not moved.
  void Follow(const Channel& c);

 private:
  // Requests in a row that must come from one CPU before the thread moves there: at first
  // kFewestRequests, doubled after each move up to kMostRequests.
  static constexpr int kFewestRequests = 2;
  static constexpr int kMostRequests = 64;

  bool enabled_;
  bool have_own_ = false;
  cpu_set_t own_{};     // the thread's CPU set before the first move; valid once have_own_
  int pinned_ = -1;     // the CPU the thread was moved to; -1 while it has its own set
  int candidate_ = -1;  // the CPU the last requests came from, while not pinned_
  int streak_ = 0;      // how many requests in a row came from candidate_
  int required_ = kFewestRequests;
};

}  // namespace NetObj
