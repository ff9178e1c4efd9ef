#pragma once

#include <cstdint>

#include "foundation/Export.h"
#include "foundation/Types.h"

// Every camera sees the scene as a cube map laid out in one 3:2 image: faces
// +x, +z, -x in the upper row (v < 0.5), -z, +y, -y in the lower row.
namespace Quorvel::Camera::inline v2_0 {

// Scales the in-face components so that a face edge never reaches exactly 1.
inline constexpr float kCubeMapEdgeScale = 0.9999999f;

// Direction through (u, v) with the derivatives of the unnormalised face
// direction with respect to s = 2u - 1 and t = 2v - 1.
struct CubeMapDirection {
    int32_t face;
    VekPoint direction;    // unit length
    VekPoint dDirectionDs;
    VekPoint dDirectionDt;
};

// Face of the image coordinates s, t in [-1, 1] (0..5, see above).
QUORVEL_API int32_t cubeMapFace(float s, float t);

// Defined for every (u, v): positions outside [0, 1]^2 extrapolate the
// nearest face.
QUORVEL_API CubeMapDirection cubeMapSample(float u, float v);
QUORVEL_API VekPoint cubeMapDirection(float u, float v);

// Image position (u, v) whose face contains the direction.
QUORVEL_API VekPoint2 cubeMapPosition(const VekPoint& direction);

} // namespace Quorvel::Camera::inline v2_0
