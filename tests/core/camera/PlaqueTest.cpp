#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>

#include "camera/Plaque.h"

using Quorvel::BinIO::DetectPlaqueInfo;
using Quorvel::BinIO::qvlRenderSample5_t;
using Quorvel::Binary::vekbin;

static_assert(sizeof(DetectPlaqueInfo) == 28);
static_assert(offsetof(DetectPlaqueInfo, cameraIndex) == 0);
static_assert(offsetof(DetectPlaqueInfo, x) == 2);
static_assert(offsetof(DetectPlaqueInfo, y) == 4);
static_assert(offsetof(DetectPlaqueInfo, estimated) == 6);
static_assert(offsetof(DetectPlaqueInfo, hair) == 7);
static_assert(offsetof(DetectPlaqueInfo, reserved) == 8);
static_assert(offsetof(DetectPlaqueInfo, level) == 9);
static_assert(offsetof(DetectPlaqueInfo, transparent) == 10);
static_assert(offsetof(DetectPlaqueInfo, depth) == 12);
static_assert(offsetof(DetectPlaqueInfo, normal) == 16);

namespace {

void expectPoint(const VekPoint& actual, float x, float y, float z, float tol)
{
    EXPECT_NEAR(actual.x, x, tol);
    EXPECT_NEAR(actual.y, y, tol);
    EXPECT_NEAR(actual.z, z, tol);
}

void expectSame(const VekPoint& a, const VekPoint& b)
{
    EXPECT_EQ(std::memcmp(&a, &b, sizeof(VekPoint)), 0)
        << a.x << "," << a.y << "," << a.z << " vs " << b.x << "," << b.y << "," << b.z;
}

void expectSamePlaque(const Plaque& a, const Plaque& b)
{
    EXPECT_EQ(std::memcmp(&a, &b, 8), 0);
    expectSame(a.normal, b.normal);
    EXPECT_EQ(a.depth, b.depth);
    EXPECT_EQ(a.cosine, b.cosine);
    EXPECT_EQ(a.quality, b.quality);
    expectSame(a.center, b.center);
    for (int i = 0; i < 4; ++i)
        expectSame(a.corners[i], b.corners[i]);
}

// 9 x 6 cube map: every face is 3 x 3 pixels, so pixel (4, 1) looks straight
// along +z and its corners along (+-1/3, +-1/3, 1).
struct HeadOnFixture : ::testing::Test {
    std::vector<VekPoint> cameras = {{0, 0, 0}, {10, 20, 30}};
    RenderingContext context;
    HeadOnFixture()
    {
        context.cameras = &cameras;
        context.width = 9;
        context.height = 6;
    }
};

} // namespace

TEST_F(HeadOnFixture, HeadOnPlaque)
{
    const Plaque p = GetPlaqueInfo(context, 1, 4, 1, {0, 0, -1}, 6.0f, 0, 1.0f);
    EXPECT_EQ(p.cameraIndex, 1u);
    EXPECT_EQ(p.x, 4u);
    EXPECT_EQ(p.y, 1u);
    EXPECT_EQ(p.hasNormal, 1u);
    EXPECT_EQ(p.facesCamera, 1u);
    EXPECT_EQ(p.depth, 6.0f);
    EXPECT_FLOAT_EQ(p.cosine, 1.0f);
    EXPECT_DOUBLE_EQ(p.quality, 1.0 / 6.0);
    expectPoint(p.center, 10, 20, 36, 1e-5f);
    // Footprint on z = 36: the pixel spans a third of the depth each way.
    expectPoint(p.corners[upLeft], 12, 22, 36, 1e-3f);
    expectPoint(p.corners[upRight], 8, 22, 36, 1e-3f);
    expectPoint(p.corners[downLeft], 12, 18, 36, 1e-3f);
    expectPoint(p.corners[downRight], 8, 18, 36, 1e-3f);

    const Plaque doubled = GetPlaqueInfo(context, 1, 4, 1, {0, 0, -1}, 6.0f, 0, 2.0f);
    expectPoint(doubled.corners[upLeft], 14, 24, 36, 2e-3f);
    expectPoint(doubled.corners[downRight], 6, 16, 36, 2e-3f);
}

// Plane through (10, 20, 36) with z - 36 = x - 10, leaning away on the +x side:
// the +x corners land at depth 9 along the ray, the -x corners at 4.5.
TEST_F(HeadOnFixture, TiltedPlaque)
{
    const float r = std::sqrt(0.5f);
    const Plaque p = GetPlaqueInfo(context, 1, 4, 1, {r, 0, -r}, 6.0f, 0, 1.0f);
    EXPECT_EQ(p.hasNormal, 1u);
    EXPECT_EQ(p.facesCamera, 1u);
    EXPECT_FLOAT_EQ(p.cosine, r);
    EXPECT_NEAR(p.quality, 0.70710678 / 6.0, 1e-7);
    expectPoint(p.corners[upLeft], 13, 23, 39, 5e-3f);
    expectPoint(p.corners[upRight], 8.5f, 21.5f, 34.5f, 5e-3f);
    expectPoint(p.corners[downLeft], 13, 17, 39, 5e-3f);
    expectPoint(p.corners[downRight], 8.5f, 18.5f, 34.5f, 5e-3f);

    // Seen from behind: same footprint, same cosine, not facing the camera.
    const Plaque back = GetPlaqueInfo(context, 1, 4, 1, {-r, 0, r}, 6.0f, 0, 1.0f);
    EXPECT_EQ(back.facesCamera, 0u);
    EXPECT_FLOAT_EQ(back.cosine, r);
    EXPECT_EQ(back.quality, p.quality);
    for (int i = 0; i < 4; ++i)
        expectPoint(back.corners[i], p.corners[i].x, p.corners[i].y, p.corners[i].z, 1e-5f);
}

// The hit takes only dot(d, n) in double; the offset's dot is single, which
// moves the x of two corners by one float step from the all-double result.
TEST_F(HeadOnFixture, CornersExactToTheFloat)
{
    const Plaque p = GetPlaqueInfo(context, 1, 4, 1, {0.5f, 0.5f, -0.4f}, 2.8f, 0, 1.0f);
    const VekPoint expected[4] = {{0x1.f2fc1ep+3f, 0x1.997e0ep+4f, 0x1.7643f8p+5f},
                                  {0x1.2223aap+3f, 0x1.4eee2ap+4f, 0x1.066666p+5f},
                                  {0x1.5ddc56p+3f, 0x1.3111d6p+4f, 0x1.066666p+5f},
                                  {0x1.2fb5fcp+3f, 0x1.37dafep+4f, 0x1.f87046p+4f}};
    for (int i = 0; i < 4; ++i)
        expectSame(p.corners[i], expected[i]);
}

TEST_F(HeadOnFixture, UnusableNormals)
{
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const VekPoint unusable[] = {{0, 0, 0}, {nan, 0, -1}, {0, inf, -1}, {9.9e-5f, 0, 0}, {0, 0, 1e-5f}};
    for (const VekPoint& n : unusable) {
        const Plaque p = GetPlaqueInfo(context, 1, 4, 1, n, 6.0f, 0, 1.0f);
        EXPECT_EQ(p.hasNormal, 0u) << n.x << "," << n.y << "," << n.z;
        EXPECT_EQ(p.facesCamera, 0u);
        EXPECT_EQ(p.cosine, 1.0f);
        EXPECT_DOUBLE_EQ(p.quality, 1.0 / 6.0);
        for (int i = 0; i < 4; ++i)
            expectSame(p.corners[i], p.center);
    }
    // Squared length 1.0000001e-8 is just long enough.
    EXPECT_EQ(GetPlaqueInfo(context, 1, 4, 1, {0, 0, -1e-4f}, 6.0f, 0, 1.0f).hasNormal, 1u);
}

TEST_F(HeadOnFixture, CornerWhoseRayGrazesThePlaneStaysAtTheCentre)
{
    const VekPoint d = context.GetDirection(upLeft, 4, 1);
    // Perpendicular to d but to none of the other corner rays.
    const VekPoint n = Quorvel::Utils::normalize({-2 * d.z, d.z, 2 * d.x - d.y});
    const Plaque p = GetPlaqueInfo(context, 1, 4, 1, n, 6.0f, 0, 1.0f);
    ASSERT_EQ(p.hasNormal, 1u);
    expectSame(p.corners[upLeft], p.center);
    for (int i = 1; i < 4; ++i)
        EXPECT_GT(Quorvel::Utils::length({p.corners[i].x - p.center.x, p.corners[i].y - p.center.y,
                                          p.corners[i].z - p.center.z}),
                  0.5f)
            << i;
}

TEST_F(HeadOnFixture, QualityDistanceLimits)
{
    // At the camera: no view direction, and the distance is floored.
    EXPECT_EQ(GetPlaqueInfo(context, 1, 4, 1, {0, 0, -1}, 0.0f, 0, 1.0f).quality, 0.0);
    EXPECT_DOUBLE_EQ(GetPlaqueInfo(context, 1, 4, 1, {0, 0, 0}, 0.0f, 0, 1.0f).quality, 1.0 / 9.99999905e-9);
    // Beyond 999999995904 the distance counts as 1.
    EXPECT_FLOAT_EQ(static_cast<float>(GetPlaqueInfo(context, 0, 4, 1, {0, 0, -1}, 2e12f, 0, 1.0f).quality), 1.0f);
    EXPECT_NEAR(GetPlaqueInfo(context, 0, 4, 1, {0, 0, -1}, 9e11f, 0, 1.0f).quality, 1.0 / 9e11, 1e-18);
}

TEST_F(HeadOnFixture, ExtendedPointsAndRecomputedPoints)
{
    std::array<VekPoint, 4> corners{};
    std::array<VekPoint, 8> extended{};
    GetPlaqueExtendedPoints(context, 1, 4, 1, {0, 0, -1}, 6.0f, 1.0f, corners, extended);
    const VekPoint expected[8] = {{12, 20, 36}, {8, 20, 36}, {10, 18, 36}, {10, 22, 36},
                                  {11, 21, 36}, {9, 21, 36}, {11, 19, 36}, {9, 19, 36}};
    for (int i = 0; i < 8; ++i)
        expectPoint(extended[i], expected[i].x, expected[i].y, expected[i].z, 1e-3f);

    const Plaque p = GetPlaqueInfo(context, 1, 4, 1, {0, 0, -1}, 6.0f, 0, 1.0f);
    std::array<VekPoint, 4> main{};
    GetPlaqueMainPoints(context, 1, 4, 1, {0, 0, -1}, 6.0f, 1.0f, 77, 88, main);
    const auto recomputed = GetPlaquePoints(context, p, 1.0f);
    for (int i = 0; i < 4; ++i) {
        expectSame(corners[i], p.corners[i]);
        expectSame(main[i], p.corners[i]);
        expectSame(recomputed[i], p.corners[i]);
    }
    const auto shrunk = GetExtendedPoints(context, p, 0.909f);
    for (int i = 0; i < 8; ++i)
        expectPoint(shrunk[i], 10 + (expected[i].x - 10) * 0.909f, 20 + (expected[i].y - 20) * 0.909f, 36, 1e-3f);

    // The main points ignore whether the normal is usable: a zero normal has
    // no plane to hit, so every corner is the centre.
    GetPlaqueMainPoints(context, 1, 4, 1, {0, 0, 0}, 6.0f, 1.0f, 0, 0, main);
    for (int i = 0; i < 4; ++i)
        expectSame(main[i], p.center);
}

TEST(PlaqueLevels, CoarseContextMapping)
{
    const std::vector<VekPoint> cameras = {{1, 2, 3}};
    RenderingContext full;
    full.cameras = &cameras;
    full.renderScale = 2.0f;
    RenderingContext half;
    half.cameras = &cameras;
    half.width = 2000;
    half.height = 1000;
    RenderingContext quarter = half;
    quarter.width = 1000;
    quarter.height = 500;

    const VekPoint n{0.3f, -0.2f, -0.9f};
    const Plaque one = GetPlaqueInfo(full, 0, 101, 51, n, 4.0f, 1, 1.0f);
    EXPECT_EQ(one.x, 50u);
    EXPECT_EQ(one.y, 25u);
    expectSamePlaque(one, GetPlaqueInfo(half, 0, 50, 25, n, 4.0f, 0, 1.0f));

    const Plaque two = GetPlaqueInfo(full, 0, 103, 55, n, 4.0f, 2, 1.0f);
    EXPECT_EQ(two.x, 25u);
    EXPECT_EQ(two.y, 13u);
    expectSamePlaque(two, GetPlaqueInfo(quarter, 0, 25, 13, n, 4.0f, 0, 1.0f));
}

TEST(PlaqueLevels, CoarseLevelsNeverReadTheFullResolutionCache)
{
    const std::vector<VekPoint> cameras = {{1, 2, 3}};
    RenderingContext full;
    full.cameras = &cameras;
    full.width = 48;
    full.height = 32;
    RenderingContext coarse = full;
    coarse.width = 24;
    coarse.height = 16;
    full.InitLookup();
    for (auto& d : full.centerLookup)
        d = {0, 1, 0};
    for (auto& lookup : full.cornerLookups)
        for (auto& d : lookup)
            d = {0, 1, 0};
    const VekPoint n{0.3f, -0.2f, -0.9f};
    expectSamePlaque(GetPlaqueInfo(full, 0, 11, 7, n, 4.0f, 1, 1.0f), GetPlaqueInfo(coarse, 0, 5, 3, n, 4.0f, 0, 1.0f));
}

TEST(PlaqueRecords, EveryRecordKindGivesTheSamePlaque)
{
    const std::vector<VekPoint> cameras = {{0, 0, 0}, {0, 0, 0}, {5, -5, 2}};
    RenderingContext context;
    context.cameras = &cameras;
    const VekPoint n{0, 0.6f, -0.8f};
    const Plaque expected = GetPlaqueInfo(context, 2, 1234, 567, n, 12.5f, 1, 1.5f);

    DetectPlaqueInfo detect;
    detect.cameraIndex = 2;
    detect.x = 1234;
    detect.y = 567;
    detect.level = 1;
    detect.depth = 12.5f;
    detect.normal = n;
    expectSamePlaque(GetPlaqueInfo(context, detect, 1.5f), expected);

    // 0.6 and 0.8 are not binary16 values, so compare with the rounded normal.
    qvlRenderSample5_t render;
    render.cameraIndex = 2;
    render.x = 1234;
    render.y = 567;
    render.level = 1;
    render.depth = 12.5f;
    render.normal[0] = half_float::half(n.x);
    render.normal[1] = half_float::half(n.y);
    render.normal[2] = half_float::half(n.z);
    const VekPoint halfNormal{static_cast<float>(render.normal[0]), static_cast<float>(render.normal[1]),
                              static_cast<float>(render.normal[2])};
    expectSamePlaque(GetPlaqueInfo(context, render, 1.5f), GetPlaqueInfo(context, 2, 1234, 567, halfNormal, 12.5f, 1, 1.5f));

    vekbin merged;
    merged.camera = 2;
    merged.x = 1234;
    merged.y = 567;
    merged.level = 1;
    merged.depth = 12.5;
    merged.normal = n;
    expectSamePlaque(GetPlaqueInfo(context, merged, 1.5f), expected);

    // The centre is always taken at the context's full resolution.
    const VekPoint centre = GetPlaqueCenter(context, detect);
    const VekPoint d = context.GetCenterDirection(1234, 567);
    expectSame(centre, {5 + d.x * 12.5f, -5 + d.y * 12.5f, 2 + d.z * 12.5f});
    expectSame(GetPlaqueCenter(context, render), centre);
    expectSame(GetPlaqueCenter(context, merged), centre);
    EXPECT_GT(std::fabs(centre.x - expected.center.x) + std::fabs(centre.y - expected.center.y), 1e-3f);
}

TEST(PlaqueRecords, PackedWordsAndMissingCamera)
{
    RenderingContext context; // no camera set
    const Plaque p = GetPlaqueInfo(context, 0xAB, 3000, 1999, {0, 0, -1}, 2.0f, 0, 1.0f);
    uint32_t words[2];
    std::memcpy(words, &p, sizeof(words));
    EXPECT_EQ(words[0], 0xABu | (3000u << 8));
    EXPECT_EQ(words[1], 1999u | (1u << 16) | (uint32_t(p.facesCamera) << 17));
    const Plaque noNormal = GetPlaqueInfo(context, 7, 1, 2, {0, 0, 0}, 2.0f, 0, 1.0f);
    std::memcpy(words, &noNormal, sizeof(words));
    EXPECT_EQ(words[0], 7u | (1u << 8));
    EXPECT_EQ(words[1], 2u);

    // A camera beyond the set is taken at the centre of the zone of view.
    const VekPoint d = context.GetCenterDirection(3000, 1999);
    expectSame(p.center, {d.x * 2.0f, d.y * 2.0f, d.z * 2.0f});
}

// With tables the corners come one by one; without, four side by side.
// Every pixel, on a width that puts face edges inside pixels and on one that
// does not, with normals that face the camera, slant, graze one corner's ray
// and are missing.
TEST(PlaqueLookups, SameResultWithAndWithoutLookups)
{
    const std::vector<VekPoint> cameras = {{1, -2, 3}};
    for (const uint64_t width : {30u, 31u}) {
        RenderingContext plain;
        plain.cameras = &cameras;
        plain.width = width;
        plain.height = 20;
        RenderingContext cached = plain;
        cached.InitLookup();
        for (uint64_t y = 0; y < plain.height; ++y)
            for (uint64_t x = 0; x < width; ++x) {
                const VekPoint corner = plain.GetDirection(upLeft, x, y);
                const VekPoint grazing = Quorvel::Utils::normalize({corner.z, 0.0f, -corner.x});
                const VekPoint normals[] = {{0, 0, -1}, {0.5f, 0.5f, -0.7071f}, grazing, {0, 0, 0}};
                for (const VekPoint& n : normals)
                    expectSamePlaque(GetPlaqueInfo(cached, 0, x, y, n, 7.0f, 0, 1.25f),
                                     GetPlaqueInfo(plain, 0, x, y, n, 7.0f, 0, 1.25f));
            }
    }
}

TEST(IsDegenerated, ParallelEdgesAndCollapsedQuads)
{
    struct Case {
        std::array<VekPoint, 4> corners;
        float threshold;
        bool degenerate;
    };
    const Case cases[] = {
        // Unit square: edges are perpendicular, the diagonal makes 45 degrees.
        {{{{0, 1, 0}, {1, 1, 0}, {0, 0, 0}, {1, 0, 0}}}, 0.8f, false},
        {{{{0, 1, 0}, {1, 1, 0}, {0, 0, 0}, {1, 0, 0}}}, 0.7f, true},
        {{{{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {3, 0, 0}}}, 0.999f, true}, // on a line
        // Sheared: the side edge runs almost along the top edge (cosine 0.98).
        {{{{0, 1, 0}, {1, 1, 0}, {5, 0, 0}, {6, 0, 0}}}, 0.9f, true},
        {{{{0, 1, 0}, {1, 1, 0}, {5, 0, 0}, {6, 0, 0}}}, 0.99f, false},
        {{{{2, 2, 2}, {2, 2, 2}, {2, 2, 2}, {2, 2, 2}}}, 0.5f, true}, // collapsed to a point
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsDegenerated(c.corners, c.threshold), c.degenerate)
            << c.corners[2].x << " " << c.threshold;
}
