// Polling, accepting, handing requests to workers, eviction and deadlines.
#include "netobj/Server.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <system_error>

#include "netobj/LocalPeerAffinity.h"
#include "netobj/wire/Addresses.h"
#include "netobj/wire/FrameAssembler.h"

namespace NetObj {

namespace {

constexpr uint64_t kListenerKey = 0;
constexpr uint64_t kWakeKey = ~uint64_t{0};
constexpr uint64_t kClosingBit = uint64_t{1} << 62;
constexpr auto kLongestTick = std::chrono::milliseconds(250);
constexpr auto kShortestTick = std::chrono::milliseconds(10);
constexpr auto kWorkerIdle = std::chrono::seconds(10);
constexpr auto kSendTimeout = std::chrono::seconds(30);
constexpr auto kRefusalLinger = std::chrono::milliseconds(500);
constexpr std::size_t kMaxClosing = 256;
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

struct Server::Conn {
  uint64_t id = 0;
  Socket sock;  // declared before the session, so it outlives it
  Endpoint peer;
  bool same_host = false;  // the peer runs on this host
  std::string peer_text;
  FrameAssembler frames;
  std::unique_ptr<Session> session;
  // Guarded by the server's lock:
  enum class State { kParked, kServing, kLingering } state = State::kParked;
  bool evicted = false;
  bool partial = false;
  Clock::time_point since;       // last activity
  Clock::time_point first_byte;  // of the request arriving while parked
  // The request handed to a worker; the owning thread's.
  FrameHeader header;
  std::vector<uint8_t> body;
};

Server::Server(Socket listener, const Limits& limits, Hooks hooks)
    : listener_(std::move(listener)),
      port_(listener_.LocalPort()),
      limits_(limits),
      hooks_(std::move(hooks)) {
  limits_.max_connections = ConnectionsAllowed(limits_.max_connections);
  limits_.linger = std::min(limits_.linger, limits_.idle_timeout);
  // Time-outs are checked a few times within their own length.
  tick_ = std::clamp<std::chrono::milliseconds>(
      std::min(limits_.idle_timeout, limits_.request_deadline) / 4, kShortestTick, kLongestTick);
  listener_.SetNonBlocking();
  epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
  wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (epoll_ < 0 || wake_ < 0) throw Error({"cannot listen", "no event descriptors"});
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kListenerKey;
  ::epoll_ctl(epoll_, EPOLL_CTL_ADD, listener_.fd(), &ev);
  ev.data.u64 = kWakeKey;
  ::epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &ev);
  poller_ = std::thread([this] { PollLoop(); });
}

Server::~Server() {
  Stop();
  if (epoll_ >= 0) ::close(epoll_);
  if (wake_ >= 0) ::close(wake_);
}

std::size_t Server::open_connections() const {
  std::scoped_lock lock(mu_);
  return conns_.size();
}

std::size_t Server::worker_threads() const {
  std::scoped_lock lock(mu_);
  return static_cast<std::size_t>(std::count_if(
      workers_.begin(), workers_.end(), [](const std::shared_ptr<Worker>& w) { return !w->done; }));
}

void Server::PollLoop() {
  epoll_event events[64];
  Clock::time_point next_tick = Clock::now() + tick_;
  for (;;) {
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next_tick - Clock::now());
    int n = ::epoll_wait(epoll_, events, 64, static_cast<int>(std::max<long>(wait.count(), 0)));
    {
      std::scoped_lock lock(mu_);
      if (stopping_) return;
    }
    for (int i = 0; i < n; ++i) {
      uint64_t key = events[i].data.u64;
      if (key == kListenerKey) {
        AcceptAll();
      } else if (key == kWakeKey) {
        uint64_t v;
        (void)!::read(wake_, &v, sizeof(v));
      } else if (key & kClosingBit) {
        DrainClosing(key);
      } else {
        OnReadable(key);
      }
    }
    Clock::time_point now = Clock::now();
    if (now >= next_tick) {
      Sweep(now);
      if (hooks_.tick) hooks_.tick();
      next_tick = now + tick_;
    }
  }
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
        epoll_event ev{};
        ev.data.u64 = kListenerKey;
        ::epoll_ctl(epoll_, EPOLL_CTL_MOD, listener_.fd(), &ev);
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
    if (c->evicted || c->session->Exempt()) continue;
    bool is_idle =
        (c->state == Conn::State::kParked && !c->partial) || c->state == Conn::State::kLingering;
    if (is_idle && (!idle || c->since < idle->since)) idle = c;
    if (c->state == Conn::State::kParked && c->partial &&
        (!slow || c->first_byte < slow->first_byte))
      slow = c;
  }
  return idle ? idle : slow;
}

void Server::Admit(Socket s, const Endpoint& peer) {
  s.SetRecvTimeout(limits_.linger);
  s.SetSendTimeout(kSendTimeout);
  auto c = std::make_shared<Conn>();
  c->sock = std::move(s);
  c->peer = peer;
  c->same_host = IsLocalPeer(peer, {c->sock.LocalEndpoint()});
  c->peer_text = peer.ToString();
  c->since = Clock::now();
  ConnPtr victim;
  {
    std::unique_lock lock(mu_);
    if (static_cast<int>(conns_.size()) >= limits_.max_connections) {
      victim = PickVictimLocked();
      if (!victim) {
        lock.unlock();
        Refuse(std::move(c->sock), peer);
        return;
      }
      if (victim->state == Conn::State::kLingering) {
        // Its worker notices, and closes it without serving what it may have just read.
        victim->evicted = true;
        victim->sock.ShutdownBoth();
        victim.reset();
      }
    }
    c->id = next_id_++;
  }
  if (victim) Close(victim);  // parked: this thread's to close
  c->session = hooks_.open(c->sock, c->peer, c->id);
  {
    std::scoped_lock lock(mu_);
    if (stopping_) return;
    conns_[c->id] = c;
  }
  Arm(*c, true);
}

void Server::Refuse(Socket s, const Endpoint& peer) {
  try {
    std::vector<uint8_t> frame = hooks_.refusal(peer);
    s.SendAll(frame.data(), frame.size(), peer.ToString(), true);
  } catch (const Wr::Failure&) {
  }
  if (closing_.size() >= kMaxClosing) return;  // closed at once
  // Let the refused request arrive before closing, so the peer reads the refusal rather than a
  // reset.
  ::shutdown(s.fd(), SHUT_WR);
  uint64_t key = kClosingBit | next_closing_++;
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = key;
  ::epoll_ctl(epoll_, EPOLL_CTL_ADD, s.fd(), &ev);
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
  ::epoll_ctl(epoll_, EPOLL_CTL_DEL, it->second.sock.fd(), nullptr);
  closing_.erase(it);
}

void Server::Arm(const Conn& c, bool first) const {
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
  ev.data.u64 = c.id;
  ::epoll_ctl(epoll_, first ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, c.sock.fd(), &ev);
}

void Server::OnReadable(uint64_t id) {
  ConnPtr c;
  {
    std::scoped_lock lock(mu_);
    auto it = conns_.find(id);
    if (it == conns_.end() || it->second->state != Conn::State::kParked) return;
    c = it->second;
  }
  ServeParked(c);
}

// `since` keeps the last activity: a connection parked after its worker waited in vain has been
// idle since its last reply.
void Server::ParkLocked(Conn& c, bool partial) {
  Clock::time_point now = Clock::now();
  if (partial && !c.partial) c.first_byte = now;
  if (partial) c.since = now;
  c.partial = partial;
  c.state = Conn::State::kParked;
}

// On the polling thread: takes what arrived; serves quick requests here and hands the others on.
void Server::ServeParked(const ConnPtr& c) {
  for (;;) {
    FrameAssembler::Got got;
    try {
      got = c->frames.Pump(c->sock, c->peer_text, FrameAssembler::Wait::kNever);
    } catch (const MalformedFrame& e) {
      c->session->Reject(e.atoms());
      return Close(c);
    } catch (const Rd::Failure&) {
      return Close(c);
    }
    if (got == FrameAssembler::Got::kClosed) return Close(c);
    if (got == FrameAssembler::Got::kWouldBlock) {
      {
        std::scoped_lock lock(mu_);
        ParkLocked(*c, c->frames.started());
      }
      return Arm(*c, false);
    }
    c->header = c->frames.Take(&c->body);
    if (!c->session->IsQuick(c->header, c->body)) {
      // Out of the poll set while a worker has it: otherwise every packet that reaches the
      // worker also passes through the poll set's wake-up.
      ::epoll_ctl(epoll_, EPOLL_CTL_DEL, c->sock.fd(), nullptr);
      return HandToWorker(c);
    }
    if (!c->session->Serve(c->header, c->body, true)) return Close(c);
    std::scoped_lock lock(mu_);
    ParkLocked(*c, false);
    c->since = Clock::now();
  }
}

void Server::HandToWorker(const ConnPtr& c) {
  std::list<std::shared_ptr<Worker>> finished;
  bool no_thread = false;
  {
    std::scoped_lock lock(mu_);
    c->state = Conn::State::kServing;
    c->partial = false;
    if (stopping_) return;
    work_.push_back(c);
    if (idle_workers_ >= work_.size()) {
      work_cv_.notify_one();
    } else {
      for (auto it = workers_.begin(); it != workers_.end();) {
        auto next = std::next(it);
        if ((*it)->done) finished.splice(finished.end(), workers_, it);
        it = next;
      }
      auto w = std::make_shared<Worker>();
      try {
        w->thread = std::thread([this, w] { WorkerLoop(w.get()); });
        workers_.push_back(std::move(w));
      } catch (const std::system_error&) {
        work_.pop_back();
        no_thread = true;
      }
    }
  }
  for (auto& w : finished) w->thread.join();
  if (no_thread) {
    c->session->Reject({"server busy", "no thread to serve", c->peer_text});
    Close(c);
  }
}

void Server::WorkerLoop(Worker* self) {
  std::unique_lock lock(mu_);
  for (;;) {
    ++idle_workers_;
    bool has_work =
        work_cv_.wait_for(lock, kWorkerIdle, [&] { return stopping_ || !work_.empty(); });
    --idle_workers_;
    if (stopping_ || !has_work) break;
    ConnPtr c = std::move(work_.front());
    work_.pop_front();
    lock.unlock();
    RunConnection(c);
    c.reset();
    lock.lock();
  }
  self->done = true;
}

// On a worker: serves the request handed over, then the next ones that follow soon enough.
void Server::RunConnection(const ConnPtr& c) {
  LocalPeerAffinity affinity(c->same_host);
  for (;;) {
    affinity.Follow(c->sock);
    bool keep = false;
    try {
      keep = c->session->Serve(c->header, c->body, false);
    } catch (...) {
    }
    if (!keep) return Close(c);
    {
      std::scoped_lock lock(mu_);
      if (stopping_ || c->evicted) break;
      c->state = Conn::State::kLingering;
      c->since = Clock::now();
    }
    FrameAssembler::Got got;
    try {
      got = c->frames.Pump(c->sock, c->peer_text, FrameAssembler::Wait::kFirst);
    } catch (const MalformedFrame& e) {
      c->session->Reject(e.atoms());
      return Close(c);
    } catch (const Rd::Failure&) {
      return Close(c);
    }
    // Still this worker's: the session may let go of what the last reply needed kept.
    if (got == FrameAssembler::Got::kWouldBlock && !c->frames.started()) c->session->Idle();
    {
      std::scoped_lock lock(mu_);
      // An evicted connection's request (if one just came) is dropped unserved: its caller saw
      // no reply byte and retries elsewhere.
      if (stopping_ || c->evicted || got == FrameAssembler::Got::kClosed) break;
      if (got == FrameAssembler::Got::kWouldBlock) {
        ParkLocked(*c, c->frames.started());
        Arm(*c, true);
        return;
      }
      c->state = Conn::State::kServing;
    }
    c->header = c->frames.Take(&c->body);
  }
  Close(c);
}

void Server::Close(const ConnPtr& c) {
  {
    std::scoped_lock lock(mu_);
    auto it = conns_.find(c->id);
    if (it == conns_.end() || it->second != c) return;
    conns_.erase(it);
  }
  ::epoll_ctl(epoll_, EPOLL_CTL_DEL, c->sock.fd(), nullptr);
  // The socket closes when the last holder lets go (the caller's reference is the last but for
  // a concurrent Disconnect); shut it down now so the peer sees the end at once.
  c->sock.ShutdownBoth();
}

void Server::Sweep(Clock::time_point now) {
  std::vector<ConnPtr> idle, slow;
  {
    std::scoped_lock lock(mu_);
    for (const auto& [id, c] : conns_) {
      if (c->state != Conn::State::kParked) continue;
      if (c->partial) {
        auto allowance =
            limits_.request_deadline + std::chrono::seconds(c->frames.announced() >> 20);
        if (now - c->first_byte > allowance) slow.push_back(c);
      } else if (now - c->since > limits_.idle_timeout && !c->session->Exempt()) {
        idle.push_back(c);
      }
    }
  }
  for (const ConnPtr& c : slow) {
    c->session->Reject({"request too slow", c->peer_text});
    Close(c);
  }
  for (const ConnPtr& c : idle) Close(c);
  for (auto it = closing_.begin(); it != closing_.end();) {
    if (now < it->second.until) {
      ++it;
      continue;
    }
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, it->second.sock.fd(), nullptr);
    it = closing_.erase(it);
  }
  if (!listener_armed_) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kListenerKey;
    ::epoll_ctl(epoll_, EPOLL_CTL_MOD, listener_.fd(), &ev);
    listener_armed_ = true;
  }
}

void Server::Disconnect(uint64_t id) {
  std::scoped_lock lock(mu_);
  auto it = conns_.find(id);
  if (it != conns_.end()) it->second->sock.ShutdownBoth();
}

void Server::Stop() {
  {
    std::scoped_lock lock(mu_);
    if (stopping_) return;
    stopping_ = true;
    for (auto& [id, c] : conns_) c->sock.ShutdownBoth();
  }
  uint64_t one = 1;
  (void)!::write(wake_, &one, sizeof(one));
  if (poller_.joinable()) {
    if (poller_.get_id() == std::this_thread::get_id())
      poller_.detach();
    else
      poller_.join();
  }
  work_cv_.notify_all();
  std::list<std::shared_ptr<Worker>> workers;
  std::unordered_map<uint64_t, ConnPtr> conns;
  std::deque<ConnPtr> work;
  {
    std::scoped_lock lock(mu_);
    workers.swap(workers_);
    work.swap(work_);
  }
  for (auto& w : workers) {
    // A handler that ends its own runtime cannot wait for itself.
    if (w->thread.get_id() == std::this_thread::get_id())
      w->thread.detach();
    else
      w->thread.join();
  }
  {
    std::scoped_lock lock(mu_);
    conns.swap(conns_);
  }
  conns.clear();  // sessions end here, outside the lock
  work.clear();
  closing_.clear();
  listener_.ShutdownBoth();
  listener_.Close();
}

}  // namespace NetObj
