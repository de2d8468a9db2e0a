// Everything the server knows: the current view, how far it has been handed out and collected,
// the assembled image, and the one exported server object.
//
// The program keeps one instance for the life of the process; tests make fresh ones. The state
// owns image_map, image and myFractalNetObj. Every object it hands out (myFractalNetObj and each
// FractalImpl) refers back to it, so the state must outlive them all: the program never destroys
// its instance, a test drops its units before its state.
//
// Thread safety: sx, sy, crossHairs and maxiter are fixed at construction and may be read without
// a lock. The view (xmin .. ymax), curY, numResults, received, the contents of image_map and the
// fields of image are read and written only with `mu` held. `mutex` and `cv` belong to the
// program's main thread, which parks on them; nothing else touches them.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "interface/FractalNetObj.h"

namespace Server {

class FractalNetObjImpl;

// The largest image the server accepts; the command line keeps within these.
inline constexpr int32_t kMaxWidth = 1600;
inline constexpr int32_t kMaxHeight = 1200;

struct ServerState {
  // Throws std::invalid_argument unless 1 <= sx <= kMaxWidth and 1 <= sy <= kMaxHeight.
  ServerState(int32_t sx, int32_t sy, int32_t crossHairs);
  ServerState(const ServerState&) = delete;
  ServerState& operator=(const ServerState&) = delete;
  ~ServerState();

  // The unit that row r of the current view is handed out as: the whole width, one row, both y
  // bounds at the row's coordinate. Requires `mu` held and 0 <= r < sy.
  FractalNetObj::FractalParams UnitForRow(int32_t r) const;

  // Starts collecting a new view: nothing handed out, nothing received. Requires `mu` held.
  void StartView();

  std::condition_variable cv;
  std::mutex mutex;
  std::shared_ptr<FractalNetObjImpl> myFractalNetObj;

  // The server lock.
  std::mutex mu;
  int32_t curY = 0;        // next row to hand out; sy once every row is out
  int32_t numResults = 0;  // distinct rows of the current view received so far
  // received[r]: row r of the current view is in image_map. Makes a row count once.
  std::vector<bool> received;

  const int32_t crossHairs;  // non-zero: draw cross-hairs over the image
  float xmin = -2.5f;
  float xmax = 1.25f;
  float ymin = -1.25f;
  float ymax = 1.25f;
  const int32_t sx;  // columns of the image, samples along x
  const int32_t sy;  // rows of the image, samples along y; also the work units per view
  const int32_t maxiter = 96;

  FractalNetObj::PixMap image_map;  // sx by sy, element [x][y]; overwritten row by row
  FractalNetObj::ImageStar image;   // handed to DisplayFractal; filled when a view is complete
};

}  // namespace Server
