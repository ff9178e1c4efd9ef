#pragma once

#include <cstddef>
#include <cstdint>

#include <vector>

#include "foundation/Half.h"
#include "io/AovFormat.h"
#include "samples/DetectPlaqueInfo.h"

namespace Quorvel::BinIO::inline v2_0 {

// One render sample as stored in version-9 render files (28 bytes). Colour
// and normal are binary16; the padding bytes are zero in files.
struct qvlRenderSample5_t {
    float depth = 0.0f;
    half_float::half colour[4] = {};
    half_float::half normal[3] = {};
    uint16_t x = 0;
    uint16_t y = 0;
    uint8_t cameraIndex = 0;
    uint8_t zero0 = 0;
    uint8_t level = 0;
    uint8_t zero1[3] = {0, 0, 0};
};

static_assert(sizeof(half_float::half) == 2);
static_assert(sizeof(qvlRenderSample5_t) == 28);
static_assert(offsetof(qvlRenderSample5_t, depth) == 0);
static_assert(offsetof(qvlRenderSample5_t, colour) == 4);
static_assert(offsetof(qvlRenderSample5_t, normal) == 12);
static_assert(offsetof(qvlRenderSample5_t, x) == 18);
static_assert(offsetof(qvlRenderSample5_t, y) == 20);
static_assert(offsetof(qvlRenderSample5_t, cameraIndex) == 22);
static_assert(offsetof(qvlRenderSample5_t, zero0) == 23);
static_assert(offsetof(qvlRenderSample5_t, level) == 24);
static_assert(offsetof(qvlRenderSample5_t, zero1) == 25);

// One render sample of version-7 and version-8 render files (24 bytes): as
// above without the level.
struct qvlRenderSample4_t {
    float depth = 0.0f;
    half_float::half colour[4] = {};
    half_float::half normal[3] = {};
    uint16_t x = 0;
    uint16_t y = 0;
    uint8_t cameraIndex = 0;
    uint8_t zero0 = 0;
};

static_assert(sizeof(qvlRenderSample4_t) == 24);
static_assert(offsetof(qvlRenderSample4_t, x) == 18);
static_assert(offsetof(qvlRenderSample4_t, cameraIndex) == 22);

struct coordinates_t {
    float x = 0.0f;
    float y = 0.0f;
    float z = 0.0f;
};

static_assert(sizeof(coordinates_t) == 12);

// Everything a detection or render file holds besides its header. The AOVs
// are sample-major: slot s * n + j holds AOV j of sample s, n being the
// number of AOVs in the header.
template <class Sample>
struct qvlRenderSampleAovs {
    std::vector<coordinates_t> coordinates;
    std::vector<DetectPlaqueInfo> plaques;
    std::vector<Sample> samples;
    std::vector<RenderSample::AOVData> aovs;
    std::vector<uint8_t> trailing;
};

using qvlRenderSample5Aovs_t = qvlRenderSampleAovs<qvlRenderSample5_t>;
using qvlRenderSample4Aovs_t = qvlRenderSampleAovs<qvlRenderSample4_t>;

} // namespace Quorvel::BinIO::inline v2_0
