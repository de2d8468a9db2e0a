// A peer that knows the wire and nothing else: it holds no space of its own, no surrogates, no
// lease and no key, and writes its one request with the frame and message encoding alone. It
// shows what a host answers to someone it does not know: the agent's import of a name, or a
// call to an object whose space and number it was told, and then what came back (a reply, an
// error frame and its atoms, the connection closed, bytes that are no frame at all, or
// nothing).
//
// Implemented in Stranger.cc; the program netobj_stranger (stranger_main.cc) asks once and
// prints Describe's one line, for tests that run it on another host. Plain functions, no shared
// state: thread-safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "netobj/wire/Endpoint.h"
#include "netobj/wire/ObjectRef.h"
#include "netobj/wire/Values.h"

namespace stranger {

// One call frame, whole, and whether its reply is an import's (a code, then a reference).
struct Request {
  std::vector<uint8_t> frame;
  bool import = false;
};

// The agent's get of `name`, addressed to the well-known agent object of whoever listens.
Request ImportRequest(const std::string& name);
// A call of `target` at stub protocol `stub_prot` whose stub values are `values` (the method
// code first).
Request CallRequest(NetObj::WireId target, int32_t stub_prot, const std::vector<int32_t>& values);

struct Answer {
  enum class Kind { kReply, kError, kClosed, kNotAFrame, kCut, kSilent, kUnreachable };
  Kind kind = Kind::kSilent;
  NetObj::AtomList atoms;  // kError: the frame's atoms; kUnreachable: why connecting failed
  // kReply: the reply's values after the replier's space, and the reference a reply to an
  // import carries after its code (nothing when it is not an object).
  std::vector<uint8_t> values;
  std::optional<NetObj::ObjectRef> object;
  std::vector<uint8_t> bytes;  // kNotAFrame, kCut: the first bytes received
  bool closed_after = false;   // kError: the peer closed the connection after the frame
};

// Sends `request` on a fresh connection to `to` and reads what comes back for at most `limit`.
Answer Ask(const NetObj::Endpoint& to, const Request& request, std::chrono::milliseconds limit);

// One line, as the program prints it:
//   reply object <space, 16 hex digits> <number> <types, comma-separated>
//   reply null | reply <n> bytes
//   error: <atom> | <atom> ... (closed) | (left open)
//   closed | silent | cut after <n> bytes | not a frame: <hex> | unreachable: <atoms>
std::string Describe(const Answer& a);

}  // namespace stranger
