// The tour's own pieces without any X server: its idea of how a click moves the view, where it
// clicks to close in on a point, and the pictures it writes.
#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>

#include "tests/tools/tour/RgbImage.h"
#include "tests/tools/tour/View.h"

namespace tour {
namespace {

struct Bounds {
  float xmin, xmax, ymin, ymax;
};

void ExpectBounds(const View& v, const Bounds& b) {
  EXPECT_EQ(v.xmin, b.xmin);
  EXPECT_EQ(v.xmax, b.xmax);
  EXPECT_EQ(v.ymin, b.ymin);
  EXPECT_EQ(v.ymax, b.ymax);
}

// Known clicks on the initial 320 x 240 view; the window's centre is mouse (120, 160). A button
// state that is neither click moves the view without zooming.
TEST(TourViewTest, ClicksMoveAndZoomTheInitialViewAsTheServerDoes) {
  const View start = View::Initial(320, 240);
  ExpectBounds(start.AfterClick(FractalNetObj::kLeftButtonAlone, 120, 160),
               {-2.3125f, 1.0625f, -1.125f, 1.125f});
  ExpectBounds(start.AfterClick(FractalNetObj::kRightButtonAlone, 120, 160),
               {-2.6875f, 1.4375f, -1.375f, 1.375f});
  ExpectBounds(start.AfterClick(FractalNetObj::kLeftButtonAlone, 0, 0),
               {-0.6458333730697632f, 2.7291665077209473f, -2.53125f, -0.28125f});
  ExpectBounds(start.AfterClick(512, 0, 0),
               {-2.5f + 1.6666666269302368f, 1.25f + 1.6666666269302368f, -1.25f - 1.40625f,
                1.25f - 1.40625f});
}

// A click whose view the server cannot render is not taken: the tour keeps the view as the
// server does, and goes on from it.
TEST(TourViewTest, AClickTheServerWouldNotTakeLeavesTheView) {
  struct Case {
    const char* what;
    Bounds view;
    int32_t button;
    double mouseX, mouseY;
  };
  for (const Case& c : {Case{"a zoom out whose extent overflows",
                             {-0x1.ecccccp+126f, 0x1.ecccccp+126f, -1.25f, 1.25f},
                             FractalNetObj::kRightButtonAlone,
                             24,
                             32},
                        Case{"a move that rounds ymin and ymax together",
                             {-0x1.8p-19f, 0x1.8p-19f, 1.0f - 0x1p-23f, 1.0f - 0x1p-24f},
                             FractalNetObj::kLeftButtonAlone,
                             25,
                             32}}) {
    SCOPED_TRACE(c.what);
    View v = View::Initial(64, 48);  // the window is 48 wide, 64 tall
    v.xmin = c.view.xmin, v.xmax = c.view.xmax, v.ymin = c.view.ymin, v.ymax = c.view.ymax;
    ExpectBounds(v.AfterClick(c.button, c.mouseX, c.mouseY), c.view);
    EXPECT_NE(v.AfterClick(FractalNetObj::kLeftButtonAlone, 24, 32).xmin,
              v.xmin);  // a click it takes
  }
}

// The offset of (x, y) from the centre of `v`, in pixels of v along each axis.
double PixelsFromCentre(const View& v, double x, double y) {
  const double xStep = (static_cast<double>(v.xmax) - v.xmin) / v.sx;
  const double yStep = (static_cast<double>(v.ymax) - v.ymin) / v.sy;
  return std::max(std::abs((v.xmin + v.xmax) / 2.0 - x) / xStep,
                  std::abs((v.ymin + v.ymax) / 2.0 - y) / yStep);
}

// Clicking where a point lies moves it towards the centre. The click's shifts scale the two axes
// alike only up to a factor of 1.125, so one click leaves a fraction of the offset, and the point
// settles within a few pixels of the centre, where the tour then keeps it.
TEST(TourViewTest, ClickingWhereAPointLiesBringsItToTheCentre) {
  View v = View::Initial(320, 240);
  const double x = -0.10109636384562;
  const double y = 0.95628651080914;
  double before = PixelsFromCentre(v, x, y);
  for (int i = 0; i < 30; ++i) {
    const WindowPosition p = PositionOf(v, x, y);
    v = v.AfterClick(FractalNetObj::kLeftButtonAlone, MouseX(v, p), MouseY(v, p));
    const double after = PixelsFromCentre(v, x, y);
    EXPECT_LE(after, 0.2 * before + 2.0) << "click " << i;
    if (i >= 4) {
      EXPECT_LE(after, 3.0) << "click " << i;
    }
    before = after;
  }
}

RgbImage ReadPng(const std::string& path) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  RgbImage out;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return out;
  image.format = PNG_FORMAT_RGB;
  std::vector<png_byte> bytes(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, bytes.data(), 0, nullptr)) return out;
  out.width = static_cast<int>(image.width);
  out.height = static_cast<int>(image.height);
  for (std::size_t i = 0; i + 2 < bytes.size(); i += 3) {
    out.pixels.push_back(uint32_t{bytes[i]} << 16 | uint32_t{bytes[i + 1]} << 8 | bytes[i + 2]);
  }
  return out;
}

TEST(TourPictureTest, PngKeepsEveryPixelInPlace) {
  RgbImage picture{3, 2, {0xff0000, 0x00ff00, 0x0000ff, 0x7f7f7f, 0x000000, 0xffffff}};
  char path[] = "/tmp/tour-png-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  WritePng(picture, path);
  const RgbImage back = ReadPng(path);
  unlink(path);
  EXPECT_EQ(back.width, 3);
  EXPECT_EQ(back.height, 2);
  EXPECT_EQ(back.pixels, picture.pixels);
}

// Two 4 x 2 pictures shrunk by 2, one per row, with a one-pixel gap: each becomes 2 x 1, each
// pixel the average of its 2 x 2 square.
TEST(TourPictureTest, ContactSheetShrinksByAveragingAndLaysOutInRows) {
  const RgbImage a{
      4, 2, {0x000000, 0x020202, 0x101010, 0x101010, 0x020202, 0x040404, 0x101010, 0x101010}};
  const RgbImage b{4, 2, std::vector<uint32_t>(8, 0xff0000)};
  const RgbImage sheet = ContactSheet({a, b}, 1, 2, 1);
  ASSERT_EQ(sheet.width, 4);
  ASSERT_EQ(sheet.height, 5);
  const auto at = [&](int row, int column) {
    return sheet.pixels[static_cast<std::size_t>(row) * sheet.width + column];
  };
  EXPECT_EQ(at(1, 1), 0x020202u);
  EXPECT_EQ(at(1, 2), 0x101010u);
  EXPECT_EQ(at(3, 1), 0xff0000u);
  EXPECT_EQ(at(3, 2), 0xff0000u);
  EXPECT_EQ(at(0, 0), at(2, 3)) << "gaps share one colour";
  EXPECT_NE(at(2, 1), 0xff0000u) << "the gap between the rows";
}

}  // namespace
}  // namespace tour
