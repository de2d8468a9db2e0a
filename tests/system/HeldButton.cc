#include "tests/system/HeldButton.h"

#include <stdexcept>
#include <thread>

#include "tests/support/Wait.h"

namespace system_test {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kWindowPollInterval{20};

// X pointer state masks of the buttons, as the server's poll reports them.
uint32_t MaskOf(unsigned int button) { return button == 1 ? Button1Mask : Button3Mask; }

milliseconds Left(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? left : milliseconds(0);
}

}  // namespace

HeldButton::HeldButton(const std::string& display, int32_t sx, int32_t sy, milliseconds timeout)
    : probe_(display) {
  const bool appeared =
      test_support::WaitUntil([&] { return (window_ = probe_.FindNewWindow({}, sy, sx)) != None; },
                              timeout, kWindowPollInterval);
  if (!appeared) throw std::runtime_error("the server's window did not appear");
  watch_ = std::make_unique<tour::PointerWatch>(display, window_);
}

HeldButton::~HeldButton() { Release(); }

bool HeldButton::AwaitPoll(milliseconds timeout) { return watch_->Next(timeout).has_value(); }

void HeldButton::Press(unsigned int button, int column, int row) {
  Release();
  int left = 0, top = 0;
  probe_.Origin(window_, left, top);
  probe_.MovePointer(left + column, top + row);
  probe_.Button(button, true);
  held_ = button;
  heldMask_ = MaskOf(button);
}

void HeldButton::Release() {
  if (held_ == 0) return;
  probe_.Button(held_, false);
  held_ = 0;
  heldMask_ = 0;
}

bool HeldButton::NextTaken(milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (true) {
    const std::optional<tour::PointerQuery> q = watch_->Next(Left(deadline));
    if (!q) return false;
    if (heldMask_ != 0 && q->mask == heldMask_) return true;
  }
}

}  // namespace system_test
