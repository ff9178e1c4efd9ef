#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/Half.h"

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

} // namespace Quorvel::BinIO::inline v2_0
