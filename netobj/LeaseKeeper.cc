// The holder's lease threads, one per owner.
#include "netobj/LeaseKeeper.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "netobj/Envelope.h"
#include "netobj/LeaseProtocol.h"
#include "netobj/RuntimeCore.h"
#include "netobj/ThreadPlacement.h"
#include "netobj/wire/FrameAssembler.h"
#include "netobj/wire/Message.h"

namespace NetObj {

namespace {
constexpr auto kCheckWait = std::chrono::seconds(3);
constexpr auto kRetryPause = std::chrono::milliseconds(500);
}  // namespace

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

// One lease connection, as the lease thread holds it, and the renewal awaiting its reply.
struct LeaseKeeper::Renewal {
  Socket sock;
  std::string peer;  // the owner's space, for failure texts
  FrameAssembler frames;
  MessageWriter out;
  std::vector<uint8_t> body;
  MessageReader in;
  bool awaiting = false;                  // a renewal went out; its reply has not come yet
  std::vector<std::shared_ptr<T>> again;  // the surrogates it re-registers
  bool held = false;                      // something was held under the known epoch
  uint64_t ticket = 0;                    // the checks its reply answers
};

LeaseKeeper::LeaseKeeper(RuntimeCore& core) : core_(core) {}

LeaseKeeper::~LeaseKeeper() { Shutdown(); }

// ---- what links and receivers report ----

void LeaseKeeper::LinkMade(uint64_t owner, const std::vector<Endpoint>& order) {
  std::vector<std::thread> to_join;
  {
    std::scoped_lock lock(mu_);
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
    std::scoped_lock lock(mu_);
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
  if (o.releases.size() == 1) o.release_due = Clock::now() + core_.options().release_delay;
  StartLocked(o, to_join);
  if (o.release_due < o.asleep_until) o.Wake();
}

std::vector<ExportTable::Release> LeaseKeeper::TakeReleases(uint64_t owner) {
  std::scoped_lock lock(mu_);
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
    std::scoped_lock lock(mu_);
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
    std::scoped_lock lock(mu_);
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
  std::scoped_lock lock(mu_);
  auto it = owners_.find(owner);
  return it == owners_.end() ? 0 : it->second->known_epoch;
}

bool LeaseKeeper::IsDead(uint64_t owner) const {
  std::scoped_lock lock(mu_);
  auto it = owners_.find(owner);
  return it != owners_.end() && (it->second->dead || it->second->silent);
}

bool LeaseKeeper::CheckAlive(uint64_t owner) {
  std::unique_lock lock(mu_);
  auto it = owners_.find(owner);
  if (it == owners_.end()) return true;
  Owner* o = it->second.get();  // stays: the caller's surrogate counts as a link
  if (o->dead || !o->running) return !o->dead;
  uint64_t ticket = ++o->check_requested;
  o->Wake();
  checked_.wait_for(lock, kCheckWait,
                    [&] { return stopping_ || o->dead || !o->running || o->check_done >= ticket; });
  return !o->dead;
}

std::size_t LeaseKeeper::running() const {
  std::scoped_lock lock(mu_);
  return static_cast<std::size_t>(std::count_if(owners_.begin(), owners_.end(),
                                                [](const auto& kv) { return kv.second->running; }));
}

void LeaseKeeper::Shutdown() {
  std::vector<std::thread> threads;
  {
    std::scoped_lock lock(mu_);
    stopping_ = true;
    for (auto& [space, o] : owners_) {
      o->Wake();
      if (o->thread.joinable()) threads.push_back(std::move(o->thread));
    }
    checked_.notify_all();
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

void LeaseKeeper::Exit(Owner& o, bool dead) {
  std::scoped_lock lock(mu_);
  o.running = false;
  if (dead) {
    o.dead = true;
    o.releases.clear();
  }
  checked_.notify_all();
}

void LeaseKeeper::SetSilent(Owner& o, bool silent) {
  std::scoped_lock lock(mu_);
  o.silent = silent;
  checked_.notify_all();
}

LeaseKeeper::Outcome LeaseKeeper::Connect(Owner& o, Socket* s) {
  if (o.order.empty()) return Outcome::kDead;
  bool all_refused = true;
  for (const Endpoint& e : o.order) {
    try {
      *s = Socket::Connect(e, core_.options().connect_timeout);
      s->SetRecvTimeout(core_.options().lease_renewal);
      s->SetSendTimeout(core_.options().lease_renewal);
      return Outcome::kOk;
    } catch (const ConnectError& err) {
      if (err.code() != ECONNREFUSED) all_refused = false;
    }
  }
  // Nobody listens at any of the owner's addresses: the owner's runtime is gone.
  return all_refused ? Outcome::kDead : Outcome::kFailed;
}

LeaseKeeper::Event LeaseKeeper::Wait(Owner& o, const Renewal& r, Clock::time_point until) {
  for (;;) {
    Clock::time_point due = until;
    {
      // The check and the sleep's deadline under one lock: news that comes after it finds the
      // deadline and wakes us if it is due sooner.
      std::scoped_lock lock(mu_);
      if (stopping_) return Event::kStop;
      Clock::time_point now = Clock::now();
      if (!r.awaiting) {
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
    pollfd fds[2] = {{r.sock.fd(), POLLIN, 0}, {o.wake, POLLIN, 0}};
    int n = ::poll(fds, 2, static_cast<int>(std::max<int64_t>(wait, 0)));
    {
      std::scoped_lock lock(mu_);
      o.asleep_until = Clock::time_point::min();
    }
    if (n > 0 && fds[0].revents != 0) return Event::kReadable;
    if (n > 0 && fds[1].revents != 0) o.Drain();
  }
}

namespace {

// Checks the start of a reply to a lease call: false, with *wrong_runtime set when another
// runtime answered at the owner's address, for anything but a reply.
bool OpenLeaseReply(const FrameHeader& h, MessageReader& in, uint64_t owner, bool* wrong_runtime) {
  if (in.GetU64() != owner) {
    *wrong_runtime = true;
    return false;
  }
  if (h.kind == MessageKind::kError) {
    // The owner's space is gone from that address: another runtime answered.
    *wrong_runtime = SaysUnknownObject(in);
    return false;
  }
  return h.kind == MessageKind::kReply;
}

void PutLeaseCall(MessageWriter& w, uint64_t from, uint64_t owner, LeaseMethod m,
                  std::span<const ExportTable::Release> releases) {
  w.Begin();
  PutCallHeader(w, {from, {owner, kLeaseObjectId}, kLeaseStubProt}, releases);
  w.PutI32(static_cast<int32_t>(m));
}

}  // namespace

LeaseKeeper::Outcome LeaseKeeper::SendRenewal(Owner& o, Renewal& r) {
  std::vector<ExportTable::Release> releases;
  uint64_t known;
  {
    std::scoped_lock lock(mu_);
    releases = TakeLocked(o);
    known = o.known_epoch;
    r.ticket = o.check_requested;
    o.registration_wanted = false;
  }
  // Surrogates counted under an older epoch register again; the owner dropped those counts.
  r.again.clear();
  r.held = false;
  for (auto& sur : core_.surrogates().LiveOf(o.space)) {
    const auto& link = sur->link();
    uint64_t e = link->epoch();
    if (e == known && e != 0 && link->receipts() > 0) r.held = true;
    if (e != 0 && e < known && r.again.size() < kMaxLeaseItems) r.again.push_back(std::move(sur));
  }
  MessageWriter& w = r.out;
  PutLeaseCall(w, core_.space_id(), o.space, LeaseMethod::kRenew, releases);
  w.PutU32(static_cast<uint32_t>(r.again.size()));
  for (const auto& sur : r.again) w.PutU64(sur->link()->ref().id.object);
  try {
    std::span<const uint8_t> frame = w.Seal(MessageKind::kCall);
    r.sock.SendAll(frame.data(), frame.size(), r.peer);
  } catch (const Wr::Failure&) {
    // Releases lost with the connection are moot: the owner drops the lease when it closes.
    return Outcome::kFailed;
  }
  r.awaiting = true;
  return Outcome::kOk;
}

LeaseKeeper::Outcome LeaseKeeper::ReadRenewal(Owner& o, Renewal& r, bool* done,
                                              bool* nothing_held) {
  *done = false;
  uint64_t epoch = 0;
  std::vector<uint8_t> counted;
  try {
    FrameAssembler::Got got = r.frames.Pump(r.sock, r.peer, FrameAssembler::Wait::kNever);
    if (got == FrameAssembler::Got::kWouldBlock) return Outcome::kOk;
    if (got == FrameAssembler::Got::kClosed) return Outcome::kFailed;
    FrameHeader h = r.frames.Take(&r.body);
    r.in.Reset(r.body, h.format);
    bool wrong_runtime = false;
    if (!OpenLeaseReply(h, r.in, o.space, &wrong_runtime))
      return wrong_runtime ? Outcome::kDead : Outcome::kFailed;
    epoch = r.in.GetU64();
    uint32_t m = r.in.GetU32();
    if (m != r.again.size()) return Outcome::kFailed;
    for (uint32_t i = 0; i < m; ++i) counted.push_back(r.in.GetU8());
  } catch (const Rd::Failure&) {
    return Outcome::kFailed;
  } catch (const Error&) {
    return Outcome::kFailed;
  }
  r.awaiting = false;
  *done = true;
  bool held = r.held;
  for (std::size_t i = 0; i < r.again.size(); ++i) {
    if (!counted[i]) continue;  // gone at the owner: calls on it will say "unknown object"
    r.again[i]->link()->CountReceipt(epoch);
    held = true;
  }
  r.again.clear();  // surrogates that died meanwhile release from here, outside the lock
  std::scoped_lock lock(mu_);
  if (epoch > o.known_epoch) {
    o.known_epoch = epoch;
    o.registration_wanted = true;
  }
  o.check_done = std::max(o.check_done, r.ticket);
  checked_.notify_all();
  *nothing_held = !held && o.releases.empty() && !o.registration_wanted;
  return Outcome::kOk;
}

LeaseKeeper::Outcome LeaseKeeper::EndLease(Owner& o, Renewal& r) {
  PutLeaseCall(r.out, core_.space_id(), o.space, LeaseMethod::kEnd, {});
  try {
    std::span<const uint8_t> frame = r.out.Seal(MessageKind::kCall);
    r.sock.SendAll(frame.data(), frame.size(), r.peer);
    FrameHeader h = r.frames.Read(r.sock, r.peer, &r.body);
    r.in.Reset(r.body, h.format);
    bool wrong_runtime = false;
    if (!OpenLeaseReply(h, r.in, o.space, &wrong_runtime))
      return wrong_runtime ? Outcome::kDead : Outcome::kFailed;
    r.in.GetU64();
    return r.in.GetU8() == 1 ? Outcome::kOk : Outcome::kFailed;
  } catch (const Rd::Failure&) {
  } catch (const Wr::Failure&) {
  } catch (const Error&) {
  }
  return Outcome::kFailed;
}

// The owner's silence alone never ends the connection: a renewal stays outstanding until its
// reply comes (an owner that was stopped answers when it resumes, and keeps our holdings) or the
// connection breaks. After lease_period without a reply the owner counts as silent (IsDead).
void LeaseKeeper::Run(Owner* o) {
  TakeProcessCpus();
  const RuntimeOptions& opt = core_.options();
  std::unique_ptr<Renewal> ch;  // one per lease connection
  bool connected = false;
  bool silent = false;
  Clock::time_point last_ok = Clock::now();
  Clock::time_point next_renew = last_ok;
  Clock::time_point idle_since = last_ok;
  auto note_silence = [&] {
    if (!silent && Clock::now() - last_ok > opt.lease_period) SetSilent(*o, silent = true);
  };
  for (;;) {
    if (!connected) {
      ch = std::make_unique<Renewal>();
      ch->peer = "owner " + std::to_string(o->space);
      Outcome c = Connect(*o, &ch->sock);
      if (c == Outcome::kDead) return Exit(*o, true);
      if (c == Outcome::kFailed) {
        note_silence();
        pollfd p{o->wake, POLLIN, 0};
        ::poll(&p, 1, static_cast<int>(kRetryPause.count()));
        std::scoped_lock lock(mu_);
        if (stopping_) break;
        continue;
      }
      connected = true;
      next_renew = Clock::now();
    }
    Clock::time_point until = next_renew;
    if (ch->awaiting)
      until = silent ? Clock::now() + opt.lease_renewal : last_ok + opt.lease_period;
    Event ev = Wait(*o, *ch, until);
    if (ev == Event::kStop) break;
    if (ev == Event::kDue) {
      if (ch->awaiting) {
        note_silence();
      } else if (SendRenewal(*o, *ch) != Outcome::kOk) {
        connected = false;
      }
      continue;
    }
    // Readable. The owner sends nothing unasked: between renewals that means it closed our
    // lease; reconnect, and re-register under a new epoch.
    if (!ch->awaiting) {
      connected = false;
      continue;
    }
    bool done = false, nothing_held = false;
    Outcome r = ReadRenewal(*o, *ch, &done, &nothing_held);
    if (r == Outcome::kDead) return Exit(*o, true);
    if (r == Outcome::kFailed) connected = false;
    if (!done) continue;
    Clock::time_point now = Clock::now();
    last_ok = now;
    if (silent) SetSilent(*o, silent = false);
    next_renew = now + opt.lease_renewal;
    if (!nothing_held) idle_since = now;
    if (!nothing_held || now - idle_since < opt.lease_renewal) continue;
    uint64_t gen;
    {
      std::scoped_lock lock(mu_);
      gen = o->counted_gen;
    }
    Outcome end = EndLease(*o, *ch);
    if (end == Outcome::kDead) return Exit(*o, true);
    if (end != Outcome::kOk) continue;
    std::scoped_lock lock(mu_);
    // A reference counted meanwhile needs the lease after all; the owner starts a new one on
    // our next renewal.
    if (gen == o->counted_gen && o->releases.empty() && !stopping_) {
      o->running = false;
      checked_.notify_all();
      return;
    }
  }
  Exit(*o, false);
}

bool OwnerMayBeAlive(const T& obj) {
  const std::shared_ptr<SurrogateLink>& link = obj.link();
  if (!link || link->ref().id.space == 0) return true;
  std::shared_ptr<RuntimeCore> core = link->core();
  if (!core) return true;
  return core->leases().CheckAlive(link->ref().id.space);
}

bool OwnerKnownDead(const T& obj) {
  const std::shared_ptr<SurrogateLink>& link = obj.link();
  if (!link || link->ref().id.space == 0) return false;
  std::shared_ptr<RuntimeCore> core = link->core();
  return core && core->leases().IsDead(link->ref().id.space);
}

}  // namespace NetObj
