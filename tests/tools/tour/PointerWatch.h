// Watches one X client's pointer queries through the X server's RECORD extension: for every
// QueryPointer request of that client, the state mask and position that the X server answered.
// The server program learns about the mouse only by such queries, so this tells the tour exactly
// when the server has seen a button (and how often), and that it is polling, that is, waiting
// for a click on a view it has finished drawing.
//
// Ownership: owns two X connections of its own (control and data) and the record context.
// Not thread-safe; one thread uses it.
#pragma once

#include <X11/Xlib.h>
#include <X11/extensions/record.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

namespace tour {

struct PointerQuery {
  uint32_t mask = 0;  // the pointer state mask: buttons and modifiers
  int windowX = 0;    // the position relative to the window that was asked about
  int windowY = 0;
};

class PointerWatch {
 public:
  // Watches the client that owns `resource` (any X resource of it, such as its window) on
  // `display`. Throws std::runtime_error when the display cannot be reached or lacks RECORD.
  PointerWatch(const std::string& display, XID resource);
  ~PointerWatch();
  PointerWatch(const PointerWatch&) = delete;
  PointerWatch& operator=(const PointerWatch&) = delete;

  // The next answer to a query of the watched client, in the order the X server sent them;
  // nothing when none came within `timeout`.
  std::optional<PointerQuery> Next(std::chrono::milliseconds timeout);

 private:
  static void Intercept(XPointer self, XRecordInterceptData* data);

  Display* control_ = nullptr;
  Display* data_ = nullptr;
  XRecordContext context_ = 0;
  std::deque<PointerQuery> answers_;
};

}  // namespace tour
