// The runtime's well-known lease object (LeaseProtocol.h), on the serving side: the owner serves
// it from the export table alone, so that it never waits on program code; a receiver calls it
// (CallingSide::RegisterReceipt) to register a reference that reached it through a third party.
#include "netobj/Envelope.h"
#include "netobj/LeaseProtocol.h"
#include "netobj/RuntimeCore.h"
#include "netobj/ServingSide.h"

namespace NetObj {

void ServingSide::ServeLease(IncomingCall& c, int32_t stub_prot) {
  uint64_t holder = c.peer_space;
  if (stub_prot != kLeaseStubProt || holder == 0 || holder == core_.space_id()) FailBadData();
  ExportTable& exports = core_.exports();
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
      uint64_t epoch = exports.Renew(holder, c.connection_id(), now, &dropped, &replaced);
      c.lease_holder = holder;
      if (replaced != 0) {
        MutexLock lock(mu_);
        if (server_) server_->Disconnect(replaced);
      }
      BeginReply(c);
      c.out.PutU64(epoch);
      c.out.PutU32(static_cast<uint32_t>(registrations.size()));
      for (uint64_t id : registrations) c.out.PutU8(exports.Register(id, holder, now) ? 1 : 0);
      core_.LetGo(std::move(dropped));
      return;
    }
    case LeaseMethod::kRegister: {
      uint64_t id = c.in.GetU64();
      std::optional<uint64_t> epoch = exports.Register(id, holder, now);
      if (!epoch) throw Error({kUnknownObject, "object " + std::to_string(id)});
      BeginReply(c);
      c.out.PutU64(*epoch);
      return;
    }
    case LeaseMethod::kEnd: {
      bool ended = exports.EndLease(holder, c.connection_id());
      if (ended) c.lease_holder = 0;
      BeginReply(c);
      c.out.PutU64(0);
      c.out.PutU8(ended ? 1 : 0);
      return;
    }
  }
  FailBadData();
}

}  // namespace NetObj
