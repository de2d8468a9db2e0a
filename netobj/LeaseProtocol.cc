// The release section's codec.
#include "netobj/LeaseProtocol.h"

namespace NetObj {

namespace {
constexpr std::size_t kReleaseBytes = 24;
}  // namespace

uint32_t GetLeaseItemCount(MessageReader& in, std::size_t item_size) {
  uint32_t n = in.GetU32();
  if (n > kMaxLeaseItems || n > in.remaining() / item_size) FailMalformed("too many lease items");
  return n;
}

void PutReleases(MessageWriter& w, std::span<const ExportTable::Release> releases) {
  w.PutU32(static_cast<uint32_t>(releases.size()));
  for (const ExportTable::Release& r : releases)
    w.PutU64(r.id), w.PutU64(r.epoch), w.PutU64(r.count);
}

std::vector<ExportTable::Release> GetReleases(MessageReader& in) {
  std::vector<ExportTable::Release> releases(GetLeaseItemCount(in, kReleaseBytes));
  for (ExportTable::Release& r : releases)
    r.id = in.GetU64(), r.epoch = in.GetU64(), r.count = in.GetU64();
  return releases;
}

}  // namespace NetObj
