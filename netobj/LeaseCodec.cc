// The holder's lease calls and their replies.
#include "netobj/LeaseCodec.h"

#include "netobj/Envelope.h"
#include "netobj/LeaseProtocol.h"

namespace NetObj {

namespace {
void PutLeaseCall(MessageWriter& w, uint64_t holder, uint64_t owner, LeaseMethod m,
                  std::span<const ExportTable::Release> releases) {
  w.Begin();
  PutCallHeader(w, {holder, {owner, kLeaseObjectId}, kLeaseStubProt}, releases);
  w.PutI32(static_cast<int32_t>(m));
}
}  // namespace

void PutRenewal(MessageWriter& w, uint64_t holder, uint64_t owner,
                std::span<const ExportTable::Release> releases,
                std::span<const uint64_t> registrations) {
  PutLeaseCall(w, holder, owner, LeaseMethod::kRenew, releases);
  w.PutU32(static_cast<uint32_t>(registrations.size()));
  for (uint64_t object : registrations) w.PutU64(object);
}

void PutEndLease(MessageWriter& w, uint64_t holder, uint64_t owner) {
  PutLeaseCall(w, holder, owner, LeaseMethod::kEnd, {});
}

LeaseAnswer OpenLeaseReply(const FrameHeader& h, MessageReader& in, uint64_t owner) {
  if (in.GetU64() != owner) return LeaseAnswer::kOtherRuntime;
  if (h.kind == MessageKind::kError)
    // The owner's space is gone from that address: another runtime answered.
    return SaysUnknownObject(in) ? LeaseAnswer::kOtherRuntime : LeaseAnswer::kRefused;
  return h.kind == MessageKind::kReply ? LeaseAnswer::kReply : LeaseAnswer::kRefused;
}

RenewalReply GetRenewalReply(MessageReader& in, std::size_t registrations) {
  RenewalReply reply;
  reply.epoch = in.GetU64();
  uint32_t m = in.GetU32();
  if (m != registrations) FailMalformed("renewal answered for other registrations");
  reply.counted.reserve(m);
  for (uint32_t i = 0; i < m; ++i) reply.counted.push_back(in.GetU8());
  return reply;
}

bool GetEndReply(MessageReader& in) {
  in.GetU64();
  return in.GetU8() == 1;
}

}  // namespace NetObj
