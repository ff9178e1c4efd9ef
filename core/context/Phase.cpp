#include "context/Phase.h"

#include <exception>
#include <filesystem>
#include <memory>
#include <system_error>

#include "context/PhaseInternal.h"
#include "context/PhaseSeams.h"
#include "foundation/Catalogue.h"
#include "foundation/Logger.h"

namespace Quorvel::Phase::inline v2_0 {

using Logger::DEBUG;
using Logger::ERROR;
using Logger::INFO;
using Logger::QvOutputLogCStr;
using Logger::QvOutputLogString;
using Logger::TRACE;
using Logger::WARNING;

namespace {

[[noreturn]] void misuse(const char* message)
{
    QvOutputLogCStr(TRACE, message);
    throw std::exception();
}

int asInt(double value)
{
    return static_cast<int>(static_cast<uint64_t>(value));
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// Reads every setting the begin and its report need and have no default:
// a missing one throws here, before the begin has changed anything.
void requireBeginSettings(const QuorvelContext& c)
{
    static_cast<void>(c.renderingResolutionY.get());
    static_cast<void>(c.draft.get());
    static_cast<void>(c.frame.get());
    static_cast<void>(c.zovOffsetRight.get());
    static_cast<void>(c.zovOffsetTop.get());
    static_cast<void>(c.zovOffsetBack.get());
    if (c.phase == Render) {
        static_cast<void>(c.transparencyMode.get());
        static_cast<void>(c.blockCount.get());
        static_cast<void>(c.currentBlock.get());
    } else if (!c.aovFormat.isEmpty()) {
        misuse("Quorvel aovs cannot be registered during the detection phase");
    }
}

void closeTemporaryFile(QuorvelContext& context)
{
    std::lock_guard lock(context.tempFileMutex);
    if (context.tempFile) {
        std::fclose(context.tempFile);
        context.tempFile = nullptr;
    }
}

void clearWorkingData(QuorvelContext& context)
{
    context.cameraPositions.clear();
    context.cameraPriorities.clear();
    context.cameraFaceMasks.clear();
    context.cameraWorldPositions.clear();
    context.fetchMap.clear();
    context.sampleIndexCounters.clear();
    context.raysShot.clear();
    context.samplesReceived.clear();
    context.cameraCoverage = std::vector<std::atomic<uint64_t>>();
    for (auto& depths : context.cameraDepthLists)
        depths.clear();
    context.plaques.clear();
    context.completionMask.clear();
    context.plaqueTree.reset();
    context.threadRegions.clear();
    context.bucketOrder = BinIO::BucketOrder{};
    context.aovFormat.clear();
    closeTemporaryFile(context);
    context.tempRecordCount = 0;
    context.samplesIncomplete = false;
}

void resetPixelCounters(QuorvelContext& context, uint64_t pixels)
{
    context.sampleIndexCounters.assign(pixels, 0);
    context.raysShot.assign(pixels, 0);
    context.samplesReceived.assign(pixels, 0);
}

void registerInternalAovs(QuorvelContext& context)
{
    BinIO::AovFormat& aovs = context.aovFormat;
    if (context.eye.get() == RC_LeftAndRight && !aovs.HasAOV(std::string("Cd_Right")))
        aovs.registerAov(BinIO::kAliasRightColor, "Cd_Right", AOV_RGB);
    if (context.transparencyMode.get() != IGNORE)
        aovs.registerAov(BinIO::kAliasTransparency, "qvlTransp", AOV_Int);
    if (context.motionVectors && !aovs.HasAOV(std::string("qvlVelocity")))
        aovs.registerAov(BinIO::kAliasVelocity, "qvlVelocity", AOV_Vector3);
    aovs.registerAov(BinIO::kAliasCockpit, "qvlCockpit", AOV_Int);
}

void createThreadRegions(QuorvelContext& context)
{
    const uint64_t width = context.bucketSizeX.get();
    const uint64_t height = context.bucketSizeY.get();
    context.threadRegions.clear();
    context.threadRegions.reserve(context.threadCount);
    for (uint64_t i = 0; i < context.threadCount; ++i)
        context.threadRegions.emplace_back(width, height);
}

void logMatrix(const char* format, const VekMatrix4& m)
{
    QvOutputLogString(DEBUG, format, m[0][0], m[0][1], m[0][2], m[0][3], m[1][0], m[1][1], m[1][2], m[1][3],
                      m[2][0], m[2][1], m[2][2], m[2][3], m[3][0], m[3][1], m[3][2], m[3][3]);
}

void logConfiguration(const QuorvelContext& c)
{
    using Core = TXT::Core;
    const bool render = c.phase == Render;
    const int outX = asInt(c.outputResolutionX.get());
    const int outY = asInt(c.outputResolutionY.get());
    if (render) {
        QvOutputLogCStr(INFO, "[Quorvel] Render Phase.\n");
        QvOutputLogString(INFO, "[Quorvel] Input detection file path %s.\n", c.detectFilePath.c_str());
        QvOutputLogString(INFO, "[Quorvel] Rendering block %d/%d.\n", static_cast<int>(c.currentBlock.get()),
                          static_cast<int>(c.blockCount.get()));
        QvOutputLogString(INFO, "[Quorvel] Input rendering resolution %dx%d.\n", outX, outY);
        QvOutputLogString(INFO, "[Quorvel] output render image path %s.\n", c.outFilePath.c_str());
    } else {
        QvOutputLogCStr(INFO, "[Quorvel] Detection Phase.\n");
        QvOutputLogString(DEBUG, "[Quorvel] Rendering resolution %dx%d.\n", asInt(c.renderingResolutionX.get()),
                          asInt(c.renderingResolutionY.get()));
        QvOutputLogString(INFO, "[Quorvel] Output detection file path %s.\n", c.outFilePath.c_str());
    }
    QvOutputLogString(INFO, "[Quorvel] output resolution %dx%d.\n", outX, outY);
    QvOutputLogString(INFO, Core::info_draft_param, c.draft.get() ? Core::ON : Core::OFF);
    QvOutputLogString(INFO, Core::info_viewScaleZov_param, c.zovScaling.x, c.zovScaling.y, c.zovScaling.z);
    QvOutputLogString(INFO, Core::info_renderScale_param, c.renderScale.get());
    QvOutputLogString(INFO, "[Quorvel] Distance to ground %f\n", c.distanceToGround);
    QvOutputLogString(INFO, "[Quorvel] rendering inside zone of view %s\n",
                      c.renderInsideBox ? "enabled" : "disabled");
    if (render) {
        const double ipd = c.ipd.get();
        switch (c.eye.get()) {
        case RC_Left: QvOutputLogString(INFO, "[Quorvel] Rendering Left eye. IPD %f.\n", ipd); break;
        case RC_Right: QvOutputLogString(INFO, "[Quorvel] Rendering Right eye. IPD %f.\n", ipd); break;
        case RC_LeftAndRight:
            QvOutputLogString(INFO, "[Quorvel] Rendering Left and Right eyes. IPD %f.\n", ipd);
            break;
        default: QvOutputLogCStr(ERROR, "[Quorvel] unknown specular rendering.\n"); break;
        }
        if (!c.motionVectors)
            QvOutputLogCStr(INFO, "[Quorvel] Motion vectors are turned off on demand.\n");
        const VekPoint& o = c.specularPointOffset.get();
        QvOutputLogString(INFO, Core::info_specOffsetBack_param, o.x, o.y, o.z);
    }
    QvOutputLogString(INFO, Core::info_boxOffset_param, c.zovOffsetRight.get(), c.zovOffsetTop.get(),
                      c.zovOffsetBack.get());
    // An unset mode can only reach here in the detection phase, where it is
    // reported like an unknown one rather than aborting a running phase.
    const int mode = c.transparencyMode.isSet() ? static_cast<int>(c.transparencyMode.peek()) : -1;
    static const char* const* const glassModes[] = {&Core::info_glassMode0_param, &Core::info_glassMode1_param,
                                                    &Core::info_glassMode2_param, &Core::info_glassMode3_param};
    if (mode >= 0 && mode <= 3)
        QvOutputLogString(INFO, *glassModes[mode], mode);
    else
        QvOutputLogCStr(WARNING, "[Quorvel] Unknown transparency pass\n");

    const VekPoint& up = c.sceneUp.get();
    QvOutputLogString(DEBUG, "[Quorvel] scene vecteur up %f %f %f", up.x, up.y, up.z);
    QvOutputLogString(DEBUG, "[Quorvel] rendering frame %d   padding %d   separator \"%c\".\n", c.frame.get(),
                      c.framePadding, c.frameSeparator);
    const VekPoint& world = c.specularPointWorld.get();
    const VekPoint& local = c.specularPointLocal.get();
    QvOutputLogString(DEBUG, "[Quorvel] specular point world %f %f %f\n", world.x, world.y, world.z);
    QvOutputLogString(DEBUG, "[Quorvel] specular point local %f %f %f\n", local.x, local.y, local.z);
    QvOutputLogString(DEBUG, "[Quorvel] bucket Number %d/%d \n", static_cast<int>(c.threadRegions.size()),
                      static_cast<int>(c.threadCount));
    QvOutputLogString(DEBUG, "[Quorvel] bucket Region size %d/%d\n", static_cast<int>(c.bucketSizeX.get()),
                      static_cast<int>(c.bucketSizeY.get()));
    const BinIO::AovFormat& aovs = c.aovFormat;
    QvOutputLogString(DEBUG, "[Quorvel] registered Aovs %d \n", static_cast<int>(aovs.names.size()));
    for (const auto& [alias, index] : aovs.aliases)
        QvOutputLogString(DEBUG, "[Quorvel] \tAOVAlias(%d)  name(%s) index(%d) type(%d) \n", alias,
                          aovs.names[index].c_str(), static_cast<int>(index), static_cast<int>(aovs.types[index]));
    logMatrix("[Quorvel] worldToCam= { {%f , %f , %f , %f},{%f , %f , %f , %f},{%f , %f , %f , %f},"
              "{%f , %f , %f , %f}}\n ",
              c.worldToCamera);
    logMatrix("[Quorvel] camToWorld= { {%f , %f , %f , %f},{%f , %f , %f , %f},{%f , %f , %f , %f},"
              "{%f , %f , %f , %f}}\n ",
              c.cameraToWorld);
}

} // namespace

bool hasPhase(const QuorvelContext& context)
{
    return context.phase == Detect || context.phase == Render;
}

bool acceptsSettings(const QuorvelContext& context)
{
    if (!hasPhase(context)) {
        QvOutputLogCStr(ERROR, "[Quorvel] Begin a Phase before setting it.\n");
        return false;
    }
    if (context.initialised) {
        QvOutputLogCStr(ERROR, "[Quorvel] Unable to set the phase after its initialization\n");
        return false;
    }
    return true;
}

void QvInitPhase(const Phase& phase, const Util::RenderingEngineId& engineId)
{
    QuorvelContext& c = getQuorvelContext();
    if (c.initialised)
        misuse("[Quorvel] begin a phase after it's initialization leads to data lost. Use QvPhaseTerminate() "
               "first\n");

    static_cast<QuorvelSettings&>(c) = QuorvelSettings{};
    clearWorkingData(c);
    resetSharedRenderingContext();

    // Values other than the two phases leave no phase initialised.
    if (phase == Detect || phase == Render)
        c.phase = phase;
    c.renderingEngineId = engineId;
    if (phase == Detect)
        QvOutputLogCStr(DEBUG, "[Quorvel] setting detect phase.\n");
    else if (phase == Render)
        QvOutputLogCStr(DEBUG, "[Quorvel] setting render phase.\n");
}

bool QvPhaseBegin()
{
    QuorvelContext& c = getQuorvelContext();
    if (!hasPhase(c))
        misuse("[Quorvel] begin a phase first.\n");
    if (c.initialised)
        misuse("[Quorvel] Terminate the phase first.\n");
    if (!c.renderingResolutionX.isSet()) {
        QvOutputLogCStr(ERROR, "[Quorvel] The rendering resolution is not set \n");
        return false;
    }
    if (!c.outputResolutionX.isSet() || !c.outputResolutionY.isSet()) {
        QvOutputLogCStr(ERROR, "[Quorvel] The output resolution is not set \n");
        return false;
    }
    if (!c.bucketSizeX.isSet() || !c.bucketSizeY.isSet()) {
        QvOutputLogCStr(ERROR, "[Quorvel] The bucket size is not set \n");
        return false;
    }
    requireBeginSettings(c);
    std::unique_ptr<std::FILE, FileCloser> sampleFile(std::tmpfile());
    if (!sampleFile) {
        QvOutputLogCStr(ERROR, "[Quorvel] The temporary sample file could not be created.\n");
        return false;
    }

    if (!c.renderScale.isSet()) {
        QvOutputLogCStr(WARNING, "[Quorvel] The render scale is not set, setting the default value (1.0) \n");
        QvSetRenderScale(1.0);
    }
    if (!c.specularPointOffset.isSet()) {
        QvOutputLogCStr(WARNING, "[Quorvel] The specularPoint is not set, default to the center of the Zone of "
                                 "View (0.0, 0.0, 0.0) \n");
        QvSetSpecularPointOffset(VekPoint{0.0f, 0.0f, 0.0f});
    }
    if (!c.sceneUp.isSet()) {
        QvOutputLogCStr(WARNING,
                        "[Quorvel] The scene up vector is not set, default to Y is up (0.0, 1.0, 0.0) \n");
        QvSetSceneUpVector(VekPoint{0.0f, 1.0f, 0.0f});
    }
    if (!c.eye.isSet() || !c.ipd.isSet()) {
        QvOutputLogCStr(WARNING, "[Quorvel] The eye is not set, default to left eye only \n");
        QvSetDeepReflection(RC_Left, 63.5);
    }
    if (c.threadCount == 0) {
        QvOutputLogCStr(WARNING,
                        "[Quorvel] At least one thread should be declared. Setting QvSetThreadNumber to 1.\n");
        QvSetThreadNumber(1);
    }

    // Specular point: offsets are in box units of 100 scene units each.
    const VekPoint& offset = c.specularPointOffset.get();
    const float inverseScale = 1.0f / c.renderScale.get();
    const VekPoint local{offset.x * 100.0f * c.zovScaling.x * inverseScale,
                         offset.y * 100.0f * c.zovScaling.y * inverseScale,
                         offset.z * 100.0f * c.zovScaling.z * inverseScale};
    c.specularPointLocal.set(local);
    c.specularPointWorld.set(Utils::transformPoint(local, c.cameraToWorld));

    const uint64_t width = static_cast<uint64_t>(c.renderingResolutionX.get());
    const uint64_t height = static_cast<uint64_t>(c.renderingResolutionY.get());
    {
        std::lock_guard lock(c.tempFileMutex);
        c.samplesIncomplete = false;
    }
    if (c.phase == Detect) {
        c.cameraCoverage = std::vector<std::atomic<uint64_t>>(width * height * 4);
        buildCameraSet(c);
    } else if (!readDetectionFile(c)) {
        return false;
    }
    resetPixelCounters(c, width * height);
    BinIO::resetBucketOrder(c);

    {
        std::lock_guard lock(c.tempFileMutex);
        if (c.tempFile)
            std::fclose(c.tempFile);
        c.tempFile = sampleFile.release();
        c.tempRecordCount = 0;
    }

    if (c.cameraPositions.empty()) {
        QvOutputLogCStr(WARNING, "Cameras were unitialized at this stage.");
        buildCameraSet(c);
    }
    computeCameraWorldPositions(c);
    buildFetchMap(c);
    loadSharedRenderingContext(c);

    if (c.phase == Render)
        registerInternalAovs(c);
    createThreadRegions(c);

    c.initialised = true;
    logConfiguration(c);
    return true;
}

bool QvPhaseTerminate(const TerminatePhaseOptions& option)
{
    QuorvelContext& c = getQuorvelContext();
    if (!hasPhase(c)) {
        QvOutputLogCStr(WARNING, "[Quorvel] begin a phase before terminating it \n");
        return false;
    }
    if (!c.initialised) {
        QvOutputLogCStr(WARNING, "[Quorvel] initialize the phase before terminating it\n");
        return false;
    }

    if (option == Finalize) {
        for (uint64_t i = 0; i < c.threadRegions.size(); ++i) {
            if (c.threadRegions[i].sampleCount == 0)
                continue;
            QvOutputLogString(WARNING,
                              "Bucket %d still had data when QvPhaseTerminate was invoked. Flushing bucket before "
                              "finalizing.",
                              static_cast<int>(i));
            flushThreadRegion(c, i);
        }
        std::lock_guard lock(c.tempFileMutex);
        if (!c.tempFile) {
            QvOutputLogCStr(WARNING, "Processing temporary file samples while samples have already been processed.");
        } else {
            std::FILE* file = c.tempFile;
            c.tempFile = nullptr;
            if (c.phase == Detect)
                finalizeDetectionPhase(c, file);
            else
                finalizeRenderPhase(c, file);
        }
    } else {
        // Nothing will read the samples of a discarded phase.
        closeTemporaryFile(c);
    }

    c.phase = -1;
    c.initialised = false;
    return true;
}

void QvRenderPhaseRegisterAov(const int32_t& alias, const char* name, const AOVType& type)
{
    QuorvelContext& c = getQuorvelContext();
    if (c.phase != Render)
        misuse("[Quorvel] registering aov is only allowed for the render phase.\n");
    if (c.initialised)
        misuse("[Quorvel] Unable to register aov after the initialization.\n");
    c.aovFormat.registerAov(alias, std::string(name ? name : ""), type);
}

void QvSetDraft(const bool& draft)
{
    QuorvelContext& c = getQuorvelContext();
    if (acceptsSettings(c))
        c.draft.set(draft);
}

void QvSetZovScaling(const float& length, const float& height, const float& depth)
{
    QuorvelContext& c = getQuorvelContext();
    if (acceptsSettings(c))
        c.zovScaling = VekPoint{length, height, depth};
}

void QvSetZovOffset(const int32_t& right, const int32_t& top, const int32_t& back)
{
    QuorvelContext& c = getQuorvelContext();
    if (!acceptsSettings(c))
        return;
    c.zovOffsetRight.set(right);
    c.zovOffsetTop.set(top);
    c.zovOffsetBack.set(back);
}

void QvSetRenderScale(const double& scale)
{
    QuorvelContext& c = getQuorvelContext();
    if (acceptsSettings(c))
        c.renderScale.set(static_cast<float>(scale));
}

void QvSetDistanceToGround(const double& distance)
{
    QuorvelContext& c = getQuorvelContext();
    if (acceptsSettings(c))
        c.distanceToGround = static_cast<float>(distance);
}

void QvSetRenderInsideBox(bool inside)
{
    QuorvelContext& c = getQuorvelContext();
    if (acceptsSettings(c))
        c.renderInsideBox = inside;
}

void QvSetCurrentFrame(const int32_t& frame, const uint64_t& padding)
{
    QuorvelContext& c = getQuorvelContext();
    if (!acceptsSettings(c))
        return;
    c.frame.set(frame);
    c.framePadding = static_cast<int32_t>(padding);
}

void QvSetDeepReflection(const Eye& eye, const double& ipdMillimetres)
{
    QuorvelContext& c = getQuorvelContext();
    if (!acceptsSettings(c))
        return;
    c.eye.set(eye);
    c.ipd.set(static_cast<float>(ipdMillimetres));
}

void QvSetSpecularPointOffset(const VekPoint& offset)
{
    QuorvelContext& c = getQuorvelContext();
    if (acceptsSettings(c))
        c.specularPointOffset.set(offset);
}

void QvSetSceneUpVector(const VekPoint& up)
{
    QuorvelContext& c = getQuorvelContext();
    if (acceptsSettings(c))
        c.sceneUp.set(Utils::normalize(up));
}

void QvSetThreadNumber(const uint64_t& threads)
{
    QuorvelContext& c = getQuorvelContext();
    if (acceptsSettings(c))
        c.threadCount = threads;
}

void QvSetBucketSize(const uint64_t& x, const uint64_t& y)
{
    QuorvelContext& c = getQuorvelContext();
    if (!acceptsSettings(c))
        return;
    c.bucketSizeX.set(x);
    c.bucketSizeY.set(y);
}

void QvSetTolerance(const double& tolerance)
{
    QuorvelContext& c = getQuorvelContext();
    if (acceptsSettings(c))
        c.tolerance = tolerance;
}

void QvSetMaxDistance(const double& distance)
{
    QuorvelContext& c = getQuorvelContext();
    if (acceptsSettings(c))
        c.maxDistance = distance;
}

void QvSetMotionVector(const bool& enabled)
{
    QuorvelContext& c = getQuorvelContext();
    if (acceptsSettings(c))
        c.motionVectors = enabled;
}

void QvSetRenderTransparencyMode(const TransparencyRenderingType& mode)
{
    QuorvelContext& c = getQuorvelContext();
    if (acceptsSettings(c))
        c.transparencyMode.set(mode);
}

void QvSetOutFilePath(const char* path)
{
    QuorvelContext& c = getQuorvelContext();
    if (acceptsSettings(c))
        c.outFilePath = path ? path : "";
}

void QvSetDetectFilePath(const char* path)
{
    QuorvelContext& c = getQuorvelContext();
    if (!acceptsSettings(c))
        return;
    const std::string value = path ? path : "";
    if (c.phase == Render) {
        if (value.empty()) {
            QvOutputLogCStr(ERROR, "[Quorvel] the detection file has not been set.\n");
            return;
        }
        std::error_code error;
        const std::filesystem::path fsPath(std::u8string(value.begin(), value.end()));
        if (!std::filesystem::exists(fsPath, error)) {
            QvOutputLogString(ERROR, "[Quorvel] the detection file '%s' doesn't exist.\n", value.c_str());
            return;
        }
    }
    c.detectFilePath = value;
}

void QvSetWorldToCamMatrix(const VekMatrix4& worldToCamera)
{
    QuorvelContext& c = getQuorvelContext();
    if (!acceptsSettings(c))
        return;
    c.worldToCamera = worldToCamera;
    c.cameraToWorld = Utils::inverse(worldToCamera);
}

void QvSetCameraToWorldMatrix(const VekMatrix4& cameraToWorld)
{
    QuorvelContext& c = getQuorvelContext();
    c.cameraToWorld = cameraToWorld;
    c.worldToCamera = Utils::inverse(cameraToWorld);
}

void QvSetClippingSphere(bool enable, const VekPoint& centre, float radius, bool inside)
{
    QuorvelContext& c = getQuorvelContext();
    c.clipEnabled = enable;
    c.clipInside = inside;
    c.clipCentreWorld = centre;
    c.clipCentreCamera = Utils::transformPoint(centre, c.worldToCamera);
    c.clipRadius = radius;
}

} // namespace Quorvel::Phase::inline v2_0
