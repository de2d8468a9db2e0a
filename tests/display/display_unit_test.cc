// The display adapter's parts that need no window: getPixel, and the refusals that keep a bad
// argument or a missing window from reaching g2.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <stdexcept>

#include "server/src/FractalUI.h"

namespace {

using FractalNetObj::DisplayFractal;
using FractalNetObj::getPixel;
using FractalNetObj::ImageRec;
using FractalNetObj::ImageStar;
using FractalNetObj::InitUI;

constexpr int32_t kIntMin = std::numeric_limits<int32_t>::min();
constexpr int32_t kIntMax = std::numeric_limits<int32_t>::max();

// A record of width x height over an array of nx x ny whose element at position p holds 100 + p.
ImageStar MakeImage(int32_t width, int32_t height, int32_t nx, int32_t ny) {
  auto image = std::make_shared<ImageRec>();
  image->width = width;
  image->height = height;
  image->data = std::make_shared<NetObj::Int32Array2D>(nx, ny);
  for (std::size_t p = 0; p < image->data->size(); ++p) {
    image->data->data()[p] = static_cast<int32_t>(100 + p);
  }
  return image;
}

TEST(GetPixel, ReadsPositionXTimesHeightPlusYInsideAndMinusOneOutside) {
  const ImageStar image = MakeImage(4, 5, 4, 5);
  struct Case {
    int32_t x, y, expected;
  };
  const Case cases[] = {
      {0, 0, 100},
      {2, 3, 113},
      {3, 4, 119},
      {0, 4, 104},
      {1, 0, 105},
      {4, 0, -1},
      {0, 5, -1},
      {-1, 0, -1},
      {0, -1, -1},
      {4, 5, -1},
      {kIntMin, 0, -1},
      {0, kIntMax, -1},
      {kIntMax, kIntMax, -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(getPixel(image, c.x, c.y), c.expected) << "x " << c.x << ", y " << c.y;
  }
}

TEST(GetPixel, TakesTheExtentsFromTheRecordNotFromTheArray) {
  // Same block of 20, shaped 5 x 4 by the array and 4 x 5 by the record.
  EXPECT_EQ(getPixel(MakeImage(4, 5, 5, 4), 2, 3), 113);
}

TEST(GetPixel, MissingElementsAreMinusOne) {
  EXPECT_EQ(getPixel(nullptr, 0, 0), -1);
  auto noData = std::make_shared<ImageRec>();
  noData->width = 4;
  noData->height = 5;
  EXPECT_EQ(getPixel(noData, 0, 0), -1);
  // The record claims 4 x 5 over a block of only 4 elements.
  const ImageStar shortBlock = MakeImage(4, 5, 2, 2);
  EXPECT_EQ(getPixel(shortBlock, 0, 3), 103);
  EXPECT_EQ(getPixel(shortBlock, 1, 0), -1);
  EXPECT_EQ(getPixel(shortBlock, 3, 4), -1);
}

// Nothing here opens a window: every call is refused before it reaches g2.
TEST(DisplayAdapter, RefusesBadArgumentsAndCallsBeforeInitUI) {
  EXPECT_THROW(InitUI(0, 240), std::invalid_argument);
  EXPECT_THROW(InitUI(320, 0), std::invalid_argument);
  EXPECT_THROW(InitUI(-1, 240), std::invalid_argument);
  EXPECT_THROW(InitUI(320, 32768), std::invalid_argument);

  EXPECT_THROW(DisplayFractal(nullptr, 0), std::invalid_argument);
  auto noData = std::make_shared<ImageRec>();
  noData->width = 4;
  noData->height = 5;
  EXPECT_THROW(DisplayFractal(noData, 0), std::invalid_argument);
  EXPECT_THROW(DisplayFractal(MakeImage(4, 5, 2, 2), 1), std::invalid_argument);
  EXPECT_THROW(DisplayFractal(MakeImage(-4, 5, 0, 0), 0), std::invalid_argument);

  EXPECT_THROW(DisplayFractal(MakeImage(4, 5, 4, 5), 0), std::logic_error);
  EXPECT_THROW(FractalNetObj::getMouseAction(), std::logic_error);
}

}  // namespace
