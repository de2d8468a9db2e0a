// Both stub units between two runtime instances over loopback in one process: values crossing
// bit for bit, work units arriving as surrogates, requests that the serving side refuses before
// they reach the object, and the calling side's handling of a bad reply code, a raising method
// and a runtime shutting down under a waiting call.
#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "interface/FractalNetObj.h"
#include "interface/StubsFractal.h"
#include "interface/StubsT.h"
#include "netobj/OpenedCall.h"
#include "netobj/Runtime.h"
#include "tests/support/Atoms.h"

namespace {

using FractalNetObj::FractalParams;
using FractalNetObj::PixMap;
using FractalNetObj::StubsFractal::Surrogate_FractalNetObj_Fractal;
using FractalNetObj::StubsT::Surrogate_FractalNetObj_T;
using namespace std::chrono_literals;
using test_support::AtomsOf;

FractalParams EdgeParams() {
  FractalParams f;
  f.sx = INT32_MIN;
  f.sy = 1;
  f.xmin = -2.5f;
  f.xmax = 1.25f;
  f.ymin = 0.1f;
  f.ymax = 0.1f;
  f.maxiter = INT32_MAX;
  return f;
}

void ExpectSameBits(const FractalParams& want, const FractalParams& got) {
  EXPECT_EQ(want.type == nullptr, got.type == nullptr);
  if (want.type && got.type) {
    EXPECT_EQ(*want.type, *got.type);
  }
  EXPECT_EQ(want.sx, got.sx);
  EXPECT_EQ(want.sy, got.sy);
  EXPECT_EQ(std::bit_cast<uint32_t>(want.xmin), std::bit_cast<uint32_t>(got.xmin));
  EXPECT_EQ(std::bit_cast<uint32_t>(want.xmax), std::bit_cast<uint32_t>(got.xmax));
  EXPECT_EQ(std::bit_cast<uint32_t>(want.ymin), std::bit_cast<uint32_t>(got.ymin));
  EXPECT_EQ(std::bit_cast<uint32_t>(want.ymax), std::bit_cast<uint32_t>(got.ymax));
  EXPECT_EQ(want.maxiter, got.maxiter);
}

PixMap Filled(int32_t nx, int32_t ny) {
  auto p = std::make_shared<NetObj::Int32Array2D>(nx, ny);
  for (std::size_t k = 0; k < p->size(); ++k) p->data()[k] = static_cast<int32_t>(k * 3 + 1);
  return p;
}

// A work unit on the owner's side; counts how often it was asked.
class CountingFractal : public FractalNetObj::Fractal {
 public:
  explicit CountingFractal(FractalParams params) : params_(std::move(params)) {}
  FractalParams getFractalParameters() override {
    ++calls;
    return params_;
  }
  std::atomic<int> calls{0};

 private:
  const FractalParams params_;
};

// The owner's server object: hands out `unit`, keeps the last returned values, and can be made
// to raise or to block until released.
class CountingT : public FractalNetObj::T {
 public:
  std::shared_ptr<FractalNetObj::Fractal> requestFractal() override {
    ++calls;
    std::unique_lock lock(mu_);
    if (block_) {
      ++waiting_;
      cv_.notify_all();
      cv_.wait_for(lock, 30s, [&] { return !block_; });
      --waiting_;
    }
    if (!raise_.empty()) throw NetObj::Error(raise_);
    return unit_;
  }
  void returnResults(FractalParams f, PixMap pixmap) override {
    ++calls;
    std::scoped_lock lock(mu_);
    received_ = std::move(f);
    receivedPixmap_ = std::move(pixmap);
  }

  void SetUnit(std::shared_ptr<FractalNetObj::Fractal> unit) {
    std::scoped_lock lock(mu_);
    unit_ = std::move(unit);
  }
  void RaiseWith(NetObj::AtomList atoms) {
    std::scoped_lock lock(mu_);
    raise_ = std::move(atoms);
  }
  void Block() {
    std::scoped_lock lock(mu_);
    block_ = true;
  }
  void Release() {
    std::scoped_lock lock(mu_);
    block_ = false;
    cv_.notify_all();
  }
  bool WaitForBlockedCall() {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, 10s, [&] { return waiting_ > 0; });
  }
  FractalParams received() {
    std::scoped_lock lock(mu_);
    return received_;
  }
  PixMap receivedPixmap() {
    std::scoped_lock lock(mu_);
    return receivedPixmap_;
  }

  std::atomic<int> calls{0};

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::shared_ptr<FractalNetObj::Fractal> unit_;
  NetObj::AtomList raise_;
  bool block_ = false;
  int waiting_ = 0;
  FractalParams received_;
  PixMap receivedPixmap_;
};

// A test-only remote type whose dispatcher answers every call with reply code 1. Its receivers
// are given the real surrogate types of the two units, so the real surrogate methods call it.
template <class Surrogate>
class ReplyCodeOne : public NetObj::T {
 public:
  static constexpr std::string_view kTypes[] = {std::is_same_v<Surrogate, Surrogate_FractalNetObj_T>
                                                    ? "Test.ReplyCodeOne.T"
                                                    : "Test.ReplyCodeOne.Fractal",
                                                "NetObj.T"};
  std::span<const std::string_view> RemoteTypes() const override { return kTypes; }

  static void Register() {
    NetObj::RegisterStubs(
        kTypes[0], 1, [] { return std::shared_ptr<NetObj::T>(std::make_shared<Surrogate>()); },
        [](NetObj::CallConnection& c, NetObj::T&, NetObj::DataFormat rep, int32_t) {
          NetObj::GetInt32(c, rep, INT32_MIN, INT32_MAX);
          NetObj::BeginReply(c);
          NetObj::PutInt32(c, 1);
        });
  }
};

class Loopback : public ::testing::Test {
 protected:
  template <class S>
  std::shared_ptr<S> SurrogateOf(const std::shared_ptr<NetObj::T>& local) {
    auto s = std::dynamic_pointer_cast<S>(client.ObjectOf(owner.RefOf(local)));
    EXPECT_NE(s, nullptr) << "arrived as another type";
    return s;
  }

  NetObj::Runtime owner;
  NetObj::Runtime client;
  std::shared_ptr<CountingT> server = std::make_shared<CountingT>();
  std::shared_ptr<CountingFractal> unit = std::make_shared<CountingFractal>(EdgeParams());
  std::shared_ptr<Surrogate_FractalNetObj_T> remoteServer =
      SurrogateOf<Surrogate_FractalNetObj_T>(server);
  std::shared_ptr<Surrogate_FractalNetObj_Fractal> remoteUnit =
      SurrogateOf<Surrogate_FractalNetObj_Fractal>(unit);
};

// Sends one hand-made request: the method code alone, or the returnResults request without
// its record.
void SendRaw(NetObj::T& surrogate, int32_t stubProt, int32_t code,
             const std::optional<PixMap>& recordlessPixmap = std::nullopt) {
  NetObj::ConvertingFailures([&] {
    NetObj::OpenedCall call(surrogate, stubProt);
    NetObj::CallConnection& c = call.connection();
    NetObj::PutInt32(c, code);
    if (recordlessPixmap) {
      NetObj::PutBoolean(c, false);
      NetObj::PutRef(c, *recordlessPixmap);
    }
    NetObj::DataFormat rep = NetObj::WaitForReply(c);
    if (NetObj::GetInt32(c, rep, INT32_MIN, INT32_MAX) != 0) NetObj::FailBadData();
    call.Finish();
  });
}

TEST_F(Loopback, StrangeRequestsAreRefusedBeforeTheyReachTheObject) {
  struct Case {
    const char* name;
    bool toUnit;
    int32_t stubProt;
    int32_t code;
  };
  for (const Case& k :
       {Case{"T, stub protocol 0", false, 0, 1}, Case{"T, stub protocol 2", false, 2, 1},
        Case{"T, method code 2", false, 1, 2}, Case{"T, method code -1", false, 1, -1},
        Case{"Fractal, stub protocol 0", true, 0, 0}, Case{"Fractal, stub protocol 2", true, 2, 0},
        Case{"Fractal, method code 1", true, 1, 1}, Case{"Fractal, method code -1", true, 1, -1}}) {
    SCOPED_TRACE(k.name);
    NetObj::T& target =
        k.toUnit ? static_cast<NetObj::T&>(*remoteUnit) : static_cast<NetObj::T&>(*remoteServer);
    NetObj::AtomList atoms = AtomsOf([&] { SendRaw(target, k.stubProt, k.code); });
    ASSERT_FALSE(atoms.empty());
    EXPECT_EQ(atoms.front(), "bad data");
  }
  EXPECT_EQ(server->calls, 0);
  EXPECT_EQ(unit->calls, 0);
  // The owner still serves both objects properly.
  EXPECT_EQ(remoteServer->requestFractal(), nullptr);
  ExpectSameBits(EdgeParams(), remoteUnit->getFractalParameters());
}

TEST_F(Loopback, ARequestWithoutTheRecordArrivesAsTheZeroRecordAndThePixmap) {
  PixMap pixmap = Filled(3, 2);
  SendRaw(*remoteServer, 1, 0, pixmap);
  EXPECT_EQ(server->calls, 1);
  ExpectSameBits(FractalParams{}, server->received());
  PixMap got = server->receivedPixmap();
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(got->nx(), 3);
  EXPECT_EQ(got->ny(), 2);
  EXPECT_TRUE(std::equal(pixmap->data(), pixmap->data() + 6, got->data()));
}

TEST_F(Loopback, AWorkUnitArrivesAsASurrogateAndItsParametersBitForBit) {
  for (bool withType : {false, true}) {
    SCOPED_TRACE(withType ? "type text" : "null type");
    FractalParams params = EdgeParams();
    if (withType) params.type = std::make_shared<const std::string>("mandel");
    auto local = std::make_shared<CountingFractal>(params);
    server->SetUnit(local);
    std::shared_ptr<FractalNetObj::Fractal> got = remoteServer->requestFractal();
    ASSERT_NE(got, nullptr);
    EXPECT_NE(dynamic_cast<Surrogate_FractalNetObj_Fractal*>(got.get()), nullptr);
    EXPECT_TRUE(got->IsSurrogate());
    FractalParams back = got->getFractalParameters();
    ExpectSameBits(params, back);
    if (withType) {
      EXPECT_NE(back.type.get(), params.type.get()) << "a text arrives as a copy";
    }
    EXPECT_EQ(local->calls, 1);
  }
  server->SetUnit(nullptr);
  EXPECT_EQ(remoteServer->requestFractal(), nullptr);
}

TEST_F(Loopback, ReturnedResultsArriveAsSentWithThePixmapCopied) {
  for (PixMap pixmap : {PixMap(), Filled(1600, 1), Filled(0, 5)}) {
    SCOPED_TRACE(pixmap ? std::to_string(pixmap->nx()) + "x" + std::to_string(pixmap->ny())
                        : "null pixmap");
    remoteServer->returnResults(EdgeParams(), pixmap);
    ExpectSameBits(EdgeParams(), server->received());
    PixMap got = server->receivedPixmap();
    if (!pixmap) {
      EXPECT_EQ(got, nullptr);
      continue;
    }
    ASSERT_NE(got, nullptr);
    EXPECT_NE(got.get(), pixmap.get());
    EXPECT_EQ(got->nx(), pixmap->nx());
    EXPECT_EQ(got->ny(), pixmap->ny());
    EXPECT_TRUE(std::equal(pixmap->data(), pixmap->data() + pixmap->size(), got->data()));
  }
}

TEST_F(Loopback, ReplyCodeOneIsAnErrorAndTheConnectionIsNotPooled) {
  ReplyCodeOne<Surrogate_FractalNetObj_T>::Register();
  ReplyCodeOne<Surrogate_FractalNetObj_Fractal>::Register();
  auto badServer = SurrogateOf<Surrogate_FractalNetObj_T>(
      std::make_shared<ReplyCodeOne<Surrogate_FractalNetObj_T>>());
  auto badUnit = SurrogateOf<Surrogate_FractalNetObj_Fractal>(
      std::make_shared<ReplyCodeOne<Surrogate_FractalNetObj_Fractal>>());
  ASSERT_TRUE(badServer && badUnit);
  const std::pair<const char*, std::function<void()>> calls[] = {
      {"requestFractal", [&] { badServer->requestFractal(); }},
      {"returnResults", [&] { badServer->returnResults(EdgeParams(), Filled(2, 2)); }},
      {"getFractalParameters", [&] { badUnit->getFractalParameters(); }},
  };
  for (const auto& [name, call] : calls) {
    SCOPED_TRACE(name);
    // A good call first leaves its connection to the owner in the pool...
    EXPECT_EQ(remoteServer->requestFractal(), nullptr);
    ASSERT_EQ(client.idle_connections(), 1u);
    // ...which the bad call takes, and must not give back.
    EXPECT_THROW(call(), NetObj::Error);
    EXPECT_EQ(client.idle_connections(), 0u);
  }
}

TEST_F(Loopback, AnErrorRaisedByTheServersMethodReachesTheCallerUnchanged) {
  server->RaiseWith({"no work", "on purpose"});
  EXPECT_EQ(AtomsOf([&] { remoteServer->requestFractal(); }),
            (NetObj::AtomList{"no work", "on purpose"}));
  server->RaiseWith({});
  EXPECT_EQ(remoteServer->requestFractal(), nullptr);
}

TEST_F(Loopback, ACallerWaitingWhenItsRuntimeShutsDownIsAlerted) {
  server->Block();
  auto waiting = std::async(std::launch::async, [&] { remoteServer->requestFractal(); });
  ASSERT_TRUE(server->WaitForBlockedCall());
  client.Shutdown();
  ASSERT_EQ(waiting.wait_for(10s), std::future_status::ready);
  EXPECT_THROW(waiting.get(), Thread::Alerted);
  server->Release();
}

TEST_F(Loopback, CallsFromSeveralThreadsShareTheSurrogates) {
  server->SetUnit(unit);
  constexpr int kThreads = 4;
  constexpr int kRounds = 25;
  std::vector<std::jthread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        std::shared_ptr<FractalNetObj::Fractal> got = remoteServer->requestFractal();
        ASSERT_NE(got, nullptr);
        FractalParams f = got->getFractalParameters();
        EXPECT_EQ(f.maxiter, INT32_MAX);
        remoteServer->returnResults(f, Filled(t + 1, 1));
      }
    });
  }
  threads.clear();
  EXPECT_EQ(server->calls, 2 * kThreads * kRounds);
  EXPECT_EQ(unit->calls, kThreads * kRounds);
}

}  // namespace
