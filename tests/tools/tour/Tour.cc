#include "tests/tools/tour/Tour.h"

#include <stdexcept>
#include <thread>

#include "tests/support/Wait.h"
#include "tests/tools/tour/ExpectedCounts.h"

namespace tour {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kWindowPollInterval{20};

milliseconds Left(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? left : milliseconds(0);
}

Window FindWindow(test_support::XProbe& probe, int width, int height, milliseconds timeout) {
  Window w = None;
  if (!test_support::WaitUntil([&] { return (w = probe.FindNewWindow({}, width, height)) != None; },
                               timeout, kWindowPollInterval)) {
    throw std::runtime_error("no server window of " + std::to_string(width) + "x" +
                             std::to_string(height) + " pixels appeared");
  }
  return w;
}

}  // namespace

Tour::Tour(const TourSettings& settings)
    : settings_(settings),
      probe_(settings.display),
      view_(View::Initial(settings.sx, settings.sy)),
      colours_(settings.sx, settings.sy) {
  window_id_ = FindWindow(probe_, settings.sy, settings.sx, settings.windowTimeout);
  watch_ = std::make_unique<PointerWatch>(settings.display, window_id_);
  Predict();
}

Tour::~Tour() = default;

void Tour::Predict() {
  colours_.Paint(ExpectedCounts(view_));
  if (settings_.crossHairs) colours_.CrossHairs(view_.sy / 2, view_.sx - 1 - view_.sx / 2);
}

WindowPosition Tour::Centre() const { return {view_.sy / 2, view_.sx - 1 - view_.sx / 2}; }

// The server takes a report with one button alone and a position inside its window, bounds
// included.
bool Tour::IsClick(const PointerQuery& q) const {
  if (q.mask != static_cast<uint32_t>(FractalNetObj::kLeftButtonAlone) &&
      q.mask != static_cast<uint32_t>(FractalNetObj::kRightButtonAlone)) {
    return false;
  }
  const double x = q.windowX;
  const double y = view_.sx - 1 - q.windowY;
  return x >= 0 && x <= view_.sy && y >= 0 && y <= view_.sx;
}

void Tour::Taken(const PointerQuery& q) {
  view_ = view_.AfterClick(static_cast<int32_t>(q.mask), q.windowX, view_.sx - 1 - q.windowY);
  ++clicksTaken_;
  Predict();
}

std::string Tour::AwaitView(milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  // The server queries the pointer only once it has drawn a view. A click among the answers is
  // one it took on a view drawn in the meantime (a button still held): that view is passed.
  while (true) {
    const std::optional<PointerQuery> q = watch_->Next(Left(deadline));
    if (!q) {
      return "the server did not finish drawing the view within " +
             std::to_string(timeout.count()) + " ms";
    }
    if (!IsClick(*q)) break;
    Taken(*q);
  }
  window_.width = view_.sy;
  window_.height = view_.sx;
  window_.pixels = probe_.ReadRgb(window_id_, window_.width, window_.height);
  return colours_.Differences(window_.pixels);
}

void Tour::Click(WindowPosition p, unsigned int button, milliseconds timeout) {
  int left = 0, top = 0;
  probe_.Origin(window_id_, left, top);
  probe_.MovePointer(left + p.column, top + p.row);
  probe_.Button(button, true);
  const auto deadline = Clock::now() + timeout;
  std::optional<PointerQuery> q;
  do {
    q = watch_->Next(Left(deadline));
  } while (q && !IsClick(*q));
  probe_.Button(button, false);
  if (!q) throw std::runtime_error("the server did not take the click");
  Taken(*q);
}

}  // namespace tour
