// Entry points of the vector kernels. Each runs the orbits of every point the source hands out
// and stores their counts through the source; each must only be called on a processor that has
// its instruction set (the dispatcher in FastCompute.cc, and tests, check IsaAvailable first).
// Not thread-safe per source; the probes are pure.
#pragma once

#include "client/src/ComputeIsa.h"
#include "client/src/PointSource.h"

namespace Client {

void RunAvx512(PointSource& source, HandOverCounts& counts);
void RunAvx2(PointSource& source, HandOverCounts& counts);

// For tests of the step's proof obligations: one vector step from each given lane state, taken
// exactly as the kernels take it. The state must meet the step's preconditions (OrbitStep.h).
struct ProbeLane {
  float x, y;    // c
  float fx, fy;  // z before the step
};
struct ProbeResult {
  float fx, fy;  // z after the vector step
  bool proven;   // kept in the lane: proven to match the reference, by the checks or the
                 // second look (OrbitStep.h)
  bool escaped;  // the vector's escape test, which binds only when proven
};
void ProbeStepsAvx512(const ProbeLane* lanes, ProbeResult* results, int n);
void ProbeStepsAvx2(const ProbeLane* lanes, ProbeResult* results, int n);

}  // namespace Client
