#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <set>

#include "camera/CubeMap.h"
#include "camera/Sampling.h"
#include "core/camera/CameraTestSupport.h"

namespace {

using namespace Quorvel::Camera;
using QuorvelTest::context;
using QuorvelTest::plaque;

TEST(SamplingPos, HaltonPairOfTheSum)
{
    struct Case {
        uint64_t a, b;
        float x, y;
    };
    const Case cases[] = {
        {0, 0, 0.0f, 0.0f},
        {1, 0, 0.33333334f, 0.2f},
        {2, 3, 0.7777778f, 0.04f},
        {0, 3, 0.11111112f, 0.6f},
        {13, 0, 0.4814815f, 0.68f}, // 13 = 111 in base 3, 23 in base 5
    };
    for (const Case& c : cases) {
        const VekPoint2 p = QvGetSamplingPos(c.a, c.b);
        EXPECT_FLOAT_EQ(p.x, c.x) << c.a << "+" << c.b;
        EXPECT_FLOAT_EQ(p.y, c.y) << c.a << "+" << c.b;
    }
    // The sum wraps like any unsigned 64-bit sum.
    const VekPoint2 wrapped = QvGetSamplingPos(std::numeric_limits<uint64_t>::max(), 2);
    EXPECT_FLOAT_EQ(wrapped.x, 0.33333334f);
    EXPECT_FLOAT_EQ(wrapped.y, 0.2f);
}

// Written step by step from the generator's definition, without the
// library's arithmetic.
uint64_t referenceSeed(uint32_t camera, uint32_t x, uint32_t y)
{
    const uint32_t s = static_cast<uint32_t>((uint64_t{y} + 1) * (uint64_t{x} + 1) + 654 * (uint64_t{camera} + 1));
    std::mt19937 generator;
    generator.seed(s);
    const unsigned skip = y % 17 + camera % 7 + x % 13 + 20;
    for (unsigned i = 0; i < skip; ++i)
        generator();
    const uint64_t d = generator(), e = generator(), f = generator();
    return f ^ (e * 65536) ^ (d * 4294967296ull);
}

TEST(Seed, MatchesAnIndependentMersenneTwister)
{
    const uint32_t cases[][3] = {
        {0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {146, 3000, 1500}, {255, 5999, 3999},
        {6, 12, 16}, {7, 13, 17}, {0, 0xFFFFFFFFu, 0xFFFFFFFFu}, {0xFFFFFFFFu, 7, 9},
    };
    for (const auto& c : cases)
        EXPECT_EQ(GetSeed(c[0], c[1], c[2]), referenceSeed(c[0], c[1], c[2])) << c[0] << " " << c[1] << " " << c[2];

    // Camera 0 at pixel (0, 0): generator seeded with 655, 20 outputs skipped.
    std::mt19937 g(655);
    g.discard(20);
    const uint64_t d = g(), e = g(), f = g();
    EXPECT_EQ(GetSeed(0, 0, 0), f ^ (e << 16) ^ (d << 32));
    EXPECT_NE(GetSeed(0, 0, 0), GetSeed(0, 1, 0));
}

TEST(Seed, EveryDiscardCountOverManySeeds)
{
    // Cameras 0-6, x 0-12 and y 0-16 reach every discard count from 20 to 54;
    // the offsets move them to far-apart seeds.
    std::set<unsigned> skips;
    for (uint32_t offset : {0u, 1000u * 13 * 17 * 7, 0xFFFF0000u})
        for (uint32_t c = 0; c < 7; ++c)
            for (uint32_t x = 0; x < 13; ++x)
                for (uint32_t y = 0; y < 17; ++y) {
                    const uint32_t camera = c + 7 * (offset % 37), px = x + 13 * offset, py = y + 17 * (offset / 3);
                    skips.insert(py % 17 + camera % 7 + px % 13 + 20);
                    ASSERT_EQ(GetSeed(camera, px, py), referenceSeed(camera, px, py)) << camera << " " << px << " " << py;
                }
    EXPECT_EQ(skips.size(), 35u);
    EXPECT_EQ(*skips.begin(), 20u);
    EXPECT_EQ(*skips.rbegin(), 54u);

    std::mt19937_64 random(5);
    for (int i = 0; i < 20000; ++i) {
        const uint64_t r = random();
        const uint32_t camera = static_cast<uint32_t>(r & 0xFF), x = static_cast<uint32_t>(r >> 8) % 8192,
                       y = static_cast<uint32_t>(r >> 40);
        ASSERT_EQ(GetSeed(camera, x, y), referenceSeed(camera, x, y)) << camera << " " << x << " " << y;
    }
}

TEST(Seed, OfADetectionPlaque)
{
    EXPECT_EQ(GetSeed(plaque(17, 1234, 567, 2)), GetSeed(17, 1234, 567));
}

class SeedPhaseTest : public QuorvelTest::PhaseTest {};

TEST_F(SeedPhaseTest, OutsideTheRenderPhaseCameraZeroAtThePixel)
{
    EXPECT_EQ(QvGetSeed(3.7, 5.2), GetSeed(0, 3, 5)); // no phase
    beginDetection();
    EXPECT_EQ(QvGetSeed(3.7, 5.2), GetSeed(0, 3, 5));
    EXPECT_EQ(QvGetSeed(311.99, 0.0), GetSeed(0, 311, 0));
}

TEST_F(SeedPhaseTest, RenderPhaseSeedOfThePlaque)
{
    std::vector<Quorvel::BinIO::DetectPlaqueInfo> plaques(8, plaque(0, 0, 0));
    plaques[7] = plaque(5, 6, 7);
    plaques.push_back(plaque(9, 100, 200));
    plaques.push_back(plaque(10, 101, 201));
    plaques.push_back(plaque(11, 102, 202));
    configureRender(plaques); // block 1 of a 4 x 2 image: plaques 8 to 15
    EXPECT_EQ(QvGetSeed(0.5, 0.5), GetSeed(9, 100, 200));
    EXPECT_EQ(QvGetSeed(1.5, 0.9), GetSeed(10, 101, 201));
    EXPECT_EQ(QvGetSeed(2.0, 0.0), GetSeed(11, 102, 202));
    // Beyond the list, and coordinates that reach no plaque.
    EXPECT_EQ(QvGetSeed(3.0, 1.0), GetSeed(0, 3, 1));
    EXPECT_EQ(QvGetSeed(1e12, 0.0), GetSeed(0, static_cast<uint32_t>(uint64_t{1000000000000} & 0xFFFFFFFFu), 0));
    EXPECT_EQ(QvGetSeed(std::numeric_limits<double>::quiet_NaN(), 1.0), GetSeed(0, 0, 1));
    // Only the plaque number is checked: x = -5 on row 1 reaches plaque 7.
    EXPECT_EQ(QvGetSeed(-5.0, 1.0), GetSeed(5, 6, 7));
    EXPECT_EQ(QvGetSeed(-9.0, 0.0), GetSeed(0, 0xFFFFFFF7u, 0));

    context().currentBlock = {};
    log.clear();
    EXPECT_THROW(QvGetSeed(0.5, 0.5), std::exception);
    EXPECT_EQ(log.messages(), std::vector<std::string>{"[Quorvel] Accessing value that has not been set"});
}

TEST(FetchMap, PixelCentreDirectionsRowMajor)
{
    const auto map = generateFetchMap(9, 6);
    ASSERT_EQ(map.size(), 54u);
    QuorvelTest::expectPoint(map[1 * 9 + 4], 0, 0, 1); // centre of +z
    EXPECT_LT(map[4 * 9 + 1].z, -0.999999f);           // centre of -z
    EXPECT_LT(map[1 * 9 + 7].x, -0.999999f);           // centre of -x
    EXPECT_GT(map[4 * 9 + 4].y, 0.999999f);            // centre of +y
    for (size_t i = 0; i < map.size(); ++i) {
        const VekPoint& d = map[i];
        EXPECT_NEAR(d.x * d.x + d.y * d.y + d.z * d.z, 1.0f, 1e-6f) << i;
        EXPECT_TRUE(QuorvelTest::sameVector(d, cubeMapDirection((i % 9 + 0.5f) / 9, (i / 9 + 0.5f) / 6))) << i;
    }
    EXPECT_TRUE(generateFetchMap(0, 6).empty());
}

TEST(ClosestDirection, EveryPixelFindsItself)
{
    constexpr uint64_t W = 24, H = 16;
    const auto map = generateFetchMap(W, H);
    for (uint64_t y = 0; y < H; ++y)
        for (uint64_t x = 0; x < W; ++x) {
            const VekPoint d = map[y * W + x];
            VekPoint out{};
            int32_t ox = -1, oy = -1;
            ASSERT_TRUE(getClosestCamDirXYWithFetchMap(d, W, H, map, out, ox, oy, 2));
            ASSERT_EQ(ox, static_cast<int32_t>(x));
            ASSERT_EQ(oy, static_cast<int32_t>(y));
            ASSERT_TRUE(QuorvelTest::sameVector(out, d));
            ASSERT_TRUE(getClosestCamDirXY(d, W, H, out, ox, oy));
            ASSERT_EQ(ox, static_cast<int32_t>(x));
            ASSERT_EQ(oy, static_cast<int32_t>(y));
        }
}

TEST(ClosestDirection, ComputedAndMappedSearchesAgree)
{
    constexpr uint64_t W = 312, H = 208;
    const auto map = generateFetchMap(W, H);
    std::mt19937 random(7);
    std::uniform_real_distribution<float> coordinate(-1.0f, 1.0f);
    for (int i = 0; i < 500; ++i) {
        const VekPoint d = Quorvel::Utils::normalize({coordinate(random), coordinate(random), coordinate(random)});
        VekPoint a{}, b{};
        int32_t ax = 0, ay = 0, bx = 0, by = 0;
        ASSERT_TRUE(getClosestCamDirXYWithFetchMap(d, W, H, map, a, ax, ay, 2));
        ASSERT_TRUE(getClosestCamDirXY(d, W, H, b, bx, by));
        ASSERT_EQ(ax, bx) << i;
        ASSERT_EQ(ay, by) << i;
        ASSERT_TRUE(QuorvelTest::sameVector(a, b)) << i;
        // Nothing in the neighbourhood is closer.
        const double best = double(d.x) * a.x + double(d.y) * a.y + double(d.z) * a.z;
        for (int dy = -2; dy <= 2; ++dy)
            for (int dx = -2; dx <= 2; ++dx) {
                const int64_t x = std::clamp<int64_t>(ax + dx, 0, W - 1), y = ay + dy;
                if (y < 0 || y >= static_cast<int64_t>(H))
                    continue;
                const VekPoint& c = map[y * W + x];
                ASSERT_LE(double(d.x) * c.x + double(d.y) * c.y + double(d.z) * c.z, best);
            }
    }
}

TEST(ClosestDirection, CornerDirectionStaysInsideTheImage)
{
    constexpr uint64_t W = 312, H = 208;
    const auto map = generateFetchMap(W, H);
    for (const VekPoint corner : {VekPoint{1, 1, 1}, VekPoint{-1, -1, -1}, VekPoint{1, -1, -1}, VekPoint{-1, 1, 1}}) {
        const VekPoint d = Quorvel::Utils::normalize(corner);
        VekPoint out{};
        int32_t x = -1, y = -1;
        EXPECT_TRUE(getClosestCamDirXYWithFetchMap(d, W, H, map, out, x, y, 2));
        EXPECT_GE(x, 0);
        EXPECT_LT(x, static_cast<int32_t>(W));
        EXPECT_GE(y, 0);
        EXPECT_LT(y, static_cast<int32_t>(H));
        EXPECT_GT(Quorvel::Utils::dot(out, d), 0.99f);
    }
}

// Direction +x on a 2 x 2 map lands on pixel (0, 1): with radius 1 the
// search reads row 0 and row 1, columns 0, 0 (clamped) and 1.
TEST(ClosestDirection, BorderClampingTiesAndSkippedCandidates)
{
    const VekPoint d{1, 0, 0};
    const VekPoint zero{0, 0, 0};
    struct Case {
        const char* name;
        std::vector<VekPoint> map; // row-major 2 x 2
        bool found;
        int32_t x, y;
    };
    const Case cases[] = {
        {"ties keep the first", {{1, 0, 0}, {1, 0, 0}, {1, 0, 0}, {1, 0, 0}}, true, 0, 0},
        {"best wins", {{0, 0, 1}, {0.6f, 0.8f, 0}, {0.8f, 0.6f, 0}, {0, 1, 0}}, true, 0, 1},
        {"near-zero skipped", {zero, {0.00009f, 0, 0}, {0, 1, 0}, {1, 0, 0}}, true, 1, 1},
        {"opposite never beats the start", {{-1, 0, 0}, {-1, 0, 0}, {-1, 0, 0}, {-1, 0, 0}}, false, 0, 1},
        {"nothing usable", {zero, zero, zero, zero}, false, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VekPoint out{9, 9, 9};
        int32_t x = -1, y = -1;
        EXPECT_EQ(getClosestCamDirXYWithFetchMap(d, 2, 2, c.map, out, x, y, 1), c.found);
        EXPECT_EQ(x, c.x);
        EXPECT_EQ(y, c.y);
        EXPECT_TRUE(QuorvelTest::sameVector(out, c.map[y * 2 + x]));
    }
}

TEST(ClosestDirection, RadiusZeroAndMapsThatDoNotFit)
{
    const std::vector<VekPoint> map = {{0, 0, 1}, {0, 0, 1}, {0.5f, 0, 0}, {1, 0, 0}};
    VekPoint out{};
    int32_t x = -1, y = -1;
    EXPECT_TRUE(getClosestCamDirXYWithFetchMap({1, 0, 0}, 2, 2, map, out, x, y, 0));
    EXPECT_EQ(x, 0);
    EXPECT_EQ(y, 1);

    // Too small a map, or an empty image, is refused before any read.
    x = y = -1;
    EXPECT_FALSE(getClosestCamDirXYWithFetchMap({1, 0, 0}, 2, 3, map, out, x, y, 2));
    EXPECT_FALSE(getClosestCamDirXYWithFetchMap({1, 0, 0}, 0, 2, map, out, x, y, 2));
    EXPECT_FALSE(getClosestCamDirXY({1, 0, 0}, 2, 0, out, x, y));
    EXPECT_EQ(x, -1);
    EXPECT_EQ(y, -1);
    // A huge radius only repeats clamped candidates.
    EXPECT_TRUE(getClosestCamDirXYWithFetchMap({1, 0, 0}, 2, 2, map, out, x, y, ~uint64_t{0}));
    EXPECT_EQ(x, 1);
    EXPECT_EQ(y, 1);
}

class ContextSearchTest : public QuorvelTest::PhaseTest {};

TEST_F(ContextSearchTest, UsesTheContextFetchMap)
{
    Quorvel::Phase::QvInitPhase(Quorvel::Phase::Detect, Quorvel::Util::RE_VRay);
    VekPoint out{};
    int32_t x = 0, y = 0;
    EXPECT_THROW(getClosestCamDirXY({0, 0, 1}, out, x, y), std::exception);

    beginDetection();
    const auto map = generateFetchMap(312, 208);
    const VekPoint d = Quorvel::Utils::normalize({0.3f, -0.2f, 0.9f});
    VekPoint expected{};
    int32_t ex = 0, ey = 0;
    ASSERT_TRUE(getClosestCamDirXYWithFetchMap(d, 312, 208, map, expected, ex, ey, 2));
    ASSERT_TRUE(getClosestCamDirXY(d, out, x, y));
    EXPECT_EQ(x, ex);
    EXPECT_EQ(y, ey);
    EXPECT_TRUE(QuorvelTest::sameVector(out, expected));
}

} // namespace
