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
inline int32_t cubeMapFace(float s, float t)
{
    constexpr float third = 1.0f / 3.0f;
    const int32_t column = s < -third ? 0 : (s < third ? 1 : 2);
    return t >= 0.0f ? 3 + column : column;
}

// The face's direction through s, t, not normalised. Inline: plaque geometry
// asks for five of these per plaque.
inline VekPoint cubeMapFaceDirection(int32_t face, float s, float t)
{
    constexpr float k = kCubeMapEdgeScale;
    switch (face) {
    case 0: // +x
        return {1.0f, (2.0f * t + 1.0f) * k, (3.0f * s + 2.0f) * k};
    case 1: // +z
        return {-3.0f * s * k, (2.0f * t + 1.0f) * k, 1.0f};
    case 2: // -x
        return {-1.0f, (2.0f * t + 1.0f) * k, (2.0f - 3.0f * s) * k};
    case 3: // -z
        return {(3.0f * s + 2.0f) * k, (2.0f * t - 1.0f) * k, -1.0f};
    case 4: // +y
        return {-3.0f * s * k, 1.0f, (1.0f - 2.0f * t) * k};
    default: // -y
        return {(2.0f - 3.0f * s) * k, -1.0f, (2.0f * t - 1.0f) * k};
    }
}

// Defined for every (u, v): positions outside [0, 1]^2 extrapolate the
// nearest face.
QUORVEL_API CubeMapDirection cubeMapSample(float u, float v);

inline VekPoint cubeMapDirection(float u, float v)
{
    const float s = 2.0f * u - 1.0f;
    const float t = 2.0f * v - 1.0f;
    return Utils::normalize(cubeMapFaceDirection(cubeMapFace(s, t), s, t));
}

// Image position (u, v) whose face contains the direction.
QUORVEL_API VekPoint2 cubeMapPosition(const VekPoint& direction);

} // namespace Quorvel::Camera::inline v2_0
