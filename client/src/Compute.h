// The client's share of the numerical work: the escape-time iteration counts of one work unit.
// A pure function: no output, no state between calls; safe on any thread.
#pragma once

#include "interface/FractalNetObj.h"

namespace Client {

// Samples f's grid of sx columns by sy rows (only sx, sy, the four bounds and maxiter are read)
// and returns a new sx by sy PixMap that the caller owns: for each point the iteration at which
// |z|^2 first exceeded 4, or 1 when the count reached maxiter.
FractalNetObj::PixMap Compute(const FractalNetObj::FractalParams& f);

}  // namespace Client
