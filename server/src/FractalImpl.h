// One work unit as the server hands it out: a remote object that a client asks once for its
// parameters. Made only by RequestFractal; once returned it belongs to the network object
// runtime, which keeps it while a client holds a reference.
//
// Thread safety: the fields never change after construction; GetFractalParameters takes the
// server lock like every other call on the server, so it too waits while a finished image awaits
// its click.
#pragma once

#include <cstdint>

#include "interface/FractalNetObj.h"

namespace Server {

struct ServerState;

class FractalImpl : public FractalNetObj::Fractal {
 public:
  // `state` must outlive the unit. The unit's type is always null, whatever `unit` carries.
  FractalImpl(ServerState& state, const FractalNetObj::FractalParams& unit);

  FractalNetObj::FractalParams getFractalParameters() override { return GetFractalParameters(); }

  // The unit's own values, also after the view has moved on; `type` is null.
  FractalNetObj::FractalParams GetFractalParameters();

 private:
  ServerState& state_;

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
