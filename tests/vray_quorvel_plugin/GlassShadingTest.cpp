// The intersection shader's decisions per glass mode, on hits made by hand,
// with the core's answers scripted and its render samples recorded.

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "CoreCalls.h"
#include "FakeHost.h"
#include "QuorvelPlugin.h"
#include "support/LogCapture.h"

namespace PluginTest {
namespace {

using QuorvelPlugin::QuorvelIntersectionShader;
using QuorvelPlugin::QuorvelSettings;

struct BuiltSample {
    VekRGBA color;
    VekRGB right{0, 0, 0};
    int32_t glass = -1; // -1: no glass AOV
    bool cockpit = false;
};

// What the scripted core answers and what reached it.
struct Script {
    bool transparent = false;
    bool shade = true;
    bool inFront = false;
    bool paneOk = true;
    double reflectance = 0.25, transmittance = 0.5;
    BuiltSample building;
    std::vector<BuiltSample> samples;
    static Script& get()
    {
        static Script s;
        return s;
    }
};

QuorvelPlugin::CoreCalls scriptedCore()
{
    QuorvelPlugin::CoreCalls c;
    c.QvIsTransparent = [](const double&, const double&) { return Script::get().transparent; };
    c.QvShouldShade = [](const VekPoint&, const VekPoint&, const double&, const double&, bool& inFront) {
        inFront = Script::get().inFront;
        return Script::get().shade;
    };
    c.QvGetBendRayRenderPhase = [](const QuorvelPlugin::QP::Eye& eye, const VekPoint&, const VekPoint& in, const VekPoint&,
                                   const double& depth) {
        QuorvelPlugin::QS::QvBendRay r;
        r.direction = in;
        r.distance = depth;
        r.eyeShifted = eye == QuorvelPlugin::QP::RC_Left;
        return r;
    };
    c.QvGetDoubleReflectanceTransmitance = [](double& r, double& t, const double&, const double&, const VekPoint&,
                                              const VekPoint&) {
        r = Script::get().paneOk ? Script::get().reflectance : 0.0;
        t = Script::get().paneOk ? Script::get().transmittance : 0.0;
        return Script::get().paneOk;
    };
    c.QvInitSampleAov = [](QuorvelPlugin::QR::QvRenderSample&) { Script::get().building = {}; };
    c.QvSetSamplePosition = [](QuorvelPlugin::QR::QvRenderSample&, const VekPoint&) {};
    c.QvSetSamplePosXY = [](QuorvelPlugin::QR::QvRenderSample&, const double&, const double&) {};
    c.QvSetSampleZ = [](QuorvelPlugin::QR::QvRenderSample&, double) {};
    c.QvSetSampleNormal = [](QuorvelPlugin::QR::QvRenderSample&, const VekPoint&) {};
    c.QvSetSampleColor = [](QuorvelPlugin::QR::QvRenderSample&, const VekRGBA& col) { Script::get().building.color = col; };
    c.QvAddSampleAov = [](QuorvelPlugin::QR::QvRenderSample&, const void*, const int32_t&) {};
    c.QvAddGlassSampleAov = [](QuorvelPlugin::QR::QvRenderSample&, int32_t g) { Script::get().building.glass = g; };
    c.QvAddRightColorSampleAov = [](QuorvelPlugin::QR::QvRenderSample&, const VekRGB& r) {
        Script::get().building.right = r;
    };
    c.QvAddWSVelocitySampleAov = [](QuorvelPlugin::QR::QvRenderSample&, const VekPoint&) {};
    c.QvAddCockpitSampleAov = [](QuorvelPlugin::QR::QvRenderSample&, const bool& k) {
        Script::get().building.cockpit = k;
    };
    c.QvProcessRenderSample = [](const uint64_t&, const int32_t&, const int32_t&, uint64_t,
                                 const QuorvelPlugin::QR::QvRenderSample&) {
        Script::get().samples.push_back(Script::get().building);
    };
    return c;
}

// A material with tags that shades every hit in one colour.
struct FakeMaterial : VRayPlugin, MaterialTagsInterface, MaterialInterface {
    std::map<std::string, std::string> tags;
    Color color;
    int shaded = 0;
    PluginInterface* newInterface(InterfaceID id) override
    {
        if (id == EXT_MATERIAL_TAGS)
            return static_cast<MaterialTagsInterface*>(this);
        if (id == EXT_MATERIAL)
            return static_cast<MaterialInterface*>(this);
        return nullptr;
    }
    const char* getTag(const VRayContext&, const char* name) const override
    {
        const auto it = tags.find(name);
        return it == tags.end() ? nullptr : it->second.c_str();
    }
    void shade(VRayContext& rc) override
    {
        ++shaded;
        rc.result.color = color;
    }
    int setParameter(VRayPluginParameter*) override { return 1; }
    VRayPluginParameter* getParameter(const char*) override { return nullptr; }
};

// A primary camera hit whose default shading is opaque grey.
struct FakeHit : VRayContext {
    FakeHit()
    {
        rayType = RT_CAMERA;
        direction = Vector(0, 1, 0);
        bendNormal = surfaceNormal = Vector(0, -1, 0);
        position = Vector(0, 5, 0);
        rayDistance = 5.0f;
        screenX = 10.5;
        screenY = 3.25;
    }
    void defShade() override { result = {Color(0.5f, 0.5f, 0.5f), Color(), Color(1, 1, 1), Color()}; }
    VRayContext* newSpawnContext() override { return new FakeHit; }
    void releaseContext(VRayContext* child) override { delete child; }
    bool traceRay(const Vector&, const Vector&, float, float) override { return false; }
    bool findNextIntersection(const Vector&, const Vector&, float, float) override { return false; }
};

class GlassShading : public ::testing::Test {
protected:
    void SetUp() override
    {
        static const QuorvelPlugin::CoreCalls calls = scriptedCore();
        QuorvelPlugin::setCoreCalls(&calls);
        Script::get() = Script{};
        glassMaterial.tags = {{"qvl_glass_IOR", "1.5"}};
        plainMaterial.tags = {{"qvl_cockpit", "1"}};
        mirror.color = Color(0.8f, 0.4f, 0.2f);
        clearGlass.color = Color(0.1f, 0.2f, 0.3f);
        settings.sequence = &sequence;
        settings.frame = &frame;
        settings.phaseMode = QuorvelPlugin::PHASE_MODE_RENDER;
        settings.glassMaterials = {&mirror, &clearGlass};
    }
    void TearDown() override { QuorvelPlugin::setCoreCalls(nullptr); }

    int shadeWith(int glassMode, FakeMaterial& material, FakeHit& hit)
    {
        settings.glassMode = glassMode;
        shader.prepareFrame();
        hit.material = &material;
        return shader.shade(hit);
    }

    QuorvelTest::LogCapture log;
    FakeSequence sequence;
    VRayFrameData frame;
    FakeMaterial glassMaterial, plainMaterial, mirror, clearGlass;
    QuorvelSettings settings;
    QuorvelIntersectionShader shader{settings};
};

const ShadeResult kInvisible{Color(), Color(1, 1, 1), Color(), Color(1, 1, 1)};
const ShadeResult kBlackMatte{Color(), Color(), Color(1, 1, 1), Color()};

void expectResult(const ShadeResult& r, const ShadeResult& expected)
{
    EXPECT_EQ(r.color, expected.color);
    EXPECT_EQ(r.transp, expected.transp);
    EXPECT_EQ(r.alpha, expected.alpha);
    EXPECT_EQ(r.alphaTransp, expected.alphaTransp);
}

TEST_F(GlassShading, NoGlassModeSeesThroughTaggedGlassAndShadesTheRest)
{
    FakeHit pane, wall;
    EXPECT_EQ(shadeWith(1, glassMaterial, pane), 0);
    expectResult(pane.result, kInvisible);
    EXPECT_TRUE(Script::get().samples.empty());

    EXPECT_EQ(shadeWith(1, plainMaterial, wall), 0);
    ASSERT_EQ(Script::get().samples.size(), 1u);
    const BuiltSample& s = Script::get().samples[0];
    EXPECT_EQ(s.glass, 0);
    EXPECT_EQ(s.color.r, 0.5f);
    EXPECT_EQ(s.color.a, 1.0f);
    EXPECT_EQ(s.right.r, 0.5f); // the right eye's shading of the same grey
    EXPECT_TRUE(s.cockpit);
    expectResult(wall.result, {Color(0.5f, 0.5f, 0.5f), Color(), Color(1, 1, 1), Color()});
}

TEST_F(GlassShading, GlassOnlyModeRendersPanesAsWeightedMirrorsAndOthersAsBlack)
{
    // A pane on its plaque: the mirror's colour times the reflectance, alpha
    // 1 - transmittance, for both eyes.
    FakeHit pane;
    EXPECT_EQ(shadeWith(2, glassMaterial, pane), 0);
    ASSERT_EQ(Script::get().samples.size(), 1u);
    BuiltSample s = Script::get().samples[0];
    EXPECT_EQ(s.glass, 1);
    EXPECT_FLOAT_EQ(s.color.r, 0.8f * 0.25f);
    EXPECT_FLOAT_EQ(s.color.g, 0.4f * 0.25f);
    EXPECT_FLOAT_EQ(s.color.a, 0.5f);
    EXPECT_FLOAT_EQ(s.right.b, 0.2f * 0.25f);
    EXPECT_EQ(mirror.shaded, 2);
    EXPECT_FLOAT_EQ(pane.result.color.r, 0.8f * 0.25f);
    EXPECT_EQ(pane.result.transp, Color());

    // Anything else is a black sample.
    FakeHit wall;
    EXPECT_EQ(shadeWith(2, plainMaterial, wall), 0);
    expectResult(wall.result, kBlackMatte);
    ASSERT_EQ(Script::get().samples.size(), 2u);
    s = Script::get().samples[1];
    EXPECT_EQ(s.glass, 0);
    EXPECT_EQ(s.color.r, 0.0f);
    EXPECT_EQ(s.color.a, 1.0f);

    // A pane off its plaque: invisible in front of it, black behind; a pane
    // whose reflectance the core refuses: invisible. None gives a sample.
    struct Case {
        bool shade, inFront, paneOk;
        ShadeResult result;
    };
    for (const Case& k : {Case{false, true, true, kInvisible}, Case{false, false, true, kBlackMatte},
                          Case{true, false, false, kInvisible}}) {
        Script::get().shade = k.shade;
        Script::get().inFront = k.inFront;
        Script::get().paneOk = k.paneOk;
        FakeHit hit;
        EXPECT_EQ(shadeWith(2, glassMaterial, hit), 0);
        expectResult(hit.result, k.result);
    }
    EXPECT_EQ(Script::get().samples.size(), 2u);

    // Reflections reaching a pane see the clear glass material.
    FakeHit reflected;
    reflected.rayType = RT_REFLECT;
    reflected.rayDepth = 1;
    EXPECT_EQ(shadeWith(2, glassMaterial, reflected), 0);
    EXPECT_EQ(reflected.result.color, Color(0.1f, 0.2f, 0.3f));
    FakeHit other;
    other.rayType = RT_REFLECT;
    other.rayDepth = 1;
    EXPECT_EQ(shadeWith(2, plainMaterial, other), 1);
    EXPECT_EQ(shadeWith(0, glassMaterial, reflected), 1);
}

TEST_F(GlassShading, GlassAndOpaqueModeFollowsTheTransparentPlaques)
{
    // A transparent plaque shows only glass; an opaque one everything but glass.
    struct Case {
        bool transparentPlaque;
        bool glass;
        int32_t sampleGlass; // -1: no sample, the ray passes through
    };
    const Case cases[] = {{true, true, 1}, {true, false, -1}, {false, false, 0}, {false, true, -1}};
    for (const Case& k : cases) {
        Script::get().samples.clear();
        Script::get().transparent = k.transparentPlaque;
        FakeHit hit;
        hit.result.color = Color(0.7f, 0.7f, 0.7f);
        EXPECT_EQ(shadeWith(3, k.glass ? glassMaterial : plainMaterial, hit), 0);
        if (k.sampleGlass < 0) {
            EXPECT_TRUE(Script::get().samples.empty());
            expectResult(hit.result, {Color(0.7f, 0.7f, 0.7f), Color(1, 1, 1), Color(), Color(1, 1, 1)});
        } else {
            ASSERT_EQ(Script::get().samples.size(), 1u);
            EXPECT_EQ(Script::get().samples[0].glass, k.sampleGlass);
        }
    }
    // Mode 3 is the one mode without the simultaneous-rendering warning.
    EXPECT_FALSE(log.contains("[Quorvel] Simultaneous rendering of both opaque and transparent at the same time is "
                              "not fully supported yet."));
}

TEST(GlassTags, NumbersReadTheSameInEveryLocale)
{
    struct Case {
        const char* text;
        float value;
    };
    const Case cases[] = {{"1.5", 1.5f},  {"1,5", 1.5f}, {"-0.25", -0.25f}, {"2e1", 20.0f}, {"25e-1", 2.5f},
                          {"abc", 0.0f},  {"1.5mm", 1.5f}, {".5", 0.5f},    {"3e+2", 3.0f}, {"", 0.0f}};
    for (const Case& k : cases)
        EXPECT_FLOAT_EQ(QuorvelPlugin::parseTagNumber(k.text), k.value) << k.text;
}

} // namespace
} // namespace PluginTest
