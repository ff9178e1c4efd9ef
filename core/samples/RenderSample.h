#pragma once

#include <cstdint>

#include "foundation/Export.h"
#include "foundation/Types.h"
#include "samples/QvRenderSample.h"

// Filling a shaded render sample and routing it into the calling thread's
// bucket. Called per shaded ray by every render thread.
namespace Quorvel::RenderSample::inline v2_0 {

// One zeroed slot per registered AOV.
QUORVEL_API void QvInitSampleAov(QvRenderSample& sample);

// World point to camera space.
QUORVEL_API void QvSetSamplePosition(QvRenderSample& sample, const VekPoint& worldPoint);
// World normal rotated to camera space; not normalised.
QUORVEL_API void QvSetSampleNormal(QvRenderSample& sample, const VekPoint& worldNormal);
QUORVEL_API void QvSetSampleColor(QvRenderSample& sample, const VekRGBA& color);
// Keeps the signed fractional parts of the screen position.
QUORVEL_API void QvSetSamplePosXY(QvRenderSample& sample, const double& x, const double& y);
QUORVEL_API void QvSetSampleZ(QvRenderSample& sample, double z);

// Copies 16 bytes into the slot of the alias.
QUORVEL_API void QvAddSampleAov(QvRenderSample& sample, const void* data, const int32_t& alias);
QUORVEL_API void QvAddRightColorSampleAov(QvRenderSample& sample, const VekRGB& color);
QUORVEL_API void QvAddGlassSampleAov(QvRenderSample& sample, int32_t value);
// Stores the velocity in camera space, scaled by the render scale.
QUORVEL_API void QvAddWSVelocitySampleAov(QvRenderSample& sample, const VekPoint& worldVelocity);
QUORVEL_API void QvAddCockpitSampleAov(QvRenderSample& sample, const bool& cockpit);

// Appends a copy of the sample to the group of groupKey in pixel (x, y) of
// the thread's open bucket.
QUORVEL_API void QvProcessRenderSample(const uint64_t& threadIndex, const int32_t& x, const int32_t& y,
                                       uint64_t groupKey, const QvRenderSample& sample);

} // namespace Quorvel::RenderSample::inline v2_0
