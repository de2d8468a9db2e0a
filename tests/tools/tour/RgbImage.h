// A picture as the tour keeps it: 0xRRGGBB pixels row by row from the top, the form in which
// the window's pixels are read back and compared; written out as PNG, and several of them
// gathered into one contact sheet.
//
// Plain values and pure functions apart from the file written; safe on any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tour {

struct RgbImage {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> pixels;  // width * height, row by row
};

// Writes `image` as an 8-bit RGB PNG. Throws std::runtime_error when the file cannot be written.
void WritePng(const RgbImage& image, const std::string& path);

// The pictures side by side in rows of `perRow`, each shrunk by `shrink` (averaging each square
// of shrink x shrink pixels), with a gap of `gap` grey pixels around and between them. All
// pictures must have the size of the first.
RgbImage ContactSheet(const std::vector<RgbImage>& pictures, int perRow, int shrink, int gap);

}  // namespace tour
