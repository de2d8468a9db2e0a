#include "tests/support/ColourModel.h"

#include <cstdio>

namespace test_support {

namespace {

constexpr uint32_t kWhite = 0xffffff;
constexpr uint32_t kBlack = 0x000000;
constexpr int kDifferencesShown = 5;

std::string Hex(uint32_t rgb) {
  char text[8];
  std::snprintf(text, sizeof text, "#%06x", static_cast<unsigned>(rgb));
  return text;
}

}  // namespace

ColourModel::ColourModel(int32_t width, int32_t height)
    : columns_(height),
      rows_(width),
      pixels_(static_cast<std::size_t>(width) * height, kWhite),
      selected_(kBlack) {}

uint32_t ColourModel::At(int row, int column) const {
  return pixels_[static_cast<std::size_t>(row) * columns_ + column];
}

uint32_t& ColourModel::Pixel(int row, int column) {
  return pixels_[static_cast<std::size_t>(row) * columns_ + column];
}

void ColourModel::Paint(const FractalNetObj::ImageRec& image) {
  for (int column = 0; column < columns_; ++column) {
    for (int row = 0; row < rows_; ++row) {
      const int32_t count = image.data->at(row, column);
      if (count >= 0 && count < static_cast<int32_t>(kPalette.size())) {
        selected_ = kPalette[static_cast<std::size_t>(count)];
      }
      Pixel(row, column) = selected_;
    }
  }
}

void ColourModel::CrossHairs(int column, int row) {
  for (int r = 0; r < rows_; ++r) Pixel(r, column) = kWhite;
  for (int c = 0; c < columns_; ++c) Pixel(row, c) = kWhite;
  selected_ = kWhite;
}

std::string ColourModel::Differences(const std::vector<uint32_t>& actual) const {
  if (actual.size() != pixels_.size()) return "window has a different number of pixels";
  std::string shown;
  std::size_t differing = 0;
  for (std::size_t i = 0; i < pixels_.size(); ++i) {
    if (actual[i] == pixels_[i]) continue;
    if (++differing <= kDifferencesShown) {
      shown += "\n  row " + std::to_string(i / columns_) + " column " +
               std::to_string(i % columns_) + ": expected " + Hex(pixels_[i]) + ", shows " +
               Hex(actual[i]);
    }
  }
  if (differing == 0) return "";
  return std::to_string(differing) + " of " + std::to_string(pixels_.size()) + " pixels differ" +
         shown;
}

}  // namespace test_support
