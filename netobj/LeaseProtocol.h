// How holders deal with owners about lifetime: the release section that every call carries, and
// the runtime's own well-known lease object.
//
// Every call frame, after the stub protocol and before the stub's values, carries the caller's
// releases of the callee space's objects: u32 n, n x (object u64, epoch u64, count u64), n at
// most kMaxLeaseItems. A holder's releases thus ride on its next call to the owner; the owner
// applies them before it serves the call, whatever the call is.
//
// The lease object is object number kLeaseObjectId in every runtime that listens, called with
// stub protocol kLeaseStubProt in ordinary call frames addressed to the owner's space (so a call
// that reaches another runtime at a reused address fails with "unknown object"). Every reply
// starts with the owner's epoch for the caller (see ExportTable).
//
//   0 renew(registrations: u32 m, m x object u64)  -> (epoch u64, u32 m, m x counted u8)
//       Sent every lease_renewal on the holder's lease connection, which it marks as such:
//       the owner drops the holder's holdings when that connection closes, or when no renewal
//       came within lease_period. Its release section carries what no call took.
//   1 register(object u64)                          -> (epoch u64); error "unknown object"
//       A reference received from a third party, on any connection, before it is used.
//   2 end()                                         -> (epoch u64, ended u8)
//       A holder that holds nothing any more ends its lease; refused while it still is counted.
//
// The call header around these calls is Envelope's; the holder's codec of them is LeaseCodec's.
//
// Implemented in LeaseProtocol.cc. Constants and stateless codecs: thread-safe.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "netobj/ExportTable.h"
#include "netobj/wire/Message.h"

namespace NetObj {

inline constexpr uint64_t kLeaseObjectId = 2;
inline constexpr int32_t kLeaseStubProt = 1;
enum class LeaseMethod : int32_t { kRenew = 0, kRegister = 1, kEnd = 2 };
// At most this many releases or registrations travel in one renewal.
inline constexpr uint32_t kMaxLeaseItems = 4096;

// The release section of a call. GetReleases checks the count against the limit and the bytes
// left before it allocates.
void PutReleases(MessageWriter& w, std::span<const ExportTable::Release> releases);
std::vector<ExportTable::Release> GetReleases(MessageReader& in);
// Reads a count of items of `item_size` bytes each, checked the same way.
uint32_t GetLeaseItemCount(MessageReader& in, std::size_t item_size);

}  // namespace NetObj
