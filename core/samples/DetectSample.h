#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "foundation/Export.h"
#include "foundation/Types.h"

// Detection hits: each one becomes a plaque of the camera that sees it best,
// found by tracing test rays through the host.
namespace Quorvel::DetectSample::inline v2_0 {

// One detection hit as the host reports it.
struct QvDetectSample {
    bool hair = false;
    int32_t x = 0;
    int32_t y = 0;
    uint64_t cameraIndex = 0;
    bool transparent = false;
    VekPoint normal{0.0f, 0.0f, 0.0f};   // world space
    VekPoint position{0.0f, 0.0f, 0.0f}; // world space
};

// Result of one test ray. The host writes point, normal and distance through
// the hit-data pointer it receives, which is the address of `point`.
struct RayHit {
    bool hit = false;
    VekPoint point{0.0f, 0.0f, 0.0f};
    VekPoint normal{0.0f, 0.0f, 0.0f};
    double distance = 0.0;
};

// The host's ray test. `trace` shoots from origin along the unit direction and
// reports the first hit closer than maxDistance.
struct RayTestInterface {
    void* userData = nullptr;
    bool (*trace)(const VekPoint& origin, const VekPoint& direction, double maxDistance, void* hitData,
                  void* userData) = nullptr;
    // Owned by the host; the core keeps the slot but never calls it.
    int (*reserved)(void* userData) = nullptr;
};

// For hosts: fills the hit data that `trace` receives.
inline void writeRayHitData(void* hitData, const VekPoint& point, const VekPoint& normal, double distance)
{
    auto* bytes = static_cast<unsigned char*>(hitData);
    std::memcpy(bytes, &point, sizeof point);
    std::memcpy(bytes + (offsetof(RayHit, normal) - offsetof(RayHit, point)), &normal, sizeof normal);
    std::memcpy(bytes + (offsetof(RayHit, distance) - offsetof(RayHit, point)), &distance, sizeof distance);
}

// Turns one hit into a plaque of the best camera and appends it to the
// thread's bucket. Returns the debug colour the host shows for the hit; an
// alpha of 0 means the probe continues behind the surface.
QUORVEL_API VekRGBA QvProcessDetectSample(RayTestInterface* rayTest, const QvDetectSample& sample,
                                          const uint64_t& threadIndex);

// Gives the sample the camera whose world position is nearest to the point
// (the lower index on a tie).
QUORVEL_API void QvMatchSampleIndex(QvDetectSample& sample, const VekPoint& worldPoint);

// Colour that tells which camera took a plaque: the camera index as a hue.
QUORVEL_API VekRGBA plaqueDebugColor(uint64_t cameraIndex);

} // namespace Quorvel::DetectSample::inline v2_0
