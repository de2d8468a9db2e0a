// What every call and every error reply carries around the stub's own values: the call header
// (caller's space, callee's space, object number, stub protocol, the caller's releases) and the
// error body (atoms, after the replier's space that opens every reply). Each Put has its Get
// beside it, so the two sides of the wire cannot drift apart; the limits are the wire format's
// (WireFormat.h, LeaseProtocol.h).
//
// Implemented in Envelope.cc. Stateless codecs and constants: thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "netobj/ExportTable.h"
#include "netobj/wire/Message.h"
#include "netobj/wire/ObjectRef.h"

namespace NetObj {

// The atom an owner answers for an object number it does not know. From the owner's address
// it also tells a holder that another runtime now listens there.
inline constexpr char kUnknownObject[] = "unknown object";

struct CallHeader {
  uint64_t caller = 0;  // the caller's space (0: a runtime that does not say)
  WireId target;        // the callee's space (0: whoever listens) and the object number
  int32_t stub_prot = 0;
};

// The header and the caller's releases of the callee space's objects (at most kMaxLeaseItems).
void PutCallHeader(MessageWriter& w, const CallHeader& h,
                   std::span<const ExportTable::Release> releases);

struct ReceivedCall {
  CallHeader header;
  std::vector<ExportTable::Release> releases;
};
// Reads what PutCallHeader wrote; the releases are checked against their limit and the bytes
// left before anything is allocated.
ReceivedCall GetCallHeader(MessageReader& in);
// The object a call body addresses, read from its first bytes alone (nothing is allocated);
// nullopt when the body is too short to say.
std::optional<WireId> PeekCallTarget(std::span<const uint8_t> body, DataFormat format);

// The atoms of an error reply: an empty list goes as one general atom, and the list and each
// atom are cut to the limits.
void PutErrorBody(MessageWriter& w, const AtomList& atoms);
// Reads what PutErrorBody wrote; a count or an atom beyond the limits is malformed.
AtomList GetErrorBody(MessageReader& in);
// Whether an error body's first atom is kUnknownObject; reads that atom only, so a holder
// learns it from an error body whatever follows.
bool SaysUnknownObject(MessageReader& in);

}  // namespace NetObj
