// Rows whose work units die before their results come in (a client died or let go of its unit)
// go out again once every row of the view is out, lowest first, before the server answers null.
// Nothing else changes: rows go out in increasing order, each row counts once, and units of
// earlier views do not touch the current one.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "server/src/ServerState.h"
#include "server/test/ScriptedDisplay.h"
#include "server/test/ServerTestSupport.h"

namespace ServerTest {
namespace {

using FractalNetObj::FractalParams;
using Unit = std::shared_ptr<FractalNetObj::Fractal>;

constexpr int32_t kLeft = FractalNetObj::kLeftButtonAlone;
constexpr int32_t kSx = 8;
constexpr int32_t kSy = 6;
constexpr int32_t kNull = -1;

// A server and the units its clients hold, by row of the current view. Row r comes back filled
// with 10 + r unless a test says otherwise, so a misplaced or missing row shows.
class Clients {
 public:
  Clients() { ScriptedDisplay::Get().Reset(ScriptedDisplay::kScriptOnly); }

  // Requests one unit and holds it; the row it is for, or kNull.
  int32_t Request() {
    Unit unit = s.myFractalNetObj->requestFractal();
    if (!unit) return kNull;
    const int32_t row = RowOf(unit->getFractalParameters());
    EXPECT_EQ(held.count(row), 0u) << "row " << row << " handed out while its unit is held";
    held[row] = std::move(unit);
    return row;
  }

  // Requests until null, at most twice the rows; the rows in the order they went out.
  std::vector<int32_t> RequestUntilNull() {
    std::vector<int32_t> rows;
    for (int32_t i = 0; i < 2 * kSy; ++i) {
      const int32_t row = Request();
      if (row == kNull) break;
      rows.push_back(row);
    }
    return rows;
  }

  // The holder of `row` lets go of its unit, or dies, without returning the row.
  void Drop(int32_t row) { EXPECT_EQ(held.erase(row), 1u) << "row " << row << " is not held"; }

  // The row's result, sent with the row's parameters; a held unit stays held.
  void Return(int32_t row, int32_t value) {
    s.myFractalNetObj->returnResults(ParamsOf(row), Filled(kSx, 1, value));
  }
  void Return(int32_t row) { Return(row, 10 + row); }

  FractalParams ParamsOf(int32_t row) {
    std::scoped_lock lock(s.mu);
    return s.UnitForRow(row);
  }

  // The image shown last, one value per row (its first column); empty before any.
  std::vector<int32_t> ShownRows() const {
    const std::vector<ShownImage> shown = ScriptedDisplay::Get().Shown();
    if (shown.empty()) return {};
    return {shown.back().values.begin(), shown.back().values.begin() + kSy};
  }

  Server::ServerState s{kSx, kSy, 0};
  std::map<int32_t, Unit> held;  // dropped before the state

 private:
  int32_t RowOf(const FractalParams& p) {
    for (int32_t r = 0; r < kSy; ++r) {
      if (Bits(ParamsOf(r).ymin) == Bits(p.ymin)) return r;
    }
    ADD_FAILURE() << "a unit that is no row of the view, at y " << p.ymin;
    return kNull;
  }
};

const std::vector<int32_t> kEveryRowOnce = {10, 11, 12, 13, 14, 15};

struct Op {
  enum Kind { kRequest, kDrop, kReturn } kind;
  int32_t row;  // for kRequest: the row the request must get
};

struct LostRowsCase {
  const char* name;
  int32_t outFirst;               // rows 0 .. outFirst - 1 go out before the ops
  std::vector<Op> ops;            // then these
  std::vector<int32_t> expected;  // then the rows that requests get until null
};

const LostRowsCase kLostRowsCases[] = {
    {"with no unit dropped every row goes out once, in order", 3, {}, {3, 4, 5}},
    {"a dropped row goes out again after the last row", 3, {{Op::kDrop, 1}}, {3, 4, 5, 1}},
    {"lost rows go out lowest first",
     6,
     {{Op::kDrop, 4}, {Op::kDrop, 0}, {Op::kDrop, 2}},
     {0, 2, 4}},
    {"a row that came in before its unit was dropped is not lost",
     3,
     {{Op::kReturn, 1}, {Op::kDrop, 1}},
     {3, 4, 5}},
    {"a row dropped but returned all the same does not go out again",
     3,
     {{Op::kDrop, 1}, {Op::kReturn, 1}},
     {3, 4, 5}},
    {"a row that went out again and is dropped again goes out a third time",
     6,
     {{Op::kDrop, 2}, {Op::kRequest, 2}, {Op::kDrop, 2}},
     {2}},
    {"a row out again is held, so it does not go out twice",
     6,
     {{Op::kDrop, 5}, {Op::kRequest, 5}},
     {}},
};

TEST(LostRowsTest, ReleasedRowsGoOutAgainOnceEveryRowIsOut) {
  for (const LostRowsCase& c : kLostRowsCases) {
    SCOPED_TRACE(c.name);
    Clients clients;
    for (int32_t r = 0; r < c.outFirst; ++r) ASSERT_EQ(clients.Request(), r);
    std::vector<bool> returned(kSy, false);
    for (const Op& op : c.ops) {
      switch (op.kind) {
        case Op::kRequest:
          EXPECT_EQ(clients.Request(), op.row);
          break;
        case Op::kDrop:
          clients.Drop(op.row);
          break;
        case Op::kReturn:
          clients.Return(op.row);
          returned[op.row] = true;
          break;
      }
      EXPECT_EQ(clients.s.LiveUnits(), static_cast<int64_t>(clients.held.size()));
    }
    EXPECT_EQ(clients.RequestUntilNull(), c.expected);

    // Every row is now either in or held: the view completes once the held ones come back.
    ScriptedDisplay::Get().Queue({kLeft, kSy / 2.0, kSx / 2.0});
    for (int32_t r = 0; r < kSy; ++r) {
      EXPECT_TRUE(returned[r] || clients.held.count(r) == 1) << "row " << r << " is lost";
      if (!returned[r]) clients.Return(r);
    }
    EXPECT_EQ(clients.ShownRows(), kEveryRowOnce);
    clients.held.clear();
    EXPECT_EQ(clients.s.LiveUnits(), 0);
  }
}

// A row that went out again because its unit was dropped may still come back from the holder
// that dropped it: the first result counts, the later one is dropped, and the view completes
// only when every row is in.
TEST(LostRowsTest, RowOutTwiceCountsOnce) {
  Clients clients;
  EXPECT_EQ(clients.RequestUntilNull(), (std::vector<int32_t>{0, 1, 2, 3, 4, 5}));
  clients.Drop(1);
  EXPECT_EQ(clients.Request(), 1);

  clients.Return(1, 21);  // from the holder that let go
  clients.Return(1, 99);  // from the new holder
  EXPECT_EQ(NumResults(clients.s), 1);
  for (int32_t r : {0, 2, 3, 4}) clients.Return(r);
  EXPECT_EQ(NumResults(clients.s), 5);
  EXPECT_EQ(ScriptedDisplay::Get().ShownCount(), 0u) << "completed early";

  ScriptedDisplay::Get().Queue({kLeft, kSy / 2.0, kSx / 2.0});
  clients.Return(5);
  EXPECT_EQ(clients.ShownRows(), (std::vector<int32_t>{10, 21, 12, 13, 14, 15}));
}

// Units of a finished view die whenever their clients let go, often well into the next view.
// They carry their view, so the rows of the current view are not taken for lost.
TEST(LostRowsTest, UnitsOfAnEarlierViewDoNotTouchTheCurrentOne) {
  Clients clients;
  clients.RequestUntilNull();
  // Row 3's holder lets go of its unit but returns the row all the same: its release is noted
  // while the view is still the first one, and looked at only in the next.
  clients.Drop(3);
  ScriptedDisplay::Get().Queue({kLeft, kSy / 2.0, kSx / 2.0});
  for (int32_t r = 0; r < kSy; ++r) clients.Return(r);
  ASSERT_EQ(ScriptedDisplay::Get().ShownCount(), 1u);

  std::map<int32_t, Unit> firstView;
  firstView.swap(clients.held);
  EXPECT_EQ(clients.RequestUntilNull(), (std::vector<int32_t>{0, 1, 2, 3, 4, 5}));
  firstView.clear();  // the rest of the first view's units die
  EXPECT_EQ(clients.Request(), kNull) << "a row of the current view went out twice";

  ScriptedDisplay::Get().Queue({kLeft, kSy / 2.0, kSx / 2.0});
  for (int32_t r = 0; r < kSy; ++r) clients.Return(r);
  EXPECT_EQ(ScriptedDisplay::Get().ShownCount(), 2u);
  EXPECT_EQ(clients.ShownRows(), kEveryRowOnce);
}

}  // namespace
}  // namespace ServerTest
