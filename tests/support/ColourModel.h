// What the adapter's window has to show, predicted from the colour rule alone, independently
// of g2: a count in 0..26 paints its palette colour and selects it; any other count repeats
// the colour selected before it. g2 paints column by column from the left, each column from
// top to bottom, and element (a, b) of an image is window row a, column b. The window opens
// white with black selected; cross-hairs are white and leave white selected.
//
// Ownership: a plain value. Not thread-safe.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "interface/FractalNetObj.h"

namespace test_support {

// Pens 0..26 as 0xRRGGBB: white, black, then the three-level cube (0, half, full) without
// black and white, red varying slowest and blue fastest. Half intensity shows as 0x7f.
inline constexpr std::array<uint32_t, 27> kPalette = {
    0xffffff, 0x000000, 0x00007f, 0x0000ff, 0x007f00, 0x007f7f, 0x007fff, 0x00ff00, 0x00ff7f,
    0x00ffff, 0x7f0000, 0x7f007f, 0x7f00ff, 0x7f7f00, 0x7f7f7f, 0x7f7fff, 0x7fff00, 0x7fff7f,
    0x7fffff, 0xff0000, 0xff007f, 0xff00ff, 0xff7f00, 0xff7f7f, 0xff7fff, 0xffff00, 0xffff7f};

class ColourModel {
 public:
  // InitUI's arguments: the window is `height` pixels wide and `width` pixels tall.
  ColourModel(int32_t width, int32_t height);

  int columns() const { return columns_; }
  int rows() const { return rows_; }
  uint32_t At(int row, int column) const;
  uint32_t selected() const { return selected_; }

  // An image of the window's size, painted by the colour rule.
  void Paint(const FractalNetObj::ImageRec& image);
  // A white window column and a white window row, as the cross-hairs draw them.
  void CrossHairs(int column, int row);

  // Empty when `actual` (0xRRGGBB row by row) equals the prediction; otherwise how many pixels
  // differ and where the first few are.
  std::string Differences(const std::vector<uint32_t>& actual) const;

 private:
  uint32_t& Pixel(int row, int column);

  int columns_;
  int rows_;
  std::vector<uint32_t> pixels_;
  uint32_t selected_;
};

}  // namespace test_support
