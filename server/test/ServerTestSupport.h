// Small helpers shared by the server core's tests: reading the view under the server lock,
// draining a view's units while holding them, making result arrays, comparing floats bit for
// bit.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "interface/FractalNetObj.h"
#include "server/src/FractalNetObjImpl.h"
#include "server/src/ServerState.h"

namespace ServerTest {

inline uint32_t Bits(float f) { return std::bit_cast<uint32_t>(f); }

struct View {
  float xmin, xmax, ymin, ymax;
};

inline View ViewOf(Server::ServerState& s) {
  std::scoped_lock lock(s.mu);
  return {s.xmin, s.xmax, s.ymin, s.ymax};
}

inline void SetView(Server::ServerState& s, const View& v) {
  std::scoped_lock lock(s.mu);
  s.xmin = v.xmin;
  s.xmax = v.xmax;
  s.ymin = v.ymin;
  s.ymax = v.ymax;
}

inline int32_t NumResults(Server::ServerState& s) {
  std::scoped_lock lock(s.mu);
  return s.numResults;
}

// The four bounds must match as 32-bit patterns; the message shows the numbers.
inline void ExpectSameView(const View& actual, const View& expected) {
  EXPECT_EQ(Bits(actual.xmin), Bits(expected.xmin)) << actual.xmin << " vs " << expected.xmin;
  EXPECT_EQ(Bits(actual.xmax), Bits(expected.xmax)) << actual.xmax << " vs " << expected.xmax;
  EXPECT_EQ(Bits(actual.ymin), Bits(expected.ymin)) << actual.ymin << " vs " << expected.ymin;
  EXPECT_EQ(Bits(actual.ymax), Bits(expected.ymax)) << actual.ymax << " vs " << expected.ymax;
}

// The units a test holds, as a client holds its unit until its row is back: a unit dropped
// before its result has come in releases its row, which the server then hands out again.
using Held = std::vector<std::shared_ptr<FractalNetObj::Fractal>>;

// Requests until the server answers null, at most `limit` times, keeps the units in `held` and
// returns their parameters in the order they came.
inline std::vector<FractalNetObj::FractalParams> TakeAllUnits(Server::ServerState& s, int32_t limit,
                                                              Held& held) {
  std::vector<FractalNetObj::FractalParams> units;
  for (int32_t i = 0; i < limit; ++i) {
    std::shared_ptr<FractalNetObj::Fractal> unit = s.myFractalNetObj->requestFractal();
    if (!unit) break;
    units.push_back(unit->getFractalParameters());
    held.push_back(std::move(unit));
  }
  return units;
}

inline FractalNetObj::PixMap Filled(int32_t nx, int32_t ny, int32_t value) {
  auto pixmap = std::make_shared<NetObj::Int32Array2D>(nx, ny);
  for (std::size_t i = 0; i < pixmap->size(); ++i) pixmap->data()[i] = value;
  return pixmap;
}

// Hands out and returns every row of the current view with arrays of zeros; the last return
// shows the image and takes the scripted click(s).
inline void CompleteView(Server::ServerState& s) {
  Held held;
  for (const auto& unit : TakeAllUnits(s, s.sy + 1, held)) {
    s.myFractalNetObj->returnResults(unit, Filled(unit.sx, unit.sy, 0));
  }
}

}  // namespace ServerTest
