// The runtime's well-known lease object (LeaseProtocol.h): the owner serves it from the export
// table alone, so that it never waits on program code; a receiver calls it to register a
// reference that reached it through a third party.
#include "netobj/Envelope.h"
#include "netobj/LeaseProtocol.h"
#include "netobj/RuntimeCore.h"

namespace NetObj {

void RuntimeCore::ServeLease(CallConnection& c, int32_t stub_prot) {
  uint64_t holder = c.peer_space;
  if (stub_prot != kLeaseStubProt || holder == 0 || holder == space_id_) FailBadData();
  auto now = std::chrono::steady_clock::now();
  switch (static_cast<LeaseMethod>(c.in.GetI32())) {
    case LeaseMethod::kRenew: {
      std::vector<uint64_t> registrations(GetLeaseItemCount(c.in, 8));
      for (auto& id : registrations) id = c.in.GetU64();
      // A new lease connection drops the holdings of the old one, and the registrations that
      // follow count the surrogates still alive again. What was dropped is let go only after
      // them, so that an object held through the change stays alive.
      ExportTable::Dropped dropped;
      uint64_t replaced = 0;
      uint64_t epoch = exports_.Renew(holder, c.connection_id, now, &dropped, &replaced);
      c.lease_holder = holder;
      if (replaced != 0) {
        MutexLock lock(mu_);
        if (server_) server_->Disconnect(replaced);
      }
      BeginReply(c);
      c.out.PutU64(epoch);
      c.out.PutU32(static_cast<uint32_t>(registrations.size()));
      for (uint64_t id : registrations) c.out.PutU8(exports_.Register(id, holder, now) ? 1 : 0);
      LetGo(std::move(dropped));
      return;
    }
    case LeaseMethod::kRegister: {
      uint64_t id = c.in.GetU64();
      std::optional<uint64_t> epoch = exports_.Register(id, holder, now);
      if (!epoch) throw Error({kUnknownObject, "object " + std::to_string(id)});
      BeginReply(c);
      c.out.PutU64(*epoch);
      return;
    }
    case LeaseMethod::kEnd: {
      bool ended = exports_.EndLease(holder, c.connection_id);
      if (ended) c.lease_holder = 0;
      BeginReply(c);
      c.out.PutU64(0);
      c.out.PutU8(ended ? 1 : 0);
      return;
    }
  }
  FailBadData();
}

uint64_t RuntimeCore::RegisterReceipt(const SurrogateLink& link) {
  ObjectRef lease_object{{link.ref().id.space, kLeaseObjectId}, {}, {}};
  auto route = std::make_shared<SurrogateLink>(weak_from_this(), std::move(lease_object),
                                               link.connect_order(), nullptr);
  CallConnection& c = OpenCall(route, kLeaseStubProt);
  uint64_t epoch = 0;
  try {
    c.out.PutI32(static_cast<int32_t>(LeaseMethod::kRegister));
    c.out.PutU64(link.ref().id.object);
    WaitForReply(c);
    epoch = c.in.GetU64();
    if (epoch == 0) FailMalformed("no epoch");
  } catch (const Rd::Failure& e) {
    CloseCall(c, false);
    throw Error(e.atoms());
  } catch (const Wr::Failure& e) {
    CloseCall(c, false);
    throw Error(e.atoms());
  } catch (...) {
    CloseCall(c, false);
    throw;
  }
  CloseCall(c, true);
  return epoch;
}

}  // namespace NetObj
