#include "camera/RenderingContext.h"

#include <limits>

#include "camera/CameraSet.h"
#include "camera/CubeMap.h"

std::array<VekPoint2, 4> GetMainPointsPos2D()
{
    constexpr float e = kPlaquePointEpsilon;
    constexpr float f = kPlaquePointFar;
    return {{{e, f}, {f, f}, {e, e}, {f, e}}};
}

std::array<VekPoint2, 8> GetExtendedPointsPos2D()
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

VekPoint RenderingContext::ComputeDirection(uint64_t x, uint64_t y, float a, float b) const
{
    const float u = (static_cast<float>(x) + a) / static_cast<float>(width);
    const float v = (static_cast<float>(y) + b) / static_cast<float>(height);
    return Quorvel::Camera::cubeMapDirection(u, v);
}

void RenderingContext::InitLookup()
{
    // A pixel count beyond 64 bits would wrap and size the tables too small;
    // such a context computes every direction instead.
    if (height != 0 && width > std::numeric_limits<uint64_t>::max() / height) {
        ReleaseLookup();
        return;
    }
    const std::array<VekPoint2, 4> main = GetMainPointsPos2D();
    const uint64_t count = width * height;
    centerLookup.resize(count);
    for (auto& lookup : cornerLookups)
        lookup.resize(count);
    for (uint64_t y = 0; y < height; ++y)
        for (uint64_t x = 0; x < width; ++x) {
            const uint64_t i = x + y * width;
            centerLookup[i] = ComputeDirection(x, y, 0.5f, 0.5f);
            for (int p = 0; p < 4; ++p)
                cornerLookups[p][i] = ComputeDirection(x, y, main[p].x, main[p].y);
        }
    lookupReady = true;
}

// Pixels outside the image are computed rather than read from a neighbour's
// (or beyond the last) cache entry.
VekPoint RenderingContext::GetCenterDirection(uint64_t x, uint64_t y) const
{
    if (lookupReady && x < width && y < height)
        return centerLookup[x + y * width];
    return ComputeDirection(x, y, 0.5f, 0.5f);
}

VekPoint RenderingContext::GetDirection(PLAQUE_MAIN_POINTS point, uint64_t x, uint64_t y) const
{
    const auto index = static_cast<std::size_t>(point) & 3u;
    if (lookupReady && x < width && y < height)
        return cornerLookups[index][x + y * width];
    const VekPoint2 p = GetMainPointsPos2D()[index];
    return ComputeDirection(x, y, p.x, p.y);
}

VekPoint RenderingContext::GetExtendedDirection(PLAQUE_EXTENDED_POINTS point, uint64_t x, uint64_t y) const
{
    const VekPoint2 p = GetExtendedPointsPos2D()[static_cast<std::size_t>(point) & 7u];
    return ComputeDirection(x, y, p.x, p.y);
}

bool RenderingContext::isAtProximity(float a, float b, float h) const
{
    return !Quorvel::Camera::depthsFarApart(renderScale * a, renderScale * b, 100.0f * h,
                                           static_cast<float>(width));
}

void RenderingContext::ReleaseLookup()
{
    // Swap with empties so the memory really goes back.
    std::vector<VekPoint>().swap(centerLookup);
    for (auto& lookup : cornerLookups)
        std::vector<VekPoint>().swap(lookup);
    lookupReady = false;
}

void RenderingContext::Reset()
{
    ReleaseLookup();
    *this = RenderingContext{};
}

RenderingContext& GetSharedRenderingContext()
{
    static RenderingContext instance;
    return instance;
}
