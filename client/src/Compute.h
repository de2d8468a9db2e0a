// The client's share of the numerical work: the escape-time iteration counts of one work unit.
// Pure functions: no output, no state between calls; safe on any thread.
#pragma once

#include "interface/FractalNetObj.h"

namespace Client {

// Samples f's grid of sx columns by sy rows (only sx, sy, the four bounds and maxiter are read)
// and returns a new sx by sy PixMap that the caller owns: for each point the iteration at which
// |z|^2 first exceeded 4, or 1 when the count reached maxiter. Runs on the widest vector unit
// the processor has and gives the same counts as ComputeReference, bit for bit.
FractalNetObj::PixMap Compute(const FractalNetObj::FractalParams& f);

// The same counts, one point at a time in x87 extended precision: the definition of the
// arithmetic, kept for tests and benchmarks and for lanes the vector kernels hand over.
FractalNetObj::PixMap ComputeReference(const FractalNetObj::FractalParams& f);

}  // namespace Client
