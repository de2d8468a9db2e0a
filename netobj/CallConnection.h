// One call in progress over one channel: what both sides share (the channel, the message being
// written and the message being read, the peer's space, and what the references written into the
// message commit us to), and what only one side needs. An OutgoingCall lives in the calling
// side's pool between calls, owns its channel and belongs to one caller from OpenCall to
// CloseCall; an IncomingCall belongs to the serving session of one connection, whose channel
// stays the server's. The operations of NetObj.h take the shared part; those that belong to one
// side check the role and take that side's type.
//
// Header only. Not thread-safe: one thread at a time. Only the channel's Shutdown may be called
// by the runtime's shutdown from another thread, and an IncomingCall's lease_holder read by the
// server's thread.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "netobj/Channel.h"
#include "netobj/ExportTable.h"
#include "netobj/NetObj.h"
#include "netobj/wire/Endpoint.h"
#include "netobj/wire/Message.h"

namespace NetObj {

class RuntimeCore;
class SurrogateLink;

class CallConnection {
 public:
  enum class Role { kCalling, kServing };

  CallConnection(const CallConnection&) = delete;
  CallConnection& operator=(const CallConnection&) = delete;

  RuntimeCore& core() const { return *core_; }
  Role role() const { return role_; }
  Channel& channel() const { return *channel_; }
  const Endpoint& peer() const { return peer_; }
  const std::string& peer_text() const { return channel_->peer_text(); }

  MessageWriter out;
  std::vector<uint8_t> in_body;
  MessageReader in;
  // The space of the peer, from the last message it sent (or the called object's space).
  uint64_t peer_space = 0;
  // Sends of our objects counted for the peer (ExportTable::Send) whose message has not been
  // known to leave whole yet; taken back if it never does.
  struct Written {
    ExportTable::Sent sent;
    uint64_t space = 0;
  };
  std::vector<Written> written;
  // The message may have been read: what it counted stays counted.
  void Delivered() { written.clear(); }
  // Objects written without a count for the peer (surrogates passed on, or ours to a peer of
  // unknown space): kept alive until the peer may have registered them with their owner (until
  // the call ends; on the serving side, until the next request, the end of the connection, or
  // the connection falling idle after the reply).
  std::vector<std::shared_ptr<T>> in_transit;

 protected:
  CallConnection(RuntimeCore& core, Role role, Channel& channel, const Endpoint& peer,
                 ByteOrder order)
      : out(order), core_(&core), role_(role), channel_(&channel), peer_(peer) {}
  ~CallConnection() = default;

  void Rebind(Channel& channel, const Endpoint& peer) {
    channel_ = &channel;
    peer_ = peer;
  }

 private:
  RuntimeCore* core_;
  Role role_;
  Channel* channel_;
  Endpoint peer_;
};

// The calling side's call: its own channel, and what the request carries for the lease keeper.
class OutgoingCall final : public CallConnection {
 public:
  OutgoingCall(RuntimeCore& core, std::unique_ptr<Channel> channel, const Endpoint& peer,
               ByteOrder order)
      : CallConnection(core, Role::kCalling, *channel, peer, order), owned_(std::move(channel)) {}

  // A fresh channel replaces a failed one, which is returned (to be closed by the caller).
  std::unique_ptr<Channel> Replace(std::unique_ptr<Channel> fresh, const Endpoint& peer) {
    Rebind(*fresh, peer);
    std::swap(owned_, fresh);
    return fresh;
  }

  // The request may have been read: what it counted stays counted, what it released stays
  // released.
  void Delivered() {
    CallConnection::Delivered();
    releases.clear();
  }

  // The releases of the callee space's objects that the request carries; handed back to the
  // lease keeper if the request cannot have been read.
  std::vector<ExportTable::Release> releases;
  uint64_t releases_owner = 0;
  // While a call is open.
  std::shared_ptr<RuntimeCore> keep_alive;
  std::shared_ptr<SurrogateLink> link;
  bool reused = false;  // the connection came from the pool: the peer may have closed it

 private:
  std::unique_ptr<Channel> owned_;
};

// The serving side's call: one per served connection, reused for each request on it.
class IncomingCall final : public CallConnection {
 public:
  // `channel` stays the server's, which may shut it down; `connection_id` is its number for it.
  IncomingCall(RuntimeCore& core, Channel& channel, const Endpoint& peer, ByteOrder order,
               uint64_t connection_id)
      : CallConnection(core, Role::kServing, channel, peer, order), connection_id_(connection_id) {}

  uint64_t connection_id() const { return connection_id_; }

  bool reply_begun = false;
  ExportTable::Dropped released;  // objects the request's releases let go, dropped after the reply
  bool on_poller = false;         // replies must not block
  // The holder whose lease this connection carries (0: none); read by the server's thread.
  std::atomic<uint64_t> lease_holder{0};

 private:
  uint64_t connection_id_;
};

}  // namespace NetObj
