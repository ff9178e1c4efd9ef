#pragma once

// Every core function the plug-in calls, reached through one table so that a
// test can watch the calls (and their order) without touching the core.

#include <string>

#include "camera/CameraRays.h"
#include "camera/Sampling.h"
#include "context/Phase.h"
#include "context/Resolution.h"
#include "foundation/Logger.h"
#include "samples/Buckets.h"
#include "samples/DetectSample.h"
#include "samples/RenderSample.h"
#include "samples/Shading.h"

namespace QuorvelPlugin {

namespace QP = Quorvel::Phase;
namespace QB = Quorvel::Block;
namespace QL = Quorvel::Logger;
namespace QC = Quorvel::Camera;
namespace QS = Quorvel::Shading;
namespace QR = Quorvel::RenderSample;
namespace QD = Quorvel::DetectSample;
namespace QIO = Quorvel::BinIO;

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

    // Render threads: rays.
    uint64_t (*QvGetSeed)(const double&, const double&) = QC::QvGetSeed;
    QC::QvCameraRay (*QvGetSpecularRay)(const double&, const double&) = QC::QvGetSpecularRay;
    bool (*QvGetCurrentSampleIndexCount)(const int32_t&, const int32_t&, uint64_t&) = QC::QvGetCurrentSampleIndexCount;
    QC::QvCameraRay (*QvGetRayDetectPhase)(const uint64_t&, const double&, const double&) = QC::QvGetRayDetectPhase;
    QC::QvCameraRay (*QvGetRayRenderPhase)(const double&, const double&) = QC::QvGetRayRenderPhase;

    // Render threads: shading decisions.
    bool (*QvIsTransparent)(const double&, const double&) = QS::QvIsTransparent;
    bool (*QvShouldShade)(const VekPoint&, const VekPoint&, const double&, const double&, bool&) = QS::QvShouldShade;
    QS::QvBendRay (*QvGetBendRayRenderPhase)(const QP::Eye&, const VekPoint&, const VekPoint&, const VekPoint&,
                                             const double&) = QS::QvGetBendRayRenderPhase;
    QS::QvBendRayEx (*QvGetTranspRayRenderPhase)(QP::Eye, const VekPoint&, const VekPoint&, const VekPoint&,
                                                 const double&) = QS::QvGetTranspRayRenderPhase;
    bool (*QvGetDoubleReflectanceTransmitance)(double&, double&, const double&, const double&, const VekPoint&,
                                               const VekPoint&) = QS::QvGetDoubleReflectanceTransmitance;

    // Render threads: samples.
    VekRGBA (*QvProcessDetectSample)(QD::RayTestInterface*, const QD::QvDetectSample&, const uint64_t&) =
        QD::QvProcessDetectSample;
    void (*QvInitSampleAov)(QR::QvRenderSample&) = QR::QvInitSampleAov;
    void (*QvSetSamplePosition)(QR::QvRenderSample&, const VekPoint&) = QR::QvSetSamplePosition;
    void (*QvSetSamplePosXY)(QR::QvRenderSample&, const double&, const double&) = QR::QvSetSamplePosXY;
    void (*QvSetSampleZ)(QR::QvRenderSample&, double) = QR::QvSetSampleZ;
    void (*QvSetSampleColor)(QR::QvRenderSample&, const VekRGBA&) = QR::QvSetSampleColor;
    void (*QvSetSampleNormal)(QR::QvRenderSample&, const VekPoint&) = QR::QvSetSampleNormal;
    void (*QvAddSampleAov)(QR::QvRenderSample&, const void*, const int32_t&) = QR::QvAddSampleAov;
    void (*QvAddGlassSampleAov)(QR::QvRenderSample&, int32_t) = QR::QvAddGlassSampleAov;
    void (*QvAddRightColorSampleAov)(QR::QvRenderSample&, const VekRGB&) = QR::QvAddRightColorSampleAov;
    void (*QvAddWSVelocitySampleAov)(QR::QvRenderSample&, const VekPoint&) = QR::QvAddWSVelocitySampleAov;
    void (*QvAddCockpitSampleAov)(QR::QvRenderSample&, const bool&) = QR::QvAddCockpitSampleAov;
    void (*QvProcessRenderSample)(const uint64_t&, const int32_t&, const int32_t&, uint64_t, const QR::QvRenderSample&) =
        QR::QvProcessRenderSample;

    // Render threads: buckets.
    void (*QvInitBucket)(const uint64_t&, const int32_t&, const int32_t&, const int32_t&, const int32_t&) =
        QIO::QvInitBucket;
    bool (*QvProcessBucketFlushToFile)(const int32_t&, const int32_t&, const int32_t&, const int32_t&) =
        QIO::QvProcessBucketFlushToFile;
    int32_t (*QvProcessBucketGetBufferSize)(const int32_t&, const int32_t&, const int32_t&, const int32_t&) =
        QIO::QvProcessBucketGetBufferSize;
    bool (*QvBucketFlushToMemory)(void*, const uint64_t&, const int32_t&, const int32_t&, const int32_t&,
                                  const int32_t&) = QIO::QvBucketFlushToMemory;
    bool (*QvFlushMemoryBufferToFile)(const void*, const uint64_t&) = QIO::QvFlushMemoryBufferToFile;
};

// The table in use: the core's own functions unless a test installed another.
const CoreCalls& core();
// Installs a table (null restores the core's own); the table must outlive its use.
void setCoreCalls(const CoreCalls* calls);

} // namespace QuorvelPlugin
