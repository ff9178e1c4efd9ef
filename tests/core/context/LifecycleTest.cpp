#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <cfloat>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "camera/RenderingContext.h"
#include "core/context/ContextTestSupport.h"

using namespace Quorvel::Phase;
using Quorvel::Logger::DEBUG;
using Quorvel::Logger::ERROR;
using Quorvel::Logger::WARNING;
using QuorvelTest::configureDetection;
using QuorvelTest::configureRender;
using QuorvelTest::ctx;
using QuorvelTest::endAnyPhase;
using QuorvelTest::expectMisuse;
using QuorvelTest::LogCapture;

namespace {

using LifecycleTest = QuorvelTest::ContextTest;

std::vector<std::string> names(const Quorvel::BinIO::AovFormat& f)
{
    return f.names;
}

} // namespace

TEST_F(LifecycleTest, InitPhaseEntersConfiguringForTheTwoPhasesOnly)
{
    const struct {
        int32_t phase;
        int32_t stored;
        std::vector<std::string> log;
    } cases[] = {
        {Detect, Detect, {"[Quorvel] setting detect phase.\n"}},
        {Render, Render, {"[Quorvel] setting render phase.\n"}},
        {5, -1, {}},
        {-1, -1, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.phase);
        LogCapture capture;
        QvInitPhase(static_cast<Phase>(c.phase), Quorvel::Util::RE_VRay);
        EXPECT_EQ(ctx().phase, c.stored);
        EXPECT_FALSE(ctx().initialised);
        EXPECT_EQ(ctx().renderingEngineId, Quorvel::Util::RE_VRay);
        EXPECT_EQ(capture.messages(), c.log);
        for (const auto& e : capture.entries())
            EXPECT_EQ(e.level, DEBUG);
    }
}

TEST_F(LifecycleTest, IdleRefusesBeginAndTerminate)
{
    QvInitPhase(static_cast<Phase>(5), Quorvel::Util::RE_VRay);
    expectMisuse([] { QvPhaseBegin(); }, "[Quorvel] begin a phase first.\n");

    LogCapture capture;
    EXPECT_FALSE(QvPhaseTerminate(Finalize));
    ASSERT_EQ(capture.entries().size(), 1u);
    EXPECT_EQ(capture.entries()[0].level, WARNING);
    EXPECT_EQ(capture.messages()[0], "[Quorvel] begin a phase before terminating it \n");
    EXPECT_EQ(ctx().phase, -1);
}

TEST_F(LifecycleTest, ConfiguringRefusesTerminate)
{
    QvInitPhase(Render, Quorvel::Util::RE_VRay);
    LogCapture capture;
    EXPECT_FALSE(QvPhaseTerminate(Discard));
    EXPECT_EQ(capture.messages(), std::vector<std::string>{"[Quorvel] initialize the phase before terminating it\n"});
    EXPECT_EQ(capture.entries()[0].level, WARNING);
    EXPECT_EQ(ctx().phase, Render);
}

TEST_F(LifecycleTest, RunningRefusesInitAndBeginAndKeepsThePhase)
{
    configureDetection();
    ASSERT_TRUE(QvPhaseBegin());
    QvSetDraft(true); // refused: keeps false

    expectMisuse([] { QvInitPhase(Render, Quorvel::Util::RE_Unknown); },
                 "[Quorvel] begin a phase after it's initialization leads to data lost. Use QvPhaseTerminate() "
                 "first\n");
    expectMisuse([] { QvPhaseBegin(); }, "[Quorvel] Terminate the phase first.\n");
    EXPECT_EQ(ctx().phase, Detect);
    EXPECT_TRUE(ctx().initialised);
    EXPECT_EQ(ctx().renderingEngineId, Quorvel::Util::RE_VRay);
    EXPECT_FALSE(ctx().draft.get());
    EXPECT_EQ(ctx().threadRegions.size(), 1u);
    EXPECT_NE(ctx().tempFile, nullptr);
}

TEST_F(LifecycleTest, BeginValidatesTheMandatorySettingsInOrder)
{
    const struct {
        const char* name;
        bool renderingResolution;
        bool outputResolution;
        const char* message;
    } cases[] = {
        {"nothing set", false, true, "[Quorvel] The rendering resolution is not set \n"},
        {"no output resolution", true, false, "[Quorvel] The output resolution is not set \n"},
        {"no bucket size", true, true, "[Quorvel] The bucket size is not set \n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QvInitPhase(Detect, Quorvel::Util::RE_VRay);
        if (c.outputResolution)
            QvSetOutputResolution(312, 208);
        if (c.renderingResolution) {
            ASSERT_TRUE(QvSetRenderingResolutionParameters({312, 208, 1, true}));
        }
        LogCapture capture;
        EXPECT_FALSE(QvPhaseBegin());
        EXPECT_EQ(capture.messages(), std::vector<std::string>{c.message});
        EXPECT_EQ(capture.entries()[0].level, ERROR);
        EXPECT_EQ(ctx().phase, Detect);
        EXPECT_FALSE(ctx().initialised);
        EXPECT_EQ(ctx().tempFile, nullptr);
    }
}

TEST_F(LifecycleTest, BeginAppliesAndAnnouncesTheFiveDefaults)
{
    configureDetection();
    LogCapture capture;
    ASSERT_TRUE(QvPhaseBegin());

    std::vector<std::string> warnings;
    for (const auto& e : capture.entries())
        if (e.level == WARNING)
            warnings.push_back(LogCapture::stripHeader(e.text));
    const std::vector<std::string> defaults = {
        "[Quorvel] The render scale is not set, setting the default value (1.0) \n",
        "[Quorvel] The specularPoint is not set, default to the center of the Zone of View (0.0, 0.0, 0.0) \n",
        "[Quorvel] The scene up vector is not set, default to Y is up (0.0, 1.0, 0.0) \n",
        "[Quorvel] The eye is not set, default to left eye only \n",
        "[Quorvel] At least one thread should be declared. Setting QvSetThreadNumber to 1.\n",
    };
    ASSERT_GE(warnings.size(), defaults.size());
    EXPECT_EQ(std::vector<std::string>(warnings.begin(), warnings.begin() + 5), defaults);

    EXPECT_EQ(ctx().renderScale.get(), 1.0f);
    EXPECT_EQ(ctx().specularPointOffset.get().x, 0.0f);
    EXPECT_EQ(ctx().sceneUp.get().x, 0.0f);
    EXPECT_EQ(ctx().sceneUp.get().y, 1.0f);
    EXPECT_EQ(ctx().sceneUp.get().z, 0.0f);
    EXPECT_EQ(ctx().eye.get(), RC_Left);
    EXPECT_EQ(ctx().ipd.get(), 63.5f);
    EXPECT_EQ(ctx().threadCount, 1u);
}

TEST_F(LifecycleTest, BeginWithEverySettingGivenWarnsAboutNoDefault)
{
    configureDetection();
    QvSetRenderScale(2.0);
    QvSetSpecularPointOffset({0.0f, 0.0f, 0.0f});
    QvSetSceneUpVector({0.0f, 0.0f, 1.0f});
    QvSetDeepReflection(RC_Right, 60.0);
    QvSetThreadNumber(2);
    LogCapture capture;
    ASSERT_TRUE(QvPhaseBegin());
    for (const auto& m : capture.messages())
        EXPECT_EQ(m.find("default"), std::string::npos) << m;
    EXPECT_EQ(ctx().eye.get(), RC_Right);
    EXPECT_EQ(ctx().ipd.get(), 60.0f);
    EXPECT_EQ(ctx().threadCount, 2u);
}

TEST_F(LifecycleTest, SpecularPointIsScaledIntoTheZoneAndTakenToTheWorld)
{
    configureDetection();
    QvSetSpecularPointOffset({1.0f, 0.0f, 0.0f});
    QvSetZovScaling(1.0f, 0.5f, 1.0f);
    QvSetRenderScale(2.0);
    const VekMatrix4 cameraToWorld = {{{0, 1, 0, 0}, {-1, 0, 0, 0}, {0, 0, 1, 0}, {10, 20, 30, 1}}};
    QvSetCameraToWorldMatrix(cameraToWorld);
    ASSERT_TRUE(QvPhaseBegin());
    const VekPoint local = ctx().specularPointLocal.get();
    EXPECT_EQ(local.x, 50.0f);
    EXPECT_EQ(local.y, 0.0f);
    EXPECT_EQ(local.z, 0.0f);
    const VekPoint world = ctx().specularPointWorld.get();
    EXPECT_EQ(world.x, 10.0f);
    EXPECT_EQ(world.y, 70.0f);
    EXPECT_EQ(world.z, 30.0f);

    endAnyPhase();
    configureDetection();
    QvSetSpecularPointOffset({0.5f, -1.0f, 2.0f});
    QvSetZovScaling(1.5f, 0.5f, 2.0f);
    QvSetRenderScale(4.0);
    ASSERT_TRUE(QvPhaseBegin());
    EXPECT_EQ(ctx().specularPointLocal.get().x, 18.75f);
    EXPECT_EQ(ctx().specularPointLocal.get().y, -12.5f);
    EXPECT_EQ(ctx().specularPointLocal.get().z, 100.0f);
}

TEST_F(LifecycleTest, DetectionBeginCreatesThePhaseData)
{
    configureDetection();
    QvSetThreadNumber(3);
    QvSetTolerance(0.375);
    QvSetRenderScale(2.5);
    ASSERT_TRUE(QvPhaseBegin());
    const auto& c = ctx();
    EXPECT_TRUE(c.initialised);
    const size_t pixels = 312 * 208;
    ASSERT_EQ(c.cameraCoverage.size(), pixels * 4);
    for (const auto& word : c.cameraCoverage)
        ASSERT_EQ(word.load(), 0u);
    for (const auto* counter : {&c.sampleIndexCounters, &c.raysShot, &c.samplesReceived})
        EXPECT_EQ(*counter, std::vector<uint16_t>(pixels, 0));
    ASSERT_EQ(c.threadRegions.size(), 3u);
    for (const auto& region : c.threadRegions) {
        EXPECT_EQ(region.bucketWidth, 16u);
        EXPECT_EQ(region.bucketHeight, 8u);
        EXPECT_EQ(region.pixels.size(), 128u);
        EXPECT_EQ(region.x0, 0u);
        EXPECT_EQ(region.y0, 0u);
        EXPECT_EQ(region.x1, 16u);
        EXPECT_EQ(region.y1, 8u);
        EXPECT_EQ(region.sampleCount, 0u);
        EXPECT_FALSE(region.active);
        EXPECT_TRUE(region.detectRecords.empty());
        EXPECT_GE(region.detectRecords.capacity(), 16u * 8u * 32u);
    }
    ASSERT_NE(c.tempFile, nullptr);
    EXPECT_EQ(c.tempRecordCount, 0u);
    EXPECT_TRUE(c.aovFormat.isEmpty());

    const RenderingContext& shared = GetSharedRenderingContext();
    EXPECT_EQ(shared.width, 312u);
    EXPECT_EQ(shared.height, 208u);
    EXPECT_EQ(shared.renderScale, 2.5f);
    EXPECT_EQ(shared.tolerance, 0.375f);
}

TEST_F(LifecycleTest, DetectionBeginRefusesAnyRegisteredAov)
{
    configureDetection();
    ctx().aovFormat.registerAov(7, "stray", AOV_Int);
    expectMisuse([] { QvPhaseBegin(); }, "Quorvel aovs cannot be registered during the detection phase");
    EXPECT_FALSE(ctx().initialised);
}

TEST_F(LifecycleTest, RenderBeginRegistersTheInternalAovs)
{
    const std::string file = dir.write("d.qvl", QuorvelTest::qvlFileBytes(QuorvelTest::detectionHeaderJson(100)));
    const struct {
        const char* name;
        Eye eye;
        TransparencyRenderingType mode;
        bool motion;
        std::vector<std::pair<int32_t, std::string>> host;
        std::vector<std::string> expected;
    } cases[] = {
        {"all", RC_LeftAndRight, BOTH, true, {}, {"Cd_Right", "qvlTransp", "qvlVelocity", "qvlCockpit"}},
        {"cockpit only", RC_Left, IGNORE, false, {}, {"qvlCockpit"}},
        {"one eye", RC_Right, OPAQUE, true, {}, {"qvlTransp", "qvlVelocity", "qvlCockpit"}},
        {"host names first",
         RC_LeftAndRight,
         IGNORE,
         true,
         {{9, "Cd_Right"}, {7, "qvlVelocity"}},
         {"Cd_Right", "qvlVelocity", "qvlCockpit"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        endAnyPhase();
        configureRender(file);
        QvSetDeepReflection(c.eye, 63.5);
        QvSetRenderTransparencyMode(c.mode);
        QvSetMotionVector(c.motion);
        for (const auto& [alias, name] : c.host)
            QvRenderPhaseRegisterAov(alias, name.c_str(), AOV_RGB);
        ASSERT_TRUE(QvPhaseBegin());
        EXPECT_EQ(names(ctx().aovFormat), c.expected);
        EXPECT_EQ(ctx().aovFormat.getIndex(Quorvel::BinIO::kAliasCockpit), c.expected.size() - 1);
        EXPECT_TRUE(ctx().cameraCoverage.empty());
        EXPECT_EQ(ctx().raysShot.size(), 100u);
        EXPECT_EQ(ctx().threadRegions.size(), 1u);
    }
    EXPECT_EQ(ctx().aovFormat.getIndex(Quorvel::BinIO::kAliasRightColor), 0u);
    EXPECT_EQ(ctx().aovFormat.getIndex(Quorvel::BinIO::kAliasVelocity), 1u);
}

TEST_F(LifecycleTest, RenderBeginNeedsTheTransparencyMode)
{
    const std::string file = dir.write("d.qvl", QuorvelTest::qvlFileBytes(QuorvelTest::detectionHeaderJson(100)));
    QvInitPhase(Render, Quorvel::Util::RE_VRay);
    QvSetOutputResolution(312, 208);
    QvSetDraft(false);
    QvSetCurrentFrame(1, 0);
    QvSetZovOffset(0, 0, 0);
    QvSetBucketSize(8, 8);
    QvSetDetectFilePath(file.c_str());
    ASSERT_TRUE(QvSetRenderingResolutionParameters(QvComputeRenderingResolutionParameters(10, 10)));
    expectMisuse([] { QvPhaseBegin(); }, "[Quorvel] Accessing value that has not been set");
    EXPECT_FALSE(ctx().initialised);
}

TEST_F(LifecycleTest, RegisteringAovsNeedsAConfiguringRenderPhase)
{
    const std::string file = dir.write("d.qvl", QuorvelTest::qvlFileBytes(QuorvelTest::detectionHeaderJson(100)));
    const char* const wrongPhase = "[Quorvel] registering aov is only allowed for the render phase.\n";
    QvInitPhase(static_cast<Phase>(-1), Quorvel::Util::RE_VRay);
    expectMisuse([] { QvRenderPhaseRegisterAov(1, "a", AOV_Int); }, wrongPhase);
    QvInitPhase(Detect, Quorvel::Util::RE_VRay);
    expectMisuse([] { QvRenderPhaseRegisterAov(1, "a", AOV_Int); }, wrongPhase);
    EXPECT_TRUE(ctx().aovFormat.isEmpty());

    configureRender(file);
    QvRenderPhaseRegisterAov(12, "diffuse", AOV_RGBA);
    EXPECT_EQ(ctx().aovFormat.getIndex(12), 0u);
    EXPECT_EQ(ctx().aovFormat.types[0], AOV_RGBA);
    ASSERT_TRUE(QvPhaseBegin());
    expectMisuse([] { QvRenderPhaseRegisterAov(13, "late", AOV_Int); },
                 "[Quorvel] Unable to register aov after the initialization.\n");
    EXPECT_FALSE(ctx().aovFormat.HasAOV(int32_t{13}));
}

TEST_F(LifecycleTest, TerminateLeavesTheContextIdleWithItsSettings)
{
    for (const TerminatePhaseOptions option : {Discard, Finalize}) {
        SCOPED_TRACE(option);
        configureDetection();
        const std::string out = dir.file("out.qvl");
        QvSetOutFilePath(out.c_str());
        ASSERT_TRUE(QvPhaseBegin());
        LogCapture capture;
        EXPECT_TRUE(QvPhaseTerminate(option));
        if (option == Discard) {
            EXPECT_TRUE(capture.messages().empty());
        } else {
            ASSERT_FALSE(capture.messages().empty());
            EXPECT_EQ(capture.messages().back(), "[Quorvel] wrote render file " + out + " .\n");
        }
        EXPECT_EQ(ctx().phase, -1);
        EXPECT_FALSE(ctx().initialised);
        EXPECT_EQ(ctx().tempFile, nullptr);
        EXPECT_EQ(ctx().outFilePath, out);
        EXPECT_EQ(ctx().bucketSizeX.get(), 16u);
        EXPECT_EQ(std::filesystem::exists(out), option == Finalize);
        // A second terminate finds no phase.
        EXPECT_FALSE(QvPhaseTerminate(option));
    }
}

TEST_F(LifecycleTest, FinalizeFlushesBucketsThatStillHoldData)
{
    configureDetection();
    QvSetThreadNumber(3);
    QvSetOutFilePath(dir.file("out.qvl").c_str());
    ASSERT_TRUE(QvPhaseBegin());
    ctx().threadRegions[1].sampleCount = 4;
    ctx().threadRegions[2].sampleCount = 1;
    LogCapture capture;
    EXPECT_TRUE(QvPhaseTerminate(Finalize));
    const std::vector<std::string> expected = {
        "Bucket 1 still had data when QvPhaseTerminate was invoked. Flushing bucket before finalizing.",
        "Bucket 2 still had data when QvPhaseTerminate was invoked. Flushing bucket before finalizing.",
    };
    std::vector<std::string> warnings;
    for (const auto& e : capture.entries())
        if (e.level <= WARNING)
            warnings.push_back(LogCapture::stripHeader(e.text));
    EXPECT_EQ(warnings, expected);
}

TEST_F(LifecycleTest, FinalizeWithoutTemporaryFileWarnsAndStillEndsThePhase)
{
    configureDetection();
    ASSERT_TRUE(QvPhaseBegin());
    std::fclose(ctx().tempFile);
    ctx().tempFile = nullptr;
    LogCapture capture;
    EXPECT_TRUE(QvPhaseTerminate(Finalize));
    EXPECT_EQ(capture.messages(),
              std::vector<std::string>{"Processing temporary file samples while samples have already been processed."});
    EXPECT_EQ(capture.entries()[0].level, WARNING);
    EXPECT_EQ(ctx().phase, -1);
}

TEST_F(LifecycleTest, InitPhaseRestoresEverySettingButTheClippingSphere)
{
    configureDetection();
    QvSetZovScaling(2.0f, 2.0f, 2.0f);
    QvSetRenderScale(3.0);
    QvSetWorldToCamMatrix({{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {4, 5, 6, 1}}});
    QvSetDistanceToGround(2.0);
    QvSetRenderInsideBox(true);
    QvSetDeepReflection(RC_Right, 70.0);
    QvSetSpecularPointOffset({1, 1, 1});
    QvSetSceneUpVector({1, 0, 0});
    QvSetOutFilePath("out");
    QvSetDetectFilePath("in");
    Quorvel::Block::QvSetDetectPhaseOverride("override");
    QvSetThreadNumber(4);
    QvSetMotionVector(false);
    QvSetTolerance(0.5);
    QvSetMaxDistance(10.0);
    QvSetClippingSphere(true, {1, 2, 3}, 5.0f, true);
    ASSERT_TRUE(QvPhaseBegin());
    ctx().plaques.resize(3);
    ctx().completionMask.resize(3);
    ctx().tempRecordCount = 9;
    ASSERT_TRUE(QvPhaseTerminate(Discard));

    QvInitPhase(Render, Quorvel::Util::RE_Unknown);
    const auto& c = ctx();
    EXPECT_EQ(c.phase, Render);
    EXPECT_FALSE(c.initialised);
    EXPECT_EQ(c.renderingEngineId, Quorvel::Util::RE_Unknown);
    EXPECT_FALSE(c.draft.isSet());
    EXPECT_FALSE(c.draft.peek());
    EXPECT_EQ(c.zovScaling.x, 1.0f);
    EXPECT_EQ(c.zovScaling.y, 0.5f);
    EXPECT_EQ(c.zovScaling.z, 1.0f);
    EXPECT_FALSE(c.renderScale.isSet());
    EXPECT_EQ(c.renderScale.peek(), 1.0f);
    EXPECT_EQ(c.cameraToWorld, Quorvel::Utils::identityMatrix());
    EXPECT_EQ(c.worldToCamera, Quorvel::Utils::identityMatrix());
    EXPECT_EQ(c.distanceToGround, 1.6f);
    EXPECT_FALSE(c.renderInsideBox);
    EXPECT_FALSE(c.frame.isSet());
    EXPECT_EQ(c.frame.peek(), -1);
    EXPECT_EQ(c.framePadding, 0);
    EXPECT_EQ(c.frameSeparator, '.');
    EXPECT_FALSE(c.ipd.isSet());
    EXPECT_EQ(c.ipd.peek(), 63.5f);
    EXPECT_FALSE(c.eye.isSet());
    EXPECT_EQ(c.eye.peek(), RC_LeftAndRight);
    EXPECT_FALSE(c.specularPointOffset.isSet());
    EXPECT_EQ(c.specularPointOffset.peek().x, 0.0f);
    EXPECT_FALSE(c.specularPointWorld.isSet());
    EXPECT_FALSE(c.specularPointLocal.isSet());
    EXPECT_FALSE(c.sceneUp.isSet());
    EXPECT_EQ(c.shadingConstants, (std::array<float, 3>{0.5235988f, 0.8660254f, 1.0f}));
    EXPECT_EQ(c.detectFilePath, "");
    EXPECT_EQ(c.detectPhaseOverride, "");
    EXPECT_EQ(c.outFilePath, "");
    EXPECT_FALSE(c.renderingResolutionX.isSet());
    EXPECT_FALSE(c.renderingResolutionY.isSet());
    EXPECT_EQ(c.renderingAspect, 0.0);
    EXPECT_FALSE(c.bucketSizeX.isSet());
    EXPECT_FALSE(c.bucketSizeY.isSet());
    EXPECT_EQ(c.threadCount, 0u);
    EXPECT_FALSE(c.transparencyMode.isSet());
    EXPECT_TRUE(c.motionVectors);
    EXPECT_EQ(c.tolerance, 0.25);
    EXPECT_EQ(c.maxDistance, 3.4028234663852886e38);
    EXPECT_FALSE(c.zovOffsetRight.isSet());
    EXPECT_FALSE(c.zovOffsetTop.isSet());
    EXPECT_FALSE(c.zovOffsetBack.isSet());
    EXPECT_FALSE(c.outputResolutionX.isSet());
    EXPECT_FALSE(c.outputResolutionY.isSet());
    EXPECT_EQ(c.outputAspect, 0.0);
    EXPECT_FALSE(c.blockCount.isSet());
    EXPECT_FALSE(c.currentBlock.isSet());

    EXPECT_TRUE(c.clipEnabled);
    EXPECT_TRUE(c.clipInside);
    EXPECT_EQ(c.clipCentreWorld.z, 3.0f);
    EXPECT_EQ(c.clipCentreCamera.x, 5.0f);
    EXPECT_EQ(c.clipCentreCamera.y, 7.0f);
    EXPECT_EQ(c.clipCentreCamera.z, 9.0f);
    EXPECT_EQ(c.clipRadius, 5.0f);

    EXPECT_TRUE(c.cameraCoverage.empty());
    EXPECT_TRUE(c.raysShot.empty());
    EXPECT_TRUE(c.samplesReceived.empty());
    EXPECT_TRUE(c.sampleIndexCounters.empty());
    EXPECT_TRUE(c.threadRegions.empty());
    EXPECT_TRUE(c.plaques.empty());
    EXPECT_TRUE(c.completionMask.empty());
    EXPECT_TRUE(c.aovFormat.isEmpty());
    EXPECT_EQ(c.tempRecordCount, 0u);
    const RenderingContext& shared = GetSharedRenderingContext();
    EXPECT_EQ(shared.width, 4000u);
    EXPECT_EQ(shared.height, 2000u);
    EXPECT_EQ(shared.renderScale, 1.0f);
    EXPECT_EQ(shared.tolerance, 0.25f);
}

TEST_F(LifecycleTest, DetectionAndRenderPhasesRunWithAHandMadeDetectionFile)
{
    const std::string detectionFile =
        dir.write("scene.0007.qvl", QuorvelTest::qvlFileBytes(QuorvelTest::detectionHeaderJson(250)));

    configureDetection();
    QvSetOutFilePath(dir.file("scene_detection.0007.qvl").c_str());
    ASSERT_TRUE(QvPhaseBegin());
    EXPECT_EQ(ctx().renderingResolutionX.get(), 312.0);
    ASSERT_TRUE(QvPhaseTerminate(Finalize));

    QvInitPhase(Render, Quorvel::Util::RE_VRay);
    QuorvelTest::setMandatorySettings();
    QvSetDetectFilePath(detectionFile.c_str());
    QvSetOutFilePath(dir.file("render.qvl").c_str());
    const QvResolutionParam p = QvComputeRenderingResolutionParameters(10, 10);
    EXPECT_TRUE(p.valid);
    EXPECT_EQ(p.blockCount, 3u);
    ASSERT_TRUE(QvSetRenderingResolutionParameters(p));
    ASSERT_TRUE(QvSetCurrentBlockIndex(2));
    ASSERT_TRUE(QvPhaseBegin());
    EXPECT_EQ(ctx().currentBlock.get(), 2u);
    EXPECT_EQ(ctx().samplesReceived.size(), 100u);
    EXPECT_TRUE(QvPhaseTerminate(Finalize));
    EXPECT_EQ(ctx().phase, -1);
}

// A refused begin must leave the context configuring, untouched, so that the
// host can add the setting and begin, or start over with QvInitPhase.
TEST_F(LifecycleTest, BeginChecksEverySettingItReadsBeforeChangingAnything)
{
    const std::string file = dir.write("d.qvl", QuorvelTest::qvlFileBytes(QuorvelTest::detectionHeaderJson(100)));
    const struct {
        const char* name;
        Phase phase;
        std::function<void()> configure;
        std::function<void()> complete;
    } cases[] = {
        {"no frame", Detect,
         [] {
             QvSetOutputResolution(312, 208);
             QvSetDraft(false);
             QvSetZovOffset(1, 2, 3);
             QvSetBucketSize(16, 8);
             ASSERT_TRUE(QvSetRenderingResolutionParameters({312, 208, 1, true}));
         },
         [] { QvSetCurrentFrame(7, 0); }},
        {"no draft", Detect,
         [] {
             QvSetOutputResolution(312, 208);
             QvSetCurrentFrame(7, 0);
             QvSetZovOffset(1, 2, 3);
             QvSetBucketSize(16, 8);
             ASSERT_TRUE(QvSetRenderingResolutionParameters({312, 208, 1, true}));
         },
         [] { QvSetDraft(true); }},
        {"no zone offset", Detect,
         [] {
             QvSetOutputResolution(312, 208);
             QvSetDraft(false);
             QvSetCurrentFrame(7, 0);
             QvSetBucketSize(16, 8);
             ASSERT_TRUE(QvSetRenderingResolutionParameters({312, 208, 1, true}));
         },
         [] { QvSetZovOffset(0, 0, 0); }},
        {"blocks computed, none selected", Render,
         [&file] {
             QuorvelTest::setMandatorySettings();
             QvSetDetectFilePath(file.c_str());
             ASSERT_TRUE(QvComputeRenderingResolutionParameters(2).valid);
         },
         [] { ASSERT_TRUE(QvSetCurrentBlockIndex(1)); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        endAnyPhase();
        QvInitPhase(c.phase, Quorvel::Util::RE_VRay);
        c.configure();
        {
            LogCapture capture;
            EXPECT_THROW(QvPhaseBegin(), std::exception);
            const auto entries = capture.entries();
            ASSERT_EQ(entries.size(), 1u) << "begin logged more than the missing setting";
            EXPECT_EQ(entries[0].level, Quorvel::Logger::TRACE);
            EXPECT_EQ(LogCapture::stripHeader(entries[0].text), "[Quorvel] Accessing value that has not been set");
        }
        EXPECT_EQ(ctx().phase, c.phase);
        EXPECT_FALSE(ctx().initialised);
        EXPECT_EQ(ctx().tempFile, nullptr);
        EXPECT_FALSE(ctx().renderScale.isSet());
        EXPECT_FALSE(ctx().specularPointLocal.isSet());
        EXPECT_TRUE(ctx().cameraPositions.empty());
        EXPECT_TRUE(ctx().threadRegions.empty());

        // Still configuring: the setting is accepted and the begin goes through.
        c.complete();
        ASSERT_TRUE(QvPhaseBegin());
        EXPECT_TRUE(ctx().initialised);
    }
    endAnyPhase();
    // A refused begin leaves nothing that blocks a new phase either.
    QvInitPhase(Detect, Quorvel::Util::RE_VRay);
    cases[0].configure();
    EXPECT_THROW(QvPhaseBegin(), std::exception);
    EXPECT_NO_THROW(QvInitPhase(Render, Quorvel::Util::RE_VRay));
    EXPECT_EQ(ctx().phase, Render);
}

namespace {

// Lets no new file descriptor be opened while it lives.
class NoFreeDescriptors {
public:
    NoFreeDescriptors()
    {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        const int lowestFree = ::dup(0);
        ::close(lowestFree);
        rlimit tight = saved_;
        tight.rlim_cur = static_cast<rlim_t>(lowestFree);
        ::setrlimit(RLIMIT_NOFILE, &tight);
    }
    ~NoFreeDescriptors() { ::setrlimit(RLIMIT_NOFILE, &saved_); }
    NoFreeDescriptors(const NoFreeDescriptors&) = delete;
    NoFreeDescriptors& operator=(const NoFreeDescriptors&) = delete;

private:
    rlimit saved_{};
};

} // namespace

TEST_F(LifecycleTest, BeginIsRefusedWhenTheTemporarySampleFileCannotBeCreated)
{
    configureDetection();
    {
        LogCapture capture;
        bool begun = true;
        {
            NoFreeDescriptors noFiles;
            begun = QvPhaseBegin();
        }
        EXPECT_FALSE(begun);
        EXPECT_EQ(capture.messages(),
                  std::vector<std::string>{"[Quorvel] The temporary sample file could not be created.\n"});
        ASSERT_FALSE(capture.entries().empty());
        EXPECT_EQ(capture.entries()[0].level, ERROR);
    }
    EXPECT_FALSE(ctx().initialised);
    EXPECT_EQ(ctx().tempFile, nullptr);
    EXPECT_FALSE(ctx().renderScale.isSet());
    EXPECT_TRUE(ctx().cameraPositions.empty());

    ASSERT_TRUE(QvPhaseBegin());
    EXPECT_NE(ctx().tempFile, nullptr);
}

// The per-pixel counters of a running phase keep the size they were made with.
TEST_F(LifecycleTest, BlockParametersAreNotRecomputedWhileThePhaseRuns)
{
    const std::string file = dir.write("d.qvl", QuorvelTest::qvlFileBytes(QuorvelTest::detectionHeaderJson(100)));
    configureRender(file);
    ASSERT_TRUE(QvPhaseBegin());
    LogCapture capture;
    const QvResolutionParam p = QvComputeRenderingResolutionParameters(4);
    EXPECT_FALSE(p.valid);
    EXPECT_EQ(p.x, 0u);
    EXPECT_EQ(p.blockCount, 0u);
    EXPECT_EQ(capture.messages(),
              std::vector<std::string>{"[Quorvel] Unable to set the phase after its initialization\n"});
    EXPECT_EQ(ctx().renderingResolutionX.get(), 10.0);
    EXPECT_EQ(ctx().renderingResolutionY.get(), 10.0);
    EXPECT_EQ(ctx().blockCount.get(), 1u);
    EXPECT_EQ(ctx().raysShot.size(), 100u);
}

// The flush at the phase end is announced once per bucket and adds nothing else.
TEST_F(LifecycleTest, StepsNotAvailableYetSayItInsteadOfDroppingDataSilently)
{
    const std::string file = dir.write("d.qvl", QuorvelTest::qvlFileBytes(QuorvelTest::detectionHeaderJson(100)));
    auto warnings = [](const LogCapture& capture) {
        std::vector<std::string> out;
        for (const auto& e : capture.entries())
            if (e.level == WARNING)
                out.push_back(LogCapture::stripHeader(e.text));
        return out;
    };

    configureDetection();
    QvSetThreadNumber(2);
    QvSetRenderScale(1.0);
    QvSetSpecularPointOffset({0, 0, 0});
    QvSetSceneUpVector({0, 1, 0});
    QvSetDeepReflection(RC_Left, 63.5);
    QvSetOutFilePath(dir.file("detection.qvl").c_str());
    ASSERT_TRUE(QvPhaseBegin());
    ctx().threadRegions[1].sampleCount = 2;
    {
        LogCapture capture;
        EXPECT_TRUE(QvPhaseTerminate(Finalize));
        EXPECT_EQ(warnings(capture),
                  (std::vector<std::string>{
                      "Bucket 1 still had data when QvPhaseTerminate was invoked. Flushing bucket before finalizing."}));
    }

    configureRender(file);
    QvSetRenderScale(1.0);
    QvSetSpecularPointOffset({0, 0, 0});
    QvSetSceneUpVector({0, 1, 0});
    QvSetDeepReflection(RC_Left, 63.5);
    QvSetThreadNumber(1);
    QvSetOutFilePath(dir.file("render.qvl").c_str());
    {
        LogCapture capture;
        ASSERT_TRUE(QvPhaseBegin());
        EXPECT_EQ(warnings(capture), std::vector<std::string>{"Cameras were unitialized at this stage."});
    }
    {
        LogCapture capture;
        EXPECT_TRUE(QvPhaseTerminate(Finalize));
        EXPECT_TRUE(warnings(capture).empty());
    }
}
