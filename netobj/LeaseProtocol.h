// The runtime's own well-known object through which holders deal with owners: object number
// kLeaseObjectId in every runtime that listens, called with stub protocol kLeaseStubProt in
// ordinary call frames addressed to the owner's space (so a call that reaches another runtime at
// a reused address fails with "unknown object"). Every reply starts with the owner's epoch for
// the caller (see ExportTable).
//
//   0 renew(releases: u32 n, n x (object u64, epoch u64, count u64),
//           registrations: u32 m, m x object u64)  -> (epoch u64, u32 m, m x counted u8)
//       Sent every lease_renewal on the holder's lease connection, which it marks as such:
//       the owner drops the holder's holdings when that connection closes, or when no renewal
//       came within lease_period. Releases name the epoch their counts were made under.
//   1 register(object u64)                          -> (epoch u64); error "unknown object"
//       A reference received from a third party, on any connection, before it is used.
//   2 end()                                         -> (epoch u64, ended u8)
//       A holder that holds nothing any more ends its lease; refused while it still is counted.
//
// Constants only: thread-safe.
#pragma once

#include <cstdint>

namespace NetObj {

inline constexpr uint64_t kLeaseObjectId = 2;
inline constexpr int32_t kLeaseStubProt = 1;
enum class LeaseMethod : int32_t { kRenew = 0, kRegister = 1, kEnd = 2 };
// At most this many releases or registrations travel in one renewal.
inline constexpr uint32_t kMaxLeaseItems = 4096;

}  // namespace NetObj
