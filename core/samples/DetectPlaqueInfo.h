#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/Types.h"

namespace Quorvel::BinIO::inline v2_0 {

// One detection plaque. The in-memory layout is the 28-byte record image used
// by buckets, memory buffers and the temporary sample file, so the padding
// bytes are spelled out.
struct DetectPlaqueInfo {
    uint8_t cameraIndex = 0;
    uint8_t padding0 = 0;
    uint16_t x = 0;
    uint16_t y = 0;
    uint8_t estimated = 0;
    uint8_t hair = 0;
    uint8_t reserved = 0;
    uint8_t level = 0;
    uint8_t transparent = 0;
    uint8_t padding1 = 0;
    float depth = 0.0f;
    VekPoint normal{0.0f, 0.0f, 0.0f};
};

static_assert(sizeof(DetectPlaqueInfo) == 28);
static_assert(offsetof(DetectPlaqueInfo, x) == 2);
static_assert(offsetof(DetectPlaqueInfo, estimated) == 6);
static_assert(offsetof(DetectPlaqueInfo, transparent) == 10);
static_assert(offsetof(DetectPlaqueInfo, depth) == 12);
static_assert(offsetof(DetectPlaqueInfo, normal) == 16);

} // namespace Quorvel::BinIO::inline v2_0
