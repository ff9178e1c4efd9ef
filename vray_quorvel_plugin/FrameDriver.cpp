// Per-frame configuration of the core, blocks, phase begin and terminate.

#include <chrono>
#include <filesystem>
#include <thread>

#include "CoreCalls.h"
#include "FileNames.h"
#include "QuorvelPlugin.h"
#include "foundation/Logger.h"

namespace QuorvelPlugin {

using namespace VUtils;
using Quorvel::Logger::QvOutputLogCStr;
using Quorvel::Logger::QvOutputLogString;
namespace QL = Quorvel::Logger;

namespace {

// Host render-channel data type to core AOV type; -1 when not registered.
int aovTypeOf(int dataType)
{
    switch (dataType) {
    case RC_TYPE_FLOAT: return QP::AOV_Double;
    case RC_TYPE_RGB: return QP::AOV_RGB;
    case RC_TYPE_VECTOR2: return QP::AOV_Vector2;
    case RC_TYPE_INT: return QP::AOV_Int;
    case RC_TYPE_VECTOR3: return QP::AOV_Vector3;
    case RC_TYPE_RGBA: return QP::AOV_RGBA;
    default: return -1;
    }
}

} // namespace

void QuorvelPlugin::setupFrame(VRayFrameData& fdata)
{
    params_->cacheParams(fdata.t, nullptr);

    VRaySequenceData& sdata = *settings_.sequence;
    if (sdata.pathSampler && sdata.pathSampler != &pathSampler_) {
        settings_.savedPathSampler = sdata.pathSampler;
        pathSampler_.wrapped = sdata.pathSampler;
        sdata.pathSampler = &pathSampler_;
    }

    settings_.frame = &fdata;

    // Full-frame rendering: a user region or crop would leave plaques unrendered.
    fdata.rgnLeft = 0;
    fdata.rgnTop = 0;
    fdata.rgnRight = fdata.imgWidth;
    fdata.rgnBottom = fdata.imgHeight;
    fdata.rgnLeftF = 0.0f;
    fdata.rgnTopF = 0.0f;
    fdata.rgnRightF = static_cast<float>(fdata.imgWidth);
    fdata.rgnBottomF = static_cast<float>(fdata.imgHeight);
    fdata.rgnWidth = fdata.imgWidth;
    fdata.rgnHeight = fdata.imgHeight;

    settings_.imagePass = false;
    camera_.frameReset();
}

uint64_t QuorvelPlugin::prepareBlocks()
{
    QuorvelSubFrames& subFrames = camera_.subFrames();
    subFrames.phaseBegun = false;
    subFrames.phaseRefused = false;
    shader_.prepareFrame();

    const uint64_t width = static_cast<uint64_t>(static_cast<int64_t>(settings_.frame->imgWidth));
    const uint64_t height = static_cast<uint64_t>(static_cast<int64_t>(settings_.frame->imgHeight));
    initPhase(width, height);

    const QP::QvResolutionParam result = core().QvComputeRenderingResolutionParameters(width, height);
    if (!result.valid)
        QvOutputLogString(QL::ERROR, "PhaseBegin: Could not block rendering for resolution %d x %d",
                          static_cast<int>(width), static_cast<int>(height));
    if (!core().QvSetRenderingResolutionParameters(result))
        QvOutputLogCStr(QL::ERROR, "PhaseBegin: Could not initialize tiling");
    core().QvSetCurrentBlockIndex(0);

    const uint64_t blockCount = result.blockCount;
    subFrames.blocks.clear();

    const bool noFinalImage = settings_.sequence->gi && settings_.sequence->gi->dontRenderImage == 1;
    if (noFinalImage)
        QvOutputLogCStr(QL::WARNING, "[Quorvel] vray gi_dontRenderImage is On.\n");
    if (blockCount == 0 && !noFinalImage)
        QvOutputLogCStr(QL::INFO, "[Quorvel] there's nothing to render in the detection file.\n");
    if (blockCount == 0 || noFinalImage) {
        phaseBegin();
        subFrames.phaseBegun = true;
    }

    for (uint64_t i = 0; i < blockCount; ++i)
        subFrames.blocks.push_back({i, blockCount});
    return blockCount;
}

void QuorvelPlugin::initPhase(uint64_t width, uint64_t height)
{
    VRaySequenceData& sdata = *settings_.sequence;
    VRayFrameData& fdata = *settings_.frame;

    core().QvInitPhase(settings_.phaseMode == PHASE_MODE_DETECT ? QP::Detect : QP::Render, Quorvel::Util::RE_VRay);

    VekPoint up{0.0f, 0.0f, 1.0f};
    if (auto* upSettings = static_cast<SceneUpVectorSettings*>(sdata.getInterface(EXT_SCENE_UP_VECTOR)))
        up = {upSettings->up.x, upSettings->up.y, upSettings->up.z};
    core().QvSetSceneUpVector(up);

    auto* output = static_cast<OutputSettings*>(sdata.getInterface(EXT_OUTPUT_SETTINGS));
    auto* settings2 = static_cast<SequenceSettings2*>(sdata.getInterface(EXT_SEQUENCE_SETTINGS2));
    const bool frameNumbers = output && (output->flags & OUTPUT_FRAME_NUMBERS);
    const int padding = output ? output->framePadding : 0;
    const bool dot = settings2 && settings2->dotBeforeFrameNumber != 0;
    auto expand = [&](const std::string& path) {
        return expandFrameNumber(path, frameNumbers, fdata.frameNumber, padding, dot);
    };

    // An unset detection file stays empty rather than becoming a frame number.
    const std::string detectPath = settings_.detectFile.empty() ? std::string() : expand(settings_.detectFile);
    core().QvSetDetectFilePath(detectPath.c_str());
    core().QvSetOutFilePath(expand(renderOutputBasePath()).c_str());
    core().QvSetThreadNumber(static_cast<uint64_t>(sdata.numThreads));
    const RegionGeneratorParams bucket = sdata.regionGenerator ? *sdata.regionGenerator : RegionGeneratorParams{};
    core().QvSetBucketSize(static_cast<uint64_t>(bucket.xc), static_cast<uint64_t>(bucket.yc));
    core().QvSetMaxDistance(static_cast<double>(1e17f));
    core().QvSetTolerance(static_cast<double>(settings_.tolerance));
    core().QvSetCurrentFrame(fdata.frameNumber, 4);
    core().QvSetDraft(settings_.draft != 0);
    core().QvSetDeepReflection(settings_.deepReflection ? QP::RC_LeftAndRight : QP::RC_Left,
                               static_cast<double>(settings_.ipd));
    core().QvSetMotionVector(settings_.motionVectors != 0);
    core().QvSetRenderScale(static_cast<double>(settings_.renderScale));
    core().QvSetSpecularPointOffset(settings_.specularOffset);
    core().QvSetZovOffset(settings_.boxOffsetRight, settings_.boxOffsetTop, settings_.boxOffsetBack);
    core().QvSetZovScaling(settings_.scaleLength, settings_.scaleHeight, settings_.scaleDepth);
    core().QvSetRenderInsideBox(settings_.viewMode != 0);
    core().QvSetRenderTransparencyMode(static_cast<QP::TransparencyRenderingType>(settings_.glassMode));

    settings_.width = static_cast<double>(width);
    settings_.height = static_cast<double>(height);
    core().QvSetOutputResolution(width, height);

    if (!settings_.isServer() || settings_.phaseMode != PHASE_MODE_RENDER)
        return;
    if (!settings_.localDetectFile.empty()) {
        core().QvSetDetectPhaseOverride(settings_.localDetectFile);
    } else if (!settings_.assetTransfer) {
        QvOutputLogCStr(QL::WARNING, "Transfer failure for slave renderer: Transfer Call-Back missing.");
    } else {
        transferDetectFile(core().QvGetDetectPhaseFileFromQuorvelContext());
        core().QvSetDetectPhaseOverride(settings_.localDetectFile);
    }
}

std::string QuorvelPlugin::renderOutputBasePath()
{
    auto* output = static_cast<OutputSettings*>(settings_.sequence->getInterface(EXT_OUTPUT_SETTINGS));
    if (!settings_.outputCaptured && output) {
        settings_.outputFileName = output->imgFile;
        settings_.outputDirectory = output->imgDir;
        settings_.outputCaptured = true;
        // The frame's output is the core's file, not an image.
        output->imgFile.clear();
    }
    return joinPath(settings_.outputDirectory, settings_.outputFileName);
}

bool QuorvelPlugin::transferDetectFile(const std::string& path)
{
    const std::string generic = std::filesystem::path(path).generic_string();
    std::string slashed = generic;
    for (char& c : slashed)
        if (c == '\\')
            c = '/';
    QvOutputLogString(QL::INFO, "Transfering %s", slashed.c_str());

    const size_t slash = slashed.rfind('/');
    const std::string fileName = slash == std::string::npos ? std::string() : slashed.substr(slash + 1);
    if (fileName.empty()) {
        QvOutputLogCStr(QL::ERROR, "Cannot extract asset filename. Cannot transfer asset to DR server.");
        settings_.localDetectFile.clear();
        return false;
    }
    std::string local;
    if (settings_.assetTransfer->transferAsset(fileName.c_str(), local) == 1) {
        settings_.localDetectFile = local;
        QvOutputLogString(QL::INFO, "TransferAsset sucessful in %s", local.c_str());
        return true;
    }
    QvOutputLogString(QL::ERROR, "TransferAsset failed %s ", fileName.c_str());
    settings_.localDetectFile.clear();
    return false;
}

bool QuorvelPlugin::phaseBegin()
{
    const VRayFrameData& fdata = *settings_.frame;
    VekMatrix4 m{};
    for (int row = 0; row < 3; ++row)
        m[row] = {fdata.camToWorld.m[row].x, fdata.camToWorld.m[row].y, fdata.camToWorld.m[row].z, 0.0f};
    const Vector& p = fdata.camToWorld.offset;
    m[3] = {static_cast<float>(static_cast<double>(p.x) + fdata.originOffset[0]),
            static_cast<float>(static_cast<double>(p.y) + fdata.originOffset[1]),
            static_cast<float>(static_cast<double>(p.z) + fdata.originOffset[2]), 1.0f};
    core().QvSetCameraToWorldMatrix(m);

    const VekPoint centre{settings_.clippingCentre.x, settings_.clippingCentre.y, settings_.clippingCentre.z};
    core().QvSetClippingSphere(settings_.clippingEnabled != 0, centre, settings_.clippingRadius,
                               settings_.clippingInside != 0);
    registerAovs();
    return core().QvPhaseBegin();
}

void QuorvelPlugin::registerAovs()
{
    settings_.channelAliases.clear();
    settings_.velocityPresent = 0;
    if (settings_.phaseMode != PHASE_MODE_RENDER)
        return;
    auto* channels = static_cast<RenderChannelsInterface*>(settings_.sequence->getInterface(EXT_RENDER_CHANNELS));
    if (!channels)
        return;
    for (int i = 0; i < channels->getNumChannels(); ++i) {
        const RenderChannel* channel = channels->getChannel(i);
        if (!channel)
            continue;
        const uint32_t alias = channel->getAlias();
        if (alias == RENDER_CHANNEL_VELOCITY) {
            settings_.velocityPresent = 1;
            continue;
        }
        if (alias == RENDER_CHANNEL_NO_ALIAS || alias == 125 || alias == 126)
            continue;
        const int type = aovTypeOf(channel->getDataType());
        if (type >= 0)
            core().QvRenderPhaseRegisterAov(static_cast<int32_t>(alias), channel->getName(),
                                            static_cast<QP::AOVType>(type));
        settings_.channelAliases.push_back(alias);
    }
    if (!settings_.velocityPresent)
        QvOutputLogCStr(QL::INFO, "[Quorvel] The Vray velocity channel is absent. Animation interpolation (motion "
                                  "vectors) will be turned off.\n");
}

void QuorvelPlugin::phaseTerminate()
{
    core().QvPhaseTerminate(settings_.isServer() ? QP::Discard : QP::Finalize);
    settings_.localDetectFile.clear();
}

// ---- Camera: sub-frames, one per core block ---------------------------------

void QuorvelCamera::frameReset()
{
    plugin_.prepareBlocks();
}

int QuorvelSubFrames::getNumSubFrames()
{
    return static_cast<int>(blocks.size());
}

int QuorvelSubFrames::beginSubFrame(int index)
{
    if (index < 0 || static_cast<size_t>(index) >= blocks.size())
        return 0;
    if (settings_.isServer())
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    if (!phaseBegun) {
        phaseRefused = !plugin_.phaseBegin();
        phaseBegun = true;
    }
    if (phaseRefused)
        return 0;
    return core().QvSetCurrentBlockIndex(blocks[static_cast<size_t>(index)].index) ? 1 : 0;
}

void QuorvelSubFrames::endSubFrame(int)
{
    if (settings_.isServer())
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
}

} // namespace QuorvelPlugin
