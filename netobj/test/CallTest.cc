// Calls between runtime instances in one process over loopback: the call path, pooling,
// surrogate identity and type choice, third-party passes, copies, byte order, type checks, and
// failures of peers and of dispatchers.
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <set>
#include <thread>

#include "netobj/Runtime.h"
#include "netobj/test/Garbage.h"
#include "netobj/test/TestKeys.h"
#include "netobj/test/TestService.h"
#include "netobj/wire/Socket.h"
#include "tests/support/Agent.h"
#include "tests/support/Atoms.h"
#include "tests/support/Wait.h"

namespace {

using namespace NetObj;
using namespace TestNetObj;
using namespace std::chrono_literals;
using test_support::AtomsOf;
using test_support::WaitUntil;

// Hands `client` a surrogate of `obj`, which lives in `owner`.
std::shared_ptr<ServiceSurrogate> Surrogate(Runtime& owner, Runtime& client,
                                            const std::shared_ptr<T>& obj) {
  return AsService(client.ObjectOf(owner.RefOf(obj)));
}

class TwoRuntimes : public ::testing::Test {
 protected:
  Runtime owner;
  Runtime client;
  std::shared_ptr<ServiceImpl> impl = std::make_shared<ServiceImpl>();
  std::shared_ptr<ServiceSurrogate> service = Surrogate(owner, client, impl);
};

TEST_F(TwoRuntimes, CallReachesOwnerAndARunOfCallsUsesOneConnection) {
  for (int i = 0; i < 50; ++i) ASSERT_EQ(service->add(i, 1000), i + 1000);
  EXPECT_EQ(owner.accepted_connections(), 1u);
  EXPECT_EQ(client.idle_connections(), 1u);
}

TEST_F(TwoRuntimes, ConcurrentCallsEachGetAConnectionAndAllReturnToThePool) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) EXPECT_EQ(service->add(t, i), t + i);
    });
  for (auto& th : threads) th.join();
  EXPECT_LE(owner.accepted_connections(), 4u);
  EXPECT_EQ(client.idle_connections(), owner.accepted_connections());
}

TEST_F(TwoRuntimes, ScalarsArriveBitForBit) {
  struct Case {
    float f;
    int64_t i;
    bool b;
  };
  for (Case c : {Case{0.1f, std::numeric_limits<int64_t>::min(), true},
                 Case{-2.5f, std::numeric_limits<int64_t>::max(), false}, Case{1.25f, -1, true}}) {
    Service::Mix r = service->mix({c.f, c.i, c.b});
    EXPECT_EQ(std::bit_cast<uint32_t>(r.f), std::bit_cast<uint32_t>(c.f));
    EXPECT_EQ(r.i, c.i);
    EXPECT_EQ(r.b, c.b);
  }
  EXPECT_EQ(service->add(std::numeric_limits<int32_t>::min(), 0),
            std::numeric_limits<int32_t>::min());
}

TEST_F(TwoRuntimes, TextsAndArraysArriveAsCopies) {
  Text text = std::make_shared<const std::string>("fractal\0bytes", 13);
  Ref back = service->echo(text);
  ASSERT_TRUE(std::holds_alternative<Text>(back));
  EXPECT_NE(std::get<Text>(back).get(), text.get());
  EXPECT_EQ(*std::get<Text>(back), *text);
  auto got = std::get<Text>(impl->last_received());
  EXPECT_NE(got.get(), text.get());

  for (auto [nx, ny] : {std::pair{3, 2}, std::pair{0, 5}, std::pair{4, 0}, std::pair{0, 0}}) {
    auto a = std::make_shared<Int32Array2D>(nx, ny);
    for (std::size_t k = 0; k < a->size(); ++k) a->data()[k] = static_cast<int32_t>(k * 7 - 9);
    Ref r = service->echo(a);
    ASSERT_TRUE(std::holds_alternative<Int32Array>(r));
    const Int32Array& b = std::get<Int32Array>(r);
    ASSERT_TRUE(b);
    EXPECT_NE(b.get(), a.get());
    EXPECT_EQ(b->nx(), nx);
    EXPECT_EQ(b->ny(), ny);
    EXPECT_TRUE(std::equal(a->data(), a->data() + a->size(), b->data()));
  }
  for (Ref nulls : {Ref(nullptr), Ref(Text()), Ref(Int32Array()), Ref(std::shared_ptr<T>())}) {
    Ref r = service->echo(nulls);
    EXPECT_TRUE(std::holds_alternative<std::nullptr_t>(r));
  }
}

TEST_F(TwoRuntimes, SurrogateIdentityAndOwnObjectsComingBack) {
  // The owner's object, sent back to the client, is the client's existing surrogate.
  Ref r = service->echo(std::shared_ptr<T>(service));
  EXPECT_EQ(std::get<std::shared_ptr<T>>(r).get(), service.get());
  // At the owner it arrived as the local object itself.
  EXPECT_EQ(std::get<std::shared_ptr<T>>(impl->last_received()).get(), impl.get());

  // A client object passed twice: one surrogate at the owner; back home it is the object.
  auto mine = std::make_shared<ServiceImpl>();
  Ref back1 = service->echo(std::shared_ptr<T>(mine));
  auto at_owner1 = std::get<std::shared_ptr<T>>(impl->last_received());
  Ref back2 = service->echo(std::shared_ptr<T>(mine));
  auto at_owner2 = std::get<std::shared_ptr<T>>(impl->last_received());
  EXPECT_EQ(std::get<std::shared_ptr<T>>(back1).get(), mine.get());
  EXPECT_EQ(std::get<std::shared_ptr<T>>(back2).get(), mine.get());
  EXPECT_TRUE(at_owner1->IsSurrogate());
  EXPECT_EQ(at_owner1.get(), at_owner2.get());
  // And the owner can call it back.
  EXPECT_EQ(AsService(at_owner1)->add(2, 3), 5);
  EXPECT_EQ(client.HoldersOf(mine), std::set<uint64_t>{owner.space_id()});
}

TEST_F(TwoRuntimes, ADroppedSurrogateLeavesTheTableAndANewOneIsMade) {
  auto other = std::make_shared<ServiceImpl>();
  ObjectRef ref = owner.RefOf(other);
  std::size_t before = client.live_surrogate_entries();
  auto s1 = client.ObjectOf(ref);
  EXPECT_EQ(client.ObjectOf(ref).get(), s1.get());
  EXPECT_EQ(client.live_surrogate_entries(), before + 1);
  s1.reset();
  EXPECT_EQ(client.live_surrogate_entries(), before);
  EXPECT_EQ(AsService(client.ObjectOf(ref))->add(1, 1), 2);
}

TEST_F(TwoRuntimes, MostSpecificRegisteredTypeIsChosen) {
  struct Case {
    std::shared_ptr<T> local;
    bool special;
  };
  for (const Case& c : {Case{std::make_shared<ServiceImpl>(), true},
                        Case{std::make_shared<PlainServiceImpl>(), false},
                        Case{std::make_shared<UnregisteredImpl>(), false}}) {
    Ref r = service->echo(c.local);  // the owner receives, and sends back, its surrogate
    auto at_owner = std::get<std::shared_ptr<T>>(impl->last_received());
    EXPECT_EQ(dynamic_cast<SpecialSurrogate*>(at_owner.get()) != nullptr, c.special);
    EXPECT_NE(dynamic_cast<ServiceSurrogate*>(at_owner.get()), nullptr);
    EXPECT_EQ(std::get<std::shared_ptr<T>>(r).get(), c.local.get());
  }
  EXPECT_EQ(service->special(), 7);
}

TEST_F(TwoRuntimes, TypeChecksOfReceivedReferences) {
  Text text = std::make_shared<const std::string>("x");
  auto atoms = AtomsOf([&] { service->echoAs(text, TypeCode::OfInt32Array()); });
  EXPECT_EQ(atoms.front(), "wrong type");
  EXPECT_NO_THROW(service->echoAs(text, TypeCode::OfText()));
  EXPECT_NO_THROW(service->echoAs(nullptr, TypeCode::OfObject<Special>()));
  // The owner's dispatcher checks too; its failure comes back as an error reply.
  atoms = AtomsOf([&] { service->takeText(std::shared_ptr<T>(service)); });
  EXPECT_EQ(atoms.front(), "wrong type");
  EXPECT_EQ(service->takeText(text), 1);
}

TEST_F(TwoRuntimes, DispatcherFailuresComeBackAndTheOwnerKeepsServing) {
  EXPECT_EQ(AtomsOf([&] { service->fail(); }), (AtomList{"test failure", "on purpose"}));
  EXPECT_EQ(AtomsOf([&] { service->callRaw(2, 0); }).front(), "bad data");   // stub protocol
  EXPECT_EQ(AtomsOf([&] { service->callRaw(1, 99); }).front(), "bad data");  // method code
  EXPECT_EQ(AtomsOf([&] { service->callRaw(1, 0); }).front(), "malformed message");  // truncated
  ObjectRef bogus = owner.RefOf(impl);
  bogus.id.object += 1000;
  EXPECT_EQ(AtomsOf([&] { AsService(client.ObjectOf(bogus))->add(1, 2); }).front(),
            "unknown object");
  EXPECT_EQ(service->add(20, 22), 42);
}

TEST_F(TwoRuntimes, ABlockedCallHoldsUpNoOtherCall) {
  auto blocked = std::async(std::launch::async, [&] { return service->wait(); });
  EXPECT_TRUE(WaitUntil([&] { return impl->waiting() == 1; }, 5s));
  for (int i = 0; i < 10; ++i) EXPECT_EQ(service->add(i, i), 2 * i);
  impl->OpenGate();
  EXPECT_EQ(blocked.get(), 1);
}

TEST_F(TwoRuntimes, ShutdownAlertsACallThatIsWaiting) {
  auto blocked = std::async(std::launch::async, [&] {
    try {
      service->wait();
    } catch (const Thread::Alerted&) {
      return true;
    }
    return false;
  });
  EXPECT_TRUE(WaitUntil([&] { return impl->waiting() == 1; }, 5s));
  client.Shutdown();
  EXPECT_TRUE(blocked.get());
  impl->OpenGate();
  EXPECT_EQ(AtomsOf([&] { service->add(1, 1); }).front(), "runtime has shut down");
}

TEST_F(TwoRuntimes, ARefusingPeerIsAnErrorNotAHang) {
  ASSERT_EQ(service->add(1, 1), 2);
  owner.Shutdown();
  // The pooled connection was closed by the owner; the retry finds nobody listening.
  AtomList atoms = AtomsOf([&] { service->add(1, 1); });
  ASSERT_GE(atoms.size(), 3u);
  EXPECT_EQ(atoms[0], "cannot connect");
  EXPECT_EQ(atoms[2], "Connection refused");
}

TEST(ThreeRuntimes, AReferencePassedOnLetsTheThirdCallTheOwnerDirectly) {
  Runtime a, b, c;
  auto in_a = std::make_shared<ServiceImpl>();
  auto in_c = std::make_shared<ServiceImpl>();
  auto a_at_b = Surrogate(a, b, in_a);
  auto c_at_b = Surrogate(c, b, in_c);
  // b hands its surrogate of a's object to c, which calls it.
  EXPECT_EQ(c_at_b->callAdd(a_at_b, 40, 2), 42);
  // c keeps one; with the middleman gone it still reaches a.
  c_at_b->echo(std::shared_ptr<T>(a_at_b));
  auto a_at_c = std::get<std::shared_ptr<T>>(in_c->last_received());
  ASSERT_TRUE(a_at_c->IsSurrogate());
  b.Shutdown();
  EXPECT_EQ(AsService(a_at_c)->add(1, 2), 3);
  // c registered what it received through b.
  EXPECT_TRUE(a.HoldersOf(in_a).contains(c.space_id()));
}

TEST(ByteOrder, PeersWritingEitherOrderUnderstandEachOther) {
  ByteOrder other = NativeByteOrder() == ByteOrder::kLittle ? ByteOrder::kBig : ByteOrder::kLittle;
  for (auto [owner_order, client_order] :
       {std::pair{other, NativeByteOrder()}, std::pair{NativeByteOrder(), other},
        std::pair{other, other}}) {
    RuntimeOptions oo, co;
    oo.send_byte_order = owner_order;
    co.send_byte_order = client_order;
    Runtime owner(oo), client(co);
    auto impl = std::make_shared<ServiceImpl>();
    auto s = Surrogate(owner, client, impl);
    EXPECT_EQ(s->add(-70000, 3), -69997);
    Service::Mix m = s->mix({0.1f, -1234567890123LL, true});
    EXPECT_EQ(m.f, 0.1f);
    EXPECT_EQ(m.i, -1234567890123LL);
    auto a = std::make_shared<Int32Array2D>(2, 3);
    for (std::size_t k = 0; k < 6; ++k) a->data()[k] = static_cast<int32_t>(0x01020304 * k);
    auto b = std::get<Int32Array>(s->echo(a));
    EXPECT_TRUE(std::equal(a->data(), a->data() + 6, b->data()));
    auto mine = std::make_shared<ServiceImpl>();
    EXPECT_EQ(std::get<std::shared_ptr<T>>(s->echo(std::shared_ptr<T>(mine))).get(), mine.get());
  }
}

TEST(IdleConnections, AConnectionClosedByTheOwnerWhileIdleIsReplacedTransparently) {
  RuntimeOptions oo;
  oo.idle_timeout = 100ms;
  Runtime owner(oo), client;
  auto impl = std::make_shared<ServiceImpl>();
  auto s = Surrogate(owner, client, impl);
  EXPECT_EQ(s->add(1, 2), 3);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(s->add(3, 4), 7);
  EXPECT_EQ(owner.accepted_connections(), 2u);
}

TEST(ServingLimit, OneConnectionTooManyIsRefusedClearly) {
  RuntimeOptions oo;
  oo.max_serving_connections = 1;
  Runtime owner(oo), first, second;
  auto impl = std::make_shared<ServiceImpl>();
  auto s1 = Surrogate(owner, first, impl);
  auto s2 = Surrogate(owner, second, impl);
  auto blocked = std::async(std::launch::async, [&] { return s1->wait(); });
  EXPECT_TRUE(WaitUntil([&] { return impl->waiting() == 1; }, 5s));
  EXPECT_EQ(AtomsOf([&] { s2->add(1, 1); }).front(), "server busy");
  impl->OpenGate();
  EXPECT_EQ(blocked.get(), 1);
}

// add() answers with the CPUs its serving thread may run on, as a bit mask of CPUs 0 to 30,
// and remembers that thread.
class WhereServed : public ServiceImpl {
 public:
  int32_t add(int32_t, int32_t) override {
    server_thread = gettid();
    return MaskOf(0);
  }
  static int32_t MaskOf(pid_t thread) {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(thread, sizeof set, &set) != 0) return -1;
    int32_t mask = 0;
    for (int cpu = 0; cpu < 31; ++cpu)
      if (CPU_ISSET(cpu, &set)) mask |= int32_t{1} << cpu;
    return mask;
  }
  std::atomic<pid_t> server_thread{0};
};

// Keeps the calling thread on `cpu` alone.
void PinTo(int cpu) {
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(cpu, &one);
  ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
}

// Calls `s` from the calling thread until the worker serves it on `cpu` alone, at most 200
// times; the number of calls it took, 200 when the worker never came.
int CallsUntilServedOn(ServiceSurrogate& s, int cpu) {
  int calls = 1;
  while (s.add(0, 0) != (int32_t{1} << cpu) && calls < 200) ++calls;
  return calls;
}

TEST(LocalCallers, AWorkerServesOnTheCallersCpuAndThenGetsItsOwnCpusBack) {
  const int32_t own = WhereServed::MaskOf(0);
  std::vector<int> cpus;
  for (int cpu = 0; cpu < 31 && cpus.size() < 3; ++cpu)
    if (own & (int32_t{1} << cpu)) cpus.push_back(cpu);
  if (cpus.size() < 2) GTEST_SKIP() << "a caller cannot move between CPUs with one CPU";
  Runtime owner, client;
  auto impl = std::make_shared<WhereServed>();
  auto s = Surrogate(owner, client, impl);
  // One caller moved from CPU to CPU, then back: the worker follows it each time, after a few
  // requests from the new CPU, and stays there.
  cpus.push_back(cpus.front());
  for (int cpu : cpus) {
    std::thread([&] {
      ASSERT_NO_FATAL_FAILURE(PinTo(cpu));
      EXPECT_LT(CallsUntilServedOn(*s, cpu), 200) << "the worker never came to CPU " << cpu;
      for (int i = 0; i < 20; ++i) ASSERT_EQ(s->add(0, 0), int32_t{1} << cpu) << "left CPU " << cpu;
    }).join();
  }
  EXPECT_EQ(owner.accepted_connections(), 1u);
  // Once the connection goes back to the polling thread, the worker has its own set again.
  const pid_t worker = impl->server_thread.load();
  EXPECT_TRUE(WaitUntil([&] { return WhereServed::MaskOf(worker) == own; }, 5s));
}

std::set<pid_t> Threads() {
  std::set<pid_t> tids;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/task"))
    tids.insert(static_cast<pid_t>(std::stol(e.path().filename().string())));
  return tids;
}

TEST(LocalCallers, AThreadThatAFollowingWorkerStartsKeepsTheProcessCpus) {
  const int32_t own = WhereServed::MaskOf(0);
  int last = -1;
  for (int cpu = 0; cpu < 31; ++cpu)
    if (own & (int32_t{1} << cpu)) last = cpu;
  if (last < 0 || own == (int32_t{1} << last)) GTEST_SKIP() << "needs two CPUs";
  Runtime owner, client, third;
  auto impl = std::make_shared<WhereServed>();
  auto s = Surrogate(owner, client, impl);
  // An object of a third space, held by the caller: handed to the owner, it makes the owner's
  // worker start a lease thread for that space while it serves on the caller's CPU.
  auto target = std::make_shared<ServiceImpl>();
  std::shared_ptr<T> held = client.ObjectOf(third.RefOf(target));
  const std::set<pid_t> before = Threads();
  std::thread([&] {
    ASSERT_NO_FATAL_FAILURE(PinTo(last));
    ASSERT_LT(CallsUntilServedOn(*s, last), 200) << "the worker never came to CPU " << last;
    EXPECT_EQ(s->callAdd(held, 2, 3), 5);
  }).join();
  int started = 0;
  for (pid_t tid : Threads()) {
    if (before.count(tid) != 0) continue;
    ++started;
    // A thread just started may not have come to its first line yet.
    SCOPED_TRACE("thread " + std::to_string(tid));
    EXPECT_TRUE(WaitUntil([&] { return WhereServed::MaskOf(tid) == own; }, 5s));
  }
  EXPECT_GT(started, 0);
}

}  // namespace

namespace {

class Garbage : public testing::TestWithParam<Keying> {};

INSTANTIATE_TEST_SUITE_P(Keys, Garbage, testing::Values(kNoKey, kKeyed),
                         [](const testing::TestParamInfo<Keying>& p) {
                           return KeyingName(p.param);
                         });

// Without a key, garbage reaches the message layer and is answered there; with one, every plain
// frame is refused whole before anything of it is read, and the rest is dropped.
TEST_P(Garbage, AnOwnerAnswersOrDropsGarbageAndKeepsServing) {
  RuntimeOptions o;
  o.key = GetParam().Setting();
  Runtime owner(o), client(o);
  auto impl = std::make_shared<ServiceImpl>();
  auto s = Surrogate(owner, client, impl);
  ASSERT_EQ(s->add(1, 2), 3);
  uint16_t port = owner.Listen();
  auto replies = ThrowGarbageAt(port, 7);
  EXPECT_GT(replies.size(), 20u);  // the well-formed frames with random bodies get answers
  const AtomList refused{kKeyHoldersOnly};
  if (GetParam().keyed) {
    for (const AtomList& r : replies) EXPECT_EQ(r, refused);
  }
  EXPECT_EQ(SendRaw(port, {'N', 'O', 'b', 'j', kWireVersion, 1, 0, 0, 1, 1, 0, 0, 0x04, 0, 0, 1}),
            GetParam().keyed ? refused : (AtomList{"malformed message", "message too long"}));
  EXPECT_EQ(s->add(20, 22), 42);
  EXPECT_EQ(AsService(client.ObjectOf(owner.RefOf(impl)))->add(1, 1), 2);
}

}  // namespace

namespace {

// A peer that accepts one call and then misbehaves in one of several ways.
enum class Misdeed { kClose, kReset, kHalfHeader, kTruncatedBody, kGarbageReply };

void Misbehave(const Socket& listener, Misdeed how) {
  Endpoint peer;
  Socket s = listener.Accept(&peer);
  uint8_t buf[256];
  (void)::recv(s.fd(), buf, sizeof(buf), 0);  // the request
  auto send = [&](std::vector<uint8_t> bytes) {
    (void)::send(s.fd(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
  };
  switch (how) {
    case Misdeed::kClose:
      break;
    case Misdeed::kReset: {
      linger l{1, 0};
      ::setsockopt(s.fd(), SOL_SOCKET, SO_LINGER, &l, sizeof(l));
      break;
    }
    case Misdeed::kHalfHeader:
      send({'N', 'O', 'b', 'j', kWireVersion, 2});
      break;
    case Misdeed::kTruncatedBody:
      send({'N', 'O', 'b', 'j', kWireVersion, 2, 0, 0, 1, 1, 0, 0, 0, 0, 0, 100, 1, 2, 3});
      break;
    case Misdeed::kGarbageReply:
      send({'H', 'T', 'T', 'P', '/', '1', '.', '1', ' ', '4', '0', '0', '\r', '\n', '\r', '\n'});
      break;
  }
}

TEST(MisbehavingPeer, EveryFailureDuringACallIsAnErrorNamingIt) {
  struct Case {
    Misdeed how;
    AtomList head;  // the leading atoms expected
  };
  for (const Case& c : {Case{Misdeed::kClose, {"connection closed by peer"}},
                        Case{Misdeed::kReset, {"connection reset"}},
                        Case{Misdeed::kHalfHeader, {"connection closed by peer"}},
                        Case{Misdeed::kTruncatedBody, {"connection closed by peer"}},
                        Case{Misdeed::kGarbageReply, {"malformed message", "bad magic"}}}) {
    Socket listener = Socket::Listen(0);
    std::thread peer(Misbehave, std::cref(listener), c.how);
    Runtime client;
    ObjectRef ref{
        {0x1234, 16}, {"Test.Service", "NetObj.T"}, {Endpoint::Loopback4(listener.LocalPort())}};
    auto s = AsService(client.ObjectOf(ref));
    AtomList atoms = AtomsOf([&] { s->add(1, 2); });
    peer.join();
    ASSERT_GE(atoms.size(), c.head.size());
    EXPECT_EQ(AtomList(atoms.begin(), atoms.begin() + static_cast<long>(c.head.size())), c.head);
    EXPECT_EQ(client.idle_connections(), 0u);  // a failed connection is not pooled
  }
}

TEST(Options, PortsComeFromTheEnvironment) {
  ::setenv("NETOBJ_PORT", "40123", 1);
  ::setenv("NETOBJ_AGENT_PORT", "40124", 1);
  RuntimeOptions o = RuntimeOptions::FromEnvironment();
  EXPECT_EQ(o.port, 40123);
  EXPECT_EQ(o.agent_port, 40124);
  ::setenv("NETOBJ_PORT", "70000", 1);
  EXPECT_THROW(RuntimeOptions::FromEnvironment(), Error);
  ::unsetenv("NETOBJ_PORT");
  ::unsetenv("NETOBJ_AGENT_PORT");
  o = RuntimeOptions::FromEnvironment();
  EXPECT_EQ(o.port, 0);
  EXPECT_EQ(o.agent_port, kDefaultAgentPort);
}

TEST(Options, APinnedPortIsTheOneListenedOn) {
  uint16_t free_port = test_support::UnusedPort();
  RuntimeOptions o;
  o.port = free_port;
  Runtime rt(o);
  EXPECT_EQ(rt.Listen(), free_port);
}

}  // namespace
