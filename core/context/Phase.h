#pragma once

#include <cstdint>

#include "foundation/Export.h"
#include "foundation/Types.h"
#include "io/AovFormat.h"

// Phase control and settings of the process-wide rendering context. Settings
// are accepted between QvInitPhase and QvPhaseBegin unless noted.
namespace Quorvel::Phase::inline v2_0 {

QUORVEL_API void QvInitPhase(const Phase& phase, const Util::RenderingEngineId& engineId);
QUORVEL_API bool QvPhaseBegin();
QUORVEL_API bool QvPhaseTerminate(const TerminatePhaseOptions& option);
QUORVEL_API void QvRenderPhaseRegisterAov(const int32_t& alias, const char* name, const AOVType& type);

QUORVEL_API void QvSetDraft(const bool& draft);
QUORVEL_API void QvSetZovScaling(const float& length, const float& height, const float& depth);
QUORVEL_API void QvSetZovOffset(const int32_t& right, const int32_t& top, const int32_t& back);
QUORVEL_API void QvSetRenderScale(const double& scale);
QUORVEL_API void QvSetDistanceToGround(const double& distance);
QUORVEL_API void QvSetRenderInsideBox(bool inside);
QUORVEL_API void QvSetCurrentFrame(const int32_t& frame, const uint64_t& padding);
QUORVEL_API void QvSetDeepReflection(const Eye& eye, const double& ipdMillimetres);
QUORVEL_API void QvSetSpecularPointOffset(const VekPoint& offset);
QUORVEL_API void QvSetSceneUpVector(const VekPoint& up);
QUORVEL_API void QvSetThreadNumber(const uint64_t& threads);
QUORVEL_API void QvSetBucketSize(const uint64_t& x, const uint64_t& y);
QUORVEL_API void QvSetTolerance(const double& tolerance);
QUORVEL_API void QvSetMaxDistance(const double& distance);
QUORVEL_API void QvSetMotionVector(const bool& enabled);
QUORVEL_API void QvSetRenderTransparencyMode(const TransparencyRenderingType& mode);
QUORVEL_API void QvSetOutFilePath(const char* path);
// In the render phase the file must exist.
QUORVEL_API void QvSetDetectFilePath(const char* path);
QUORVEL_API void QvSetWorldToCamMatrix(const VekMatrix4& worldToCamera);
// Allowed at any time.
QUORVEL_API void QvSetCameraToWorldMatrix(const VekMatrix4& cameraToWorld);
// Allowed at any time; the centre is taken to camera space with the current
// world-to-camera matrix, so set that first.
QUORVEL_API void QvSetClippingSphere(bool enable, const VekPoint& centre, float radius, bool inside);

} // namespace Quorvel::Phase::inline v2_0
