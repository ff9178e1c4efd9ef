#pragma once

// Every core function the plug-in calls, reached through one table so that a
// test can watch the calls (and their order) without touching the core.

#include <string>

#include "camera/Sampling.h"
#include "context/Phase.h"
#include "context/Resolution.h"
#include "foundation/Logger.h"

namespace QuorvelPlugin {

namespace QP = Quorvel::Phase;
namespace QB = Quorvel::Block;
namespace QL = Quorvel::Logger;

struct CoreCalls {
    // Logger set-up.
    void (*QvSetDateHeader)(bool) = QL::QvSetDateHeader;
    void (*QvSetLogLevelHeader)(bool) = QL::QvSetLogLevelHeader;
    void (*QvSetConsole)(bool) = QL::QvSetConsole;
    void (*QvSetCallBackLogLevel)(int32_t, QL::QvLogCallback, void*) = QL::QvSetCallBackLogLevel;
    void (*QvSetCallbackCarriageReturnMode)(int32_t) = QL::QvSetCallbackCarriageReturnMode;

    // Phase and settings.
    void (*QvInitPhase)(const QP::Phase&, const Quorvel::Util::RenderingEngineId&) = QP::QvInitPhase;
    void (*QvSetSceneUpVector)(const VekPoint&) = QP::QvSetSceneUpVector;
    void (*QvSetDetectFilePath)(const char*) = QP::QvSetDetectFilePath;
    void (*QvSetOutFilePath)(const char*) = QP::QvSetOutFilePath;
    void (*QvSetThreadNumber)(const uint64_t&) = QP::QvSetThreadNumber;
    void (*QvSetBucketSize)(const uint64_t&, const uint64_t&) = QP::QvSetBucketSize;
    void (*QvSetMaxDistance)(const double&) = QP::QvSetMaxDistance;
    void (*QvSetTolerance)(const double&) = QP::QvSetTolerance;
    void (*QvSetCurrentFrame)(const int32_t&, const uint64_t&) = QP::QvSetCurrentFrame;
    void (*QvSetDraft)(const bool&) = QP::QvSetDraft;
    void (*QvSetDeepReflection)(const QP::Eye&, const double&) = QP::QvSetDeepReflection;
    void (*QvSetMotionVector)(const bool&) = QP::QvSetMotionVector;
    void (*QvSetRenderScale)(const double&) = QP::QvSetRenderScale;
    void (*QvSetSpecularPointOffset)(const VekPoint&) = QP::QvSetSpecularPointOffset;
    void (*QvSetZovOffset)(const int32_t&, const int32_t&, const int32_t&) = QP::QvSetZovOffset;
    void (*QvSetZovScaling)(const float&, const float&, const float&) = QP::QvSetZovScaling;
    void (*QvSetRenderInsideBox)(bool) = QP::QvSetRenderInsideBox;
    void (*QvSetRenderTransparencyMode)(const QP::TransparencyRenderingType&) = QP::QvSetRenderTransparencyMode;
    void (*QvSetOutputResolution)(const uint64_t&, const uint64_t&) = QP::QvSetOutputResolution;
    std::string (*QvGetDetectPhaseFileFromQuorvelContext)() = QB::QvGetDetectPhaseFileFromQuorvelContext;
    void (*QvSetDetectPhaseOverride)(const std::string&) = QB::QvSetDetectPhaseOverride;
    QP::QvResolutionParam (*QvComputeRenderingResolutionParameters)(const uint64_t&, const uint64_t&) =
        QP::QvComputeRenderingResolutionParameters;
    bool (*QvSetRenderingResolutionParameters)(const QP::QvResolutionParam&) = QP::QvSetRenderingResolutionParameters;
    bool (*QvSetCurrentBlockIndex)(const uint64_t&) = QP::QvSetCurrentBlockIndex;
    void (*QvSetCameraToWorldMatrix)(const VekMatrix4&) = QP::QvSetCameraToWorldMatrix;
    void (*QvSetClippingSphere)(bool, const VekPoint&, float, bool) = QP::QvSetClippingSphere;
    void (*QvRenderPhaseRegisterAov)(const int32_t&, const char*, const QP::AOVType&) =
        QP::QvRenderPhaseRegisterAov;
    bool (*QvPhaseBegin)() = QP::QvPhaseBegin;
    bool (*QvPhaseTerminate)(const QP::TerminatePhaseOptions&) = QP::QvPhaseTerminate;

    // Render threads.
    uint64_t (*QvGetSeed)(const double&, const double&) = Quorvel::Camera::QvGetSeed;
};

// The table in use: the core's own functions unless a test installed another.
const CoreCalls& core();
// Installs a table (null restores the core's own); the table must outlive its use.
void setCoreCalls(const CoreCalls* calls);

} // namespace QuorvelPlugin
