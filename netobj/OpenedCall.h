// The calling side's frame around one remote call, for every hand-written surrogate method (the
// stub units', the agent's, the lease object's, the tests'): the connection is closed exactly
// once whatever happens after OpenCall succeeds, and read or write failures of the runtime reach
// the caller as NetObj::Error with the same atom list.
//
// Header only. Ownership: an OpenedCall borrows the runtime's CallConnection for its own lifetime
// and lives on the stack of one surrogate method. Not shared between threads.
#pragma once

#include <cstdint>
#include <utility>

#include "netobj/NetObj.h"

namespace NetObj {

// One call from OpenCall to CloseCall. Finish(true) closes it after the whole reply was read; if
// that never happens the destructor closes it with reuse false, so a half-read connection never
// goes back to the pool.
class OpenedCall {
 public:
  OpenedCall(T& surrogate, int32_t stubProt) : c_(OpenCall(surrogate, stubProt)) {}
  OpenedCall(const OpenedCall&) = delete;
  OpenedCall& operator=(const OpenedCall&) = delete;

  ~OpenedCall() {
    if (closed_) return;
    // Only reached while another exception leaves the call: that one is what the caller must
    // see, so a second failure from closing a broken connection is dropped here.
    try {
      CloseCall(c_, false);
    } catch (...) {
    }
  }

  CallConnection& connection() { return c_; }

  // Marked closed before the runtime runs, so a failing CloseCall is never repeated.
  void Finish() {
    closed_ = true;
    CloseCall(c_, true);
  }

 private:
  CallConnection& c_;
  bool closed_ = false;
};

// Runs one surrogate method body; Rd::Failure and Wr::Failure leave as Error carrying
// the same atoms, everything else (Error, Thread::Alerted) passes unchanged.
template <class Body>
auto ConvertingFailures(Body&& body) -> decltype(body()) {
  try {
    return std::forward<Body>(body)();
  } catch (const Rd::Failure& e) {
    FailCommunication(e.atoms());
  } catch (const Wr::Failure& e) {
    FailCommunication(e.atoms());
  }
}

}  // namespace NetObj
