// The conversation of every call of both stub units, value by value, against a scripted peer:
// what each side writes and reads and in which order, which requests the serving side refuses
// before they reach the object, and how the calling side ends a call on every kind of failure.
#include <gtest/gtest.h>

#include <bit>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "interface/StubsFractal.h"
#include "interface/StubsT.h"
#include "interface/test/ScriptedRuntime.h"

namespace {

using FractalNetObj::FractalParams;
using FractalNetObj::PixMap;
using FractalNetObj::StubsFractal::Surrogate_FractalNetObj_Fractal;
using FractalNetObj::StubsT::Surrogate_FractalNetObj_T;
using Scripted::Value;
using Lines = std::vector<std::string>;

// A local work unit that logs each call into the conversation.
class LoggingFractal : public FractalNetObj::Fractal {
 public:
  FractalParams getFractalParameters() override {
    Scripted::Log("method getFractalParameters");
    ++calls;
    if (raise) raise();
    return params;
  }
  int calls = 0;
  FractalParams params;
  std::function<void()> raise;
};

// A local server object that logs each call and keeps what it was given.
class LoggingT : public FractalNetObj::T {
 public:
  std::shared_ptr<FractalNetObj::Fractal> requestFractal() override {
    Scripted::Log("method requestFractal");
    ++calls;
    if (raise) raise();
    return unit;
  }
  void returnResults(FractalParams f, PixMap pixmap) override {
    Scripted::Log("method returnResults");
    ++calls;
    received = f;
    receivedPixmap = pixmap;
    if (raise) raise();
  }
  int calls = 0;
  std::shared_ptr<FractalNetObj::Fractal> unit;
  FractalParams received;
  PixMap receivedPixmap;
  std::function<void()> raise;
};

// Values at the edges of every field: the lowest sx, the highest maxiter, and a bound (0.1)
// with no exact 32-bit form.
FractalParams EdgeParams() {
  FractalParams f;
  f.type = std::make_shared<const std::string>("mandel");
  f.sx = INT32_MIN;
  f.sy = 1;
  f.xmin = -2.5f;
  f.xmax = 1.25f;
  f.ymin = 0.1f;
  f.ymax = 0.1f;
  f.maxiter = INT32_MAX;
  return f;
}

std::vector<Value> ParamsValues(const FractalParams& f) {
  return {Scripted::Ref(f.type),  Scripted::Integer(f.sx),     Scripted::Integer(f.sy),
          Scripted::Real(f.xmin), Scripted::Real(f.xmax),      Scripted::Real(f.ymin),
          Scripted::Real(f.ymax), Scripted::Integer(f.maxiter)};
}

Lines PutParamsLines(const FractalParams& f) {
  return {Scripted::RefLine("PutRef", f.type),   "PutInteger " + std::to_string(f.sx),
          "PutInteger " + std::to_string(f.sy),  Scripted::RealLine("PutReal", f.xmin),
          Scripted::RealLine("PutReal", f.xmax), Scripted::RealLine("PutReal", f.ymin),
          Scripted::RealLine("PutReal", f.ymax), "PutInteger " + std::to_string(f.maxiter)};
}

const Lines kGetParamsLines = {"GetRef any", "GetInteger", "GetInteger", "GetReal",
                               "GetReal",    "GetReal",    "GetReal",    "GetInteger"};

Lines Concat(std::initializer_list<Lines> parts) {
  Lines out;
  for (const Lines& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

PixMap Row1600() {
  auto pixmap = std::make_shared<NetObj::Int32Array2D>(1600, 1);
  for (int32_t i = 0; i < 1600; ++i) pixmap->at(i, 0) = i + 1;
  return pixmap;
}

void ExpectSameBits(const FractalParams& want, const FractalParams& got) {
  EXPECT_EQ(want.type, got.type);
  EXPECT_EQ(want.sx, got.sx);
  EXPECT_EQ(want.sy, got.sy);
  EXPECT_EQ(std::bit_cast<uint32_t>(want.xmin), std::bit_cast<uint32_t>(got.xmin));
  EXPECT_EQ(std::bit_cast<uint32_t>(want.xmax), std::bit_cast<uint32_t>(got.xmax));
  EXPECT_EQ(std::bit_cast<uint32_t>(want.ymin), std::bit_cast<uint32_t>(got.ymin));
  EXPECT_EQ(std::bit_cast<uint32_t>(want.ymax), std::bit_cast<uint32_t>(got.ymax));
  EXPECT_EQ(want.maxiter, got.maxiter);
}

const Scripted::Registration& RegistrationOf(std::string_view type) {
  auto it = Scripted::Registrations().find(type);
  if (it == Scripted::Registrations().end()) {
    throw std::logic_error("no stubs registered for " + std::string(type));
  }
  return it->second;
}

TEST(StubRegistration, EachUnitRegistersOnceForProtocolOneWithItsSurrogate) {
  const auto& t = RegistrationOf(FractalNetObj::T::kTypeName);
  EXPECT_EQ(t.count, 1);
  EXPECT_EQ(t.stubProt, 1);
  EXPECT_NE(dynamic_cast<Surrogate_FractalNetObj_T*>(t.makeSurrogate().get()), nullptr);
  const auto& f = RegistrationOf(FractalNetObj::Fractal::kTypeName);
  EXPECT_EQ(f.count, 1);
  EXPECT_EQ(f.stubProt, 1);
  EXPECT_NE(dynamic_cast<Surrogate_FractalNetObj_Fractal*>(f.makeSurrogate().get()), nullptr);
  EXPECT_EQ(Scripted::Registrations().size(), 2u);
}

// ---- calling side: the whole conversation of a successful call ----

TEST(CallingSide, RequestFractalSendsCodeOneAndReadsAWorkUnit) {
  auto unit = std::make_shared<LoggingFractal>();
  Scripted::Reset().incoming = {Scripted::Int32(0), Scripted::Ref(unit)};
  Surrogate_FractalNetObj_T surrogate;
  EXPECT_EQ(surrogate.requestFractal(), unit);
  EXPECT_EQ(Scripted::Current().log, (Lines{"OpenCall 1", "PutInt32 1", "WaitForReply", "GetInt32",
                                            "GetRef Fractal", "CloseCall true"}));
  EXPECT_TRUE(Scripted::Current().incoming.empty());
}

TEST(CallingSide, RequestFractalReturnsNullWhenTheServerHasNoUnit) {
  Scripted::Reset().incoming = {Scripted::Int32(0), Scripted::Ref(nullptr)};
  Surrogate_FractalNetObj_T surrogate;
  EXPECT_EQ(surrogate.requestFractal(), nullptr);
  EXPECT_EQ(Scripted::Current().log.back(), "CloseCall true");
}

TEST(CallingSide, ReturnResultsSendsTheFlagTheRecordAndThePixmap) {
  for (PixMap pixmap : {Row1600(), PixMap()}) {
    SCOPED_TRACE(pixmap ? "1600x1 pixmap" : "null pixmap");
    FractalParams f = EdgeParams();
    f.type = nullptr;
    Scripted::Reset().incoming = {Scripted::Int32(0)};
    Surrogate_FractalNetObj_T surrogate;
    surrogate.returnResults(f, pixmap);
    EXPECT_EQ(Scripted::Current().log, Concat({{"OpenCall 1", "PutInt32 0", "PutBoolean true"},
                                               PutParamsLines(f),
                                               {Scripted::RefLine("PutRef", pixmap), "WaitForReply",
                                                "GetInt32", "CloseCall true"}}));
  }
}

TEST(CallingSide, GetFractalParametersReadsTheRecordWithNoFlagBeforeIt) {
  for (bool withType : {true, false}) {
    SCOPED_TRACE(withType ? "with a type text" : "with a null type");
    FractalParams f = EdgeParams();
    if (!withType) f.type = nullptr;
    Scripted::Script& script = Scripted::Reset();
    script.incoming = {Scripted::Int32(0)};
    for (const Value& v : ParamsValues(f)) script.incoming.push_back(v);
    Surrogate_FractalNetObj_Fractal surrogate;
    ExpectSameBits(f, surrogate.getFractalParameters());
    EXPECT_EQ(Scripted::Current().log,
              Concat({{"OpenCall 1", "PutInt32 0", "WaitForReply", "GetInt32"},
                      kGetParamsLines,
                      {"CloseCall true"}}));
    EXPECT_TRUE(Scripted::Current().incoming.empty());
  }
}

// ---- calling side: every way a call can end early ----

enum class Method { kRequestFractal, kReturnResults, kGetFractalParameters };

const char* MethodName(Method m) {
  switch (m) {
    case Method::kRequestFractal:
      return "requestFractal";
    case Method::kReturnResults:
      return "returnResults";
    case Method::kGetFractalParameters:
      return "getFractalParameters";
  }
  return "?";
}

// A well-formed reply of each method, for the fault to spoil.
std::deque<Value> GoodReply(Method m) {
  switch (m) {
    case Method::kRequestFractal:
      return {Scripted::Int32(0), Scripted::Ref(std::make_shared<LoggingFractal>())};
    case Method::kReturnResults:
      return {Scripted::Int32(0)};
    case Method::kGetFractalParameters: {
      std::deque<Value> reply = {Scripted::Int32(0)};
      for (const Value& v : ParamsValues(EdgeParams())) reply.push_back(v);
      return reply;
    }
  }
  return {};
}

void Call(Method m) {
  switch (m) {
    case Method::kRequestFractal: {
      Surrogate_FractalNetObj_T s;
      s.requestFractal();
      return;
    }
    case Method::kReturnResults: {
      Surrogate_FractalNetObj_T s;
      s.returnResults(EdgeParams(), Row1600());
      return;
    }
    case Method::kGetFractalParameters: {
      Surrogate_FractalNetObj_Fractal s;
      s.getFractalParameters();
      return;
    }
  }
}

enum class Seen { kErrorWithAtoms, kAnyError, kAlerted };

struct CallingFault {
  const char* name;
  std::optional<Method> only;  // the row applies to this method alone
  std::function<void(Scripted::Script&)> spoil;
  Seen seen;
  NetObj::AtomList atoms;            // for kErrorWithAtoms
  std::optional<std::string> close;  // the one CloseCall line, or none at all
  bool nothingReadAfterReplyCode = false;
};

template <class E>
std::function<void()> Raise(NetObj::AtomList atoms) {
  return [atoms] { throw E(atoms); };
}

std::function<void(Scripted::Script&)> FailAt(std::string op, std::function<void()> raise) {
  return [op, raise](Scripted::Script& s) {
    s.failAt = op;
    s.raise = raise;
  };
}

const std::vector<CallingFault>& CallingFaults() {
  static const std::vector<CallingFault> faults = {
      {"open fails to read",
       {},
       FailAt("OpenCall", Raise<Rd::Failure>({"refused", "peer"})),
       Seen::kErrorWithAtoms,
       {"refused", "peer"},
       std::nullopt},
      {"open fails to write",
       {},
       FailAt("OpenCall", Raise<Wr::Failure>({"broken pipe"})),
       Seen::kErrorWithAtoms,
       {"broken pipe"},
       std::nullopt},
      {"request write fails",
       {},
       FailAt("PutInt32", Raise<Wr::Failure>({"broken pipe"})),
       Seen::kErrorWithAtoms,
       {"broken pipe"},
       "CloseCall false"},
      {"wait fails",
       {},
       FailAt("WaitForReply", Raise<Rd::Failure>({"end of stream"})),
       Seen::kErrorWithAtoms,
       {"end of stream"},
       "CloseCall false"},
      {"reply code read fails",
       {},
       FailAt("GetInt32", Raise<Rd::Failure>({"reset", "x"})),
       Seen::kErrorWithAtoms,
       {"reset", "x"},
       "CloseCall false"},
      {"reply code 1",
       {},
       [](Scripted::Script& s) { s.incoming.front() = Scripted::Int32(1); },
       Seen::kAnyError,
       {},
       "CloseCall false",
       true},
      {"reply code -1",
       {},
       [](Scripted::Script& s) { s.incoming.front() = Scripted::Int32(-1); },
       Seen::kAnyError,
       {},
       "CloseCall false",
       true},
      {"runtime error passes unchanged",
       {},
       FailAt("GetInt32", Raise<NetObj::Error>({"peer", "gone"})),
       Seen::kErrorWithAtoms,
       {"peer", "gone"},
       "CloseCall false"},
      {"alerted while waiting",
       {},
       FailAt("WaitForReply", [] { throw Thread::Alerted(); }),
       Seen::kAlerted,
       {},
       "CloseCall false"},
      {"final close fails to read",
       {},
       FailAt("CloseCall true", Raise<Rd::Failure>({"lost"})),
       Seen::kErrorWithAtoms,
       {"lost"},
       "CloseCall true"},
      {"final close fails to write",
       {},
       FailAt("CloseCall true", Raise<Wr::Failure>({"lost"})),
       Seen::kErrorWithAtoms,
       {"lost"},
       "CloseCall true"},
      {"alerted while closing",
       {},
       FailAt("CloseCall true", [] { throw Thread::Alerted(); }),
       Seen::kAlerted,
       {},
       "CloseCall true"},
      {"closing a failed call fails too",
       {},
       [](Scripted::Script& s) {
         FailAt("WaitForReply", Raise<Rd::Failure>({"first"}))(s);
         s.alsoFailAt = "CloseCall false";
         s.alsoRaise = Raise<Wr::Failure>({"second"});
       },
       Seen::kErrorWithAtoms,
       {"first"},
       "CloseCall false"},
      {"work unit arrives as a text",
       Method::kRequestFractal,
       [](Scripted::Script& s) {
         s.runtimeChecksTypes = false;
         s.incoming[1] = Scripted::Ref(NetObj::Text(std::make_shared<const std::string>("x")));
       },
       Seen::kAnyError,
       {},
       "CloseCall false"},
      {"work unit arrives as a server object",
       Method::kRequestFractal,
       [](Scripted::Script& s) {
         s.runtimeChecksTypes = false;
         s.incoming[1] = Scripted::Ref(std::shared_ptr<NetObj::T>(std::make_shared<LoggingT>()));
       },
       Seen::kAnyError,
       {},
       "CloseCall false"},
      {"type arrives as an array",
       Method::kGetFractalParameters,
       [](Scripted::Script& s) {
         s.runtimeChecksTypes = false;
         s.incoming[1] = Scripted::Ref(std::make_shared<NetObj::Int32Array2D>(1, 1));
       },
       Seen::kAnyError,
       {},
       "CloseCall false"},
      // The type is asked for as any reference, so a runtime that checks what it is asked
      // for lets these through: the stubs' own check has to refuse them.
      {"type arrives as an array from a checking runtime",
       Method::kGetFractalParameters,
       [](Scripted::Script& s) {
         s.incoming[1] = Scripted::Ref(std::make_shared<NetObj::Int32Array2D>(1, 1));
       },
       Seen::kAnyError,
       {},
       "CloseCall false"},
      {"type arrives as a work unit from a checking runtime",
       Method::kGetFractalParameters,
       [](Scripted::Script& s) {
         s.incoming[1] =
             Scripted::Ref(std::shared_ptr<NetObj::T>(std::make_shared<LoggingFractal>()));
       },
       Seen::kAnyError,
       {},
       "CloseCall false"},
  };
  return faults;
}

// Runs one call and reports what left it; fails the test for anything unexpected.
void ExpectOutcome(Method m, const CallingFault& fault) {
  switch (fault.seen) {
    case Seen::kErrorWithAtoms:
      try {
        Call(m);
        ADD_FAILURE() << "the call succeeded";
      } catch (const NetObj::Error& e) {
        EXPECT_EQ(e.atoms(), fault.atoms);
      }
      return;
    case Seen::kAnyError:
      EXPECT_THROW(Call(m), NetObj::Error);
      return;
    case Seen::kAlerted:
      EXPECT_THROW(Call(m), Thread::Alerted);
      return;
  }
}

TEST(CallingSide, EveryEarlyEndClosesOnceAndReachesTheCallerAsItShould) {
  for (Method m :
       {Method::kRequestFractal, Method::kReturnResults, Method::kGetFractalParameters}) {
    for (const CallingFault& fault : CallingFaults()) {
      if (fault.only && *fault.only != m) continue;
      SCOPED_TRACE(std::string(MethodName(m)) + ": " + fault.name);
      Scripted::Script& script = Scripted::Reset();
      script.incoming = GoodReply(m);
      fault.spoil(script);
      ExpectOutcome(m, fault);

      const Lines& log = Scripted::Current().log;
      Lines closes;
      for (const std::string& line : log) {
        if (line.starts_with("CloseCall")) closes.push_back(line);
      }
      EXPECT_EQ(closes, fault.close ? Lines{*fault.close} : Lines{});
      if (fault.close) {
        EXPECT_EQ(log.back(), *fault.close) << "the call went on after it was closed";
      }
      if (fault.nothingReadAfterReplyCode) {
        ASSERT_GE(log.size(), 2u);
        EXPECT_EQ(log[log.size() - 2], "GetInt32");
      }
    }
  }
}

// ---- serving side: what reaches the object, and what the reply holds ----

enum class Served { kReply, kError, kAlerted };
enum class Target { kServerObject, kWorkUnit };

struct ServingCase {
  const char* name;
  std::string_view remoteType;  // whose dispatcher the runtime runs
  Target target;                // which local object it hands over
  int32_t stubProt;
  std::vector<Value> request;
  Served served;
  int calls;  // how often the object was called
  Lines log;
  std::function<void(Scripted::Script&, LoggingT&, LoggingFractal&)> setUp = nullptr;
};

std::vector<ServingCase> ServingCases() {
  const std::string_view kT = FractalNetObj::T::kTypeName;
  const std::string_view kF = FractalNetObj::Fractal::kTypeName;
  const FractalParams f = EdgeParams();
  const PixMap pixmap = Row1600();
  const auto text = NetObj::Text(std::make_shared<const std::string>("not a pixmap"));
  std::vector<Value> fullRequest = {Scripted::Int32(0), Scripted::Boolean(true)};
  for (const Value& v : ParamsValues(f)) fullRequest.push_back(v);
  fullRequest.push_back(Scripted::Ref(pixmap));
  const Lines replied = {"BeginReply", "PutInt32 0"};
  auto raising = [](std::function<void()> raise) {
    return [raise](Scripted::Script&, LoggingT& t, LoggingFractal& u) {
      t.raise = raise;
      u.raise = raise;
    };
  };
  auto lenient = [](Scripted::Script& s, LoggingT&, LoggingFractal&) {
    s.runtimeChecksTypes = false;
  };

  return {
      {"T: stub protocol 0",
       kT,
       Target::kServerObject,
       0,
       {Scripted::Int32(1)},
       Served::kError,
       0,
       {}},
      {"T: stub protocol 2",
       kT,
       Target::kServerObject,
       2,
       {Scripted::Int32(1)},
       Served::kError,
       0,
       {}},
      {"T: method code 2",
       kT,
       Target::kServerObject,
       1,
       {Scripted::Int32(2)},
       Served::kError,
       0,
       {"GetInt32"}},
      {"T: method code -1",
       kT,
       Target::kServerObject,
       1,
       {Scripted::Int32(-1)},
       Served::kError,
       0,
       {"GetInt32"}},
      {"T: handed a work unit",
       kT,
       Target::kWorkUnit,
       1,
       {Scripted::Int32(1)},
       Served::kError,
       0,
       {}},
      {"Fractal: stub protocol 0",
       kF,
       Target::kWorkUnit,
       0,
       {Scripted::Int32(0)},
       Served::kError,
       0,
       {}},
      {"Fractal: stub protocol 2",
       kF,
       Target::kWorkUnit,
       2,
       {Scripted::Int32(0)},
       Served::kError,
       0,
       {}},
      {"Fractal: method code 1",
       kF,
       Target::kWorkUnit,
       1,
       {Scripted::Int32(1)},
       Served::kError,
       0,
       {"GetInt32"}},
      {"Fractal: method code -1",
       kF,
       Target::kWorkUnit,
       1,
       {Scripted::Int32(-1)},
       Served::kError,
       0,
       {"GetInt32"}},
      {"Fractal: handed the server object",
       kF,
       Target::kServerObject,
       1,
       {Scripted::Int32(0)},
       Served::kError,
       0,
       {}},

      {"requestFractal hands out a unit",
       kT,
       Target::kServerObject,
       1,
       {Scripted::Int32(1)},
       Served::kReply,
       1,
       Concat({{"GetInt32", "method requestFractal"}, replied, {"PutRef object"}}),
       [](Scripted::Script&, LoggingT& t, LoggingFractal& u) {
         t.unit = std::shared_ptr<LoggingFractal>(&u, [](LoggingFractal*) {});
       }},
      {"requestFractal with no unit replies null",
       kT,
       Target::kServerObject,
       1,
       {Scripted::Int32(1)},
       Served::kReply,
       1,
       Concat({{"GetInt32", "method requestFractal"}, replied, {"PutRef null"}})},
      {"returnResults reads the whole request first", kT, Target::kServerObject, 1, fullRequest,
       Served::kReply, 1,
       Concat({{"GetInt32", "GetBoolean"},
               kGetParamsLines,
               {"GetRef array", "method returnResults"},
               replied})},
      {"returnResults without the record still reads the pixmap",
       kT,
       Target::kServerObject,
       1,
       {Scripted::Int32(0), Scripted::Boolean(false), Scripted::Ref(pixmap)},
       Served::kReply,
       1,
       Concat({{"GetInt32", "GetBoolean", "GetRef array", "method returnResults"}, replied})},
      {"a raising returnResults begins no reply", kT, Target::kServerObject, 1, fullRequest,
       Served::kError, 1,
       Concat(
           {{"GetInt32", "GetBoolean"}, kGetParamsLines, {"GetRef array", "method returnResults"}}),
       raising(Raise<NetObj::Error>({"refused"}))},
      {"an alerted requestFractal begins no reply",
       kT,
       Target::kServerObject,
       1,
       {Scripted::Int32(1)},
       Served::kAlerted,
       1,
       {"GetInt32", "method requestFractal"},
       raising([] { throw Thread::Alerted(); })},
      {"a pixmap that is a text never reaches the object",
       kT,
       Target::kServerObject,
       1,
       {Scripted::Int32(0), Scripted::Boolean(false), Scripted::Ref(text)},
       Served::kError,
       0,
       {"GetInt32", "GetBoolean", "GetRef array"},
       lenient},
      {"a type that is an array never reaches the object",
       kT,
       Target::kServerObject,
       1,
       {Scripted::Int32(0), Scripted::Boolean(true), Scripted::Ref(pixmap)},
       Served::kError,
       0,
       {"GetInt32", "GetBoolean", "GetRef any"},
       lenient},
      {"a type that is an array from a checking runtime never reaches the object",
       kT,
       Target::kServerObject,
       1,
       {Scripted::Int32(0), Scripted::Boolean(true), Scripted::Ref(pixmap)},
       Served::kError,
       0,
       {"GetInt32", "GetBoolean", "GetRef any"}},
      {"a type that is an object from a checking runtime never reaches the object",
       kT,
       Target::kServerObject,
       1,
       {Scripted::Int32(0), Scripted::Boolean(true),
        Scripted::Ref(std::shared_ptr<NetObj::T>(std::make_shared<LoggingT>()))},
       Served::kError,
       0,
       {"GetInt32", "GetBoolean", "GetRef any"}},

      {"getFractalParameters writes code then record",
       kF,
       Target::kWorkUnit,
       1,
       {Scripted::Int32(0)},
       Served::kReply,
       1,
       Concat({{"GetInt32", "method getFractalParameters"}, replied, PutParamsLines(f)}),
       [f](Scripted::Script&, LoggingT&, LoggingFractal& u) { u.params = f; }},
      {"an alerted getFractalParameters begins no reply",
       kF,
       Target::kWorkUnit,
       1,
       {Scripted::Int32(0)},
       Served::kAlerted,
       1,
       {"GetInt32", "method getFractalParameters"},
       raising([] { throw Thread::Alerted(); })},
  };
}

TEST(ServingSide, RefusesStrangeRequestsAndRepliesOnlyAfterTheMethod) {
  for (const ServingCase& sc : ServingCases()) {
    SCOPED_TRACE(sc.name);
    Scripted::Script& script = Scripted::Reset();
    script.incoming.assign(sc.request.begin(), sc.request.end());
    LoggingT server;
    LoggingFractal unit;
    if (sc.setUp) sc.setUp(script, server, unit);
    NetObj::T& obj = sc.target == Target::kServerObject ? static_cast<NetObj::T&>(server)
                                                        : static_cast<NetObj::T&>(unit);
    NetObj::Dispatcher dispatch = RegistrationOf(sc.remoteType).dispatch;
    auto serve = [&] {
      dispatch(Scripted::Connection(), obj, Scripted::kRequestFormat, sc.stubProt);
    };

    switch (sc.served) {
      case Served::kReply:
        serve();
        EXPECT_TRUE(Scripted::Current().incoming.empty()) << "request not read whole";
        break;
      case Served::kError:
        EXPECT_THROW(serve(), NetObj::Error);
        break;
      case Served::kAlerted:
        EXPECT_THROW(serve(), Thread::Alerted);
        break;
    }
    EXPECT_EQ(server.calls + unit.calls, sc.calls);
    EXPECT_EQ(Scripted::Current().log, sc.log);
  }
}

TEST(ServingSide, ReturnResultsHandsTheObjectExactlyWhatWasSent) {
  const FractalParams f = EdgeParams();
  const PixMap pixmap = Row1600();
  Scripted::Script& script = Scripted::Reset();
  script.incoming = {Scripted::Int32(0), Scripted::Boolean(true)};
  for (const Value& v : ParamsValues(f)) script.incoming.push_back(v);
  script.incoming.push_back(Scripted::Ref(pixmap));
  LoggingT server;
  RegistrationOf(FractalNetObj::T::kTypeName)
      .dispatch(Scripted::Connection(), server, Scripted::kRequestFormat, 1);
  ExpectSameBits(f, server.received);
  EXPECT_EQ(server.receivedPixmap, pixmap);
}

TEST(ServingSide, ARequestWithoutTheRecordIsTheZeroRecordAndThePixmap) {
  const PixMap pixmap = Row1600();
  Scripted::Reset().incoming = {Scripted::Int32(0), Scripted::Boolean(false),
                                Scripted::Ref(pixmap)};
  LoggingT server;
  RegistrationOf(FractalNetObj::T::kTypeName)
      .dispatch(Scripted::Connection(), server, Scripted::kRequestFormat, 1);
  ExpectSameBits(FractalParams{}, server.received);
  EXPECT_EQ(server.receivedPixmap, pixmap);
}

}  // namespace
