#pragma once

// Textures of mesh files: PNG, JPEG and TGA decoded through stb_image into
// 8-bit RGBA with a mip chain, sampled bilinearly between two mip levels.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "VRayTypes.h"

namespace QuorvelHost {

// Sizes refused before any pixel is decoded: a few header bytes could
// otherwise ask for gigabytes.
inline constexpr int kMaxTextureSide = 8192;
inline constexpr uint64_t kMaxTexturePixels = uint64_t(1) << 26;
// Bytes read from a texture file at most.
inline constexpr uint64_t kMaxTextureFileBytes = uint64_t(1) << 28;

struct Texture {
    struct Level {
        int width = 0, height = 0;
        std::vector<uint8_t> rgba; // colour in sRGB, alpha linear
    };
    std::vector<Level> levels; // full size first, down to 1 x 1
    bool hasAlpha = false;     // some texel is not opaque

    int width() const { return levels.front().width; }
    int height() const { return levels.front().height; }
    // Linear RGBA at (u, v), repeating outside [0, 1], v upwards; `lod` is
    // the mip level (0 = full size), fractions blend the two around it.
    VUtils::AColor sample(float u, float v, float lod) const;
    // The level of detail for a footprint of `uvWidth` in texture space.
    float lodFor(float uvWidth) const;
};

// Decodes an encoded PNG, JPEG or TGA image; null with the reason in `error`.
std::shared_ptr<Texture> decodeTexture(const uint8_t* data, size_t size, std::string& error);
// Reads and decodes a file; null with the reason in `error`.
std::shared_ptr<Texture> readTexture(const std::string& path, std::string& error);
// An image already in memory as 8-bit RGBA (the texels of a mesh file).
std::shared_ptr<Texture> textureFromRgba(std::vector<uint8_t> rgba, int width, int height, std::string& error);

} // namespace QuorvelHost
