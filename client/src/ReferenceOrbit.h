// The reference arithmetic of one work unit, shared by the reference computation and by the
// vector kernels, which walk the same grid and give the reference every step they cannot prove
// they compute exactly as it does. Pure functions; safe on any thread.
#pragma once

#include <cstdint>

namespace Client {

// (upper - lower) / n in extended precision, stored as a float: the grid's column or row step.
float GridStep(float lower, float upper, int32_t n);

// One iteration of the reference from (fx, fy) for c = (x, y): replaces fx, fy by the new
// values and returns whether the new |z|^2 exceeds 4. The vector kernels give it the steps they
// cannot prove.
bool ReferenceStep(float x, float y, float& fx, float& fy);

// The value stored for the point c = (x, y): the iteration at which |z|^2 first exceeded 4, or
// 1 when the count reached maxiter.
int32_t ReferenceCount(float x, float y, int32_t maxiter);

}  // namespace Client
