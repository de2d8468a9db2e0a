// Everything the server knows: the current view, how far it has been handed out and collected,
// the assembled image, and the one exported server object.
//
// The program keeps one instance for the life of the process; tests make fresh ones. The state
// owns image_map, image and myFractalNetObj. Every object it hands out (myFractalNetObj and each
// FractalImpl) refers back to it, so the state must outlive them all: the program never destroys
// its instance, a test drops its units before its state.
//
// Thread safety: sx, sy, crossHairs and maxiter are fixed at construction and may be read without
// a lock. The view (xmin .. ymax), viewSerial, curY, numResults, received, lostRows, the contents
// of image_map and the fields of image are read and written only with `mu` held. `released` and
// `liveUnits` look after themselves and are used without `mu` (units die on any thread). `mutex`
// and `cv` belong to the program's main thread, which parks on them; nothing else touches them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "interface/FractalNetObj.h"
#include "server/src/ReleasedUnits.h"

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

  // Starts collecting a new view: nothing handed out, nothing received, nothing lost, and a new
  // serial, so that units of the views before it no longer count. Requires `mu` held.
  void StartView();

  // The number of work units (FractalImpl objects) alive right now, in this view or any earlier
  // one. Cheap; any thread.
  int64_t LiveUnits() const { return liveUnits.load(std::memory_order_relaxed); }

  std::condition_variable cv;
  std::mutex mutex;
  std::shared_ptr<FractalNetObjImpl> myFractalNetObj;

  // The server lock.
  std::mutex mu;
  int32_t curY = 0;        // next row to hand out; sy once every row is out
  int32_t numResults = 0;  // distinct rows of the current view received so far
  // received[r]: row r of the current view is in image_map. Makes a row count once.
  std::vector<bool> received;
  uint64_t viewSerial = 0;  // tells the units of the current view from those of earlier ones
  // Rows of the current view that went out, were released by every holder before their result
  // came in, and have not gone out again yet; handed out again, lowest first, once curY is sy.
  std::set<int32_t> lostRows;

  ReleasedUnits released;              // filled by dying units, emptied by RequestFractal
  std::atomic<int64_t> liveUnits = 0;  // FractalImpl objects alive; see LiveUnits

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
