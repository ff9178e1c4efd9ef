#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "foundation/GeometryUtils.h"

using namespace Quorvel::Utils;

namespace {

void expectPoint(const VekPoint& actual, float x, float y, float z)
{
    EXPECT_FLOAT_EQ(actual.x, x);
    EXPECT_FLOAT_EQ(actual.y, y);
    EXPECT_FLOAT_EQ(actual.z, z);
}

} // namespace

TEST(PlaneFromPoints, RejectsTooFewCollinearAndCoincidentPoints)
{
    const std::vector<std::vector<VekPoint>> cases = {
        {{0, 0, 0}, {1, 0, 0}},
        {{0, 0, 0}, {1, 1, 1}, {2, 2, 2}},
        {{3, 3, 3}, {3, 3, 3}, {3, 3, 3}, {3, 3, 3}},
    };
    for (auto points : cases) {
        VekPoint normal{7, 7, 7};
        VekPoint centroid{8, 8, 8};
        EXPECT_FALSE(plane_from_points(points, normal, centroid));
        expectPoint(normal, 7, 7, 7);
        expectPoint(centroid, 8, 8, 8);
    }
}

TEST(PlaneFromPoints, Triangle)
{
    std::vector<VekPoint> points = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
    VekPoint normal{}, centroid{};
    ASSERT_TRUE(plane_from_points(points, normal, centroid));
    expectPoint(normal, 0, 0, 1);
    expectPoint(centroid, 1.0f / 3.0f, 1.0f / 3.0f, 0);
}

// Points on u = 0.5 v + 0.25 w + 1 over a 2 x 2 grid of (v, w), with u placed
// on each axis in turn: the dominant component is 1, the others are -0.5, -0.25.
TEST(PlaneFromPoints, NormalOnEachDominantAxis)
{
    struct Case {
        int axis;
        VekPoint normal;
    };
    const Case cases[] = {{0, {1, -0.5f, -0.25f}}, {1, {-0.5f, 1, -0.25f}}, {2, {-0.5f, -0.25f, 1}}};
    for (const Case& c : cases) {
        std::vector<VekPoint> points;
        for (float v : {0.0f, 2.0f})
            for (float w : {0.0f, 2.0f}) {
                const float u = 0.5f * v + 0.25f * w + 1.0f;
                if (c.axis == 0)
                    points.push_back({u, v, w});
                else if (c.axis == 1)
                    points.push_back({v, u, w});
                else
                    points.push_back({v, w, u});
            }
        VekPoint normal{}, centroid{};
        ASSERT_TRUE(plane_from_points(points, normal, centroid)) << c.axis;
        expectPoint(normal, c.normal.x, c.normal.y, c.normal.z);
    }
}

TEST(IntersectPlaneLine, HitAndParallel)
{
    VekPoint out{9, 9, 9};
    EXPECT_FALSE(intersectPlaneLine(out, {0, 0, 0}, {0, 1, 0}, {2, 0, 0}, {1, 0, 0}));
    expectPoint(out, 9, 9, 9);

    ASSERT_TRUE(intersectPlaneLine(out, {0, 0, 0}, {1, 1, 0}, {2, 0, 0}, {1, 0, 0}));
    expectPoint(out, 2, 2, 0);
}

// The offset's dot product is single precision, only dot(d, n) is double:
// summed in double, the y component would round to 3.37142825.
TEST(IntersectPlaneLine, OffsetDotInSinglePrecision)
{
    VekPoint out{};
    ASSERT_TRUE(intersectPlaneLine(out, {-0.5f, -0.8f, 0.7f}, {6, -6, -3}, {2.4f, 6.3f, 0}, {-0.8f, 0.6f, -1.4f}));
    EXPECT_EQ(out.x, -4.6714282f);
    EXPECT_EQ(out.y, 3.37142849f);
    EXPECT_EQ(out.z, 2.78571415f);
}

TEST(VectorIntersectPlane, NormalisesNormalAndDirection)
{
    expectPoint(vectorIntersectPlane({0, 0, 5}, {0, 0, 2}, {1, 1, 0}, {0, 0, 3}), 1, 1, 5);
    expectPoint(vectorIntersectPlane({0, 0, 5}, {0, 0, -1}, {1, 1, 0}, {0, 0, 3}), 1, 1, 5);
}

// d * offset first, then / dot(d, n): dividing first would give
// (-33.2999992, -4.69999981, 9).
TEST(VectorIntersectPlane, ScalesBeforeDividing)
{
    const VekPoint r = vectorIntersectPlane({-0.5f, -0.8f, 9}, {0, 0, -4}, {0.3f, -0.5f, 0.6f}, {8, 1, -2});
    EXPECT_EQ(r.x, -33.3000031f);
    EXPECT_EQ(r.y, -4.70000029f);
    EXPECT_EQ(r.z, 9.00000095f);
}

TEST(IsZTooHuge, AngleAgainstTenthOfPi)
{
    EXPECT_TRUE(isZTooHuge(0.0, 1.0, 1.0));
    EXPECT_TRUE(isZTooHuge(1.0, 0.0, 1.0));
    EXPECT_FALSE(isZTooHuge(1.0, 1.1, 10.0));
    // tan(0.3) is below the threshold, tan(0.33) above it.
    EXPECT_FALSE(isZTooHuge(0.0, std::tan(0.3), 1.0));
    EXPECT_TRUE(isZTooHuge(0.0, std::tan(0.33), 1.0));
}

TEST(GetFacesForTesting, ArrayAndVectorForms)
{
    // Outward faces of the cube [-1, 1]^3: in front means outside that face.
    const std::array<faceinformations_t, 6> faces = {{{1, 0, 0, -1},
                                                      {-1, 0, 0, -1},
                                                      {0, 1, 0, -1},
                                                      {0, -1, 0, -1},
                                                      {0, 0, 1, -1},
                                                      {0, 0, -1, -1}}};
    std::vector<uint32_t> out32 = {42};
    getFacesForTesting(2, 2, 0, faces, out32);
    EXPECT_EQ(out32, (std::vector<uint32_t>{0, 2}));
    getFacesForTesting(0, 0, 0, faces, out32);
    EXPECT_TRUE(out32.empty());
    getFacesForTesting(1, 0, -3, faces, out32); // on the plane counts as in front
    EXPECT_EQ(out32, (std::vector<uint32_t>{0, 5}));

    std::vector<uint8_t> out8 = {42};
    getFacesForTesting(-2, 0, 2, std::vector<faceinformations_t>(faces.begin(), faces.end()), out8);
    EXPECT_EQ(out8, (std::vector<uint8_t>{1, 4}));
}

TEST(GetSphericalUvalVval, UnweightedAndWeighted)
{
    float u = 0, v = 0, w = 0;
    getSphericalUvalVvalTEST(1, 1, 4, 4, false, u, v, w);
    EXPECT_FLOAT_EQ(u, 0.375f);
    EXPECT_FLOAT_EQ(v, 0.75f);
    EXPECT_FLOAT_EQ(w, 1.0f);

    getSphericalUvalVvalTEST(1, 1, 4, 4, true, u, v, w);
    EXPECT_FLOAT_EQ(v, 0.75f);
    EXPECT_FLOAT_EQ(w, 0.70710677f);
    EXPECT_FLOAT_EQ(u, 0.375f / 0.70710677f);

    getSphericalUvalVvalTEST(3, 1, 4, 2, true, u, v, w);
    EXPECT_FLOAT_EQ(u, 0.875f);
    EXPECT_FLOAT_EQ(v, 0.5f);
    EXPECT_FLOAT_EQ(w, 1.0f);

    // height - row beyond int32: 2^31 / (2^31 - 1) in single precision is 1.
    getSphericalUvalVvalTEST(0, -1, 1, std::numeric_limits<int32_t>::max(), false, u, v, w);
    EXPECT_EQ(v, 1.0f);
}

TEST(QualityDerivative, OneCameraAndDifference)
{
    const VekPoint one = qualityDerivativeVectorOneCam(2, 1, 3, 1, 2, 1, 4, 2, 1);
    expectPoint(one, 0.25f, 3.5f, 4.25f);
    const VekPoint origin = qualityDerivativeVectorOneCam(2, 1, 3, 1, 2, 1, 0, 0, 0);
    expectPoint(origin, 2.0f / 7.0f, -2.0f / 7.0f, 4.0f / 7.0f);
    const VekPoint diff = qualityDerivativeVectorDifference(2, 1, 3, 1, 2, 1, 4, 2, 1, 0, 0, 0);
    expectPoint(diff, origin.x - one.x, origin.y - one.y, origin.z - one.z);
}

TEST(NaturalBreaks, ExactOutputs)
{
    struct Case {
        std::vector<double> values;
        std::size_t k;
        std::vector<int32_t> expected;
    };
    const Case cases[] = {
        {{1, 2, 10, 11}, 2, {-1, 1, 3}},
        {{1, 2, 10, 11, 30}, 3, {-1, 1, 3, 4}},
        // Both splits cost 0.5: the later candidate (longer last class) wins.
        {{1, 2, 3}, 2, {-1, 0, 2}},
        // Equal values never leave a class empty while there are enough values.
        {{1, 1, 1, 1}, 3, {-1, 0, 1, 3}},
        {{4, 5, 6}, 1, {-1, 2}},
        {{7}, 1, {-1, 0}},
        {{5, 7}, 2, {-1, 0, 1}},
        // No classes, or more classes than values: refused with an empty result.
        {{1, 2, 3}, 0, {}},
        {{}, 0, {}},
        {{7}, 2, {}},
        {{}, 2, {}},
        {{5, 7}, 3, {}},
        {{5}, 4, {}},
    };
    for (const Case& c : cases) {
        std::vector<int32_t> out = {99};
        naturalBreaks(c.values, c.k, out);
        EXPECT_EQ(out, c.expected) << "n=" << c.values.size() << " k=" << c.k;
    }
}

namespace {

double classCost(const std::vector<double>& v, std::size_t first, std::size_t last)
{
    double mean = 0;
    for (std::size_t i = first; i <= last; ++i)
        mean += v[i];
    mean /= static_cast<double>(last - first + 1);
    double cost = 0;
    for (std::size_t i = first; i <= last; ++i)
        cost += (v[i] - mean) * (v[i] - mean);
    return cost;
}

// Minimal total within-class deviation over all splits of v[first..] into k classes.
double bestCost(const std::vector<double>& v, std::size_t first, std::size_t k)
{
    if (k == 1)
        return classCost(v, first, v.size() - 1);
    double best = std::numeric_limits<double>::infinity();
    for (std::size_t last = first; last + k <= v.size(); ++last)
        best = std::min(best, classCost(v, first, last) + bestCost(v, last + 1, k - 1));
    return best;
}

} // namespace

TEST(NaturalBreaks, MatchesExhaustiveSearch)
{
    std::mt19937 rng(1234);
    std::uniform_int_distribution<int> sizeDist(2, 9);
    std::uniform_int_distribution<int> valueDist(0, 30);
    for (int round = 0; round < 300; ++round) {
        const std::size_t n = static_cast<std::size_t>(sizeDist(rng));
        std::vector<double> v(n);
        for (double& x : v)
            x = valueDist(rng) * 0.25;
        std::sort(v.begin(), v.end());
        const std::size_t k = 2 + static_cast<std::size_t>(round) % std::min<std::size_t>(4, n - 1);

        std::vector<int32_t> out;
        naturalBreaks(v, k, out);
        ASSERT_EQ(out.size(), k + 1);
        ASSERT_EQ(out[0], -1);
        ASSERT_EQ(out[k], static_cast<int32_t>(n) - 1);
        double cost = 0;
        for (std::size_t j = 1; j <= k; ++j) {
            ASSERT_LT(out[j - 1], out[j]) << "class " << j << " is empty";
            cost += classCost(v, static_cast<std::size_t>(out[j - 1] + 1), static_cast<std::size_t>(out[j]));
        }
        EXPECT_NEAR(cost, bestCost(v, 0, k), 1e-9) << "round " << round;
    }
}
