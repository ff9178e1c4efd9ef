#pragma once

// Reads a final view file from its byte layout alone, without the writer's
// helpers: little-endian fields, Blosc blocks and the colour code's formulas.

#include <blosc.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
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

// e of the integrity trailer: the sum of the character codes of the SHA-512
// digest, in lower-case hex, over the trailer's last 40 bytes (check value 0),
// the first `ranges` covered header ranges and the sample and motion blocks;
// -1 when a size or an offset points outside the file.
inline int digestCharacterSum(const Bytes& file, uint32_t ranges)
{
    const std::size_t size = file.data.size();
    auto inside = [size](uint64_t offset, uint64_t length) { return offset <= size && length <= size - offset; };
    if (size < 200)
        return -1;
    const uint32_t trailer = file.u32(180);
    if (!inside(trailer, 552) || !inside(file.u32(156), file.u32(152)) || !inside(file.u32(164), file.u32(160)))
        return -1;
    std::vector<uint8_t> tail = file.slice(trailer + 512, 40);
    tail[4] = tail[5] = 0;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestInit_ex(ctx, EVP_sha512(), nullptr);
    EVP_DigestUpdate(ctx, tail.data(), tail.size());
    for (uint32_t r = 0; r < ranges && r < 4; ++r) {
        const uint32_t offset = file.u32(trailer + 520 + 8 * r);
        const uint32_t length = file.u32(trailer + 524 + 8 * r);
        if (!inside(offset, length)) {
            EVP_MD_CTX_free(ctx);
            return -1;
        }
        EVP_DigestUpdate(ctx, file.data.data() + offset, length);
    }
    EVP_DigestUpdate(ctx, file.data.data() + file.u32(156), file.u32(152));
    if (file.u32(160))
        EVP_DigestUpdate(ctx, file.data.data() + file.u32(164), file.u32(160));
    unsigned char digest[64];
    unsigned int length = 0;
    EVP_DigestFinal_ex(ctx, digest, &length);
    EVP_MD_CTX_free(ctx);
    char hex[129];
    for (int i = 0; i < 64; ++i)
        std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    int e = 0;
    for (int i = 0; i < 128; ++i)
        e += hex[i];
    return e;
}

// (check value + e) mod 99 for the file as it stands: the rendering-engine
// identifier of an unchanged file; -1 when a size or an offset points outside
// the file.
inline int decodedEngine(const Bytes& file)
{
    const int e = digestCharacterSum(file, 4);
    if (e < 0)
        return -1;
    const std::size_t at = file.u32(180) + 516;
    const int16_t check = static_cast<int16_t>(file.data[at] | file.data[at + 1] << 8);
    return ((check + e) % 99 + 99) % 99;
}

// Sets the check value so that a file changed in its covered bytes decodes to
// `engine` again, over as many header ranges as its trailer lists: a reader
// then gets past the digest to the change. False when the layout does not
// allow it.
inline bool resealCheckValue(Bytes& file, int engine = 1)
{
    if (file.data.size() < 200 || file.u32(180) > file.data.size() || file.data.size() - file.u32(180) < 552)
        return false;
    const std::size_t at = file.u32(180) + 516;
    const int e = digestCharacterSum(file, file.u16(at + 2));
    if (e < 0)
        return false;
    const int16_t check = static_cast<int16_t>(file.data[at] | file.data[at + 1] << 8);
    const int decoded = ((check + e) % 99 + 99) % 99;
    int fixed = check + engine - decoded;
    while (fixed > 32767)
        fixed -= 99;
    while (fixed < -32768)
        fixed += 99;
    const uint16_t bits = static_cast<uint16_t>(static_cast<int16_t>(fixed));
    file.data[at] = static_cast<uint8_t>(bits);
    file.data[at + 1] = static_cast<uint8_t>(bits >> 8);
    return true;
}

// The fields of one 16-byte sample code of the cube layout.
struct CubeSampleCode {
    uint32_t colour = 0;      // 24-bit colour code
    uint32_t alpha = 0;       // 0...255
    uint32_t rightColour = 0; // right-eye colour code, un-XORed
    uint32_t camera = 0;
    uint32_t normal = 0; // octahedral, u * 256 + v
    uint32_t depth = 0;  // 15-bit depth code
    bool transparent = false;
    uint32_t sizeIndex = 0; // (width - 1) + 3 (height - 1) + 9 level, 31 when out of range
    bool moving = false, cockpit = false;
    uint32_t x = 0, y = 0; // pixel column and row of the display image
};

inline CubeSampleCode cubeSampleCode(const Bytes& codes, std::size_t i)
{
    const std::size_t at = 16 * i;
    const uint32_t w0 = codes.u32(at), w1 = codes.u32(at + 4), w2 = codes.u32(at + 8), w3 = codes.u32(at + 12);
    CubeSampleCode c;
    c.colour = w0 & 0xFFFFFF;
    c.alpha = w0 >> 24;
    c.rightColour = (w1 ^ w0) & 0xFFFFFF;
    c.camera = w1 >> 24;
    c.normal = w2 & 0xFFFF;
    c.depth = (w2 >> 16) & 0x7FFF;
    c.transparent = (w2 >> 31) != 0;
    c.sizeIndex = w3 & 31;
    c.moving = (w3 >> 5) & 1;
    c.cockpit = (w3 >> 6) & 1;
    c.x = (w3 >> 7) & 0x1FFF;
    c.y = w3 >> 20;
    return c;
}

// Depth of a 15-bit depth code: constant angular steps between the angles
// whose tangents are 0.015 and 1000, times 100.
inline double depthOfCode(uint32_t code)
{
    constexpr double lo = 0.014998876, hi = 1.5697963;
    return std::tan(code * (hi - lo) / 32767 + lo) * 100;
}

// How far the depth behind `code` may lie from the depth it decodes to. The
// encoder keeps the nearer of the two codes around a depth, so a depth that
// encodes to `code` lies within half the gap to one of its neighbours; the
// single-precision atan/tan of the encoder add a few units in the last place
// of the depth, covered by 1e-5 of it.
inline double depthCodeBound(uint32_t code)
{
    const double d = depthOfCode(code);
    const double below = code > 0 ? d - depthOfCode(code - 1) : 0.0;
    const double above = code < 32767 ? depthOfCode(code + 1) - d : 0.0;
    return std::max(below, above) / 2 + 1e-5 * d;
}

// Unit direction of the image position (u, v) of a camera's cube map: three
// faces (+x, +z, -x) in the upper row, (-z, +y, -y) in the lower one.
inline VekPoint cubeDirection(double u, double v)
{
    const double s = 2 * u - 1, t = 2 * v - 1, k = 0.9999999, third = 1.0f / 3.0f;
    double d[3];
    if (t < 0) {
        if (s < -third)
            d[0] = 1, d[1] = (2 * t + 1) * k, d[2] = (3 * s + 2) * k;
        else if (s < third)
            d[0] = -3 * s * k, d[1] = (2 * t + 1) * k, d[2] = 1;
        else
            d[0] = -1, d[1] = (2 * t + 1) * k, d[2] = (2 - 3 * s) * k;
    } else {
        if (s < -third)
            d[0] = (3 * s + 2) * k, d[1] = (2 * t - 1) * k, d[2] = -1;
        else if (s < third)
            d[0] = -3 * s * k, d[1] = 1, d[2] = (1 - 2 * t) * k;
        else
            d[0] = (2 - 3 * s) * k, d[1] = -1, d[2] = (2 * t - 1) * k;
    }
    const double l = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    return {static_cast<float>(d[0] / l), static_cast<float>(d[1] / l), static_cast<float>(d[2] / l)};
}

// Unit normal of a 16-bit octahedral normal code (u * 256 + v).
inline VekPoint normalOfCode(uint32_t code)
{
    double a = (code >> 8 & 255) / 255.0 * 2 - 1, b = (code & 255) / 255.0 * 2 - 1;
    const double c = 1 - std::fabs(a) - std::fabs(b);
    if (c < 0) {
        const double fa = (1 - std::fabs(b)) * (a >= 0 ? 1 : -1), fb = (1 - std::fabs(a)) * (b >= 0 ? 1 : -1);
        a = fa;
        b = fb;
    }
    const double l = std::sqrt(a * a + b * b + c * c);
    return {static_cast<float>(a / l), static_cast<float>(b / l), static_cast<float>(c / l)};
}

// Largest angle between a normal and the decoded normal of its code: the
// encoder keeps the best corner of the cell of side 2/255 around the normal's
// octahedral coordinates, at most half a cell diagonal away; the octahedron's
// tilt and its distance from the centre (down to 1/sqrt(3)) stretch that by
// at most sqrt(3) each.
inline constexpr double kNormalCodeBound = 3.0 * (2.0 / 255.0) * 0.70710678;

// The 24-bit colour code of a linear colour, from the code's formulas:
// CIE xy chromaticity on 7 bits each, compressed luminance on 10 bits.
inline uint32_t colourCode(const VekRGB& c)
{
    auto nearest = [](double v, uint32_t max) {
        const auto n = static_cast<uint32_t>(v) + (v - std::floor(v) > 0.5 ? 1u : 0u);
        return std::min(n, max);
    };
    const float X = 0.4124f * c.r + 0.3576f * c.g + 0.1805f * c.b;
    float Y = 0.2126f * c.r + 0.7152f * c.g + 0.0722f * c.b;
    const float Z = 0.0193f * c.r + 0.1192f * c.g + 0.9505f * c.b;
    const float S = Z + (Y + X);
    float x = 0.312716f, y = 0.3290015f;
    if (S != 0.0f) {
        x = X / S;
        y = Y / S;
    } else {
        Y = 0.0f;
    }
    const float xp = (std::clamp(x, 0.15f, 0.65f) - 0.15f) / 0.49999997f;
    const float yp = (std::clamp(y, 0.06f, 0.6f) - 0.06f) / 0.54f;
    const float t = std::pow(Y, 0.6666667f);
    const float Yp = std::clamp(1.0f - 1.0f / (t + 1.0f), 0.0f, 0.956f) / 0.956f;
    return nearest(Yp * 1023.0f, 1023) << 14 | nearest(yp * 127.0f, 127) << 7 | nearest(xp * 127.0f, 127);
}

// Largest difference between the fields (x, y, luminance) of two colour codes.
inline uint32_t colourCodeDistance(uint32_t a, uint32_t b)
{
    auto diff = [](uint32_t p, uint32_t q) { return p > q ? p - q : q - p; };
    return std::max({diff(a & 127, b & 127), diff((a >> 7) & 127, (b >> 7) & 127), diff(a >> 14, b >> 14)});
}

} // namespace QuorvelTest
