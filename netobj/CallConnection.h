// One connection and the call on it: the socket, the frame reader, the message being written and
// the message being read. On the calling side it lives in the runtime's pool between calls and
// belongs to one caller from OpenCall to CloseCall; on the serving side it belongs to the
// runtime thread that serves the connection.
//
// Not thread-safe: one thread at a time. Only the socket's ShutdownBoth may be called by the
// runtime's shutdown from another thread.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "netobj/Frame.h"
#include "netobj/Message.h"
#include "netobj/NetObj.h"
#include "netobj/Socket.h"

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
    frames.Reset();
    return s;
  }

  FrameReader frames;
  MessageWriter out;
  std::vector<uint8_t> in_body;
  MessageReader in;
  // The space of the peer, from the last message it sent (or the called object's space).
  uint64_t peer_space = 0;
  // Exported objects written into the message being built; the peer is recorded as their
  // holder once the message has gone and the peer's space is known.
  std::vector<uint64_t> written_exports;
  // Calling side, while a call is open.
  std::shared_ptr<RuntimeCore> keep_alive;
  std::shared_ptr<SurrogateLink> link;
  bool reused = false;
  // Serving side.
  bool reply_begun = false;

 private:
  RuntimeCore* core_;
  Role role_;
  Socket owned_;
  const Socket* sock_ = nullptr;
  Endpoint peer_;
  std::string peer_text_;
};

}  // namespace NetObj
