#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

#include "io/AovFormat.h"
#include "io/HalfConversion.h"

using namespace Quorvel::BinIO;
using namespace Quorvel::Phase;
using Quorvel::RenderSample::AOVData;

namespace {

uint32_t bitsOf(float f)
{
    uint32_t b;
    std::memcpy(&b, &f, 4);
    return b;
}

float floatOf(uint32_t b)
{
    float f;
    std::memcpy(&f, &b, 4);
    return f;
}

} // namespace

TEST(HalfConversion, KnownValuesTruncate)
{
    const struct {
        float in;
        uint16_t out;
    } cases[] = {
        {1.0e6f, 0x7C00},           {0.1f, 0x2E66},
        {1.000732421875f, 0x3C00},  {-0.0f, 0x8000},
        {0.0f, 0x0000},             {1.0f, 0x3C00},
        {-2.0f, 0xC000},            {65504.0f, 0x7BFF},
        {65519.0f, 0x7BFF},         {65536.0f, 0x7C00},
        {std::ldexp(1.0f, -24), 0x0001},  {std::ldexp(1.0f, -25), 0x0000},
        {std::ldexp(1.0f, -14), 0x0400},  {std::ldexp(1.5f, -15), 0x0300},
        {std::numeric_limits<float>::infinity(), 0x7C00},
        {-std::numeric_limits<float>::infinity(), 0xFC00},
        {floatOf(0x7FC00000u), 0x7E00},   {floatOf(0xFFC00000u), 0xFE00},
        // A NaN whose payload lies only in the dropped bits becomes infinity.
        {floatOf(0x7F800001u), 0x7C00},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(floatToHalfBits(c.in), c.out) << std::hex << bitsOf(c.in);
        EXPECT_EQ(floatToHalf(c.in).bits(), c.out);
    }
}

// The meaning of truncation, checked independently of the formula on a
// spread of finite values: the half is the largest half not above |x|.
TEST(HalfConversion, ResultIsTheLargestHalfNotAboveTheMagnitude)
{
    for (uint64_t b = 0; b < (uint64_t{1} << 32); b += 9973) {
        const float x = floatOf(static_cast<uint32_t>(b));
        if (!std::isfinite(x))
            continue;
        const half_float::half h = floatToHalf(x);
        const float ax = std::fabs(x);
        const float ah = std::fabs(static_cast<float>(h));
        if (ax >= 65520.0f) {
            EXPECT_TRUE(h.isInfinity()) << x;
            continue;
        }
        half_float::half next;
        next.setBits(static_cast<uint16_t>((h.bits() & 0x7FFF) + 1));
        ASSERT_LE(ah, ax) << x;
        ASSERT_GT(static_cast<float>(next), ax) << x;
        ASSERT_EQ(std::signbit(static_cast<float>(h)), std::signbit(x)) << x;
    }
}

namespace {

// Three AOVs per sample; every slot byte preset to 0xAB so that bytes beyond
// a value's natural size can be seen to stay untouched.
std::vector<AOVData> patternSlots(size_t samples, size_t n)
{
    std::vector<AOVData> slots(samples * n);
    for (auto& s : slots)
        std::memset(s.bytes, 0xAB, sizeof s.bytes);
    return slots;
}

} // namespace

TEST(AovColumns, CompactTakesEveryStrideSlotAndDecompactWidensBack)
{
    constexpr size_t n = 3;
    constexpr size_t samples = 5;
    std::vector<AOVData> slots(samples * n);
    for (size_t s = 0; s < samples; ++s) {
        const float f = 0.5f + static_cast<float>(s);
        AOVData& slot = slots[s * n + 1];
        slot.asVec4[0] = f;
        slot.asVec4[1] = -f;
        slot.asVec4[2] = 0.1f * f;
        slot.asVec4[3] = 1.0e6f;
        slots[s * n + 0].asInt = static_cast<int32_t>(s) * -1000;
        slots[s * n + 2].asDouble = 0.1 * static_cast<double>(s);
    }

    std::vector<halfvec4> colour;
    CompactAOVS(&slots[1], samples, n, colour);
    ASSERT_EQ(colour.size(), samples);
    for (size_t s = 0; s < samples; ++s)
        for (int k = 0; k < 4; ++k)
            EXPECT_EQ(colour[s].v[k].bits(), floatToHalfBits(slots[s * n + 1].asVec4[k]));

    std::vector<int> ints;
    CompactAOVS(&slots[0], samples, n, ints);
    EXPECT_EQ(ints, (std::vector<int>{0, -1000, -2000, -3000, -4000}));

    std::vector<half_float::half> doubles;
    CompactAOVS(&slots[2], samples, n, doubles);
    ASSERT_EQ(doubles.size(), samples);
    // float64 narrowed to float32 (nearest) first, then truncated to half.
    EXPECT_EQ(doubles[1].bits(), 0x2E66);
    EXPECT_EQ(doubles[3].bits(), floatToHalfBits(static_cast<float>(0.30000000000000004)));

    std::vector<AOVData> back = patternSlots(samples, n);
    DecompactAOVs(&back[1], n, colour);
    DecompactAOVs(&back[0], n, ints);
    DecompactAOVs(&back[2], n, doubles);
    for (size_t s = 0; s < samples; ++s) {
        for (int k = 0; k < 4; ++k)
            EXPECT_EQ(back[s * n + 1].asVec4[k], static_cast<float>(colour[s].v[k]));
        EXPECT_EQ(back[s * n + 0].asInt, ints[s]);
        EXPECT_EQ(back[s * n + 2].asDouble, static_cast<double>(static_cast<float>(doubles[s])));
        for (int b = 4; b < 16; ++b)
            EXPECT_EQ(back[s * n + 0].bytes[b], 0xAB);
        for (int b = 8; b < 16; ++b)
            EXPECT_EQ(back[s * n + 2].bytes[b], 0xAB);
    }
}

TEST(AovColumns, VectorAndByteColumnsWriteOnlyTheirNaturalSize)
{
    constexpr size_t n = 4;
    constexpr size_t samples = 3;
    std::vector<AOVData> slots(samples * n);
    for (size_t s = 0; s < samples; ++s) {
        slots[s * n + 0].asByte = static_cast<char>(s + 1);
        for (int k = 0; k < 2; ++k)
            slots[s * n + 1].asVec2[k] = 1.000732421875f + static_cast<float>(k + s);
        for (int k = 0; k < 3; ++k)
            slots[s * n + 2].asVec3[k] = -0.25f * static_cast<float>(k + 1) - static_cast<float>(s);
        slots[s * n + 3].asVec3[0] = 65519.0f;
    }
    std::vector<char> bytes;
    std::vector<halfvec2> v2;
    std::vector<halfvec3> v3;
    std::vector<halfvec3> rgb;
    CompactAOVS(&slots[0], samples, n, bytes);
    CompactAOVS(&slots[1], samples, n, v2);
    CompactAOVS(&slots[2], samples, n, v3);
    CompactAOVS(&slots[3], samples, n, rgb);
    EXPECT_EQ(bytes, (std::vector<char>{1, 2, 3}));
    EXPECT_EQ(v2[0].v[0].bits(), 0x3C00);
    EXPECT_EQ(v3[1].v[2].bits(), floatToHalfBits(-1.75f));
    EXPECT_EQ(rgb[2].v[0].bits(), 0x7BFF);

    std::vector<AOVData> back = patternSlots(samples, n);
    DecompactAOVs(&back[0], n, bytes);
    DecompactAOVs(&back[1], n, v2);
    DecompactAOVs(&back[2], n, v3);
    for (size_t s = 0; s < samples; ++s) {
        EXPECT_EQ(back[s * n + 0].asByte, static_cast<char>(s + 1));
        EXPECT_EQ(back[s * n + 1].asVec2[1], static_cast<float>(v2[s].v[1]));
        EXPECT_EQ(back[s * n + 2].asVec3[2], slots[s * n + 2].asVec3[2]); // exact in half
        for (int b = 1; b < 16; ++b)
            EXPECT_EQ(back[s * n + 0].bytes[b], 0xAB);
        for (int b = 8; b < 16; ++b)
            EXPECT_EQ(back[s * n + 1].bytes[b], 0xAB);
        for (int b = 12; b < 16; ++b)
            EXPECT_EQ(back[s * n + 2].bytes[b], 0xAB);
        EXPECT_EQ(back[s * n + 3].bytes[0], 0xAB); // column not decompacted
    }
}

TEST(AovColumns, EmptyColumnCompactsToNothingAndChangesNothing)
{
    std::vector<AOVData> slots = patternSlots(1, 1);
    std::vector<halfvec3> column{halfvec3{}};
    CompactAOVS(slots.data(), 0, 1, column);
    EXPECT_TRUE(column.empty());
    std::vector<int> ints;
    CompactAOVS(nullptr, 0, 1, ints);
    EXPECT_TRUE(ints.empty());
    DecompactAOVs(slots.data(), 1, column);
    DecompactAOVs(slots.data(), 1, ints);
    for (unsigned char b : slots[0].bytes)
        EXPECT_EQ(b, 0xAB);
}

TEST(AovPacking, PacksNaturalSizesInTypeOrderAndReadsThemBack)
{
    const std::vector<AOVType> types = {AOV_Byte, AOV_Vector2, AOV_RGBA};
    AOVData slots[3];
    slots[0].asByte = 0x5A;
    slots[1].asVec2[0] = 1.0f;
    slots[1].asVec2[1] = -2.0f;
    for (int k = 0; k < 4; ++k)
        slots[2].asVec4[k] = static_cast<float>(k) * 0.5f;

    unsigned char packed[32];
    std::memset(packed, 0xEE, sizeof packed);
    EXPECT_EQ(WriteAovsToMem(packed, types, slots), 25u);
    // Byte, then two float32, then four float32, little-endian, no padding.
    const unsigned char expected[25] = {0x5A, 0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0xC0,
                                        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x3F,
                                        0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0xC0, 0x3F};
    EXPECT_EQ(std::memcmp(packed, expected, 25), 0);
    EXPECT_EQ(packed[25], 0xEE);

    AOVData back[3];
    EXPECT_EQ(ReadAovsFromMem(packed, types, back), 25u);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(std::memcmp(back[i].bytes, slots[i].bytes, 16), 0) << i;

    // An unknown type takes no bytes and its slot is left alone.
    const std::vector<AOVType> withUnknown = {AOV_Int, static_cast<AOVType>(12), AOV_Double};
    AOVData mixed[3];
    mixed[0].asInt = -7;
    mixed[1].asInt = 99;
    mixed[2].asDouble = 2.5;
    EXPECT_EQ(WriteAovsToMem(packed, withUnknown, mixed), 12u);
    AOVData mixedBack[3];
    EXPECT_EQ(ReadAovsFromMem(packed, withUnknown, mixedBack), 12u);
    EXPECT_EQ(mixedBack[0].asInt, -7);
    EXPECT_EQ(mixedBack[1].asInt, 0);
    EXPECT_EQ(mixedBack[2].asDouble, 2.5);
}

TEST(AovPacking, FileVariantsMatchTheMemoryBytesAndReportFailure)
{
    const std::vector<AOVType> types = {AOV_RGB, AOV_Int, AOV_Double, AOV_Vector3};
    AOVData slots[4];
    slots[0].asVec3[0] = 0.25f;
    slots[1].asInt = 123456;
    slots[2].asDouble = -1.0e-3;
    slots[3].asVec3[2] = 7.0f;
    unsigned char packed[64];
    const uint64_t size = WriteAovsToMem(packed, types, slots);
    ASSERT_EQ(size, 36u);

    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    EXPECT_TRUE(WriteAovsToFile(file, types, slots));
    EXPECT_TRUE(WriteAovsToFile(file, {}, slots));
    ASSERT_EQ(std::ftell(file), 36);
    std::rewind(file);
    unsigned char fromFile[36];
    ASSERT_EQ(std::fread(fromFile, 1, 36, file), 36u);
    EXPECT_EQ(std::memcmp(fromFile, packed, 36), 0);

    std::rewind(file);
    AOVData back[4];
    EXPECT_TRUE(ReadAovsFromFile(file, types, back));
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(std::memcmp(back[i].bytes, slots[i].bytes, 16), 0) << i;
    // At the end of the data the next read fails instead of inventing values.
    EXPECT_FALSE(ReadAovsFromFile(file, types, back));
    std::fclose(file);

    std::FILE* readOnly = std::fopen("/dev/null", "rb");
    ASSERT_NE(readOnly, nullptr);
    EXPECT_FALSE(WriteAovsToFile(readOnly, types, slots));
    std::fclose(readOnly);
}
