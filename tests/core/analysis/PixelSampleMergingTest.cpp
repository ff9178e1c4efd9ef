#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "analysis/PixelSampleMerging.h"
#include "camera/Plaque.h"
#include "io/AovFormat.h"
#include "core/analysis/AnalysisTestSupport.h"

using Quorvel::BinIO::AovFormat;
using Quorvel::BinIO::DetectPlaqueInfo;
using Quorvel::RenderSample::AOVData;
using Quorvel::RenderSample::QvRenderSample;
using QuorvelTest::AnalysisRig;
using QuorvelTest::TestScene;

namespace {

constexpr uint64_t kCentreCamera = 146;

ViewPointInfo viewOf(const AnalysisRig& rig, const DetectPlaqueInfo& p)
{
    const RenderingContext grid = rig.levelContext(p.level);
    return {rig.cameraPosition(p.cameraIndex), grid.GetCenterDirection(p.x >> p.level, p.y >> p.level),
            rig.context.width};
}

std::vector<TOutPixelData> merge(const AnalysisRig& rig, const DetectPlaqueInfo& p,
                                 const std::vector<QvRenderSample>& samples, uint64_t rays, bool opaque = true,
                                 const AovFormat& registry = {})
{
    return MergePixelSamples(p, registry, samples, rig.context, viewOf(rig, p), rays, opaque);
}

// The centre camera's plaque looking straight at the far wall z = 5.
DetectPlaqueInfo wallPlaque(const AnalysisRig& rig)
{
    const auto [x, y] = rig.pixelToward({0.0f, 0.0f, 1.0f});
    return *rig.plaqueAt(kCentreCamera, x, y);
}

double length(const VekPoint& a)
{
    return std::sqrt(double(a.x) * a.x + double(a.y) * a.y + double(a.z) * a.z);
}

} // namespace

TEST(PixelSampleMerging, CoverageBitsFollowTheOverlapTestPointOrder)
{
    // Bits 0-3 the corners, 4 the centre, 5-12 the extended points.
    const auto corners = GetMainPointsPos2D();
    const auto extended = GetExtendedPointsPos2D();
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(CoverageBit(corners[i].x, corners[i].y), 1u << i) << i;
    EXPECT_EQ(CoverageBit(0.5f, 0.5f), 1u << 4);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(CoverageBit(extended[i].x, extended[i].y), 1u << (5 + i)) << i;

    struct Case {
        float fx, fy;
        uint16_t bit;
    };
    const Case cases[] = {
        {0.05f, 0.95f, 1u << 0},  // near the up-left corner
        {0.95f, 0.05f, 1u << 3},  // near the down-right corner
        {0.55f, 0.45f, 1u << 4},  // near the centre
        {0.0f, 0.55f, 1u << 5},   // near the left edge point
        {0.3f, 0.2f, 1u << 11},   // near the quarter down-left point
    };
    for (const Case& c : cases)
        EXPECT_EQ(CoverageBit(c.fx, c.fy), c.bit) << c.fx << ", " << c.fy;
}

TEST(PixelSampleMerging, AllMissesGiveNoLayer)
{
    AnalysisRig rig;
    const DetectPlaqueInfo p = wallPlaque(rig);
    std::vector<QvRenderSample> samples(4);
    const double depths[] = {1e30, -1e30, 9.000000135427196e29, 1e35};
    for (int i = 0; i < 4; ++i) {
        samples[i].depth = depths[i];
        samples[i].color = {1, 1, 1, 1};
    }
    EXPECT_TRUE(merge(rig, p, samples, 4).empty());
    // Colour without opacity is not a hit either.
    std::vector<QvRenderSample> clear = rig.gridSamples(p, 2);
    for (auto& s : clear)
        s.color.a = 1e-4f;
    EXPECT_TRUE(merge(rig, p, clear, 4).empty());
}

TEST(PixelSampleMerging, OneSurfaceIsOneLayerWithItsShareOfTheRays)
{
    AnalysisRig rig;
    const DetectPlaqueInfo p = wallPlaque(rig);
    std::vector<QvRenderSample> samples = rig.gridSamples(p, 3);
    samples.resize(8);
    for (auto& s : samples)
        s.color.a = 0.5f;

    struct Case {
        uint64_t rays;
        float alpha;
    };
    // No misses: the only (deepest) layer keeps its mean alpha; two rays that
    // returned nothing make it 8 / 10.
    for (const Case c : {Case{8, 0.5f}, Case{10, 0.8f}}) {
        const auto layers = merge(rig, p, samples, c.rays);
        ASSERT_EQ(layers.size(), 1u);
        const TOutPixelData& t = layers[0];
        EXPECT_EQ(t.color.a, c.alpha) << c.rays;
        EXPECT_EQ(t.sampleCount, 8u);
        EXPECT_EQ(t.backFacing, 0);
        EXPECT_EQ(t.x, p.x);
        EXPECT_EQ(t.y, p.y);
        EXPECT_EQ(t.cameraIndex, kCentreCamera);
        EXPECT_EQ(t.level, 0);
        // The wall faces the camera: its own normal, and the depth where the
        // pixel-centre ray meets the wall.
        EXPECT_NEAR(t.normal.x, 0.0f, 1e-6f);
        EXPECT_NEAR(t.normal.y, 0.0f, 1e-6f);
        EXPECT_NEAR(t.normal.z, -1.0f, 1e-6f);
        EXPECT_NEAR(t.depth, p.depth, 1e-5 * p.depth);
        EXPECT_NEAR(t.position.z, 5.0f, 1e-5f);
        EXPECT_EQ(t.color.r, 0.7f); // the wall's colour, averaged
    }
    // A miss among the samples counts like a ray that returned nothing.
    samples[7].depth = 1e30;
    const auto layers = merge(rig, p, samples, 8);
    ASSERT_EQ(layers.size(), 1u);
    EXPECT_EQ(layers[0].color.a, 7.0f / 8.0f);
}

TEST(PixelSampleMerging, ThinObjectInFrontOfWallSplitsIntoTwoLayers)
{
    AnalysisRig rig;
    DetectPlaqueInfo p = wallPlaque(rig);
    // A thin board at z = 2 whose edge runs through the pixel centre: the
    // left half of the pixel's rays hits it, the rest the wall at z = 5.
    const VekPoint d = rig.context.GetCenterDirection(p.x, p.y);
    const double edgeX = d.x * 2.0 / d.z;
    const VekPoint dl = rig.context.ComputeDirection(p.x, p.y, 0.0f, 0.5f);
    const double side = dl.x * 2.0 / dl.z < edgeX ? -1.0 : 1.0;
    rig.scene.addRectangle(
        {{edgeX + side * 1.0, 0, 2}, {0, 0, -1}, {1, 0, 0}, {0, 1, 0}, 1.0, 1.0, {0.1f, 0.2f, 0.3f, 1.0f}});

    const std::vector<QvRenderSample> samples = rig.gridSamples(p, 4);
    size_t near = 0;
    for (const auto& s : samples)
        near += s.depth < 3.0 ? 1 : 0;
    ASSERT_EQ(near, 8u);

    const auto layers = merge(rig, p, samples, 20);
    ASSERT_EQ(layers.size(), 2u);
    EXPECT_LT(layers[0].depth, layers[1].depth);
    EXPECT_EQ(layers[0].sampleCount, 8u);
    EXPECT_EQ(layers[1].sampleCount, 8u);
    EXPECT_EQ(layers[0].color.b, 0.3f);
    EXPECT_EQ(layers[0].color.a, 8.0f / 20.0f);
    EXPECT_EQ(layers[1].color.a, 8.0f / 20.0f);
    EXPECT_NEAR(layers[0].position.z, 2.0f, 1e-5f);
    EXPECT_NEAR(layers[1].position.z, 5.0f, 1e-5f);
    // The board's samples fell in the pixel's left half (fracX < 0.5): the
    // layer's coverage holds the test points there; the columns at 0.375 and
    // 0.625 lie nearest the up and down points of the middle column.
    const uint16_t middle = (1u << 7) | (1u << 8);
    const uint16_t nearSide = (1u << 0) | (1u << 2) | (1u << 5) | (1u << 9) | (1u << 11) | middle;
    const uint16_t farSide = (1u << 1) | (1u << 3) | (1u << 6) | (1u << 10) | (1u << 12) | middle;
    EXPECT_EQ(layers[0].coverage, nearSide);
    EXPECT_EQ(layers[1].coverage, farSide);

    // With no misses the far layer keeps its alpha; the near one gets its share.
    const auto full = merge(rig, p, samples, 16);
    ASSERT_EQ(full.size(), 2u);
    EXPECT_EQ(full[0].color.a, 0.5f);
    EXPECT_EQ(full[1].color.a, 1.0f);
}

TEST(PixelSampleMerging, SamplesFacingAwayMakeABackFacingLayer)
{
    AnalysisRig rig;
    const DetectPlaqueInfo p = wallPlaque(rig);
    // A board at z = 3 whose normal points away from the camera at the
    // centre: the camera sees its back.
    rig.scene.addRectangle({{0, 0, 3}, {0, 0, 1}, {1, 0, 0}, {0, 1, 0}, 2.0, 2.0, {0.5f, 0.5f, 0.5f, 1.0f}});
    std::vector<QvRenderSample> samples = rig.gridSamples(p, 3);

    auto layers = merge(rig, p, samples, 9);
    ASSERT_EQ(layers.size(), 1u);
    EXPECT_EQ(layers[0].backFacing, 1);
    // Averaged turned towards the camera, then negated back: the surface's
    // own normal.
    EXPECT_NEAR(layers[0].normal.z, 1.0f, 1e-6f);
    EXPECT_NEAR(layers[0].depth, 3.0 / rig.context.GetCenterDirection(p.x, p.y).z, 1e-5);

    // A minority of flipped normals does not make the layer back-facing.
    for (size_t i = 0; i < 5; ++i)
        samples[i].normal.z = -1.0f;
    layers = merge(rig, p, samples, 9);
    ASSERT_EQ(layers.size(), 1u);
    EXPECT_EQ(layers[0].backFacing, 0);
    EXPECT_NEAR(layers[0].normal.z, -1.0f, 1e-6f);
}

TEST(PixelSampleMerging, AovsMergePerType)
{
    using namespace Quorvel::Phase;
    AnalysisRig rig;
    const DetectPlaqueInfo p = wallPlaque(rig);
    AovFormat registry;
    registry.registerAov(1, "count", AOV_Int);
    registry.registerAov(2, "flag", AOV_Byte);
    registry.registerAov(3, "weight", AOV_Double);
    registry.registerAov(4, "tint", AOV_RGB);
    registry.registerAov(5, "uv", AOV_Vector2);
    registry.registerAov(6, "rgba", AOV_RGBA);
    std::vector<QvRenderSample> samples = rig.gridSamples(p, 2);
    samples.resize(3);
    const int ints[] = {1, 2, 2};
    const char bytes[] = {1, 0, 0};
    const double doubles[] = {1.0, 2.0, 4.5};
    for (int i = 0; i < 3; ++i) {
        auto& a = samples[i].aovs;
        a.assign(6, AOVData{});
        a[0].asInt = ints[i];
        a[1].asByte = bytes[i];
        a[2].asDouble = doubles[i];
        a[3].asVec3[0] = float(i);
        a[3].asVec3[2] = 3.0f;
        a[4].asVec2[1] = float(2 * i);
        a[5].asVec4[3] = float(3 * i);
    }
    auto layers = merge(rig, p, samples, 3, true, registry);
    ASSERT_EQ(layers.size(), 1u);
    const auto& a = layers[0].aovs;
    ASSERT_EQ(a.size(), 6u);
    EXPECT_EQ(a[0].asInt, 1); // 5 / 3 truncated
    EXPECT_EQ(a[1].asByte, 0); // one of three
    EXPECT_EQ(a[2].asDouble, 2.5);
    EXPECT_EQ(a[3].asVec3[0], 1.0f);
    EXPECT_EQ(a[3].asVec3[2], 3.0f);
    EXPECT_EQ(a[4].asVec2[1], 2.0f);
    EXPECT_EQ(a[5].asVec4[3], 3.0f);
    // The untouched bytes of every slot stay zero.
    EXPECT_EQ(a[0].bytes[4], 0);
    EXPECT_EQ(a[3].bytes[12], 0);

    // Half of the samples is a majority for a byte; negative ints truncate
    // toward zero.
    samples.resize(2);
    samples[0].aovs[1].asByte = 1;
    samples[1].aovs[1].asByte = 0;
    samples[0].aovs[0].asInt = -1;
    samples[1].aovs[0].asInt = -2;
    layers = merge(rig, p, samples, 2, true, registry);
    ASSERT_EQ(layers.size(), 1u);
    EXPECT_EQ(layers[0].aovs[1].asByte, 1);
    EXPECT_EQ(layers[0].aovs[0].asInt, -1);
}

TEST(PixelSampleMerging, TransparentLayersAreWeightedByTheRaysPassingThrough)
{
    using namespace Quorvel::Phase;
    AnalysisRig rig;
    const DetectPlaqueInfo p = wallPlaque(rig);
    rig.scene.addRectangle({{0, 0, 2}, {0, 0, -1}, {1, 0, 0}, {0, 1, 0}, 3.0, 3.0, {0.2f, 0.4f, 0.8f, 1.0f}});
    AovFormat registry;
    registry.registerAov(Quorvel::BinIO::kAliasRightColor, "Cd_Right", AOV_RGB);
    registry.registerAov(Quorvel::BinIO::kAliasTransparency, "qvlTransp", AOV_Int);

    // Four samples on the glass at z = 2 that let their rays through, and
    // four on the wall behind, as a host continuing rays would return them.
    std::vector<QvRenderSample> glass = rig.gridSamples(p, 2);
    rig.scene = TestScene::room();
    std::vector<QvRenderSample> wall = rig.gridSamples(p, 2);
    std::vector<QvRenderSample> samples;
    for (auto& s : glass) {
        s.aovs.assign(2, AOVData{});
        s.aovs[0].asVec3[0] = 1.0f;
        s.aovs[1].asInt = 1;
        samples.push_back(s);
    }
    for (auto& s : wall) {
        s.aovs.assign(2, AOVData{});
        s.aovs[0].asVec3[0] = 1.0f;
        s.aovs[1].asInt = 0;
        samples.push_back(s);
    }

    auto layers = merge(rig, p, samples, 8, false, registry);
    ASSERT_EQ(layers.size(), 2u);
    // Glass: f = 4 / 8 on colour, alpha and right-eye colour; then 8 rays
    // remain (8 + 4 - 4), and the wall passes nothing: f = 0.
    EXPECT_EQ(layers[0].color.b, 0.4f);
    EXPECT_EQ(layers[0].color.a, 0.5f);
    EXPECT_EQ(layers[0].aovs[0].asVec3[0], 0.5f);
    EXPECT_EQ(layers[0].aovs[1].asInt, 1);
    EXPECT_EQ(layers[1].color.r, 0.0f);
    EXPECT_EQ(layers[1].aovs[0].asVec3[0], 0.0f);

    // Glass that stops every ray leaves none for the layer behind it: its
    // weight is zero, not a division by zero.
    for (int i = 0; i < 4; ++i)
        samples[i].aovs[1].asInt = 0;
    for (int i = 4; i < 8; ++i)
        samples[i].aovs[1].asInt = 1;
    layers = merge(rig, p, samples, 4, false, registry);
    ASSERT_EQ(layers.size(), 2u);
    EXPECT_EQ(layers[0].color.a, 0.0f);
    EXPECT_EQ(layers[1].color.a, 0.0f);
    EXPECT_EQ(layers[1].color.r, 0.0f);
}

TEST(PixelSampleMerging, MoreSamplesThanRaysDoNotWrapTheMissCount)
{
    AnalysisRig rig;
    const DetectPlaqueInfo p = wallPlaque(rig);
    const auto layers = merge(rig, p, rig.gridSamples(p, 2), 2);
    ASSERT_EQ(layers.size(), 1u);
    EXPECT_EQ(layers[0].color.a, 1.0f);
}

TEST(PixelSampleMerging, ObliqueWallDepthComesFromThePlaneNotTheMean)
{
    AnalysisRig rig;
    // A camera on the box's side looking far along the floor: the pixel's
    // samples spread over a long stretch of floor, so the mean depth is not
    // the depth of the centre ray.
    const uint64_t camera = 0;
    const VekPoint o = rig.cameraPosition(camera);
    const VekPoint target{o.x, -3.0f, o.z - 2.0f};
    const VekPoint dir{target.x - o.x, target.y - o.y, target.z - o.z};
    const auto [x, y] = rig.pixelToward(dir);
    const DetectPlaqueInfo p = *rig.plaqueAt(camera, x, y);
    ASSERT_NEAR(p.normal.y, 1.0f, 1e-6f);
    const auto samples = rig.gridSamples(p, 4);
    const auto layers = merge(rig, p, samples, 16);
    ASSERT_EQ(layers.size(), 1u);
    EXPECT_NEAR(layers[0].depth, p.depth, 1e-4 * p.depth);
    EXPECT_NEAR(layers[0].normal.y, 1.0f, 1e-6f);
}

TEST(PixelSampleMerging, PlaqueMeaningfulness)
{
    AnalysisRig rig;
    const DetectPlaqueInfo p = wallPlaque(rig);
    const auto layers = merge(rig, p, rig.gridSamples(p, 3), 9);
    ASSERT_EQ(layers.size(), 1u);
    TOutPixelData t = layers[0];
    EXPECT_TRUE(IsPlaqueMeaningful(rig.context, 9, t));

    // Samples far off the layer's plane: too thick to be this plaque.
    TOutPixelData thick = t;
    thick.position.z -= 2.0f;
    EXPECT_FALSE(IsPlaqueMeaningful(rig.context, 9, thick));
    // Without a normal there is nothing to compare.
    thick.normal = {0.0f, 0.0f, 0.0f};
    EXPECT_TRUE(IsPlaqueMeaningful(rig.context, 9, thick));

    // Tilting the layer stretches its footprint: find a tilt whose reach is
    // near for a tenth of it but not for half of it; then the layer's share
    // of the pixel's samples decides.
    bool found = false;
    for (int step = 1; step < 2200 && !found; ++step) {
        const float a = 0.0007f * float(step);
        TOutPixelData tilted = t;
        tilted.normal = {std::sin(a), 0.0f, -std::cos(a)};
        const Plaque q = GetPlaqueInfo(rig.context, t.cameraIndex, t.x, t.y, tilted.normal, float(t.depth), 0, 1.0f);
        tilted.position = q.center;
        float reach = 0.0f;
        for (const VekPoint& c : q.corners)
            reach = std::max(reach, float(length({c.x - q.center.x, c.y - q.center.y, c.z - q.center.z})));
        const float depth = float(t.depth);
        if (!rig.context.isAtProximity(depth, depth + 0.1f * reach, 1.0f))
            break;
        if (rig.context.isAtProximity(depth, depth + 0.5f * reach, 1.0f))
            continue;
        found = true;
        tilted.sampleCount = 6;
        EXPECT_TRUE(IsPlaqueMeaningful(rig.context, 8, tilted));
        tilted.sampleCount = 5;
        EXPECT_FALSE(IsPlaqueMeaningful(rig.context, 8, tilted));
    }
    EXPECT_TRUE(found);
}
