#include "interface/test/ScriptedRuntime.h"

#include <bit>
#include <cstdio>
#include <variant>

#include "interface/FractalNetObj.h"

namespace NetObj {
class CallConnection {};
}  // namespace NetObj

namespace Scripted {

namespace {

Script& TheScript() {
  static Script script;
  return script;
}

std::map<std::string, Registration, std::less<>>& MutableRegistrations() {
  // Reached from static initialisers of the stub units, so built on first use.
  static std::map<std::string, Registration, std::less<>> registrations;
  return registrations;
}

// Logs the operation, then raises the failure scripted for it, if any.
void Step(const std::string& line) {
  Script& s = TheScript();
  s.log.push_back(line);
  if (!s.failAt.empty() && line.starts_with(s.failAt)) {
    s.failAt.clear();
    s.raise();
  }
  if (!s.alsoFailAt.empty() && line.starts_with(s.alsoFailAt)) {
    s.alsoFailAt.clear();
    s.alsoRaise();
  }
}

const char* KindName(Value::Kind k) {
  switch (k) {
    case Value::Kind::kInt32:
      return "Int32";
    case Value::Kind::kInteger:
      return "Integer";
    case Value::Kind::kBoolean:
      return "Boolean";
    case Value::Kind::kReal:
      return "Real";
    case Value::Kind::kRef:
      return "Ref";
  }
  return "?";
}

Value Next(Value::Kind kind) {
  Script& s = TheScript();
  if (s.incoming.empty()) {
    throw ScriptViolation(std::string("read a ") + KindName(kind) + " past the end of the message");
  }
  Value v = s.incoming.front();
  if (v.kind != kind) {
    throw ScriptViolation(std::string("read a ") + KindName(kind) + " where the peer wrote a " +
                          KindName(v.kind));
  }
  s.incoming.pop_front();
  return v;
}

void CheckFormat(NetObj::DataFormat rep) {
  if (rep.bytes != TheScript().readFormat.bytes) {
    throw ScriptViolation("read given the DataFormat of another message");
  }
}

template <class I>
I NextInteger(Value::Kind kind, NetObj::DataFormat rep, I lowest, I highest) {
  CheckFormat(rep);
  if (lowest != INT32_MIN || highest != INT32_MAX) {
    throw ScriptViolation("integer read with bounds other than 32 bits");
  }
  Value v = Next(kind);
  if (v.integer < lowest || v.integer > highest) NetObj::FailBadData();
  return static_cast<I>(v.integer);
}

class ProbeFractal : public FractalNetObj::Fractal {
 public:
  FractalNetObj::FractalParams getFractalParameters() override { return {}; }
};
class ProbeT : public FractalNetObj::T {
 public:
  std::shared_ptr<FractalNetObj::Fractal> requestFractal() override { return nullptr; }
  void returnResults(FractalNetObj::FractalParams, FractalNetObj::PixMap) override {}
};

// Which probe values a TypeCode accepts, as one word for the log: "text", "array",
// "Fractal" (a work unit and nothing else), "any", or "other".
std::string Describe(const NetObj::TypeCode& code) {
  static const NetObj::Text text = std::make_shared<const std::string>("t");
  static const NetObj::Int32Array array = std::make_shared<NetObj::Int32Array2D>(1, 1);
  static const std::shared_ptr<NetObj::T> fractal = std::make_shared<ProbeFractal>();
  static const std::shared_ptr<NetObj::T> t = std::make_shared<ProbeT>();
  static const std::shared_ptr<NetObj::T> plain = std::make_shared<NetObj::T>();
  std::string accepted;
  for (const NetObj::Ref& probe : {NetObj::Ref(text), NetObj::Ref(array), NetObj::Ref(fractal),
                                   NetObj::Ref(t), NetObj::Ref(plain)}) {
    accepted += code.Accepts(probe) ? '1' : '0';
  }
  if (accepted == "10000") return "text";
  if (accepted == "01000") return "array";
  if (accepted == "00100") return "Fractal";
  if (accepted == "11111") return "any";
  return "other " + accepted;
}

}  // namespace

Value Int32(int32_t v) {
  Value out;
  out.kind = Value::Kind::kInt32;
  out.integer = v;
  return out;
}
Value Integer(int64_t v) {
  Value out;
  out.kind = Value::Kind::kInteger;
  out.integer = v;
  return out;
}
Value Boolean(bool v) {
  Value out;
  out.kind = Value::Kind::kBoolean;
  out.boolean = v;
  return out;
}
Value Real(float v) {
  Value out;
  out.kind = Value::Kind::kReal;
  out.real = v;
  return out;
}
Value Ref(NetObj::Ref r) {
  Value out;
  out.kind = Value::Kind::kRef;
  out.ref = std::move(r);
  return out;
}

const std::map<std::string, Registration, std::less<>>& Registrations() {
  return MutableRegistrations();
}

Script& Reset() {
  TheScript() = Script{};
  return TheScript();
}
Script& Current() { return TheScript(); }
void Log(std::string line) { TheScript().log.push_back(std::move(line)); }
NetObj::CallConnection& Connection() {
  static NetObj::CallConnection connection;
  return connection;
}

std::string RealLine(const char* op, float v) {
  char bits[16];
  std::snprintf(bits, sizeof bits, "%08x", std::bit_cast<uint32_t>(v));
  return std::string(op) + " " + bits;
}

std::string RefLine(const char* op, const NetObj::Ref& r) {
  struct Visitor {
    std::string operator()(std::nullptr_t) const { return "null"; }
    std::string operator()(const std::shared_ptr<NetObj::T>& o) const {
      return o ? "object" : "null";
    }
    std::string operator()(const NetObj::Text& t) const { return t ? "text " + *t : "null"; }
    std::string operator()(const NetObj::Int32Array& a) const {
      return a ? "array " + std::to_string(a->nx()) + "x" + std::to_string(a->ny()) : "null";
    }
  };
  return std::string(op) + " " + std::visit(Visitor{}, r);
}

}  // namespace Scripted

namespace NetObj {

using namespace Scripted;

void RegisterStubs(std::string_view remoteType, int32_t stubProt, SurrogateFactory makeSurrogate,
                   Dispatcher dispatch) {
  Registration& r = MutableRegistrations()[std::string(remoteType)];
  r.stubProt = stubProt;
  r.makeSurrogate = makeSurrogate;
  r.dispatch = dispatch;
  ++r.count;
}

CallConnection& OpenCall(T&, int32_t stubProt) {
  Step("OpenCall " + std::to_string(stubProt));
  return Connection();
}

DataFormat WaitForReply(CallConnection&) {
  Step("WaitForReply");
  Current().readFormat = kReplyFormat;
  return kReplyFormat;
}

void CloseCall(CallConnection&, bool reuse) { Step(reuse ? "CloseCall true" : "CloseCall false"); }
void BeginReply(CallConnection&) { Step("BeginReply"); }

void PutInt32(CallConnection&, int32_t v) { Step("PutInt32 " + std::to_string(v)); }
void PutInteger(CallConnection&, int64_t v) { Step("PutInteger " + std::to_string(v)); }
void PutBoolean(CallConnection&, bool v) { Step(v ? "PutBoolean true" : "PutBoolean false"); }
void PutReal(CallConnection&, float v) { Step(RealLine("PutReal", v)); }
void PutRef(CallConnection&, const Ref& r) { Step(RefLine("PutRef", r)); }

int32_t GetInt32(CallConnection&, DataFormat rep, int32_t lowest, int32_t highest) {
  Step("GetInt32");
  return NextInteger<int32_t>(Value::Kind::kInt32, rep, lowest, highest);
}

int64_t GetInteger(CallConnection&, DataFormat rep, int64_t lowest, int64_t highest) {
  Step("GetInteger");
  return NextInteger<int64_t>(Value::Kind::kInteger, rep, lowest, highest);
}

bool GetBoolean(CallConnection&) {
  Step("GetBoolean");
  return Next(Value::Kind::kBoolean).boolean;
}

float GetReal(CallConnection&, DataFormat rep) {
  Step("GetReal");
  CheckFormat(rep);
  return Next(Value::Kind::kReal).real;
}

Ref GetRef(CallConnection&, DataFormat rep, const TypeCode& expected) {
  Step("GetRef " + Describe(expected));
  CheckFormat(rep);
  Value v = Next(Value::Kind::kRef);
  if (Current().runtimeChecksTypes && !expected.Accepts(v.ref)) {
    throw Error({"scripted", "wrong type"});
  }
  return v.ref;
}

void FailBadData() { throw Error({"bad data"}); }
void FailCommunication(const AtomList& atoms) { throw Error(atoms); }

AgentHandle LocateAgent(std::string_view) { throw ScriptViolation("stubs locate no agent"); }
void ExportObject(std::string_view, std::shared_ptr<T>, const std::optional<AgentHandle>&) {
  throw ScriptViolation("stubs export nothing");
}
std::shared_ptr<T> ImportObject(std::string_view, const AgentHandle&) {
  throw ScriptViolation("stubs import nothing");
}

}  // namespace NetObj
