#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "context/PhaseInternal.h"
#include "core/context/ContextTestSupport.h"

using namespace Quorvel::Phase;
using namespace Quorvel::Block;
using Quorvel::Logger::DEBUG;
using Quorvel::Logger::ERROR;
using Quorvel::Logger::LogLevel;
using Quorvel::Logger::WARNING;
using QuorvelTest::ctx;
using QuorvelTest::LogCapture;
using QuorvelTest::qvlFileBytes;

namespace {

using ResolutionTest = QuorvelTest::ContextTest;

struct Entry {
    LogLevel level;
    std::string text;
};

void expectLog(const LogCapture& capture, const std::vector<Entry>& expected)
{
    const auto entries = capture.entries();
    ASSERT_EQ(entries.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(entries[i].level, expected[i].level);
        EXPECT_EQ(LogCapture::stripHeader(entries[i].text), expected[i].text);
    }
}

void expectParams(const QvResolutionParam& p, uint64_t x, uint64_t y, uint64_t blocks)
{
    EXPECT_TRUE(p.valid);
    EXPECT_EQ(p.x, x);
    EXPECT_EQ(p.y, y);
    EXPECT_EQ(p.blockCount, blocks);
}

void expectInvalid(const QvResolutionParam& p)
{
    EXPECT_FALSE(p.valid);
    EXPECT_EQ(p.x, 0u);
    EXPECT_EQ(p.y, 0u);
    EXPECT_EQ(p.blockCount, 0u);
}

// Render phase with a complete context, before any rendering resolution.
void configureRenderSettings(const std::string& detectionFile)
{
    QvInitPhase(Render, Quorvel::Util::RE_VRay);
    QuorvelTest::setMandatorySettings();
    QvSetDetectFilePath(detectionFile.c_str());
}

std::string readError(const std::string& path)
{
    return "error(-2) reading file (" + path + ")";
}

} // namespace

TEST_F(ResolutionTest, OutputResolutionRules)
{
    const char* const ratio = "[Quorvel] Target image ratio should be 3:2.\n";
    const char* const multiple = "[Quorvel] Target image resolution must be a multiple of 8.\n";
    const struct {
        uint64_t x, y;
        std::vector<Entry> log;
    } cases[] = {
        {6000, 4000, {}},
        {312, 208, {}},
        {1920, 1280, {}},
        {3000, 2000, {}},
        {6008, 4000, {{ERROR, ratio}}},
        {1000, 667, {{ERROR, ratio}}},
        {1000, 0, {{ERROR, ratio}}},
        {3003, 2002, {{ERROR, multiple}, {WARNING, "[Quorvel] consider using 3000x2000 instead of 3003x2002 \n"}}},
        {300, 200, {{ERROR, multiple}, {WARNING, "[Quorvel] consider using 312x208 instead of 300x200 \n"}}},
        {6060, 4040, {{ERROR, multiple}, {WARNING, "[Quorvel] consider using 6000x4000 instead of 6060x4040 \n"}}},
        {6012, 4008, {{ERROR, multiple}, {WARNING, "[Quorvel] consider using 6000x4000 instead of 6012x4008 \n"}}},
        {6024, 4016,
         {{ERROR, "[Quorvel] Invalid target image resolution for X: 6024. (must be between [312 and 6000]).\n"}}},
        {288, 192,
         {{ERROR, "[Quorvel] Invalid target image resolution for X: 288. (must be between [312 and 6000]).\n"}}},
        {0, 0, {{ERROR, "[Quorvel] Invalid target image resolution for X: 0. (must be between [312 and 6000]).\n"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.x) + "x" + std::to_string(c.y));
        QvInitPhase(Detect, Quorvel::Util::RE_VRay);
        LogCapture capture;
        QvSetOutputResolution(c.x, c.y);
        expectLog(capture, c.log);
        const bool accepted = c.log.empty();
        EXPECT_EQ(ctx().outputResolutionX.isSet(), accepted);
        EXPECT_EQ(ctx().outputResolutionY.isSet(), accepted);
        if (accepted) {
            EXPECT_EQ(ctx().outputResolutionX.get(), static_cast<double>(c.x));
            EXPECT_EQ(ctx().outputResolutionY.get(), static_cast<double>(c.y));
            EXPECT_EQ(ctx().outputAspect, 1.5);
        }
    }
}

TEST_F(ResolutionTest, CompletenessCheckWarnsAboutEveryMissingItem)
{
    QvInitPhase(Detect, Quorvel::Util::RE_VRay);
    {
        LogCapture capture;
        expectInvalid(QvComputeRenderingResolutionParameters(312, 208));
        expectLog(capture, {
                               {WARNING, "[Quorvel] draftMode is not set.\n"},
                               {WARNING, "[Quorvel] the frame number is not set.\n"},
                               {WARNING, "[Quorvel] the ZOV offset for multibox is not set.\n"},
                               {WARNING, "[Quorvel] the output resolution is not set.\n"},
                               {WARNING, "[Quorvel] the transparency pass type is not set.\n"},
                               {ERROR, "[Quorvel] Unable to create IO paths for Quorvel. Context is partialy set.\n"},
                           });
    }
    const struct {
        const char* name;
        std::function<void()> set;
        std::vector<Entry> log;
    } cases[] = {
        {"frame missing", [] { QvSetDraft(true); QvSetZovOffset(0, 0, 0); QvSetOutputResolution(312, 208); },
         {{WARNING, "[Quorvel] the frame number is not set.\n"},
          {WARNING, "[Quorvel] the transparency pass type is not set.\n"},
          {ERROR, "[Quorvel] Unable to create IO paths for Quorvel. Context is partialy set.\n"}}},
        {"transparency only", [] { QvSetDraft(true); QvSetCurrentFrame(1, 0); QvSetZovOffset(0, 0, 0);
                                   QvSetOutputResolution(312, 208); },
         {{WARNING, "[Quorvel] the transparency pass type is not set.\n"}}},
        {"complete", [] { QuorvelTest::setMandatorySettings(); }, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QvInitPhase(Detect, Quorvel::Util::RE_VRay);
        c.set();
        LogCapture capture;
        EXPECT_EQ(checkContextCompleteness(), c.log.size() <= 1);
        expectLog(capture, c.log);
        // The get function runs the same check first.
        capture.clear();
        EXPECT_EQ(QvGetRenderingResolutionParameters().valid, c.log.size() <= 1);
        expectLog(capture, c.log);
    }
}

TEST_F(ResolutionTest, DetectionPhaseRendersAtTheOutputResolution)
{
    QvInitPhase(Detect, Quorvel::Util::RE_VRay);
    QuorvelTest::setMandatorySettings();
    {
        LogCapture capture;
        expectParams(QvComputeRenderingResolutionParameters(312, 208), 312, 208, 1);
        expectParams(QvGetRenderingResolutionParameters(), 312, 208, 1);
        EXPECT_TRUE(capture.entries().empty());
    }
    {
        LogCapture capture;
        expectParams(QvComputeRenderingResolutionParameters(640, 208), 312, 208, 1);
        expectLog(capture, {{WARNING, "[Quorvel] Rendering resolution is different than the final Qvl file "
                                      "resolution, this is not supported in the detection phase.\n"}});
    }
    {
        LogCapture capture;
        expectParams(QvComputeRenderingResolutionParameters(uint64_t{4}), 312, 208, 1);
        expectLog(capture, {{WARNING, "[Quorvel] multiple blocks for the detection phase is not supported.\n"}});
        EXPECT_FALSE(ctx().blockCount.isSet());
    }
    // A complete context whose phase has ended computes nothing.
    ASSERT_TRUE(QvSetRenderingResolutionParameters(QvComputeRenderingResolutionParameters(312, 208)));
    ASSERT_TRUE(QvPhaseBegin());
    ASSERT_TRUE(QvPhaseTerminate(Discard));
    LogCapture capture;
    expectInvalid(QvComputeRenderingResolutionParameters(312, 208));
    expectInvalid(QvComputeRenderingResolutionParameters(uint64_t{2}));
    expectInvalid(QvGetRenderingResolutionParameters());
    EXPECT_TRUE(capture.entries().empty());
}

TEST_F(ResolutionTest, RenderPhaseSplitsThePlaquesIntoBlocks)
{
    const std::string million = dir.write("m.qvl", qvlFileBytes(QuorvelTest::detectionHeaderJson(1000000)));
    const std::string millionAndOne = dir.write("m1.qvl", qvlFileBytes(QuorvelTest::detectionHeaderJson(1000001)));
    configureRenderSettings(million);
    LogCapture capture;
    expectParams(QvComputeRenderingResolutionParameters(1000, 1000), 1000, 1000, 1);
    expectParams(QvComputeRenderingResolutionParameters(999, 1000), 999, 1000, 2);
    expectParams(QvComputeRenderingResolutionParameters(1, 1), 1, 1, 1000000);
    expectParams(QvGetRenderingResolutionParameters(), 1000, 1000, 1);
    EXPECT_TRUE(capture.entries().empty());
    EXPECT_FALSE(ctx().renderingResolutionX.isSet());

    // The override takes precedence over the detection file.
    QvSetDetectPhaseOverride(millionAndOne);
    expectParams(QvGetRenderingResolutionParameters(), 1001, 1001, 1);
    expectParams(QvComputeRenderingResolutionParameters(uint64_t{4}), 501, 501, 4);
    EXPECT_EQ(ctx().renderingResolutionX.get(), 501.0);
    EXPECT_EQ(ctx().renderingResolutionY.get(), 501.0);
    EXPECT_EQ(ctx().blockCount.get(), 4u);
    expectParams(QvComputeRenderingResolutionParameters(uint64_t{1}), 1001, 1001, 1);
    expectParams(QvComputeRenderingResolutionParameters(uint64_t{1000001}), 1, 1, 1000001);
    EXPECT_TRUE(capture.entries().empty());
}

TEST_F(ResolutionTest, RenderPhaseReportsAnUnreadableDetectionFile)
{
    const std::string missing = dir.file("missing.qvl");
    configureRenderSettings(dir.write("exists.qvl", "not a detection file"));
    QvSetDetectPhaseOverride(missing);
    {
        LogCapture capture;
        expectInvalid(QvComputeRenderingResolutionParameters(10, 10));
        expectLog(capture, {{ERROR, readError(missing)},
                            {ERROR, "[Quorvel] Cannot read the detection file " + missing + " .\n"}});
    }
    {
        LogCapture capture;
        expectInvalid(QvComputeRenderingResolutionParameters(uint64_t{3}));
        expectInvalid(QvGetRenderingResolutionParameters());
        expectLog(capture, {{ERROR, readError(missing)}, {ERROR, readError(missing)}});
        EXPECT_FALSE(ctx().blockCount.isSet());
    }
    QvSetDetectPhaseOverride("");
    LogCapture capture;
    expectInvalid(QvComputeRenderingResolutionParameters(10, 10));
    EXPECT_EQ(capture.messages()[0], "error(-3) reading file (" + ctx().detectFilePath + ")");
}

TEST_F(ResolutionTest, DegenerateSizesAreRefusedInsteadOfDividingByZero)
{
    configureRenderSettings(dir.write("d.qvl", qvlFileBytes(QuorvelTest::detectionHeaderJson(50))));
    LogCapture capture;
    expectInvalid(QvComputeRenderingResolutionParameters(0, 10));
    expectInvalid(QvComputeRenderingResolutionParameters(uint64_t{0}));
    EXPECT_EQ(QvGetBlockCountFromRenderingResolution(ctx().detectFilePath, 10, 0), 0u);
    expectLog(capture, {{ERROR, "[Quorvel] invalid resolution params.\n"},
                        {ERROR, "[Quorvel] You must have at least one block to render\n"},
                        {ERROR, "[Quorvel] invalid resolution params.\n"}});
    EXPECT_EQ(QvGetBlockCountFromRenderingResolution(ctx().detectFilePath, uint64_t{1} << 32, uint64_t{1} << 32), 1u);

    // 2^64 - 1 plaques on one pixel: the block count rounds past 64 bits.
    QvSetDetectPhaseOverride(dir.write("huge.qvl", qvlFileBytes(QuorvelTest::detectionHeaderJson(UINT64_MAX))));
    capture.clear();
    expectInvalid(QvComputeRenderingResolutionParameters(1, 1));
    expectLog(capture, {{ERROR, "[Quorvel] invalid resolution params.\n"}});
}

TEST_F(ResolutionTest, SettingTheRenderingParametersChecksThemFirst)
{
    const std::string five = dir.write("five.qvl", qvlFileBytes(QuorvelTest::detectionHeaderJson(5)));
    const std::string empty = dir.write("empty.qvl", qvlFileBytes(QuorvelTest::detectionHeaderJson(0)));
    const char* const atLeastOne = "[Quorvel] You must have at least one block to render\n";
    const struct {
        const char* name;
        std::function<void()> prepare;
        QvResolutionParam params;
        const char* message; // nullptr: accepted
    } cases[] = {
        {"invalid", [] { QvInitPhase(Detect, Quorvel::Util::RE_VRay); }, {10, 10, 1, false},
         "[Quorvel] invalid resolution params.\n"},
        {"no phase", [] { QvInitPhase(static_cast<Phase>(-1), Quorvel::Util::RE_VRay); }, {10, 10, 1, true},
         "[Quorvel] Begin a Phase before setting it.\n"},
        {"running",
         [] {
             QuorvelTest::configureDetection();
             ASSERT_TRUE(QvPhaseBegin());
         },
         {10, 10, 1, true}, "[Quorvel] Unable to set the phase after its initialization\n"},
        {"detection blocks", [] { QvInitPhase(Detect, Quorvel::Util::RE_VRay); }, {10, 10, 2, true},
         "[Quorvel] Unable to render multiple blocks during the detection phase.\n"},
        {"detection zero blocks", [] { QvInitPhase(Detect, Quorvel::Util::RE_VRay); }, {10, 10, 0, true},
         atLeastOne},
        {"render zero blocks with plaques", [&] { configureRenderSettings(five); }, {10, 10, 0, true}, atLeastOne},
        {"render zero blocks of an empty file", [&] { configureRenderSettings(empty); }, {10, 10, 0, true},
         nullptr},
        {"detection one block", [] { QvInitPhase(Detect, Quorvel::Util::RE_VRay); }, {40, 20, 1, true}, nullptr},
        {"render three blocks", [&] { configureRenderSettings(five); }, {2, 1, 3, true}, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QuorvelTest::endAnyPhase();
        c.prepare();
        const bool wasSet = ctx().renderingResolutionX.isSet();
        const double before = ctx().renderingResolutionX.peek();
        LogCapture capture;
        const bool accepted = QvSetRenderingResolutionParameters(c.params);
        if (c.message) {
            EXPECT_FALSE(accepted);
            expectLog(capture, {{ERROR, c.message}});
            EXPECT_EQ(ctx().renderingResolutionX.isSet(), wasSet);
            EXPECT_EQ(ctx().renderingResolutionX.peek(), before);
            continue;
        }
        EXPECT_TRUE(accepted);
        EXPECT_EQ(ctx().renderingResolutionX.get(), static_cast<double>(c.params.x));
        EXPECT_EQ(ctx().renderingResolutionY.get(), static_cast<double>(c.params.y));
        EXPECT_EQ(ctx().renderingAspect, static_cast<double>(c.params.x) / static_cast<double>(c.params.y));
        EXPECT_EQ(ctx().blockCount.get(), c.params.blockCount);
        EXPECT_EQ(ctx().currentBlock.isSet(), c.params.blockCount < 2);
        if (c.params.blockCount < 2) {
            EXPECT_EQ(ctx().currentBlock.get(), 0u);
        }
    }
}

TEST_F(ResolutionTest, CurrentBlockSelectionRecreatesThePixelCounters)
{
    configureRenderSettings(dir.write("d.qvl", qvlFileBytes(QuorvelTest::detectionHeaderJson(50))));
    {
        LogCapture capture;
        EXPECT_FALSE(QvSetCurrentBlockIndex(0));
        expectLog(capture, {{ERROR, "[Quorvel] Unable to set block, the renderingParameters is not set.\n"}});
    }
    ASSERT_TRUE(QvSetRenderingResolutionParameters({4, 5, 3, true}));
    {
        LogCapture capture;
        EXPECT_FALSE(QvSetCurrentBlockIndex(3));
        expectLog(capture,
                  {{ERROR, "[Quorvel] Unable to set the block 3 greater than the number of block 3 .\n"}});
        EXPECT_FALSE(ctx().currentBlock.isSet());
    }
    ctx().raysShot.assign(7, 9);
    ctx().samplesReceived.clear();
    ctx().sampleIndexCounters.assign(20, 3);
    ctx().tempRecordCount = 42;
    {
        LogCapture capture;
        EXPECT_TRUE(QvSetCurrentBlockIndex(2));
        expectLog(capture, {{DEBUG, "[Quorvel] number of samples 42 "}});
    }
    EXPECT_EQ(ctx().currentBlock.get(), 2u);
    for (const auto* counter : {&ctx().sampleIndexCounters, &ctx().raysShot, &ctx().samplesReceived})
        EXPECT_EQ(*counter, std::vector<uint16_t>(20, 0));

    // No phase-state check: a running phase may switch blocks too.
    ASSERT_TRUE(QvPhaseBegin());
    EXPECT_TRUE(QvSetCurrentBlockIndex(0));
    EXPECT_EQ(ctx().currentBlock.get(), 0u);
}

TEST_F(ResolutionTest, ZeroBlocksAcceptEveryIndex)
{
    configureRenderSettings(dir.write("e.qvl", qvlFileBytes(QuorvelTest::detectionHeaderJson(0))));
    ASSERT_TRUE(QvSetRenderingResolutionParameters({1, 1, 0, true}));
    EXPECT_TRUE(QvSetCurrentBlockIndex(5));
    EXPECT_EQ(ctx().currentBlock.get(), 5u);
}

TEST_F(ResolutionTest, BlockCountFromTheFileHeader)
{
    const std::string million = dir.write("m.qvl", qvlFileBytes(QuorvelTest::detectionHeaderJson(1000000)));
    const std::string missing = dir.file("missing.qvl");
    LogCapture capture;
    EXPECT_EQ(QvGetBlockCountFromRenderingResolution(million, 1000, 1000), 2u);
    EXPECT_EQ(QvGetBlockCountFromRenderingResolution(million, 999, 1000), 2u);
    EXPECT_EQ(QvGetBlockCountFromRenderingResolution(million, 2000, 1000), 1u);
    uint64_t width = 0;
    uint64_t height = 0;
    EXPECT_TRUE(QvGetRenderingResolutionFromBlockCount(million, 4, width, height));
    EXPECT_EQ(width, 1000u);
    EXPECT_EQ(height, 1000u);
    EXPECT_TRUE(capture.entries().empty());

    EXPECT_EQ(QvGetBlockCountFromRenderingResolution(missing, 10, 10), 0u);
    width = height = 7;
    EXPECT_FALSE(QvGetRenderingResolutionFromBlockCount(missing, 1, width, height));
    EXPECT_EQ(width, 7u);
    expectLog(capture, {{ERROR, readError(missing)}, {ERROR, readError(missing)}});

    // Without arguments: the context's file, or its override, at the output resolution.
    const std::string small = dir.write("s.qvl", qvlFileBytes(QuorvelTest::detectionHeaderJson(312 * 208 * 2)));
    configureRenderSettings(million);
    EXPECT_EQ(QvGetBlockCountFromRenderingResolution(), 1000000u / (312u * 208u) + 1u);
    QvSetDetectPhaseOverride(small);
    EXPECT_EQ(QvGetBlockCountFromRenderingResolution(), 3u);
    EXPECT_EQ(QvGetDetectPhaseFileFromQuorvelContext(), million);
}

TEST_F(ResolutionTest, DetectPhaseOverrideIsStoredInAnyState)
{
    QvInitPhase(static_cast<Phase>(-1), Quorvel::Util::RE_VRay);
    LogCapture capture;
    QvSetDetectPhaseOverride("/a/b.qvl");
    EXPECT_EQ(ctx().detectPhaseOverride, "/a/b.qvl");
    EXPECT_EQ(QvGetDetectPhaseFileFromQuorvelContext(), "");
    EXPECT_TRUE(capture.entries().empty());
}
