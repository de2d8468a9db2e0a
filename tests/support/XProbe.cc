#include "tests/support/XProbe.h"

#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <algorithm>
#include <memory>
#include <stdexcept>

namespace test_support {

namespace {

constexpr unsigned long kByteMask = 0xff;

int ShiftOf(unsigned long mask) {
  int shift = 0;
  while (mask != 0 && (mask & 1) == 0) {
    mask >>= 1;
    ++shift;
  }
  return shift;
}

// The default handler would end the test process; a failed request shows up as its null or
// zero result instead.
int IgnoreXError(Display*, XErrorEvent*) { return 0; }

struct ImageDeleter {
  void operator()(XImage* image) const { XDestroyImage(image); }
};

}  // namespace

XProbe::XProbe(const std::string& display) {
  dpy_ = XOpenDisplay(display.c_str());
  if (dpy_ == nullptr) throw std::runtime_error("cannot connect to X display " + display);
  XSetErrorHandler(IgnoreXError);
  int eventBase = 0, errorBase = 0, major = 0, minor = 0;
  const Visual* visual = DefaultVisual(dpy_, DefaultScreen(dpy_));
  const bool trueColour24 = DefaultDepth(dpy_, DefaultScreen(dpy_)) == 24 &&
                            visual->red_mask == 0xff0000 && visual->green_mask == 0x00ff00 &&
                            visual->blue_mask == 0x0000ff;
  if (!XTestQueryExtension(dpy_, &eventBase, &errorBase, &major, &minor) || !trueColour24) {
    XCloseDisplay(dpy_);
    throw std::runtime_error("X display " + display + " lacks XTEST or 24-bit TrueColor");
  }
}

XProbe::~XProbe() { XCloseDisplay(dpy_); }

std::vector<Window> XProbe::TopLevelWindows() {
  Window root = 0, parent = 0;
  Window* children = nullptr;
  unsigned int count = 0;
  std::vector<Window> out;
  if (XQueryTree(dpy_, DefaultRootWindow(dpy_), &root, &parent, &children, &count) != 0) {
    out.assign(children, children + count);
    XFree(children);
  }
  return out;
}

Window XProbe::FindNewWindow(const std::vector<Window>& before, int width, int height) {
  Window found = None;
  int matches = 0;
  for (Window w : TopLevelWindows()) {
    if (std::find(before.begin(), before.end(), w) != before.end()) continue;
    XWindowAttributes a{};
    if (XGetWindowAttributes(dpy_, w, &a) == 0) continue;
    if (a.map_state == IsViewable && a.width == width && a.height == height) {
      found = w;
      ++matches;
    }
  }
  return matches == 1 ? found : None;
}

void XProbe::Origin(Window window, int& rootX, int& rootY) {
  Window child = 0;
  XTranslateCoordinates(dpy_, window, DefaultRootWindow(dpy_), 0, 0, &rootX, &rootY, &child);
}

std::vector<uint32_t> XProbe::ReadRgb(Window window, int width, int height) {
  std::unique_ptr<XImage, ImageDeleter> image(
      XGetImage(dpy_, window, 0, 0, width, height, AllPlanes, ZPixmap));
  if (!image) throw std::runtime_error("XGetImage failed");
  const int redShift = ShiftOf(image->red_mask);
  const int greenShift = ShiftOf(image->green_mask);
  const int blueShift = ShiftOf(image->blue_mask);
  std::vector<uint32_t> rgb;
  rgb.reserve(static_cast<std::size_t>(width) * height);
  for (int row = 0; row < height; ++row) {
    for (int column = 0; column < width; ++column) {
      const unsigned long pixel = XGetPixel(image.get(), column, row);
      rgb.push_back(static_cast<uint32_t>(((pixel >> redShift) & kByteMask) << 16 |
                                          ((pixel >> greenShift) & kByteMask) << 8 |
                                          ((pixel >> blueShift) & kByteMask)));
    }
  }
  return rgb;
}

void XProbe::MovePointer(int rootX, int rootY) {
  XTestFakeMotionEvent(dpy_, DefaultScreen(dpy_), rootX, rootY, CurrentTime);
  XSync(dpy_, False);
}

void XProbe::Button(unsigned int button, bool down) {
  XTestFakeButtonEvent(dpy_, button, down ? True : False, CurrentTime);
  XSync(dpy_, False);
}

void XProbe::Key(KeySym key, bool down) {
  XTestFakeKeyEvent(dpy_, XKeysymToKeycode(dpy_, key), down ? True : False, CurrentTime);
  XSync(dpy_, False);
}

void XProbe::TapKey(KeySym key) {
  Key(key, true);
  Key(key, false);
}

}  // namespace test_support
