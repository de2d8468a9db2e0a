// The exports one runtime instance has made at agents, kept there while the instance lives.
//
// Why: an agent keeps its names in memory only. When the agent of the server's host is
// restarted, every name exported there is gone, and without this the server stayed alive but
// could no longer be imported until it was itself restarted. So the keeper remembers each export
// and asks every agent it exported to, once per check interval, which run of the agent answers
// (its space id, new for every run). When the agent is a new run, the exports made there are put
// again. An agent that does not answer is asked again at the next check; the names come back
// within one interval of the agent's return.
//
// A name exported again by this instance replaces the remembered object. A name that another
// process exported at the same agent run is left to it; but once that agent is restarted, this
// instance puts its own export again, as does every other live owner of the name.
//
// Ownership: holds every remembered object (a shared_ptr) until the name is exported again or
// Stop. Its thread starts with the first export. Thread-safe: Export may be called from any
// thread, also while a check runs; exports are put one at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "netobj/NetObj.h"
#include "netobj/port/Mutex.h"
#include "netobj/wire/Endpoint.h"

namespace NetObj {

class RuntimeCore;

class ExportKeeper {
 public:
  ExportKeeper(std::shared_ptr<RuntimeCore> core, std::chrono::milliseconds check_interval);
  ~ExportKeeper();
  ExportKeeper(const ExportKeeper&) = delete;
  ExportKeeper& operator=(const ExportKeeper&) = delete;

  // Puts `obj` under `name` at the agent at `agent` (the addresses `where` names, as the caller
  // resolved them) and remembers it. Failures of the put propagate (ConnectError when the agent
  // cannot be reached, NetObj::Error when it refuses); nothing is remembered then.
  void Export(std::vector<Endpoint> agent, std::string where, std::string name,
              std::shared_ptr<T> obj) EXCLUDES(put_mu_, mu_);

  // Ends the thread and forgets every export. Idempotent.
  void Stop() EXCLUDES(mu_);

 private:
  struct Kept {
    std::vector<Endpoint> agent;
    std::string where;  // the agent as the caller named it, which identifies it here
    std::string name;
    std::shared_ptr<T> obj;
    uint64_t agent_space = 0;  // the run of the agent that last took the put
  };

  void Run(std::stop_token stop) EXCLUDES(mu_);
  // One round: each agent asked once; what a new run of it lacks, put again.
  void Check() EXCLUDES(put_mu_, mu_);
  // Puts `kept` if it is still what this instance exports under its name there.
  void PutAgain(const Kept& kept, uint64_t seen_space) EXCLUDES(put_mu_, mu_);
  // The remembered export that `kept` names, if it still holds the same object.
  Kept* Current(const Kept& kept) REQUIRES(mu_);
  uint64_t Put(const std::vector<Endpoint>& agent, const std::string& name,
               const std::shared_ptr<T>& obj);

  const std::shared_ptr<RuntimeCore> core_;
  const std::chrono::milliseconds interval_;
  // Held across each put, so that a put again never overtakes a new export.
  Mutex put_mu_ ACQUIRED_BEFORE(mu_);
  Mutex mu_;
  CondVar wake_;
  std::vector<Kept> kept_ GUARDED_BY(mu_);
  bool stopped_ GUARDED_BY(mu_) = false;
  std::jthread thread_ GUARDED_BY(mu_);
};

}  // namespace NetObj
