// Entry points of the vector kernels. Each runs the orbits of every point the source hands out
// and stores their counts through the source; each must only be called on a processor that has
// its instruction set (the dispatcher in FastCompute.cc checks). Not thread-safe per source.
#pragma once

#include "client/src/ComputeIsa.h"
#include "client/src/PointSource.h"

namespace Client {

void RunAvx512(PointSource& source, HandOverCounts& counts);
void RunAvx2(PointSource& source, HandOverCounts& counts);

}  // namespace Client
