#include "server/test/ScriptedDisplay.h"

#include <gtest/gtest.h>

#include <memory>

namespace ServerTest {

ScriptedDisplay& ScriptedDisplay::Get() {
  static ScriptedDisplay display;
  return display;
}

void ScriptedDisplay::Reset(std::chrono::milliseconds clickTimeout) {
  std::scoped_lock lock(mu_);
  clickTimeout_ = clickTimeout;
  script_.clear();
  shown_.clear();
  polls_ = 0;
}

void ScriptedDisplay::Queue(const FractalNetObj::MouseInfo& report) {
  {
    std::scoped_lock lock(mu_);
    script_.push_back(report);
  }
  changed_.notify_all();
}

bool ScriptedDisplay::WaitUntilAwaitingClick(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mu_);
  return changed_.wait_for(lock, timeout, [this] { return waiting_ > 0; });
}

std::vector<ShownImage> ScriptedDisplay::Shown() const {
  std::scoped_lock lock(mu_);
  return shown_;
}

std::size_t ScriptedDisplay::ShownCount() const {
  std::scoped_lock lock(mu_);
  return shown_.size();
}

int ScriptedDisplay::Polls() const {
  std::scoped_lock lock(mu_);
  return polls_;
}

void ScriptedDisplay::OnDisplay(const FractalNetObj::ImageStar& image, int32_t crossHairs) {
  ShownImage shown;
  shown.crossHairs = crossHairs;
  if (image) {
    shown.record = image.get();
    shown.data = image->data.get();
    shown.width = image->width;
    shown.height = image->height;
    // Copied only when the record and the array agree, so a faulty record fails the test's
    // comparison instead of reading out of bounds here.
    if (image->data && image->data->nx() == image->width && image->data->ny() == image->height) {
      shown.values.assign(image->data->data(), image->data->data() + image->data->size());
    }
  }
  std::scoped_lock lock(mu_);
  shown_.push_back(std::move(shown));
}

FractalNetObj::MouseInfoStar ScriptedDisplay::OnPoll() {
  std::unique_lock lock(mu_);
  ++polls_;
  if (script_.empty()) {
    ++waiting_;
    changed_.notify_all();
    changed_.wait_for(lock, clickTimeout_, [this] { return !script_.empty(); });
    --waiting_;
  }
  if (script_.empty()) {
    ADD_FAILURE() << "the server waited for a click that the test never gave";
    // A click in the middle with no button leaves the view where it is and lets the server go on.
    const ShownImage* last = shown_.empty() ? nullptr : &shown_.back();
    auto centre = std::make_unique<FractalNetObj::MouseInfo>();
    centre->x = last ? last->height / 2.0 : 0.0;
    centre->y = last ? last->width / 2.0 : 0.0;
    return centre;
  }
  auto report = std::make_unique<FractalNetObj::MouseInfo>(script_.front());
  script_.pop_front();
  return report;
}

}  // namespace ServerTest

namespace FractalNetObj {

void InitUI(int32_t, int32_t) {}

void DisplayFractal(const ImageStar& image, int32_t crossHairs) {
  ServerTest::ScriptedDisplay::Get().OnDisplay(image, crossHairs);
}

MouseInfoStar getMouseAction() { return ServerTest::ScriptedDisplay::Get().OnPoll(); }

}  // namespace FractalNetObj
