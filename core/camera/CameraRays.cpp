#include "camera/CameraRays.h"

#include <cmath>

#include "camera/CameraSet.h"
#include "camera/CubeMap.h"
#include "camera/DetectRayInternal.h"
#include "context/QuorvelContext.h"

namespace Quorvel::Camera::inline v2_0 {

namespace {

using Phase::QuorvelContext;

constexpr uint64_t kCoverageWordsPerPixel = 4;

bool insideImage(double x, double y, double width, double height)
{
    // Written so that NaN coordinates fall outside.
    return x >= 0.0 && y >= 0.0 && x < width && y < height;
}

bool coveredByCamera(const QuorvelContext& c, uint64_t pixel, uint64_t camera)
{
    const uint64_t word = pixel * kCoverageWordsPerPixel + camera / 64;
    if (word >= c.cameraCoverage.size())
        return false;
    return (c.cameraCoverage[word].load(std::memory_order_relaxed) >> (camera % 64)) & 1u;
}

void countRay(QuorvelContext& c, uint64_t pixel)
{
    if (pixel < c.raysShot.size())
        ++c.raysShot[pixel];
}

bool passesClipping(const QuorvelContext& c, const QvCameraRay& ray)
{
    if (!c.clipEnabled || c.clipInside)
        return true;
    return raySphereHit(ray.origin, ray.direction, c.clipCentreCamera, c.clipRadius);
}

void setCubeMapDirection(QvCameraRay& ray, float u, float v)
{
    const CubeMapDirection d = cubeMapSample(u, v);
    ray.direction = d.direction;
    ray.dDirectionDs = d.dDirectionDs;
    ray.dDirectionDt = d.dDirectionDt;
}

} // namespace

uint32_t rayDirectionMask(const VekPoint& d)
{
    constexpr float e = 0.0001f;
    uint32_t mask = 0;
    if (d.z < e)
        mask |= kFaceMinusZ;
    if (d.x >= -e)
        mask |= kFacePlusX;
    if (d.z >= -e)
        mask |= kFacePlusZ;
    if (d.x < e)
        mask |= kFaceMinusX;
    if (d.y >= -e)
        mask |= kFacePlusY;
    if (d.y < e)
        mask |= kFaceMinusY;
    return mask;
}

namespace {

// The detection ray without its count; `pixel` is set when the ray is valid.
// A camera pixel already taken stops the ray only when `stopCovered` is set.
// Inside a speculative bucket the earlier buckets' claims are not all known
// yet: the ray is shot, and the bucket's flush takes it back if its camera
// pixel turns out taken (detectRayCounts).
QvCameraRay detectRay(const QuorvelContext& c, uint64_t cameraIndex, double x, double y, bool stopCovered,
                      uint64_t& pixel)
{
    const double width = c.renderingResolutionX.get();
    const double height = c.renderingResolutionY.get();
    QvCameraRay ray;
    if (!insideImage(x, y, width, height))
        return ray;
    if (cameraIndex >= c.cameraPositions.size() || cameraIndex >= c.cameraPriorities.size() ||
        cameraIndex >= c.cameraFaceMasks.size())
        return ray;
    if (c.cameraPriorities[cameraIndex] < 0.0f)
        return ray;
    // Draft renders camera 0 only.
    if (cameraIndex != 0 && c.draft.get())
        return ray;

    const uint64_t px = static_cast<uint64_t>(x);
    const uint64_t py = static_cast<uint64_t>(y);
    pixel = py * static_cast<uint64_t>(width) + px;
    const Phase::TransparencyRenderingType mode = c.transparencyMode.get();
    if (stopCovered && mode != Phase::TRANSP && mode != Phase::BOTH && !c.bucketOrder.speculative(pixel) &&
        coveredByCamera(c, pixel, cameraIndex))
        return ray;

    setCubeMapDirection(ray, (static_cast<float>(px) + 0.5f) / static_cast<float>(width),
                        (static_cast<float>(py) + 0.5f) / static_cast<float>(height));
    ray.origin = c.cameraPositions[cameraIndex];
    // A camera on a face only sees what leaves the box through that face.
    ray.valid = (c.cameraFaceMasks[cameraIndex] & rayDirectionMask(ray.direction)) != 0;
    if (ray.valid)
        ray.valid = passesClipping(c, ray);
    return ray;
}

} // namespace

QvCameraRay QvGetRayDetectPhase(const uint64_t& cameraIndex, const double& x, const double& y)
{
    QuorvelContext& c = Phase::getQuorvelContext();
    uint64_t pixel = 0;
    const QvCameraRay ray = detectRay(c, cameraIndex, x, y, true, pixel);
    if (ray.valid)
        countRay(c, pixel);
    return ray;
}

bool detectRayCounts(const QuorvelContext& c, uint64_t cameraIndex, uint64_t px, uint64_t py)
{
    uint64_t pixel = 0;
    return detectRay(c, cameraIndex, static_cast<double>(px) + 0.5, static_cast<double>(py) + 0.5, false, pixel).valid;
}

QvCameraRay QvGetRayRenderPhase(const double& x, const double& y)
{
    QuorvelContext& c = Phase::getQuorvelContext();
    const double width = c.renderingResolutionX.get();
    const double height = c.renderingResolutionY.get();
    const uint64_t block = c.currentBlock.get();
    const double outWidth = c.outputResolutionX.get();
    const double outHeight = c.outputResolutionY.get();
    QvCameraRay ray;
    if (!insideImage(x, y, width, height))
        return ray;

    const uint64_t ix = static_cast<uint64_t>(x);
    const uint64_t iy = static_cast<uint64_t>(y);
    const float fx = static_cast<float>(x - static_cast<double>(ix));
    const float fy = static_cast<float>(y - static_cast<double>(iy));
    const uint64_t w = static_cast<uint64_t>(width);
    const uint64_t pixel = iy * w + ix;
    const uint64_t n = block * w * static_cast<uint64_t>(height) + pixel;
    if (n >= c.plaques.size())
        return ray;

    const BinIO::DetectPlaqueInfo& plaque = c.plaques[n];
    // A plaque naming a camera outside the set, or a level no 16-bit pixel
    // coordinate can address, comes from a damaged file: no ray for it.
    if (plaque.cameraIndex >= c.cameraPositions.size() || plaque.level >= 16)
        return ray;

    const unsigned level = plaque.level;
    const float f = static_cast<float>(1u << level);
    const float u = (static_cast<float>(plaque.x >> level) + fx) / (static_cast<float>(outWidth) / f);
    const float v = (static_cast<float>(plaque.y >> level) + fy) / (static_cast<float>(outHeight) / f);
    setCubeMapDirection(ray, u, v);
    ray.origin = c.cameraPositions[plaque.cameraIndex];
    ray.valid = passesClipping(c, ray);
    countRay(c, pixel);
    return ray;
}

QvCameraRay QvGetSpecularRay(const double& x, const double& y)
{
    QuorvelContext& c = Phase::getQuorvelContext();
    const double width = c.renderingResolutionX.get();
    const double height = c.renderingResolutionY.get();
    const float inverseScale = 1.0f / c.renderScale.get();
    const VekPoint& offset = c.specularPointOffset.get();

    QvCameraRay ray;
    setCubeMapDirection(ray, static_cast<float>(x) / static_cast<float>(width),
                        static_cast<float>(y) / static_cast<float>(height));
    ray.valid = true;
    ray.origin = {offset.x * 100.0f * c.zovScaling.x * inverseScale, offset.y * 100.0f * c.zovScaling.y * inverseScale,
                  offset.z * 100.0f * c.zovScaling.z * inverseScale};
    return ray;
}

bool QvGetCurrentSampleIndexCount(const int32_t& x, const int32_t& y, uint64_t& index)
{
    QuorvelContext& c = Phase::getQuorvelContext();
    const double pixel = static_cast<double>(y) * c.renderingResolutionX.get() + static_cast<double>(x);
    if (!(pixel >= 0.0) || pixel >= static_cast<double>(c.sampleIndexCounters.size()))
        return false;
    uint16_t& counter = c.sampleIndexCounters[static_cast<uint64_t>(pixel)];
    index = counter;
    // The detection phase has 256 cameras: later samples stay on the last.
    if (!(c.phase == Phase::Detect && counter >= 255))
        ++counter;
    return true;
}

} // namespace Quorvel::Camera::inline v2_0
