// Holds a mouse button down over the server's window, as a user who keeps it pressed, and counts
// the views the server completes meanwhile. The server learns about the mouse only by polling the
// pointer once a view is drawn, and a held button is taken on the first poll, so each answer
// carrying the button is one completed view (and one zoom). The answers are watched through the
// X server (PointerWatch); nothing is asked of the server.
//
// Ownership: owns its X connections; releases a button still held when it goes. Not thread-safe;
// one thread uses it.
#pragma once

#include <X11/Xlib.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "tests/support/XProbe.h"
#include "tests/tools/tour/PointerWatch.h"

namespace system_test {

class HeldButton {
 public:
  // Finds the window of a server started with -width sx -height sy on `display` (sy pixels wide,
  // sx tall). Throws std::runtime_error when it does not appear within `timeout`.
  HeldButton(const std::string& display, int32_t sx, int32_t sy, std::chrono::milliseconds timeout);
  ~HeldButton();
  HeldButton(const HeldButton&) = delete;
  HeldButton& operator=(const HeldButton&) = delete;

  // Waits, at most `timeout`, for the server to poll the pointer: it has drawn a view and waits
  // for a click. False when it did not.
  bool AwaitPoll(std::chrono::milliseconds timeout);

  // Moves the pointer to window pixel (column, row) and presses X button `button` (1 or 3).
  void Press(unsigned int button, int column, int row);
  void Release();

  // Waits until the server has taken the held button `views` more times, each `timeout` at most.
  // Returns how many it took; fewer than `views` when one view did not complete in time.
  // `onView`, if given, is called with the running count after each.
  template <typename OnView>
  int CountViews(int views, std::chrono::milliseconds timeout, OnView onView) {
    int taken = 0;
    while (taken < views && NextTaken(timeout)) onView(++taken);
    return taken;
  }
  int CountViews(int views, std::chrono::milliseconds timeout) {
    return CountViews(views, timeout, [](int) {});
  }

 private:
  // Waits for the next answer that carries the held button; false when none came in `timeout`.
  bool NextTaken(std::chrono::milliseconds timeout);

  test_support::XProbe probe_;
  Window window_ = None;
  std::unique_ptr<tour::PointerWatch> watch_;
  unsigned int held_ = 0;
  uint32_t heldMask_ = 0;
};

}  // namespace system_test
