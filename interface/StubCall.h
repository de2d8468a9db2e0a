// The calling side's frame around one remote call, shared by the surrogate methods of every stub
// unit: the connection is closed exactly once whatever happens after OpenCall succeeds, and read
// or write failures of the runtime reach the caller as NetObj::Error with the same atom list.
//
// Ownership: an OpenedCall borrows the runtime's CallConnection for its own lifetime and lives on
// the stack of one surrogate method. Not shared between threads.
#pragma once

#include <cstdint>
#include <utility>

#include "netobj/NetObj.h"

namespace FractalNetObj::StubSupport {

// The protocol version both stub units speak, sent with every call and required of every request.
inline constexpr int32_t kStubProtocol = 1;

// Integers cross as 32-bit signed values; the stubs narrow nothing further.
inline constexpr int32_t kLowest = INT32_MIN;
inline constexpr int32_t kHighest = INT32_MAX;

// One call from OpenCall to CloseCall. Finish(true) closes it after the whole reply was read; if
// that never happens the destructor closes it with reuse false, so a half-read connection never
// goes back to the pool.
class OpenedCall {
 public:
  OpenedCall(NetObj::T& surrogate, int32_t stubProt) : c_(NetObj::OpenCall(surrogate, stubProt)) {}
  OpenedCall(const OpenedCall&) = delete;
  OpenedCall& operator=(const OpenedCall&) = delete;

  ~OpenedCall() {
    if (closed_) return;
    // Only reached while another exception leaves the call: that one is what the caller must
    // see, so a second failure from closing a broken connection is dropped here.
    try {
      NetObj::CloseCall(c_, false);
    } catch (...) {
    }
  }

  NetObj::CallConnection& connection() { return c_; }

  // Marked closed before the runtime runs, so a failing CloseCall is never repeated.
  void Finish() {
    closed_ = true;
    NetObj::CloseCall(c_, true);
  }

 private:
  NetObj::CallConnection& c_;
  bool closed_ = false;
};

// Runs one surrogate method body; Rd::Failure and Wr::Failure leave as NetObj::Error carrying
// the same atoms, everything else (NetObj::Error, Thread::Alerted) passes unchanged.
template <class Body>
auto ConvertingFailures(Body&& body) -> decltype(body()) {
  try {
    return std::forward<Body>(body)();
  } catch (const Rd::Failure& e) {
    NetObj::FailCommunication(e.atoms());
  } catch (const Wr::Failure& e) {
    NetObj::FailCommunication(e.atoms());
  }
}

// Reads a reply code and refuses every code but OK (0).
inline void ExpectReplyOk(NetObj::CallConnection& c, NetObj::DataFormat rep) {
  if (NetObj::GetInt32(c, rep, kLowest, kHighest) != 0) NetObj::FailBadData();
}

}  // namespace FractalNetObj::StubSupport
