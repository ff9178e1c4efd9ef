#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/context/ContextTestSupport.h"

using namespace Quorvel::Phase;
using Quorvel::Logger::DEBUG;
using Quorvel::Logger::ERROR;
using Quorvel::Logger::INFO;
using Quorvel::Logger::LogLevel;
using Quorvel::Logger::WARNING;
using QuorvelTest::ctx;
using QuorvelTest::LogCapture;

namespace {

using ReportTest = QuorvelTest::ContextTest;

struct Line {
    LogLevel level;
    std::string text;
};

// The report is the last thing begin logs: everything from its first line on.
std::vector<Line> reportFrom(const LogCapture& capture, const std::string& firstLine)
{
    std::vector<Line> lines;
    bool inReport = false;
    for (const auto& e : capture.entries()) {
        const std::string text = LogCapture::stripHeader(e.text);
        inReport = inReport || text == firstLine;
        if (inReport)
            lines.push_back({e.level, text});
    }
    return lines;
}

void expectLines(const std::vector<Line>& actual, const std::vector<Line>& expected)
{
    ASSERT_EQ(actual.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE("line " + std::to_string(i));
        EXPECT_EQ(actual[i].level, expected[i].level);
        EXPECT_EQ(actual[i].text, expected[i].text);
    }
}

// Distinctive values for every reported setting.
void setReportedSettings()
{
    QvSetZovScaling(1.5f, 0.5f, 2.0f);
    QvSetRenderScale(2.0);
    QvSetDistanceToGround(1.75);
    QvSetRenderInsideBox(true);
    QvSetCurrentFrame(12, 4);
    QvSetZovOffset(1, -2, 3);
    QvSetSceneUpVector({0, 0, 3});
    QvSetSpecularPointOffset({0.5f, 0.0f, -1.0f});
    QvSetCameraToWorldMatrix({{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {10, 20, 30, 1}}});
    QvSetThreadNumber(2);
    QvSetBucketSize(16, 8);
    QvSetOutFilePath("/shots/out.qvl");
}

// The adjugate inverse leaves negative zeros, and %f shows them.
const std::string kWorldToCam = "[Quorvel] worldToCam= { {1.000000 , -0.000000 , 0.000000 , -0.000000},{-0.000000 , "
                                "1.000000 , -0.000000 , 0.000000},{0.000000 , -0.000000 , 1.000000 , -0.000000},"
                                "{-10.000000 , -20.000000 , -30.000000 , 1.000000}}\n ";
const std::string kCamToWorld = "[Quorvel] camToWorld= { {1.000000 , 0.000000 , 0.000000 , 0.000000},{0.000000 , "
                                "1.000000 , 0.000000 , 0.000000},{0.000000 , 0.000000 , 1.000000 , 0.000000},"
                                "{10.000000 , 20.000000 , 30.000000 , 1.000000}}\n ";

} // namespace

TEST_F(ReportTest, DetectionPhaseReport)
{
    QvInitPhase(Detect, Quorvel::Util::RE_VRay);
    QuorvelTest::setMandatorySettings();
    QvSetDraft(true);
    QvSetRenderTransparencyMode(BOTH);
    setReportedSettings();
    ASSERT_TRUE(QvSetRenderingResolutionParameters(QvComputeRenderingResolutionParameters(312, 208)));

    LogCapture capture;
    ASSERT_TRUE(QvPhaseBegin());
    expectLines(reportFrom(capture, "[Quorvel] Detection Phase.\n"),
                {
                    {INFO, "[Quorvel] Detection Phase.\n"},
                    {DEBUG, "[Quorvel] Rendering resolution 312x208.\n"},
                    {INFO, "[Quorvel] Output detection file path /shots/out.qvl.\n"},
                    {INFO, "[Quorvel] output resolution 312x208.\n"},
                    {INFO, "[Quorvel] draft_mode : On."},
                    {INFO, "[Quorvel] view_scale Length 1.500000 Height 0.500000 Width 2.000000 meters."},
                    {INFO, "[Quorvel] render_scale 2.000000."},
                    {INFO, "[Quorvel] Distance to ground 1.750000\n"},
                    {INFO, "[Quorvel] rendering inside zone of view enabled\n"},
                    {INFO, "[Quorvel] multibox_offset : right 1 top -2 back 3."},
                    {INFO, "[Quorvel] render_quorvel_glass_mode 3 : 'opaques and transp' Combine in one pass the "
                           "opaques and the tranparencies"},
                    {DEBUG, "[Quorvel] scene vecteur up 0.000000 0.000000 1.000000"},
                    {DEBUG, "[Quorvel] rendering frame 12   padding 4   separator \".\".\n"},
                    {DEBUG, "[Quorvel] specular point world 47.500000 20.000000 -70.000000\n"},
                    {DEBUG, "[Quorvel] specular point local 37.500000 0.000000 -100.000000\n"},
                    {DEBUG, "[Quorvel] bucket Number 2/2 \n"},
                    {DEBUG, "[Quorvel] bucket Region size 16/8\n"},
                    {DEBUG, "[Quorvel] registered Aovs 0 \n"},
                    {DEBUG, kWorldToCam},
                    {DEBUG, kCamToWorld},
                });
}

TEST_F(ReportTest, RenderPhaseReport)
{
    const std::string file = dir.write("d.qvl", QuorvelTest::qvlFileBytes(QuorvelTest::detectionHeaderJson(100)));
    QvInitPhase(Render, Quorvel::Util::RE_VRay);
    QuorvelTest::setMandatorySettings();
    setReportedSettings();
    QvSetDeepReflection(RC_LeftAndRight, 64.0);
    QvSetMotionVector(false);
    QvSetDetectFilePath(file.c_str());
    QvRenderPhaseRegisterAov(5, "myChannel", AOV_RGBA);
    const QvResolutionParam p = QvComputeRenderingResolutionParameters(3);
    ASSERT_EQ(p.x, 6u);
    ASSERT_TRUE(QvSetRenderingResolutionParameters(p));
    ASSERT_TRUE(QvSetCurrentBlockIndex(2));

    LogCapture capture;
    ASSERT_TRUE(QvPhaseBegin());
    expectLines(reportFrom(capture, "[Quorvel] Render Phase.\n"),
                {
                    {INFO, "[Quorvel] Render Phase.\n"},
                    {INFO, "[Quorvel] Input detection file path " + file + ".\n"},
                    {INFO, "[Quorvel] Rendering block 2/3.\n"},
                    {INFO, "[Quorvel] Input rendering resolution 312x208.\n"},
                    {INFO, "[Quorvel] output render image path /shots/out.qvl.\n"},
                    {INFO, "[Quorvel] output resolution 312x208.\n"},
                    {INFO, "[Quorvel] draft_mode : Off."},
                    {INFO, "[Quorvel] view_scale Length 1.500000 Height 0.500000 Width 2.000000 meters."},
                    {INFO, "[Quorvel] render_scale 2.000000."},
                    {INFO, "[Quorvel] Distance to ground 1.750000\n"},
                    {INFO, "[Quorvel] rendering inside zone of view enabled\n"},
                    {INFO, "[Quorvel] Rendering Left and Right eyes. IPD 64.000000.\n"},
                    {INFO, "[Quorvel] Motion vectors are turned off on demand.\n"},
                    {INFO, "[Quorvel] specular_point_offset : right 0.500000 top 0.000000 back -1.000000."},
                    {INFO, "[Quorvel] multibox_offset : right 1 top -2 back 3."},
                    {INFO, "[Quorvel] render_quorvel_glass_mode 1 : 'opaques' Render paththrough qvl_* tagged "
                           "surfaces ( or surfaces with BRDFQvlGlass applied in standalone )"},
                    {DEBUG, "[Quorvel] scene vecteur up 0.000000 0.000000 1.000000"},
                    {DEBUG, "[Quorvel] rendering frame 12   padding 4   separator \".\".\n"},
                    {DEBUG, "[Quorvel] specular point world 47.500000 20.000000 -70.000000\n"},
                    {DEBUG, "[Quorvel] specular point local 37.500000 0.000000 -100.000000\n"},
                    {DEBUG, "[Quorvel] bucket Number 2/2 \n"},
                    {DEBUG, "[Quorvel] bucket Region size 16/8\n"},
                    {DEBUG, "[Quorvel] registered Aovs 4 \n"},
                    {DEBUG, "[Quorvel] \tAOVAlias(-268435455)  name(Cd_Right) index(1) type(3) \n"},
                    {DEBUG, "[Quorvel] \tAOVAlias(-268435454)  name(qvlTransp) index(2) type(1) \n"},
                    {DEBUG, "[Quorvel] \tAOVAlias(-268435452)  name(qvlCockpit) index(3) type(1) \n"},
                    {DEBUG, "[Quorvel] \tAOVAlias(5)  name(myChannel) index(0) type(4) \n"},
                    {DEBUG, kWorldToCam},
                    {DEBUG, kCamToWorld},
                });
}

TEST_F(ReportTest, EyeAndTransparencyLinesFollowTheirSettings)
{
    const std::string file = dir.write("d.qvl", QuorvelTest::qvlFileBytes(QuorvelTest::detectionHeaderJson(100)));
    const struct {
        int32_t eye;
        int32_t mode;
        Line eyeLine;
        Line modeLine;
    } cases[] = {
        {RC_Left, IGNORE, {INFO, "[Quorvel] Rendering Left eye. IPD 63.500000.\n"},
         {INFO, "[Quorvel] render_quorvel_glass_mode 0 :  qvl_* tags are ignored."}},
        {RC_Right, TRANSP, {INFO, "[Quorvel] Rendering Right eye. IPD 63.500000.\n"},
         {INFO, "[Quorvel] render_quorvel_glass_mode 2 : 'transp' Render only qvl_* tagged surfaces ( or surfaces "
                "with BRDFQvlGlass applied in standalone )"}},
        {7, 9, {ERROR, "[Quorvel] unknown specular rendering.\n"}, {WARNING, "[Quorvel] Unknown transparency pass\n"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.eyeLine.text);
        QuorvelTest::endAnyPhase();
        QuorvelTest::configureRender(file);
        QvSetDeepReflection(static_cast<Eye>(c.eye), 63.5);
        QvSetRenderTransparencyMode(static_cast<TransparencyRenderingType>(c.mode));
        LogCapture capture;
        ASSERT_TRUE(QvPhaseBegin());
        const auto report = reportFrom(capture, "[Quorvel] Render Phase.\n");
        ASSERT_GE(report.size(), 15u);
        EXPECT_EQ(report[11].level, c.eyeLine.level);
        EXPECT_EQ(report[11].text, c.eyeLine.text);
        EXPECT_EQ(report[14].level, c.modeLine.level);
        EXPECT_EQ(report[14].text, c.modeLine.text);
    }
}

TEST_F(ReportTest, DetectionPhaseWithoutTransparencyModeReportsItUnknown)
{
    QuorvelTest::configureDetection();
    ctx().transparencyMode = QvOptional<TransparencyRenderingType>();
    LogCapture capture;
    ASSERT_TRUE(QvPhaseBegin());
    const auto report = reportFrom(capture, "[Quorvel] Detection Phase.\n");
    ASSERT_GE(report.size(), 11u);
    EXPECT_EQ(report[9].text, "[Quorvel] multibox_offset : right 1 top 2 back 3.");
    EXPECT_EQ(report[10].level, WARNING);
    EXPECT_EQ(report[10].text, "[Quorvel] Unknown transparency pass\n");
}
