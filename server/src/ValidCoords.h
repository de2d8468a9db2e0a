// Whether a mouse report lies inside the server's window. Pure; safe on any thread.
#pragma once

#include "interface/FractalNetObj.h"

namespace Server {

// The window is transposed: mouse.x runs across its sy columns and mouse.y across its sx rows.
// Both bounds are inclusive; a missing report or a coordinate that is not a number is outside.
// The float bounds are widened to double, so the coordinate is compared exactly.
bool validCoords(const FractalNetObj::MouseInfoStar& mouse, float sx, float sy);

}  // namespace Server
