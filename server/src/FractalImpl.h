// One work unit as the server hands it out: a remote object that a client asks once for its
// parameters. Made only by RequestFractal; once returned it belongs to the network object
// runtime, which keeps it while a client holds a reference. When the last holder lets go (or
// dies), the unit dies and notes its row and view in the state's ReleasedUnits, so that a row
// whose result never came is handed out again. It also counts itself in the state's liveUnits.
//
// Thread safety: the fields never change after construction; GetFractalParameters takes the
// server lock like every other call on the server, so it too waits while a finished image awaits
// its click. The destructor may run on any thread, also one holding `mu`: it never takes `mu`.
#pragma once

#include <cstdint>

#include "interface/FractalNetObj.h"
#include "server/src/ReleasedUnits.h"

namespace Server {

struct ServerState;

class FractalImpl : public FractalNetObj::Fractal {
 public:
  // `state` must outlive the unit. The unit's type is always null, whatever `unit` carries.
  // `origin` is the row and view that `unit` was made for.
  FractalImpl(ServerState& state, const FractalNetObj::FractalParams& unit, UnitOrigin origin);
  ~FractalImpl() override;

  FractalNetObj::FractalParams getFractalParameters() override { return GetFractalParameters(); }

  // The unit's own values, also after the view has moved on; `type` is null.
  FractalNetObj::FractalParams GetFractalParameters();

 private:
  ServerState& state_;
  const UnitOrigin origin_;

  const NetObj::Text type;  // never set: always null
  const int32_t sx;
  const int32_t sy;
  const float xmin;
  const float xmax;
  const float ymin;
  const float ymax;
  const int32_t maxiter;
};

}  // namespace Server
