// Eight clients at once over several views: they request, compute and return concurrently while
// the scripted mouse answers each finished view. Every row of a view goes out exactly once, a
// request after the last row gets null, and a request made while the click is awaited waits and
// then gets row 0 of the new view.
#include <gtest/gtest.h>

#include <array>
#include <barrier>
#include <chrono>
#include <cstdint>
#include <future>
#include <list>
#include <map>
#include <optional>
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

constexpr int kWorkers = 8;
constexpr int kViews = 4;
constexpr int32_t kSx = 32;
constexpr int32_t kSy = 16;
constexpr auto kLongWait = std::chrono::seconds(30);
constexpr auto kBlockedFor = std::chrono::milliseconds(100);

// One click per view, some after a report outside the window.
const std::vector<MouseInfo> kClicks[kViews] = {
    {{kLeft, 3, 20}},
    {{kLeft, -1, 5}, {kRight, 15, 2}},
    {{kLeft, 8, 16}},
    {{kMiddle, 16.5, 3}, {kMiddle, 1, 31}},
};

struct WorkerLog {
  std::array<std::vector<FractalParams>, kViews> units;
  std::array<bool, kViews> sawNull{};
};

// A request made while the server waits for a click; it returns its unit once told to.
struct Probe {
  std::promise<std::optional<FractalParams>> got;
  std::promise<void> go;
  std::jthread thread;
};

// Row index of each unit of `view`, keyed by its row coordinate's bits.
std::map<uint32_t, int32_t> RowsOf(const View& view) {
  std::map<uint32_t, int32_t> rows;
  const long double step = (static_cast<long double>(view.ymax) - view.ymin) / kSy;
  for (int32_t r = 0; r < kSy; ++r) rows[Bits(static_cast<float>(view.ymin + r * step))] = r;
  return rows;
}

bool IsUnitOf(const FractalParams& p, const View& view) {
  return p.type == nullptr && p.sx == kSx && p.sy == 1 && p.maxiter == 96 &&
         Bits(p.xmin) == Bits(view.xmin) && Bits(p.xmax) == Bits(view.xmax) &&
         Bits(p.ymin) == Bits(p.ymax);
}

// Checks that the units cover every row of `view` exactly once and returns the image they make.
std::vector<int32_t> CheckUnitsAndComputeImage(const std::vector<FractalParams>& units,
                                               const View& view) {
  const std::map<uint32_t, int32_t> rows = RowsOf(view);
  EXPECT_EQ(rows.size(), static_cast<std::size_t>(kSy)) << "rows of the test's view coincide";
  std::vector<int> handedOut(kSy, 0);
  std::vector<int32_t> image(kSx * kSy, -1);
  for (const FractalParams& u : units) {
    const auto row = rows.find(Bits(u.ymin));
    if (!IsUnitOf(u, view) || row == rows.end()) {
      ADD_FAILURE() << "a unit that is no row of the view, at y " << u.ymin;
      continue;
    }
    ++handedOut[row->second];
    const FractalNetObj::PixMap counts = Client::Compute(u);
    for (int32_t x = 0; x < kSx; ++x) image[x * kSy + row->second] = counts->at(x, 0);
  }
  for (int32_t r = 0; r < kSy; ++r) EXPECT_EQ(handedOut[r], 1) << "row " << r;
  return image;
}

TEST(ThreadedViewTest, EightClientsOverSeveralViews) {
  ScriptedDisplay& display = ScriptedDisplay::Get();
  display.Reset(ScriptedDisplay::kUserClicks);
  Server::ServerState s(kSx, kSy, 0);
  FractalNetObj::T& server = *s.myFractalNetObj;

  // Each view: every worker requests until null (nobody returns yet, so nothing can complete
  // the view and every worker ends on a null), then all return at once.
  std::barrier allOut(kWorkers + 1);
  std::barrier allBack(kWorkers + 1);
  std::array<WorkerLog, kWorkers> logs;
  std::list<Probe> probes;
  {
    std::vector<std::jthread> workers;
    for (int w = 0; w < kWorkers; ++w) {
      workers.emplace_back([&, w] {
        for (int v = 0; v < kViews; ++v) {
          std::vector<FractalParams>& mine = logs[w].units[v];
          Held held;  // until the rows are back, as a client holds its unit
          for (int i = 0; i <= kSy && !logs[w].sawNull[v]; ++i) {
            std::shared_ptr<FractalNetObj::Fractal> unit = server.requestFractal();
            if (unit) {
              mine.push_back(unit->getFractalParameters());
              held.push_back(std::move(unit));
            } else {
              logs[w].sawNull[v] = true;
            }
          }
          allOut.arrive_and_wait();
          for (const FractalParams& p : mine) server.returnResults(p, Client::Compute(p));
          held.clear();
          allBack.arrive_and_wait();
        }
      });
    }

    std::optional<FractalParams> row0;  // row 0 of the current view, taken by the last probe
    for (int v = 0; v < kViews; ++v) {
      SCOPED_TRACE(testing::Message() << "view " << v);
      // The view cannot change before the workers return in the second half, which needs this
      // thread's arrival; read it now, since once they return the server may hold its lock until
      // the click.
      const View view = ViewOf(s);
      allOut.arrive_and_wait();
      std::vector<FractalParams> units;
      if (row0) units.push_back(*row0);
      for (int w = 0; w < kWorkers; ++w) {
        EXPECT_TRUE(logs[w].sawNull[v]) << "worker " << w << " never got null";
        units.insert(units.end(), logs[w].units[v].begin(), logs[w].units[v].end());
      }
      const std::vector<int32_t> expected = CheckUnitsAndComputeImage(units, view);

      EXPECT_TRUE(display.WaitUntilAwaitingClick(kLongWait)) << "the view never completed";
      const std::vector<ShownImage> shown = display.Shown();
      EXPECT_EQ(shown.size(), static_cast<std::size_t>(v + 1));
      if (!shown.empty()) {
        EXPECT_EQ(shown.back().values, expected);
      }

      Probe& probe = probes.emplace_back();
      std::future<std::optional<FractalParams>> got = probe.got.get_future();
      probe.thread = std::jthread([&server, &probe] {
        const std::shared_ptr<FractalNetObj::Fractal> unit = server.requestFractal();
        std::optional<FractalParams> p;
        if (unit) p = unit->getFractalParameters();
        probe.got.set_value(p);
        probe.go.get_future().wait_for(kLongWait);
        if (p) server.returnResults(*p, Client::Compute(*p));
      });
      EXPECT_EQ(got.wait_for(kBlockedFor), std::future_status::timeout)
          << "a request did not wait for the click";

      for (const MouseInfo& report : kClicks[v]) display.Queue(report);
      row0.reset();
      if (got.wait_for(kLongWait) == std::future_status::ready) row0 = got.get();
      const View next = ViewOf(s);
      EXPECT_NE(Bits(next.xmin), Bits(view.xmin)) << "the view did not move";
      EXPECT_TRUE(row0.has_value()) << "the waiting request got null";
      if (row0) {
        EXPECT_TRUE(IsUnitOf(*row0, next));
        EXPECT_EQ(Bits(row0->ymin), Bits(next.ymin)) << "not row 0 of the new view";
      }
      probe.go.set_value();
      allBack.arrive_and_wait();
    }
  }
  probes.clear();

  int reports = 0;
  for (const auto& clicks : kClicks) reports += static_cast<int>(clicks.size());
  EXPECT_EQ(display.Polls(), reports);
  EXPECT_EQ(display.Shown().size(), static_cast<std::size_t>(kViews));
  EXPECT_EQ(NumResults(s), 1) << "the last probe's row of the next view";
}

}  // namespace
}  // namespace ServerTest
