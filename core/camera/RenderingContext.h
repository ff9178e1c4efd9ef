#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "camera/CubeMap.h"
#include "foundation/Export.h"
#include "foundation/Types.h"

// Points inside a pixel, in pixel units from its upper-left corner.
enum PLAQUE_MAIN_POINTS : int32_t { upLeft = 0, upRight = 1, downLeft = 2, downRight = 3 };

enum PLAQUE_EXTENDED_POINTS : int32_t {
    left = 0,
    right = 1,
    up = 2,
    down = 3,
    quarterUpLeft = 4,
    quarterUpRight = 5,
    quarterDownLeft = 6,
    quarterDownRight = 7
};

// Kept just inside the pixel so that a point never lands on the neighbour's
// edge once divided by the image size (3355 * 2^-25, slightly below 0.0001f).
inline constexpr float kPlaquePointEpsilon = 3355.0f / 33554432.0f;
inline constexpr float kPlaquePointFar = 0.9999f;

constexpr std::array<VekPoint2, 4> GetMainPointsPos2D()
{
    constexpr float e = kPlaquePointEpsilon;
    constexpr float f = kPlaquePointFar;
    return {{{e, f}, {f, f}, {e, e}, {f, e}}};
}

constexpr std::array<VekPoint2, 8> GetExtendedPointsPos2D()
{
    constexpr float e = kPlaquePointEpsilon;
    constexpr float f = kPlaquePointFar;
    return {{{e, 0.5f},
             {f, 0.5f},
             {0.5f, e},
             {0.5f, f},
             {0.25005f, 0.74995f},
             {0.74995f, 0.74995f},
             {0.25005f, 0.25005f},
             {0.74995f, 0.25005f}}};
}

// Geometric frame in which plaque pixels are interpreted: which cameras, at
// which cube-map resolution. The default values are the ones the shared
// instance has after load and after every reset.
struct QUORVEL_API RenderingContext {
    const std::vector<VekPoint>* cameras = nullptr; // camera positions, not owned
    uint64_t width = 4000;
    uint64_t height = 2000;
    float renderScale = 1.0f;
    float tolerance = 0.25f;
    bool lookupReady = false;
    std::vector<VekPoint> centerLookup;
    std::array<std::vector<VekPoint>, 4> cornerLookups;

    // Caches the centre and main-point directions of every pixel. Must not
    // run while other threads read this context.
    void InitLookup();
    void ReleaseLookup();

    // Back to the load values, lookups released, no cameras.
    void Reset();

    VekPoint GetCenterDirection(uint64_t x, uint64_t y) const;
    VekPoint GetDirection(PLAQUE_MAIN_POINTS point, uint64_t x, uint64_t y) const;
    VekPoint GetExtendedDirection(PLAQUE_EXTENDED_POINTS point, uint64_t x, uint64_t y) const;

    // Direction through the point (a, b) of pixel (x, y); never cached.
    VekPoint ComputeDirection(uint64_t x, uint64_t y, float a, float b) const;

    bool isAtProximity(float a, float b, float h) const;
};

// Inline, as plaque geometry asks for five directions per plaque.
inline VekPoint RenderingContext::ComputeDirection(uint64_t x, uint64_t y, float a, float b) const
{
    const float u = (static_cast<float>(x) + a) / static_cast<float>(width);
    const float v = (static_cast<float>(y) + b) / static_cast<float>(height);
    return Quorvel::Camera::cubeMapDirection(u, v);
}

// Pixels outside the image are computed rather than read from a neighbour's
// (or beyond the last) cache entry.
inline VekPoint RenderingContext::GetCenterDirection(uint64_t x, uint64_t y) const
{
    if (lookupReady && x < width && y < height)
        return centerLookup[x + y * width];
    return ComputeDirection(x, y, 0.5f, 0.5f);
}

inline VekPoint RenderingContext::GetDirection(PLAQUE_MAIN_POINTS point, uint64_t x, uint64_t y) const
{
    const auto index = static_cast<std::size_t>(point) & 3u;
    if (lookupReady && x < width && y < height)
        return cornerLookups[index][x + y * width];
    const VekPoint2 p = GetMainPointsPos2D()[index];
    return ComputeDirection(x, y, p.x, p.y);
}

inline VekPoint RenderingContext::GetExtendedDirection(PLAQUE_EXTENDED_POINTS point, uint64_t x, uint64_t y) const
{
    const VekPoint2 p = GetExtendedPointsPos2D()[static_cast<std::size_t>(point) & 7u];
    return ComputeDirection(x, y, p.x, p.y);
}

// The one instance the phase lifecycle loads at every begin and resets at
// every init; the proximity test of the sample intake reads it.
QUORVEL_API RenderingContext& GetSharedRenderingContext();
