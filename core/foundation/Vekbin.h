#pragma once

#include <cstdint>
#include <vector>

#include "foundation/Export.h"
#include "foundation/Types.h"

// One sample on its way from a render file to the final view file. The merger
// and the core's analysis functions exchange vectors of it, so both must be
// built from this one definition.
namespace Quorvel::Binary::inline v2_0 {

struct QUORVEL_API vekbin {
    VekRGBA colour{0.0f, 0.0f, 0.0f, 1.0f};
    VekRGB rightColour{0.0f, 0.0f, 0.0f};
    uint16_t x = 0;
    uint16_t y = 0;
    double depth = 0.0;
    uint8_t camera = 0;
    VekPoint normal{0.0f, 0.0f, 0.0f};
    uint8_t plaqueWidth = 0;
    uint8_t plaqueHeight = 0;
    uint8_t level = 0;
    VekPoint boxScale{1.0f, 1.0f, 1.0f};
    uint64_t key = 0;
    double distance = 0.0;
    bool transparent = false;
    VekPoint velocity{0.0f, 0.0f, 0.0f};
    VekPoint position{0.0f, 0.0f, 0.0f};
    bool transpFlag = false;
    bool cockpitFlag = false;
    int32_t height = 0;
    int32_t width = 0;

    // Recomputes position, then key, transparent and distance; returns the
    // distance. cameras are the render file's positions, already scaled.
    // A camera index beyond the list counts as a camera at the centre.
    float updateDerived(const std::vector<VekPoint>& cameras, int32_t projection);
};

struct PixelDirection {
    VekPoint direction;
    bool valid;
};

// Unit direction through the centre of pixel (x, y) of a W x H image:
// latitude-longitude for projection 0, cube map otherwise (always valid).
QUORVEL_API PixelDirection pixelDirection(int32_t x, int32_t y, int32_t width, int32_t height, int32_t projection);

// Key order: key ascending, then distance ascending.
QUORVEL_API bool keyOrderLess(const vekbin& a, const vekbin& b);
QUORVEL_API void sortByKey(std::vector<vekbin>& samples);

// Final-file order: opaque by key ascending, then transparent by distance
// descending (farthest first).
QUORVEL_API bool finalFileOrderLess(const vekbin& a, const vekbin& b);
// Stable: equal samples keep their relative order.
QUORVEL_API void sortForFinalFile(std::vector<vekbin>& samples);

} // namespace Quorvel::Binary::inline v2_0
