#include "camera/CubeMap.h"

#include <cmath>

namespace Quorvel::Camera::inline v2_0 {

namespace {

constexpr float kInverseEpsilon = 1.1920929e-7f;

} // namespace

CubeMapDirection cubeMapSample(float u, float v)
{
    constexpr float k = kCubeMapEdgeScale;
    const float s = 2.0f * u - 1.0f;
    const float t = 2.0f * v - 1.0f;

    CubeMapDirection r{};
    r.face = cubeMapFace(s, t);
    switch (r.face) {
    case 0: // +x
        r.dDirectionDs = {0.0f, 0.0f, 3.0f * k};
        r.dDirectionDt = {0.0f, 2.0f * k, 0.0f};
        break;
    case 1: // +z
        r.dDirectionDs = {-3.0f * k, 0.0f, 0.0f};
        r.dDirectionDt = {0.0f, 2.0f * k, 0.0f};
        break;
    case 2: // -x
        r.dDirectionDs = {0.0f, 0.0f, -3.0f * k};
        r.dDirectionDt = {0.0f, 2.0f * k, 0.0f};
        break;
    case 3: // -z
        r.dDirectionDs = {3.0f * k, 0.0f, 0.0f};
        r.dDirectionDt = {0.0f, 2.0f * k, 0.0f};
        break;
    case 4: // +y
        r.dDirectionDs = {-3.0f * k, 0.0f, 0.0f};
        r.dDirectionDt = {0.0f, 0.0f, -2.0f * k};
        break;
    default: // -y
        r.dDirectionDs = {-3.0f * k, 0.0f, 0.0f};
        r.dDirectionDt = {0.0f, 0.0f, 2.0f * k};
        break;
    }
    r.direction = Utils::normalize(cubeMapFaceDirection(r.face, s, t));
    return r;
}

VekPoint2 cubeMapPosition(const VekPoint& direction)
{
    const float ax = std::fabs(direction.x);
    const float ay = std::fabs(direction.y);
    const float az = std::fabs(direction.z);

    float s = 0.0f;
    float t = 0.0f;
    if (ax > ay && ax > az) {
        const float m = ax + kInverseEpsilon;
        const float y = direction.y / m;
        const float z = direction.z / m;
        t = y * 0.5f - 0.5f;
        s = direction.x > 0.0f ? z / 3.0f - 0.6666667f : 0.6666667f - z / 3.0f;
    } else if (ay > ax && ay > az) {
        const float m = ay + kInverseEpsilon;
        const float x = direction.x / m;
        const float z = direction.z / m;
        if (direction.y > 0.0f) {
            s = -x / 3.0f;
            t = 0.5f - z * 0.5f;
        } else {
            s = 0.6666667f - x / 3.0f;
            t = z * 0.5f + 0.5f;
        }
    } else {
        const float m = az + kInverseEpsilon;
        const float x = direction.x / m;
        const float y = direction.y / m;
        if (direction.z > 0.0f) {
            s = -x / 3.0f;
            t = y * 0.5f - 0.5f;
        } else {
            s = x / 3.0f - 0.6666667f;
            t = y * 0.5f + 0.5f;
        }
    }
    return {0.5f * s + 0.5f, 0.5f * t + 0.5f};
}

} // namespace Quorvel::Camera::inline v2_0
