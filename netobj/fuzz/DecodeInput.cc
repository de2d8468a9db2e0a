// The fuzzed decoding path: header checks, then the scripted value reads.
#include "netobj/fuzz/DecodeInput.h"

#include <algorithm>
#include <vector>

#include "netobj/wire/FrameAssembler.h"
#include "netobj/wire/Message.h"

namespace NetObj {

namespace {

void ReadOne(MessageReader& in, uint8_t op) {
  switch (op % 7) {
    case 0:
      in.GetI32();
      break;
    case 1:
      in.GetI64();
      break;
    case 2:
      in.GetBool();
      break;
    case 3:
      in.GetF32();
      break;
    case 4:
      in.GetRef();
      break;
    case 5:
      in.GetU64(), in.GetU64(), in.GetU64(), in.GetI32();
      break;
    default:
      in.GetString(4096);
  }
}

}  // namespace

int DecodeInput(std::span<const uint8_t> input) {
  if (input.empty()) return 0;
  std::size_t n = std::min<std::size_t>(input[0], 64);
  if (input.size() < 1 + n + kHeaderSize) return 0;
  std::span<const uint8_t> script = input.subspan(1, n);
  std::span<const uint8_t> frame = input.subspan(1 + n);
  int read = 0;
  try {
    // The frame arrives in pieces, as from a slow or fragmenting peer.
    FrameAssembler frames;
    std::size_t piece = 1 + (n * 37) % 61;
    FrameAssembler::Got got = FrameAssembler::Got::kWouldBlock;
    while (!frame.empty() && got != FrameAssembler::Got::kFrame) {
      std::span<const uint8_t> next = frame.first(std::min(piece, frame.size()));
      frame = frame.subspan(next.size());
      got = frames.Deliver(&next);
    }
    if (got != FrameAssembler::Got::kFrame) return 0;  // a socket read would wait for the rest
    std::vector<uint8_t> body;
    FrameHeader h = frames.Take(&body);
    MessageReader in(body, h.format);
    for (uint8_t op : script) {
      ReadOne(in, op);
      ++read;
    }
  } catch (const Error&) {
  } catch (const Rd::Failure&) {
  }
  return read;
}

}  // namespace NetObj
