// Follows the server's window through a tour of views, as a user at the screen would, and knows
// at every step what the window must show. It starts from the server's initial view for the
// given size; it predicts the window's pixels for the view (the counts computed as the clients
// compute them, painted by the display's colour rule, pen carried over from the view before,
// cross-hairs if the server draws them); it waits until the server has finished drawing and
// polls the pointer for a click, and compares the window's pixels with the prediction; and it
// clicks with real pointer events (XTEST), holding the button until the server has seen it, then
// moves its idea of the view with the server's own arithmetic for the click that the server took.
//
// Nothing is asked of the server itself: the pixels come from the X server, and the server's
// pointer queries are watched through the X server (see PointerWatch).
//
// Ownership: owns its X connections. Not thread-safe; one thread drives a tour.
#pragma once

#include <X11/Xlib.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "tests/support/ColourModel.h"
#include "tests/support/XProbe.h"
#include "tests/tools/tour/PointerWatch.h"
#include "tests/tools/tour/RgbImage.h"
#include "tests/tools/tour/View.h"

namespace tour {

struct TourSettings {
  std::string display;  // like ":3"
  int32_t sx = 320;     // the server's -width
  int32_t sy = 240;     // the server's -height
  bool crossHairs = false;
  // How long to wait for the server's window to appear.
  std::chrono::milliseconds windowTimeout{10000};
};

class Tour {
 public:
  // Finds the server's window (the one mapped top-level window of sy x sx pixels) and starts
  // watching it. Throws std::runtime_error when it does not appear in time.
  explicit Tour(const TourSettings& settings);
  ~Tour();
  Tour(const Tour&) = delete;
  Tour& operator=(const Tour&) = delete;

  // The view the server shows now, or is computing.
  const View& view() const { return view_; }
  // Clicks the server has taken so far; more than were made when it saw a held button twice.
  int clicksTaken() const { return clicksTaken_; }

  // Waits, at most `timeout`, until the server has drawn the current view and polls the pointer,
  // then compares the window with the prediction. Empty when every pixel is as predicted;
  // otherwise what went wrong. The pixels read are kept in window().
  std::string AwaitView(std::chrono::milliseconds timeout);
  const RgbImage& window() const { return window_; }

  // The window pixel where a point of the plane lies in the current view.
  WindowPosition PositionOf(double x, double y) const { return tour::PositionOf(view_, x, y); }
  WindowPosition Centre() const;

  // Presses X button `button` (1 left, 3 right) at window pixel `p`, holds it until the server
  // has taken it (at most `timeout`), releases it and moves the view as the server did. Throws
  // std::runtime_error when the server does not take it in time.
  void Click(WindowPosition p, unsigned int button, std::chrono::milliseconds timeout);

 private:
  bool IsClick(const PointerQuery& q) const;
  // Moves the view for a click the server took, and predicts what it will draw next.
  void Taken(const PointerQuery& q);
  void Predict();

  TourSettings settings_;
  test_support::XProbe probe_;
  Window window_id_ = None;
  std::unique_ptr<PointerWatch> watch_;
  View view_;
  test_support::ColourModel colours_;
  RgbImage window_;
  int clicksTaken_ = 0;
};

}  // namespace tour
