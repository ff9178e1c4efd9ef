#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "camera/CameraSet.h"
#include "camera/RenderingContext.h"
#include "samples/DetectPlaqueInfo.h"
#include "samples/QvRenderSample.h"
#include "support/TestScene.h"

namespace QuorvelTest {

// The camera set placed in the analytic room (render scale 50 puts the box
// [-50, 50]^3 on the unit box), a small cube-map context over it, and plaques
// and render samples made from exact hits of the cameras' rays.
struct AnalysisRig {
    Quorvel::Camera::CameraSet cameras;
    RenderingContext context;
    TestScene scene = TestScene::room();

    explicit AnalysisRig(uint64_t width = 48, uint64_t height = 32)
    {
        Quorvel::Camera::CameraPlacement placement;
        placement.renderScale = 50.0f;
        cameras = Quorvel::Camera::makeCameraSet(placement);
        context.cameras = &cameras.positions;
        context.width = width;
        context.height = height;
        context.renderScale = 50.0f;
        context.tolerance = 0.25f;
    }

    AnalysisRig(const AnalysisRig&) = delete;
    AnalysisRig& operator=(const AnalysisRig&) = delete;

    const VekPoint& cameraPosition(uint64_t camera) const { return cameras.positions.at(camera); }

    // The detection plaque camera `camera` records at pixel (x, y) of a plaque
    // grid of the given level, as the probe intake fills it: the hit distance
    // along the pixel-centre ray and the surface normal.
    std::optional<Quorvel::BinIO::DetectPlaqueInfo> plaqueAt(uint64_t camera, uint64_t x, uint64_t y,
                                                              uint8_t level = 0) const
    {
        const RenderingContext grid = levelContext(level);
        const VekPoint d = grid.GetCenterDirection(x >> level, y >> level);
        const SceneHit hit = scene.intersect(cameraPosition(camera), d);
        if (!hit.hit)
            return std::nullopt;
        Quorvel::BinIO::DetectPlaqueInfo p;
        p.cameraIndex = static_cast<uint8_t>(camera);
        p.x = static_cast<uint16_t>(x);
        p.y = static_cast<uint16_t>(y);
        p.level = level;
        p.depth = static_cast<float>(hit.distance);
        p.normal = hit.normal;
        return p;
    }

    // Every plaque a camera records over the whole image.
    std::vector<Quorvel::BinIO::DetectPlaqueInfo> plaquesOf(uint64_t camera) const
    {
        std::vector<Quorvel::BinIO::DetectPlaqueInfo> out;
        for (uint64_t y = 0; y < context.height; ++y)
            for (uint64_t x = 0; x < context.width; ++x)
                if (auto p = plaqueAt(camera, x, y))
                    out.push_back(*p);
        return out;
    }

    // A render sample of the ray through the sub-pixel point (fx, fy) of the
    // plaque's pixel; a ray that hits nothing has the miss depth.
    Quorvel::RenderSample::QvRenderSample sampleAt(const Quorvel::BinIO::DetectPlaqueInfo& plaque, float fx,
                                                   float fy) const
    {
        const RenderingContext grid = levelContext(plaque.level);
        const VekPoint d = grid.ComputeDirection(plaque.x >> plaque.level, plaque.y >> plaque.level, fx, fy);
        const SceneHit hit = scene.intersect(cameraPosition(plaque.cameraIndex), d);
        Quorvel::RenderSample::QvRenderSample s;
        s.fracX = fx;
        s.fracY = fy;
        if (!hit.hit) {
            s.depth = 1e30;
            return s;
        }
        s.position = hit.position;
        s.normal = hit.normal;
        s.color = hit.color;
        s.depth = hit.distance;
        return s;
    }

    // Samples on an n x n grid of sub-pixel points.
    std::vector<Quorvel::RenderSample::QvRenderSample> gridSamples(const Quorvel::BinIO::DetectPlaqueInfo& plaque,
                                                                   int n) const
    {
        std::vector<Quorvel::RenderSample::QvRenderSample> out;
        for (int j = 0; j < n; ++j)
            for (int i = 0; i < n; ++i)
                out.push_back(sampleAt(plaque, (static_cast<float>(i) + 0.5f) / static_cast<float>(n),
                                       (static_cast<float>(j) + 0.5f) / static_cast<float>(n)));
        return out;
    }

    RenderingContext levelContext(uint8_t level) const
    {
        RenderingContext c;
        c.cameras = context.cameras;
        c.width = context.width >> level;
        c.height = context.height >> level;
        c.renderScale = context.renderScale;
        c.tolerance = context.tolerance;
        return c;
    }

    // Pixel of the context whose centre direction is closest to `direction`.
    std::pair<uint64_t, uint64_t> pixelToward(const VekPoint& direction) const
    {
        std::pair<uint64_t, uint64_t> best{0, 0};
        float bestDot = -2.0f;
        for (uint64_t y = 0; y < context.height; ++y)
            for (uint64_t x = 0; x < context.width; ++x) {
                const VekPoint d = context.GetCenterDirection(x, y);
                const float c = d.x * direction.x + d.y * direction.y + d.z * direction.z;
                if (c > bestDot) {
                    bestDot = c;
                    best = {x, y};
                }
            }
        return best;
    }
};

} // namespace QuorvelTest
