#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <set>

#include "camera/CameraRays.h"
#include "camera/Sampling.h"
#include "context/QuorvelContext.h"
#include "samples/DetectSample.h"
#include "samples/RenderSample.h"
#include "support/TestScene.h"

// A small stand-in for the host renderer: it traces the core's rays in a
// TestScene (placed in world space), answers the core's test rays, and feeds
// the hits back the way the V-Ray binding does. Objects can be marked as
// glass or hair to reach the core's other detection paths.
namespace QuorvelTest {

class TestHost {
public:
    explicit TestHost(TestScene scene = TestScene::room()) : scene_(std::move(scene))
    {
        rayTest_.userData = this;
        rayTest_.trace = &TestHost::traceScene;
        rayTest_.reserved = [](void*) { return 0; };
    }

    TestHost(const TestHost&) = delete;
    TestHost& operator=(const TestHost&) = delete;

    const TestScene& scene() const { return scene_; }
    Quorvel::DetectSample::RayTestInterface* rayTest() { return &rayTest_; }

    void markGlass(int object) { glass_.insert(object); }
    void markHair(int object) { hair_.insert(object); }

    // Test rays the core has traced so far.
    uint64_t traceCount() const { return traces_.load(std::memory_order_relaxed); }

    // Detection phase: for every pixel of [x0, x1) x [y0, y1), as many samples
    // as asked, each on the camera the core hands out for it. A hit the core
    // answers with alpha 0 is passed through: the ray goes on behind it.
    // Returns the number of hits handed to the core.
    uint64_t shootDetection(uint64_t thread, int32_t x0, int32_t y0, int32_t x1, int32_t y1,
                            int samplesPerPixel = 256)
    {
        uint64_t hits = 0;
        for (int32_t y = y0; y < y1; ++y)
            for (int32_t x = x0; x < x1; ++x)
                hits += shootDetectionPixel(thread, x, y, samplesPerPixel);
        return hits;
    }

    uint64_t shootDetectionPixel(uint64_t thread, int32_t x, int32_t y, int samplesPerPixel = 256)
    {
        uint64_t hits = 0;
        for (int s = 0; s < samplesPerPixel; ++s) {
            uint64_t camera = 0;
            if (!Quorvel::Camera::QvGetCurrentSampleIndexCount(x, y, camera))
                break;
            const Quorvel::Camera::QvCameraRay ray = Quorvel::Camera::QvGetRayDetectPhase(camera, x + 0.5, y + 0.5);
            if (!ray.valid)
                continue;
            VekPoint origin = toWorldPoint(ray.origin);
            const VekPoint direction = toWorldDirection(ray.direction);
            for (int layer = 0; layer < kMaxPassThrough; ++layer) {
                const SceneHit hit = scene_.intersect(origin, direction);
                if (!hit.hit)
                    break;
                ++hits;
                const VekRGBA colour =
                    Quorvel::DetectSample::QvProcessDetectSample(&rayTest_, detectSample(camera, x, y, hit), thread);
                if (colour.a != 0.0f)
                    break;
                // Step past the surface so the next search does not find it again.
                origin = VekPoint{hit.position.x + direction.x * 1e-4f, hit.position.y + direction.y * 1e-4f,
                                  hit.position.z + direction.z * 1e-4f};
            }
        }
        return hits;
    }

    // The detection sample the binding would report for a hit.
    Quorvel::DetectSample::QvDetectSample detectSample(uint64_t camera, int32_t x, int32_t y,
                                                       const SceneHit& hit) const
    {
        Quorvel::DetectSample::QvDetectSample sample;
        sample.hair = hair_.count(hit.object) != 0;
        sample.x = x;
        sample.y = y;
        sample.cameraIndex = camera;
        const auto& c = Quorvel::Phase::getQuorvelContext();
        sample.transparent = glass_.count(hit.object) != 0 ||
                             (c.transparencyMode.isSet() && c.transparencyMode.peek() == Quorvel::Phase::TRANSP);
        sample.normal = sample.hair ? VekPoint{0.0f, 0.0f, 0.0f} : hit.normal;
        sample.position = hit.position;
        return sample;
    }

    // The first hit of camera `camera`'s detection ray through pixel (x, y).
    SceneHit detectionHit(uint64_t camera, int32_t x, int32_t y) const
    {
        const Quorvel::Camera::QvCameraRay ray = Quorvel::Camera::QvGetRayDetectPhase(camera, x + 0.5, y + 0.5);
        if (!ray.valid)
            return {};
        return scene_.intersect(toWorldPoint(ray.origin), toWorldDirection(ray.direction));
    }

    // Optional AOVs a test attaches to every render sample.
    std::function<void(Quorvel::RenderSample::QvRenderSample&, const SceneHit&)> addAovs;

    // Optional shading of render hits; the object's colour without it.
    std::function<VekRGBA(const SceneHit&)> shade;

    // Optional observer of every render ray the core hands out (valid or not),
    // called on the render thread that asked for it.
    std::function<void(uint64_t thread, double x, double y, const Quorvel::Camera::QvCameraRay&)> onRenderRay;

    // Render phase: for every pixel of [x0, x1) x [y0, y1) of the rendering
    // image, samplesPerPixel render rays at Halton positions, shaded with the
    // colour of the object hit. Returns the number of samples routed.
    uint64_t shootRender(uint64_t thread, int32_t x0, int32_t y0, int32_t x1, int32_t y1, int samplesPerPixel = 4)
    {
        using namespace Quorvel::RenderSample;
        uint64_t routed = 0;
        QvRenderSample sample;
        for (int32_t y = y0; y < y1; ++y)
            for (int32_t x = x0; x < x1; ++x)
                for (int s = 0; s < samplesPerPixel; ++s) {
                    const VekPoint2 offset = Quorvel::Camera::QvGetSamplingPos(static_cast<uint64_t>(s), 1);
                    const double sx = x + static_cast<double>(offset.x);
                    const double sy = y + static_cast<double>(offset.y);
                    const Quorvel::Camera::QvCameraRay ray = Quorvel::Camera::QvGetRayRenderPhase(sx, sy);
                    if (onRenderRay)
                        onRenderRay(thread, sx, sy, ray);
                    if (!ray.valid)
                        continue;
                    const SceneHit hit = scene_.intersect(toWorldPoint(ray.origin), toWorldDirection(ray.direction));
                    if (!hit.hit)
                        continue;
                    QvInitSampleAov(sample);
                    QvSetSamplePosition(sample, hit.position);
                    QvSetSampleNormal(sample, hit.normal);
                    QvSetSampleColor(sample, shade ? shade(hit) : hit.color);
                    QvSetSamplePosXY(sample, sx, sy);
                    QvSetSampleZ(sample, hit.distance);
                    if (addAovs)
                        addAovs(sample, hit);
                    QvProcessRenderSample(thread, x, y, 0, sample);
                    ++routed;
                }
        return routed;
    }

    static VekPoint toWorldPoint(const VekPoint& p)
    {
        return Quorvel::Utils::transformPoint(p, Quorvel::Phase::getQuorvelContext().cameraToWorld);
    }

    static VekPoint toWorldDirection(const VekPoint& d)
    {
        return Quorvel::Utils::normalize(
            Quorvel::Utils::transformDirection(d, Quorvel::Phase::getQuorvelContext().cameraToWorld));
    }

private:
    static constexpr int kMaxPassThrough = 8;

    static bool traceScene(const VekPoint& origin, const VekPoint& direction, double maxDistance, void* hitData,
                           void* userData)
    {
        auto* host = static_cast<TestHost*>(userData);
        host->traces_.fetch_add(1, std::memory_order_relaxed);
        const SceneHit hit = host->scene_.intersect(origin, direction, maxDistance);
        if (hit.hit)
            Quorvel::DetectSample::writeRayHitData(hitData, hit.position, hit.normal, hit.distance);
        return hit.hit;
    }

    TestScene scene_;
    Quorvel::DetectSample::RayTestInterface rayTest_;
    std::set<int> glass_;
    std::set<int> hair_;
    std::atomic<uint64_t> traces_{0};
};

} // namespace QuorvelTest
