#pragma once

// Feeds one input to quorvel_host's texture reader as the bytes of a texture
// file, and samples what it decodes across its mip levels.

#include <cstddef>
#include <cstdint>
#include <string>

#include "Texture.h"

namespace QuorvelFuzz {

// True when the input decoded; `error` holds the reason when it did not.
inline bool runTexture(const uint8_t* data, size_t size, std::string* error = nullptr)
{
    std::string why;
    const auto texture = QuorvelHost::decodeTexture(data, size, why);
    if (!texture) {
        if (error)
            *error = why;
        return false;
    }
    // Coordinates outside [0, 1], huge and not finite, at every level.
    const float coords[] = {0.0f, 0.5f, 0.999f, -3.25f, 1e20f, -1e-30f};
    for (float u : coords)
        for (float v : coords)
            for (float lod : {0.0f, 0.5f, 3.7f, 100.0f, -1.0f})
                (void)texture->sample(u, v, lod);
    (void)texture->sample(0.5f, 0.5f, texture->lodFor(1e30f));
    return true;
}

} // namespace QuorvelFuzz
