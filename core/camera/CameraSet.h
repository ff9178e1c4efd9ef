#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "foundation/Export.h"
#include "foundation/Types.h"

// The fixed set of cameras that samples the zone of view: 255 on the surface
// of the box looking outward and one at its centre looking everywhere.
namespace Quorvel::Camera::inline v2_0 {

inline constexpr std::size_t kCameraCount = 256;

// Box faces a camera lies on, one bit per face.
inline constexpr uint32_t kFaceMinusZ = 1;
inline constexpr uint32_t kFacePlusX = 2;
inline constexpr uint32_t kFacePlusZ = 4;
inline constexpr uint32_t kFaceMinusX = 8;
inline constexpr uint32_t kFacePlusY = 16;
inline constexpr uint32_t kFaceMinusY = 32;
inline constexpr uint32_t kAllFaces = 63;

// Three parallel arrays indexed by camera. A negative priority disables the
// camera.
struct CameraSet {
    std::vector<VekPoint> positions;
    std::vector<float> priorities;
    std::vector<uint32_t> faceMasks;
};

// Where the set goes: ZOV scaling, render scale and ZOV offsets in box units.
struct CameraPlacement {
    VekPoint zovScaling{1.0f, 0.5f, 1.0f};
    float renderScale = 1.0f;
    int32_t offsetRight = 0;
    int32_t offsetTop = 0;
    int32_t offsetBack = 0;
    bool draft = false;
    // Every camera may shoot in every direction (rendering inside the box).
    bool allDirections = false;
};

// Table priorities of the 256 cameras, before the centre camera is chosen.
QUORVEL_API const std::array<float, kCameraCount>& cameraPriorityTable();

// Positions on the unit box [-1, 1]^3, in set order.
QUORVEL_API std::array<VekPoint, kCameraCount> unitCameraPositions();

// Faces of the unit box the position lies on.
QUORVEL_API uint32_t boxFaceMask(const VekPoint& unitPosition);

// The full set with its centre camera; a draft set holds camera 0 only, at
// the origin, seeing all directions.
QUORVEL_API CameraSet makeCameraSet(const CameraPlacement& placement);

// The set as files without a camera table imply it: table priorities, no
// centre camera, never cut to one camera.
QUORVEL_API CameraSet makeCameraSetWithoutCentre(const CameraPlacement& placement);

QUORVEL_API std::vector<VekPoint> cameraWorldPositions(const std::vector<VekPoint>& positions,
                                                       const VekMatrix4& cameraToWorld);

// Ray against the clipping sphere: true when it meets the sphere at or ahead
// of the origin. The direction must be unit length.
QUORVEL_API bool raySphereHit(const VekPoint& origin, const VekPoint& direction, const VekPoint& centre,
                              float radius);

// True when two depths p and q seen at distance h cannot belong to the same
// surface on an image W pixels wide.
QUORVEL_API bool depthsFarApart(double p, double q, double h, float W);

// Proximity in scene units of the shared rendering context.
QUORVEL_API bool QvIsAtProximity(const float& a, const float& b, const float& h);

// Weight in [0, 1] of the eye shift for a depth a seen at distance b.
QUORVEL_API float getEyeShiftFactor(float a, float b);

} // namespace Quorvel::Camera::inline v2_0
