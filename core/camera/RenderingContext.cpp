#include "camera/RenderingContext.h"

#include <limits>

#include "camera/CameraSet.h"

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
