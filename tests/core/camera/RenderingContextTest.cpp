#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "camera/CubeMap.h"
#include "camera/RenderingContext.h"

namespace {

void expectSame(const VekPoint& a, const VekPoint& b)
{
    EXPECT_EQ(std::memcmp(&a, &b, sizeof(VekPoint)), 0)
        << a.x << "," << a.y << "," << a.z << " vs " << b.x << "," << b.y << "," << b.z;
}

void expectPoint(const VekPoint& actual, float x, float y, float z)
{
    EXPECT_NEAR(actual.x, x, 1e-6f);
    EXPECT_NEAR(actual.y, y, 1e-6f);
    EXPECT_NEAR(actual.z, z, 1e-6f);
}

RenderingContext smallContext()
{
    RenderingContext c;
    c.width = 9; // 3 x 3 pixels per cube face
    c.height = 6;
    return c;
}

} // namespace

TEST(PlaquePoints, TablesHoldTheExactPositions)
{
    EXPECT_EQ(kPlaquePointEpsilon, std::ldexp(3355.0f, -25));
    EXPECT_EQ(kPlaquePointEpsilon, 9.998679e-05f);
    EXPECT_LT(kPlaquePointEpsilon, 0.0001f);
    const float e = kPlaquePointEpsilon;
    const float f = 0.9999f;

    const auto main = GetMainPointsPos2D();
    const VekPoint2 expectedMain[4] = {{e, f}, {f, f}, {e, e}, {f, e}};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(main[i].x, expectedMain[i].x) << i;
        EXPECT_EQ(main[i].y, expectedMain[i].y) << i;
    }

    const auto ext = GetExtendedPointsPos2D();
    const VekPoint2 expectedExt[8] = {{e, 0.5f},           {f, 0.5f},           {0.5f, e},
                                      {0.5f, f},           {0.25005f, 0.74995f}, {0.74995f, 0.74995f},
                                      {0.25005f, 0.25005f}, {0.74995f, 0.25005f}};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(ext[i].x, expectedExt[i].x) << i;
        EXPECT_EQ(ext[i].y, expectedExt[i].y) << i;
    }
    EXPECT_EQ(upLeft, 0);
    EXPECT_EQ(downRight, 3);
    EXPECT_EQ(left, 0);
    EXPECT_EQ(quarterDownRight, 7);
}

TEST(RenderingContext, SharedInstanceLoadValuesAndReset)
{
    RenderingContext& shared = GetSharedRenderingContext();
    EXPECT_EQ(&shared, &GetSharedRenderingContext());
    EXPECT_EQ(shared.width, 4000u);
    EXPECT_EQ(shared.height, 2000u);
    EXPECT_EQ(shared.renderScale, 1.0f);
    EXPECT_EQ(shared.tolerance, 0.25f);
    EXPECT_FALSE(shared.lookupReady);
    EXPECT_EQ(shared.cameras, nullptr);

    const std::vector<VekPoint> cameras = {{1, 2, 3}};
    shared.cameras = &cameras;
    shared.width = 9;
    shared.height = 6;
    shared.renderScale = 2.0f;
    shared.tolerance = 0.5f;
    shared.InitLookup();
    shared.Reset();
    EXPECT_EQ(shared.width, 4000u);
    EXPECT_EQ(shared.height, 2000u);
    EXPECT_EQ(shared.renderScale, 1.0f);
    EXPECT_EQ(shared.tolerance, 0.25f);
    EXPECT_FALSE(shared.lookupReady);
    EXPECT_EQ(shared.cameras, nullptr);
    EXPECT_TRUE(shared.centerLookup.empty());
    for (const auto& lookup : shared.cornerLookups)
        EXPECT_TRUE(lookup.empty());
}

TEST(RenderingContext, DirectionsThroughPixelPoints)
{
    const RenderingContext c = smallContext();
    expectPoint(c.GetCenterDirection(4, 1), 0, 0, 1);  // centre of face +z
    expectPoint(c.GetCenterDirection(1, 4), 0, 0, -1); // centre of face -z
    expectPoint(c.GetCenterDirection(7, 1), -1, 0, 0); // centre of face -x
    // Corner and extended points are the cube-map direction at the point's
    // position inside the pixel, in single precision.
    using Quorvel::Camera::cubeMapDirection;
    expectSame(c.GetDirection(downRight, 4, 1), cubeMapDirection((4.0f + 0.9999f) / 9.0f, (1.0f + kPlaquePointEpsilon) / 6.0f));
    expectSame(c.GetExtendedDirection(quarterUpLeft, 2, 3),
               cubeMapDirection((2.0f + 0.25005f) / 9.0f, (3.0f + 0.74995f) / 6.0f));
}

TEST(RenderingContext, LookupsCacheTheComputedDirections)
{
    RenderingContext c = smallContext();
    const RenderingContext plain = smallContext();
    c.InitLookup();
    ASSERT_TRUE(c.lookupReady);
    ASSERT_EQ(c.centerLookup.size(), 54u);
    expectPoint(c.centerLookup[4 + 1 * 9], 0, 0, 1); // row by row
    for (uint64_t y = 0; y < 6; ++y)
        for (uint64_t x = 0; x < 9; ++x) {
            expectSame(c.GetCenterDirection(x, y), plain.GetCenterDirection(x, y));
            for (int p = 0; p < 4; ++p) {
                const auto point = static_cast<PLAQUE_MAIN_POINTS>(p);
                expectSame(c.cornerLookups[p][x + y * 9], plain.GetDirection(point, x, y));
                expectSame(c.GetDirection(point, x, y), plain.GetDirection(point, x, y));
            }
        }
    // The cache answers what it holds: a doctored entry comes back as is.
    c.centerLookup[5] = {7, 8, 9};
    expectPoint(c.GetCenterDirection(5, 0), 7, 8, 9);

    c.ReleaseLookup();
    EXPECT_FALSE(c.lookupReady);
    EXPECT_TRUE(c.centerLookup.empty());
    expectSame(c.GetCenterDirection(5, 0), plain.GetCenterDirection(5, 0));
}

TEST(RenderingContext, PixelsOutsideTheImageAreComputedNotReadFromTheCache)
{
    RenderingContext c = smallContext();
    const RenderingContext plain = smallContext();
    c.InitLookup();
    expectSame(c.GetCenterDirection(9, 0), plain.GetCenterDirection(9, 0));
    expectSame(c.GetCenterDirection(3, 6), plain.GetCenterDirection(3, 6));
    expectSame(c.GetDirection(upRight, 100, 100), plain.GetDirection(upRight, 100, 100));
}

// 2^33 x 2^31 pixels wrap a 64-bit count to zero: no table may be sized by it.
TEST(RenderingContext, LookupOfAnOverflowingSizeStaysOff)
{
    RenderingContext c;
    c.width = uint64_t{1} << 33;
    c.height = uint64_t{1} << 31;
    c.InitLookup();
    EXPECT_FALSE(c.lookupReady);
    EXPECT_TRUE(c.centerLookup.empty());
    expectSame(c.GetCenterDirection(5, 7), c.ComputeDirection(5, 7, 0.5f, 0.5f));
}

TEST(RenderingContext, ProximityUsesRenderScaleAndWidth)
{
    struct Case {
        float renderScale;
        uint64_t width;
        float a, b, h;
        bool near;
    };
    const Case cases[] = {
        {2.0f, 4000, 10.0f, 10.5f, 1.0f, false}, // angle 0.0096 > pi / 4000
        {2.0f, 4000, 10.0f, 10.001f, 1.0f, true},
        {2.0f, 40, 10.0f, 10.5f, 1.0f, true},    // pi / 40 allows it
        {1.0f, 40, 10.0f, 12.0f, 1.0f, false},   // more than 10 % apart
        {1.0f, 4000, 10.0f, 10.5f, 100.0f, true}, // seen from 10000 the angle is tiny
    };
    for (const Case& c : cases) {
        RenderingContext context;
        context.renderScale = c.renderScale;
        context.width = c.width;
        EXPECT_EQ(context.isAtProximity(c.a, c.b, c.h), c.near) << c.renderScale << " " << c.width << " " << c.b;
    }
}
