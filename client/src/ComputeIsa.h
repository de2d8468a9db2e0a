// Which instruction set computes a work unit, and what the vector kernels report about the
// steps they gave back to the reference arithmetic. For tests and benchmarks; Compute picks the
// widest available set by itself. All functions are pure and safe on any thread.
#pragma once

#include <cstdint>

#include "interface/FractalNetObj.h"

namespace Client {

// kAvx2 needs FMA as well; kAvx512 needs AVX-512F.
enum class ComputeIsa { kReference, kAvx2, kAvx512 };

// True when this processor can run `isa` (the reference runs everywhere).
bool IsaAvailable(ComputeIsa isa);

// The widest available set: the one Compute uses.
ComputeIsa BestIsa();

const char* IsaName(ComputeIsa isa);

// Where the work of one call went. The vector kernels add to it; the reference leaves it alone.
struct HandOverCounts {
  // Points computed whole by the reference: outside the vector domain (a coordinate not finite
  // or beyond the bound that keeps intermediates far from overflow) or maxiter below 2.
  uint64_t reference_points = 0;
  // Steps of lanes handed to the reference in mid-orbit, by the first reason that held:
  uint64_t real_rounding = 0;  // the new real part lay too close to a float rounding boundary
  uint64_t imag_rounding = 0;  // the same for the imaginary part
  uint64_t modulus_four = 0;   // |z|^2 came out as exactly 4 in double
  // Steps that failed a check but had no rounding at all in double, so were kept in the lanes.
  uint64_t exact_rechecks = 0;
  // Iterations done in vector lanes, counting those of handed-over lanes before the hand-over.
  uint64_t vector_steps = 0;

  uint64_t HandedOver() const { return real_rounding + imag_rounding + modulus_four; }
};

// Compute with a chosen set: the reference for kReference, else the vector kernel, which falls
// back to the reference for points it cannot take. Throws std::invalid_argument for a set this
// processor lacks or for a negative extent. `counts` may be null.
FractalNetObj::PixMap ComputeWith(ComputeIsa isa, const FractalNetObj::FractalParams& f,
                                  HandOverCounts* counts);

}  // namespace Client
