// The server's one remote object, exported as "fractal": it hands out the rows of the current
// view as work units (RequestFractal) and collects their results (ReturnResults), which also
// shows a finished view and moves it on the user's click.
//
// Owned by the ServerState it serves (myFractalNetObj) and, once exported, also by the network
// object runtime; the state must outlive it.
//
// Thread safety: both methods may be called from any number of threads at once; each holds the
// server lock for its whole body. ReturnResults keeps it while a finished image waits for its
// click, so meanwhile every other call on the server waits.
#pragma once

#include <memory>

#include "interface/FractalNetObj.h"

namespace Server {

struct ServerState;

class FractalNetObjImpl : public FractalNetObj::T {
 public:
  explicit FractalNetObjImpl(ServerState& state) : state_(state) {}

  std::shared_ptr<FractalNetObj::Fractal> requestFractal() override { return RequestFractal(); }
  void returnResults(FractalNetObj::FractalParams f, FractalNetObj::PixMap pixmap) override {
    ReturnResults(std::move(f), std::move(pixmap));
  }

  // A new FractalImpl for the next row of the current view, rows in increasing order. Once every
  // row is out, a row whose units have all been released before its result came in (its holder
  // died or dropped it) goes out again, the lowest such row first; when there is none, null at
  // once.
  std::shared_ptr<FractalNetObj::Fractal> RequestFractal();

  // Copies a computed row into the image and counts it. The result that brings in the last row
  // of the view displays the image, waits for a click inside the window, moves and zooms the
  // view and starts the next one, all before it returns. A click whose new view could not be
  // rendered and placed (a bound not finite, an extent zero, or one too large for a float)
  // leaves the view as it was; the next view is then the same one again.
  //
  // Each row of a view counts once. A result is taken only when its parameters are, bit for
  // bit, those of a row of the current view not yet received and its pixmap covers that row;
  // anything else (a repeat, a unit of an earlier view, a missing or short pixmap, a row outside
  // the image) is dropped without a trace and the call returns normally.
  void ReturnResults(FractalNetObj::FractalParams f, FractalNetObj::PixMap pixmap);

 private:
  ServerState& state_;
};

}  // namespace Server
