// Calling and serving stubs of the agent's type.
#include "netobj/agent/AgentStubs.h"

#include <limits>

#include "netobj/CallConnection.h"
#include "netobj/OpenedCall.h"
#include "netobj/StubRegistry.h"

namespace NetObj {

namespace {

enum Method : int32_t { kPing = 0, kPut = 1, kGet = 2 };
constexpr int32_t kOk = 0;
constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
constexpr int32_t kMax = std::numeric_limits<int32_t>::max();

// Runs one call: `write` puts the request's values, `read` takes the reply's after its code.
// Gives the space of the runtime that answered.
template <class Write, class Read>
uint64_t Call(T& self, Write write, Read read) {
  return ConvertingFailures([&] {
    OpenedCall call(self, kAgentStubProt);
    CallConnection& c = call.connection();
    write(c);
    DataFormat rep = WaitForReply(c);
    if (GetInt32(c, rep, kMin, kMax) != kOk) FailBadData();
    read(c, rep);
    uint64_t replier = c.peer_space;
    call.Finish();
    return replier;
  });
}

std::string GetName(CallConnection& c, DataFormat rep) {
  Ref r = GetRef(c, rep, TypeCode::OfText());
  Text t = std::get_if<Text>(&r) ? std::get<Text>(r) : nullptr;
  if (!t) FailBadData();
  return *t;
}

void Invoke(CallConnection& c, T& obj, DataFormat rep, int32_t stubProt) {
  auto* agent = dynamic_cast<Agent*>(&obj);
  if (agent == nullptr || stubProt != kAgentStubProt) FailBadData();
  switch (GetInt32(c, rep, kMin, kMax)) {
    case kPing:
      agent->ping();
      BeginReply(c);
      PutInt32(c, kOk);
      return;
    case kPut: {
      std::string name = GetName(c, rep);
      Ref r = GetRef(c, rep, TypeCode::OfObject<T>());
      auto* o = std::get_if<std::shared_ptr<T>>(&r);
      agent->put(name, o ? *o : nullptr, c.peer());
      BeginReply(c);
      PutInt32(c, kOk);
      return;
    }
    case kGet: {
      std::string name = GetName(c, rep);
      std::shared_ptr<T> found = agent->get(name);
      BeginReply(c);
      PutInt32(c, kOk);
      PutRef(c, found);
      return;
    }
    default:
      FailBadData();
  }
}

std::shared_ptr<T> MakeSurrogate() { return std::make_shared<AgentSurrogate>(); }

}  // namespace

void AgentSurrogate::ping() { PingForSpace(); }

uint64_t AgentSurrogate::PingForSpace() {
  return Call(
      *this, [](CallConnection& c) { PutInt32(c, kPing); }, [](CallConnection&, DataFormat) {});
}

void AgentSurrogate::put(const std::string& name, std::shared_ptr<T> obj, const Endpoint&) {
  PutForSpace(name, obj);
}

uint64_t AgentSurrogate::PutForSpace(const std::string& name, const std::shared_ptr<T>& obj) {
  return Call(
      *this,
      [&](CallConnection& c) {
        PutInt32(c, kPut);
        PutRef(c, std::make_shared<const std::string>(name));
        PutRef(c, obj);
      },
      [](CallConnection&, DataFormat) {});
}

std::shared_ptr<T> AgentSurrogate::get(const std::string& name) {
  std::shared_ptr<T> res;
  Call(
      *this,
      [&](CallConnection& c) {
        PutInt32(c, kGet);
        PutRef(c, std::make_shared<const std::string>(name));
      },
      [&](CallConnection& c, DataFormat rep) {
        Ref r = GetRef(c, rep, TypeCode::OfObject<T>());
        if (auto* o = std::get_if<std::shared_ptr<T>>(&r)) res = *o;
      });
  return res;
}

void RegisterAgentStubs(StubRegistry& registry) {
  registry.Add(kAgentTypeName, kAgentStubProt, &MakeSurrogate, &Invoke);
}

}  // namespace NetObj
