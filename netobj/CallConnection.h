// One connection and the call on it: the socket, the frame assembler, the message being written
// and the message being read, and what the references written into it commit us to. On the calling
// side it lives in the runtime's pool between calls and belongs to one caller from OpenCall to
// CloseCall; on the serving side it belongs to the runtime thread that serves the connection.
//
// Not thread-safe: one thread at a time. Only the socket's ShutdownBoth may be called by the
// runtime's shutdown from another thread.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "netobj/ExportTable.h"
#include "netobj/NetObj.h"
#include "netobj/wire/FrameAssembler.h"
#include "netobj/wire/Message.h"
#include "netobj/wire/Socket.h"

namespace NetObj {

class RuntimeCore;
class SurrogateLink;

class CallConnection {
 public:
  enum class Role { kCalling, kServing };

  CallConnection(RuntimeCore& core, Role role, const Endpoint& peer, ByteOrder order)
      : out(order), core_(&core), role_(role), peer_(peer), peer_text_(peer.ToString()) {}
  CallConnection(const CallConnection&) = delete;
  CallConnection& operator=(const CallConnection&) = delete;

  RuntimeCore& core() const { return *core_; }
  Role role() const { return role_; }
  const Socket& socket() const { return sock_ ? *sock_ : owned_; }
  const Endpoint& peer() const { return peer_; }
  const std::string& peer_text() const { return peer_text_; }

  // Serving side: the socket stays the server's, which may shut it down.
  void Borrow(const Socket* s) { sock_ = s; }
  // Calling side: the connection owns its socket; a fresh one replaces a failed one, which is
  // returned (to be closed by the caller).
  Socket Own(Socket s, const Endpoint& peer) {
    std::swap(owned_, s);
    sock_ = nullptr;
    peer_ = peer;
    peer_text_ = peer.ToString();
    frames = FrameAssembler();
    return s;
  }

  FrameAssembler frames;
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
  // Calling side: the releases of the callee space's objects that the request carries; handed
  // back to the lease keeper if the request cannot have been read.
  std::vector<ExportTable::Release> releases;
  uint64_t releases_owner = 0;
  // The message may have been read: what it counted stays counted, what it released stays
  // released.
  void Delivered() {
    written.clear();
    releases.clear();
  }
  // Objects written without a count for the peer (surrogates passed on, or ours to a peer of
  // unknown space): kept alive until the peer may have registered them with their owner (until
  // the call ends; on the serving side, until the next request, the end of the connection, or
  // the connection falling idle after the reply).
  std::vector<std::shared_ptr<T>> in_transit;
  // Calling side, while a call is open.
  std::shared_ptr<RuntimeCore> keep_alive;
  std::shared_ptr<SurrogateLink> link;
  bool reused = false;
  // Serving side.
  bool reply_begun = false;
  ExportTable::Dropped released;  // objects the request's releases let go, dropped after the reply
  bool on_poller = false;         // replies must not block
  uint64_t connection_id = 0;     // the server's number for the connection
  // The holder whose lease this connection carries (0: none); read by the server's thread.
  std::atomic<uint64_t> lease_holder{0};

 private:
  RuntimeCore* core_;
  Role role_;
  Socket owned_;
  const Socket* sock_ = nullptr;
  Endpoint peer_;
  std::string peer_text_;
};

}  // namespace NetObj
