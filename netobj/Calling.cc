// The calling side of a call: a pooled or new connection, one write for the request, the reply
// read whole, and a single retry when a pooled connection turns out to have been closed by the
// peer before it saw the request.
#include <algorithm>

#include "netobj/Envelope.h"
#include "netobj/RuntimeCore.h"

namespace NetObj {

Socket RuntimeCore::ConnectSocket(SurrogateLink& link, Endpoint* peer) {
  const std::vector<Endpoint>& order = link.connect_order();
  if (order.empty()) throw ConnectError({"cannot connect", "no usable address"});
  AtomList failures{"cannot connect"};
  std::size_t first = std::min(link.preferred(), order.size() - 1);
  for (std::size_t k = 0; k < order.size(); ++k) {
    std::size_t i = (first + k) % order.size();
    if (stopping_) throw Thread::Alerted();
    try {
      Socket s = Socket::Connect(order[i], options_.connect_timeout);
      link.set_preferred(i);
      *peer = order[i];
      return s;
    } catch (const ConnectError& e) {
      failures.insert(failures.end(), e.atoms().begin() + 1, e.atoms().end());
    }
  }
  throw ConnectError(failures);
}

std::unique_ptr<CallConnection> RuntimeCore::Connect(SurrogateLink& link) {
  Endpoint peer;
  Socket s = ConnectSocket(link, &peer);
  auto c = std::make_unique<CallConnection>(*this, CallConnection::Role::kCalling, peer,
                                            options_.send_byte_order);
  c->Own(std::move(s), peer);
  return c;
}

CallConnection& RuntimeCore::OpenCall(const std::shared_ptr<SurrogateLink>& link,
                                      int32_t stub_prot) {
  if (stopping_) throw Error({"runtime has shut down"});
  CallConnection* c = pool_.TakeIdle(link->pool_key());
  bool reused = c != nullptr;
  if (!c) {
    c = pool_.AddInUse(Connect(*link));
    if (!c) throw Error({"runtime has shut down"});
  }
  c->reused = reused;
  c->keep_alive = shared_from_this();
  c->link = link;
  c->peer_space = link->ref().id.space;
  c->written.clear();
  c->in_transit.clear();
  c->releases_owner = link->ref().id.space;
  c->releases.clear();
  if (c->releases_owner != 0) c->releases = leases_.TakeReleases(c->releases_owner);
  c->out.Begin();
  PutCallHeader(c->out, {space_id_, link->ref().id, stub_prot}, c->releases);
  return *c;
}

// What the request's references counted stays counted, and what it released stays released,
// once the request may have been read (the reply failed after it left); both are taken back
// (CloseCall) when it cannot have been: a send that failed, or a pooled connection the peer
// closed before reading it.
FrameHeader RuntimeCore::Exchange(CallConnection& c) {
  std::span<const uint8_t> frame = c.out.Seal(MessageKind::kCall);
  try {
    c.socket().SendAll(frame.data(), frame.size(), c.peer_text());
    return c.frames.Read(c.socket(), c.peer_text(), &c.in_body);
  } catch (const Rd::Failure&) {
    if (!c.reused || c.frames.started()) c.Delivered();
    if (stopping_) throw Thread::Alerted();
    if (!c.reused || c.frames.started()) throw;
  } catch (const Wr::Failure&) {
    if (stopping_) throw Thread::Alerted();
    if (!c.reused) throw;
  }
  // The pooled connection was closed by the peer (an idle time-out, or an eviction) before any
  // reply came: the peer never read this request, so it is safe to send it again on a fresh
  // connection.
  Endpoint peer;
  Socket fresh = ConnectSocket(*c.link, &peer);
  if (!pool_.Renew(c, std::move(fresh), peer)) throw Thread::Alerted();
  c.reused = false;
  c.socket().SendAll(frame.data(), frame.size(), c.peer_text());
  try {
    return c.frames.Read(c.socket(), c.peer_text(), &c.in_body);
  } catch (const Rd::Failure&) {
    c.Delivered();
    throw;
  }
}

DataFormat RuntimeCore::WaitForReply(CallConnection& c) {
  FrameHeader h;
  try {
    h = Exchange(c);
  } catch (const Rd::Failure&) {
    if (stopping_) throw Thread::Alerted();
    throw;
  }
  c.Delivered();  // a reply came: the request was read
  c.in.Reset(c.in_body, h.format);
  c.peer_space = c.in.GetU64();
  if (h.kind == MessageKind::kError) throw Error(GetErrorBody(c.in));
  if (h.kind != MessageKind::kReply) FailMalformed("expected a reply");
  return h.format;
}

void RuntimeCore::CloseCall(CallConnection& c, bool reuse) {
  Unsend(c);
  if (!c.releases.empty()) leases_.ReturnReleases(c.releases_owner, std::move(c.releases));
  c.releases.clear();
  // The callee has registered what the request carried, or never will.
  c.in_transit.clear();
  std::shared_ptr<SurrogateLink> link = std::move(c.link);
  pool_.Release(c, link ? link->pool_key() : std::string(), reuse && !stopping_);
}

}  // namespace NetObj
