#pragma once

#include <cstdint>

#include "foundation/Export.h"

// Depths from 1.5 to 100000 scene units quantised on 15 bits with constant
// steps of viewing angle (the angle whose tangent is depth / 100). Shared by
// the froxel slices and the final sample codes.
inline constexpr float kDepthCodeLo = 0.014998876f; // atan(0.015)
inline constexpr float kDepthCodeHi = 1.5697963f;   // atan(1000)
inline constexpr uint32_t kDepthCodeMax = 32767;

QUORVEL_API float decodeDepth(uint32_t code);
QUORVEL_API uint32_t encodeDepth(float depth);
