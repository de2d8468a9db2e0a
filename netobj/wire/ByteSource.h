// Where a frame assembler takes its bytes from: a socket as it is, or a layer that turns what
// the socket received into the stream the peer meant (a decrypting one keeps its own state and
// hands over only plain bytes), so framing never knows which it reads.
//
// Implemented by Socket (Socket.h). Ownership: the caller keeps the source alive while an
// assembler reads from it. Not thread-safe: one thread at a time, the one that owns the
// connection.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace NetObj {

class ByteSource {
 public:
  // At most n bytes, at least 1; 0 when the peer ended the stream; nothing when none is there
  // now (or, when `wait`, none came within the receive time-out). Throws Rd::Failure naming
  // `peer` when the stream failed.
  virtual std::optional<std::size_t> Receive(void* data, std::size_t n, const std::string& peer,
                                             bool wait) = 0;

 protected:
  ~ByteSource() = default;
};

}  // namespace NetObj
