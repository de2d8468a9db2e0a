// Work units dying on clients' threads while other clients request, return and complete views:
// the rows of clients that die go out again and every view completes with every row in place,
// and a unit that dies while a finished view awaits its click does not wait for the click.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "client/src/Compute.h"
#include "server/src/ServerState.h"
#include "server/test/ScriptedDisplay.h"
#include "server/test/ServerTestSupport.h"

namespace ServerTest {
namespace {

using FractalNetObj::FractalParams;
using FractalNetObj::MouseInfo;

constexpr int32_t kLeft = FractalNetObj::kLeftButtonAlone;
constexpr int32_t kMiddle = FractalNetObj::kMiddleButtonAlone;
constexpr int32_t kRight = FractalNetObj::kRightButtonAlone;

constexpr auto kLongWait = std::chrono::seconds(30);

// ---- clients that die ----

constexpr int32_t kSx = 32;
constexpr int32_t kSy = 16;
constexpr int kWorkers = 6;
constexpr int kViews = 4;
constexpr int kRequestsPerWorker = 200'000;
// After the last click each worker may take one more unit before it sees the view count; fewer
// units than rows cannot complete a view that has no click left in the script.
static_assert(kWorkers < kSy);

const MouseInfo kClicks[kViews] = {
    {kLeft, 3, 20}, {kRight, 15, 2}, {kLeft, 8, 16}, {kMiddle, 1, 31}};

// The views the clicks lead through and the image of each, worked out on a server of its own
// one row at a time.
struct Reference {
  std::vector<std::vector<int32_t>> images;
};

Reference WorkOutViews() {
  Reference ref;
  Server::ServerState s(kSx, kSy, 0);
  for (const MouseInfo& click : kClicks) {
    std::vector<int32_t> image(kSx * kSy);
    for (int32_t r = 0; r < kSy; ++r) {
      FractalParams unit;
      {
        std::scoped_lock lock(s.mu);
        unit = s.UnitForRow(r);
      }
      const FractalNetObj::PixMap row = Client::Compute(unit);
      for (int32_t x = 0; x < kSx; ++x) image[x * kSy + r] = row->at(x, 0);
    }
    ref.images.push_back(std::move(image));
    ScriptedDisplay::Get().Queue(click);
    CompleteView(s);
  }
  return ref;
}

// A client that works like the real one (it holds its unit until its next request replaces
// it) except that every fourth unit, counted from an offset of its own, it dies: it lets go of
// the unit without returning the row.
void Work(FractalNetObj::T& server, int w, std::atomic<int>& abandoned) {
  std::shared_ptr<FractalNetObj::Fractal> unit;
  int taken = 0;
  for (int i = 0; i < kRequestsPerWorker; ++i) {
    if (ScriptedDisplay::Get().ShownCount() >= static_cast<std::size_t>(kViews)) return;
    unit = server.requestFractal();
    if (!unit) {
      std::this_thread::yield();
      continue;
    }
    const FractalParams p = unit->getFractalParameters();
    if ((++taken + w) % 4 == 0) {
      unit.reset();
      ++abandoned;
      continue;
    }
    server.returnResults(p, Client::Compute(p));
  }
  ADD_FAILURE() << "worker " << w << " ran out of requests";
}

TEST(ThreadedLostRowsTest, RowsOfClientsThatDieGoOutAgain) {
  ScriptedDisplay& display = ScriptedDisplay::Get();
  display.Reset(ScriptedDisplay::kScriptOnly);
  const Reference ref = WorkOutViews();
  display.Reset(ScriptedDisplay::kScriptOnly);
  for (const MouseInfo& click : kClicks) display.Queue(click);

  Server::ServerState s(kSx, kSy, 0);
  std::atomic<int> abandoned = 0;
  {
    std::vector<std::jthread> workers;
    for (int w = 0; w < kWorkers; ++w) {
      workers.emplace_back([&, w] { Work(*s.myFractalNetObj, w, abandoned); });
    }
  }

  const std::vector<ShownImage> shown = display.Shown();
  ASSERT_EQ(shown.size(), static_cast<std::size_t>(kViews));
  for (int v = 0; v < kViews; ++v) EXPECT_EQ(shown[v].values, ref.images[v]) << "view " << v;
  EXPECT_GE(abandoned.load(), kViews * kSy / 4 / 2) << "too few clients died to test anything";
  EXPECT_EQ(s.LiveUnits(), 0) << "units outlive every holder";
}

// ---- a unit dying while a finished view awaits its click ----

// The view is complete and the server holds its lock until the user clicks. Units of that view
// die meanwhile on a thread that holds nothing; they must not wait for the click, and once the
// view has moved on they must not count as lost rows of the new one.
TEST(ThreadedLostRowsTest, UnitDyingWhileTheClickIsAwaitedDoesNotWait) {
  constexpr int32_t kSmallSx = 8;
  constexpr int32_t kSmallSy = 4;
  ScriptedDisplay& display = ScriptedDisplay::Get();
  display.Reset(ScriptedDisplay::kUserClicks);
  Server::ServerState s(kSmallSx, kSmallSy, 0);
  Held held;
  const std::vector<FractalParams> units = TakeAllUnits(s, kSmallSy + 1, held);
  ASSERT_EQ(units.size(), static_cast<std::size_t>(kSmallSy));
  for (int32_t r = 0; r + 1 < kSmallSy; ++r) {
    s.myFractalNetObj->returnResults(units[r], Filled(kSmallSx, 1, r));
  }
  std::jthread last(
      [&] { s.myFractalNetObj->returnResults(units.back(), Filled(kSmallSx, 1, 3)); });
  ASSERT_TRUE(display.WaitUntilAwaitingClick(kLongWait));

  std::future<void> dropped = std::async(std::launch::async, [&held] { held.clear(); });
  EXPECT_EQ(dropped.wait_for(kLongWait), std::future_status::ready)
      << "a dying unit waited for the click";
  display.Queue({kLeft, kSmallSy / 2.0, kSmallSx / 2.0});
  dropped.wait();
  last.join();
  EXPECT_EQ(s.LiveUnits(), 0);

  const std::vector<FractalParams> next = TakeAllUnits(s, 2 * kSmallSy, held);
  EXPECT_EQ(next.size(), static_cast<std::size_t>(kSmallSy))
      << "the earlier view's units changed what the new one hands out";
  EXPECT_EQ(s.LiveUnits(), kSmallSy);
  held.clear();
}

}  // namespace
}  // namespace ServerTest
