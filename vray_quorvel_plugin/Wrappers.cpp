// The objects the plug-in installs in place of the host's; each keeps the
// host's own object and forwards what it does not handle.

#include "CoreCalls.h"
#include "QuorvelPlugin.h"

namespace QuorvelPlugin {

using namespace VUtils;

// ---- Camera -------------------------------------------------------------------

PluginInterface* QuorvelCamera::newInterface(InterfaceID id)
{
    return id == EXT_CAMERA_SUBFRAMES ? &subFrames_ : nullptr;
}

int QuorvelCamera::getScreenRay(double, double, int, ScreenRay& ray)
{
    // The core's rays are handed out once the camera's ray requests are wired
    // to the core; until then every sample is skipped.
    ray.flags = 0;
    ray.maxDistance = 0.0;
    ray.weight = AColor(0, 0, 0, 0);
    return 0;
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

// ---- Intersection shader ------------------------------------------------------

int QuorvelIntersectionShader::shade(VRayContext&)
{
    return 1;
}

void QuorvelIntersectionShader::prepareFrame() {}

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
    return wrapped ? wrapped->newOutputRegion(rect) : nullptr;
}

void QuorvelRegionDoneCallback::releaseOutputRegion(OutputRegion* region)
{
    if (wrapped)
        wrapped->releaseOutputRegion(region);
}

void QuorvelRegionDoneCallback::regionBegin(OutputRegion* region, int threadIndex, int pass)
{
    if (wrapped)
        wrapped->regionBegin(region, threadIndex, pass);
}

void QuorvelRegionDoneCallback::regionDone(OutputRegion* region)
{
    if (wrapped)
        wrapped->regionDone(region);
}

} // namespace QuorvelPlugin
