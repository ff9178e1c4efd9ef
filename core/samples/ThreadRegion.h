#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "foundation/Types.h"
#include "io/AovFormat.h"
#include "samples/DetectPlaqueInfo.h"
#include "samples/QvRenderSample.h"

namespace Quorvel::BinIO::inline v2_0 {

// One processed render sample; its first 53 bytes plus 3 padding bytes are the
// 56-byte record image of buffers and the temporary file.
struct OutSample {
    double depth = 0.0;
    VekPoint normal{0.0f, 0.0f, 0.0f};
    VekRGBA color{0.0f, 0.0f, 0.0f, 0.0f};
    int32_t x = 0;
    int32_t y = 0;
    uint32_t cameraIndex = 0;
    int32_t level = 0;
    uint8_t backFacing = 0;
    std::vector<RenderSample::AOVData> aovs;
};

// Group key -> samples of that group in one pixel.
using PixelCell = std::map<uint64_t, std::vector<RenderSample::QvRenderSample>>;

// What one render thread collects for the bucket it has open.
struct ThreadRegion {
    std::vector<DetectPlaqueInfo> detectRecords;
    std::vector<OutSample> outSamples;
    uint64_t x0 = 0;
    uint64_t y0 = 0;
    uint64_t x1 = 0;
    uint64_t y1 = 0;
    uint64_t bucketWidth = 0;
    uint64_t bucketHeight = 0;
    uint64_t sampleCount = 0;
    bool active = false;
    std::vector<PixelCell> pixels; // bucketWidth columns x bucketHeight rows, row-major

    ThreadRegion() = default;
    ThreadRegion(uint64_t width, uint64_t height);
};

} // namespace Quorvel::BinIO::inline v2_0
