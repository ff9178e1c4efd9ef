#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "camera/CameraSet.h"
#include "core/samples/SamplesTestSupport.h"

namespace {

using namespace QuorvelTest;
using namespace Quorvel::Phase;
using namespace Quorvel::RenderSample;
using Quorvel::BinIO::kAliasCockpit;
using Quorvel::BinIO::kAliasRightColor;
using Quorvel::BinIO::kAliasTransparency;
using Quorvel::BinIO::kAliasVelocity;

// World to camera: a quarter turn about z (x becomes y), then (10, 20, 30).
const VekMatrix4 kWorldToCamera{{{0.0f, 1.0f, 0.0f, 0.0f},
                                 {-1.0f, 0.0f, 0.0f, 0.0f},
                                 {0.0f, 0.0f, 1.0f, 0.0f},
                                 {10.0f, 20.0f, 30.0f, 1.0f}}};

constexpr int32_t kDiffuseAlias = 7;

struct RenderSetup {
    bool transparencySet = true;
    TransparencyRenderingType mode = OPAQUE;
    Eye eye = RC_LeftAndRight;
    bool renderScaleSet = true;
    bool motionVectors = true;
    bool velocity = true; // registered under its reserved alias
    bool cockpit = true;
};

// A running render phase as QvPhaseBegin leaves it for the intake: the
// registry with a host AOV and the internal ones, and two thread regions of
// 8 x 8 pixels, the second one's bucket at columns 8 to 15.
class RenderSampleTest : public PhaseTest {
protected:
    void startRender(const RenderSetup& setup = {})
    {
        QvInitPhase(Render, Quorvel::Util::RE_VRay);
        if (setup.transparencySet)
            QvSetRenderTransparencyMode(setup.mode);
        QvSetDeepReflection(setup.eye, 63.5);
        if (setup.renderScaleSet)
            QvSetRenderScale(2.0);
        QvSetMotionVector(setup.motionVectors);
        QvSetWorldToCamMatrix(kWorldToCamera);
        QvRenderPhaseRegisterAov(kDiffuseAlias, "diffuse", AOV_RGB);
        if (setup.eye == RC_LeftAndRight)
            QvRenderPhaseRegisterAov(kAliasRightColor, "Cd_Right", AOV_RGB);
        if (setup.transparencySet && setup.mode != IGNORE)
            QvRenderPhaseRegisterAov(kAliasTransparency, "qvlTransp", AOV_Int);
        if (setup.velocity)
            QvRenderPhaseRegisterAov(kAliasVelocity, "qvlVelocity", AOV_Vector3);
        if (setup.cockpit)
            QvRenderPhaseRegisterAov(kAliasCockpit, "qvlCockpit", AOV_Int);

        auto& c = context();
        c.threadCount = 2;
        c.threadRegions.emplace_back(8, 8);
        c.threadRegions.emplace_back(8, 8);
        c.threadRegions[1].x0 = 8;
        c.threadRegions[1].x1 = 16;
        c.initialised = true;
        log.clear();
    }

    QvRenderSample initialisedSample()
    {
        QvRenderSample s;
        QvInitSampleAov(s);
        return s;
    }

    static const AOVData& slot(const QvRenderSample& s, int32_t alias)
    {
        return s.aovs.at(context().aovFormat.aliases.at(alias));
    }

    static void expectZeroFrom(const AOVData& slot, size_t first)
    {
        for (size_t i = first; i < sizeof(AOVData); ++i)
            EXPECT_EQ(slot.bytes[i], 0) << "byte " << i;
    }

    // Samples of one pixel of a region, group by group in key order.
    static std::vector<std::pair<uint64_t, std::vector<QvRenderSample>>> cellOf(uint64_t region, int32_t x, int32_t y)
    {
        std::vector<std::pair<uint64_t, std::vector<QvRenderSample>>> out;
        Quorvel::BinIO::PixelCell* cell = context().threadRegions[region].cell(x, y);
        if (cell)
            cell->forEachGroup([&](uint64_t key, const std::vector<QvRenderSample>& samples) {
                out.emplace_back(key, samples);
            });
        return out;
    }
};

TEST_F(RenderSampleTest, SettersTransformAndCopy)
{
    startRender();
    QvRenderSample s = initialisedSample();
    QvSetSamplePosition(s, VekPoint{1.0f, 2.0f, 3.0f});
    QvSetSampleNormal(s, VekPoint{1.0f, 2.0f, 3.0f});
    QvSetSampleColor(s, VekRGBA{0.1f, 0.2f, 0.3f, 0.4f});
    QvSetSamplePosXY(s, 12.25, -3.5);
    QvSetSampleZ(s, 1e10 + 0.5);

    expectPoint(s.position, 8.0f, 21.0f, 33.0f);
    expectPoint(s.normal, -2.0f, 1.0f, 3.0f); // rotated only, not normalised
    EXPECT_EQ(s.color.r, 0.1f);
    EXPECT_EQ(s.color.g, 0.2f);
    EXPECT_EQ(s.color.b, 0.3f);
    EXPECT_EQ(s.color.a, 0.4f);
    EXPECT_EQ(s.fracX, 0.25f);
    EXPECT_EQ(s.fracY, -0.5f);
    EXPECT_EQ(s.depth, 1e10 + 0.5);
    EXPECT_TRUE(log.entries().empty());
}

TEST_F(RenderSampleTest, InitGivesOneZeroedSlotPerRegisteredAov)
{
    startRender();
    QvRenderSample s;
    AOVData junk;
    std::memset(junk.bytes, 0xAB, sizeof junk.bytes);
    s.aovs.assign(9, junk);
    QvInitSampleAov(s);
    ASSERT_EQ(s.aovs.size(), 5u); // diffuse and the four internal AOVs
    for (const AOVData& slot : s.aovs)
        expectZeroFrom(slot, 0);
}

TEST_F(RenderSampleTest, AddSampleAovCopiesSixteenBytesIntoTheAliasSlot)
{
    startRender();
    QvRenderSample s = initialisedSample();
    unsigned char data[16];
    for (int i = 0; i < 16; ++i)
        data[i] = static_cast<unsigned char>(i + 1);
    QvAddSampleAov(s, data, kDiffuseAlias);
    EXPECT_EQ(std::memcmp(slot(s, kDiffuseAlias).bytes, data, 16), 0);

    const std::vector<AOVData> before = s.aovs;
    const int32_t unknown = 99;
    QvAddSampleAov(s, data, unknown);
    EXPECT_EQ(std::memcmp(before.data(), s.aovs.data(), before.size() * sizeof(AOVData)), 0);
    ASSERT_EQ(log.entries().size(), 1u);
    EXPECT_EQ(log.entries()[0].level, Quorvel::Logger::ERROR);
    EXPECT_TRUE(log.contains("Trying to access AOV with alias 99 while it hasn't been registered\n"));
}

TEST_F(RenderSampleTest, GlassAovNeedsATransparencyModeThatRendersGlass)
{
    struct Case {
        bool set;
        TransparencyRenderingType mode;
        const char* message; // null: stored
    };
    const Case cases[] = {
        {false, OPAQUE, "[Quorvel] Accessing value that has not been set"},
        {true, IGNORE, "Glass AOV can only be added for OPAQUE, TRANSP ot BOTH rendering.\n"},
        {true, OPAQUE, nullptr},
        {true, BOTH, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.set ? static_cast<int>(c.mode) : -1);
        RenderSetup setup;
        setup.transparencySet = c.set;
        setup.mode = c.mode;
        startRender(setup);
        QvRenderSample s = initialisedSample();
        if (c.message) {
            EXPECT_THROW(QvAddGlassSampleAov(s, 1), std::exception);
            EXPECT_TRUE(log.contains(c.message));
            EXPECT_EQ(log.entries().back().level, Quorvel::Logger::TRACE);
        } else {
            QvAddGlassSampleAov(s, -7);
            EXPECT_EQ(slot(s, kAliasTransparency).asInt, -7);
            expectZeroFrom(slot(s, kAliasTransparency), 4);
        }
        QvPhaseTerminate(Discard);
    }
}

TEST_F(RenderSampleTest, RightColorNeedsBothEyes)
{
    RenderSetup setup;
    setup.eye = RC_Left;
    startRender(setup);
    QvRenderSample s = initialisedSample();
    EXPECT_THROW(QvAddRightColorSampleAov(s, VekRGB{1.0f, 2.0f, 3.0f}), std::exception);
    EXPECT_TRUE(log.contains("rightColor AOV can only be added when rendering RC_LeftAndRight.\n"));
    QvPhaseTerminate(Discard);

    startRender();
    s = initialisedSample();
    QvAddRightColorSampleAov(s, VekRGB{1.0f, 2.0f, 3.0f});
    const AOVData& right = slot(s, kAliasRightColor);
    EXPECT_EQ(right.asVec3[0], 1.0f);
    EXPECT_EQ(right.asVec3[1], 2.0f);
    EXPECT_EQ(right.asVec3[2], 3.0f);
    expectZeroFrom(right, 12);
}

TEST_F(RenderSampleTest, VelocityIsRotatedAndScaledToCameraSpace)
{
    startRender();
    QvRenderSample s = initialisedSample();
    QvAddWSVelocitySampleAov(s, VekPoint{1.0f, 2.0f, 3.0f});
    const AOVData& v = slot(s, kAliasVelocity);
    // Rotation only, times the render scale 2.
    EXPECT_EQ(v.asVec3[0], -4.0f);
    EXPECT_EQ(v.asVec3[1], 2.0f);
    EXPECT_EQ(v.asVec3[2], 6.0f);
    expectZeroFrom(v, 12);
    EXPECT_TRUE(log.entries().empty());
}

TEST_F(RenderSampleTest, VelocityIsLeftAloneWithMotionVectorsOff)
{
    RenderSetup setup;
    setup.motionVectors = false;
    startRender(setup);
    QvRenderSample s = initialisedSample();
    const std::vector<AOVData> before = s.aovs;
    QvAddWSVelocitySampleAov(s, VekPoint{1.0f, 2.0f, 3.0f});
    EXPECT_EQ(std::memcmp(before.data(), s.aovs.data(), before.size() * sizeof(AOVData)), 0);
    EXPECT_TRUE(log.entries().empty());
}

TEST_F(RenderSampleTest, VelocityWithoutRenderScaleThrows)
{
    RenderSetup setup;
    setup.renderScaleSet = false;
    startRender(setup);
    QvRenderSample s = initialisedSample();
    EXPECT_THROW(QvAddWSVelocitySampleAov(s, VekPoint{1.0f, 2.0f, 3.0f}), std::exception);
    EXPECT_TRUE(log.contains("[Quorvel] Accessing value that has not been set"));
}

// The only test that gives an invalid velocity: its warning is once per
// process.
TEST_F(RenderSampleTest, InvalidVelocityIsStoredAsZeroAndWarnedOnce)
{
    startRender();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    for (const VekPoint& bad : {VekPoint{nan, 0.0f, 0.0f}, VekPoint{0.0f, 0.0f, inf}}) {
        QvRenderSample s = initialisedSample();
        s.aovs[context().aovFormat.aliases.at(kAliasVelocity)].asVec3[1] = 5.0f;
        QvAddWSVelocitySampleAov(s, bad);
        const AOVData& v = slot(s, kAliasVelocity);
        EXPECT_EQ(v.asVec3[0], 0.0f);
        EXPECT_EQ(v.asVec3[1], 0.0f);
        EXPECT_EQ(v.asVec3[2], 0.0f);
    }
    ASSERT_EQ(log.entries().size(), 1u);
    EXPECT_EQ(log.entries()[0].level, Quorvel::Logger::WARNING);
    EXPECT_EQ(LogCapture::stripHeader(log.entries()[0].text), "Invalid velocity AOV registered\n");
}

// The only tests that add velocity or cockpit AOVs that are not registered.
TEST_F(RenderSampleTest, UnregisteredVelocityAndCockpitAreWarnedOnce)
{
    RenderSetup setup;
    setup.velocity = false;
    setup.cockpit = false;
    startRender(setup);
    for (int i = 0; i < 3; ++i) {
        QvRenderSample s = initialisedSample();
        const std::vector<AOVData> before = s.aovs;
        QvAddWSVelocitySampleAov(s, VekPoint{1.0f, 2.0f, 3.0f});
        QvAddCockpitSampleAov(s, true);
        EXPECT_EQ(std::memcmp(before.data(), s.aovs.data(), before.size() * sizeof(AOVData)), 0);
    }
    const std::vector<std::string> expected{"Adding velocity AOV while the AOV hasn't been registered",
                                            "Adding cockpit AOV while the AOV hasn't been registered"};
    EXPECT_EQ(log.messages(), expected);
    for (const auto& e : log.entries())
        EXPECT_EQ(e.level, Quorvel::Logger::WARNING);
}

TEST_F(RenderSampleTest, CockpitFlagTakesTheFirstByteOnly)
{
    startRender();
    QvRenderSample s = initialisedSample();
    QvAddCockpitSampleAov(s, true);
    EXPECT_EQ(slot(s, kAliasCockpit).bytes[0], 1);
    expectZeroFrom(slot(s, kAliasCockpit), 1);
    QvAddCockpitSampleAov(s, false);
    expectZeroFrom(slot(s, kAliasCockpit), 0);
}

TEST_F(RenderSampleTest, RoutingChecksTheThreadAndTheBucketBounds)
{
    startRender();
    const QvRenderSample s = initialisedSample();

    EXPECT_THROW(QvProcessRenderSample(2, 0, 0, 0, s), std::exception);
    EXPECT_TRUE(log.contains("[Quorvel] there's no Quorvel region for this threadId 2\n"));

    struct Case {
        uint64_t thread;
        int32_t x, y;
        const char* message; // null: accepted
    };
    const Case cases[] = {
        {0, 7, 7, nullptr},
        {0, 8, 3, "Registering a pixel at 8 3 that is outside the bucket bounds ([0,8] [0,8])]."},
        {0, -1, 3, "Registering a pixel at -1 3 that is outside the bucket bounds ([0,8] [0,8])]."},
        {0, 0, 8, "Registering a pixel at 0 8 that is outside the bucket bounds ([0,8] [0,8])]."},
        {1, 8, 0, nullptr},
        {1, 15, 7, nullptr},
        {1, 7, 0, "Registering a pixel at 7 0 that is outside the bucket bounds ([8,16] [0,8])]."},
        {1, 16, 0, "Registering a pixel at 16 0 that is outside the bucket bounds ([8,16] [0,8])]."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.thread << ": " << c.x << "," << c.y);
        log.clear();
        const uint64_t before = context().threadRegions[c.thread].sampleCount;
        if (c.message) {
            EXPECT_THROW(QvProcessRenderSample(c.thread, c.x, c.y, 0, s), std::exception);
            EXPECT_TRUE(log.contains(c.message));
            EXPECT_EQ(context().threadRegions[c.thread].sampleCount, before);
        } else {
            QvProcessRenderSample(c.thread, c.x, c.y, 0, s);
            EXPECT_EQ(context().threadRegions[c.thread].sampleCount, before + 1);
            EXPECT_EQ(cellOf(c.thread, c.x, c.y).size(), 1u);
        }
    }
}

TEST_F(RenderSampleTest, ClippingSphereDropsSamplesOnItsSurfaceEitherWay)
{
    startRender();
    auto& c = context();
    c.clipEnabled = true;
    c.clipCentreCamera = {1.0f, 1.0f, 1.0f};
    c.clipRadius = 2.0f;
    struct Case {
        bool inside;
        VekPoint position;
        bool kept;
    };
    const Case cases[] = {
        {true, {3.0f, 1.0f, 1.0f}, false},  {false, {3.0f, 1.0f, 1.0f}, false}, // d^2 = r^2
        {true, {1.5f, 1.0f, 1.0f}, false},  {false, {1.5f, 1.0f, 1.0f}, true},
        {true, {1.0f, 1.0f, -1.5f}, true},  {false, {1.0f, 1.0f, -1.5f}, false},
    };
    uint64_t kept = 0;
    for (const Case& k : cases) {
        c.clipInside = k.inside;
        QvRenderSample s = initialisedSample();
        s.position = k.position;
        QvProcessRenderSample(0, 1, 1, 0, s);
        kept += k.kept;
        EXPECT_EQ(c.threadRegions[0].sampleCount, kept);
    }
    ASSERT_EQ(cellOf(0, 1, 1).size(), 1u);
    EXPECT_EQ(cellOf(0, 1, 1)[0].second.size(), kept);
    EXPECT_TRUE(log.entries().empty());
}

TEST_F(RenderSampleTest, GroupKeysKeepSeparateListsInKeyOrderWithDeepCopies)
{
    startRender();
    QvRenderSample s = initialisedSample();
    const int32_t marks[] = {1, 2, 3};
    const uint64_t keys[] = {5, 0, 5};
    for (int i = 0; i < 3; ++i) {
        QvAddGlassSampleAov(s, marks[i]);
        QvProcessRenderSample(0, 2, 3, keys[i], s);
    }
    QvAddGlassSampleAov(s, 99); // the routed copies keep their own slots

    const auto cell = cellOf(0, 2, 3);
    ASSERT_EQ(cell.size(), 2u);
    EXPECT_EQ(cell[0].first, 0u);
    EXPECT_EQ(cell[1].first, 5u);
    ASSERT_EQ(cell[0].second.size(), 1u);
    ASSERT_EQ(cell[1].second.size(), 2u);
    EXPECT_EQ(slot(cell[0].second[0], kAliasTransparency).asInt, 2);
    EXPECT_EQ(slot(cell[1].second[0], kAliasTransparency).asInt, 1);
    EXPECT_EQ(slot(cell[1].second[1], kAliasTransparency).asInt, 3);
    EXPECT_EQ(context().threadRegions[0].sampleCount, 3u);
}

TEST(PixelCellTest, ClearedCellReusesItsGroupsAndKeepsKeyOrder)
{
    Quorvel::BinIO::PixelCell cell;
    std::vector<QvRenderSample> spare;
    QvRenderSample s;
    s.aovs.resize(3);
    for (uint64_t key : {9u, 4u, 9u, 1u})
        cell.add(key, s, spare);
    EXPECT_FALSE(cell.empty());
    cell.clear(spare);
    EXPECT_TRUE(cell.empty());
    EXPECT_EQ(spare.size(), 4u);

    // New keys take over the emptied groups and still come out in order.
    for (uint64_t key : {7u, 2u, 7u})
        cell.add(key, s, spare);
    EXPECT_EQ(spare.size(), 1u);
    std::vector<std::pair<uint64_t, size_t>> seen;
    cell.forEachGroup([&](uint64_t key, const std::vector<QvRenderSample>& samples) {
        seen.emplace_back(key, samples.size());
        for (const auto& sample : samples)
            EXPECT_EQ(sample.aovs.size(), 3u);
    });
    const std::vector<std::pair<uint64_t, size_t>> expected{{2, 1}, {7, 2}};
    EXPECT_EQ(seen, expected);
}

TEST_F(RenderSampleTest, RealRenderHitsLandInTheirPixels)
{
    // Plaques from a detection pass of the test host.
    initWithSettings(Detect, false, 50.0);
    ASSERT_TRUE(QvSetRenderingResolutionParameters(QvComputeRenderingResolutionParameters(312, 208)));
    ASSERT_TRUE(QvPhaseBegin());
    TestHost host;
    host.shootDetection(0, 100, 60, 104, 64);
    const std::vector<Quorvel::BinIO::DetectPlaqueInfo> plaques = context().threadRegions[0].detectRecords;
    ASSERT_GE(plaques.size(), 64u);
    QvPhaseTerminate(Discard);

    // Render phase by hand: an 8 x 8 rendering image, block 0.
    startRender();
    auto& c = context();
    c.worldToCamera = Quorvel::Utils::identityMatrix();
    c.cameraToWorld = Quorvel::Utils::identityMatrix();
    c.renderingResolutionX.set(8.0);
    c.renderingResolutionY.set(8.0);
    c.outputResolutionX.set(312.0);
    c.outputResolutionY.set(208.0);
    c.currentBlock.set(0);
    Quorvel::Camera::CameraPlacement placement;
    placement.renderScale = 50.0f;
    const Quorvel::Camera::CameraSet set = Quorvel::Camera::makeCameraSet(placement);
    c.cameraPositions = set.positions;
    c.cameraPriorities = set.priorities;
    c.cameraFaceMasks = set.faceMasks;
    c.plaques = plaques;
    c.raysShot.assign(64, 0);

    host.addAovs = [](QvRenderSample& s, const SceneHit& hit) { QvAddGlassSampleAov(s, hit.object); };
    const uint64_t routed = host.shootRender(0, 0, 0, 8, 8, 4);
    EXPECT_EQ(routed, 256u);
    EXPECT_EQ(c.threadRegions[0].sampleCount, routed);
    for (int32_t y = 0; y < 8; ++y)
        for (int32_t x = 0; x < 8; ++x) {
            const auto cell = cellOf(0, x, y);
            ASSERT_EQ(cell.size(), 1u);
            EXPECT_EQ(cell[0].first, 0u);
            ASSERT_EQ(cell[0].second.size(), 4u);
            const auto& plaque = plaques[static_cast<size_t>(y * 8 + x)];
            for (const QvRenderSample& s : cell[0].second) {
                EXPECT_LT(host.scene().distanceToSurface(s.position), 1e-4);
                EXPECT_GE(s.fracX, 0.0f);
                EXPECT_LT(s.fracX, 1.0f);
                // Each ray lands within the plaque's pixel footprint.
                const VekPoint& o = c.cameraPositions[plaque.cameraIndex];
                const float dist = Quorvel::Utils::length({s.position.x - o.x, s.position.y - o.y, s.position.z - o.z});
                EXPECT_NEAR(dist, s.depth, 1e-3);
                EXPECT_NEAR(s.depth, plaque.depth, 0.05 * plaque.depth);
                EXPECT_EQ(slot(s, kAliasTransparency).asInt, host.scene().nearestObject(s.position));
            }
        }
}

} // namespace
