#include <gtest/gtest.h>

#include <bitset>
#include <cmath>

#include "camera/CameraSet.h"
#include "camera/RenderingContext.h"
#include "camera/Sampling.h"
#include "core/camera/CameraTestSupport.h"
#include "core/io/QvlTestFile.h"
#include "io/QvlRenderHeader.h"

namespace {

using namespace Quorvel::Camera;
using QuorvelTest::context;
using QuorvelTest::expectPoint;

TEST(CameraPriorityTable, SpotValuesAndHighestCamera)
{
    const auto& table = cameraPriorityTable();
    const std::pair<int, float> spots[] = {{0, 9},    {12, 0},   {31, 18},  {58, 30},  {127, 21}, {128, 6},
                                           {146, 34}, {155, 0},  {170, 34}, {219, 0},  {232, 31}, {255, 6}};
    for (const auto& [index, value] : spots)
        EXPECT_EQ(table[index], value) << index;
    float sum = 0;
    for (float p : table)
        sum += p;
    EXPECT_EQ(sum, 4964.0f);
}

TEST(CameraSet, DefaultPlacement)
{
    const CameraSet set = makeCameraSet({});
    ASSERT_EQ(set.positions.size(), 256u);
    ASSERT_EQ(set.priorities.size(), 256u);
    ASSERT_EQ(set.faceMasks.size(), 256u);

    struct Case {
        int index;
        VekPoint position;
        float priority;
        uint32_t mask;
    };
    const Case cases[] = {
        {0, {-50, 15, -50}, 10, kFaceMinusZ | kFaceMinusX},
        {1, {-37.5f, 15, -50}, 19, kFaceMinusZ},
        {8, {-50, 5, -50}, 8, kFaceMinusZ | kFaceMinusX},
        {16, {-50, -5, -50}, 11, kFaceMinusZ | kFaceMinusX},
        {24, {-50, -15, -50}, 10, kFaceMinusZ | kFaceMinusX},
        {32, {50, 15, -50}, 10, kFaceMinusZ | kFacePlusX},
        {64, {50, 15, 50}, 10, kFacePlusX | kFacePlusZ},
        {96, {-50, 15, 50}, 10, kFacePlusZ | kFaceMinusX},
        {128, {-50, 25, 50}, 7, kFacePlusZ | kFaceMinusX | kFacePlusY},
        {135, {50, 25, 50}, 7, kFacePlusX | kFacePlusZ | kFacePlusY},
        {146, {0, 0, 0}, 0, kAllFaces},
        {192, {-50, -25, -50}, 7, kFaceMinusZ | kFaceMinusX | kFaceMinusY},
        {200, {-50, -25, -35.714287f}, 16, kFaceMinusX | kFaceMinusY},
        {255, {50, -25, 50}, 7, kFacePlusX | kFacePlusZ | kFaceMinusY},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.index);
        expectPoint(set.positions[c.index], c.position.x, c.position.y, c.position.z);
        EXPECT_EQ(set.priorities[c.index], c.priority);
        EXPECT_EQ(set.faceMasks[c.index], c.mask);
    }
    for (int i = 0; i < 256; ++i) {
        if (i != 146) {
            EXPECT_EQ(set.priorities[i], cameraPriorityTable()[i] + 1.0f) << i;
        }
    }
}

TEST(CameraSet, CamerasPerFace)
{
    // 52 cameras on each side face (32 own, 4 from a neighbour ring, 8 from
    // each cap grid), 64 on each cap; the centre camera counts on every face.
    const CameraSet set = makeCameraSet({});
    const std::pair<uint32_t, int> expected[] = {{kFaceMinusZ, 53}, {kFacePlusX, 53}, {kFacePlusZ, 53},
                                                 {kFaceMinusX, 53}, {kFacePlusY, 64}, {kFaceMinusY, 65}};
    for (const auto& [bit, count] : expected) {
        int n = 0;
        for (uint32_t mask : set.faceMasks)
            n += (mask & bit) != 0;
        EXPECT_EQ(n, count) << bit;
    }
}

TEST(CameraSet, PlacementInTheZoneOfView)
{
    CameraPlacement placement;
    placement.zovScaling = {2.0f, 1.0f, 0.5f};
    placement.renderScale = 2.0f;
    placement.offsetRight = 1;
    placement.offsetTop = -2;
    placement.offsetBack = 3;
    const CameraSet set = makeCameraSet(placement);
    expectPoint(set.positions[0], 50.0f, -85.0f, 62.5f);
    expectPoint(set.positions[146], 100.0f, -100.0f, 75.0f);
    expectPoint(set.positions[255], 150.0f, -125.0f, 87.5f);
}

TEST(CameraSet, DraftKeepsOneCameraAtTheOrigin)
{
    CameraPlacement placement;
    placement.draft = true;
    placement.offsetRight = 4; // the draft scaling of zero cancels offsets too
    const CameraSet set = makeCameraSet(placement);
    ASSERT_EQ(set.positions.size(), 1u);
    ASSERT_EQ(set.priorities.size(), 1u);
    ASSERT_EQ(set.faceMasks.size(), 1u);
    expectPoint(set.positions[0], 0, 0, 0);
    EXPECT_EQ(set.priorities[0], 10.0f);
    EXPECT_EQ(set.faceMasks[0], kAllFaces);
}

TEST(CameraSet, InsideTheBoxEveryCameraSeesEverything)
{
    CameraPlacement placement;
    placement.allDirections = true;
    const CameraSet set = makeCameraSet(placement);
    ASSERT_EQ(set.faceMasks.size(), 256u);
    for (uint32_t mask : set.faceMasks)
        EXPECT_EQ(mask, kAllFaces);
    expectPoint(set.positions[0], -50, 15, -50);
}

TEST(CameraSet, WithoutCentreCamera)
{
    const CameraSet set = makeCameraSetWithoutCentre({});
    ASSERT_EQ(set.positions.size(), 256u);
    expectPoint(set.positions[146], -21.428572f, 25.0f, 21.428572f);
    EXPECT_EQ(set.faceMasks[146], kFacePlusY);
    for (int i = 0; i < 256; ++i)
        EXPECT_EQ(set.priorities[i], cameraPriorityTable()[i]) << i;
}

TEST(CameraSet, HeaderWithoutCameraTable)
{
    // Version 9.0 files carry no camera table: the reader builds the set.
    QuorvelTest::TempDir dir;
    const std::string path = dir.write(
        "v90.qvl", QuorvelTest::qvlFileBytes(R"({"boxScaleX":1.0,"boxScaleY":0.5,"boxScaleZ":1.0,)"
                                             R"("globalScale":2.0,"camOffsetX":1})",
                                             9, 0));
    Quorvel::BinIO::header_v09 header;
    ASSERT_EQ(Quorvel::BinIO::qvlReader_v9(path, header), 0);
    ASSERT_EQ(header.cameraPositions.size(), 256u);
    ASSERT_EQ(header.cameraPriorities.size(), 256u);
    ASSERT_EQ(header.cameraFaceMasks.size(), 256u);
    expectPoint(header.cameraPositions[0], 25.0f, 7.5f, -25.0f);
    EXPECT_EQ(header.cameraPriorities[146], 34.0f);
    EXPECT_EQ(header.cameraFaceMasks[146], kFacePlusY);
}

TEST(CameraSet, WorldPositions)
{
    VekMatrix4 m = Quorvel::Utils::identityMatrix();
    m[0][0] = 0.0f; // x' = -y, y' = x, then translated
    m[0][1] = 1.0f;
    m[1][0] = -1.0f;
    m[1][1] = 0.0f;
    m[3] = {10.0f, 20.0f, 30.0f, 1.0f};
    const auto world = cameraWorldPositions({{1, 2, 3}, {0, 0, 0}}, m);
    ASSERT_EQ(world.size(), 2u);
    expectPoint(world[0], 8.0f, 21.0f, 33.0f);
    expectPoint(world[1], 10.0f, 20.0f, 30.0f);
}

TEST(RaySphere, HitsAtOrAheadOfTheOrigin)
{
    struct Case {
        VekPoint origin, direction, centre;
        float radius;
        bool hit;
    };
    const Case cases[] = {
        {{0, 0, 0}, {0, 0, 1}, {0, 0, 10}, 1, true},   // ahead
        {{0, 0, 0}, {0, 0, 1}, {0, 0, -10}, 1, false}, // behind
        {{0, 0, 0}, {0, 0, 1}, {0, 0, 0}, 1, true},    // origin inside
        {{1, 0, 0}, {1, 0, 0}, {0, 0, 0}, 1, true},    // on the surface, leaving
        {{0, 0, 0}, {0, 0, 1}, {1, 0, 10}, 1, false},  // grazing: no hit
        {{0, 0, 0}, {0, 0, 1}, {3, 0, 10}, 1, false},  // missing
    };
    for (const Case& c : cases)
        EXPECT_EQ(raySphereHit(c.origin, c.direction, c.centre, c.radius), c.hit)
            << c.centre.x << " " << c.centre.z;
}

TEST(DepthsFarApart, RelativeGapThenAngle)
{
    struct Case {
        double p, q, h;
        float W;
        bool farApart;
    };
    const Case cases[] = {
        {10, 12, 100, 4000, true},      // more than 10 % apart
        {10, 11, 1e9, 4000, false},     // exactly 10 %, angle negligible
        {10, 10.5, 100, 4000, true},    // close in depth, wide in angle
        {10, 10.5, 100, 10, false},     // same angle on a coarse image
        {10, 10.001, 100, 4000, false}, // same surface
        {0, 0, 100, 4000, false},
        {-10, 10, 100, 4000, true},
        // An angle just above pi / 4000 in double precision but below the
        // bound of the single-precision pi.
        {1, 1.001572031337769, 1, 4000, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(depthsFarApart(c.p, c.q, c.h, c.W), c.farApart) << c.p << " " << c.q << " " << c.W;
}

TEST(DepthsFarApart, ProximityUsesTheSharedRenderingContext)
{
    RenderingContext& shared = GetSharedRenderingContext();
    shared.renderScale = 2.0f;
    shared.width = 4000;
    // 20 vs 20.2 at distance 100: 1 % apart but 2 mrad > pi/4000.
    EXPECT_FALSE(QvIsAtProximity(10.0f, 10.1f, 1.0f));
    EXPECT_TRUE(QvIsAtProximity(10.0f, 10.001f, 1.0f));
    shared.width = 100;
    EXPECT_TRUE(QvIsAtProximity(10.0f, 10.1f, 1.0f));
    shared.Reset();
}

TEST(EyeShiftFactor, SmoothStepBetweenTheThresholds)
{
    struct Case {
        float a, b, expected;
    };
    const float middle = 5250.0f / 3.1825f; // q = 0.5
    const Case cases[] = {
        {1000.0f, 1.0f, 1.0f},          // 3182.5: below 5000
        {5000.0f / 3.1825f, 1.0f, 1.0f}, // about q = 0
        {middle, 1.0f, 0.5f},
        {-middle, 1.0f, 0.5f},
        {middle, -1.0f, 0.5f},
        {2000.0f, 1.0f, 0.0f},          // 6365: above 5500
        {0.0f, 0.0f, 1.0f},             // tiny divisor, zero numerator
        {1.0f, 0.0f, 0.0f},             // tiny divisor
    };
    for (const Case& c : cases)
        EXPECT_NEAR(getEyeShiftFactor(c.a, c.b), c.expected, 1e-4f) << c.a << " " << c.b;
    // q = 0.25: 1 - 2.5 * 0.0625.
    EXPECT_NEAR(getEyeShiftFactor(5125.0f / 3.1825f, 1.0f), 0.84375f, 1e-4f);
    // q is squared before the product: ((3 - 2q) * q) * q would end one ulp
    // lower for these depths.
    EXPECT_EQ(getEyeShiftFactor(0x1.9bab1ap+10f, 1.0f), 0x1.0e86cep-1f);
    EXPECT_EQ(getEyeShiftFactor(0x1.a4eb1cp+10f, 1.0f), 0x1.9045d8p-3f);
}

// The phase lifecycle leaves the camera set, its world positions, the fetch
// map and the shared rendering context ready for the render threads.
class PhaseBeginTest : public QuorvelTest::PhaseTest {};

TEST_F(PhaseBeginTest, DetectionBeginBuildsCamerasAndFetchMap)
{
    configureDetection();
    VekMatrix4 toWorld = Quorvel::Utils::identityMatrix();
    toWorld[3] = {1.0f, 2.0f, 3.0f, 1.0f};
    Quorvel::Phase::QvSetCameraToWorldMatrix(toWorld);
    ASSERT_TRUE(Quorvel::Phase::QvPhaseBegin());
    auto& c = context();
    ASSERT_EQ(c.cameraPositions.size(), 256u);
    ASSERT_EQ(c.cameraPriorities.size(), 256u);
    ASSERT_EQ(c.cameraFaceMasks.size(), 256u);
    expectPoint(c.cameraPositions[0], -50, 15, -50);
    expectPoint(c.cameraPositions[146], 0, 0, 0);
    ASSERT_EQ(c.cameraWorldPositions.size(), 256u);
    expectPoint(c.cameraWorldPositions[0], -49, 17, -47);
    expectPoint(c.cameraWorldPositions[146], 1, 2, 3);

    ASSERT_EQ(c.fetchMap.size(), 312u * 208u);
    const auto expected = generateFetchMap(312, 208);
    for (size_t i = 0; i < expected.size(); ++i)
        ASSERT_TRUE(QuorvelTest::sameVector(c.fetchMap[i], expected[i])) << i;

    const RenderingContext& shared = GetSharedRenderingContext();
    EXPECT_EQ(shared.width, 312u);
    EXPECT_EQ(shared.height, 208u);
    EXPECT_EQ(shared.renderScale, 1.0f);
    EXPECT_EQ(shared.tolerance, 0.25f);
    EXPECT_EQ(shared.cameras, &c.cameraPositions);
}

TEST_F(PhaseBeginTest, DraftAndInsideBoxSets)
{
    beginDetection(true);
    ASSERT_EQ(context().cameraPositions.size(), 1u);
    EXPECT_EQ(context().cameraFaceMasks[0], kAllFaces);
    ASSERT_EQ(context().cameraWorldPositions.size(), 1u);
    Quorvel::Phase::QvPhaseTerminate(Quorvel::Phase::Discard);

    beginDetection(false, true);
    ASSERT_EQ(context().cameraFaceMasks.size(), 256u);
    EXPECT_EQ(context().cameraFaceMasks[0], kAllFaces);
}

// A render phase whose detection file brought no cameras gets the full set,
// centre camera included, at the end of its begin.
TEST_F(PhaseBeginTest, RenderBeginWithoutCamerasBuildsTheFullSet)
{
    using namespace Quorvel::Phase;
    initWithSettings(Render, false, 2.0, 1);
    auto& c = context();
    c.renderingResolutionX.set(4.0);
    c.renderingResolutionY.set(2.0);
    c.blockCount.set(1);
    c.currentBlock.set(0);
    ASSERT_TRUE(QvPhaseBegin());

    int warnings = 0;
    for (const auto& entry : log.entries())
        if (QuorvelTest::LogCapture::stripHeader(entry.text) == "Cameras were unitialized at this stage.") {
            EXPECT_EQ(entry.level, Quorvel::Logger::WARNING);
            ++warnings;
        }
    EXPECT_EQ(warnings, 1);
    ASSERT_EQ(c.cameraPositions.size(), 256u);
    ASSERT_EQ(c.cameraPriorities.size(), 256u);
    ASSERT_EQ(c.cameraFaceMasks.size(), 256u);
    expectPoint(c.cameraPositions[0], 25.0f, 7.5f, -25.0f);
    expectPoint(c.cameraPositions[146], 50.0f, 0.0f, 0.0f);
    EXPECT_EQ(c.cameraPriorities[146], 0.0f);
    EXPECT_EQ(c.cameraFaceMasks[146], kAllFaces);
    ASSERT_EQ(c.cameraWorldPositions.size(), 256u);
    expectPoint(c.cameraWorldPositions[0], 25.0f, 7.5f, -25.0f);
    EXPECT_EQ(c.fetchMap.size(), 312u * 208u);
}

TEST_F(PhaseBeginTest, InitPhaseClearsTheSet)
{
    beginDetection();
    Quorvel::Phase::QvPhaseTerminate(Quorvel::Phase::Discard);
    Quorvel::Phase::QvInitPhase(Quorvel::Phase::Detect, Quorvel::Util::RE_VRay);
    EXPECT_TRUE(context().cameraPositions.empty());
    EXPECT_TRUE(context().cameraPriorities.empty());
    EXPECT_TRUE(context().cameraFaceMasks.empty());
    EXPECT_TRUE(context().cameraWorldPositions.empty());
    EXPECT_TRUE(context().fetchMap.empty());
    EXPECT_EQ(GetSharedRenderingContext().width, 4000u);
}

} // namespace
