#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "camera/CubeMap.h"
#include "core/camera/CameraTestSupport.h"

namespace {

using namespace Quorvel::Camera;
using QuorvelTest::expectPoint;

constexpr float k = kCubeMapEdgeScale;

TEST(CubeMap, UpperMiddleIsPlusZWithItsDerivatives)
{
    const CubeMapDirection d = cubeMapSample(0.5f, 0.25f);
    EXPECT_EQ(d.face, 1);
    expectPoint(d.direction, 0.0f, 0.0f, 1.0f);
    expectPoint(d.dDirectionDs, -3.0f * k, 0.0f, 0.0f);
    expectPoint(d.dDirectionDt, 0.0f, 2.0f * k, 0.0f);
}

TEST(CubeMap, FaceCentresAndDerivatives)
{
    struct Case {
        float u, v;
        int32_t face;
        VekPoint direction, ds, dt;
    };
    const Case cases[] = {
        {1.0f / 6, 0.25f, 0, {1, 0, 0}, {0, 0, 3 * k}, {0, 2 * k, 0}},
        {0.5f, 0.25f, 1, {0, 0, 1}, {-3 * k, 0, 0}, {0, 2 * k, 0}},
        {5.0f / 6, 0.25f, 2, {-1, 0, 0}, {0, 0, -3 * k}, {0, 2 * k, 0}},
        {1.0f / 6, 0.75f, 3, {0, 0, -1}, {3 * k, 0, 0}, {0, 2 * k, 0}},
        {0.5f, 0.75f, 4, {0, 1, 0}, {-3 * k, 0, 0}, {0, 0, -2 * k}},
        {5.0f / 6, 0.75f, 5, {0, -1, 0}, {-3 * k, 0, 0}, {0, 0, 2 * k}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.face);
        const CubeMapDirection d = cubeMapSample(c.u, c.v);
        EXPECT_EQ(d.face, c.face);
        // Thirds are not exact in binary: the centre is off by a few ulps.
        EXPECT_NEAR(d.direction.x, c.direction.x, 3e-7f);
        EXPECT_NEAR(d.direction.y, c.direction.y, 3e-7f);
        EXPECT_NEAR(d.direction.z, c.direction.z, 3e-7f);
        expectPoint(d.dDirectionDs, c.ds.x, c.ds.y, c.ds.z);
        expectPoint(d.dDirectionDt, c.dt.x, c.dt.y, c.dt.z);
    }
}

TEST(CubeMap, FaceThresholds)
{
    const float third = 1.0f / 3.0f;
    const float below = std::nextafter(-third, -1.0f);
    EXPECT_EQ(cubeMapFace(below, -0.5f), 0);
    EXPECT_EQ(cubeMapFace(-third, -0.5f), 1);
    EXPECT_EQ(cubeMapFace(std::nextafter(third, 0.0f), -0.5f), 1);
    EXPECT_EQ(cubeMapFace(third, -0.5f), 2);
    // t = 0 belongs to the lower row.
    EXPECT_EQ(cubeMapFace(below, 0.0f), 3);
    EXPECT_EQ(cubeMapFace(0.0f, 0.0f), 4);
    EXPECT_EQ(cubeMapFace(third, std::nextafter(0.0f, -1.0f)), 2);
    EXPECT_EQ(cubeMapFace(third, 0.0f), 5);
}

TEST(CubeMap, OffFaceCentreDirection)
{
    // s = -0.5, t = -0.75 on face 0: d = (1, -0.5k, 0.5k).
    const VekPoint d = cubeMapDirection(0.25f, 0.125f);
    const float n = std::sqrt(1.0f + 0.5f * k * 0.5f * k * 2.0f);
    EXPECT_FLOAT_EQ(d.x, 1.0f / n);
    EXPECT_FLOAT_EQ(d.y, -0.5f * k / n);
    EXPECT_FLOAT_EQ(d.z, 0.5f * k / n);
}

TEST(CubeMap, DefinedOutsideTheImage)
{
    for (const float u : {-0.5f, 1.5f})
        for (const float v : {-0.5f, 1.5f}) {
            const VekPoint d = cubeMapDirection(u, v);
            EXPECT_NEAR(std::sqrt(d.x * d.x + d.y * d.y + d.z * d.z), 1.0f, 1e-6f);
        }
}

TEST(CubeMapInverse, AxesAndDegenerateDirections)
{
    struct Case {
        VekPoint direction;
        float u, v;
    };
    const Case cases[] = {
        {{1, 0, 0}, 0.16666666f, 0.25f},   {{0, 0, 1}, 0.5f, 0.25f},   {{-1, 0, 0}, 0.8333333f, 0.25f},
        {{0, 0, -1}, 0.16666666f, 0.75f},  {{0, 1, 0}, 0.5f, 0.75f},   {{0, -1, 0}, 0.8333333f, 0.75f},
        // No strict major axis: the z branch decides.
        {{0, 0, 0}, 0.16666666f, 0.75f},
        {{1, 1, 1}, 0.33333334f, 0.49999997f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.direction.x << " " << c.direction.y << " " << c.direction.z);
        const VekPoint2 p = cubeMapPosition(c.direction);
        EXPECT_FLOAT_EQ(p.x, c.u);
        EXPECT_FLOAT_EQ(p.y, c.v);
    }
}

TEST(CubeMapInverse, RecoversEveryPixelCentre)
{
    constexpr int W = 90, H = 60;
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const float u = (x + 0.5f) / W, v = (y + 0.5f) / H;
            const VekPoint2 p = cubeMapPosition(cubeMapDirection(u, v));
            ASSERT_NEAR(p.x, u, 2e-6f) << x << "," << y;
            ASSERT_NEAR(p.y, v, 2e-6f) << x << "," << y;
        }
}

} // namespace
