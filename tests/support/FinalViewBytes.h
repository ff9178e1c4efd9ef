#pragma once

// Reads a final view file from its byte layout alone, without the writer's
// helpers: little-endian fields, Blosc blocks and the colour code's formulas.

#include <blosc.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "foundation/Types.h"

namespace QuorvelTest {

struct Bytes {
    std::vector<uint8_t> data;
    uint32_t u32(std::size_t at) const
    {
        return data.at(at) | data.at(at + 1) << 8 | data.at(at + 2) << 16 | static_cast<uint32_t>(data.at(at + 3)) << 24;
    }
    uint16_t u16(std::size_t at) const { return static_cast<uint16_t>(data.at(at) | data.at(at + 1) << 8); }
    float f32(std::size_t at) const
    {
        const uint32_t v = u32(at);
        float f;
        std::memcpy(&f, &v, 4);
        return f;
    }
    std::vector<uint8_t> slice(std::size_t at, std::size_t size) const
    {
        EXPECT_LE(at + size, data.size());
        if (at + size > data.size())
            return {};
        return {data.begin() + static_cast<std::ptrdiff_t>(at), data.begin() + static_cast<std::ptrdiff_t>(at + size)};
    }
};

inline Bytes readFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>())};
}

inline std::vector<uint8_t> decompress(const std::vector<uint8_t>& block)
{
    size_t nbytes = 0, cbytes = 0, blocksize = 0;
    if (block.size() < 16)
        return {};
    blosc_cbuffer_sizes(block.data(), &nbytes, &cbytes, &blocksize);
    EXPECT_EQ(cbytes, block.size());
    std::vector<uint8_t> out(nbytes);
    EXPECT_EQ(blosc_decompress_ctx(block.data(), out.data(), out.size(), 1), static_cast<int>(nbytes));
    return out;
}

// Linear RGB of a colour code, by the formulas of the code's decoder.
inline VekRGB colourOf(uint32_t code)
{
    const double x = (code & 127) * 0.49999997 / 127 + 0.15;
    const double y = ((code >> 7) & 127) * 0.54 / 127 + 0.06;
    const double Yp = ((code >> 14) & 1023) * 0.956 / 1023;
    const double Y = std::pow(1 / (1 - Yp) - 1, 1.5);
    const double X = x * Y / y, Z = (1 - x - y) * Y / y;
    return {static_cast<float>(3.2406 * X - 1.5372 * Y - 0.4986 * Z),
            static_cast<float>(-0.9689 * X + 1.8758 * Y + 0.0415 * Z),
            static_cast<float>(0.0557 * X - 0.204 * Y + 1.057 * Z)};
}

} // namespace QuorvelTest
