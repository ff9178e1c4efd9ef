#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "core/context/ContextTestSupport.h"

using namespace Quorvel::Phase;
using Quorvel::Logger::ERROR;
using QuorvelTest::configureDetection;
using QuorvelTest::ctx;
using QuorvelTest::expectMisuse;
using QuorvelTest::LogCapture;

namespace {

using SettersTest = QuorvelTest::ContextTest;

const VekMatrix4 kTranslation = {{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {-10, 4, 2, 1}}};

struct SetterCase {
    const char* name;
    std::function<void()> apply;
    std::function<bool()> applied;
};

// Each setter with a value that differs from both the initial value and what
// configureDetection sets.
std::vector<SetterCase> setterCases()
{
    auto& c = ctx();
    return {
        {"QvSetDraft", [] { QvSetDraft(true); }, [&] { return c.draft.isSet() && c.draft.peek(); }},
        {"QvSetZovScaling", [] { QvSetZovScaling(3, 4, 5); }, [&] { return c.zovScaling.y == 4.0f; }},
        {"QvSetZovOffset", [] { QvSetZovOffset(-7, 8, 9); },
         [&] { return c.zovOffsetRight.peek() == -7 && c.zovOffsetTop.peek() == 8 && c.zovOffsetBack.peek() == 9; }},
        {"QvSetRenderScale", [] { QvSetRenderScale(0.1); },
         [&] { return c.renderScale.isSet() && c.renderScale.peek() == 0.1f; }},
        {"QvSetDistanceToGround", [] { QvSetDistanceToGround(2.2); }, [&] { return c.distanceToGround == 2.2f; }},
        {"QvSetRenderInsideBox", [] { QvSetRenderInsideBox(true); }, [&] { return c.renderInsideBox; }},
        {"QvSetCurrentFrame", [] { QvSetCurrentFrame(-3, 5); },
         [&] { return c.frame.peek() == -3 && c.framePadding == 5; }},
        {"QvSetDeepReflection", [] { QvSetDeepReflection(RC_Right, 65.25); },
         [&] { return c.eye.isSet() && c.eye.peek() == RC_Right && c.ipd.isSet() && c.ipd.peek() == 65.25f; }},
        {"QvSetSpecularPointOffset", [] { QvSetSpecularPointOffset({0.25f, 0.5f, 0.75f}); },
         [&] { return c.specularPointOffset.isSet() && c.specularPointOffset.peek().z == 0.75f; }},
        {"QvSetSceneUpVector", [] { QvSetSceneUpVector({3, 0, 4}); },
         [&] { return c.sceneUp.isSet() && c.sceneUp.peek().x == 0.6f && c.sceneUp.peek().z == 0.8f; }},
        {"QvSetThreadNumber", [] { QvSetThreadNumber(12); }, [&] { return c.threadCount == 12; }},
        {"QvSetBucketSize", [] { QvSetBucketSize(32, 64); },
         [&] { return c.bucketSizeX.peek() == 32 && c.bucketSizeY.peek() == 64; }},
        {"QvSetTolerance", [] { QvSetTolerance(0.125); }, [&] { return c.tolerance == 0.125; }},
        {"QvSetMaxDistance", [] { QvSetMaxDistance(500.0); }, [&] { return c.maxDistance == 500.0; }},
        {"QvSetMotionVector", [] { QvSetMotionVector(false); }, [&] { return !c.motionVectors; }},
        {"QvSetRenderTransparencyMode", [] { QvSetRenderTransparencyMode(TRANSP); },
         [&] { return c.transparencyMode.peek() == TRANSP; }},
        {"QvSetOutFilePath", [] { QvSetOutFilePath("/out/render.qvl"); },
         [&] { return c.outFilePath == "/out/render.qvl"; }},
        {"QvSetDetectFilePath", [] { QvSetDetectFilePath("/missing/detect.qvl"); },
         [&] { return c.detectFilePath == "/missing/detect.qvl"; }},
        {"QvSetWorldToCamMatrix", [] { QvSetWorldToCamMatrix(kTranslation); },
         [&] { return c.worldToCamera == kTranslation && c.cameraToWorld[3][0] == 10.0f; }},
        {"QvSetOutputResolution", [] { QvSetOutputResolution(624, 416); },
         [&] { return c.outputResolutionX.peek() == 624.0 && c.outputResolutionY.peek() == 416.0; }},
        {"QvSetRenderingResolutionParameters", [] { QvSetRenderingResolutionParameters({40, 20, 1, true}); },
         [&] { return c.renderingResolutionX.peek() == 40.0 && c.renderingAspect == 2.0; }},
    };
}

void expectRefused(const char* message)
{
    for (const auto& s : setterCases()) {
        SCOPED_TRACE(s.name);
        LogCapture capture;
        s.apply();
        EXPECT_FALSE(s.applied());
        ASSERT_EQ(capture.entries().size(), 1u);
        EXPECT_EQ(capture.entries()[0].level, ERROR);
        EXPECT_EQ(capture.messages()[0], message);
    }
}

} // namespace

TEST_F(SettersTest, SettersStoreTheirValuesWhileConfiguring)
{
    configureDetection();
    for (const auto& s : setterCases()) {
        SCOPED_TRACE(s.name);
        LogCapture capture;
        s.apply();
        EXPECT_TRUE(s.applied());
        EXPECT_TRUE(capture.messages().empty());
    }
}

TEST_F(SettersTest, SettersAreRefusedWithoutAPhase)
{
    QvInitPhase(static_cast<Phase>(-1), Quorvel::Util::RE_VRay);
    expectRefused("[Quorvel] Begin a Phase before setting it.\n");
}

TEST_F(SettersTest, SettersAreRefusedOnceThePhaseHasBegun)
{
    configureDetection();
    ASSERT_TRUE(QvPhaseBegin());
    expectRefused("[Quorvel] Unable to set the phase after its initialization\n");
}

TEST_F(SettersTest, SceneUpVectorIsNormalised)
{
    QvInitPhase(Detect, Quorvel::Util::RE_VRay);
    QvSetSceneUpVector({0, 2, 0});
    EXPECT_EQ(ctx().sceneUp.get().x, 0.0f);
    EXPECT_EQ(ctx().sceneUp.get().y, 1.0f);
    EXPECT_EQ(ctx().sceneUp.get().z, 0.0f);
    QvSetSceneUpVector({0, 0, 0});
    EXPECT_TRUE(ctx().sceneUp.isSet());
    EXPECT_EQ(ctx().sceneUp.get().x, 0.0f);
    EXPECT_EQ(ctx().sceneUp.get().y, 0.0f);
    EXPECT_EQ(ctx().sceneUp.get().z, 0.0f);
}

TEST_F(SettersTest, CameraToWorldIsAcceptedInEveryStateAndPairsWithItsInverse)
{
    const VekMatrix4 cameraToWorld = {{{0, 1, 0, 0}, {-1, 0, 0, 0}, {0, 0, 1, 0}, {3, 5, 7, 1}}};
    const VekMatrix4 worldToCamera = {{{0, -1, 0, 0}, {1, 0, 0, 0}, {0, 0, 1, 0}, {-5, 3, -7, 1}}};

    QvInitPhase(static_cast<Phase>(-1), Quorvel::Util::RE_VRay);
    LogCapture capture;
    QvSetCameraToWorldMatrix(cameraToWorld);
    EXPECT_EQ(ctx().cameraToWorld, cameraToWorld);
    EXPECT_EQ(ctx().worldToCamera, worldToCamera);
    QvSetWorldToCamMatrix(kTranslation); // refused without a phase
    EXPECT_EQ(ctx().worldToCamera, worldToCamera);
    EXPECT_EQ(capture.messages(), std::vector<std::string>{"[Quorvel] Begin a Phase before setting it.\n"});

    configureDetection();
    ASSERT_TRUE(QvPhaseBegin());
    QvSetCameraToWorldMatrix(cameraToWorld);
    EXPECT_EQ(ctx().worldToCamera, worldToCamera);
}

TEST_F(SettersTest, ClippingCentreIsTakenToCameraSpaceAndSurvivesInit)
{
    QvInitPhase(Detect, Quorvel::Util::RE_VRay);
    QvSetWorldToCamMatrix(kTranslation);
    QvSetClippingSphere(true, {1, 2, 3}, 4.5f, false);
    const auto& c = ctx();
    EXPECT_TRUE(c.clipEnabled);
    EXPECT_FALSE(c.clipInside);
    EXPECT_EQ(c.clipRadius, 4.5f);
    EXPECT_EQ(c.clipCentreWorld.y, 2.0f);
    EXPECT_EQ(c.clipCentreCamera.x, -9.0f);
    EXPECT_EQ(c.clipCentreCamera.y, 6.0f);
    EXPECT_EQ(c.clipCentreCamera.z, 5.0f);

    // No state check: also accepted while running and without a phase.
    QuorvelTest::setMandatorySettings();
    ASSERT_TRUE(QvSetRenderingResolutionParameters({312, 208, 1, true}));
    ASSERT_TRUE(QvPhaseBegin());
    QvSetClippingSphere(false, {0, 0, 1}, 2.0f, true);
    EXPECT_EQ(c.clipCentreCamera.z, 3.0f);
    ASSERT_TRUE(QvPhaseTerminate(Discard));
    QvSetClippingSphere(true, {0, 0, 0}, 1.0f, true);
    QvInitPhase(Render, Quorvel::Util::RE_VRay);
    EXPECT_TRUE(c.clipEnabled);
    EXPECT_TRUE(c.clipInside);
    EXPECT_EQ(c.clipRadius, 1.0f);
    EXPECT_EQ(c.clipCentreCamera.x, -10.0f);
}

TEST_F(SettersTest, DetectFilePathMustExistInTheRenderPhase)
{
    const std::string file = dir.write("detect.qvl", "x");
    QvInitPhase(Render, Quorvel::Util::RE_VRay);
    const struct {
        std::string path;
        std::string stored;
        std::vector<std::string> log;
    } cases[] = {
        {file, file, {}},
        {"", file, {"[Quorvel] the detection file has not been set.\n"}},
        {dir.file("nope.qvl"), file, {"[Quorvel] the detection file '" + dir.file("nope.qvl") + "' doesn't exist.\n"}},
        {dir.file(""), dir.file(""), {}}, // a directory is an existing entry
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        LogCapture capture;
        QvSetDetectFilePath(c.path.c_str());
        EXPECT_EQ(ctx().detectFilePath, c.stored);
        EXPECT_EQ(capture.messages(), c.log);
        for (const auto& e : capture.entries())
            EXPECT_EQ(e.level, ERROR);
    }

    QvInitPhase(Detect, Quorvel::Util::RE_VRay);
    LogCapture capture;
    QvSetDetectFilePath("");
    EXPECT_EQ(ctx().detectFilePath, "");
    QvSetDetectFilePath("/no/such/file");
    EXPECT_EQ(ctx().detectFilePath, "/no/such/file");
    EXPECT_TRUE(capture.messages().empty());
}

TEST_F(SettersTest, ReadingAnUnsetValueLogsAndThrows)
{
    QvInitPhase(Detect, Quorvel::Util::RE_VRay);
    expectMisuse([] { (void)ctx().frame.get(); }, "[Quorvel] Accessing value that has not been set");
    expectMisuse([] { (void)ctx().outputResolutionY.get(); }, "[Quorvel] Accessing value that has not been set");
    try {
        (void)ctx().transparencyMode.get();
        FAIL() << "no exception";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), std::exception().what());
    }
    QvSetCurrentFrame(4, 0);
    EXPECT_EQ(ctx().frame.get(), 4);
}
