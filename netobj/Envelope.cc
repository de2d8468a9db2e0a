// The call header's and the error body's codecs.
#include "netobj/Envelope.h"

#include <algorithm>

#include "netobj/LeaseProtocol.h"

namespace NetObj {

namespace {
// Caller's space, callee's space, object number: what PeekCallTarget needs.
constexpr std::size_t kCallPrefix = 24;
// What an error without atoms says.
constexpr char kRemoteFailure[] = "remote failure";
}  // namespace

void PutCallHeader(MessageWriter& w, const CallHeader& h,
                   std::span<const ExportTable::Release> releases) {
  w.PutU64(h.caller);
  w.PutU64(h.target.space);
  w.PutU64(h.target.object);
  w.PutI32(h.stub_prot);
  PutReleases(w, releases);
}

ReceivedCall GetCallHeader(MessageReader& in) {
  ReceivedCall got;
  got.header.caller = in.GetU64();
  got.header.target.space = in.GetU64();
  got.header.target.object = in.GetU64();
  got.header.stub_prot = in.GetI32();
  got.releases = GetReleases(in);
  return got;
}

std::optional<WireId> PeekCallTarget(std::span<const uint8_t> body, DataFormat format) {
  if (body.size() < kCallPrefix) return std::nullopt;
  MessageReader in(body, format);
  in.GetU64();
  WireId target;
  target.space = in.GetU64();
  target.object = in.GetU64();
  return target;
}

void PutErrorBody(MessageWriter& w, const AtomList& atoms) {
  std::size_t n = std::min<std::size_t>(atoms.size(), kMaxErrorAtoms);
  w.PutU32(static_cast<uint32_t>(std::max<std::size_t>(n, 1)));
  if (n == 0) w.PutString(kRemoteFailure);
  for (std::size_t i = 0; i < n; ++i) w.PutString(atoms[i].substr(0, kMaxAtomLength));
}

AtomList GetErrorBody(MessageReader& in) {
  uint32_t n = in.GetU32();
  if (n == 0 || n > kMaxErrorAtoms) FailMalformed("bad error reply");
  AtomList atoms;
  for (uint32_t i = 0; i < n; ++i) atoms.push_back(in.GetString(kMaxAtomLength));
  return atoms;
}

bool SaysUnknownObject(MessageReader& in) {
  uint32_t n = in.GetU32();
  return n > 0 && in.GetString(kMaxAtomLength) == kUnknownObject;
}

}  // namespace NetObj
