#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>

#include "camera/CameraRays.h"
#include "camera/CameraSet.h"
#include "camera/CubeMap.h"
#include "core/camera/CameraTestSupport.h"

namespace {

using namespace Quorvel::Camera;
using QuorvelTest::context;
using QuorvelTest::expectPoint;
using QuorvelTest::expectZero;
using QuorvelTest::plaque;

constexpr float k = kCubeMapEdgeScale;
constexpr uint64_t kPlusZPixel = 52 * 312 + 156;  // (156, 52): just off the +z face centre
constexpr uint64_t kMinusZPixel = 156 * 312 + 52; // (52, 156): just off the -z face centre

void expectInvalid(const QvCameraRay& ray)
{
    EXPECT_FALSE(ray.valid);
    expectZero(ray.origin);
    expectZero(ray.direction);
    expectZero(ray.dDirectionDs);
    expectZero(ray.dDirectionDt);
}

void expectSameDirection(const QvCameraRay& ray, const CubeMapDirection& d)
{
    EXPECT_TRUE(QuorvelTest::sameVector(ray.direction, d.direction));
    EXPECT_TRUE(QuorvelTest::sameVector(ray.dDirectionDs, d.dDirectionDs));
    EXPECT_TRUE(QuorvelTest::sameVector(ray.dDirectionDt, d.dDirectionDt));
}

TEST(RayDirectionMask, FacesTheRayLeavesThroughOrGrazes)
{
    const std::pair<VekPoint, uint32_t> cases[] = {
        {{0, 0, 1}, 62},          {{0, 0, -1}, 59},        {{1, 0, 0}, 55},
        {{0, -1, 0}, 47},         {{0.0001f, 0, 1}, 54},   {{-0.0001f, 0, 1}, 62},
        {{0.6f, 0.8f, 0}, 23},
    };
    for (const auto& [direction, mask] : cases)
        EXPECT_EQ(rayDirectionMask(direction), mask) << direction.x << " " << direction.y << " " << direction.z;
}

class DetectRayTest : public QuorvelTest::PhaseTest {};

TEST_F(DetectRayTest, FaceCameraOnlyShootsOutOfItsFace)
{
    beginDetection();
    // Camera 1 lies on the face z = -1 only; camera 0 also on x = -1.
    const QvCameraRay back = QvGetRayDetectPhase(1, 52.0, 156.0);
    ASSERT_TRUE(back.valid);
    expectPoint(back.origin, -37.5f, 15.0f, -50.0f);
    EXPECT_LT(back.direction.z, -0.9999f);
    expectPoint(back.dDirectionDs, 3 * k, 0, 0);
    expectPoint(back.dDirectionDt, 0, 2 * k, 0);
    EXPECT_EQ(context().raysShot[kMinusZPixel], 1);

    // A ray refused by the face keeps its geometry.
    const QvCameraRay refused = QvGetRayDetectPhase(1, 156.0, 52.0);
    EXPECT_FALSE(refused.valid);
    expectPoint(refused.origin, -37.5f, 15.0f, -50.0f);
    EXPECT_GT(refused.direction.z, 0.9999f);
    EXPECT_EQ(context().raysShot[kPlusZPixel], 0);
    // The +z pixel leans slightly towards -x, which camera 0 covers.
    EXPECT_TRUE(QvGetRayDetectPhase(0, 156.0, 52.0).valid);
    const QvCameraRay centre = QvGetRayDetectPhase(146, 156.0, 52.0);
    ASSERT_TRUE(centre.valid);
    expectZero(centre.origin);
    EXPECT_GT(centre.direction.z, 0.9999f);
    EXPECT_EQ(context().raysShot[kPlusZPixel], 2);

    // Any point of the pixel shoots through its centre.
    const QvCameraRay inside = QvGetRayDetectPhase(1, 52.99, 156.5);
    expectSameDirection(inside, cubeMapSample(52.5f / 312.0f, 156.5f / 208.0f));
    expectSameDirection(back, cubeMapSample(52.5f / 312.0f, 156.5f / 208.0f));
}

TEST_F(DetectRayTest, InvalidRaysAreZeroAndNotCounted)
{
    auto& c = context();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const char* name;
        uint64_t camera;
        double x, y;
        std::function<void()> prepare;
    };
    const Case cases[] = {
        {"x negative", 1, -0.5, 156.0, [] {}},
        {"y negative", 1, 52.0, -1e-9, [] {}},
        {"x at width", 1, 312.0, 156.0, [] {}},
        {"y at height", 1, 52.0, 208.0, [] {}},
        {"x NaN", 1, nan, 156.0, [] {}},
        {"camera beyond the set", 256, 52.0, 156.0, [] {}},
        {"negative priority", 1, 52.0, 156.0, [&c] { c.cameraPriorities[1] = -1.0f; }},
        {"covered pixel", 1, 52.0, 156.0, [&c] { c.cameraCoverage[kMinusZPixel * 4].fetch_or(uint64_t{1} << 1); }},
        {"covered, high camera", 146, 52.0, 156.0,
         [&c] { c.cameraCoverage[kMinusZPixel * 4 + 2].fetch_or(uint64_t{1} << 18); }},
        {"draft, camera not 0", 1, 52.0, 156.0, [&c] { c.draft.set(true); }},
    };
    for (const Case& t : cases) {
        SCOPED_TRACE(t.name);
        beginDetection();
        t.prepare();
        expectInvalid(QvGetRayDetectPhase(t.camera, t.x, t.y));
        for (uint16_t n : context().raysShot)
            ASSERT_EQ(n, 0);
        Quorvel::Phase::QvPhaseTerminate(Quorvel::Phase::Discard);
    }
}

TEST_F(DetectRayTest, CoverageIgnoredForTransparentPasses)
{
    for (const auto mode : {Quorvel::Phase::TRANSP, Quorvel::Phase::BOTH}) {
        beginDetection();
        context().cameraCoverage[kMinusZPixel * 4].fetch_or(uint64_t{1} << 1);
        context().transparencyMode.set(mode);
        EXPECT_TRUE(QvGetRayDetectPhase(1, 52.0, 156.0).valid) << mode;
        Quorvel::Phase::QvPhaseTerminate(Quorvel::Phase::Discard);
    }
}

TEST_F(DetectRayTest, ClippingSphere)
{
    beginDetection();
    auto& c = context();
    c.clipEnabled = true;
    c.clipRadius = 5.0f;
    c.clipCentreCamera = VekPoint{-37.5f, 15.0f, -80.0f}; // ahead of camera 1
    EXPECT_TRUE(QvGetRayDetectPhase(1, 52.0, 156.0).valid);
    c.clipCentreCamera = VekPoint{-37.5f, 15.0f, 0.0f}; // behind it
    const QvCameraRay clipped = QvGetRayDetectPhase(1, 52.0, 156.0);
    EXPECT_FALSE(clipped.valid);
    expectPoint(clipped.origin, -37.5f, 15.0f, -50.0f);
    EXPECT_EQ(c.raysShot[kMinusZPixel], 1);
    c.clipInside = true; // keeps what is inside: the outward rays are not clipped
    EXPECT_TRUE(QvGetRayDetectPhase(1, 52.0, 156.0).valid);
    c.clipInside = false;
    c.clipEnabled = false;
    EXPECT_TRUE(QvGetRayDetectPhase(1, 52.0, 156.0).valid);
    EXPECT_EQ(c.raysShot[kMinusZPixel], 3);
}

TEST_F(DetectRayTest, DraftCameraShootsEverywhereFromTheOrigin)
{
    beginDetection(true);
    expectInvalid(QvGetRayDetectPhase(1, 52.0, 156.0));
    for (const double x : {52.0, 156.0, 260.0})
        for (const double y : {52.0, 156.0}) {
            const QvCameraRay ray = QvGetRayDetectPhase(0, x, y);
            EXPECT_TRUE(ray.valid) << x << "," << y;
            expectZero(ray.origin);
        }
}

TEST_F(DetectRayTest, SampleIndexCountStopsAtTheLastCamera)
{
    beginDetection();
    uint64_t index = 999;
    for (int call = 0; call < 300; ++call) {
        ASSERT_TRUE(QvGetCurrentSampleIndexCount(10, 20, index));
        ASSERT_EQ(index, static_cast<uint64_t>(std::min(call, 255))) << call;
    }
    EXPECT_EQ(index, 255u);
    EXPECT_EQ(context().sampleIndexCounters[20 * 312 + 10], 255);

    index = 999;
    EXPECT_FALSE(QvGetCurrentSampleIndexCount(312, 207, index));
    EXPECT_FALSE(QvGetCurrentSampleIndexCount(0, 208, index));
    EXPECT_FALSE(QvGetCurrentSampleIndexCount(-1, 0, index));
    EXPECT_EQ(index, 999u);
    // Only the pixel number is checked: (-1, 1) is the last pixel of row 0.
    EXPECT_TRUE(QvGetCurrentSampleIndexCount(-1, 1, index));
    EXPECT_EQ(context().sampleIndexCounters[311], 1);
}

TEST_F(DetectRayTest, SettingsMustBeSet)
{
    using QuorvelTest::context;
    Quorvel::Phase::QvInitPhase(Quorvel::Phase::Detect, Quorvel::Util::RE_VRay);
    const std::function<void()> calls[] = {
        [] { QvGetRayDetectPhase(0, 0.0, 0.0); },
        [] { QvGetRayRenderPhase(0.0, 0.0); },
        [] { QvGetSpecularRay(0.0, 0.0); },
        [] {
            uint64_t index = 0;
            QvGetCurrentSampleIndexCount(0, 0, index);
        },
        [] {
            context().renderingResolutionX.set(4.0);
            context().renderingResolutionY.set(2.0);
            QvGetRayRenderPhase(0.0, 0.0); // no current block
        },
        [] { QvGetSpecularRay(0.0, 0.0); }, // no render scale
        [] {
            context().cameraPositions.assign(2, VekPoint{0, 0, 0});
            context().cameraPriorities.assign(2, 1.0f);
            context().cameraFaceMasks.assign(2, kAllFaces);
            QvGetRayDetectPhase(1, 0.0, 0.0); // no draft setting
        },
        [] {
            context().draft.set(false);
            QvGetRayDetectPhase(0, 0.0, 0.0); // no transparency mode
        },
    };
    for (const auto& call : calls) {
        log.clear();
        EXPECT_THROW(call(), std::exception);
        const auto messages = log.messages();
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0], "[Quorvel] Accessing value that has not been set");
    }
}

class RenderRayTest : public QuorvelTest::PhaseTest {
protected:
    // Block 1 of a 4 x 2 rendering image starts at plaque 8.
    void SetUp() override
    {
        std::vector<Quorvel::BinIO::DetectPlaqueInfo> plaques(8, plaque(0, 0, 0));
        plaques.push_back(plaque(146, 156, 52));   // pixel 0: the +z face centre
        plaques.push_back(plaque(1, 155, 51, 1));  // pixel 1: level 1
        plaques.push_back(plaque(0, 0, 0, 16));    // pixel 2: level out of reach
        configureRender(plaques);
    }
};

TEST_F(RenderRayTest, RayThroughThePlaque)
{
    const QvCameraRay ray = QvGetRayRenderPhase(0.0, 0.0);
    ASSERT_TRUE(ray.valid);
    expectZero(ray.origin);
    expectPoint(ray.direction, 0, 0, 1);
    expectPoint(ray.dDirectionDs, -3 * k, 0, 0);
    expectPoint(ray.dDirectionDt, 0, 2 * k, 0);
    EXPECT_EQ(context().raysShot[0], 1);

    // The fraction moves the ray inside the plaque's pixel.
    expectSameDirection(QvGetRayRenderPhase(0.25, 0.75), cubeMapSample(156.25f / 312.0f, 52.75f / 208.0f));
    EXPECT_EQ(context().raysShot[0], 2);
}

TEST_F(RenderRayTest, LevelOnePlaqueSpansTwoByTwoPixels)
{
    const QvCameraRay ray = QvGetRayRenderPhase(1.5, 0.25);
    ASSERT_TRUE(ray.valid);
    expectPoint(ray.origin, -37.5f, 15.0f, -50.0f);
    // Pixel (155, 51) at level 1 is coarse pixel (77, 25) of 156 x 104.
    expectSameDirection(ray, cubeMapSample(77.5f / 156.0f, 25.25f / 104.0f));
    EXPECT_EQ(context().raysShot[1], 1);
}

TEST_F(RenderRayTest, InvalidRays)
{
    expectInvalid(QvGetRayRenderPhase(3.0, 0.0)); // plaque 11: beyond the list
    expectInvalid(QvGetRayRenderPhase(0.0, 1.0)); // plaque 12
    expectInvalid(QvGetRayRenderPhase(4.0, 0.0));
    expectInvalid(QvGetRayRenderPhase(0.0, 2.0));
    expectInvalid(QvGetRayRenderPhase(-0.5, 0.0));
    expectInvalid(QvGetRayRenderPhase(2.0, 0.0)); // damaged level
    context().cameraPositions.resize(1);
    expectInvalid(QvGetRayRenderPhase(1.0, 0.0)); // camera 1 no longer exists
    for (uint16_t n : context().raysShot)
        EXPECT_EQ(n, 0);
}

TEST_F(RenderRayTest, ClippedRayStillCounts)
{
    auto& c = context();
    c.clipEnabled = true;
    c.clipCentreCamera = VekPoint{0.0f, 0.0f, -100.0f};
    c.clipRadius = 10.0f;
    const QvCameraRay ray = QvGetRayRenderPhase(0.0, 0.0);
    EXPECT_FALSE(ray.valid);
    expectPoint(ray.direction, 0, 0, 1);
    EXPECT_EQ(c.raysShot[0], 1);
    c.clipCentreCamera = VekPoint{0.0f, 0.0f, 100.0f};
    EXPECT_TRUE(QvGetRayRenderPhase(0.0, 0.0).valid);
    EXPECT_EQ(c.raysShot[0], 2);
}

TEST_F(RenderRayTest, SampleIndexCountKeepsCounting)
{
    uint64_t index = 0;
    for (int call = 0; call < 300; ++call)
        ASSERT_TRUE(QvGetCurrentSampleIndexCount(1, 0, index));
    EXPECT_EQ(index, 299u);
}

TEST_F(RenderRayTest, SpecularRayFromTheSpecularPoint)
{
    auto& c = context();
    c.renderingResolutionX.set(312.0);
    c.renderingResolutionY.set(208.0);
    c.renderScale.set(2.0f);
    c.specularPointOffset.set(VekPoint{1.0f, 1.0f, -1.0f});
    const QvCameraRay ray = QvGetSpecularRay(156.0, 52.0); // no half-pixel shift
    ASSERT_TRUE(ray.valid);
    expectPoint(ray.origin, 50.0f, 25.0f, -50.0f);
    expectPoint(ray.direction, 0, 0, 1);
    expectPoint(ray.dDirectionDs, -3 * k, 0, 0);
    // No range test either.
    EXPECT_TRUE(QvGetSpecularRay(-10.0, 500.0).valid);
}

} // namespace
