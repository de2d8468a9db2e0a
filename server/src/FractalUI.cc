#include "server/src/FractalUI.h"

#include <X11/Xlib.h>
#include <dlfcn.h>
#include <g2.h>
#include <g2_X11.h>
#include <unistd.h>

#include <cstddef>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace {

// g2 keeps its own connection to the X server and never reads the events that arrive on it: each
// image and line it flushes brings back a NoExpose event, which Xlib would queue for the life of
// the process (some 200 bytes a view, without bound). g2 does not hand out that connection, so
// the adapter notes the one g2 opens inside InitUI and drops what is queued on it while it holds
// the device.
Display* g2Display = nullptr;
bool noteOpenedDisplay = false;

}  // namespace

// Stands in for Xlib's XOpenDisplay in this program: the same call, noting the connection while
// InitUI opens g2's window.
extern "C" Display* XOpenDisplay(const char* name) {
  using Open = Display* (*)(const char*);
  static const auto real = reinterpret_cast<Open>(dlsym(RTLD_NEXT, "XOpenDisplay"));
  Display* display = real != nullptr ? real(name) : nullptr;
  if (noteOpenedDisplay && display != nullptr) g2Display = display;
  return display;
}

namespace FractalNetObj {

namespace {

// Drops the events already read from g2's connection; reads nothing more from the X server.
void DropQueuedEvents() {
  if (g2Display == nullptr) return;
  XEvent event;
  while (XEventsQueued(g2Display, QueuedAlready) > 0) XNextEvent(g2Display, &event);
}

// g2 hands pens over as plain ints; the counts are passed without copying.
static_assert(std::is_same_v<int32_t, int>);

// The g2 device number of the window; meaningful once `windowOpen` is set.
int d = 0;
bool windowOpen = false;

// X11 keeps window sizes in 16 bits and positions in signed 16 bits: a larger side could not
// be addressed whole.
constexpr int32_t kMaxWindowSide = 32767;

constexpr useconds_t kPollPauseMicroseconds = 1000;

constexpr int32_t kWhitePen = 0;

void RequireWindow(const char* caller) {
  if (!windowOpen) {
    throw std::logic_error(std::string(caller) + ": the window is not open (InitUI first)");
  }
}

// The element block of `image`, after checking that it holds width x height counts: g2 reads
// the whole block and must not run past its end.
int* CheckedBlock(const ImageStar& image) {
  if (image == nullptr || image->data == nullptr) {
    throw std::invalid_argument("DisplayFractal: no image data");
  }
  if (image->width < 0 || image->height < 0) {
    throw std::invalid_argument("DisplayFractal: negative image extent");
  }
  const std::size_t needed =
      static_cast<std::size_t>(image->width) * static_cast<std::size_t>(image->height);
  if (needed > image->data->size()) {
    throw std::invalid_argument("DisplayFractal: image data smaller than width x height");
  }
  return image->data->data();
}

// White lines through the centre: window column height/2 and window row width-1-width/2.
void DrawCrossHairs(int32_t width, int32_t height) {
  const int32_t h = height / 2;
  const int32_t w = width / 2;
  g2_pen(d, kWhitePen);
  g2_line(d, h, 0, h, width);
  g2_line(d, 0, w, height, w);
}

void QueryPointer(MouseInfo& info) {
  double x = 0.0;
  double y = 0.0;
  unsigned int button = 0;
  g2_query_pointer(d, &x, &y, &button);
  DropQueuedEvents();
  info.button = static_cast<int32_t>(button);
  info.x = x;
  info.y = y;
}

bool IsLeftOrRightAlone(int32_t button) {
  return button == kLeftButtonAlone || button == kRightButtonAlone;
}

}  // namespace

void InitUI(int32_t width, int32_t height) {
  if (windowOpen) {
    throw std::logic_error("InitUI: the window is already open");
  }
  if (width < 1 || width > kMaxWindowSide || height < 1 || height > kMaxWindowSide) {
    throw std::invalid_argument("InitUI: window sides must lie in 1.." +
                                std::to_string(kMaxWindowSide));
  }
  // Image width runs down the window, so the window is `height` wide and `width` tall.
  noteOpenedDisplay = true;
  d = g2_open_X11(height, width);
  noteOpenedDisplay = false;
  windowOpen = true;
}

void DisplayFractal(const ImageStar& image, int32_t crossHairs) {
  int* block = CheckedBlock(image);
  RequireWindow("DisplayFractal");
  DropQueuedEvents();
  // g2 paints row j of its array at the top when j = 0: with `height` pixels per g2 row, the
  // element (a, b) at a * height + b lands in window row a, column b.
  g2_image(d, 0.0, 0.0, image->height, image->width, block);
  if (crossHairs != 0) {
    DrawCrossHairs(image->width, image->height);
  }
}

MouseInfoStar getMouseAction() {
  RequireWindow("getMouseAction");
  auto info = std::make_unique<MouseInfo>();
  QueryPointer(*info);
  while (!IsLeftOrRightAlone(info->button)) {
    QueryPointer(*info);
    usleep(kPollPauseMicroseconds);
  }
  return info;
}

int QueuedDisplayEvents() {
  if (g2Display == nullptr) return -1;
  return XEventsQueued(g2Display, QueuedAlready);
}

int32_t getPixel(const ImageStar& image, int32_t x, int32_t y) {
  if (image == nullptr || x < 0 || x >= image->width || y < 0 || y >= image->height) {
    return -1;
  }
  const std::size_t position =
      static_cast<std::size_t>(x) * static_cast<std::size_t>(image->height) +
      static_cast<std::size_t>(y);
  if (image->data == nullptr || position >= image->data->size()) {
    return -1;
  }
  return image->data->data()[position];
}

}  // namespace FractalNetObj
