// A runtime's serving side: the server (started on first export), one session per served
// connection, which reads the requests the server hands it, finds the object, runs its
// dispatcher, and sends the reply in one write, or an error reply when anything raised; the
// owner's lease object, answered from the export table alone; the refusal of a connection over
// the limit; and the tick that lets silent holders' leases expire.
//
// A call names the object called (space, object number) and the caller's stub protocol, and
// carries the caller's releases, applied whatever the call does; a reply carries the values the
// dispatcher wrote; an error reply carries an atom list. A stream that cannot be trusted (bad
// header, too slow) gets an error reply if possible and is closed; the runtime keeps serving.
//
// Implemented in ServingSide.cc, the lease object in LeaseService.cc. Ownership: part of one
// RuntimeCore, which it refers to; owns the Server, and through it every IncomingCall.
// Thread-safe: every public method, from any thread; a session runs on one thread at a time
// (the polling thread or a worker).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "netobj/CallConnection.h"
#include "netobj/Server.h"
#include "netobj/port/Mutex.h"
#include "netobj/wire/Frame.h"

namespace NetObj {

class RuntimeCore;

class ServingSide {
 public:
  explicit ServingSide(RuntimeCore& core) : core_(core) {}
  ServingSide(const ServingSide&) = delete;
  ServingSide& operator=(const ServingSide&) = delete;

  // Starts serving if not yet; returns the port. Throws NetObj::Error if it cannot listen, or
  // once the runtime shuts down.
  uint16_t Listen();
  // The addresses written into references to our objects; listens first.
  std::vector<Endpoint> Advertised();
  uint64_t accepted_connections() const;
  std::size_t open_serving_connections() const;
  // Stops the server, not destroying it: a worker running this very shutdown returns into it.
  void Stop();

  // The reply's values follow; what was written before is discarded.
  void BeginReply(IncomingCall& c);

 private:
  class Session;

  std::unique_ptr<Server::Session> OpenSession(Channel& channel, const Endpoint& peer, uint64_t id);
  std::vector<uint8_t> Refusal(const AtomList& atoms);
  bool IsQuick(const FrameHeader& h, std::span<const uint8_t> body) const;
  bool ServeRequest(IncomingCall& c, const FrameHeader& h, std::vector<uint8_t>& body,
                    bool on_poller);
  bool ServeOne(IncomingCall& c, const FrameHeader& h);
  void Dispatch(IncomingCall& c, const FrameHeader& h);
  void ServeLease(IncomingCall& c, int32_t stub_prot);
  bool SendError(IncomingCall& c, const AtomList& atoms);
  void Tick();

  RuntimeCore& core_;
  mutable Mutex mu_;
  std::unique_ptr<Server> server_ GUARDED_BY(mu_);
  std::vector<Endpoint> advertised_ GUARDED_BY(mu_);
  std::chrono::steady_clock::time_point last_tick_;  // the server's thread only
};

}  // namespace NetObj
