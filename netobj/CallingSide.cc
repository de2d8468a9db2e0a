// Opening, exchanging and closing calls; registering third-party receipts.
#include "netobj/CallingSide.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>

#include "netobj/Envelope.h"
#include "netobj/LeaseProtocol.h"
#include "netobj/OpenedCall.h"
#include "netobj/RuntimeCore.h"
#include "netobj/Transport.h"

namespace NetObj {

std::unique_ptr<Channel> CallingSide::ConnectChannel(SurrogateLink& link, Endpoint* peer) {
  const std::vector<Endpoint>& order = link.connect_order();
  if (order.empty()) throw ConnectError({"cannot connect", "no usable address"});
  AtomList failures{"cannot connect"};
  // The first refusal, said once when no address takes us: every address of one owner refuses
  // alike, and one that takes us later means we were not refused.
  std::optional<std::pair<std::string, std::string>> refused;  // peer, reason
  std::size_t first = std::min(link.preferred(), order.size() - 1);
  for (std::size_t k = 0; k < order.size(); ++k) {
    std::size_t i = (first + k) % order.size();
    if (core_.stopping()) throw Thread::Alerted();
    try {
      Socket s = Socket::Connect(order[i], core_.options().connect_timeout);
      std::unique_ptr<Channel> channel = core_.transport().Opened(std::move(s), order[i].ToString(),
                                                                  core_.options().request_deadline);
      link.set_preferred(i);
      *peer = order[i];
      return channel;
    } catch (const HandshakeRefused& e) {
      if (!refused) refused.emplace(order[i].ToString(), e.reason());
      failures.insert(failures.end(), e.atoms().begin() + 1, e.atoms().end());
    } catch (const ConnectError& e) {
      failures.insert(failures.end(), e.atoms().begin() + 1, e.atoms().end());
    }
  }
  if (refused) ReportRefusal(refused->first, refused->second);
  throw ConnectError(failures);
}

std::unique_ptr<OutgoingCall> CallingSide::Connect(SurrogateLink& link) {
  Endpoint peer;
  std::unique_ptr<Channel> channel = ConnectChannel(link, &peer);
  return std::make_unique<OutgoingCall>(core_, std::move(channel), peer,
                                        core_.options().send_byte_order);
}

OutgoingCall& CallingSide::OpenCall(const std::shared_ptr<SurrogateLink>& link, int32_t stub_prot) {
  if (core_.stopping()) throw Error({"runtime has shut down"});
  OutgoingCall* c = pool_.TakeIdle(link->pool_key());
  bool reused = c != nullptr;
  if (!c) {
    c = pool_.AddInUse(Connect(*link));
    if (!c) throw Error({"runtime has shut down"});
  }
  c->reused = reused;
  c->keep_alive = core_.shared_from_this();
  c->link = link;
  c->peer_space = link->ref().id.space;
  c->written.clear();
  c->in_transit.clear();
  c->releases_owner = link->ref().id.space;
  c->releases.clear();
  if (c->releases_owner != 0) c->releases = core_.leases().TakeReleases(c->releases_owner);
  c->out.Begin();
  PutCallHeader(c->out, {core_.space_id(), link->ref().id, stub_prot}, c->releases);
  return *c;
}

// What the request's references counted stays counted, and what it released stays released,
// once the request may have been read (the reply failed after it left); both are taken back
// (CloseCall) when it cannot have been: a send that failed, or a pooled connection the peer
// closed before reading it.
FrameHeader CallingSide::Exchange(OutgoingCall& c) {
  std::span<const uint8_t> frame = c.out.Seal(MessageKind::kCall);
  try {
    c.channel().Send(frame, false);
    return c.channel().ReadFrame(&c.in_body);
  } catch (const Rd::Failure&) {
    if (!c.reused || c.channel().frame_started()) c.Delivered();
    if (core_.stopping()) throw Thread::Alerted();
    if (!c.reused || c.channel().frame_started()) throw;
  } catch (const Wr::Failure&) {
    if (core_.stopping()) throw Thread::Alerted();
    if (!c.reused) throw;
  }
  // The pooled connection was closed by the peer (an idle time-out, or an eviction) before any
  // reply came: the peer never read this request, so it is safe to send it again on a fresh
  // connection.
  Endpoint peer;
  std::unique_ptr<Channel> fresh = ConnectChannel(*c.link, &peer);
  if (!pool_.Renew(c, std::move(fresh), peer)) throw Thread::Alerted();
  c.reused = false;
  c.channel().Send(frame, false);
  try {
    return c.channel().ReadFrame(&c.in_body);
  } catch (const Rd::Failure&) {
    c.Delivered();
    throw;
  }
}

DataFormat CallingSide::WaitForReply(OutgoingCall& c) {
  FrameHeader h;
  try {
    h = Exchange(c);
  } catch (const Rd::Failure&) {
    if (core_.stopping()) throw Thread::Alerted();
    throw;
  }
  c.Delivered();  // a reply came: the request was read
  c.in.Reset(c.in_body, h.format);
  c.peer_space = c.in.GetU64();
  if (h.kind == MessageKind::kError) {
    AtomList atoms = GetErrorBody(c.in);
    std::string refused = core_.transport().RefusalReason(atoms);
    if (!refused.empty()) ReportRefusal(c.channel().peer_text(), refused);
    throw Error(std::move(atoms));
  }
  if (h.kind != MessageKind::kReply) FailMalformed("expected a reply");
  return h.format;
}

void CallingSide::CloseCall(OutgoingCall& c, bool reuse) {
  core_.Unsend(c);
  if (!c.releases.empty()) core_.leases().ReturnReleases(c.releases_owner, std::move(c.releases));
  c.releases.clear();
  // The callee has registered what the request carried, or never will.
  c.in_transit.clear();
  std::shared_ptr<SurrogateLink> link = std::move(c.link);
  pool_.Release(c, link ? link->pool_key() : std::string(), reuse && !core_.stopping());
}

void CallingSide::ReportRefusal(const std::string& peer, const std::string& reason) {
  {
    MutexLock lock(report_mu_);
    if (!reported_.insert(peer + '\n' + reason).second) return;
  }
  std::fprintf(stderr, "netobj: %s refused us: %s\n", peer.c_str(), reason.c_str());
  std::fflush(stderr);
}

uint64_t CallingSide::RegisterReceipt(const SurrogateLink& link) {
  ObjectRef lease_object{{link.ref().id.space, kLeaseObjectId}, {}, {}};
  auto route = std::make_shared<SurrogateLink>(core_.weak_from_this(), std::move(lease_object),
                                               link.connect_order(), nullptr);
  auto close = [this](OutgoingCall& call, bool reuse) { CloseCall(call, reuse); };
  CallFrame<OutgoingCall, decltype(close)> call(OpenCall(route, kLeaseStubProt), close);
  OutgoingCall& c = call.connection();
  uint64_t epoch = ConvertingFailures([&] {
    c.out.PutI32(static_cast<int32_t>(LeaseMethod::kRegister));
    c.out.PutU64(link.ref().id.object);
    WaitForReply(c);
    uint64_t got = c.in.GetU64();
    if (got == 0) FailMalformed("no epoch");
    return got;
  });
  call.Finish();
  return epoch;
}

}  // namespace NetObj
