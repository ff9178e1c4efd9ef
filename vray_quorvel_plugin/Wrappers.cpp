// The objects the plug-in installs in place of the host's; each keeps the
// host's own object and forwards what it does not handle.

#include <new>

#include "CoreCalls.h"
#include "QuorvelPlugin.h"
#include "foundation/Logger.h"

namespace QuorvelPlugin {

using namespace VUtils;
using Quorvel::Logger::QvOutputLogCStr;

// ---- Camera -------------------------------------------------------------------

PluginInterface* QuorvelCamera::newInterface(InterfaceID id)
{
    return id == EXT_CAMERA_SUBFRAMES ? &subFrames_ : nullptr;
}

int QuorvelCamera::getScreenRay(double x, double y, int, ScreenRay& ray)
{
    ray.flags = 0;
    ray.maxDistance = 0.0;
    ray.weight = AColor(0, 0, 0, 0);

    QC::QvCameraRay r;
    if (!settings_.imagePass) {
        // Pre-passes (GI caches) look from the specular point.
        r = core().QvGetSpecularRay(x, y);
    } else if (settings_.phaseMode == PHASE_MODE_DETECT) {
        const int32_t ix = static_cast<int32_t>(x), iy = static_cast<int32_t>(y);
        uint64_t index = 0;
        if (!core().QvGetCurrentSampleIndexCount(ix, iy, index))
            return 0;
        r = core().QvGetRayDetectPhase(index, x, y);
        if (!r.valid)
            return 0;
    } else {
        r = core().QvGetRayRenderPhase(x, y);
        if (!r.valid)
            return 0;
    }

    auto rotate = [this](const VekPoint& d) { return matrix[0] * d.x + matrix[1] * d.y + matrix[2] * d.z; };
    ray.origin = rotate(r.origin) + matrix[3];
    ray.direction = rotate(r.direction);
    const float invWidth = 1.0f / static_cast<float>(settings_.width);
    const float invHeight = 1.0f / static_cast<float>(settings_.height);
    const VekPoint ds{r.dDirectionDs.x * invWidth, r.dDirectionDs.y * invWidth, r.dDirectionDs.z * invWidth};
    const VekPoint dt{r.dDirectionDt.x * invHeight, r.dDirectionDt.y * invHeight, r.dDirectionDt.z * invHeight};
    ray.dDirection[0] = rotate(ds);
    ray.dDirection[1] = rotate(dt);
    ray.dOrigin[0] = ray.dOrigin[1] = Vector{};
    ray.flags = 0;
    ray.maxDistance = 1e18;
    ray.weight = AColor(1, 1, 1, 1);
    return 1;
}

void QuorvelCamera::frameBegin(VRayFrameData& fdata)
{
    if (wrapped)
        wrapped->frameBegin(fdata);
    for (int row = 0; row < 3; ++row)
        matrix[row] = fdata.camToWorld.m[row];
    matrix[3] = fdata.camToWorld.offset;
}

void QuorvelCamera::frameEnd(VRayFrameData& fdata)
{
    if (wrapped)
        wrapped->frameEnd(fdata);
    if (settings_.savedPathSampler) {
        if (settings_.sequence)
            settings_.sequence->pathSampler = settings_.savedPathSampler;
        settings_.savedPathSampler = nullptr;
    }
}

AColor QuorvelCamera::getRGBA()
{
    return wrapped ? wrapped->getRGBA() : AColor(1, 1, 1, 1);
}

// ---- Path sampler: every pixel gets the core's seed ---------------------------

void QuorvelPathSampler::initPixel(PixelSamplingState& state, int x, int y)
{
    if (wrapped)
        wrapped->initPixel(state, x, y);
    state.seed = core().QvGetSeed(static_cast<double>(x), static_cast<double>(y));
}

// ---- Region-done callback -----------------------------------------------------

PluginInterface* QuorvelRegionDoneCallback::newInterface(InterfaceID id)
{
    return wrapped ? wrapped->newInterface(id) : RegionDoneCallback::newInterface(id);
}

void QuorvelRegionDoneCallback::prePass(int pass)
{
    settings_.imagePass = false;
    if (wrapped)
        wrapped->prePass(pass);
}

void QuorvelRegionDoneCallback::imagePass()
{
    settings_.imagePass = true;
    if (wrapped)
        wrapped->imagePass();
}

OutputRegion* QuorvelRegionDoneCallback::newOutputRegion(const int rect[4])
{
    if (!wrapped)
        return nullptr;
    OutputRegion* own = wrapped->newOutputRegion(rect);
    void* memory = vmalloc(sizeof(QuorvelRenderOutput));
    return new (memory) QuorvelRenderOutput(own, *this, 0);
}

void QuorvelRegionDoneCallback::releaseOutputRegion(OutputRegion* region)
{
    auto* output = static_cast<QuorvelRenderOutput*>(region);
    if (!output)
        return;
    if (wrapped)
        wrapped->releaseOutputRegion(output->wrapped);
    output->~QuorvelRenderOutput();
    vfree(output);
}

void QuorvelRegionDoneCallback::regionBegin(OutputRegion* region, int threadIndex, int pass)
{
    auto* output = static_cast<QuorvelRenderOutput*>(region);
    if (wrapped)
        wrapped->regionBegin(output->wrapped, threadIndex, pass);
    int rect[4];
    output->getRect(rect);
    std::lock_guard lock(mutex);
    core().QvInitBucket(static_cast<uint64_t>(threadIndex), rect[0], rect[1], rect[2], rect[3]);
    output->bucketOpen = true;
}

void QuorvelRegionDoneCallback::regionDone(OutputRegion* region)
{
    auto* output = static_cast<QuorvelRenderOutput*>(region);
    if (wrapped)
        wrapped->regionDone(output->wrapped);
    if (!output->bucketOpen)
        return;
    int rect[4];
    output->getRect(rect);
    std::lock_guard lock(mutex);
    core().QvProcessBucketFlushToFile(rect[0], rect[1], rect[2], rect[3]);
}

// ---- Output region: region buffers carry the bucket from a render server -----

void QuorvelRenderOutput::getRect(int rect[4]) const
{
    wrapped->getRect(rect);
}

void QuorvelRenderOutput::setPixel(int x, int y, const AColor& c)
{
    wrapped->setPixel(x, y, c);
}

int64_t QuorvelRenderOutput::getBuffer(uint8_t* buffer, int64_t size)
{
    int rect[4];
    getRect(rect);
    if (!buffer) {
        int64_t coreSize = 0;
        if (bucketOpen) {
            coreSize = core().QvProcessBucketGetBufferSize(rect[0], rect[1], rect[2], rect[3]);
            if (coreSize < 0) {
                QvOutputLogCStr(QL::ERROR, "Failed to get Quorvel region buffer size");
                coreSize = 0;
            }
        }
        const int64_t own = wrapped->getBuffer(nullptr, size);
        return own < 0 ? own : own + coreSize;
    }
    if (wrapped->getBuffer(buffer, size) == 0) {
        QvOutputLogCStr(QL::ERROR, "original vray getBuffer Failed");
        return 0;
    }
    if (!bucketOpen)
        return 1;
    if (!core().QvBucketFlushToMemory(buffer, static_cast<uint64_t>(size), rect[0], rect[1], rect[2], rect[3])) {
        QvOutputLogCStr(QL::ERROR, "Quorvel bucket flush to memory Failed");
        return 0;
    }
    // The bucket has left with the buffer: region done has nothing to flush.
    bucketOpen = false;
    return 1;
}

int QuorvelRenderOutput::putBuffer(const uint8_t* buffer, int64_t size)
{
    std::lock_guard lock(owner.mutex);
    const int taken = wrapped->putBuffer(buffer, size);
    if (!bucketOpen)
        core().QvFlushMemoryBufferToFile(buffer, static_cast<uint64_t>(size));
    return taken;
}

} // namespace QuorvelPlugin
