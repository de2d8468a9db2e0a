// The serving side of calls: read a request, find the object, run its dispatcher, send the
// reply in one write, or an error reply when anything raised. A connection whose stream cannot
// be trusted (bad header, truncated frame) gets an error reply if possible and is closed; the
// runtime itself keeps serving.
#include <algorithm>

#include "netobj/RuntimeCore.h"

namespace NetObj {

namespace {
constexpr std::size_t kMaxAtoms = 64;
constexpr std::size_t kMaxAtomLength = 4096;
}  // namespace

bool RuntimeCore::SendError(CallConnection& c, const AtomList& atoms) {
  c.out.Begin();
  c.out.PutU64(space_id_);
  std::size_t n = std::min(atoms.size(), kMaxAtoms);
  c.out.PutU32(static_cast<uint32_t>(std::max<std::size_t>(n, 1)));
  if (n == 0) c.out.PutString("remote failure");
  for (std::size_t i = 0; i < n; ++i) c.out.PutString(atoms[i].substr(0, kMaxAtomLength));
  std::span<const uint8_t> frame = c.out.Seal(MessageKind::kError);
  try {
    c.socket().SendAll(frame.data(), frame.size(), c.peer_text());
    return true;
  } catch (const Wr::Failure&) {
    return false;
  }
}

void RuntimeCore::Refuse(const Socket& s, const Endpoint& peer) {
  CallConnection c(*this, CallConnection::Role::kServing, peer, options_.send_byte_order);
  c.Borrow(&s);
  SendError(c, {"server busy", "too many connections", peer.ToString()});
  // Let the refused request arrive before closing, so the peer reads the refusal rather than a
  // reset.
  s.SetRecvTimeout(std::chrono::milliseconds(100));
  try {
    c.frames.Read(s, c.peer_text(), &c.in_body);
  } catch (const Rd::Failure&) {
  }
}

void RuntimeCore::Serve(const Socket& s, const Endpoint& peer) {
  s.SetRecvTimeout(options_.idle_timeout);
  CallConnection c(*this, CallConnection::Role::kServing, peer, options_.send_byte_order);
  c.Borrow(&s);
  while (!stopping_) {
    FrameHeader h;
    try {
      h = c.frames.Read(s, c.peer_text(), &c.in_body);
    } catch (const MalformedFrame& e) {
      SendError(c, e.atoms());
      return;
    } catch (const Rd::Failure&) {
      return;  // closed, reset, timed out or truncated: nothing to answer
    }
    if (h.kind != MessageKind::kCall) {
      SendError(c, {"malformed message", "expected a call"});
      return;
    }
    if (!ServeOne(c, h)) return;
  }
}

void RuntimeCore::Dispatch(CallConnection& c, const FrameHeader& h) {
  c.peer_space = c.in.GetU64();
  WireId target{c.in.GetU64(), c.in.GetU64()};
  int32_t stub_prot = c.in.GetI32();
  bool addressed_here =
      target.space == space_id_ || (target.space == 0 && target.object < kFirstOrdinaryId);
  auto found = addressed_here ? exports_.Find(target.object) : std::nullopt;
  if (!found) throw Error({"unknown object", "object " + std::to_string(target.object)});
  if (found->dispatch == nullptr) throw Error({"object cannot be called", "no stubs for its type"});
  found->dispatch(c, *found->object, h.format, stub_prot);
}

bool RuntimeCore::ServeOne(CallConnection& c, const FrameHeader& h) {
  c.in.Reset(c.in_body, h.format);
  c.reply_begun = false;
  c.written_exports.clear();
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
  if (stopping_) return false;
  if (failure.empty()) {
    if (!c.reply_begun) BeginReply(c);
    try {
      std::span<const uint8_t> frame = c.out.Seal(MessageKind::kReply);
      c.socket().SendAll(frame.data(), frame.size(), c.peer_text());
      CommitHolders(c);
      return true;
    } catch (const Wr::Failure& e) {
      failure = e.atoms();  // a reply too long can still be refused; a lost peer cannot
    }
  }
  return SendError(c, failure);
}

void RuntimeCore::BeginReply(CallConnection& c) {
  c.reply_begun = true;
  c.written_exports.clear();
  c.out.Begin();
  c.out.PutU64(space_id_);
}

}  // namespace NetObj
