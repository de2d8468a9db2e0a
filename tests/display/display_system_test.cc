// The display adapter against a real X server: the window's size, the colour of every pixel
// of painted images (palette, counts without a colour, layout, cross-hairs), and the mouse.
// Each test starts its own Xvfb; the adapter runs in a forked child so that every window
// starts from g2's fresh state.
#include <X11/keysym.h>
#include <g2.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "server/src/FractalUI.h"
#include "tests/display/AdapterChild.h"
#include "tests/support/ColourModel.h"
#include "tests/support/XProbe.h"
#include "tests/support/XvfbServer.h"

namespace display_test {
namespace {

using test_support::ColourModel;
using test_support::kPalette;
using test_support::XProbe;
using test_support::XvfbServer;

using FractalNetObj::ImageRec;
using FractalNetObj::ImageStar;
using Step = AdapterChild::Step;

constexpr int32_t kLeftAlone = FractalNetObj::kLeftButtonAlone;
constexpr int32_t kRightAlone = FractalNetObj::kRightButtonAlone;

constexpr uint32_t kWhite = 0xffffff;
constexpr uint32_t kBlack = 0x000000;
// Long enough for hundreds of polls; a qualifying state would have ended the wait by then.
constexpr std::chrono::milliseconds kStillWaiting{300};

constexpr int32_t kIntMin = std::numeric_limits<int32_t>::min();
constexpr int32_t kIntMax = std::numeric_limits<int32_t>::max();

// g2 flushes its drawing but does not wait for it. A pointer query is a round trip on g2's
// own connection: once it returns, the X server has carried out everything drawn before it.
void SyncWithServer() {
  double x = 0.0;
  double y = 0.0;
  unsigned int button = 0;
  g2_query_pointer(g2_ld(), &x, &y, &button);
}

Step OpenWindow(int32_t width, int32_t height) {
  return [=] {
    FractalNetObj::InitUI(width, height);
    SyncWithServer();
    return std::string();
  };
}

Step Show(ImageStar image, int32_t crossHairs) {
  return [=] {
    FractalNetObj::DisplayFractal(image, crossHairs);
    SyncWithServer();
    return std::string();
  };
}

Step AwaitClick() {
  return [] {
    const FractalNetObj::MouseInfoStar info = FractalNetObj::getMouseAction();
    char text[96];
    std::snprintf(text, sizeof text, "%d %.17g %.17g", info->button, info->x, info->y);
    return std::string(text);
  };
}

struct Click {
  int32_t button = 0;
  double x = 0.0;
  double y = 0.0;
};

std::optional<Click> ParseClick(const std::optional<std::string>& report) {
  Click click;
  if (!report ||
      std::sscanf(report->c_str(), "%d %lf %lf", &click.button, &click.x, &click.y) != 3) {
    return std::nullopt;
  }
  return click;
}

ImageStar MakeImage(int32_t width, int32_t height,
                    const std::function<int32_t(int32_t a, int32_t b)>& count) {
  auto image = std::make_shared<ImageRec>();
  image->width = width;
  image->height = height;
  image->data = std::make_shared<NetObj::Int32Array2D>(width, height);
  for (int32_t a = 0; a < width; ++a) {
    for (int32_t b = 0; b < height; ++b) image->data->at(a, b) = count(a, b);
  }
  return image;
}

// Counts without a colour, mixed so that none of them happens to work by accident.
int32_t Outside(int32_t a, int32_t b) {
  static constexpr int32_t kOutside[] = {27, -1, 96, kIntMax, kIntMin, 1000};
  return kOutside[(a + b) % 6];
}

// In range, never white, and different along both axes.
int32_t Coloured(int32_t a, int32_t b) { return 1 + (a * 3 + b * 5) % 26; }

class DisplayAdapterTest : public ::testing::Test {
 protected:
  // Starts a fresh adapter process whose first step opens a window for an image of `width` x
  // `height`, runs that step and finds the window: `height` wide and `width` tall.
  void Launch(int32_t width, int32_t height, std::vector<Step> later) {
    later.insert(later.begin(), OpenWindow(width, height));
    const std::vector<Window> before = probe_.TopLevelWindows();
    child_ = std::make_unique<AdapterChild>(xvfb_.display(), std::move(later));
    ASSERT_TRUE(child_->Run()) << "InitUI(" << width << ", " << height << ") did not return";
    window_ = probe_.FindNewWindow(before, height, width);
    ASSERT_NE(window_, static_cast<Window>(None))
        << "no new window " << height << " wide and " << width << " tall";
    columns_ = height;
    rows_ = width;
  }

  std::vector<uint32_t> Pixels() { return probe_.ReadRgb(window_, columns_, rows_); }

  // Runs the child's next step, a display, and compares the whole window with `model`.
  void ShowAndCompare(const ColourModel& model) {
    ASSERT_TRUE(child_->Run()) << "DisplayFractal did not return";
    EXPECT_EQ(model.Differences(Pixels()), "");
  }

  XvfbServer xvfb_;
  XProbe probe_{xvfb_.display()};
  std::unique_ptr<AdapterChild> child_;
  Window window_ = None;
  int columns_ = 0;
  int rows_ = 0;
};

TEST_F(DisplayAdapterTest, InitUIOpensWindowHeightWideAndWidthTallOnWhite) {
  const std::pair<int32_t, int32_t> sizes[] = {{320, 240}, {7, 300}};
  for (const auto& [width, height] : sizes) {
    SCOPED_TRACE("InitUI(" + std::to_string(width) + ", " + std::to_string(height) + ")");
    child_.reset();
    ASSERT_NO_FATAL_FAILURE(Launch(width, height, {}));
    EXPECT_EQ(ColourModel(width, height).Differences(Pixels()), "");
  }
}

TEST_F(DisplayAdapterTest, PaletteAndCountsWithoutColour) {
  // Column 0 holds pens 0..26 from the top; the other columns mix pens with counts that have
  // no colour.
  const ImageStar image = MakeImage(27, 5, [](int32_t a, int32_t b) {
    if (b == 0) return a;
    return (a * b) % 3 == 0 ? Outside(a, b) : (a * 7 + b * 11) % 27;
  });
  ASSERT_NO_FATAL_FAILURE(Launch(27, 5, {Show(image, 0)}));
  ColourModel model(27, 5);
  model.Paint(*image);
  ASSERT_NO_FATAL_FAILURE(ShowAndCompare(model));

  const std::vector<uint32_t> pixels = Pixels();
  for (int pen = 0; pen < 27; ++pen) {
    EXPECT_EQ(pixels[static_cast<std::size_t>(pen) * columns_], kPalette[pen]) << "pen " << pen;
  }
  ASSERT_EQ(image->data->at(0, 1), -1);
  EXPECT_EQ(pixels[1], kPalette[26])
      << "a count without colour at the top of a column repeats the bottom of the column before";
}

// Every image and line that g2 flushes brings an event back on g2's connection, which nobody
// reads; kept, they would grow the server by some 200 bytes a view for as long as it runs.
TEST_F(DisplayAdapterTest, EventsFromTheDisplayDoNotPileUpOverManyViews) {
  constexpr int kViews = 200;
  const ImageStar image = MakeImage(16, 12, Coloured);
  const Step manyViews = [image] {
    for (int v = 0; v < kViews; ++v) FractalNetObj::DisplayFractal(image, 1);
    SyncWithServer();
    return std::to_string(FractalNetObj::QueuedDisplayEvents());
  };
  ASSERT_NO_FATAL_FAILURE(Launch(16, 12, {manyViews}));
  const std::optional<std::string> queued = child_->Run();
  ASSERT_TRUE(queued) << "the views did not finish";
  // Kept, there would be three a view (an image and two lines). Those that came in since the
  // last painting may wait, as many as the X server lagged behind; -1 means the adapter did not
  // find g2's connection.
  const int n = std::stoi(*queued);
  EXPECT_GE(n, 0);
  EXPECT_LT(n, kViews / 4);
}

TEST_F(DisplayAdapterTest, CountsWithoutColourKeepThePenOfThePreviousCall) {
  constexpr int32_t kWidth = 40;
  constexpr int32_t kHeight = 30;
  const ImageStar outside = MakeImage(kWidth, kHeight, Outside);
  const ImageStar coloured = MakeImage(kWidth, kHeight, Coloured);
  // The last count with a colour, in painting order, is pen 9 at the top of the last column.
  const ImageStar endsInPen9 = MakeImage(kWidth, kHeight, [](int32_t a, int32_t b) {
    if (b < kHeight - 1) return Coloured(a, b);
    return a == 0 ? 9 : Outside(a, b);
  });
  struct Call {
    const char* what;
    ImageStar image;
    int32_t crossHairs;
    std::optional<uint32_t> everywhere;  // the one colour of the whole window, if it has one
  };
  const Call calls[] = {
      {"no colours, first after opening: black", outside, 0, kBlack},
      {"coloured with cross-hairs", coloured, 1, std::nullopt},
      {"no colours, after cross-hairs: white", outside, 0, kWhite},
      {"coloured, ending in pen 9", endsInPen9, 0, std::nullopt},
      {"no colours, after pen 9", outside, 0, kPalette[9]},
  };
  std::vector<Step> steps;
  for (const Call& call : calls) steps.push_back(Show(call.image, call.crossHairs));
  ASSERT_NO_FATAL_FAILURE(Launch(kWidth, kHeight, steps));

  ColourModel model(kWidth, kHeight);
  for (const Call& call : calls) {
    SCOPED_TRACE(call.what);
    model.Paint(*call.image);
    // Column height/2 = 15, row width-1-width/2 = 19.
    if (call.crossHairs != 0) model.CrossHairs(15, 19);
    ASSERT_NO_FATAL_FAILURE(ShowAndCompare(model));
    if (call.everywhere) {
      const std::vector<uint32_t> pixels = Pixels();
      EXPECT_EQ(std::count(pixels.begin(), pixels.end(), *call.everywhere),
                static_cast<long>(pixels.size()));
    }
  }
}

TEST_F(DisplayAdapterTest, ElementLandsInWindowRowAColumnB) {
  const ImageStar image = MakeImage(320, 240, Coloured);
  ASSERT_NO_FATAL_FAILURE(Launch(320, 240, {Show(image, 0)}));
  ColourModel model(320, 240);
  model.Paint(*image);
  ASSERT_NO_FATAL_FAILURE(ShowAndCompare(model));

  const std::vector<uint32_t> pixels = Pixels();
  const std::pair<int, int> elements[] = {{0, 0}, {300, 10}, {5, 200}, {319, 239}, {0, 239}};
  for (const auto& [a, b] : elements) {
    EXPECT_EQ(pixels[static_cast<std::size_t>(a) * columns_ + b], kPalette[Coloured(a, b)])
        << "element (" << a << ", " << b << ") in row " << a << ", column " << b;
  }
}

TEST_F(DisplayAdapterTest, CrossHairsCoverOneWindowColumnAndOneWindowRow) {
  struct Case {
    int32_t width;
    int32_t height;
    int32_t crossHairs;
    std::optional<std::pair<int, int>> columnAndRow;
  };
  const Case cases[] = {
      {320, 240, 1, {{120, 159}}}, {321, 240, 1, {{120, 160}}}, {320, 241, 1, {{120, 159}}},
      {320, 240, 2, {{120, 159}}}, {320, 240, 0, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("width " + std::to_string(c.width) + ", height " + std::to_string(c.height) +
                 ", crossHairs " + std::to_string(c.crossHairs));
    const ImageStar image = MakeImage(c.width, c.height, Coloured);
    child_.reset();
    ASSERT_NO_FATAL_FAILURE(Launch(c.width, c.height, {Show(image, c.crossHairs)}));
    ColourModel model(c.width, c.height);
    model.Paint(*image);
    if (c.columnAndRow) model.CrossHairs(c.columnAndRow->first, c.columnAndRow->second);
    ASSERT_NO_FATAL_FAILURE(ShowAndCompare(model));
  }
}

TEST_F(DisplayAdapterTest, MouseReportsButtonAndPositionInDrawingCoordinates) {
  struct Case {
    unsigned int button;  // X button number
    int column;           // pointer position relative to the window's top-left pixel
    int row;
    Click expected;
  };
  const Case cases[] = {
      {1, 17, 30, {kLeftAlone, 17, 289}},     {3, 0, 0, {kRightAlone, 0, 319}},
      {1, 239, 319, {kLeftAlone, 239, 0}},    {1, -10, 5, {kLeftAlone, -10, 314}},
      {3, 100, 400, {kRightAlone, 100, -81}},
  };
  std::vector<Step> steps;
  for (std::size_t i = 0; i < std::size(cases) + 2; ++i) steps.push_back(AwaitClick());
  ASSERT_NO_FATAL_FAILURE(Launch(320, 240, steps));
  int originX = 0;
  int originY = 0;
  probe_.Origin(window_, originX, originY);

  for (const Case& c : cases) {
    SCOPED_TRACE("button " + std::to_string(c.button) + " at column " + std::to_string(c.column) +
                 ", row " + std::to_string(c.row));
    probe_.MovePointer(originX + c.column, originY + c.row);
    probe_.Button(c.button, true);
    const std::optional<Click> click = ParseClick(child_->Run());
    probe_.Button(c.button, false);
    ASSERT_TRUE(click) << "getMouseAction did not return";
    EXPECT_EQ(click->button, c.expected.button);
    EXPECT_EQ(click->x, c.expected.x);
    EXPECT_EQ(click->y, c.expected.y);
  }

  SCOPED_TRACE("left button held through two calls");
  probe_.Button(1, true);
  for (int call = 0; call < 2; ++call) {
    const std::optional<Click> click = ParseClick(child_->Run());
    ASSERT_TRUE(click) << "call " << call << " did not return";
    EXPECT_EQ(click->button, kLeftAlone);
  }
  probe_.Button(1, false);
}

// One thing a user does: a button or a key, pressed or released.
struct Input {
  enum class Kind { kPress, kRelease, kKeyDown, kKeyUp, kTap } kind;
  unsigned long code;  // X button number, or KeySym
};
Input Press(unsigned int button) { return {Input::Kind::kPress, button}; }
Input Release(unsigned int button) { return {Input::Kind::kRelease, button}; }
Input KeyDown(KeySym key) { return {Input::Kind::kKeyDown, key}; }
Input KeyUp(KeySym key) { return {Input::Kind::kKeyUp, key}; }
Input Tap(KeySym key) { return {Input::Kind::kTap, key}; }

void Apply(XProbe& probe, const std::vector<Input>& inputs) {
  for (const Input& in : inputs) {
    switch (in.kind) {
      case Input::Kind::kPress:
        probe.Button(static_cast<unsigned int>(in.code), true);
        break;
      case Input::Kind::kRelease:
        probe.Button(static_cast<unsigned int>(in.code), false);
        break;
      case Input::Kind::kKeyDown:
        probe.Key(in.code, true);
        break;
      case Input::Kind::kKeyUp:
        probe.Key(in.code, false);
        break;
      case Input::Kind::kTap:
        probe.TapKey(in.code);
        break;
    }
  }
}

TEST_F(DisplayAdapterTest, WaitGoesOnUntilLeftOrRightButtonAloneIsDown) {
  struct Case {
    const char* held;
    std::vector<Input> hold;            // before getMouseAction is called
    std::vector<Input> leaveLeftAlone;  // while it waits
  };
  const Case cases[] = {
      {"nothing (0)", {}, {Press(1)}},
      {"middle button (512)", {Press(2)}, {Release(2), Press(1)}},
      {"left and right (1280)", {Press(1), Press(3)}, {Release(3)}},
      {"left with Shift (257)", {KeyDown(XK_Shift_L), Press(1)}, {KeyUp(XK_Shift_L)}},
      {"left with Caps Lock (258)", {Tap(XK_Caps_Lock), Press(1)}, {Tap(XK_Caps_Lock)}},
      {"left with Num Lock (272)", {Tap(XK_Num_Lock), Press(1)}, {Tap(XK_Num_Lock)}},
  };
  std::vector<Step> steps(std::size(cases), AwaitClick());
  ASSERT_NO_FATAL_FAILURE(Launch(320, 240, steps));
  int originX = 0;
  int originY = 0;
  probe_.Origin(window_, originX, originY);
  probe_.MovePointer(originX + 120, originY + 160);

  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("held: ") + c.held);
    Apply(probe_, c.hold);
    child_->Start();
    ASSERT_FALSE(child_->Await(kStillWaiting)) << "getMouseAction returned";
    Apply(probe_, c.leaveLeftAlone);
    const std::optional<Click> click = ParseClick(child_->Await(AdapterChild::kStepTimeout));
    probe_.Button(1, false);
    ASSERT_TRUE(click) << "getMouseAction did not return once the left button was alone";
    EXPECT_EQ(click->button, kLeftAlone);
  }
}

}  // namespace
}  // namespace display_test
