// Serving: the server started, sessions opened, requests served and replied to, refusals, and
// the lease expiry tick.
#include "netobj/ServingSide.h"

#include <algorithm>

#include "netobj/Envelope.h"
#include "netobj/LeaseProtocol.h"
#include "netobj/RuntimeCore.h"
#include "netobj/wire/Addresses.h"

namespace NetObj {

namespace {

// A worker that has served a request waits this long for the next one on the same connection
// before handing it back to the polling thread: a run of calls costs no hand-over.
constexpr std::chrono::milliseconds kLinger{1000};

}  // namespace

uint16_t ServingSide::Listen() {
  MutexLock lock(mu_);
  if (server_) return server_->port();
  if (core_.stopping()) throw Error({"runtime has shut down"});
  const RuntimeOptions& options = core_.options();
  Socket listener = Socket::Listen(options.port);
  bool v6 = listener.IsIpv6();
  Server::Limits limits{options.max_serving_connections, options.idle_timeout,
                        options.request_deadline, kLinger};
  Server::Hooks hooks{[this](Channel& channel, const Endpoint& peer, uint64_t id) {
                        return OpenSession(channel, peer, id);
                      },
                      [this](const AtomList& atoms) { return Refusal(atoms); }, [this] { Tick(); }};
  last_tick_ = std::chrono::steady_clock::now();  // read by the server's thread from here on
  server_ =
      std::make_unique<Server>(std::move(listener), limits, std::move(hooks), core_.transport());
  advertised_ = LocalAddresses(server_->port(), v6);
  return server_->port();
}

std::vector<Endpoint> ServingSide::Advertised() {
  Listen();
  MutexLock lock(mu_);
  return advertised_;
}

uint64_t ServingSide::accepted_connections() const {
  MutexLock lock(mu_);
  return server_ ? server_->accepted() : 0;
}

std::size_t ServingSide::open_serving_connections() const {
  MutexLock lock(mu_);
  return server_ ? server_->open_connections() : 0;
}

void ServingSide::Stop() {
  Server* server;
  {
    MutexLock lock(mu_);
    server = server_.get();
  }
  if (server) server->Stop();
}

void ServingSide::Tick() {
  using Clock = std::chrono::steady_clock;
  Clock::time_point now = Clock::now();
  const std::chrono::milliseconds period = core_.options().lease_period;
  // A tick late by seconds means this process was stopped (or starved), not its holders.
  auto pause = std::max<Clock::duration>(period / 2, std::chrono::seconds(2));
  bool paused = now - last_tick_ > pause;
  last_tick_ = now;
  // After such a pause nobody's silence is their fault: every holder gets a fresh lease period.
  std::vector<uint64_t> expired;
  ExportTable::Dropped dropped = core_.exports().Expire(
      now, paused ? Clock::duration::max() : Clock::duration(period), &expired);
  if (paused) core_.exports().HeardFromAll(now);
  core_.LetGo(std::move(dropped));
  if (expired.empty()) return;
  MutexLock lock(mu_);
  for (uint64_t id : expired) server_->Disconnect(id);
}

class ServingSide::Session : public Server::Session {
 public:
  Session(ServingSide& side, Channel& channel, const Endpoint& peer, uint64_t id)
      : side_(side),
        core_(side.core_),
        c_(side.core_, channel, peer, side.core_.options().send_byte_order, id) {}
  // The connection ended: a lease it carried ends with it, and what our replies carried to
  // third parties may go.
  ~Session() override {
    if (uint64_t holder = c_.lease_holder.load())
      core_.LetGo(core_.exports().LeaseClosed(holder, c_.connection_id()));
    core_.LetGo(std::move(c_.in_transit));
  }

  bool IsQuick(const FrameHeader& h, std::span<const uint8_t> body) const override {
    return side_.IsQuick(h, body);
  }
  bool Serve(const FrameHeader& h, std::vector<uint8_t>& body, bool on_poller) override {
    return side_.ServeRequest(c_, h, body, on_poller);
  }
  void Reject(const AtomList& atoms) override {
    c_.on_poller = true;
    side_.SendError(c_, atoms);
  }
  bool Exempt() const override { return c_.lease_holder.load() != 0; }
  // The peer has long read our last reply and registered what it carried.
  void Idle() override {
    core_.LetGo(std::move(c_.in_transit));
    c_.in_transit.clear();
  }

 private:
  ServingSide& side_;
  RuntimeCore& core_;
  IncomingCall c_;
};

std::unique_ptr<Server::Session> ServingSide::OpenSession(Channel& channel, const Endpoint& peer,
                                                          uint64_t id) {
  return std::make_unique<Session>(*this, channel, peer, id);
}

bool ServingSide::SendError(IncomingCall& c, const AtomList& atoms) {
  c.out.Begin();
  c.out.PutU64(core_.space_id());
  PutErrorBody(c.out, atoms);
  std::span<const uint8_t> frame = c.out.Seal(MessageKind::kError);
  try {
    c.channel().Send(frame, c.on_poller);
    return true;
  } catch (const Wr::Failure&) {
    return false;
  }
}

std::vector<uint8_t> ServingSide::Refusal(const AtomList& atoms) {
  MessageWriter w(core_.options().send_byte_order);
  w.PutU64(core_.space_id());
  PutErrorBody(w, atoms);
  std::span<const uint8_t> frame = w.Seal(MessageKind::kError);
  return std::vector<uint8_t>(frame.begin(), frame.end());
}

// Lease traffic is answered on the server's polling thread: it only touches the tables.
bool ServingSide::IsQuick(const FrameHeader& h, std::span<const uint8_t> body) const {
  if (h.kind != MessageKind::kCall) return false;
  std::optional<WireId> target = PeekCallTarget(body, h.format);
  return target && target->object == kLeaseObjectId &&
         (target->space == core_.space_id() || target->space == 0);
}

bool ServingSide::ServeRequest(IncomingCall& c, const FrameHeader& h, std::vector<uint8_t>& body,
                               bool on_poller) {
  c.on_poller = on_poller;
  // A new request: the peer has dealt with our last reply, registrations included.
  core_.LetGo(std::move(c.in_transit));
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
  if (on_poller) core_.LetGo(std::move(c.released));
  c.released.clear();
  return keep;
}

void ServingSide::Dispatch(IncomingCall& c, const FrameHeader& h) {
  const uint64_t here = core_.space_id();
  ReceivedCall call = GetCallHeader(c.in);
  c.peer_space = call.header.caller;
  const WireId& target = call.header.target;
  int32_t stub_prot = call.header.stub_prot;
  // The caller's releases come first, whatever the call: a call that fails still carried them.
  if (!call.releases.empty() && target.space == here && c.peer_space != here)
    c.released = core_.exports().Released(c.peer_space, call.releases);
  bool addressed_here =
      target.space == here || (target.space == 0 && target.object < kFirstOrdinaryId);
  if (addressed_here && target.object == kLeaseObjectId) return ServeLease(c, stub_prot);
  auto found = addressed_here ? core_.exports().Find(target.object) : std::nullopt;
  if (!found) throw Error({kUnknownObject, "object " + std::to_string(target.object)});
  if (found->dispatch == nullptr) throw Error({"object cannot be called", "no stubs for its type"});
  found->dispatch(c, *found->object, h.format, stub_prot);
}

bool ServingSide::ServeOne(IncomingCall& c, const FrameHeader& h) {
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
  if (core_.stopping()) {
    core_.Unsend(c);
    return false;
  }
  if (failure.empty()) {
    if (!c.reply_begun) BeginReply(c);
    try {
      std::span<const uint8_t> frame = c.out.Seal(MessageKind::kReply);
      c.channel().Send(frame, c.on_poller);
      c.Delivered();  // left whole: the peer holds what it carried
      return true;
    } catch (const Wr::Failure& e) {
      failure = e.atoms();  // a reply too long can still be refused; a lost peer cannot
    }
  }
  core_.Unsend(c);
  return SendError(c, failure);
}

void ServingSide::BeginReply(IncomingCall& c) {
  // Values written before are discarded, and with them what they counted.
  core_.Unsend(c);
  c.reply_begun = true;
  c.out.Begin();
  c.out.PutU64(core_.space_id());
}

}  // namespace NetObj
