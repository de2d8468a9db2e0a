// A network object runtime instance: one space of objects with its own id, listening port,
// tables and connections. A program uses the process-default instance (Runtime::Default) through
// the free functions of NetObj.h; tests create several instances in one process and let them
// call each other over loopback. Surrogates remember the instance that made them.
//
// Lifecycle: an instance listens from its first export on (port from the options; ephemeral by
// default) and serves calls on its own threads. Shutdown (also run by the destructor) ends its
// leases (the owners of its surrogates drop what it held), stops serving and keeping its exports,
// makes calls blocked in it raise Thread::Alerted, and drops its exports. The default instance is
// never destroyed: its threads serve until the process ends.
//
// Implemented in Runtime.cc. Thread-safe: every method may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string_view>

#include "netobj/NetObj.h"
#include "netobj/RuntimeOptions.h"
#include "netobj/wire/ObjectRef.h"

namespace NetObj {

class ExportKeeper;
class RuntimeCore;

class Runtime {
 public:
  using Options = RuntimeOptions;

  explicit Runtime(const Options& options = Options());
  ~Runtime();
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;

  // The process's instance, configured from the environment on first use.
  static Runtime& Default();

  uint64_t space_id() const;
  // Starts listening if not yet; the port.
  uint16_t Listen();
  void Shutdown();

  // As the free functions of NetObj.h, through this instance. An export is remembered: when the
  // agent it was made at is restarted, it is put there again within agent_check.
  AgentHandle LocateAgent(std::string_view host);
  void ExportObject(std::string_view name, std::shared_ptr<T> obj,
                    const std::optional<AgentHandle>& agent = std::nullopt);
  std::shared_ptr<T> ImportObject(std::string_view name, const AgentHandle& agent);

  // Serves `obj` under a well-known object number (below 16), reachable by calls addressed to
  // space 0: how the agent offers its one object at its fixed port.
  void ExportWellKnown(uint64_t id, std::shared_ptr<T> obj);

  // A reference to a local object or a surrogate, as it would travel; and the object such a
  // reference stands for here. Programs pass references in calls; tests and benchmarks use these
  // to hand a first reference from one instance to another. A local object handed out this way
  // is pinned: exported until Shutdown, since nobody can tell where the reference went; the
  // surrogate ObjectOf makes is not registered with the owner (references that arrive in calls
  // are, and their objects are released once no peer holds them).
  ObjectRef RefOf(const std::shared_ptr<T>& obj);
  std::shared_ptr<T> ObjectOf(const ObjectRef& ref);

  // Observations for tests.
  uint64_t accepted_connections() const;
  std::size_t idle_connections() const;
  // Exported objects kept alive (pinned, or held by a peer).
  std::size_t exported_objects() const;
  std::size_t live_surrogate_entries() const;
  // The spaces holding a surrogate of `local`, as this owner counts them.
  std::set<uint64_t> HoldersOf(const std::shared_ptr<T>& local) const;
  std::size_t open_serving_connections() const;
  // Peers holding our objects whose lease connection is open.
  std::size_t leased_holders() const;
  // Owners this instance keeps a lease with right now.
  std::size_t lease_threads() const;

  const std::shared_ptr<RuntimeCore>& core() const { return core_; }

 private:
  std::shared_ptr<RuntimeCore> core_;
  std::unique_ptr<ExportKeeper> kept_;
};

}  // namespace NetObj
