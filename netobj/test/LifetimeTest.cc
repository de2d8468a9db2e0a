// Object lifetime across runtimes: the owner keeps an object while some peer holds a surrogate
// of it and lets it go (its destructor runs) once none does; a release for an old surrogate
// never frees an object sent again meanwhile, in any order the messages arrive; a holder that
// goes away loses its holdings.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "netobj/ExportTable.h"
#include "netobj/Runtime.h"
#include "netobj/SurrogateLink.h"
#include "netobj/test/TestService.h"
#include "netobj/wire/WireFormat.h"
#include "tests/support/Wait.h"

namespace {

using namespace NetObj;
using namespace TestNetObj;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Waits (bounded: the suite must not hang) until `cond` holds; the time it took.
std::chrono::milliseconds WaitFor(const std::function<bool()>& cond,
                                  std::chrono::milliseconds limit = 20s) {
  Clock::time_point start = Clock::now();
  test_support::WaitUntil(cond, limit, 2ms);
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

// ---- the release race, message by message ----
//
// The owner's table and one holder, with every message carried by hand so that each ordering
// happens exactly as the row says. The holder's surrogate is a bare link counting its receipts
// as the runtime's links do. The object is held by nobody but the table.

enum class Op {
  kRenew,        // the holder's lease renewal over connection `arg`, re-registering its surrogate
  kSend,         // the owner writes the object to the holder (counted); message `arg` travels
  kDeliver,      // message `arg` reaches the holder
  kFail,         // message `arg` never left whole
  kDrop,         // the holder's surrogate dies; release `arg` travels
  kRelease,      // release `arg` reaches the owner
  kLeaseClosed,  // the holder's lease connection `arg` closes (the holder died)
};

struct Step {
  Op op;
  int arg;
  bool alive_after;
};

struct Row {
  const char* name;
  std::vector<Step> steps;
  bool delivery_refused = false;  // a delivery found the object gone
};

class ReleaseRace {
 public:
  explicit ReleaseRace(const Row& row) : row_(row) {
    auto obj = std::make_shared<ServiceImpl>();
    object_ = obj;
    id_ = table_.Export(obj);
    keep_ = obj;  // until the first send; then only the table holds it
  }

  void Run() {
    for (std::size_t i = 0; i < row_.steps.size(); ++i) {
      const Step& s = row_.steps[i];
      Do(s);
      if (s.op == Op::kSend) keep_.reset();
      dropped_.clear();
      EXPECT_EQ(!object_.expired(), s.alive_after) << row_.name << ", after step " << i;
    }
    EXPECT_EQ(refused_, row_.delivery_refused) << row_.name;
  }

 private:
  static constexpr uint64_t kHolder = 77;

  void Register() {
    std::optional<uint64_t> e = table_.Register(id_, kHolder, Clock::now());
    if (!e) {
      refused_ = true;
      surrogate_.reset();
      return;
    }
    surrogate_->CountReceipt(*e);
    known_ = std::max(known_, *e);
  }

  void Do(const Step& s) {
    auto now = Clock::now();
    switch (s.op) {
      case Op::kRenew: {
        uint64_t replaced = 0;
        uint64_t e = table_.Renew(kHolder, static_cast<uint64_t>(s.arg), now, &dropped_, &replaced);
        known_ = std::max(known_, e);
        if (surrogate_ && surrogate_->epoch() < e) Register();
        break;
      }
      case Op::kSend: {
        std::shared_ptr<T> obj = object_.lock();
        ASSERT_TRUE(obj) << row_.name << ": sending a dead object";
        messages_.resize(std::max<std::size_t>(messages_.size(), s.arg + 1));
        messages_[s.arg] = table_.Send(obj, kHolder, now);
        break;
      }
      case Op::kDeliver: {
        const ExportTable::Sent& m = messages_.at(s.arg);
        if (!surrogate_)
          surrogate_ = std::make_unique<SurrogateLink>(std::weak_ptr<RuntimeCore>(),
                                                       ObjectRef{{1, id_}, {}, {}},
                                                       std::vector<Endpoint>(), nullptr);
        surrogate_->CountReceipt(m.epoch);
        known_ = std::max(known_, m.epoch);
        // Counted under an epoch the owner has since replaced: register, as the runtime does.
        if (surrogate_->epoch() < known_) Register();
        break;
      }
      case Op::kFail:
        dropped_ = table_.Unsend(messages_.at(s.arg), kHolder);
        break;
      case Op::kDrop:
        ASSERT_TRUE(surrogate_) << row_.name;
        releases_.resize(std::max<std::size_t>(releases_.size(), s.arg + 1));
        releases_[s.arg] = {id_, surrogate_->epoch(), surrogate_->receipts()};
        surrogate_.reset();
        break;
      case Op::kRelease: {
        ExportTable::Release r = releases_.at(s.arg);
        dropped_ = table_.Released(kHolder, std::span(&r, 1));
        break;
      }
      case Op::kLeaseClosed:
        dropped_ = table_.LeaseClosed(kHolder, static_cast<uint64_t>(s.arg));
        break;
    }
  }

  const Row& row_;
  ExportTable table_;
  std::weak_ptr<T> object_;
  std::shared_ptr<T> keep_;
  uint64_t id_ = 0;
  ExportTable::Dropped dropped_;
  std::vector<ExportTable::Sent> messages_;
  std::vector<ExportTable::Release> releases_;
  std::unique_ptr<SurrogateLink> surrogate_;
  uint64_t known_ = 0;
  bool refused_ = false;
};

TEST(ReleaseRace, EveryOrderingKeepsAHeldObjectAndFreesAnUnheldOne) {
  using enum Op;
  const std::vector<Row> rows = {
      {"late release: the old surrogate's release arrives after the object was sent again",
       {{kRenew, 1, true},
        {kSend, 0, true},
        {kDeliver, 0, true},
        {kDrop, 0, true},
        {kSend, 1, true},
        {kDeliver, 1, true},
        {kRelease, 0, true},
        {kDrop, 1, true},
        {kRelease, 1, false}}},
      {"late send: a release arrives while a newer send is still travelling",
       {{kRenew, 1, true},
        {kSend, 0, true},
        {kDeliver, 0, true},
        {kSend, 1, true},
        {kDrop, 0, true},
        {kRelease, 0, true},
        {kDeliver, 1, true},
        {kDrop, 1, true},
        {kRelease, 1, false}}},
      {"sends delivered out of order (two connections)",
       {{kRenew, 1, true},
        {kSend, 0, true},
        {kSend, 1, true},
        {kDeliver, 1, true},
        {kDrop, 0, true},
        {kRelease, 0, true},
        {kDeliver, 0, true},
        {kDrop, 1, true},
        {kRelease, 1, false}}},
      {"both sends absorbed by one surrogate, released together",
       {{kSend, 0, true},
        {kDeliver, 0, true},
        {kSend, 1, true},
        {kDeliver, 1, true},
        {kDrop, 0, true},
        {kRelease, 0, false}}},
      {"a send that never left is taken back",
       {{kSend, 0, true},
        {kDeliver, 0, true},
        {kSend, 1, true},
        {kFail, 1, true},
        {kDrop, 0, true},
        {kRelease, 0, false}}},
      {"the only send never left", {{kSend, 0, true}, {kFail, 0, false}}},
      {"peer death during a send: its lease connection closes",
       {{kRenew, 1, true},
        {kSend, 0, true},
        {kDeliver, 0, true},
        {kSend, 1, true},
        {kLeaseClosed, 1, false}}},
      {"a closed connection that no longer carries the lease changes nothing",
       {{kRenew, 1, true},
        {kSend, 0, true},
        {kDeliver, 0, true},
        {kRenew, 2, true},
        {kLeaseClosed, 1, true},
        {kDrop, 0, true},
        {kRelease, 0, false}}},
      {"new lease while a send travels: the surrogate re-registers, the stale send is ignored",
       {{kRenew, 1, true},
        {kSend, 0, true},
        {kDeliver, 0, true},
        {kSend, 1, true},
        {kRenew, 2, true},
        {kDeliver, 1, true},
        {kDrop, 0, true},
        {kRelease, 0, false}}},
      {"new lease with nothing held while a send travels: the late receiver is told",
       {{kRenew, 1, true}, {kSend, 0, true}, {kRenew, 2, false}, {kDeliver, 0, false}},
       true},
  };
  for (const Row& row : rows) ReleaseRace(row).Run();
}

// ---- between runtimes ----

RuntimeOptions FastReleases() {
  RuntimeOptions o;
  o.release_delay = 20ms;
  return o;
}

class Lifetime : public ::testing::Test {
 protected:
  Runtime owner{FastReleases()};
  Runtime client{FastReleases()};
  std::shared_ptr<ServiceImpl> impl = std::make_shared<ServiceImpl>();
  std::shared_ptr<ServiceSurrogate> service = AsService(client.ObjectOf(owner.RefOf(impl)));
  Tracker& made = impl->tracker();
};

TEST_F(Lifetime, AnObjectLivesWhileAPeerHoldsItAndGoesSoonAfter) {
  std::size_t pinned = owner.exported_objects();
  auto unit = AsService(service->create(false));
  ASSERT_TRUE(unit && unit->IsSurrogate());
  EXPECT_EQ(made.alive, 1);
  EXPECT_EQ(owner.exported_objects(), pinned + 1);
  std::this_thread::sleep_for(200ms);  // several release batches: none may take it
  EXPECT_EQ(made.alive, 1);
  EXPECT_EQ(unit->add(2, 2), 4);
  unit.reset();
  auto took = WaitFor([&] { return made.alive == 0; });
  EXPECT_EQ(made.alive, 0);
  std::printf("  released %lld ms after the surrogate died (batching delay 20 ms)\n",
              static_cast<long long>(took.count()));
  EXPECT_EQ(owner.exported_objects(), pinned);
}

// A dropped surrogate's release rides on the holder's next call to the owner, long before its
// batch would leave on the lease connection; the releases of a call refused before it left are
// handed back and ride on the call after it.
TEST(Releases, RideOnTheNextCallAndOneThatNeverLeftHandsThemOn) {
  RuntimeOptions slow;  // no batch and no renewal leaves during the test
  slow.release_delay = 60s;
  slow.lease_renewal = 60s;
  slow.lease_period = 120s;
  Runtime owner{slow}, client{slow};
  auto impl = std::make_shared<ServiceImpl>();
  auto service = AsService(client.ObjectOf(owner.RefOf(impl)));
  Tracker& made = impl->tracker();
  auto held = AsService(service->create(false));  // its lease starts with one renewal
  WaitFor([&] { return owner.leased_holders() == 1; });
  ASSERT_EQ(owner.leased_holders(), 1u);
  auto gone = [&] { return WaitFor([&] { return made.alive == 1; }, 5s) < 5s; };

  AsService(service->create(false)).reset();
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(made.alive, 2);  // nothing has carried its release yet
  EXPECT_EQ(service->add(1, 2), 3);
  EXPECT_TRUE(gone());

  AsService(service->create(false)).reset();
  auto too_long = std::make_shared<Int32Array2D>(static_cast<int32_t>(kMaxMessage / 4), 1);
  EXPECT_THROW(service->echo(too_long), Error);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(made.alive, 2);
  EXPECT_EQ(service->add(1, 2), 3);
  EXPECT_TRUE(gone());
}

TEST_F(Lifetime, EveryHolderMustLetGoAndAThirdPartyCopyIsRegistered) {
  Runtime second(FastReleases());
  auto second_impl = std::make_shared<ServiceImpl>();
  auto second_service = AsService(client.ObjectOf(second.RefOf(second_impl)));
  auto unit = service->create(false);
  std::shared_ptr<T> local = made.last.lock();
  ASSERT_TRUE(local);
  // client passes its surrogate on to `second`, which keeps it.
  second_service->echo(unit);
  EXPECT_EQ(owner.HoldersOf(local), (std::set<uint64_t>{client.space_id(), second.space_id()}));
  local.reset();
  unit.reset();
  WaitFor([&] { return owner.HoldersOf(made.last.lock()).size() == 1; });
  EXPECT_EQ(owner.HoldersOf(made.last.lock()), std::set<uint64_t>{second.space_id()});
  EXPECT_EQ(made.alive, 1);
  second_impl->Forget();
  WaitFor([&] { return made.alive == 0; });
  EXPECT_EQ(made.alive, 0);
}

TEST_F(Lifetime, AHolderThatShutsDownLosesItsHoldingsAtOnce) {
  auto unit = service->create(false);
  WaitFor([&] { return owner.leased_holders() == 1; });
  ASSERT_EQ(owner.leased_holders(), 1u);
  Clock::time_point t0 = Clock::now();
  client.Shutdown();
  WaitFor([&] { return made.alive == 0; });
  EXPECT_EQ(made.alive, 0);
  std::printf(
      "  released %lld ms after the holder shut down\n",
      static_cast<long long>(
          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count()));
  EXPECT_TRUE(unit->IsSurrogate());  // the surrogate itself stays valid, its calls fail
}

// The owner replies with a new object while the caller's runtime goes away: whether the reply
// left or not, the object does not outlive the lease period.
TEST(PeerDeath, AnObjectInAReplyToAVanishedCallerIsReleased) {
  RuntimeOptions short_lease = FastReleases();
  short_lease.lease_renewal = 200ms;
  short_lease.lease_period = 800ms;
  Runtime owner(short_lease);
  auto impl = std::make_shared<ServiceImpl>();
  Tracker& made = impl->tracker();
  auto client = std::make_unique<Runtime>(short_lease);
  auto service = AsService(client->ObjectOf(owner.RefOf(impl)));
  auto call = std::async(std::launch::async, [&] {
    try {
      service->create(true);
    } catch (const Thread::Alerted&) {
    } catch (const Error&) {
    }
  });
  WaitFor([&] { return impl->waiting() == 1; });
  ASSERT_EQ(made.alive, 1);
  client->Shutdown();
  call.get();
  impl->OpenGate();  // the reply now goes to a closed connection, or nowhere
  auto took = WaitFor([&] { return made.alive == 0; });
  EXPECT_EQ(made.alive, 0);
  std::printf("  released %lld ms after the reply (lease period 800 ms)\n",
              static_cast<long long>(took.count()));
}

// Surrogates come and go on two threads while the owner sends the same object again and again:
// while the client holds a surrogate, the owner counts it a holder, whatever order the sends
// and releases meet in. The owner keeps a reference of its own, so a wrong release shows in the
// holder set rather than as a crash.
TEST_F(Lifetime, RepeatedSendsAndDropsNeverLoseAHolding) {
  RuntimeOptions eager;
  eager.release_delay = 1ms;
  Runtime quick(eager);
  auto svc = AsService(quick.ObjectOf(owner.RefOf(impl)));
  std::shared_ptr<T> first = svc->create(false);
  std::shared_ptr<T> local = made.last.lock();
  first.reset();
  std::atomic<int> lost{0};
  auto churn = [&] {
    for (int i = 0; i < 150; ++i) {
      std::shared_ptr<T> s = svc->again();
      if (!s) {
        ++lost;
        return;
      }
      if (!owner.HoldersOf(local).contains(quick.space_id())) ++lost;
      if (i % 3 == 0) std::this_thread::sleep_for(1ms);
    }
  };
  std::thread a(churn), b(churn);
  a.join();
  b.join();
  EXPECT_EQ(lost, 0);
  WaitFor([&] { return owner.HoldersOf(local).empty(); });
  EXPECT_TRUE(owner.HoldersOf(local).empty());
}

// A destructor that calls back into the runtime runs outside its locks, on a thread of its own.
TEST_F(Lifetime, ADestructorMayCallIntoTheRuntime) {
  std::promise<int> result;
  {
    std::scoped_lock lock(made.mu);
    made.on_destroy = [&] {
      try {
        result.set_value(service->add(20, 22));
      } catch (...) {
        result.set_value(-1);
      }
    };
  }
  std::shared_ptr<T> unit = service->create(false);
  unit.reset();
  auto done = result.get_future();
  ASSERT_EQ(done.wait_for(20s), std::future_status::ready);
  EXPECT_EQ(done.get(), 42);
  std::scoped_lock lock(made.mu);
  made.on_destroy = nullptr;
}

}  // namespace
