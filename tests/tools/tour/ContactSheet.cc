#include <algorithm>
#include <stdexcept>

#include "tests/tools/tour/RgbImage.h"

namespace tour {

namespace {

constexpr uint32_t kGapGrey = 0x404040;

// The average colour of the shrink x shrink square whose top-left pixel is (row, column).
uint32_t Average(const RgbImage& p, int row, int column, int shrink) {
  uint32_t r = 0, g = 0, b = 0;
  for (int dr = 0; dr < shrink; ++dr) {
    for (int dc = 0; dc < shrink; ++dc) {
      const uint32_t rgb = p.pixels[static_cast<std::size_t>(row + dr) * p.width + column + dc];
      r += rgb >> 16 & 0xff;
      g += rgb >> 8 & 0xff;
      b += rgb & 0xff;
    }
  }
  const uint32_t n = static_cast<uint32_t>(shrink * shrink);
  return (r / n) << 16 | (g / n) << 8 | (b / n);
}

}  // namespace

RgbImage ContactSheet(const std::vector<RgbImage>& pictures, int perRow, int shrink, int gap) {
  if (pictures.empty() || perRow < 1 || shrink < 1 || gap < 0) {
    throw std::invalid_argument("ContactSheet: nothing to lay out");
  }
  const int w = pictures[0].width / shrink;
  const int h = pictures[0].height / shrink;
  const int columns = std::min<int>(perRow, static_cast<int>(pictures.size()));
  const int rows = (static_cast<int>(pictures.size()) + perRow - 1) / perRow;
  RgbImage sheet;
  sheet.width = columns * w + (columns + 1) * gap;
  sheet.height = rows * h + (rows + 1) * gap;
  sheet.pixels.assign(static_cast<std::size_t>(sheet.width) * sheet.height, kGapGrey);
  for (std::size_t i = 0; i < pictures.size(); ++i) {
    const RgbImage& p = pictures[i];
    if (p.width != pictures[0].width || p.height != pictures[0].height) {
      throw std::invalid_argument("ContactSheet: pictures differ in size");
    }
    const int left = gap + static_cast<int>(i % perRow) * (w + gap);
    const int top = gap + static_cast<int>(i / perRow) * (h + gap);
    for (int row = 0; row < h; ++row) {
      for (int column = 0; column < w; ++column) {
        sheet.pixels[static_cast<std::size_t>(top + row) * sheet.width + left + column] =
            Average(p, row * shrink, column * shrink, shrink);
      }
    }
  }
  return sheet;
}

}  // namespace tour
