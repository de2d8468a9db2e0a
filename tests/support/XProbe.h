// The test's own connection to an X server, beside the adapter's: it finds the window the
// adapter opened, reads that window's pixels back as RGB, and drives the pointer, the buttons
// and the keyboard through the XTEST extension as a user would.
//
// Ownership: owns one Xlib connection. Not thread-safe; one test thread uses it.
#pragma once

#include <X11/Xlib.h>

#include <cstdint>
#include <string>
#include <vector>

namespace test_support {

// X button numbers, as Button() and XTEST take them (not the pointer state masks that the server
// reads back: those are FractalNetObj::kLeftButtonAlone and kRightButtonAlone).
inline constexpr unsigned int kLeftButton = 1;
inline constexpr unsigned int kRightButton = 3;

class XProbe {
 public:
  // Connects to `display`. Throws std::runtime_error when it cannot, or when the server lacks
  // XTEST or a 24-bit TrueColor default visual.
  explicit XProbe(const std::string& display);
  ~XProbe();
  XProbe(const XProbe&) = delete;
  XProbe& operator=(const XProbe&) = delete;

  // The children of the root window: top-level windows, as no window manager runs.
  std::vector<Window> TopLevelWindows();
  // The one mapped top-level window that is `width` x `height` pixels and not in `before`;
  // None when there is no such window or more than one.
  Window FindNewWindow(const std::vector<Window>& before, int width, int height);
  // Root coordinates of the window's top-left pixel.
  void Origin(Window window, int& rootX, int& rootY);
  // The window's pixels as 0xRRGGBB, row by row from the top.
  std::vector<uint32_t> ReadRgb(Window window, int width, int height);

  void MovePointer(int rootX, int rootY);
  // X button numbers: 1 left, 2 middle, 3 right.
  void Button(unsigned int button, bool down);
  void Key(KeySym key, bool down);
  // Press and release: toggles a lock key.
  void TapKey(KeySym key);

 private:
  Display* dpy_ = nullptr;
};

}  // namespace test_support
