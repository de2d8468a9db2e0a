// Exports remembered and put again at a new run of their agent.
#include "netobj/agent/ExportKeeper.h"

#include <algorithm>
#include <map>

#include "netobj/RuntimeCore.h"
#include "netobj/ThreadPlacement.h"
#include "netobj/agent/AgentStubs.h"

namespace NetObj {

namespace {

std::shared_ptr<AgentSurrogate> AgentAt(RuntimeCore& core, const std::vector<Endpoint>& agent) {
  return std::dynamic_pointer_cast<AgentSurrogate>(
      core.WellKnownSurrogate(agent, kAgentObjectId, kAgentTypeName));
}

}  // namespace

ExportKeeper::ExportKeeper(std::shared_ptr<RuntimeCore> core,
                           std::chrono::milliseconds check_interval)
    : core_(std::move(core)), interval_(check_interval) {}

ExportKeeper::~ExportKeeper() { Stop(); }

uint64_t ExportKeeper::Put(const std::vector<Endpoint>& agent, const std::string& name,
                           const std::shared_ptr<T>& obj) {
  return AgentAt(*core_, agent)->PutForSpace(name, obj);
}

void ExportKeeper::Export(std::vector<Endpoint> agent, std::string where, std::string name,
                          std::shared_ptr<T> obj) {
  MutexLock put_lock(put_mu_);
  uint64_t space = Put(agent, name, obj);
  std::shared_ptr<T> replaced;  // let go after the lock: its destructor is the program's
  MutexLock lock(mu_);
  if (stopped_) return;
  auto it = std::find_if(kept_.begin(), kept_.end(),
                         [&](const Kept& k) { return k.where == where && k.name == name; });
  if (it == kept_.end()) {
    kept_.push_back(
        Kept{std::move(agent), std::move(where), std::move(name), std::move(obj), space});
  } else {
    replaced = std::exchange(it->obj, std::move(obj));
    it->agent = std::move(agent);
    it->agent_space = space;
  }
  if (!thread_.joinable()) thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
}

void ExportKeeper::Stop() {
  std::jthread thread;
  std::vector<Kept> gone;
  {
    MutexLock lock(mu_);
    stopped_ = true;
    thread = std::move(thread_);
    gone.swap(kept_);
  }
  thread.request_stop();
  if (thread.joinable()) thread.join();
}

void ExportKeeper::Run(std::stop_token stop) {
  TakeProcessCpus();
  while (!stop.stop_requested()) {
    {
      MutexLock lock(mu_);
      wake_.WaitFor(mu_, stop, interval_, [] { return false; });
    }
    if (stop.stop_requested()) return;
    Check();
  }
}

void ExportKeeper::Check() {
  std::vector<Kept> round;
  {
    MutexLock lock(mu_);
    round = kept_;
  }
  // Each agent is asked once per round, however many names were exported there.
  std::map<std::string, uint64_t> answered;  // by `where`; 0: no answer
  for (const Kept& k : round) {
    auto [it, first] = answered.try_emplace(k.where, 0);
    if (first) {
      try {
        it->second = AgentAt(*core_, k.agent)->PingForSpace();
      } catch (...) {
        // Down, or this runtime shuts down: asked again next round.
      }
    }
    if (it->second != 0 && it->second != k.agent_space) PutAgain(k, it->second);
  }
}

ExportKeeper::Kept* ExportKeeper::Current(const Kept& kept) {
  auto it = std::find_if(kept_.begin(), kept_.end(), [&](const Kept& k) {
    return k.where == kept.where && k.name == kept.name;
  });
  return it != kept_.end() && it->obj == kept.obj ? &*it : nullptr;
}

void ExportKeeper::PutAgain(const Kept& kept, uint64_t seen_space) {
  MutexLock put_lock(put_mu_);
  {
    MutexLock lock(mu_);
    Kept* k = Current(kept);
    // Exported again, or already put at this run of the agent, since the round began.
    if (stopped_ || k == nullptr || k->agent_space == seen_space) return;
  }
  uint64_t space = 0;
  try {
    space = Put(kept.agent, kept.name, kept.obj);
  } catch (...) {
    return;  // the next round tries again
  }
  MutexLock lock(mu_);
  if (Kept* k = Current(kept)) k->agent_space = space;
}

}  // namespace NetObj
