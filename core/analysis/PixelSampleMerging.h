#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "camera/RenderingContext.h"
#include "foundation/Export.h"
#include "foundation/Types.h"
#include "io/AovFormat.h"
#include "samples/DetectPlaqueInfo.h"
#include "samples/QvRenderSample.h"

// The viewing ray of one plaque: its camera and the direction through the
// plaque pixel centre, on an output image `width` pixels wide.
struct ViewPointInfo {
    VekPoint position{0.0f, 0.0f, 0.0f};
    VekPoint direction{0.0f, 0.0f, 0.0f};
    uint64_t width = 0;
};

// One surface layer of a pixel. The fields up to `backFacing` are those of a
// bucket's output sample, in the same order.
struct TOutPixelData {
    double depth = 0.0;
    VekPoint normal{0.0f, 0.0f, 0.0f};
    VekRGBA color{0.0f, 0.0f, 0.0f, 0.0f};
    int32_t x = 0;
    int32_t y = 0;
    uint32_t cameraIndex = 0;
    int32_t level = 0;
    uint8_t backFacing = 0;
    std::vector<Quorvel::RenderSample::AOVData> aovs;
    VekPoint position{0.0f, 0.0f, 0.0f};
    // Bit per plaque test point near which a sample of the layer fell: bits
    // 0-3 the corners, bit 4 the centre, bits 5-12 the extended points, the
    // order in which the overlap test reads its mask.
    uint16_t coverage = 0;
    uint64_t sampleCount = 0;
};

// Depths at or beyond this are rays that hit nothing.
inline constexpr double kMissDepth = 9.000000135427196e29;

// Sub-pixel positions of the thirteen overlap test points, in coverage bit
// order: the four corners, the centre, the eight extended points.
QUORVEL_API std::array<VekPoint2, 13> GetCoveragePointsPos2D();

// Coverage bit of the test point nearest to the sub-pixel position (an equal
// distance keeps the lower bit).
QUORVEL_API uint16_t CoverageBit(float fracX, float fracY);

// Clusters one pixel's samples into surface layers and merges each layer;
// the result is in ascending depth. Transparent plaques (opaque false) scale
// their layers by the glass AOV instead of taking the coverage as alpha.
QUORVEL_API std::vector<TOutPixelData> MergePixelSamples(const Quorvel::BinIO::DetectPlaqueInfo& plaque,
                                                         const Quorvel::BinIO::AovFormat& registry,
                                                         const std::vector<Quorvel::RenderSample::QvRenderSample>& samples,
                                                         const RenderingContext& context, const ViewPointInfo& viewPoint,
                                                         const uint64_t& shotRays, bool opaque);

// False for a layer too thick, or too sparse for how far its plaque reaches,
// to stand for the plaque of its pixel.
QUORVEL_API bool IsPlaqueMeaningful(const RenderingContext& context, uint64_t sampleCount, const TOutPixelData& layer);

// The context of the coarser grid a plaque of this level lives on: same
// cameras, scale and tolerance, no lookups.
QUORVEL_API RenderingContext ContextAtLevel(const RenderingContext& context, uint64_t level);
