#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "FinalCodes.h"
#include "analysis/DepthCode.h"

using namespace Quorvel::FinalView;
using Quorvel::Binary::vekbin;

namespace {

uint32_t word(const uint8_t* code, int i)
{
    const uint8_t* p = code + 4 * i;
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

vekbin staticSample()
{
    vekbin s;
    s.colour = {1.0f, 1.0f, 1.0f, 1.0f};
    s.rightColour = {0.0f, 0.0f, 0.0f};
    s.camera = 7;
    s.normal = {0.0f, 0.0f, 1.0f};
    s.depth = 100.0;
    s.plaqueWidth = 3;
    s.plaqueHeight = 2;
    s.level = 1;
    s.x = 1000;
    s.y = 500;
    s.width = 1536;
    s.height = 1024;
    return s;
}

} // namespace

TEST(FinalCodes, ColourCodes)
{
    struct Case {
        VekRGB colour;
        uint32_t code;
    };
    const Case cases[] = {
        {{1.0f, 1.0f, 1.0f}, 8773545}, // xq 41, yq 63, Yq 535
        {{0.0f, 0.0f, 0.0f}, 8105},    // white point, Y = 0
    };
    for (const auto& c : cases)
        EXPECT_EQ(colourCode(c.colour.r, c.colour.g, c.colour.b), c.code);
    EXPECT_EQ(colourCode(1.0f, 1.0f, 1.0f) & 127u, 41u);
    EXPECT_EQ((colourCode(1.0f, 1.0f, 1.0f) >> 7) & 127u, 63u);
    EXPECT_EQ(colourCode(1.0f, 1.0f, 1.0f) >> 14, 535u);
    // Saturated and out-of-gamut inputs stay inside their fields.
    EXPECT_LT(colourCode(1e30f, 0.0f, 0.0f), 1u << 24);
    EXPECT_LT(colourCode(-1.0f, 2.0f, std::numeric_limits<float>::quiet_NaN()), 1u << 24);
}

TEST(FinalCodes, AlphaAndNearestIntegerRoundHalvesDown)
{
    EXPECT_EQ(alphaCode(1.0f), 255u);
    EXPECT_EQ(alphaCode(0.0f), 0u);
    EXPECT_EQ(alphaCode(2.0f), 255u);
    EXPECT_EQ(nearestInt(2.5f, 10), 2u);
    EXPECT_EQ(nearestInt(2.5001f, 10), 3u);
    EXPECT_EQ(nearestInt(-3.0f, 10), 0u);
    EXPECT_EQ(nearestInt(std::numeric_limits<float>::quiet_NaN(), 10), 0u);
}

TEST(FinalCodes, DepthCodes)
{
    const std::pair<float, uint32_t> cases[] = {
        {1.0f, 0}, {1.5f, 0}, {100.0f, 16236}, {200000.0f, 32767}, {std::numeric_limits<float>::quiet_NaN(), 0}};
    for (const auto& [depth, code] : cases)
        EXPECT_EQ(encodeDepth(depth), code) << depth;
    // Every code decodes to a depth whose code is itself.
    for (uint32_t q : {1u, 77u, 16236u, 30000u, 32766u})
        EXPECT_EQ(encodeDepth(decodeDepth(q)), q);
}

TEST(FinalCodes, CubeNormalCodes)
{
    const std::pair<VekPoint, uint32_t> cases[] = {
        {{0, 0, 1}, 32639}, {{1, 0, 0}, 65407}, {{0, 0, -1}, 65535}, {{0, 0, 0}, 0}, {{0.00005f, 0, 0}, 0}};
    for (const auto& [n, code] : cases)
        EXPECT_EQ(cubeNormalCode(n), code) << n.x << " " << n.y << " " << n.z;
}

TEST(FinalCodes, LatLongNormalTable)
{
    const auto& table = normalDirectionTable();
    EXPECT_EQ(table[0].x, 0.0f);
    EXPECT_EQ(table[0].y, 0.0f);
    EXPECT_EQ(table[0].z, 0.0f);
    for (std::size_t i = 1; i < table.size(); ++i)
        EXPECT_NEAR(std::sqrt(table[i].x * table[i].x + table[i].y * table[i].y + table[i].z * table[i].z), 1.0f,
                    1e-6f);
    // Ring 0 is the lower pole, ring 14 the upper one; the equator ring of 29
    // directions starts at index 1 + 6 + 12 + 18 + 22 + 26 + 28 = 114.
    EXPECT_NEAR(table[1].y, -1.0f, 1e-6f);
    EXPECT_NEAR(table[255].y, 1.0f, 1e-6f);
    EXPECT_NEAR(table[114].y, 0.0f, 1e-6f);
    EXPECT_NEAR(table[114].z, 1.0f, 1e-6f);
    EXPECT_NEAR(table[113].y, table[86].y, 1e-6f); // ring 6 spans 86..113

    EXPECT_EQ(latLongNormalIndex({0, 0, 0}), 0u);
    EXPECT_EQ(latLongNormalIndex({0, -3, 0}), 1u);
    EXPECT_EQ(latLongNormalIndex({0, 1, 0}), 255u);
    EXPECT_EQ(latLongNormalIndex({0, 0, 2}), 114u);
}

TEST(FinalCodes, PlaqueSizeIndex)
{
    struct Case {
        uint32_t w, h, level, index;
    };
    const Case cases[] = {{1, 1, 0, 0}, {2, 1, 1, 10}, {3, 3, 2, 26}, {3, 2, 3, 31}, {0, 1, 0, 31}, {1, 1, 4, 31}};
    for (const auto& c : cases)
        EXPECT_EQ(plaqueSizeIndex(c.w, c.h, c.level), c.index);
}

TEST(FinalCodes, CubeSampleCodeBitForBit)
{
    vekbin s = staticSample();
    s.transpFlag = true;
    s.cockpitFlag = true;
    uint8_t code[16];
    encodeSample(s, MotionStats{}, 1, code, nullptr);
    const uint32_t w0 = 8773545u | 255u << 24;
    EXPECT_EQ(word(code, 0), w0);
    EXPECT_EQ(word(code, 1), ((8105u ^ w0) & 0xFFFFFFu) | 7u << 24);
    EXPECT_EQ(word(code, 2), 32639u | 16236u << 16 | 1u << 31);
    EXPECT_EQ(word(code, 3), 14u | 1u << 6 | 1000u << 7 | 500u << 20);

    // Without the transparency flag both colours are premultiplied by alpha.
    s.transpFlag = false;
    s.cockpitFlag = false;
    s.colour.a = 0.5f;
    s.rightColour = {1.0f, 1.0f, 1.0f};
    s.velocity = {1.0f, 0.0f, 0.0f};
    encodeSample(s, MotionStats{}, 1, code, nullptr);
    const uint32_t half = colourCode(0.5f, 0.5f, 0.5f);
    EXPECT_EQ(word(code, 0), half | 127u << 24); // 127.5 rounds down
    EXPECT_EQ(word(code, 1) & 0xFFFFFFu, 0u);
    EXPECT_EQ(word(code, 2) >> 31, 0u);
    EXPECT_EQ(word(code, 3), 14u | 1u << 5 | 1000u << 7 | 500u << 20);
}

TEST(FinalCodes, LatLongSampleCodeBitForBit)
{
    vekbin s = staticSample();
    s.x = 10;
    s.y = 3;
    s.width = 64;
    s.plaqueWidth = 2;
    s.plaqueHeight = 3;
    s.level = 3;
    s.transpFlag = true;
    s.cockpitFlag = true;
    s.normal = {0, 1, 0};
    uint8_t code[16];
    encodeSample(s, MotionStats{}, 0, code, nullptr);
    const uint32_t flags = 2u | 1u << 2 | 1u << 3 | 3u << 4 | 1u << 6 | 1u << 7;
    EXPECT_EQ(word(code, 0), 3u * 64u + 10u + (flags << 24));
    EXPECT_EQ(word(code, 1), 16236u | 7u << 16 | 255u << 24);
    const uint32_t w2 = 8773545u | 255u << 24;
    EXPECT_EQ(word(code, 2), w2);
    EXPECT_EQ(word(code, 3), (8105u ^ w2) & 0xFFFFFFu);
}

TEST(FinalCodes, MotionComponents)
{
    // A quarter turn around the vertical axis at constant radius.
    const auto c = motionComponents({100, 0, 0}, {-100, 0, 100});
    EXPECT_NEAR(c[0], 1.5707964f, 1e-6f);
    EXPECT_NEAR(c[1], 0.0f, 1e-6f);
    EXPECT_EQ(c[2], 0.0f);
    // Crossing the azimuth seam takes the short way round.
    const auto seam = motionComponents({1, 0, -0.01f}, {0, 0, 0.02f});
    EXPECT_GT(seam[0], 0.0f);
    EXPECT_LT(seam[0], 0.1f);
    const auto radial = motionComponents({0, 10, 0}, {0, 5, 0});
    EXPECT_FLOAT_EQ(radial[2], 50.0f);
}

namespace {

vekbin moving(VekPoint position, VekPoint velocity)
{
    vekbin s = staticSample();
    s.position = position;
    s.velocity = velocity;
    return s;
}

} // namespace

TEST(FinalCodes, CubeMotionStatsAndCodes)
{
    const std::vector<vekbin> samples = {moving({100, 0, 0}, {10, 0, 0}), staticSample(),
                                         moving({100, 0, 0}, {-100, 0, 100}), moving({0, 0, 100}, {0, 0, 5})};
    const MotionStats stats = computeMotionStatsCube(samples);
    ASSERT_TRUE(stats.moving);
    EXPECT_FLOAT_EQ(stats.minimum[2], 0.0f);
    EXPECT_FLOAT_EQ(stats.maximum[2], 100.0f);
    EXPECT_FLOAT_EQ(stats.step1, (stats.maximum[0] - stats.minimum[0]) / 4095.0f);
    // lo is 0: the offset is 0 and the scale maps hi onto 255.
    EXPECT_EQ(stats.offset, 0.0f);
    EXPECT_FLOAT_EQ(stats.scale, 100.0f / 16581375.0f);
    const auto header = stats.headerValues(1);
    EXPECT_EQ(header[0], stats.minimum[0]);
    EXPECT_EQ(header[1], stats.minimum[1]);
    EXPECT_EQ(header[2], stats.scale / 1000.0f);
    EXPECT_EQ(header[5], stats.offset);

    std::vector<uint8_t> codes, motion;
    encodeSamples(samples, stats, 1, codes, motion);
    ASSERT_EQ(codes.size(), 64u);
    ASSERT_EQ(motion.size(), 16u);
    EXPECT_EQ(word(motion.data(), 0) >> 24, 255u); // the radial maximum
    EXPECT_EQ(word(motion.data(), 1), 0u);         // static sample
    EXPECT_EQ(word(motion.data(), 2) >> 24, 0u);
    EXPECT_EQ(word(motion.data(), 2) & 0xFFFu, 4095u); // azimuth maximum
    EXPECT_EQ(word(codes.data() + 16, 3) >> 5 & 1u, 0u);
    EXPECT_EQ(word(codes.data(), 3) >> 5 & 1u, 1u);
}

TEST(FinalCodes, CubeOneMovingSampleStillDecodesItsRadialValue)
{
    // A small value is widened by +-5e-7; at 30 the widening is lost in
    // rounding and the single-value encoding takes over.
    for (const auto& [position, velocity] : {std::pair<VekPoint, VekPoint>{{0, 0, 0.1f}, {0, 0, 1e-5f}},
                                             std::pair<VekPoint, VekPoint>{{0, 0, 100}, {0, 0, 3}}}) {
        const std::vector<vekbin> one = {moving(position, velocity)};
        const MotionStats stats = computeMotionStatsCube(one);
        EXPECT_EQ(stats.minimum[2], stats.maximum[2]);
        ASSERT_TRUE(std::isfinite(stats.offset));
        ASSERT_TRUE(std::isfinite(stats.scale));
        ASSERT_NE(stats.scale, 0.0f);
        std::vector<uint8_t> codes, motion;
        encodeSamples(one, stats, 1, codes, motion);
        const float o = static_cast<float>(motion[3]) - stats.offset;
        EXPECT_NEAR(stats.scale * o * o * o, stats.minimum[2], 1e-5f + 1e-6f * stats.minimum[2]);
    }
}

TEST(FinalCodes, LatLongRadialEncodingStaysFiniteForDegenerateRanges)
{
    struct Case {
        const char* name;
        std::vector<vekbin> samples;
    };
    const Case cases[] = {
        {"one value", {moving({0, 0, 100}, {0, 0, 3})}},
        {"all zero", {moving({100, 0, 0}, {-100, 0, 100})}},
        {"lo zero", {moving({100, 0, 0}, {-100, 0, 100}), moving({100, 0, 0}, {10, 0, 0})}},
        {"hi zero", {moving({100, 0, 0}, {-100, 0, 100}), moving({100, 0, 0}, {-10, 0, 0})}},
        {"spread", {moving({100, 0, 0}, {-10, 0, 0}), moving({100, 0, 0}, {10, 0, 0})}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const MotionStats stats = computeMotionStatsLatLong(c.samples);
        ASSERT_TRUE(std::isfinite(stats.offset));
        ASSERT_TRUE(std::isfinite(stats.scale));
        ASSERT_NE(stats.scale, 0.0f);
        EXPECT_EQ(stats.headerValues(0)[2], stats.minimum[2]);
        EXPECT_EQ(stats.headerValues(0)[5], stats.scale);
        std::vector<uint8_t> codes, motion;
        encodeSamples(c.samples, stats, 0, codes, motion);
        ASSERT_EQ(motion.size(), 2 * c.samples.size());
        const float range = stats.maximum[2] - stats.minimum[2];
        for (std::size_t i = 0; i < c.samples.size(); ++i) {
            const float value = motionComponents(c.samples[i].position, c.samples[i].velocity)[2];
            const float o = static_cast<float>(motion[2 * i + 1]) - stats.offset;
            const float decoded = stats.scale * o * o * o;
            EXPECT_NEAR(decoded, value, 1e-4f + range * 0.05f) << i;
        }
    }
}
