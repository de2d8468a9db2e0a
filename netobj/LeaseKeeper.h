// The holder's side of leases. For every owner whose objects this runtime holds registered
// surrogates of, one lease connection and one thread that:
//   - renews the lease every lease_renewal (the owner drops our holdings when the connection
//     closes, or after lease_period without a renewal);
//   - carries the releases of dead surrogates that no call took: a call to the owner takes the
//     pending ones along (TakeReleases), and those that no call took within release_delay of the
//     first of a batch leave with a renewal. Dropping a surrogate costs its caller nothing on
//     the network, and a busy holder's releases cost no message and no wake-up of their own;
//   - re-registers the surrogates still alive when the owner answers with a newer epoch (our old
//     lease ended: the connection broke, or we were silent too long);
//   - ends the lease once nothing is held, and notices an owner that died: a refused reconnection
//     (nobody listens) or an answer from another runtime at the owner's address. An owner that
//     has not answered for lease_period counts as silent; its connection is kept, since a
//     stopped owner answers (and keeps our holdings) when it resumes. The surrogates of a dead
//     owner need no releases; IsDead tells dead or silent (the agent forgets the names bound to
//     them).
// The wire work is LeaseConnection's; the thread steers by one state (State, in the .cc).
//
// Implemented in LeaseKeeper.cc. Ownership: the keeper owns the per-owner records and their
// threads; links report to it by the owner's space. It reads the surrogate table it is given (the
// runtime's, which outlives it). Thread-safe: every method, from any thread (never under a runtime
// lock); Shutdown joins the threads and ends every lease.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <unordered_map>
#include <variant>
#include <vector>

#include "netobj/ExportTable.h"
#include "netobj/LeaseConnection.h"
#include "netobj/NetObj.h"
#include "netobj/RuntimeOptions.h"
#include "netobj/SurrogateTable.h"
#include "netobj/port/Mutex.h"
#include "netobj/wire/Endpoint.h"

namespace NetObj {

class LeaseKeeper {
 public:
  using Clock = std::chrono::steady_clock;

  // `holder` is this runtime's space; `surrogates` tells which surrogates register again.
  LeaseKeeper(const RuntimeOptions& options, Transport& transport, uint64_t holder,
              const SurrogateTable& surrogates);
  ~LeaseKeeper();
  LeaseKeeper(const LeaseKeeper&) = delete;
  LeaseKeeper& operator=(const LeaseKeeper&) = delete;

  // A tracked surrogate of an object of `owner` was made / died (with what it had absorbed).
  void LinkMade(uint64_t owner, const std::vector<Endpoint>& order);
  void LinkGone(uint64_t owner, uint64_t object, uint64_t epoch, uint64_t receipts);
  // The releases pending for `owner`, at most kMaxLeaseItems, for a call to carry. The caller
  // hands back (ReturnReleases) those of a call that cannot have been read.
  std::vector<ExportTable::Release> TakeReleases(uint64_t owner);
  void ReturnReleases(uint64_t owner, std::vector<ExportTable::Release> releases);
  // The owner counted a receipt for us under `epoch`: a lease is needed.
  void Counted(uint64_t owner, uint64_t epoch);
  // The newest epoch the owner has shown us (0: none yet).
  uint64_t KnownEpoch(uint64_t owner) const;
  bool IsDead(uint64_t owner) const;
  // Asks the owner now, waiting a few seconds at most; false once it is known to be dead or
  // silent.
  bool CheckAlive(uint64_t owner);
  // Lease threads running (observation for tests).
  std::size_t running() const;
  void Shutdown();

 private:
  struct Owner;
  // The lease thread's state, one at a time (defined in the .cc).
  struct Disconnected;
  struct Idle;
  struct Awaiting;
  struct Ended;
  enum class Ending { kStopped, kOwnerDead, kLeaseDone };
  using State = std::variant<Disconnected, Idle, Awaiting, Ended>;
  struct Hearing;
  enum class Event { kDue, kReadable, kStop };
  enum class Watch { kReply, kReplyAndNews };

  void StartLocked(Owner& o, std::vector<std::thread>* to_join) REQUIRES(mu_);
  void QueueLocked(Owner& o, std::vector<std::thread>* to_join) REQUIRES(mu_);
  std::vector<ExportTable::Release> TakeLocked(Owner& o) REQUIRES(mu_);
  void ReapLocked(std::vector<std::thread>* to_join) REQUIRES(mu_);

  void Run(Owner* o);
  State Next(Owner& o, Hearing& h, State state);
  State Connect(Owner& o, Hearing& h);
  State Renew(Owner& o, Idle s);
  State AwaitReply(Owner& o, Hearing& h, Awaiting s);
  State Answered(Owner& o, Hearing& h, std::unique_ptr<LeaseConnection> conn,
                 LeaseConnection::Answer answer);
  State EndLease(Owner& o, Idle s);
  Event Wait(Owner& o, int fd, Clock::time_point until, Watch watch);
  LeaseConnection::Renewal PrepareRenewal(Owner& o);
  bool Absorb(Owner& o, LeaseConnection::Answer answer);
  void NoteSilence(Owner& o, Hearing& h);
  void SetSilent(Owner& o, bool silent);
  void Finish(Owner& o, Ending how);

  const RuntimeOptions& options_;
  Transport& transport_;
  const uint64_t holder_;
  const SurrogateTable& surrogates_;
  mutable Mutex mu_;
  CondVar checked_;  // with mu_: a check was answered, or its owner went
  bool stopping_ GUARDED_BY(mu_) = false;
  std::unordered_map<uint64_t, std::unique_ptr<Owner>> owners_ GUARDED_BY(mu_);
};

}  // namespace NetObj
