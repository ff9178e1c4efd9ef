#include <gtest/gtest.h>

#include <cmath>
#include <exception>
#include <string>
#include <vector>

#include "camera/CubeMap.h"
#include "camera/RenderingContext.h"
#include "core/camera/CameraTestSupport.h"
#include "samples/Shading.h"

namespace {

using namespace QuorvelTest;
using namespace Quorvel::Phase;
using namespace Quorvel::Shading;
using Quorvel::BinIO::DetectPlaqueInfo;

constexpr double kWidth = 4, kHeight = 2; // rendering pixels per block

// A running render phase of two 4 x 2 blocks whose plaques have depth 100;
// plaque 5 of block 0 and plaque 1 of block 1 are transparent.
class ShadingTest : public PhaseTest {
protected:
    void startRender(TransparencyRenderingType mode, bool modeSet = true)
    {
        QvInitPhase(Render, Quorvel::Util::RE_VRay);
        if (modeSet)
            QvSetRenderTransparencyMode(mode);
        QvSetDeepReflection(RC_LeftAndRight, 63.5);
        QvSetRenderScale(1.0);
        QvSetSceneUpVector(VekPoint{0.0f, 0.0f, 1.0f});
        QvSetOutputResolution(312, 208);
        auto& c = context();
        c.specularPointWorld.set(VekPoint{0.0f, 0.0f, 0.0f});
        c.renderingResolutionX.set(kWidth);
        c.renderingResolutionY.set(kHeight);
        c.blockCount.set(2);
        c.currentBlock.set(0);
        c.plaques.assign(16, DetectPlaqueInfo{});
        for (auto& p : c.plaques)
            p.depth = 100.0f;
        c.plaques[5].transparent = 1;
        c.plaques[9].transparent = 1;
        RenderingContext& shared = GetSharedRenderingContext();
        shared.width = 312;
        shared.height = 208;
        shared.renderScale = 1.0f;
        c.initialised = true;
        log.clear();
    }

    void TearDown() override
    {
        GetSharedRenderingContext().Reset();
        PhaseTest::TearDown();
    }

    template <class F> void expectMisuse(F call, const std::string& message)
    {
        log.clear();
        EXPECT_THROW(call(), std::exception);
        EXPECT_TRUE(log.contains(message)) << message;
    }
};

TEST_F(ShadingTest, TransparentPlaquesOfTheCurrentBlock)
{
    struct Case {
        TransparencyRenderingType mode;
        uint64_t block;
        double x, y;
        bool transparent;
    };
    const Case cases[] = {
        {BOTH, 0, 1.5, 1.25, true},   // plaque 5
        {BOTH, 0, 1.99, 1.0, true},   // still pixel (1, 1)
        {BOTH, 0, 2.0, 1.0, false},   // plaque 6
        {BOTH, 1, 1.5, 0.0, true},    // plaque 8 + 1
        {BOTH, 1, 1.5, 1.5, false},   // plaque 13
        {BOTH, 1, 0.5, 2.5, false},   // beyond the list
        {OPAQUE, 0, 1.5, 1.5, true},  // the flag, whatever the mode
        {TRANSP, 1, 0.5, 2.5, true},  // beyond the list, but everything is glass
    };
    for (const Case& k : cases) {
        startRender(k.mode);
        context().currentBlock.set(k.block);
        EXPECT_EQ(QvIsTransparent(k.x, k.y), k.transparent) << k.x << "," << k.y << " block " << k.block;
        QvPhaseTerminate(Discard);
    }
}

TEST_F(ShadingTest, ShadesHitsOnThePlaqueAndReportsHitsInFront)
{
    struct Case {
        TransparencyRenderingType mode;
        float hitY;
        double x, y;
        bool shade, inFront;
    };
    const Case cases[] = {
        {OPAQUE, 10.0f, 0.5, 0.5, true, false},   // every hit is shaded
        {IGNORE, 10.0f, 9.5, 9.5, true, false},
        {BOTH, 99.5f, 0.5, 0.5, true, false},     // within the proximity of the plaque
        {BOTH, 90.0f, 0.5, 0.5, false, true},     // a pane in front of it
        {TRANSP, 90.0f, 0.5, 0.5, false, true},
        {BOTH, 150.0f, 0.5, 0.5, false, false},   // behind it
        {BOTH, 100.0f, 0.5, 9.5, false, false},   // no plaque
    };
    for (const Case& k : cases) {
        startRender(k.mode);
        bool inFront = !k.inFront;
        const VekPoint origin{0.0f, 0.0f, 0.0f}, hit{0.0f, k.hitY, 0.0f};
        EXPECT_EQ(QvShouldShade(hit, origin, k.x, k.y, inFront), k.shade) << k.mode << " at " << k.hitY;
        EXPECT_EQ(inFront, k.inFront) << k.mode << " at " << k.hitY;
        QvPhaseTerminate(Discard);
    }
}

TEST_F(ShadingTest, MisuseIsLoggedAndThrown)
{
    const std::string notRunning = "[Quorvel] shading function is only available with initialized render phase\n";
    const std::string unset = "[Quorvel] Accessing value that has not been set";
    bool inFront = false;
    const VekPoint p{0.0f, 1.0f, 0.0f}, n{0.0f, -1.0f, 0.0f};

    configureDetection();
    context().initialised = true;
    expectMisuse([] { QvIsTransparent(0.5, 0.5); }, notRunning);
    expectMisuse([&] { QvShouldShade(p, p, 0.5, 0.5, inFront); }, notRunning);
    context().initialised = false;

    startRender(BOTH, false);
    expectMisuse([&] { QvShouldShade(p, p, 0.5, 0.5, inFront); }, unset);
    expectMisuse([&] { QvGetBendRayRenderPhase(RC_LeftAndRight, n, p, p, 1.0); },
                 "[Quorvel] cannot compute input leftAndRight.\n");
    expectMisuse([&] { QvGetTranspRayRenderPhase(RC_LeftAndRight, n, p, p, 1.0); },
                 "[Quorvel] can only return one direction either  the left eye or the right eye.\n");
    context().specularPointWorld = QvOptional<VekPoint>();
    expectMisuse([&] { QvGetBendRayRenderPhase(RC_Left, n, p, p, 1.0); }, unset);
}

TEST_F(ShadingTest, EyesSitHalfTheInterpupillaryDistanceBesideTheSpecularPoint)
{
    struct Case {
        Eye eye;
        VekPoint hit;
        double depth;
        VekPoint eyePosition;
        bool shifted;
    };
    const Case cases[] = {
        {RC_Left, {0, 100, 0}, 100.0, {-3.175f, 0, 0}, true},
        {RC_Right, {0, 100, 0}, 100.0, {3.175f, 0, 0}, true},
        {RC_Right, {0, -100, 0}, 100.0, {-3.175f, 0, 0}, true}, // looking back: right is -x
        {RC_Right, {0, 100, 0}, 10000.0, {0, 0, 0}, false},     // far away: no separation
        {RC_Left, {0, 0, 100}, 100.0, {0, 0, 0}, false},        // straight up
    };
    startRender(BOTH);
    for (const Case& k : cases) {
        const QvBendRayEx ray = QvGetTranspRayRenderPhase(k.eye, VekPoint{0, -1, 0}, VekPoint{0, 1, 0}, k.hit, k.depth);
        EXPECT_NEAR(ray.eyePosition.x, k.eyePosition.x, 1e-6);
        EXPECT_NEAR(ray.eyePosition.y, k.eyePosition.y, 1e-6);
        EXPECT_NEAR(ray.eyePosition.z, k.eyePosition.z, 1e-6);
        EXPECT_EQ(ray.eyeShifted, k.shifted);
        EXPECT_DOUBLE_EQ(ray.distance, 100.0);
        const float dx = k.hit.x - ray.eyePosition.x, dy = k.hit.y - ray.eyePosition.y, dz = k.hit.z - ray.eyePosition.z;
        const float l = std::sqrt(dx * dx + dy * dy + dz * dz);
        EXPECT_NEAR(ray.direction.x, dx / l, 1e-6);
        EXPECT_NEAR(ray.direction.y, dy / l, 1e-6);
        EXPECT_NEAR(ray.direction.z, dz / l, 1e-6);
    }
}

TEST_F(ShadingTest, BentRaysLookFromTheEyeAndMirrorWhenTheEyeIsBehindTheSurface)
{
    startRender(BOTH);
    const VekPoint hit{0, 100, 0};
    const float wx = 3.175f / std::sqrt(3.175f * 3.175f + 10000.0f), wy = 100.0f / std::sqrt(3.175f * 3.175f + 10000.0f);

    // A wall facing the viewer (its normal given either way round): the ray
    // simply comes from the eye.
    for (const VekPoint normal : {VekPoint{0, -1, 0}, VekPoint{0, 2, 0}}) {
        const QvBendRay ray = QvGetBendRayRenderPhase(RC_Left, normal, VekPoint{0, 1, 0}, hit, 100.0);
        EXPECT_NEAR(ray.direction.x, wx, 1e-6);
        EXPECT_NEAR(ray.direction.y, wy, 1e-6);
        EXPECT_TRUE(ray.eyeShifted);
        EXPECT_DOUBLE_EQ(ray.distance, 100.0);
    }
    // A surface seen edge-on from the centre, facing -x: the right eye lies
    // behind it, so its ray is mirrored back in front.
    const QvBendRay mirrored = QvGetBendRayRenderPhase(RC_Right, VekPoint{-1, 0, 0}, VekPoint{0, 1, 0}, hit, 100.0);
    EXPECT_NEAR(mirrored.direction.x, wx, 1e-6);
    EXPECT_NEAR(mirrored.direction.y, wy, 1e-6);

    // Differentials: one output pixel of the cube map at the hit's direction,
    // (u, v) of +y snapped to its pixel centre.
    const VekPoint2 uv = Quorvel::Camera::cubeMapPosition(VekPoint{0, 1, 0});
    const float u = static_cast<float>((std::clamp(std::round(uv.x * 312.0), 0.0, 311.0) + 0.5) / 312.0);
    const float v = static_cast<float>((std::clamp(std::round(uv.y * 208.0), 0.0, 207.0) + 0.5) / 208.0);
    const Quorvel::Camera::CubeMapDirection d = Quorvel::Camera::cubeMapSample(u, v);
    EXPECT_FLOAT_EQ(mirrored.dDirectionDx.x, d.dDirectionDs.x * (1.0f / 312.0f));
    EXPECT_FLOAT_EQ(mirrored.dDirectionDx.y, d.dDirectionDs.y * (1.0f / 312.0f));
    EXPECT_FLOAT_EQ(mirrored.dDirectionDx.z, d.dDirectionDs.z * (1.0f / 312.0f));
    EXPECT_FLOAT_EQ(mirrored.dDirectionDy.x, d.dDirectionDt.x * (1.0f / 208.0f));
    EXPECT_FLOAT_EQ(mirrored.dDirectionDy.y, d.dDirectionDt.y * (1.0f / 208.0f));
    EXPECT_FLOAT_EQ(mirrored.dDirectionDy.z, d.dDirectionDt.z * (1.0f / 208.0f));
}

TEST(GlassPane, FresnelStepsAndTheSlabsReflectanceAndTransmittance)
{
    const FresnelStep normal = fresnelStep(VekPoint{0, 0, 1}, VekPoint{0, 0, -1}, 1.0f, 1.5f);
    EXPECT_NEAR(normal.reflectance, 0.04, 1e-7);
    EXPECT_FLOAT_EQ(normal.refracted.z, -1.0f);
    // Grazing from glass into air: total internal reflection.
    const FresnelStep total = fresnelStep(VekPoint{0, 0, 1}, VekPoint{0.9f, 0, -0.43589f}, 1.5f, 1.0f);
    EXPECT_EQ(total.reflectance, 1.0f);
    EXPECT_EQ(total.refracted.x, 0.0f);
    EXPECT_EQ(total.refracted.z, 0.0f);

    struct Case {
        double attenuation;
        double reflectance, transmittance;
    };
    // Normal incidence, IOR 1.5: every face reflects 0.04.
    const Case cases[] = {{1.0, 0.04 + 0.96 * 0.96 * 0.04, 0.96 * 0.96}, {0.5, 0.04 + 0.96 * 0.96 * 0.25 * 0.04, 0.96 * 0.96 * 0.5}};
    for (const Case& k : cases) {
        double r = 0.0, t = 0.0;
        EXPECT_TRUE(QvGetDoubleReflectanceTransmitance(r, t, k.attenuation, 1.5, VekPoint{0, 0, -3}, VekPoint{0, 0, 1}));
        EXPECT_NEAR(r, k.reflectance, 1e-6);
        EXPECT_NEAR(t, k.transmittance, 1e-6);
    }
    double r = 7.0, t = 7.0;
    EXPECT_FALSE(QvGetDoubleReflectanceTransmitance(r, t, 1.0, 1.5, VekPoint{0, 0, 1}, VekPoint{0, 0, 1}));
    EXPECT_EQ(r, 0.0);
    EXPECT_EQ(t, 0.0);
}

} // namespace
