#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "Filtering.h"
#include "support/LogCapture.h"

using namespace Quorvel::Filtering;
using Quorvel::Binary::vekbin;

namespace {

constexpr int32_t kW = 96, kH = 64; // cube faces of 32 pixels
// Far from the zone-of-view centre, so that every sample's position points
// close to one direction bucket, (0, sin 10deg, cos 10deg).
const std::vector<VekPoint> kCameras = {{0.0f, 17364.8f, 98480.8f}};

// A sample of camera 0 on the plane z = camera z + planeZ, normal +z.
vekbin planeSample(uint16_t x, uint16_t y, VekRGBA colour, float planeZ = 1000.0f, uint8_t level = 0)
{
    vekbin s;
    s.camera = 0;
    s.x = x;
    s.y = y;
    s.width = kW;
    s.height = kH;
    s.level = level;
    s.plaqueWidth = 1;
    s.plaqueHeight = 1;
    s.colour = colour;
    s.rightColour = {colour.r, colour.g, colour.b};
    s.normal = {0.0f, 0.0f, 1.0f};
    const VekPoint d = Quorvel::Binary::pixelDirection(x, y, kW, kH, 1).direction;
    s.depth = planeZ / d.z;
    s.updateDerived(kCameras, 1);
    return s;
}

FilterParams params()
{
    FilterParams p;
    p.width = kW;
    p.height = kH;
    return p;
}

void filter(std::vector<vekbin>& samples, const FilterParams& p = params(), float threshold = 0.05f)
{
    Quorvel::Binary::sortByKey(samples);
    filterSamples(samples, threshold, p, kCameras, 1);
}

} // namespace

TEST(Filtering, EmptyListStaysEmptyWithoutMessages)
{
    QuorvelTest::LogCapture log;
    std::vector<vekbin> none;
    filter(none);
    EXPECT_TRUE(none.empty());
    EXPECT_TRUE(log.messages().empty());
}

TEST(Filtering, FourSmallSamplesArePromotedToOneOfTheNextLevel)
{
    QuorvelTest::LogCapture log;
    std::vector<vekbin> samples = {planeSample(34, 2, {0.1f, 0.2f, 0.3f, 1}, 0.2f),
                                   planeSample(35, 2, {0.3f, 0.2f, 0.1f, 1}, 0.2f),
                                   planeSample(34, 3, {0.5f, 0.2f, 0.3f, 1}, 0.2f),
                                   planeSample(35, 3, {0.3f, 0.6f, 0.1f, 1}, 0.2f)};
    filter(samples);
    ASSERT_EQ(samples.size(), 1u);
    const vekbin& s = samples[0];
    EXPECT_EQ(s.x, 34);
    EXPECT_EQ(s.y, 2);
    EXPECT_EQ(s.level, 1);
    EXPECT_EQ(s.width, kW);
    EXPECT_EQ(s.height, kH);
    EXPECT_FLOAT_EQ(s.colour.r, 0.3f);
    EXPECT_FLOAT_EQ(s.colour.g, 0.3f);
    EXPECT_FLOAT_EQ(s.colour.b, 0.2f);
    EXPECT_TRUE(log.contains("Filtering plaques smaller than 0.050000 among 4 samples\n"));
    EXPECT_TRUE(log.contains("Filtering result: 1 isolated, 0 remaning, (75.000000% gained)\n"));
    EXPECT_TRUE(log.contains("Filtering plaques smaller than 0.050000 among 1 samples\n"));
}

TEST(Filtering, BlocksStartOnlyAtEvenPixels)
{
    QuorvelTest::LogCapture log;
    // Colours far apart, so that no grouping hides what promotion did.
    const VekRGBA c[4] = {{1, 0, 0, 1}, {0, 1, 0, 1}, {0, 0, 1, 1}, {1, 1, 0, 1}};
    struct Case {
        const char* name;
        uint16_t x, y;
    };
    for (const Case& k : {Case{"odd column", 35, 2}, Case{"odd row", 34, 3}}) {
        SCOPED_TRACE(k.name);
        std::vector<vekbin> samples;
        for (int i = 0; i < 4; ++i)
            samples.push_back(planeSample(static_cast<uint16_t>(k.x + i % 2), static_cast<uint16_t>(k.y + i / 2),
                                          c[i], 0.2f));
        filter(samples);
        EXPECT_EQ(samples.size(), 4u);
        for (const vekbin& s : samples)
            EXPECT_EQ(s.level, 0);
    }
}

TEST(Filtering, NineSimilarNeighboursBecomeOneThreeByThreePlaque)
{
    QuorvelTest::LogCapture log;
    std::vector<vekbin> samples;
    for (uint16_t y = 17; y <= 19; ++y)
        for (uint16_t x = 47; x <= 49; ++x)
            samples.push_back(planeSample(x, y, {0.4f + 0.001f * x, 0.4f, 0.4f, 1}));
    std::vector<vekbin> two = samples;
    filter(samples);
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_EQ(samples[0].x, 48);
    EXPECT_EQ(samples[0].y, 18);
    EXPECT_EQ(samples[0].plaqueWidth, 3);
    EXPECT_EQ(samples[0].plaqueHeight, 3);
    EXPECT_EQ(samples[0].level, 0);
    EXPECT_FLOAT_EQ(samples[0].colour.r, 0.4f + 0.001f * 48.0f);

    // A dissimilar colour in the middle leaves only groups that avoid it.
    two[4].colour = {0.0f, 0.0f, 1.0f, 1.0f};
    two[4].rightColour = {0.0f, 0.0f, 1.0f};
    filter(two);
    EXPECT_GT(two.size(), 1u);
    for (const vekbin& s : two)
        if (s.colour.b == 1.0f) {
            EXPECT_EQ(s.plaqueWidth, 1);
            EXPECT_EQ(s.plaqueHeight, 1);
        }
}

TEST(Filtering, LevelThreeGroupsAreAtMostTwoByTwo)
{
    QuorvelTest::LogCapture log;
    std::vector<vekbin> samples;
    for (uint16_t j = 1; j <= 3; ++j)
        for (uint16_t i = 5; i <= 7; ++i)
            samples.push_back(planeSample(static_cast<uint16_t>(8 * i), static_cast<uint16_t>(8 * j),
                                          {0.5f, 0.5f, 0.5f, 1}, 1000.0f, 3));
    filter(samples);
    ASSERT_LT(samples.size(), 9u);
    bool grouped = false;
    for (const vekbin& s : samples) {
        EXPECT_LE(s.plaqueWidth, 2);
        EXPECT_LE(s.plaqueHeight, 2);
        EXPECT_EQ(s.level, 3);
        EXPECT_EQ(s.x % 8, 0);
        EXPECT_EQ(s.y % 8, 0);
        grouped |= s.plaqueWidth == 2 && s.plaqueHeight == 2;
    }
    EXPECT_TRUE(grouped);
}

TEST(Filtering, OneSamplePerCameraLosesNothing)
{
    QuorvelTest::LogCapture log;
    std::vector<VekPoint> cams(5, kCameras[0]);
    std::vector<vekbin> samples;
    for (uint8_t c = 0; c < 5; ++c) {
        vekbin s = planeSample(static_cast<uint16_t>(40 + c), 18, {0.5f, 0.5f, 0.5f, 1});
        s.camera = c;
        s.updateDerived(cams, 1);
        samples.push_back(s);
    }
    Quorvel::Binary::sortByKey(samples);
    filterSamples(samples, 0.05f, params(), cams, 1);
    ASSERT_EQ(samples.size(), 5u);
    for (uint8_t c = 0; c < 5; ++c)
        EXPECT_EQ(samples[c].camera, c);
}

TEST(Filtering, TransparentSamplesGroupOnlyWithEqualAlpha)
{
    QuorvelTest::LogCapture log;
    for (const float middle : {0.5f, 0.5001f}) {
        std::vector<vekbin> samples;
        for (uint16_t x = 47; x <= 49; ++x) {
            vekbin s = planeSample(x, 18, {0.5f, 0.5f, 0.5f, x == 48 ? middle : 0.5f});
            s.transpFlag = true;
            s.updateDerived(kCameras, 1);
            samples.push_back(s);
        }
        filter(samples);
        EXPECT_EQ(samples.size(), middle == 0.5f ? 1u : 3u) << middle;
    }
}

TEST(Filtering, DirectionBuckets)
{
    const auto& table = directionBuckets();
    EXPECT_NEAR(table[0].y, -1.0f, 1e-6f);
    EXPECT_NEAR(table[123].y, 1.0f, 1e-6f);
    vekbin s;
    s.position = {0, 10, 0};
    EXPECT_EQ(directionBucket(s), 123u);
    s.position = {0, -10, 0};
    EXPECT_EQ(directionBucket(s), 0u);
    s.position = {0, 0, 0};
    EXPECT_EQ(directionBucket(s), 124u);
    // Semi-transparent without the flag: bucket 124; with it, by direction.
    s.position = {0, 10, 0};
    s.colour.a = 0.5f;
    EXPECT_EQ(directionBucket(s), 124u);
    s.transpFlag = true;
    EXPECT_EQ(directionBucket(s), 123u);
    EXPECT_GE(workerCount(), 1u);
}

TEST(Filtering, ColourDistance)
{
    EXPECT_EQ(colourDistance({0.3f, 0.4f, 0.5f}, {0.3f, 0.4f, 0.5f}), 0.0f);
    EXPECT_NEAR(colourDistance({1, 1, 1}, {0, 0, 0}), 100.0f, 0.1f);
    EXPECT_GT(colourDistance({1, 0, 0}, {0, 1, 0}), 20.0f);
    // Not symmetric: chroma terms are scaled by the reference's chroma.
    EXPECT_NE(colourDistance({1, 0, 0}, {0.5f, 0.5f, 0}), colourDistance({0.5f, 0.5f, 0}, {1, 0, 0}));
}

TEST(Filtering, SlopeLimits)
{
    struct Case {
        VekPoint normal;
        bool flag;
        uint32_t w, h;
    };
    // Seen from the centre along +z: a normal along the view direction is
    // face-on, one along x or y is edge-on; a tilt about the vertical axis
    // narrows only the width.
    const Case cases[] = {{{0, 0, 1}, false, 3, 3}, {{0, 0, 1}, true, 3, 3},   {{1, 0, 0}, false, 1, 1},
                          {{0, 1, 0}, false, 1, 1}, {{0.2f, 0, 0.98f}, true, 3, 3},
                          {{0.5f, 0, 0.866f}, true, 1, 3}, {{0.25f, 0, 0.968f}, false, 3, 3}};
    for (const Case& c : cases) {
        const auto [w, h] = slopeLimits({0, 0, 100}, c.normal, c.flag);
        EXPECT_EQ(w, c.w) << c.normal.x << " " << c.normal.y << " " << c.flag;
        EXPECT_EQ(h, c.h) << c.normal.x << " " << c.normal.y << " " << c.flag;
    }
}
