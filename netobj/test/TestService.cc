// Stubs and implementation of the test remote types.
#include "netobj/test/TestService.h"

#include "netobj/OpenedCall.h"

#include <chrono>
#include <limits>

namespace TestNetObj {

using namespace NetObj;

namespace {

constexpr int32_t kProt = 1;
constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
enum Method : int32_t {
  kAdd = 0,
  kEcho,
  kWait,
  kFail,
  kMix,
  kCallAdd,
  kTakeText,
  kSpecial,
  kCreate,
  kAgain
};

template <class Write, class Read>
void Call(T& self, int32_t prot, Write write, Read read) {
  ConvertingFailures([&] {
    OpenedCall call(self, prot);
    CallConnection& c = call.connection();
    write(c);
    DataFormat rep = WaitForReply(c);
    if (GetInt32(c, rep, kMin, kMax) != 0) FailBadData();
    read(c, rep);
    call.Finish();
  });
}

int32_t GetI(CallConnection& c, DataFormat rep) { return GetInt32(c, rep, kMin, kMax); }

void Invoke(CallConnection& c, T& obj, DataFormat rep, int32_t stubProt) {
  auto& self = dynamic_cast<Service&>(obj);
  if (stubProt != kProt) FailBadData();
  switch (GetI(c, rep)) {
    case kAdd: {
      int32_t a = GetI(c, rep);
      int32_t b = GetI(c, rep);
      int32_t r = self.add(a, b);
      BeginReply(c);
      PutInt32(c, 0);
      PutInt32(c, r);
      return;
    }
    case kEcho: {
      Ref r = self.echo(GetRef(c, rep, TypeCode::Any()));
      BeginReply(c);
      PutInt32(c, 0);
      PutRef(c, r);
      return;
    }
    case kWait: {
      int32_t r = self.wait();
      BeginReply(c);
      PutInt32(c, 0);
      PutInt32(c, r);
      return;
    }
    case kFail:
      self.fail();
      BeginReply(c);
      PutInt32(c, 0);
      return;
    case kMix: {
      Service::Mix m;
      m.f = GetReal(c, rep);
      m.i = GetInteger(c, rep, std::numeric_limits<int64_t>::min(),
                       std::numeric_limits<int64_t>::max());
      m.b = GetBoolean(c);
      m = self.mix(m);
      BeginReply(c);
      PutInt32(c, 0);
      PutReal(c, m.f);
      PutInteger(c, m.i);
      PutBoolean(c, m.b);
      return;
    }
    case kCallAdd: {
      Ref t = GetRef(c, rep, TypeCode::OfObject<Service>());
      int32_t a = GetI(c, rep);
      int32_t b = GetI(c, rep);
      int32_t r = self.callAdd(std::get<std::shared_ptr<T>>(t), a, b);
      BeginReply(c);
      PutInt32(c, 0);
      PutInt32(c, r);
      return;
    }
    case kTakeText: {
      int32_t r = self.takeText(GetRef(c, rep, TypeCode::OfText()));
      BeginReply(c);
      PutInt32(c, 0);
      PutInt32(c, r);
      return;
    }
    case kCreate: {
      std::shared_ptr<T> made = self.create(GetBoolean(c));
      BeginReply(c);
      PutInt32(c, 0);
      PutRef(c, made);
      return;
    }
    case kAgain: {
      std::shared_ptr<T> made = self.again();
      BeginReply(c);
      PutInt32(c, 0);
      PutRef(c, made);
      return;
    }
    case kSpecial: {
      auto* sp = dynamic_cast<Special*>(&obj);
      if (sp == nullptr) FailBadData();
      int32_t r = sp->special();
      BeginReply(c);
      PutInt32(c, 0);
      PutInt32(c, r);
      return;
    }
    default:
      FailBadData();
  }
}

std::shared_ptr<T> MakePlain() { return std::make_shared<PlainServiceSurrogate>(); }
std::shared_ptr<T> MakeSpecial() { return std::make_shared<SpecialSurrogate>(); }

const bool kRegistered = [] {
  RegisterStubs("Test.Service", kProt, &MakePlain, &Invoke);
  RegisterStubs("Test.Special", kProt, &MakeSpecial, &Invoke);
  return true;
}();

auto NoRead = [](CallConnection&, DataFormat) {};

}  // namespace

int32_t ServiceSurrogate::add(int32_t a, int32_t b) {
  int32_t r = 0;
  Call(
      *this, kProt,
      [&](CallConnection& c) {
        PutInt32(c, kAdd);
        PutInt32(c, a);
        PutInt32(c, b);
      },
      [&](CallConnection& c, DataFormat rep) { r = GetI(c, rep); });
  return r;
}

Ref ServiceSurrogate::echoAs(const Ref& in, const TypeCode& expected) {
  Ref r = nullptr;
  Call(
      *this, kProt,
      [&](CallConnection& c) {
        PutInt32(c, kEcho);
        PutRef(c, in);
      },
      [&](CallConnection& c, DataFormat rep) { r = GetRef(c, rep, expected); });
  return r;
}

int32_t ServiceSurrogate::wait() {
  int32_t r = 0;
  Call(
      *this, kProt, [](CallConnection& c) { PutInt32(c, kWait); },
      [&](CallConnection& c, DataFormat rep) { r = GetI(c, rep); });
  return r;
}

void ServiceSurrogate::fail() {
  Call(
      *this, kProt, [](CallConnection& c) { PutInt32(c, kFail); }, NoRead);
}

Service::Mix ServiceSurrogate::mix(Mix m) {
  Mix r{};
  Call(
      *this, kProt,
      [&](CallConnection& c) {
        PutInt32(c, kMix);
        PutReal(c, m.f);
        PutInteger(c, m.i);
        PutBoolean(c, m.b);
      },
      [&](CallConnection& c, DataFormat rep) {
        r.f = GetReal(c, rep);
        r.i = GetInteger(c, rep, std::numeric_limits<int64_t>::min(),
                         std::numeric_limits<int64_t>::max());
        r.b = GetBoolean(c);
      });
  return r;
}

int32_t ServiceSurrogate::callAdd(const std::shared_ptr<T>& target, int32_t a, int32_t b) {
  int32_t r = 0;
  Call(
      *this, kProt,
      [&](CallConnection& c) {
        PutInt32(c, kCallAdd);
        PutRef(c, target);
        PutInt32(c, a);
        PutInt32(c, b);
      },
      [&](CallConnection& c, DataFormat rep) { r = GetI(c, rep); });
  return r;
}

int32_t ServiceSurrogate::takeText(const Ref& in) {
  int32_t r = 0;
  Call(
      *this, kProt,
      [&](CallConnection& c) {
        PutInt32(c, kTakeText);
        PutRef(c, in);
      },
      [&](CallConnection& c, DataFormat rep) { r = GetI(c, rep); });
  return r;
}

std::shared_ptr<T> ServiceSurrogate::create(bool after_gate) {
  std::shared_ptr<T> r;
  Call(
      *this, kProt,
      [&](CallConnection& c) {
        PutInt32(c, kCreate);
        PutBoolean(c, after_gate);
      },
      [&](CallConnection& c, DataFormat rep) {
        r = std::get<std::shared_ptr<T>>(GetRef(c, rep, TypeCode::OfObject<Service>()));
      });
  return r;
}

std::shared_ptr<T> ServiceSurrogate::again() {
  Ref r = nullptr;
  Call(
      *this, kProt, [](CallConnection& c) { PutInt32(c, kAgain); },
      [&](CallConnection& c, DataFormat rep) {
        r = GetRef(c, rep, TypeCode::OfObject<Service>());
      });
  auto* o = std::get_if<std::shared_ptr<T>>(&r);
  return o ? *o : nullptr;
}

int32_t ServiceSurrogate::special() {
  int32_t r = 0;
  Call(
      *this, kProt, [](CallConnection& c) { PutInt32(c, kSpecial); },
      [&](CallConnection& c, DataFormat rep) { r = GetI(c, rep); });
  return r;
}

void ServiceSurrogate::callRaw(int32_t prot, int32_t code) {
  Call(
      *this, prot, [&](CallConnection& c) { PutInt32(c, code); }, NoRead);
}

Ref ServiceImpl::echo(const Ref& r) {
  std::scoped_lock lock(mu_);
  last_ = r;
  return r;
}

Ref ServiceImpl::last_received() const {
  std::scoped_lock lock(mu_);
  return last_;
}

int32_t ServiceImpl::wait() { return WaitForGate() ? 1 : 0; }

bool ServiceImpl::WaitForGate() {
  std::unique_lock lock(mu_);
  ++waiting_;
  cv_.notify_all();
  // Bounded, so that a failing test cannot hang the suite.
  bool opened = cv_.wait_for(lock, std::chrono::seconds(20), [this] { return open_; });
  --waiting_;
  return opened;
}

std::shared_ptr<T> ServiceImpl::create(bool after_gate) {
  auto made = std::make_shared<TrackedImpl>(tracker_);
  {
    std::scoped_lock lock(tracker_->mu);
    tracker_->last = made;
  }
  if (after_gate) WaitForGate();
  return made;
}

std::shared_ptr<T> ServiceImpl::again() {
  std::scoped_lock lock(tracker_->mu);
  return tracker_->last.lock();
}

void ServiceImpl::Forget() {
  Ref gone;
  std::scoped_lock lock(mu_);
  gone = std::move(last_);
  last_ = nullptr;
}

TrackedImpl::TrackedImpl(std::shared_ptr<Tracker> maker) : maker_(std::move(maker)) {
  ++maker_->made;
  ++maker_->alive;
}

TrackedImpl::~TrackedImpl() {
  std::function<void()> hook;
  {
    std::scoped_lock lock(maker_->mu);
    hook = maker_->on_destroy;
  }
  if (hook) hook();
  --maker_->alive;
}

void ServiceImpl::OpenGate() {
  std::scoped_lock lock(mu_);
  open_ = true;
  cv_.notify_all();
}

int ServiceImpl::waiting() const {
  std::scoped_lock lock(mu_);
  return waiting_;
}

void ServiceImpl::fail() { throw Error({"test failure", "on purpose"}); }

int32_t ServiceImpl::callAdd(const std::shared_ptr<T>& target, int32_t a, int32_t b) {
  return dynamic_cast<Service&>(*target).add(a, b);
}

int32_t ServiceImpl::takeText(const Ref& r) {
  const Text* t = std::get_if<Text>(&r);
  return t && *t ? static_cast<int32_t>((*t)->size()) : -1;
}

}  // namespace TestNetObj
