// The lease object's calls as a holder writes them, and their replies as it reads them (the
// protocol: LeaseProtocol.h). Each call is an ordinary call frame to the owner's space, so a
// call that reaches another runtime at the owner's old address is answered "unknown object".
//
// Implemented in LeaseCodec.cc. Stateless codecs: thread-safe.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "netobj/ExportTable.h"
#include "netobj/wire/Frame.h"
#include "netobj/wire/Message.h"

namespace NetObj {

// A renewal from `holder` to `owner`: the releases no call took, and the objects whose
// surrogates register again under the owner's new epoch.
void PutRenewal(MessageWriter& w, uint64_t holder, uint64_t owner,
                std::span<const ExportTable::Release> releases,
                std::span<const uint64_t> registrations);
void PutEndLease(MessageWriter& w, uint64_t holder, uint64_t owner);

enum class LeaseAnswer {
  kReply,         // the owner answered; its values follow
  kRefused,       // an error from the owner, or no reply at all
  kOtherRuntime,  // another runtime answered at the owner's address: the owner is gone
};
// Reads the opening of what came back to a lease call to `owner`.
LeaseAnswer OpenLeaseReply(const FrameHeader& h, MessageReader& in, uint64_t owner);

struct RenewalReply {
  uint64_t epoch = 0;            // the owner's epoch for us
  std::vector<uint8_t> counted;  // one per registration: whether the owner still had it
};
// After kReply: a renewal's values. An answer for any other number of registrations than
// `registrations` is malformed.
RenewalReply GetRenewalReply(MessageReader& in, std::size_t registrations);
// After kReply: whether the owner ended the lease (it refuses while it still counts us).
bool GetEndReply(MessageReader& in);

}  // namespace NetObj
