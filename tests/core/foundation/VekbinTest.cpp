#include <gtest/gtest.h>

#include <cmath>
#include <type_traits>
#include <vector>

#include "foundation/Vekbin.h"

using Quorvel::Binary::vekbin;
using Quorvel::Binary::pixelDirection;

static_assert(std::is_trivially_copyable_v<vekbin>);

namespace {

void expectPoint(const VekPoint& actual, float x, float y, float z, float tol = 1e-6f)
{
    EXPECT_NEAR(actual.x, x, tol);
    EXPECT_NEAR(actual.y, y, tol);
    EXPECT_NEAR(actual.z, z, tol);
}

vekbin sample(uint8_t camera, uint16_t x, uint16_t y, double depth)
{
    vekbin v;
    v.camera = camera;
    v.x = x;
    v.y = y;
    v.depth = depth;
    v.width = 9;
    v.height = 6;
    return v;
}

} // namespace

TEST(Vekbin, ConstructedRecordIsOpaqueBlackStaticUnitBox)
{
    const vekbin v;
    EXPECT_EQ(v.colour.r, 0.0f);
    EXPECT_EQ(v.colour.g, 0.0f);
    EXPECT_EQ(v.colour.b, 0.0f);
    EXPECT_EQ(v.colour.a, 1.0f);
    expectPoint({v.rightColour.r, v.rightColour.g, v.rightColour.b}, 0, 0, 0, 0);
    expectPoint(v.normal, 0, 0, 0, 0);
    expectPoint(v.boxScale, 1, 1, 1, 0);
    expectPoint(v.velocity, 0, 0, 0, 0);
    expectPoint(v.position, 0, 0, 0, 0);
    EXPECT_FALSE(v.transpFlag);
    EXPECT_FALSE(v.cockpitFlag);
}

TEST(Vekbin, KeyPacksCameraRowColumn)
{
    vekbin v = sample(3, 7, 10, 1.0);
    v.updateDerived({{0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}}, 1);
    EXPECT_EQ(v.key, 216172825063456775ull);

    vekbin top = sample(255, 65535, 65535, 1.0);
    top.updateDerived(std::vector<VekPoint>(256, VekPoint{0, 0, 0}), 1);
    EXPECT_EQ(top.key, 0xFF00FFFF0000FFFFull);
}

TEST(Vekbin, Transparency)
{
    struct Case {
        float alpha;
        bool flag;
        bool transparent;
    };
    const Case cases[] = {
        {1.0f, false, false}, {0.99999994f, false, true}, {0.99999988f, false, true},
        {1.0f, true, true},   {0.5f, false, true}};
    for (const Case& c : cases) {
        vekbin v = sample(0, 4, 1, 1.0);
        v.colour.a = c.alpha;
        v.transpFlag = c.flag;
        v.updateDerived({{0, 0, 0}}, 1);
        EXPECT_EQ(v.transparent, c.transparent) << c.alpha << " " << c.flag;
    }
}

// Pixel (4, 1) of a 9 x 6 cube map is the centre of the +z face.
TEST(Vekbin, PositionAndDistanceFromCameraAndDepth)
{
    const std::vector<VekPoint> cameras = {{0, 0, 0}, {3, 4, 0}};
    vekbin v = sample(1, 4, 1, 12.0);
    EXPECT_FLOAT_EQ(v.updateDerived(cameras, 1), 13.0f);
    expectPoint(v.position, 3, 4, 12);
    EXPECT_EQ(v.distance, 13.0);

    vekbin atCamera = sample(1, 0, 0, 0.0);
    EXPECT_FLOAT_EQ(atCamera.updateDerived(cameras, 1), 5.0f);
    expectPoint(atCamera.position, 3, 4, 0, 0);
}

TEST(Vekbin, CameraBeyondTheListCountsAsCentre)
{
    vekbin v = sample(7, 4, 1, 2.0);
    EXPECT_FLOAT_EQ(v.updateDerived({{9, 9, 9}}, 1), 2.0f);
    expectPoint(v.position, 0, 0, 2);
}

TEST(PixelDirection, CubeMapIsAlwaysValid)
{
    const auto centre = pixelDirection(4, 1, 9, 6, 1);
    EXPECT_TRUE(centre.valid);
    expectPoint(centre.direction, 0, 0, 1);
    const auto minusZ = pixelDirection(1, 4, 9, 6, 1); // centre of face 3
    EXPECT_TRUE(minusZ.valid);
    expectPoint(minusZ.direction, 0, 0, -1);
}

// 8 x 4 image: row 0 is the pole, rows 1 and 3 hold floor(sin(pi/4) 8) + 1 = 6
// pixels, row 2 all 8.
TEST(PixelDirection, LatitudeLongitude)
{
    struct Case {
        int32_t x, y;
        bool valid;
        VekPoint direction;
    };
    const float h = 0.70710677f;
    const Case cases[] = {
        {0, 0, false, {0, 1, 0}},  {5, 0, false, {0, 1, 0}},  // pole row
        {6, 1, false, {0, 1, 0}},  {7, 1, false, {0, 1, 0}},  // beyond the row, upper half
        {6, 3, false, {0, -1, 0}}, {7, 3, false, {0, -1, 0}}, // beyond the row, lower half
        {0, 1, true, {0, h, h}},
        {5, 1, true, {0.47132756f, h, 0.52711511f}}, // last pixel of a short row
        {0, 2, true, {0, 0, 1}},   {2, 2, true, {-1, 0, 0}},
        {4, 2, true, {0, 0, -1}},  {6, 2, true, {1, 0, 0}},
        {0, 3, true, {0, -h, h}},
    };
    for (const Case& c : cases) {
        const auto r = pixelDirection(c.x, c.y, 8, 4, 0);
        EXPECT_EQ(r.valid, c.valid) << c.x << "," << c.y;
        expectPoint(r.direction, c.direction.x, c.direction.y, c.direction.z, 2e-6f);
    }
}

TEST(Vekbin, LatitudeLongitudeInvalidPixelStillGetsPosition)
{
    vekbin v = sample(0, 3, 0, 5.0);
    v.width = 8;
    v.height = 4;
    EXPECT_FLOAT_EQ(v.updateDerived({{1, 1, 1}}, 0), std::sqrt(1.0f + 36.0f + 1.0f));
    expectPoint(v.position, 1, 6, 1);
}

TEST(Vekbin, Orders)
{
    auto make = [](uint64_t key, double distance, bool transparent, int tag) {
        vekbin v;
        v.key = key;
        v.distance = distance;
        v.transparent = transparent;
        v.width = tag;
        return v;
    };
    std::vector<vekbin> samples = {make(5, 2, false, 0), make(5, 1.5, true, 1), make(1, 9, false, 2),
                                   make(5, 1, false, 3), make(2, 3, true, 4),  make(7, 3, true, 5)};

    std::vector<vekbin> byKey = samples;
    Quorvel::Binary::sortByKey(byKey);
    std::vector<int> tags;
    for (const auto& v : byKey)
        tags.push_back(v.width);
    EXPECT_EQ(tags, (std::vector<int>{2, 4, 3, 1, 0, 5}));

    std::vector<vekbin> final = samples;
    Quorvel::Binary::sortForFinalFile(final);
    tags.clear();
    for (const auto& v : final)
        tags.push_back(v.width);
    // Opaque by key only (equal keys keep input order), then transparent
    // farthest first (equal distances keep input order).
    EXPECT_EQ(tags, (std::vector<int>{2, 0, 3, 4, 5, 1}));
}
