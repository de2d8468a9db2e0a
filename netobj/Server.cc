// Accepting, watching parked connections, admission, eviction and deadlines.
#include "netobj/Server.h"

#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>

#include "netobj/LocalPeerAffinity.h"
#include "netobj/wire/Addresses.h"

namespace NetObj {

namespace {

// Poller keys: the listener, refused connections being drained (this bit and a counter), and
// every other key a connection's id, counted from 1.
constexpr uint64_t kListenerKey = 0;
constexpr uint64_t kClosingBit = uint64_t{1} << 62;
constexpr auto kLongestTick = std::chrono::milliseconds(250);
constexpr auto kShortestTick = std::chrono::milliseconds(10);
constexpr auto kSendTimeout = std::chrono::seconds(30);
constexpr auto kRefusalLinger = std::chrono::milliseconds(500);
constexpr std::size_t kMaxClosing = 256;
constexpr std::size_t kMostReady = 64;
constexpr int kSpareDescriptors = 128;

// Raises the descriptor limit towards what the connection limit needs; returns the number of
// connections the limit allows.
int ConnectionsAllowed(int wanted) {
  rlimit r{};
  if (::getrlimit(RLIMIT_NOFILE, &r) != 0) return wanted;
  rlim_t need = static_cast<rlim_t>(wanted) + kSpareDescriptors * 2;
  if (r.rlim_cur != RLIM_INFINITY && r.rlim_cur < need) {
    r.rlim_cur = r.rlim_max == RLIM_INFINITY ? need : std::min(need, r.rlim_max);
    ::setrlimit(RLIMIT_NOFILE, &r);
    ::getrlimit(RLIMIT_NOFILE, &r);
  }
  if (r.rlim_cur == RLIM_INFINITY) return wanted;
  long room = static_cast<long>(r.rlim_cur) - kSpareDescriptors;
  return static_cast<int>(std::clamp<long>(room, 1, wanted));
}

}  // namespace

struct Server::Conn final : WorkerPool::Connection {
  Conn(Server& owner, Socket s, const Endpoint& from, uint64_t number, bool local)
      : server(owner),
        id(number),
        peer(from),
        same_host(local),
        chan(owner.transport_.Accepted(std::move(s), peer.ToString())) {}

  bool SameHost() const override { return same_host; }
  const Channel& channel() const override { return *chan; }
  bool Serve() override { return server.ServeOnWorker(*this); }
  bool AwaitNext() override { return server.AwaitOnWorker(*this); }

  Server& server;
  const uint64_t id;
  Endpoint peer;
  bool same_host;  // the peer runs on this host
  // Declared before the session, so it outlives it; its frames are the owning thread's, as the
  // request below.
  const std::unique_ptr<Channel> chan;
  std::unique_ptr<Session> session;
  State state = State::kIdle;    // guarded by the server's mu_
  Clock::time_point since;       // last activity; guarded by the server's mu_
  Clock::time_point first_byte;  // of the request arriving; guarded by the server's mu_
  FrameHeader header;            // the request at hand
  std::vector<uint8_t> body;
};

Server::Server(Socket listener, const Limits& limits, Hooks hooks, Transport& transport)
    : listener_(std::move(listener)),
      port_(listener_.LocalPort()),
      limits_(limits),
      hooks_(std::move(hooks)),
      transport_(transport) {
  limits_.max_connections = ConnectionsAllowed(limits_.max_connections);
  limits_.linger = std::min(limits_.linger, limits_.idle_timeout);
  // Time-outs are checked a few times within their own length.
  tick_ = std::clamp<std::chrono::milliseconds>(
      std::min(limits_.idle_timeout, limits_.request_deadline) / 4, kShortestTick, kLongestTick);
  listener_.SetNonBlocking();
  poller_.Add(listener_.fd(), kListenerKey, Poller::Watch::kReadable);
  poll_thread_ = std::jthread([this] { PollLoop(); });
}

Server::~Server() { Stop(); }

std::size_t Server::open_connections() const {
  MutexLock lock(mu_);
  return conns_.size();
}

std::size_t Server::worker_threads() const { return workers_.threads(); }

void Server::PollLoop() {
  uint64_t ready[kMostReady];
  Clock::time_point next_tick = Clock::now() + tick_;
  for (;;) {
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next_tick - Clock::now());
    std::size_t n = poller_.Wait(wait, ready);
    {
      MutexLock lock(mu_);
      if (stopping_) return;
    }
    for (std::size_t i = 0; i < n; ++i) Dispatch(ready[i]);
    Clock::time_point now = Clock::now();
    if (now >= next_tick) {
      Sweep(now);
      if (hooks_.tick) hooks_.tick();
      next_tick = now + tick_;
    }
  }
}

void Server::Dispatch(uint64_t key) {
  if (key == kListenerKey)
    AcceptAll();
  else if (key & kClosingBit)
    DrainClosing(key);
  else
    OnReadable(key);
}

void Server::AcceptAll() {
  for (;;) {
    Endpoint peer;
    bool out_of_descriptors = false;
    Socket s = listener_.AcceptPending(&peer, &out_of_descriptors);
    if (!s.valid()) {
      if (out_of_descriptors) {
        // The pending connection stays in the backlog; stop polling the listener until the next
        // sweep, or this thread would spin on it.
        poller_.Modify(listener_.fd(), kListenerKey, Poller::Watch::kNothing);
        listener_armed_ = false;
      }
      return;
    }
    accepted_.fetch_add(1);
    Admit(std::move(s), peer);
  }
}

Server::ConnPtr Server::PickVictimLocked() const {
  ConnPtr idle, slow;
  for (const auto& [id, c] : conns_) {
    bool is_idle = c->state == State::kIdle || c->state == State::kLingering;
    bool is_slow = c->state == State::kArriving;
    if ((!is_idle && !is_slow) || c->session->Exempt()) continue;
    if (is_idle && (!idle || c->since < idle->since)) idle = c;
    if (is_slow && (!slow || c->first_byte < slow->first_byte)) slow = c;
  }
  return idle ? idle : slow;
}

void Server::Admit(Socket s, const Endpoint& peer) {
  Endpoint local = s.LocalEndpoint();
  AtomList refused = transport_.Refusal(peer, local);
  if (!refused.empty()) return Refuse(std::move(s), peer, refused);
  s.SetRecvTimeout(limits_.linger);
  s.SetSendTimeout(kSendTimeout);
  Clock::time_point since = Clock::now();
  ConnPtr victim;
  bool full = false;
  uint64_t id = 0;
  {
    MutexLock lock(mu_);
    if (static_cast<int>(conns_.size()) >= limits_.max_connections) {
      victim = PickVictimLocked();
      full = !victim;
      if (victim && victim->state == State::kLingering) {
        // Its worker notices, and closes it without serving what it may have just read.
        victim->state = State::kEvicted;
        victim->chan->Shutdown();
        victim.reset();
      }
    }
    if (!full) id = next_id_++;
  }
  if (full)
    return Refuse(std::move(s), peer, {"server busy", "too many connections", peer.ToString()});
  if (victim) Close(*victim);  // parked: this thread's to close
  auto c = std::make_shared<Conn>(*this, std::move(s), peer, id, IsLocalPeer(peer, {local}));
  c->since = since;
  // A handshake to come is held to the request deadline from now.
  if (c->chan->frame_started()) {
    c->state = State::kArriving;
    c->first_byte = since;
  }
  c->session = hooks_.open(*c->chan, c->peer, c->id);
  {
    MutexLock lock(mu_);
    if (stopping_) return;
    conns_[c->id] = c;
  }
  Arm(*c, true);
}

void Server::Refuse(Socket s, const Endpoint& peer, const AtomList& atoms) {
  try {
    std::vector<uint8_t> frame = hooks_.refusal(atoms);
    s.SendAll(frame.data(), frame.size(), peer.ToString(), true);
  } catch (const Wr::Failure&) {
  }
  if (closing_.size() >= kMaxClosing) return;  // closed at once
  // Let the refused request arrive before closing, so the peer reads the refusal rather than a
  // reset.
  ::shutdown(s.fd(), SHUT_WR);
  uint64_t key = kClosingBit | next_closing_++;
  poller_.Add(s.fd(), key, Poller::Watch::kReadable);
  closing_.emplace(key, Closing{std::move(s), Clock::now() + kRefusalLinger});
}

void Server::DrainClosing(uint64_t key) {
  auto it = closing_.find(key);
  if (it == closing_.end()) return;
  uint8_t scratch[4096];
  try {
    for (;;) {
      std::optional<std::size_t> k = it->second.sock.TryRecv(scratch, sizeof(scratch), "", false);
      if (!k) return;      // more may come
      if (*k == 0) break;  // the peer closed too
    }
  } catch (const Rd::Failure&) {
  }
  poller_.Remove(it->second.sock.fd());
  closing_.erase(it);
}

// `first`: the connection is not in the watch set (new, or back from a worker).
void Server::Arm(const Conn& c, bool first) {
  if (first)
    poller_.Add(c.chan->fd(), c.id, Poller::Watch::kReadableOnce);
  else
    poller_.Modify(c.chan->fd(), c.id, Poller::Watch::kReadableOnce);
}

void Server::OnReadable(uint64_t id) {
  ConnPtr c;
  {
    MutexLock lock(mu_);
    auto it = conns_.find(id);
    if (it == conns_.end()) return;
    if (it->second->state != State::kIdle && it->second->state != State::kArriving) return;
    c = it->second;
  }
  ServeParked(c);
}

// `since` keeps the last activity: a connection parked after its worker waited in
// vain has been idle since its last reply.
void Server::ParkLocked(Conn& c, bool arriving) {
  Clock::time_point now = Clock::now();
  if (arriving && c.state != State::kArriving) c.first_byte = now;
  if (arriving) c.since = now;
  c.state = arriving ? State::kArriving : State::kIdle;
}

// On the polling thread: takes what arrived; serves quick requests here and hands the others on.
void Server::ServeParked(const ConnPtr& c) {
  for (;;) {
    FrameAssembler::Got got;
    try {
      got = c->chan->Pump(FrameAssembler::Wait::kNever);
    } catch (const MalformedFrame& e) {
      c->session->Reject(e.atoms());
      return Close(*c);
    } catch (const Rd::Failure&) {
      return Close(*c);
    }
    if (got == FrameAssembler::Got::kClosed) return Close(*c);
    if (got == FrameAssembler::Got::kWouldBlock) {
      {
        MutexLock lock(mu_);
        ParkLocked(*c, c->chan->frame_started());
      }
      return Arm(*c, false);
    }
    c->header = c->chan->TakeFrame(&c->body);
    if (!c->session->IsQuick(c->header, c->body)) {
      // Out of the watch set while a worker has it: otherwise every packet that reaches the
      // worker also passes through the polling thread's wake-up.
      poller_.Remove(c->chan->fd());
      return HandToWorker(c);
    }
    if (!c->session->Serve(c->header, c->body, true)) return Close(*c);
    MutexLock lock(mu_);
    ParkLocked(*c, false);
    c->since = Clock::now();
  }
}

void Server::HandToWorker(const ConnPtr& c) {
  {
    MutexLock lock(mu_);
    c->state = State::kServing;
    if (stopping_) return;
  }
  if (workers_.Hand(c)) return;
  c->session->Reject({"server busy", "no thread to serve", c->chan->peer_text()});
  Close(*c);
}

// On a worker, for the request at hand.
bool Server::ServeOnWorker(Conn& c) {
  bool keep = false;
  try {
    keep = c.session->Serve(c.header, c.body, false);
  } catch (...) {
  }
  if (keep) {
    MutexLock lock(mu_);
    keep = !stopping_ && c.state != State::kEvicted;
    if (keep) {
      c.state = State::kLingering;
      c.since = Clock::now();
    }
  }
  if (!keep) Close(c);
  return keep;
}

// On a worker, after a reply: the next request, or the connection back to the polling thread.
bool Server::AwaitOnWorker(Conn& c) {
  FrameAssembler::Got got;
  try {
    got = c.chan->Pump(FrameAssembler::Wait::kFirst);
  } catch (const MalformedFrame& e) {
    c.session->Reject(e.atoms());
    Close(c);
    return false;
  } catch (const Rd::Failure&) {
    Close(c);
    return false;
  }
  // Still this worker's: the session may let go of what the last reply needed kept.
  if (got == FrameAssembler::Got::kWouldBlock && !c.chan->frame_started()) c.session->Idle();
  bool over;
  {
    MutexLock lock(mu_);
    // An evicted connection's request (if one just came) is dropped unserved: its caller saw
    // no reply byte and retries elsewhere.
    over = stopping_ || c.state == State::kEvicted || got == FrameAssembler::Got::kClosed;
    if (!over && got == FrameAssembler::Got::kWouldBlock) {
      ParkLocked(c, c.chan->frame_started());
      Arm(c, true);
      return false;
    }
    if (!over) c.state = State::kServing;
  }
  if (over) {
    Close(c);
    return false;
  }
  c.header = c.chan->TakeFrame(&c.body);
  return true;
}

void Server::Close(Conn& c) {
  ConnPtr last;  // lets the session end outside the lock, should no one else hold it
  {
    MutexLock lock(mu_);
    auto it = conns_.find(c.id);
    if (it == conns_.end() || it->second.get() != &c) return;
    last = std::move(it->second);
    conns_.erase(it);
  }
  poller_.Remove(c.chan->fd());
  // The channel closes when the last holder lets go (the caller's reference is the last but for
  // a concurrent Disconnect); shut it down now so the peer sees the end at once.
  c.chan->Shutdown();
}

void Server::Sweep(Clock::time_point now) {
  SweepConnections(now);
  SweepClosing(now);
  if (!listener_armed_) {
    poller_.Modify(listener_.fd(), kListenerKey, Poller::Watch::kReadable);
    listener_armed_ = true;
  }
}

void Server::SweepConnections(Clock::time_point now) {
  std::vector<ConnPtr> idle, slow;
  {
    MutexLock lock(mu_);
    for (const auto& [id, c] : conns_) {
      if (c->state == State::kArriving) {
        auto allowance =
            limits_.request_deadline + std::chrono::seconds(c->chan->frame_announced() >> 20);
        if (now - c->first_byte > allowance) slow.push_back(c);
      } else if (c->state == State::kIdle && now - c->since > limits_.idle_timeout &&
                 !c->session->Exempt()) {
        idle.push_back(c);
      }
    }
  }
  for (const ConnPtr& c : slow) {
    c->session->Reject({"request too slow", c->chan->peer_text()});
    Close(*c);
  }
  for (const ConnPtr& c : idle) Close(*c);
}

void Server::SweepClosing(Clock::time_point now) {
  for (auto it = closing_.begin(); it != closing_.end();) {
    if (now < it->second.until) {
      ++it;
      continue;
    }
    poller_.Remove(it->second.sock.fd());
    it = closing_.erase(it);
  }
}

void Server::Disconnect(uint64_t id) {
  MutexLock lock(mu_);
  auto it = conns_.find(id);
  if (it != conns_.end()) it->second->chan->Shutdown();
}

void Server::Stop() {
  {
    MutexLock lock(mu_);
    if (stopping_) return;
    stopping_ = true;
    for (auto& [id, c] : conns_) c->chan->Shutdown();
  }
  poller_.Wake();
  if (poll_thread_.joinable()) {
    if (poll_thread_.get_id() == std::this_thread::get_id())
      poll_thread_.detach();
    else
      poll_thread_.join();
  }
  workers_.Stop();
  std::unordered_map<uint64_t, ConnPtr> conns;
  {
    MutexLock lock(mu_);
    conns.swap(conns_);
  }
  conns.clear();  // sessions end here, outside the lock
  closing_.clear();
  listener_.ShutdownBoth();
  listener_.Close();
}

}  // namespace NetObj
