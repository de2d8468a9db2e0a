// The calling side's frame around one remote call, for every hand-written surrogate method (the
// stub units', the agent's, the lease object's, the tests') and the runtime's own receipt
// registration: the connection is closed exactly
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

// One call from its opening to its close. Finish() closes it after the whole reply was read; if
// that never happens the destructor closes it with reuse false, so a half-read connection never
// goes back to the pool. `Close` is how the call is ended: CloseCall for a stub's call, the
// calling side's own close for the runtime's calls to a lease object.
template <class Connection, class Close>
class CallFrame {
 public:
  CallFrame(Connection& c, Close close) : c_(c), close_(std::move(close)) {}
  CallFrame(const CallFrame&) = delete;
  CallFrame& operator=(const CallFrame&) = delete;

  ~CallFrame() {
    if (closed_) return;
    // Only reached while another exception leaves the call: that one is what the caller must
    // see, so a second failure from closing a broken connection is dropped here.
    try {
      close_(c_, false);
    } catch (...) {
    }
  }

  Connection& connection() { return c_; }

  // Marked closed before the runtime runs, so a failing close is never repeated.
  void Finish() {
    closed_ = true;
    close_(c_, true);
  }

 private:
  Connection& c_;
  Close close_;
  bool closed_ = false;
};

struct CloseStubCall {
  void operator()(CallConnection& c, bool reuse) const { CloseCall(c, reuse); }
};

// A stub's call, from OpenCall to CloseCall.
class OpenedCall : public CallFrame<CallConnection, CloseStubCall> {
 public:
  OpenedCall(T& surrogate, int32_t stubProt)
      : CallFrame(OpenCall(surrogate, stubProt), CloseStubCall{}) {}
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
