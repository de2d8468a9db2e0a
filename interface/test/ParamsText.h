// One line of text for a FractalParams and a pixmap, with the bounds as their bit patterns, so
// that the owner and caller programs of the system tests can show what crossed, exactly.
#pragma once

#include <bit>
#include <cstdio>
#include <string>

#include "interface/FractalNetObj.h"

namespace StubSystemTest {

inline std::string ParamsText(const FractalNetObj::FractalParams& f) {
  char line[256];
  std::snprintf(line, sizeof line, "sx=%d sy=%d xmin=%08x xmax=%08x ymin=%08x ymax=%08x maxiter=%d",
                f.sx, f.sy, std::bit_cast<uint32_t>(f.xmin), std::bit_cast<uint32_t>(f.xmax),
                std::bit_cast<uint32_t>(f.ymin), std::bit_cast<uint32_t>(f.ymax), f.maxiter);
  return std::string("type=") + (f.type ? "\"" + *f.type + "\"" : "null") + " " + line;
}

// Extents and a position-weighted sum of the elements, which changes when any element moves.
inline std::string PixMapText(const FractalNetObj::PixMap& p) {
  if (!p) return "pixmap=null";
  uint64_t sum = 0;
  for (std::size_t k = 0; k < p->size(); ++k) {
    sum += (k + 1) * static_cast<uint64_t>(static_cast<uint32_t>(p->data()[k]));
  }
  return "pixmap=" + std::to_string(p->nx()) + "x" + std::to_string(p->ny()) +
         " sum=" + std::to_string(sum);
}

// The work unit that the test owner hands out: every field at an edge, and a bound (0.1) with
// no exact 32-bit form.
inline FractalNetObj::FractalParams EdgeParams() {
  FractalNetObj::FractalParams f;
  f.sx = INT32_MIN;
  f.sy = 1;
  f.xmin = -2.5f;
  f.xmax = 1.25f;
  f.ymin = 0.1f;
  f.ymax = 0.1f;
  f.maxiter = INT32_MAX;
  return f;
}

// The pixmap that the test caller returns: one row of 1600 columns.
inline FractalNetObj::PixMap ReturnedPixMap() {
  auto p = std::make_shared<NetObj::Int32Array2D>(1600, 1);
  for (int32_t i = 0; i < 1600; ++i) p->at(i, 0) = i * 7 - 800;
  return p;
}

}  // namespace StubSystemTest
