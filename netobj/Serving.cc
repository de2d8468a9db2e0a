// The serving side of calls: one session per served connection, which reads requests handed to
// it by the server, finds the object, runs its dispatcher, and sends the reply in one write, or
// an error reply when anything raised. A stream that cannot be trusted (bad header, too slow)
// gets an error reply if possible and is closed; the runtime itself keeps serving.
#include <algorithm>

#include "netobj/Envelope.h"
#include "netobj/LeaseProtocol.h"
#include "netobj/RuntimeCore.h"

namespace NetObj {

class RuntimeCore::ServingSession : public Server::Session {
 public:
  ServingSession(RuntimeCore& core, const Socket& s, const Endpoint& peer, uint64_t id)
      : core_(core),
        c_(core, CallConnection::Role::kServing, peer, core.options().send_byte_order) {
    c_.Borrow(&s);
    c_.connection_id = id;
  }
  // The connection ended: a lease it carried ends with it, and what our replies carried to
  // third parties may go.
  ~ServingSession() override {
    if (uint64_t holder = c_.lease_holder.load())
      core_.LetGo(core_.exports().LeaseClosed(holder, c_.connection_id));
    core_.LetGo(std::move(c_.in_transit));
  }

  bool IsQuick(const FrameHeader& h, std::span<const uint8_t> body) const override {
    return core_.IsQuick(h, body);
  }
  bool Serve(const FrameHeader& h, std::vector<uint8_t>& body, bool on_poller) override {
    return core_.ServeRequest(c_, h, body, on_poller);
  }
  void Reject(const AtomList& atoms) override {
    c_.on_poller = true;
    core_.SendError(c_, atoms);
  }
  bool Exempt() const override { return c_.lease_holder.load() != 0; }
  // The peer has long read our last reply and registered what it carried.
  void Idle() override {
    core_.LetGo(std::move(c_.in_transit));
    c_.in_transit.clear();
  }

 private:
  RuntimeCore& core_;
  CallConnection c_;
};

std::unique_ptr<Server::Session> RuntimeCore::OpenSession(const Socket& s, const Endpoint& peer,
                                                          uint64_t id) {
  return std::make_unique<ServingSession>(*this, s, peer, id);
}

bool RuntimeCore::SendError(CallConnection& c, const AtomList& atoms) {
  c.out.Begin();
  c.out.PutU64(space_id_);
  PutErrorBody(c.out, atoms);
  std::span<const uint8_t> frame = c.out.Seal(MessageKind::kError);
  try {
    c.socket().SendAll(frame.data(), frame.size(), c.peer_text(), c.on_poller);
    return true;
  } catch (const Wr::Failure&) {
    return false;
  }
}

std::vector<uint8_t> RuntimeCore::Refusal(const Endpoint& peer) {
  MessageWriter w(options_.send_byte_order);
  w.PutU64(space_id_);
  PutErrorBody(w, {"server busy", "too many connections", peer.ToString()});
  std::span<const uint8_t> frame = w.Seal(MessageKind::kError);
  return std::vector<uint8_t>(frame.begin(), frame.end());
}

// Lease traffic is answered on the server's polling thread: it only touches the tables.
bool RuntimeCore::IsQuick(const FrameHeader& h, std::span<const uint8_t> body) const {
  if (h.kind != MessageKind::kCall) return false;
  std::optional<WireId> target = PeekCallTarget(body, h.format);
  return target && target->object == kLeaseObjectId &&
         (target->space == space_id_ || target->space == 0);
}

bool RuntimeCore::ServeRequest(CallConnection& c, const FrameHeader& h, std::vector<uint8_t>& body,
                               bool on_poller) {
  c.on_poller = on_poller;
  // A new request: the peer has dealt with our last reply, registrations included.
  LetGo(std::move(c.in_transit));
  c.in_transit.clear();
  if (h.kind != MessageKind::kCall) {
    SendError(c, {"malformed message", "expected a call"});
    return false;
  }
  std::swap(c.in_body, body);
  bool keep = ServeOne(c, h);
  // Objects the request released go here, after the reply, on a worker: no other thread is
  // woken for them, and a destructor that blocks holds up only this caller's next call. The
  // polling thread must not block: it hands them to the finalizer.
  if (on_poller) LetGo(std::move(c.released));
  c.released.clear();
  return keep;
}

void RuntimeCore::Dispatch(CallConnection& c, const FrameHeader& h) {
  ReceivedCall call = GetCallHeader(c.in);
  c.peer_space = call.header.caller;
  const WireId& target = call.header.target;
  int32_t stub_prot = call.header.stub_prot;
  // The caller's releases come first, whatever the call: a call that fails still carried them.
  if (!call.releases.empty() && target.space == space_id_ && c.peer_space != space_id_)
    c.released = exports_.Released(c.peer_space, call.releases);
  bool addressed_here =
      target.space == space_id_ || (target.space == 0 && target.object < kFirstOrdinaryId);
  if (addressed_here && target.object == kLeaseObjectId) return ServeLease(c, stub_prot);
  auto found = addressed_here ? exports_.Find(target.object) : std::nullopt;
  if (!found) throw Error({kUnknownObject, "object " + std::to_string(target.object)});
  if (found->dispatch == nullptr) throw Error({"object cannot be called", "no stubs for its type"});
  found->dispatch(c, *found->object, h.format, stub_prot);
}

bool RuntimeCore::ServeOne(CallConnection& c, const FrameHeader& h) {
  c.in.Reset(c.in_body, h.format);
  c.reply_begun = false;
  AtomList failure;
  try {
    Dispatch(c, h);
  } catch (const Error& e) {
    failure = e.atoms();
  } catch (const Rd::Failure& e) {
    failure = e.atoms();
  } catch (const Wr::Failure& e) {
    failure = e.atoms();
  } catch (const Thread::Alerted&) {
    failure = {"Thread.Alerted"};
  } catch (const std::exception& e) {
    failure = {"remote exception", e.what()};
  } catch (...) {
    failure = {"remote exception"};
  }
  if (stopping_) {
    Unsend(c);
    return false;
  }
  if (failure.empty()) {
    if (!c.reply_begun) BeginReply(c);
    try {
      std::span<const uint8_t> frame = c.out.Seal(MessageKind::kReply);
      c.socket().SendAll(frame.data(), frame.size(), c.peer_text(), c.on_poller);
      c.Delivered();  // left whole: the peer holds what it carried
      return true;
    } catch (const Wr::Failure& e) {
      failure = e.atoms();  // a reply too long can still be refused; a lost peer cannot
    }
  }
  Unsend(c);
  return SendError(c, failure);
}

void RuntimeCore::BeginReply(CallConnection& c) {
  // Values written before are discarded, and with them what they counted.
  Unsend(c);
  c.reply_begun = true;
  c.out.Begin();
  c.out.PutU64(space_id_);
}

}  // namespace NetObj
