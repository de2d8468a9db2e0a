// The decoder as a fuzz target sees it: one input is a frame (16-byte header and body) preceded
// by a short script saying which values to read from the body, in order, as a receiver's stubs
// would. The frame goes through the incremental assembler in pieces of a size that the script's
// length picks. Every way decoding can fail must be a NetObj::Error or Rd::Failure; anything else
// (a crash, another exception, an allocation beyond the message) is a fault.
//
// Input layout: byte 0 = n (script length, at most 64), bytes 1..n = script (each byte mod 7
// picks int32, int64, boolean, real, reference, call header, text), then the frame.
// Thread-safe: no shared state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace NetObj {

// Returns the number of values read before the input ran out or failed.
int DecodeInput(std::span<const uint8_t> input);

}  // namespace NetObj
