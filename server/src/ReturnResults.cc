// Result collection: computed rows go into the image, each row of a view once; the row that
// completes the view shows the image and moves the view on the user's click.
#include <bit>
#include <cstdint>
#include <mutex>
#include <optional>

#include "server/src/FractalNetObjImpl.h"
#include "server/src/ServerState.h"
#include "server/src/ValidCoords.h"
#include "server/src/ViewMath.h"

namespace Server {

namespace {

using FractalNetObj::FractalParams;

bool SameBits(float a, float b) { return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b); }

// Everything a unit of the current view carries apart from its row coordinate.
bool IsUnitOfView(const ServerState& s, const FractalParams& f) {
  return f.sx == s.sx && f.sy == 1 && f.maxiter == s.maxiter && SameBits(f.xmin, s.xmin) &&
         SameBits(f.xmax, s.xmax) && SameBits(f.ymin, f.ymax);
}

bool IsUnitForRow(const ServerState& s, const FractalParams& f, int32_t r) {
  return !s.received[static_cast<std::size_t>(r)] && SameBits(f.ymin, s.UnitForRow(r).ymin);
}

// The row of the current view, not yet received, that `f` was handed out for. Normally that is
// the row its coordinate locates. When the rows lie closer together than a float can tell apart,
// several rows share one coordinate and rounding can point a unit at a neighbouring row or past
// the last one; the unit is then matched against every row, so that each row is still filled
// once and the view completes.
std::optional<int32_t> FindRow(const ServerState& s, const FractalParams& f, float yrange) {
  if (!IsUnitOfView(s, f)) return std::nullopt;
  const std::optional<int32_t> located = LocateIndex(f.ymin, s.ymin, yrange, s.sy);
  if (located && *located >= 0 && *located < s.sy && IsUnitForRow(s, f, *located)) {
    return located;
  }
  for (int32_t r = 0; r < s.sy; ++r) {
    if (IsUnitForRow(s, f, r)) return r;
  }
  return std::nullopt;
}

bool CoversRow(const FractalNetObj::PixMap& pixmap, int32_t sx) {
  return pixmap != nullptr && pixmap->nx() >= sx && pixmap->ny() >= 1;
}

void CopyRow(ServerState& s, const NetObj::Int32Array2D& pixmap, int32_t row) {
  for (int32_t x = 0; x < s.sx; ++x) s.image_map->at(x, row) = pixmap.at(x, 0);
}

// Polls until the pointer is pressed inside the window. Reports outside it are dropped.
FractalNetObj::MouseInfoStar AwaitClick(const ServerState& s) {
  FractalNetObj::MouseInfoStar mouse;
  do {
    mouse = FractalNetObj::getMouseAction();
  } while (!validCoords(mouse, static_cast<float>(s.sx), static_cast<float>(s.sy)));
  return mouse;
}

// One click makes one step, or none when the view it leads to cannot be rendered and placed:
// the view then stays at the last one that can, and the user can click elsewhere.
void MoveAndZoom(ServerState& s, const FractalNetObj::MouseInfo& mouse) {
  const std::optional<ViewBounds> next =
      ClickStep({s.xmin, s.xmax, s.ymin, s.ymax}, s.sx, s.sy, mouse.button, mouse.x, mouse.y);
  if (!next) return;
  s.xmin = next->xmin;
  s.xmax = next->xmax;
  s.ymin = next->ymin;
  s.ymax = next->ymax;
}

void ShowAndMoveOn(ServerState& s) {
  s.image->width = s.sx;
  s.image->height = s.sy;
  s.image->data = s.image_map;
  FractalNetObj::DisplayFractal(s.image, s.crossHairs);
  const FractalNetObj::MouseInfoStar mouse = AwaitClick(s);
  MoveAndZoom(s, *mouse);
  s.StartView();
}

}  // namespace

void FractalNetObjImpl::ReturnResults(FractalParams f, FractalNetObj::PixMap pixmap) {
  std::scoped_lock lock(state_.mu);
  ServerState& s = state_;
  const float yrange = Extent(s.ymin, s.ymax);
  if (!CoversRow(pixmap, s.sx)) return;
  const std::optional<int32_t> row = FindRow(s, f, yrange);
  if (!row) return;
  CopyRow(s, *pixmap, *row);
  s.received[static_cast<std::size_t>(*row)] = true;
  ++s.numResults;
  if (s.numResults == s.sy) ShowAndMoveOn(s);
}

}  // namespace Server
