#include "camera/RenderingContext.h"

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
