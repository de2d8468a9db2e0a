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
//
// Ownership: the keeper owns the per-owner records and their threads; links report to it by the
// owner's space. Thread-safe: every method, from any thread (never under a runtime
// lock); Shutdown joins the threads and ends every lease.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "netobj/ExportTable.h"
#include "netobj/NetObj.h"
#include "netobj/wire/Endpoint.h"

namespace NetObj {

class RuntimeCore;
class Socket;

class LeaseKeeper {
 public:
  using Clock = std::chrono::steady_clock;

  explicit LeaseKeeper(RuntimeCore& core);
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
  struct Renewal;
  enum class Outcome { kOk, kFailed, kDead };
  enum class Event { kDue, kReadable, kStop };

  void StartLocked(Owner& o, std::vector<std::thread>* to_join);
  void QueueLocked(Owner& o, std::vector<std::thread>* to_join);
  std::vector<ExportTable::Release> TakeLocked(Owner& o);
  void ReapLocked(std::vector<std::thread>* to_join);
  void Run(Owner* o);
  Outcome Connect(Owner& o, Socket* s);
  Event Wait(Owner& o, const Renewal& r, Clock::time_point until);
  Outcome SendRenewal(Owner& o, Renewal& r);
  Outcome ReadRenewal(Owner& o, Renewal& r, bool* done, bool* nothing_held);
  Outcome EndLease(Owner& o, Renewal& r);
  void SetSilent(Owner& o, bool silent);
  void Exit(Owner& o, bool dead);

  RuntimeCore& core_;
  mutable std::mutex mu_;
  std::condition_variable checked_;
  bool stopping_ = false;
  std::unordered_map<uint64_t, std::unique_ptr<Owner>> owners_;
};

// Whether the owner of `obj` (a surrogate) may still be alive; true for local objects. Checks
// with the owner, so it may take a few seconds.
bool OwnerMayBeAlive(const T& obj);
// Whether the owner of `obj` is already known to be dead; never waits.
bool OwnerKnownDead(const T& obj);

}  // namespace NetObj
