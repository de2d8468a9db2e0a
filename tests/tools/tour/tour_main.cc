// tour: follows a running server's window on an X display through a zoom tour. It waits until
// each view is completely drawn and exactly as predicted, saves it as PNG, and clicks with the
// left button where a chosen point of the plane lies, so that the views close in on that point.
// At the end it saves a contact sheet of all views.
//
//   tour -display :N [-width W] [-height H] [-crosshairs] [-views N] [-target X,Y]
//        [-click left|right,COLUMN,ROW]... [-out DIR] [-timeout SECONDS]
//
// -width, -height and -crosshairs are the server's own options. Each -click is made in turn on
// the next view instead of the left click at the target. Prints one line per view and the
// paths of the files; exit status 0 when every view was as predicted, 1 otherwise.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/XProbe.h"
#include "tests/tools/tour/RgbImage.h"
#include "tests/tools/tour/Tour.h"

namespace tour {
namespace {

constexpr char kUsage[] =
    "Usage: tour -display :N [-width W] [-height H] [-crosshairs] [-views N] [-target X,Y]\n"
    "            [-click left|right,COLUMN,ROW]... [-out DIR] [-timeout SECONDS]\n";
constexpr unsigned int kLeft = test_support::kLeftButton;
constexpr unsigned int kRight = test_support::kRightButton;
constexpr int kSheetPerRow = 8;
// The largest window: 1200 columns (-height) by 1600 rows (-width).
constexpr int kMaxColumn = 1199;
constexpr int kMaxRow = 1599;
constexpr int kSheetShrink = 2;
constexpr int kSheetGap = 4;

struct ChosenClick {
  unsigned int button = kLeft;
  WindowPosition position;
};

struct Options {
  TourSettings tour;
  int views = 40;
  // A branch point of the filaments above the main cardioid. Points near it escape after few
  // iterations at every scale, so with the server's 96 iterations the views keep their detail all
  // the way down instead of turning into one colour.
  double targetX = -0.10109636384562;
  double targetY = 0.95628651080914;
  std::vector<ChosenClick> clicks;
  std::string out = ".";
  std::chrono::milliseconds timeout{60000};
};

int IntValue(const std::string& text, int lowest, int highest) {
  std::size_t used = 0;
  const int value = std::stoi(text, &used);
  if (used != text.size() || value < lowest || value > highest) throw std::invalid_argument(text);
  return value;
}

double DoubleValue(const std::string& text) {
  std::size_t used = 0;
  const double value = std::stod(text, &used);
  if (used != text.size()) throw std::invalid_argument(text);
  return value;
}

void ParseTarget(const std::string& text, Options& o) {
  const std::size_t comma = text.find(',');
  if (comma == std::string::npos) throw std::invalid_argument(text);
  o.targetX = DoubleValue(text.substr(0, comma));
  o.targetY = DoubleValue(text.substr(comma + 1));
}

ChosenClick ParseClick(const std::string& text) {
  const std::size_t first = text.find(',');
  if (first == std::string::npos) throw std::invalid_argument(text);
  const std::size_t second = text.find(',', first + 1);
  if (second == std::string::npos) throw std::invalid_argument(text);
  const std::string button = text.substr(0, first);
  if (button != "left" && button != "right") throw std::invalid_argument(text);
  ChosenClick c;
  c.button = button == "left" ? kLeft : kRight;
  c.position.column = IntValue(text.substr(first + 1, second - first - 1), 0, kMaxColumn);
  c.position.row = IntValue(text.substr(second + 1), 0, kMaxRow);
  return c;
}

Options Parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string key = argv[i];
    if (key == "-crosshairs") {
      o.tour.crossHairs = true;
      continue;
    }
    if (i + 1 >= argc) throw std::invalid_argument(key);
    const std::string value = argv[++i];
    if (key == "-display") {
      o.tour.display = value;
    } else if (key == "-width") {
      o.tour.sx = IntValue(value, 1, 1600);
    } else if (key == "-height") {
      o.tour.sy = IntValue(value, 1, 1200);
    } else if (key == "-views") {
      o.views = IntValue(value, 1, 1000);
    } else if (key == "-target") {
      ParseTarget(value, o);
    } else if (key == "-click") {
      o.clicks.push_back(ParseClick(value));
    } else if (key == "-out") {
      o.out = value;
    } else if (key == "-timeout") {
      o.timeout = std::chrono::seconds(IntValue(value, 1, 3600));
    } else {
      throw std::invalid_argument(key);
    }
  }
  if (o.tour.display.empty()) throw std::invalid_argument("-display");
  for (const ChosenClick& c : o.clicks) {
    if (c.position.column >= o.tour.sy || c.position.row >= o.tour.sx) {
      throw std::invalid_argument("-click outside the window");
    }
  }
  return o;
}

std::string ViewFile(const Options& o, int index) {
  char name[32];
  std::snprintf(name, sizeof name, "/view-%02d.png", index);
  return o.out + name;
}

// The target's pixel, kept inside the window should the target ever lie outside.
WindowPosition TargetPosition(const Tour& t, const Options& o) {
  WindowPosition p = t.PositionOf(o.targetX, o.targetY);
  p.column = std::clamp(p.column, 0, t.view().sy - 1);
  p.row = std::clamp(p.row, 0, t.view().sx - 1);
  return p;
}

int Run(const Options& o) {
  mkdir(o.out.c_str(), 0755);
  Tour t(o.tour);
  std::vector<RgbImage> views;
  for (int i = 1; i <= o.views; ++i) {
    const View v = t.view();
    const std::string differences = t.AwaitView(o.timeout);
    if (!differences.empty()) {
      std::printf("view %2d: not as predicted: %s\n", i, differences.c_str());
      return 1;
    }
    WritePng(t.window(), ViewFile(o, i));
    views.push_back(t.window());
    std::printf("view %2d: x %.9g .. %.9g, y %.9g .. %.9g  %s\n", i, v.xmin, v.xmax, v.ymin, v.ymax,
                ViewFile(o, i).c_str());
    std::fflush(stdout);
    if (i >= o.views) break;
    const std::size_t next = static_cast<std::size_t>(i - 1);
    if (next < o.clicks.size()) {
      t.Click(o.clicks[next].position, o.clicks[next].button, o.timeout);
    } else {
      t.Click(TargetPosition(t, o), kLeft, o.timeout);
    }
  }
  const std::string sheet = o.out + "/contact-sheet.png";
  WritePng(ContactSheet(views, kSheetPerRow, kSheetShrink, kSheetGap), sheet);
  std::printf("contact sheet: %s\n", sheet.c_str());
  return 0;
}

}  // namespace
}  // namespace tour

int main(int argc, char** argv) {
  tour::Options options;
  try {
    options = tour::Parse(argc, argv);
  } catch (const std::exception&) {
    std::fputs(tour::kUsage, stderr);
    return 2;
  }
  try {
    return tour::Run(options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tour: %s\n", e.what());
    return 1;
  }
}
