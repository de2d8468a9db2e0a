// The holder's per-owner lease records, and the lease thread that steers each owner's lease
// connection.
#include "netobj/LeaseKeeper.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>

#include "netobj/LeaseProtocol.h"
#include "netobj/SurrogateLink.h"
#include "netobj/ThreadPlacement.h"

namespace NetObj {

namespace {
constexpr auto kCheckWait = std::chrono::seconds(3);
constexpr auto kRetryPause = std::chrono::milliseconds(500);
}  // namespace

// One owner's record. Every field is guarded by the keeper's mu_, except what the lease thread
// reads without it: space and wake (fixed once made) and order (set by the link that made the
// record, before any thread starts).
struct LeaseKeeper::Owner {
  uint64_t space = 0;
  std::vector<Endpoint> order;
  std::size_t links = 0;
  uint64_t known_epoch = 0;
  uint64_t counted_gen = 0;
  bool dead = false;    // for good: nobody listens, or another runtime answers
  bool silent = false;  // no answer for lease_period; may yet come back
  std::vector<ExportTable::Release> releases;  // not yet taken by a call or a renewal
  Clock::time_point release_due;
  // Until when the lease thread sleeps (its poll's deadline; min() while it is awake, and then
  // it looks at the batch before it sleeps again): a batch due earlier wakes it.
  Clock::time_point asleep_until = Clock::time_point::min();
  bool registration_wanted = false;
  uint64_t check_requested = 0;
  uint64_t check_done = 0;
  bool running = false;
  std::thread thread;
  int wake = -1;

  Owner() : wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~Owner() {
    if (wake >= 0) ::close(wake);
  }
  void Wake() const {
    uint64_t one = 1;
    (void)!::write(wake, &one, sizeof(one));
  }
  void Drain() const {
    uint64_t v;
    (void)!::read(wake, &v, sizeof(v));
  }
};

LeaseKeeper::LeaseKeeper(const RuntimeOptions& options, Transport& transport, uint64_t holder,
                         const SurrogateTable& surrogates)
    : options_(options), transport_(transport), holder_(holder), surrogates_(surrogates) {}

LeaseKeeper::~LeaseKeeper() { Shutdown(); }

// ---- what links and receivers report ----

void LeaseKeeper::LinkMade(uint64_t owner, const std::vector<Endpoint>& order) {
  std::vector<std::thread> to_join;
  {
    MutexLock lock(mu_);
    ReapLocked(&to_join);
    std::unique_ptr<Owner>& o = owners_[owner];
    if (!o) {
      o = std::make_unique<Owner>();
      o->space = owner;
    }
    if (o->order.empty()) o->order = order;
    ++o->links;
  }
  for (auto& t : to_join) t.join();
}

void LeaseKeeper::LinkGone(uint64_t owner, uint64_t object, uint64_t epoch, uint64_t receipts) {
  std::vector<std::thread> to_join;
  {
    MutexLock lock(mu_);
    auto it = owners_.find(owner);
    if (it == owners_.end()) return;
    Owner& o = *it->second;
    if (o.links > 0) --o.links;
    // Receipts of an older epoch were dropped by the owner with that epoch's lease.
    if (!o.dead && !stopping_ && epoch != 0 && epoch == o.known_epoch && receipts > 0) {
      o.releases.push_back({object, epoch, receipts});
      QueueLocked(o, &to_join);
    }
    if (o.links == 0 && !o.running && o.releases.empty()) {
      if (o.thread.joinable()) to_join.push_back(std::move(o.thread));
      owners_.erase(it);
    }
  }
  for (auto& t : to_join) t.join();
}

// A batch starts with its first release; the thread wakes for it only if it sleeps past the
// batch's time, so a holder whose calls carry its releases wakes nobody.
void LeaseKeeper::QueueLocked(Owner& o, std::vector<std::thread>* to_join) {
  if (o.releases.size() == 1) o.release_due = Clock::now() + options_.release_delay;
  StartLocked(o, to_join);
  if (o.release_due < o.asleep_until) o.Wake();
}

std::vector<ExportTable::Release> LeaseKeeper::TakeReleases(uint64_t owner) {
  MutexLock lock(mu_);
  auto it = owners_.find(owner);
  if (it == owners_.end()) return {};
  return TakeLocked(*it->second);
}

std::vector<ExportTable::Release> LeaseKeeper::TakeLocked(Owner& o) {
  std::vector<ExportTable::Release> taken;
  if (o.releases.size() <= kMaxLeaseItems) {
    taken.swap(o.releases);
  } else {
    taken.assign(o.releases.begin(), o.releases.begin() + kMaxLeaseItems);
    o.releases.erase(o.releases.begin(), o.releases.begin() + kMaxLeaseItems);
  }
  return taken;
}

void LeaseKeeper::ReturnReleases(uint64_t owner, std::vector<ExportTable::Release> releases) {
  std::vector<std::thread> to_join;
  {
    MutexLock lock(mu_);
    auto it = owners_.find(owner);
    if (it == owners_.end() || releases.empty()) return;
    Owner& o = *it->second;
    if (o.dead || stopping_) return;  // nobody to tell
    for (const ExportTable::Release& r : releases) {
      if (r.epoch != o.known_epoch) continue;  // the owner dropped that lease's counts itself
      o.releases.push_back(r);
      QueueLocked(o, &to_join);
    }
  }
  for (auto& t : to_join) t.join();
}

void LeaseKeeper::Counted(uint64_t owner, uint64_t epoch) {
  std::vector<std::thread> to_join;
  {
    MutexLock lock(mu_);
    auto it = owners_.find(owner);
    if (it == owners_.end() || stopping_) return;
    Owner& o = *it->second;
    ++o.counted_gen;
    o.dead = o.silent = false;  // it just spoke to us
    StartLocked(o, &to_join);
    // Only a new epoch is news for a running thread: older surrogates re-register, and a first
    // lease starts at once. Another receipt under the known epoch waits for the next renewal.
    if (epoch > o.known_epoch) {
      o.known_epoch = epoch;
      o.registration_wanted = true;
      o.Wake();
    }
  }
  for (auto& t : to_join) t.join();
}

uint64_t LeaseKeeper::KnownEpoch(uint64_t owner) const {
  MutexLock lock(mu_);
  auto it = owners_.find(owner);
  return it == owners_.end() ? 0 : it->second->known_epoch;
}

bool LeaseKeeper::IsDead(uint64_t owner) const {
  MutexLock lock(mu_);
  auto it = owners_.find(owner);
  return it != owners_.end() && (it->second->dead || it->second->silent);
}

bool LeaseKeeper::CheckAlive(uint64_t owner) {
  MutexLock lock(mu_);
  auto it = owners_.find(owner);
  if (it == owners_.end()) return true;
  Owner* o = it->second.get();  // stays: the caller's surrogate counts as a link
  if (o->dead || !o->running) return !o->dead;
  uint64_t ticket = ++o->check_requested;
  o->Wake();
  checked_.WaitFor(mu_, kCheckWait, [&] {
    mu_.AssertHeld();  // the wait holds it whenever it asks
    return stopping_ || o->dead || !o->running || o->check_done >= ticket;
  });
  return !o->dead;
}

std::size_t LeaseKeeper::running() const {
  MutexLock lock(mu_);
  return static_cast<std::size_t>(std::count_if(owners_.begin(), owners_.end(),
                                                [](const auto& kv) { return kv.second->running; }));
}

void LeaseKeeper::Shutdown() {
  std::vector<std::thread> threads;
  {
    MutexLock lock(mu_);
    stopping_ = true;
    for (auto& [space, o] : owners_) {
      o->Wake();
      if (o->thread.joinable()) threads.push_back(std::move(o->thread));
    }
    checked_.NotifyAll();
  }
  for (auto& t : threads) t.join();
}

void LeaseKeeper::StartLocked(Owner& o, std::vector<std::thread>* to_join) {
  if (o.running || stopping_) return;
  if (o.thread.joinable()) to_join->push_back(std::move(o.thread));
  o.running = true;
  o.thread = std::thread([this, p = &o] { Run(p); });
}

void LeaseKeeper::ReapLocked(std::vector<std::thread>* to_join) {
  for (auto it = owners_.begin(); it != owners_.end();) {
    Owner& o = *it->second;
    if (o.links == 0 && !o.running && o.releases.empty()) {
      if (o.thread.joinable()) to_join->push_back(std::move(o.thread));
      it = owners_.erase(it);
    } else {
      ++it;
    }
  }
}

// ---- the lease thread ----

// The thread's states. The owner sends nothing unasked, so a connection is readable only with a
// reply to a renewal, or when the owner closed our lease.
struct LeaseKeeper::Disconnected {};
struct LeaseKeeper::Idle {  // between renewals
  std::unique_ptr<LeaseConnection> conn;
  Clock::time_point renew_at;
};
struct LeaseKeeper::Awaiting {  // a renewal's reply outstanding (conn holds the renewal)
  std::unique_ptr<LeaseConnection> conn;
};
struct LeaseKeeper::Ended {
  Ending how;
};

// What the thread heard from the owner, across connections.
struct LeaseKeeper::Hearing {
  Clock::time_point last_answer;
  Clock::time_point idle_since;  // since when the answers said nothing is held
  bool silent = false;           // we told the keeper the owner is silent (SetSilent)
};

void LeaseKeeper::Finish(Owner& o, Ending how) {
  MutexLock lock(mu_);
  o.running = false;
  if (how == Ending::kOwnerDead) {
    o.dead = true;
    o.releases.clear();
  }
  checked_.NotifyAll();
}

void LeaseKeeper::SetSilent(Owner& o, bool silent) {
  MutexLock lock(mu_);
  o.silent = silent;
  checked_.NotifyAll();
}

void LeaseKeeper::NoteSilence(Owner& o, Hearing& h) {
  if (!h.silent && Clock::now() - h.last_answer > options_.lease_period)
    SetSilent(o, h.silent = true);
}

LeaseKeeper::Event LeaseKeeper::Wait(Owner& o, int fd, Clock::time_point until, Watch watch) {
  for (;;) {
    Clock::time_point due = until;
    {
      // The check and the sleep's deadline under one lock: news that comes after it finds the
      // deadline and wakes us if it is due sooner.
      MutexLock lock(mu_);
      if (stopping_) return Event::kStop;
      Clock::time_point now = Clock::now();
      if (watch == Watch::kReplyAndNews) {
        if (o.registration_wanted || o.check_requested > o.check_done) return Event::kDue;
        if (!o.releases.empty()) due = std::min(due, o.release_due);
      }
      if (now >= due) return Event::kDue;
      // Sleep no longer than the last batch's time even when a call took it: a batch started
      // before then leaves later, and need not wake us.
      if (o.release_due > now) due = std::min(due, o.release_due);
      o.asleep_until = due;
    }
    auto wait =
        std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now()).count() + 1;
    pollfd fds[2] = {{fd, POLLIN, 0}, {o.wake, POLLIN, 0}};
    int n = ::poll(fds, 2, static_cast<int>(std::max<int64_t>(wait, 0)));
    {
      MutexLock lock(mu_);
      o.asleep_until = Clock::time_point::min();
    }
    if (n > 0 && fds[0].revents != 0) return Event::kReadable;
    if (n > 0 && fds[1].revents != 0) o.Drain();
  }
}

LeaseConnection::Renewal LeaseKeeper::PrepareRenewal(Owner& o) {
  LeaseConnection::Renewal r;
  uint64_t known;
  {
    MutexLock lock(mu_);
    r.releases = TakeLocked(o);
    known = o.known_epoch;
    r.ticket = o.check_requested;
    o.registration_wanted = false;
  }
  // Surrogates counted under an older epoch register again; the owner dropped those counts.
  for (auto& sur : surrogates_.LiveOf(o.space)) {
    const auto& link = sur->link();
    uint64_t e = link->epoch();
    if (e == known && e != 0 && link->receipts() > 0) r.held = true;
    if (e != 0 && e < known && r.again.size() < kMaxLeaseItems) r.again.push_back(std::move(sur));
  }
  return r;
}

// Counts what the owner registered again; true while anything is held.
bool LeaseKeeper::Absorb(Owner& o, LeaseConnection::Answer answer) {
  bool held = answer.renewal.held;
  std::vector<std::shared_ptr<T>>& again = answer.renewal.again;
  for (std::size_t i = 0; i < again.size(); ++i) {
    if (!answer.counted[i]) continue;  // gone at the owner: calls on it will say "unknown object"
    again[i]->link()->CountReceipt(answer.epoch);
    held = true;
  }
  again.clear();  // surrogates that died meanwhile release from here, outside the lock
  MutexLock lock(mu_);
  if (answer.epoch > o.known_epoch) {
    o.known_epoch = answer.epoch;
    o.registration_wanted = true;
  }
  o.check_done = std::max(o.check_done, answer.renewal.ticket);
  checked_.NotifyAll();
  return held || !o.releases.empty() || o.registration_wanted;
}

LeaseKeeper::State LeaseKeeper::Connect(Owner& o, Hearing& h) {
  auto opened = LeaseConnection::Open(options_, transport_, holder_, o.space, o.order);
  if (auto* conn = std::get_if<std::unique_ptr<LeaseConnection>>(&opened))
    return Idle{std::move(*conn), Clock::now()};
  if (std::get<LeaseConnection::Loss>(opened) == LeaseConnection::Loss::kOwner)
    return Ended{Ending::kOwnerDead};
  NoteSilence(o, h);
  pollfd p{o.wake, POLLIN, 0};
  ::poll(&p, 1, static_cast<int>(kRetryPause.count()));
  MutexLock lock(mu_);
  if (stopping_) return Ended{Ending::kStopped};
  return Disconnected{};
}

LeaseKeeper::State LeaseKeeper::Renew(Owner& o, Idle s) {
  switch (Wait(o, s.conn->fd(), s.renew_at, Watch::kReplyAndNews)) {
    case Event::kStop:
      return Ended{Ending::kStopped};
    case Event::kReadable:
      // Between renewals: the owner closed our lease. Reconnect, and re-register under a new
      // epoch.
      return Disconnected{};
    case Event::kDue:
      break;
  }
  if (!s.conn->Send(PrepareRenewal(o))) return Disconnected{};
  return Awaiting{std::move(s.conn)};
}

// The owner's silence alone never ends the connection: a renewal stays outstanding until its
// reply comes (an owner that was stopped answers when it resumes, and keeps our holdings) or the
// connection breaks. After lease_period without a reply the owner counts as silent (IsDead).
LeaseKeeper::State LeaseKeeper::AwaitReply(Owner& o, Hearing& h, Awaiting s) {
  Clock::time_point until =
      h.silent ? Clock::now() + options_.lease_renewal : h.last_answer + options_.lease_period;
  switch (Wait(o, s.conn->fd(), until, Watch::kReply)) {
    case Event::kStop:
      return Ended{Ending::kStopped};
    case Event::kDue:
      NoteSilence(o, h);
      return s;
    case Event::kReadable:
      break;
  }
  LeaseConnection::Read read = s.conn->ReadReply();
  if (std::holds_alternative<LeaseConnection::Pending>(read)) return s;
  if (auto* loss = std::get_if<LeaseConnection::Loss>(&read))
    return *loss == LeaseConnection::Loss::kOwner ? State{Ended{Ending::kOwnerDead}}
                                                  : State{Disconnected{}};
  return Answered(o, h, std::move(s.conn), std::move(std::get<LeaseConnection::Answer>(read)));
}

LeaseKeeper::State LeaseKeeper::Answered(Owner& o, Hearing& h,
                                         std::unique_ptr<LeaseConnection> conn,
                                         LeaseConnection::Answer answer) {
  bool held = Absorb(o, std::move(answer));
  Clock::time_point now = Clock::now();
  h.last_answer = now;
  if (h.silent) SetSilent(o, h.silent = false);
  if (held) h.idle_since = now;
  Idle next{std::move(conn), now + options_.lease_renewal};
  if (held || now - h.idle_since < options_.lease_renewal) return next;
  return EndLease(o, std::move(next));
}

// Nothing held for a renewal period: the lease ends, unless a reference counted meanwhile needs
// it after all (the owner then starts a new one on our next renewal).
LeaseKeeper::State LeaseKeeper::EndLease(Owner& o, Idle s) {
  uint64_t gen;
  {
    MutexLock lock(mu_);
    gen = o.counted_gen;
  }
  switch (s.conn->EndLease()) {
    case LeaseConnection::End::kOwnerGone:
      return Ended{Ending::kOwnerDead};
    case LeaseConnection::End::kKept:
      return s;
    case LeaseConnection::End::kEnded:
      break;
  }
  MutexLock lock(mu_);
  if (gen != o.counted_gen || !o.releases.empty() || stopping_) return s;
  // Under the same lock as the check: a receipt counted from here on starts a new thread.
  o.running = false;
  checked_.NotifyAll();
  return Ended{Ending::kLeaseDone};
}

LeaseKeeper::State LeaseKeeper::Next(Owner& o, Hearing& h, State state) {
  if (std::holds_alternative<Disconnected>(state)) return Connect(o, h);
  if (auto* idle = std::get_if<Idle>(&state)) return Renew(o, std::move(*idle));
  return AwaitReply(o, h, std::move(std::get<Awaiting>(state)));
}

void LeaseKeeper::Run(Owner* o) {
  TakeProcessCpus();
  Clock::time_point now = Clock::now();
  Hearing h{now, now};
  State state = Disconnected{};
  while (!std::holds_alternative<Ended>(state)) state = Next(*o, h, std::move(state));
  // A lease that ended let go of the record already: it may be gone.
  Ending how = std::get<Ended>(state).how;
  if (how != Ending::kLeaseDone) Finish(*o, how);
}

}  // namespace NetObj
