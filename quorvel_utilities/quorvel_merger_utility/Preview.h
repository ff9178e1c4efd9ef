#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "foundation/Types.h"

// A small picture of the final view file's samples, decoded from their codes
// as a player would see them, through a fixed camera behind the zone of view.
namespace Quorvel::FinalView {

inline constexpr uint32_t kPreviewSize = 256;

struct PreviewFrame {
    VekPoint boxMin{-50.0f, -50.0f, -50.0f};
    VekPoint boxMax{50.0f, 50.0f, 50.0f};
    uint32_t flags = 1; // bit 3: cube projection
    uint32_t displayWidth = 0;
    uint32_t displayHeight = 0;
};

// What the preview reads back from one 16-byte code.
struct DecodedCode {
    uint32_t colour = 0;
    uint32_t alpha = 0;
    uint32_t camera = 0;
    uint32_t depth = 0;
    int32_t x = 0;
    int32_t y = 0;
    uint32_t plaqueWidth = 1;
    uint32_t plaqueHeight = 1;
    uint32_t level = 0;
};

DecodedCode decodeCode(const uint8_t* code, bool cube, uint32_t displayWidth);

// Distance of a sample from its camera, from its 15-bit depth code.
float decodeDepthCode(uint32_t depth);

// Linear RGB of a colour code (negative channels set to 0).
VekRGB decodeColourCode(uint32_t code);

// cameraTable holds the positions of the "camPosTable" block (units of 100
// scene units). Empty when the picture cannot be made.
std::optional<std::vector<uint8_t>> renderPreview(const PreviewFrame& frame, const uint8_t* codes, std::size_t count,
                                                  uint32_t width, uint32_t height,
                                                  const std::array<VekPoint, 256>& cameraTable);

} // namespace Quorvel::FinalView
