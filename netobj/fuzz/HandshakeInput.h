// The serving side's first bytes as a fuzz target sees them: whatever a peer sends before and
// during the TLS handshake goes to a serving channel of a runtime with a key, which looks at the
// first byte, hands TLS records to the handshake and answers a plain peer plainly. The input
// arrives in pieces whose size its first byte picks, then the peer's end closes. Every way this
// can fail must be Rd::Failure (MalformedFrame among them) or Wr::Failure; anything else (a
// crash, another exception, a hang: the pump is bounded) is a fault.
//
// Thread-safe: every call makes its own channel; the TLS settings are shared and immutable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace NetObj {

// What became of the input: the handshake still waiting, a frame (only after a complete
// handshake, which fuzzing cannot forge), or the connection ended.
enum class HandshakeOutcome { kWaiting, kFrame, kEnded };

HandshakeOutcome HandshakeInput(std::span<const uint8_t> input);

// The first flight of a caller holding the fuzz key: a real ClientHello to mutate.
std::vector<uint8_t> ClientHelloForFuzzing();

}  // namespace NetObj
