#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "analysis/KDPointLocation.h"
#include "analysis/KDPointLocationKernels.h"

using kdpl::float3;
using kdpl::KDPointLocation;
using kdpl::Point;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::UnorderedElementsAreArray;

namespace {

constexpr float Inf = std::numeric_limits<float>::infinity();
constexpr float NaN = std::numeric_limits<float>::quiet_NaN();

// Accepts every point not at the apex: the leaf test alone then shows which
// leaves a box query visits.
struct OpenCone {
    float3 apex{0.0f, -100.0f, 0.0f};
    float3 axis{0.0f, 1.0f, 0.0f};
    float cosLimit = 2.0f;
    float slabNear = -1e30f;
    float slabFar = 1e30f;
};

std::vector<int32_t> locateCone(const KDPointLocation& tree, float3 centre, float radius,
                                const OpenCone& c = {})
{
    std::vector<int32_t> out{42};
    tree.Locate(centre, radius, c.apex, c.axis, c.cosLimit, c.slabNear, c.slabFar, out);
    return out;
}

std::vector<int32_t> locate(const KDPointLocation& tree, float3 centre, float radius)
{
    std::vector<int32_t> out{42};
    tree.Locate(centre, radius, out);
    return out;
}

// 17 points along x at 0..16, shuffled, index = 100 + x; y and z vary
// less, so the root splits on x. x = 8 and x = 9 lie on the axis itself.
std::vector<Point> seventeenOnX()
{
    const int order[17] = {5, 12, 0, 16, 3, 9, 14, 1, 8, 11, 6, 15, 2, 10, 7, 13, 4};
    std::vector<Point> points;
    for (int x : order)
        points.push_back({float(x), x % 3 == 1 ? 0.1f : 0.0f, x % 5 == 2 ? 0.2f : 0.0f, 100 + x});
    return points;
}

std::vector<int32_t> sorted(std::vector<int32_t> v)
{
    std::sort(v.begin(), v.end());
    return v;
}

float rsqrtApprox(float v)
{
#if defined(__SSE2__)
    return _mm_cvtss_f32(_mm_rsqrt_ss(_mm_set_ss(v)));
#else
    return 1.0f / std::sqrt(v);
#endif
}

} // namespace

TEST(KDPointLocation, EmptyTreeReturnsEmptyOutput)
{
    KDPointLocation tree;
    EXPECT_TRUE(tree.Empty());
    EXPECT_TRUE(locate(tree, {0, 0, 0}, 1e30f).empty());
    EXPECT_TRUE(locateCone(tree, {0, 0, 0}, 1e30f).empty());

    // Re-initialising with nothing discards the previous tree.
    std::vector<Point> points{{0, 0, 0, 7}};
    tree.Init(points);
    EXPECT_THAT(locate(tree, {0, 0, 0}, 1.0f), ElementsAre(7));
    std::vector<Point> none;
    tree.Init(none);
    EXPECT_TRUE(tree.Empty());
    EXPECT_TRUE(locate(tree, {0, 0, 0}, 1.0f).empty());
    tree.Init(nullptr, 0);
    EXPECT_TRUE(locateCone(tree, {0, 0, 0}, 1.0f).empty());
}

TEST(KDPointLocation, SixteenPointsFormOneLeafInInputOrder)
{
    auto points = seventeenOnX();
    points.pop_back();
    std::vector<int32_t> expected;
    for (const Point& p : points)
        expected.push_back(p.index);

    KDPointLocation tree;
    tree.Init(points);
    EXPECT_THAT(locate(tree, {8, 0, 0}, 100.0f), ElementsAreArray(expected));
    // One leaf: a query touching only x = 15 still reaches all 16 slots.
    EXPECT_THAT(locateCone(tree, {15, 0, 0}, 0.25f), ElementsAreArray(expected));
}

TEST(KDPointLocation, SeventeenPointsSplitIntoNinePlusEightAtTheMedian)
{
    auto points = seventeenOnX();
    KDPointLocation tree;
    tree.Init(points);

    // The build reorders the vector: x <= 8 in front, the median x = 8 at position 8.
    for (size_t i = 0; i < points.size(); ++i)
        EXPECT_EQ(points[i].x <= 8.0f, i <= 8) << i;
    EXPECT_EQ(points[8].x, 8.0f);

    // Leaves hold their ranges in range order; the left leaf comes first.
    std::vector<int32_t> treeOrder;
    for (const Point& p : points)
        treeOrder.push_back(p.index);
    EXPECT_THAT(locate(tree, {8, 0, 0}, 100.0f), ElementsAreArray(treeOrder));

    const std::vector<int32_t> left(treeOrder.begin(), treeOrder.begin() + 9);
    const std::vector<int32_t> right(treeOrder.begin() + 9, treeOrder.end());
    struct Case {
        float3 centre;
        float radius;
        const std::vector<int32_t>* expected;
    };
    const Case cases[] = {
        {{16, 0, 0}, 0.5f, &right},       // left box ends at 8
        {{7.5f, 0, 0}, 0.5f, &left},      // q + r = 8 = split: right child pruned by its box
        {{9, 0, 0}, 1.0f, &treeOrder},    // q - r = 8 = split still visits the left
        {{8.5f, 0, 0}, 0.4f, nullptr},    // between the leaf boxes: nothing visited
        {{16, 0.7f, 0}, 0.5f, nullptr},   // beyond every box in y only
        {{16, 0, -0.6f}, 0.5f, nullptr},  // beyond every box in z only
    };
    for (const Case& c : cases) {
        const auto got = locateCone(tree, c.centre, c.radius);
        if (c.expected)
            EXPECT_THAT(got, ElementsAreArray(*c.expected)) << c.centre.x;
        else
            EXPECT_TRUE(got.empty()) << c.centre.x;
    }

    // x = 8 lies exactly at distance r and is found, from the left leaf first.
    const auto near9 = locate(tree, {9, 0, 0}, 1.0f);
    ASSERT_EQ(near9.size(), 2u); // x = 10 is off the axis by 0.1 in y
    EXPECT_EQ(near9[0], 108);
    EXPECT_EQ(near9[1], 109);
}

TEST(KDPointLocation, SplitsOnTheAxisOfLargestExtentPreferringXThenY)
{
    // Per case: extents along x, y, z given as scale factors of two permutations.
    struct Case {
        float sx, sy, sz;
        int axis;
    };
    const Case cases[] = {
        {1, 1, 1, 0}, {1, 2, 1, 1}, {1, 2, 3, 2}, {1, 3, 3, 1}, {2, 1, 2, 0}, {1, 0, 0, 0},
    };
    const int permA[17] = {5, 12, 0, 16, 3, 9, 14, 1, 8, 11, 6, 15, 2, 10, 7, 13, 4};
    const int permB[17] = {9, 2, 14, 7, 0, 16, 4, 11, 5, 13, 1, 8, 15, 3, 12, 6, 10};
    const int permC[17] = {3, 15, 8, 1, 12, 6, 0, 10, 16, 4, 13, 9, 2, 14, 5, 11, 7};
    for (const Case& c : cases) {
        std::vector<Point> points;
        for (int i = 0; i < 17; ++i)
            points.push_back({c.sx * permA[i], c.sy * permB[i], c.sz * permC[i], i});
        KDPointLocation tree;
        tree.Init(points);
        for (size_t i = 0; i < points.size(); ++i) {
            const float v[3] = {points[i].x, points[i].y, points[i].z};
            const float median[3] = {c.sx * 8, c.sy * 8, c.sz * 8};
            EXPECT_EQ(v[c.axis] <= median[c.axis], i <= 8) << c.sx << c.sy << c.sz << " " << i;
        }
    }
}

TEST(KDPointLocation, DuplicatesAndBoundaryPointsAreAllReturned)
{
    std::vector<Point> points;
    for (int i = 0; i < 40; ++i)
        points.push_back({1.0f, 2.0f, 3.0f, i});
    points.push_back({4.0f, 6.0f, 3.0f, 40});      // distance exactly 5 from the duplicates
    points.push_back({4.0f, 6.0f, 3.01f, 41});    // just beyond
    KDPointLocation tree;
    tree.Init(points);

    auto got = locate(tree, {1, 2, 3}, 5.0f);
    std::vector<int32_t> expected(41);
    for (int i = 0; i < 41; ++i)
        expected[i] = i;
    EXPECT_THAT(got, UnorderedElementsAreArray(expected));
    EXPECT_THAT(locate(tree, {1, 2, 3}, 0.0f), UnorderedElementsAreArray(expected.data(), 40));
}

TEST(KDPointLocation, UnboundedAndInvalidLimitsNeverReturnFillerOrStrayPoints)
{
    // Five points leave eleven filler slots in the single leaf.
    std::vector<float3> points{{0, 0, 0}, {1, 0, 0}, {2, 1, 0}, {-3, 0, 2}, {0.5f, 0.5f, 0.5f}};
    KDPointLocation tree;
    tree.Init(points.data(), points.size());

    EXPECT_THAT(locate(tree, {0, 0, 0}, Inf), ElementsAre(0, 1, 2, 3, 4));
    EXPECT_THAT(locate(tree, {0, 0, 0}, FLT_MAX), ElementsAre(0, 1, 2, 3, 4));

    // A filler slot seen from the origin along +x: t = FLT_MAX, s = 0.
    OpenCone wide{{-10, 0, 0}, {1, 0, 0}, FLT_MAX, -FLT_MAX, FLT_MAX};
    EXPECT_THAT(locateCone(tree, {0, 0, 0}, 100.0f, wide), ElementsAre(0, 1, 2, 3, 4));

    // No point lies within a negative or NaN radius.
    for (float r : {-1.0f, -Inf, NaN}) {
        EXPECT_TRUE(locate(tree, {0, 0, 0}, r).empty()) << r;
        EXPECT_TRUE(locateCone(tree, {0, 0, 0}, r).empty()) << r;
    }
    EXPECT_TRUE(locate(tree, {NaN, 0, 0}, 1.0f).empty());
}

TEST(KDPointLocation, ConeTestOnKnownPoints)
{
    // Apex at the origin looking along +z; slab 1 <= t <= 5, cosine <= 0.9.
    std::vector<float3> points{
        {0, 0, 3},     // on the axis: cosine 1, rejected
        {2, 0, 2},     // cosine 0.707: kept
        {3, 0, 0.5f},  // t below the slab
        {1, 1, 6},     // t beyond the slab
        {4, 0, 3},     // cosine 0.6: kept
        {0, -2, 1},    // cosine 0.447: kept, though far outside the query box
        {0, 0, -2},    // t negative
        {3, 0, 1},     // t = 1 on the near bound: kept
        {4, 0, 5},     // t = 5 on the far bound: kept
    };
    KDPointLocation tree;
    tree.Init(points.data(), points.size());
    OpenCone cone{{0, 0, 0}, {0, 0, 1}, 0.9f, 1.0f, 5.0f};
    EXPECT_THAT(locateCone(tree, {0, 0, 3}, 0.1f, cone), ElementsAre(1, 4, 5, 7, 8));
}

TEST(KDPointLocation, MatchesBruteForceOnRandomPoints)
{
    std::mt19937 rng(1234);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    std::vector<float3> points;
    for (int i = 0; i < 6000; ++i) // a volume
        points.push_back({unit(rng), unit(rng), unit(rng)});
    for (int i = 0; i < 6000; ++i) { // a thin sheet, as plaque centres lie on surfaces
        const float u = unit(rng), v = unit(rng);
        points.push_back({u, 0.3f * v, 0.5f + 0.001f * unit(rng)});
    }
    for (int i = 0; i < 300; ++i) // exact duplicates
        points.push_back(points[rng() % points.size()]);

    std::vector<Point> withIds;
    for (size_t i = 0; i < points.size(); ++i)
        withIds.push_back({points[i].x, points[i].y, points[i].z, int32_t(3 * i + 7)});
    KDPointLocation byArray, byVector;
    byArray.Init(points.data(), points.size());
    byVector.Init(withIds);

    const float radii[] = {0.0f, 0.003f, 0.02f, 0.08f, 0.3f, 3.0f};
    std::vector<int32_t> got;
    for (int qi = 0; qi < 240; ++qi) {
        const float radius = radii[qi % 6];
        const float3 q = qi % 2 ? points[rng() % points.size()]
                                : float3{1.2f * unit(rng), 1.2f * unit(rng), 1.2f * unit(rng)};
        std::vector<int32_t> expected;
        for (size_t i = 0; i < points.size(); ++i) {
            const float dx = points[i].x - q.x, dy = points[i].y - q.y, dz = points[i].z - q.z;
            if (dx * dx + dy * dy + dz * dz <= radius * radius)
                expected.push_back(int32_t(i));
        }
        byArray.Locate(q, radius, got);
        EXPECT_EQ(sorted(got), expected) << qi;
        for (int32_t& e : expected)
            e = 3 * e + 7;
        byVector.Locate(q, radius, got);
        EXPECT_EQ(sorted(got), expected) << qi;

        // Cone: every passing point inside the query box is in a visited leaf,
        // and nothing that fails the test is ever returned.
        const float3 apex{unit(rng), unit(rng), unit(rng)};
        float3 d{unit(rng), unit(rng), unit(rng)};
        const float dl = std::sqrt(d.x * d.x + d.y * d.y + d.z * d.z);
        d = {d.x / dl, d.y / dl, d.z / dl};
        const float a = 0.5f * unit(rng), b = -0.5f, e = 1.5f;
        std::vector<int32_t> mustHave, mayHave;
        for (size_t i = 0; i < points.size(); ++i) {
            const float vx = points[i].x - apex.x, vy = points[i].y - apex.y,
                        vz = points[i].z - apex.z;
            const float t = vx * d.x + vy * d.y + vz * d.z;
            const float s = t * rsqrtApprox(vx * vx + vy * vy + vz * vz);
            if (!(b <= t && t <= e && s <= a))
                continue;
            mayHave.push_back(int32_t(i));
            const float3& c = points[i];
            if (c.x >= q.x - radius && c.x <= q.x + radius && c.y >= q.y - radius &&
                c.y <= q.y + radius && c.z >= q.z - radius && c.z <= q.z + radius)
                mustHave.push_back(int32_t(i));
        }
        byArray.Locate(q, radius, apex, d, a, b, e, got);
        std::sort(got.begin(), got.end());
        EXPECT_EQ(std::adjacent_find(got.begin(), got.end()), got.end()) << qi;
        EXPECT_TRUE(std::includes(got.begin(), got.end(), mustHave.begin(), mustHave.end())) << qi;
        EXPECT_TRUE(std::includes(mayHave.begin(), mayHave.end(), got.begin(), got.end())) << qi;
    }
}

TEST(KDPointLocation, PointsWithNaNAreLeftOutWithoutHidingOthers)
{
    // The others keep their input order, so one leaf reports them in it.
    std::vector<Point> few{{NaN, 0, 0, 0}, {1, 0, 0, 1}, {2, NaN, 0, 2}, {3, 0, 0, 3}, {4, 0, 0, 4}};
    KDPointLocation small;
    small.Init(few);
    EXPECT_THAT(locate(small, {0, 0, 0}, 10.0f), ElementsAre(1, 3, 4));
    EXPECT_THAT(few, ElementsAre(::testing::Field(&Point::index, 1), ::testing::Field(&Point::index, 3),
                                 ::testing::Field(&Point::index, 4), ::testing::Field(&Point::index, 0),
                                 ::testing::Field(&Point::index, 2)));

    std::mt19937 rng(99);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::vector<Point> points;
    for (int i = 0; i < 3000; ++i) {
        Point p{unit(rng), unit(rng), unit(rng), i};
        if (i % 7 == 0)
            (i % 3 == 0 ? p.x : i % 3 == 1 ? p.y : p.z) = NaN;
        points.push_back(p);
    }
    const std::vector<Point> original = points;
    KDPointLocation tree;
    tree.Init(points);
    EXPECT_THAT(std::vector<Point>(points.end() - 429, points.end()),
                ::testing::Each(::testing::Field(&Point::index, ::testing::Truly([](int32_t i) {
                                                     return i % 7 == 0;
                                                 }))));

    std::vector<int32_t> got;
    for (int qi = 0; qi < 60; ++qi) {
        const float3 q{unit(rng), unit(rng), unit(rng)};
        const float radius = 0.05f + 0.1f * unit(rng);
        std::vector<int32_t> expected;
        for (const Point& p : original) {
            const float dx = p.x - q.x, dy = p.y - q.y, dz = p.z - q.z;
            if (dx * dx + dy * dy + dz * dz <= radius * radius)
                expected.push_back(p.index);
        }
        std::sort(expected.begin(), expected.end());
        tree.Locate(q, radius, got);
        EXPECT_EQ(sorted(got), expected) << qi;
    }
}

TEST(KDPointLocation, SseAndScalarLeafTestsAgree)
{
#if defined(__SSE2__)
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    for (int round = 0; round < 200; ++round) {
        const int count = 1 + round % 16;
        KDPointLocation::LeafBlock block;
        for (int s = 0; s < 16; ++s) {
            const bool used = s < count;
            block.x[s] = used ? unit(rng) : FLT_MAX;
            block.y[s] = used ? unit(rng) : FLT_MAX;
            block.z[s] = used ? unit(rng) : FLT_MAX;
            block.index[s] = used ? s : -1;
        }
        const float3 q{unit(rng), unit(rng), unit(rng)};
        const float r2 = 1.5f * (unit(rng) + 1.0f);
        EXPECT_EQ(kdpl::kernels::withinSse(block, count, q, r2),
                  kdpl::kernels::withinScalar(block, count, q, r2));
        EXPECT_EQ(kdpl::kernels::withinSse(block, count, q, Inf), (1u << count) - 1u);

        // The approximate reciprocal may only differ from the exact one for
        // cosines right at the limit; compare the other slots.
        const float3 p{unit(rng), unit(rng), unit(rng)};
        const float3 d{0.6f, 0.0f, -0.8f};
        const float a = 0.5f * unit(rng);
        uint32_t ambiguous = 0;
        for (int s = 0; s < count; ++s) {
            const float vx = block.x[s] - p.x, vy = block.y[s] - p.y, vz = block.z[s] - p.z;
            const float c = (vx * d.x + vy * d.y + vz * d.z) / std::sqrt(vx * vx + vy * vy + vz * vz);
            if (std::fabs(c - a) < 1e-3f)
                ambiguous |= 1u << s;
        }
        EXPECT_EQ(kdpl::kernels::coneSse(block, count, p, d, a, -0.8f, 0.9f) & ~ambiguous,
                  kdpl::kernels::coneScalar(block, count, p, d, a, -0.8f, 0.9f) & ~ambiguous);
    }
#else
    GTEST_SKIP() << "scalar build";
#endif
}

