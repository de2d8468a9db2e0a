// A stand-in for the server's window in tests. It implements the display procedures that the
// server calls (InitUI, DisplayFractal, getMouseAction): it keeps a copy of every image shown and
// answers getMouseAction from a script of mouse reports that the test queues. When the script has
// run dry, getMouseAction waits for the test to queue one, like a user who has not clicked yet;
// the wait is bounded, so a test that forgets to click fails instead of hanging. A test that
// queues its whole script up front does not wait at all.
//
// One process-wide instance, since the procedures are free functions; Reset it at the start of
// every test. Thread-safe: the server calls in on its threads while the test queues and reads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "interface/FractalNetObj.h"

namespace ServerTest {

// What DisplayFractal was given, copied while the call ran.
struct ShownImage {
  const FractalNetObj::ImageRec* record = nullptr;
  const NetObj::Int32Array2D* data = nullptr;
  int32_t width = 0;
  int32_t height = 0;
  int32_t crossHairs = 0;
  std::vector<int32_t> values;  // width * height counts, [x][y] at x * height + y
};

class ScriptedDisplay {
 public:
  // How long getMouseAction waits for a report that is not queued yet before it fails the test.
  static constexpr std::chrono::milliseconds kScriptOnly{0};
  static constexpr std::chrono::milliseconds kUserClicks{30'000};

  static ScriptedDisplay& Get();

  // Forgets the script, the images and the counts.
  void Reset(std::chrono::milliseconds clickTimeout);

  void Queue(const FractalNetObj::MouseInfo& report);

  // True once a getMouseAction call is waiting for a report that is not queued yet; false when
  // none does within `timeout`.
  bool WaitUntilAwaitingClick(std::chrono::milliseconds timeout);

  std::vector<ShownImage> Shown() const;
  std::size_t ShownCount() const;  // Shown().size() without copying the images
  int Polls() const;               // getMouseAction calls so far

  // The display procedures' side. InitUI does nothing: the server core never opens the window.
  void OnDisplay(const FractalNetObj::ImageStar& image, int32_t crossHairs);
  FractalNetObj::MouseInfoStar OnPoll();

 private:
  mutable std::mutex mu_;
  std::condition_variable changed_;
  std::deque<FractalNetObj::MouseInfo> script_;
  std::vector<ShownImage> shown_;
  int polls_ = 0;
  int waiting_ = 0;
  std::chrono::milliseconds clickTimeout_ = kScriptOnly;
};

}  // namespace ServerTest
