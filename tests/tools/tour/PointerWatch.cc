#include "tests/tools/tour/PointerWatch.h"

#include <X11/Xproto.h>
#include <poll.h>

#include <cstring>
#include <memory>
#include <stdexcept>

namespace tour {

namespace {

using Clock = std::chrono::steady_clock;

// The fields of a QueryPointer reply (32 bytes), by their offsets in the reply.
constexpr std::size_t kReplySize = 32;
constexpr std::size_t kWindowXOffset = 20;
constexpr std::size_t kWindowYOffset = 22;
constexpr std::size_t kMaskOffset = 24;

// The reply is in the watched client's byte order; `swapped` says that differs from ours.
uint16_t Card16(const unsigned char* p, bool swapped) {
  uint16_t v = 0;
  std::memcpy(&v, p, sizeof v);
  return swapped ? static_cast<uint16_t>(v >> 8 | v << 8) : v;
}

struct RangeDeleter {
  void operator()(XRecordRange* r) const { XFree(r); }
};

}  // namespace

PointerWatch::PointerWatch(const std::string& display, XID resource) {
  control_ = XOpenDisplay(display.c_str());
  data_ = XOpenDisplay(display.c_str());
  int major = 0, minor = 0;
  if (control_ == nullptr || data_ == nullptr || !XRecordQueryVersion(control_, &major, &minor)) {
    if (control_ != nullptr) XCloseDisplay(control_);
    if (data_ != nullptr) XCloseDisplay(data_);
    throw std::runtime_error("X display " + display + " cannot be reached or lacks RECORD");
  }
  std::unique_ptr<XRecordRange, RangeDeleter> range(XRecordAllocRange());
  range->core_replies.first = X_QueryPointer;
  range->core_replies.last = X_QueryPointer;
  XRecordClientSpec client = resource;
  XRecordRange* ranges[] = {range.get()};
  context_ = XRecordCreateContext(control_, 0, &client, 1, ranges, 1);
  XSync(control_, False);
  if (context_ == 0 ||
      !XRecordEnableContextAsync(data_, context_, Intercept, reinterpret_cast<XPointer>(this))) {
    XCloseDisplay(control_);
    XCloseDisplay(data_);
    throw std::runtime_error("cannot record the pointer queries of the server window");
  }
}

PointerWatch::~PointerWatch() {
  XRecordDisableContext(control_, context_);
  XRecordFreeContext(control_, context_);
  XSync(control_, False);
  XCloseDisplay(data_);
  XCloseDisplay(control_);
}

void PointerWatch::Intercept(XPointer self, XRecordInterceptData* data) {
  auto* watch = reinterpret_cast<PointerWatch*>(self);
  const std::size_t bytes = static_cast<std::size_t>(data->data_len) * 4;
  if (data->category == XRecordFromServer && bytes >= kReplySize && data->data[0] == X_Reply) {
    const bool swapped = data->client_swapped != 0;
    PointerQuery q;
    q.mask = Card16(data->data + kMaskOffset, swapped);
    q.windowX = static_cast<int16_t>(Card16(data->data + kWindowXOffset, swapped));
    q.windowY = static_cast<int16_t>(Card16(data->data + kWindowYOffset, swapped));
    watch->answers_.push_back(q);
  }
  XRecordFreeData(data);
}

std::optional<PointerQuery> PointerWatch::Next(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (answers_.empty()) {
    XRecordProcessReplies(data_);
    if (!answers_.empty()) break;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd p{ConnectionNumber(data_), POLLIN, 0};
    poll(&p, 1, static_cast<int>(left.count()));
  }
  const PointerQuery q = answers_.front();
  answers_.pop_front();
  return q;
}

}  // namespace tour
