#pragma once

#include <cstdint>

#include "foundation/Export.h"
#include "foundation/Types.h"

// Rays the host shoots for every pixel sample, in zone-of-view coordinates;
// the host moves them to world space with its camera-to-world matrix.
namespace Quorvel::Camera::inline v2_0 {

struct QvCameraRay {
    bool valid = false; // false: shoot nothing, discard the sample
    VekPoint origin{0.0f, 0.0f, 0.0f};
    VekPoint direction{0.0f, 0.0f, 0.0f};
    VekPoint dDirectionDs{0.0f, 0.0f, 0.0f};
    VekPoint dDirectionDt{0.0f, 0.0f, 0.0f};
};

// Faces of the box a ray with this direction leaves through or grazes.
QUORVEL_API uint32_t rayDirectionMask(const VekPoint& direction);

// Detection phase: ray of one camera through pixel (x, y) of the rendering
// image. Counts the ray for the pixel when it is valid.
QUORVEL_API QvCameraRay QvGetRayDetectPhase(const uint64_t& cameraIndex, const double& x, const double& y);

// Render phase: ray through the plaque that the pixel (x, y) of the current
// block stands for; the fraction of x and y selects the point inside it.
QUORVEL_API QvCameraRay QvGetRayRenderPhase(const double& x, const double& y);

// Ray from the specular point through the image position (x, y).
QUORVEL_API QvCameraRay QvGetSpecularRay(const double& x, const double& y);

// Index of the next sample of pixel (x, y); the k-th sample of a pixel uses
// camera k. False outside the image.
QUORVEL_API bool QvGetCurrentSampleIndexCount(const int32_t& x, const int32_t& y, uint64_t& index);

} // namespace Quorvel::Camera::inline v2_0
