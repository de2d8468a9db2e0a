// The agent's remote type "NetObj.Agent" and its stubs. Every host runs one agent
// (`netobj-agent`) listening on a fixed TCP port: 7917 unless NETOBJ_AGENT_PORT says otherwise,
// for the agent and for every program that looks for one. The agent is an ordinary runtime
// process whose one object is exported under the well-known object number kAgentObjectId, so a
// call addressed to (space 0, kAgentObjectId) at host:port reaches it without knowing its space.
// Importing a name is then the third-party pass of a reference: the reply carries the owner's
// own reference, and the importer calls the owner directly.
//
// Protocol (stub protocol 1), each reply starting with the code 0:
//   0 ping()                         -> ()
//   1 put(name: text, obj: ref)      -> ()      refused unless the caller runs on the agent's host
//   2 get(name: text)                -> (obj: ref, null when nothing is exported under name)
//
// Thread safety: the stubs keep no state; AgentSurrogate may be called from several threads.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "netobj/NetObj.h"
#include "netobj/wire/Endpoint.h"

namespace NetObj {

class StubRegistry;

inline constexpr uint64_t kAgentObjectId = 1;
inline constexpr std::string_view kAgentTypeName = "NetObj.Agent";
inline constexpr int32_t kAgentStubProt = 1;

class Agent : public T {
 public:
  virtual void ping() = 0;
  // `from` is where the call came from, as the serving runtime saw it.
  virtual void put(const std::string& name, std::shared_ptr<T> obj, const Endpoint& from) = 0;
  virtual std::shared_ptr<T> get(const std::string& name) = 0;

  std::span<const std::string_view> RemoteTypes() const override {
    static constexpr std::string_view kTypes[] = {kAgentTypeName, "NetObj.T"};
    return kTypes;
  }
};

class AgentSurrogate : public Agent {
 public:
  void ping() override;
  void put(const std::string& name, std::shared_ptr<T> obj, const Endpoint& from) override;
  std::shared_ptr<T> get(const std::string& name) override;

  // As ping and put, giving the space id of the agent that answered: a new run of the agent at
  // the same address answers with a new one.
  uint64_t PingForSpace();
  uint64_t PutForSpace(const std::string& name, const std::shared_ptr<T>& obj);
};

void RegisterAgentStubs(StubRegistry& registry);

}  // namespace NetObj
