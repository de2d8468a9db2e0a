// A runtime's calling side: calls on its surrogates over pooled or new connections, one write
// for the request, the reply read whole, and a single retry when a pooled connection turns out
// to have been closed by the peer before it saw the request; and the one call that registers a
// reference received from a third party with its owner.
//
// A request carries the caller's releases of the callee space's objects (LeaseKeeper); they
// stay released, and what the request's references counted stays counted, once the request may
// have been read; both are taken back when it cannot have been.
//
// A peer that refuses us for want of trust (no matching cluster key, or only local peers
// served) is named once per reason on standard error, "netobj: <peer> refused us: <reason>", and
// the call fails as any other.
//
// Implemented in CallingSide.cc. Ownership: part of one RuntimeCore, which it refers to; owns
// the connection pool, and with it every OutgoingCall. Thread-safe: every method may be called
// from any thread, one OutgoingCall by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "netobj/CallConnection.h"
#include "netobj/ConnectionPool.h"
#include "netobj/SurrogateLink.h"
#include "netobj/port/Mutex.h"
#include "netobj/wire/Frame.h"

namespace NetObj {

class RuntimeCore;

class CallingSide {
 public:
  explicit CallingSide(RuntimeCore& core) : core_(core) {}
  CallingSide(const CallingSide&) = delete;
  CallingSide& operator=(const CallingSide&) = delete;

  // The request's header is written; the stub's values may follow.
  OutgoingCall& OpenCall(const std::shared_ptr<SurrogateLink>& link, int32_t stub_prot);
  DataFormat WaitForReply(OutgoingCall& c);
  void CloseCall(OutgoingCall& c, bool reuse);

  // Registers the surrogate `link` stands for with its owner; returns the epoch the owner
  // counted it under. Throws NetObj::Error when the owner cannot be reached or lost the object.
  uint64_t RegisterReceipt(const SurrogateLink& link);

  std::size_t idle_connections() const { return pool_.idle_count(); }
  // Closes idle connections and wakes callers blocked in calls.
  void Shutdown() { pool_.Shutdown(); }

 private:
  std::unique_ptr<Channel> ConnectChannel(SurrogateLink& link, Endpoint* peer);
  std::unique_ptr<OutgoingCall> Connect(SurrogateLink& link);
  FrameHeader Exchange(OutgoingCall& c);
  void ReportRefusal(const std::string& peer, const std::string& reason) EXCLUDES(report_mu_);

  RuntimeCore& core_;
  ConnectionPool pool_;
  Mutex report_mu_;
  std::set<std::string> reported_ GUARDED_BY(report_mu_);  // peer and reason, once each
};

}  // namespace NetObj
