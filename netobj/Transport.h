// How one runtime's connections carry their bytes, chosen once from its key setting:
// - no key (protected mode): plain channels, and the serving side admits only peers on this host
//   (loopback and the host's own addresses); any other gets one error reply and is closed;
// - a cluster key: TLS 1.3 channels whose pre-shared key is derived from it, with an (EC)DHE
//   exchange, in both directions and on loopback too; a peer that does not hold the key fails the
//   handshake, and no byte of it reaches the message layer; the frames then travel in records
//   sealed with keys exported from the handshake;
// - a key file that was refused: no connection is made or accepted, so a mistake never falls
//   back quietly to protected mode.
//
// Implemented in Transport.cc (TLS in TlsChannel.h). Ownership: the runtime's core owns its
// transport; channels it makes may outlive neither. Thread-safe: every method, from any thread.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "netobj/Channel.h"
#include "netobj/ClusterKey.h"
#include "netobj/wire/Endpoint.h"
#include "netobj/wire/Socket.h"
#include "netobj/wire/Values.h"

namespace NetObj {

// What a protected-mode runtime answers a peer from another host.
inline constexpr const char* kOnlyLocalPeers =
    "this host accepts only local peers until a cluster key is set";
// What a runtime with a key answers a peer that speaks plain frames.
inline constexpr const char* kOnlyKeyHolders =
    "this host accepts only peers that hold its cluster key";

// The handshake of a connection this side opened failed: the peer refused us (or we it). No byte
// of a call left; `reason` is what the runtime's one line on standard error says.
class HandshakeRefused : public ConnectError {
 public:
  HandshakeRefused(const std::string& peer, std::string reason)
      : ConnectError({"cannot connect", peer, reason}), reason_(std::move(reason)) {}
  const std::string& reason() const { return reason_; }

 private:
  std::string reason_;
};

class Transport {
 public:
  virtual ~Transport() = default;

  // The serving side's admission, before any byte of the peer is read: empty to admit it, else
  // the atoms of the one error reply it gets. `local`: this end of the connection.
  virtual AtomList Refusal(const Endpoint& peer, const Endpoint& local) const = 0;
  // A channel over an accepted connection; its handshake, if any, runs within the channel's Pump
  // without blocking, and frame_started() is true until it is complete, so it is held to the
  // request deadline from the start.
  virtual std::unique_ptr<Channel> Accepted(Socket s, std::string peer_text) = 0;
  // A channel over a connection this side opened, ready for frames: its handshake, if any, is
  // complete within `deadline`. Throws HandshakeRefused.
  virtual std::unique_ptr<Channel> Opened(Socket s, std::string peer_text,
                                          std::chrono::milliseconds deadline) = 0;
  // What the reply frame's atoms mean, when they are a refusal by a peer's transport: the reason
  // for the runtime's line on standard error; empty for any other error.
  virtual std::string RefusalReason(const AtomList& atoms) const = 0;
};

std::shared_ptr<Transport> MakeTransport(const KeySetting& setting);

}  // namespace NetObj
