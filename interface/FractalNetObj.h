// The remote interface that server and client are both built against: the work-unit record,
// the result array, the two remote object types, and the display procedures that the server's
// display adapter implements.
//
// Ownership: a PixMap is shared; whoever created it fills it, and a copy received in a remote
// call belongs to the receiver. An ImageRec is the server's, refilled for every display. Each
// MouseInfo that getMouseAction returns belongs to its caller.
//
// Thread safety: none of these records carries a lock; the server guards what its threads share.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <span>
#include <string_view>

#include "netobj/NetObj.h"

namespace FractalNetObj {

// Iteration counts indexed [column][row]: first index along the real axis (x), second along
// the imaginary axis (y); element [i][j] at flat position i*ny + j. May be null.
using PixMap = NetObj::Int32Array;

// One rectangle of the complex plane sampled on sx by sy points. Travels by value.
struct FractalParams {
  NetObj::Text type;  // never set or read by the system; null in every work unit
  int32_t sx = 0;     // columns: grid points along the real axis
  int32_t sy = 0;     // rows: grid points along the imaginary axis
  float xmin = 0.0f;  // real part of the first column
  float xmax = 0.0f;  // column step is (xmax - xmin) / sx
  float ymin = 0.0f;  // imaginary part of the first row
  float ymax = 0.0f;  // row step is (ymax - ymin) / sy
  int32_t maxiter = 0;
};

// What the server hands to the display. The display takes the extents from here, not from data.
struct ImageRec {
  int32_t width = 0;   // first extent of data: image columns, shown as window rows
  int32_t height = 0;  // second extent of data: image rows, shown as window columns
  PixMap data;
};
using ImageStar = std::shared_ptr<ImageRec>;

// One mouse action: the X11 pointer state mask and the position in window drawing coordinates.
struct MouseInfo {
  int32_t button = 0;  // kLeftButtonAlone, kRightButtonAlone, or any other state mask
  double x = 0.0;      // window column
  double y = 0.0;      // window height - 1 - window row
};

// MouseInfo::button values: one button held alone, with no modifier key and no lock active (the
// X11 masks Button1Mask, Button2Mask, Button3Mask). A click zooms only with the left or the right
// button alone.
inline constexpr int32_t kLeftButtonAlone = 256;
inline constexpr int32_t kMiddleButtonAlone = 512;
inline constexpr int32_t kRightButtonAlone = 1024;
using MouseInfoStar = std::unique_ptr<MouseInfo>;

// Declared by the interface; nothing raises or handles it.
class Reject : public std::exception {
 public:
  const char* what() const noexcept override { return "FractalNetObj.Reject"; }
};

// One work unit, handed out by reference. The server's implementation is FractalImpl.
class Fractal : public NetObj::T {
 public:
  static constexpr std::string_view kTypeName = "FractalNetObj.Fractal";

  // Raises NetObj::Error, Thread::Alerted.
  virtual FractalParams getFractalParameters() = 0;

  std::span<const std::string_view> RemoteTypes() const override {
    static constexpr std::string_view kTypes[] = {kTypeName, "NetObj.T"};
    return kTypes;
  }
};

// The server's one object, exported as "fractal". The server's implementation is
// FractalNetObjImpl.
class T : public NetObj::T {
 public:
  static constexpr std::string_view kTypeName = "FractalNetObj.T";

  // The next work unit, or null when none is to be had now. Raises NetObj::Error,
  // Thread::Alerted.
  virtual std::shared_ptr<Fractal> requestFractal() = 0;
  // Hands back a computed unit. Raises NetObj::Error, Thread::Alerted.
  virtual void returnResults(FractalParams f, PixMap pixmap) = 0;

  std::span<const std::string_view> RemoteTypes() const override {
    static constexpr std::string_view kTypes[] = {kTypeName, "NetObj.T"};
    return kTypes;
  }
};

// The display procedures, implemented by the server's display adapter. Called only by one
// thread at a time.
void InitUI(int32_t width, int32_t height);
void DisplayFractal(const ImageStar& image, int32_t crossHairs);
MouseInfoStar getMouseAction();

}  // namespace FractalNetObj
