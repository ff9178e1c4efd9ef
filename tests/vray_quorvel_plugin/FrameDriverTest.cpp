// Frame set-up, block preparation, phase begin with AOV registration, phase
// termination and the detection-file transfer on render servers.

#include <gtest/gtest.h>

#include <algorithm>

#include "FakeHost.h"
#include "RecordingCore.h"
#include "support/LogCapture.h"

namespace PluginTest {
namespace {

using Quorvel::Logger::LogLevel;

// Given once per process by the first frame a glass mode other than 3
// prepares, so whichever test comes first sees it.
bool isGlassNotice(const std::string& message)
{
    return message == "[Quorvel] Simultaneous rendering of both opaque and transparent at the same time is not fully "
                      "supported yet.";
}

// The log's entries without that notice, headers stripped.
std::vector<std::pair<LogLevel, std::string>> entriesOf(const QuorvelTest::LogCapture& log)
{
    std::vector<std::pair<LogLevel, std::string>> got;
    for (const auto& e : log.entries())
        if (!isGlassNotice(QuorvelTest::LogCapture::stripHeader(e.text)))
            got.push_back({e.level, QuorvelTest::LogCapture::stripHeader(e.text)});
    return got;
}

struct Frame {
    UseRecordingCore recording;
    QuorvelTest::LogCapture log;
    Instance instance;
    FakeSequence seq;
    VRayFrameData frame;

    explicit Frame(int phaseMode = 1)
    {
        instance.set("phase_mode", ParamValue::ofInt(phaseMode));
        seq.samplerParams.fixedSubdivs = 4;
        frame.frameNumber = 7;
        frame.imgWidth = 312;
        frame.imgHeight = 208;
    }
    void begin()
    {
        instance->setupSequence(seq);
        instance->renderBegin(&seq.host);
        Recording::get().take();
        log.clear();
    }
    bool has(const std::vector<std::string>& events, const std::string& e)
    {
        return std::find(events.begin(), events.end(), e) != events.end();
    }
    VRayCameraSubFrames* subFrames() { return static_cast<VRayCameraSubFrames*>(seq.camera->newInterface(0x784A120A)); }
};

TEST(FrameDriver, ForcesTheWholeImageAndStartsInThePrePass)
{
    Frame f;
    f.begin();
    f.frame.rgnLeft = 10;
    f.frame.rgnTop = 20;
    f.frame.rgnRight = f.frame.rgnWidth = 40;
    f.frame.rgnBottom = f.frame.rgnHeight = 50;
    f.frame.rgnLeftF = 10.5f;
    f.instance->setupFrame(f.frame);
    EXPECT_EQ(f.frame.rgnLeft, 0);
    EXPECT_EQ(f.frame.rgnTop, 0);
    EXPECT_EQ(f.frame.rgnRight, 312);
    EXPECT_EQ(f.frame.rgnBottom, 208);
    EXPECT_EQ(f.frame.rgnLeftF, 0.0f);
    EXPECT_EQ(f.frame.rgnRightF, 312.0f);
    EXPECT_EQ(f.frame.rgnBottomF, 208.0f);
    EXPECT_EQ(f.frame.rgnWidth, 312);
    EXPECT_EQ(f.frame.rgnHeight, 208);
    EXPECT_FALSE(f.instance->settings().imagePass);
    EXPECT_EQ(f.instance->settings().width, 312.0);
    EXPECT_EQ(f.instance->settings().height, 208.0);
    // The region callback's pass notifications switch the camera's rays.
    f.seq.regionDoneCallback->imagePass();
    EXPECT_TRUE(f.instance->settings().imagePass);
    f.seq.regionDoneCallback->prePass(0);
    EXPECT_FALSE(f.instance->settings().imagePass);
}

TEST(FrameDriver, ZeroBlocksOrNoFinalImageBeginThePhaseAtOnce)
{
    struct Case {
        const char* name;
        uint64_t blocks;
        int dontRenderImage;
        std::vector<std::pair<LogLevel, std::string>> messages;
    };
    const Case cases[] = {
        {"zero blocks", 0, 0, {{LogLevel::INFO, "[Quorvel] there's nothing to render in the detection file.\n"}}},
        {"gi_dontRenderImage", 3, 1, {{LogLevel::WARNING, "[Quorvel] vray gi_dontRenderImage is On.\n"}}},
        {"zero blocks, no final image", 0, 1, {{LogLevel::WARNING, "[Quorvel] vray gi_dontRenderImage is On.\n"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Frame f;
        f.seq.hasChannels = false;
        f.begin();
        Recording::get().blockCount = c.blocks;
        f.seq.giParams.dontRenderImage = c.dontRenderImage;
        f.instance->setupFrame(f.frame);
        auto events = Recording::get().take();
        ASSERT_GE(events.size(), 3u);
        EXPECT_EQ(events[events.size() - 4], "QvSetCurrentBlockIndex(0)");
        EXPECT_EQ(events.back(), "QvPhaseBegin()");
        EXPECT_EQ(entriesOf(f.log), c.messages);
        EXPECT_EQ(f.subFrames()->getNumSubFrames(), static_cast<int>(c.blocks));
        // The first sub-frame does not begin the phase a second time.
        if (c.blocks > 0) {
            EXPECT_EQ(f.subFrames()->beginSubFrame(0), 1);
            EXPECT_EQ(Recording::get().take(), std::vector<std::string>{"QvSetCurrentBlockIndex(0)"});
        }
        f.instance->frameEnd(&f.seq.host);
        EXPECT_EQ(Recording::get().take(), std::vector<std::string>{"QvPhaseTerminate(1)"});
    }
}

TEST(FrameDriver, ResolutionFailuresAreErrors)
{
    Frame f;
    f.begin();
    Recording::get().resolutionValid = false;
    f.instance->setupFrame(f.frame);
    EXPECT_TRUE(f.log.contains("PhaseBegin: Could not block rendering for resolution 312 x 208"));
    EXPECT_TRUE(f.log.contains("PhaseBegin: Could not initialize tiling"));
    EXPECT_EQ(f.subFrames()->getNumSubFrames(), 0);
    // A sub-frame the host should not ask for is refused.
    EXPECT_EQ(f.subFrames()->beginSubFrame(0), 0);
}

TEST(FrameDriver, RenderChannelsBecomeAovsInTheRenderPhase)
{
    struct Channel {
        uint32_t alias;
        int type;
        const char* name;
    };
    const std::vector<Channel> channels = {
        {200, 1, "double"}, {201, 2, "rgb"},     {202, 3, "vec2"},    {203, 4, "int"},
        {204, 5, "vec3"},   {205, 6, "rgba"},    {206, 7, "other"},   {0xFFFFFFFF, 2, "no alias"},
        {125, 2, "skip125"}, {126, 2, "skip126"}, {113, 5, "velocity"},
    };
    for (bool velocity : {true, false}) {
        SCOPED_TRACE(velocity);
        Frame f;
        for (const Channel& c : channels)
            if (velocity || c.alias != 113)
                f.seq.channels.list.emplace_back(c.alias, c.type, c.name);
        f.begin();
        f.instance->setupFrame(f.frame);
        Recording::get().take();
        f.log.clear();
        f.subFrames()->beginSubFrame(0);
        std::vector<std::string> aovs;
        for (const auto& e : Recording::get().take())
            if (e.rfind("QvRenderPhaseRegisterAov", 0) == 0)
                aovs.push_back(e);
        const std::vector<std::string> expected = {
            "QvRenderPhaseRegisterAov(200, double, 2)", "QvRenderPhaseRegisterAov(201, rgb, 3)",
            "QvRenderPhaseRegisterAov(202, vec2, 6)",   "QvRenderPhaseRegisterAov(203, int, 1)",
            "QvRenderPhaseRegisterAov(204, vec3, 5)",   "QvRenderPhaseRegisterAov(205, rgba, 4)"};
        EXPECT_EQ(aovs, expected);
        const std::vector<uint32_t> aliases = {200, 201, 202, 203, 204, 205, 206};
        EXPECT_EQ(f.instance->settings().channelAliases, aliases);
        EXPECT_EQ(f.instance->settings().velocityPresent, velocity ? 1 : 0);
        const std::string absent = "[Quorvel] The Vray velocity channel is absent. Animation interpolation (motion "
                                   "vectors) will be turned off.\n";
        EXPECT_EQ(f.log.contains(absent), !velocity);
        f.instance->frameEnd(&f.seq.host);
    }
}

TEST(FrameDriver, DetectionPhaseRegistersNoAovs)
{
    Frame f(0);
    f.seq.channels.list.emplace_back(201, 2, "rgb");
    f.begin();
    f.instance->setupFrame(f.frame);
    f.subFrames()->beginSubFrame(0);
    for (const auto& e : Recording::get().take())
        EXPECT_EQ(e.rfind("QvRenderPhaseRegisterAov", 0), std::string::npos) << e;
    EXPECT_TRUE(f.instance->settings().channelAliases.empty());
    EXPECT_TRUE(entriesOf(f.log).empty());
}

TEST(FrameDriver, FileNamesTakeTheFrameNumberAndTheOutputIsCapturedOncePerRender)
{
    struct Case {
        const char* name;
        const char* detectFile;
        const char* imgFile;
        const char* imgDir;
        uint32_t flags;
        int padding, dot;
        const char* detectPath;
        const char* outPath;
    };
    const Case cases[] = {
        {"hash replaced", "/d/scene_#.qvl", "out.qvl", "/o", OUTPUT_FRAME_NUMBERS, 4, 0, "/d/scene_0007.qvl", "/o/out0007.qvl"},
        {"hash removed", "/d/scene_#.qvl", "out_#.qvl", "/o", 0, 4, 0, "/d/scene_.qvl", "/o/out_.qvl"},
        {"number with a dot", "/d/scene.qvl", "out.qvl", "/o/", OUTPUT_FRAME_NUMBERS, 2, 1, "/d/scene.07.qvl", "/o/out.07.qvl"},
        {"empty directory", "", "out.qvl", "", OUTPUT_FRAME_NUMBERS, 1, 0, "", "out7.qvl"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Frame f;
        f.instance.set("detect_file", ParamValue::ofString(c.detectFile));
        f.seq.output.imgFile = c.imgFile;
        f.seq.output.imgDir = c.imgDir;
        f.seq.output.flags = c.flags;
        f.seq.output.framePadding = c.padding;
        f.seq.settings2.dotBeforeFrameNumber = c.dot;
        f.begin();
        f.instance->setupFrame(f.frame);
        const auto events = Recording::get().take();
        EXPECT_TRUE(f.has(events, std::string("QvSetDetectFilePath(") + c.detectPath + ")"));
        EXPECT_TRUE(f.has(events, std::string("QvSetOutFilePath(") + c.outPath + ")"));
        // The host's own image output is switched off, and the next frame
        // keeps the captured names.
        EXPECT_EQ(f.seq.output.imgFile, "");
        f.instance->frameEnd(&f.seq.host);
        f.frame.frameNumber = 8;
        f.instance->setupFrame(f.frame);
        std::string out = c.outPath;
        if (const size_t seven = out.rfind('7'); seven != std::string::npos && c.flags)
            out[seven] = '8';
        EXPECT_TRUE(f.has(Recording::get().take(), "QvSetOutFilePath(" + out + ")"));
        f.instance->frameEnd(&f.seq.host);
        f.instance->renderEnd(&f.seq.host);
        EXPECT_FALSE(f.instance->settings().outputCaptured);
    }
}

TEST(FrameDriver, RenderServersFetchTheDetectionFile)
{
    struct Case {
        const char* name;
        bool callback;
        int result;
        std::string contextFile;
        std::vector<std::string> coreCalls; // the override-related calls
        std::vector<std::pair<LogLevel, std::string>> messages;
    };
    using L = LogLevel;
    const Case cases[] = {
        {"transfer succeeds", true, 1, "C:\\scenes\\detect0001.qvl",
         {"QvGetDetectPhaseFileFromQuorvelContext()", "QvSetDetectPhaseOverride(/cache/detect_0001.qvl)"},
         {{L::INFO, "Transfering C:/scenes/detect0001.qvl"}, {L::INFO, "TransferAsset sucessful in /cache/detect_0001.qvl"}}},
        {"transfer fails", true, 0, "/scenes/detect0001.qvl",
         {"QvGetDetectPhaseFileFromQuorvelContext()", "QvSetDetectPhaseOverride()"},
         {{L::INFO, "Transfering /scenes/detect0001.qvl"}, {L::ERROR, "TransferAsset failed detect0001.qvl "}}},
        {"no file name", true, 1, "detect0001.qvl",
         {"QvGetDetectPhaseFileFromQuorvelContext()", "QvSetDetectPhaseOverride()"},
         {{L::INFO, "Transfering detect0001.qvl"},
          {L::ERROR, "Cannot extract asset filename. Cannot transfer asset to DR server."}}},
        {"no transfer callback", false, 1, "/scenes/detect0001.qvl", {},
         {{L::WARNING, "Transfer failure for slave renderer: Transfer Call-Back missing."}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Frame f;
        FakeTransfer transfer;
        transfer.result = c.result;
        f.seq.host.server = true;
        f.seq.host.transfer = c.callback ? &transfer : nullptr;
        f.seq.hasChannels = false;
        Recording::get().detectFileOfContext = c.contextFile;
        f.begin();
        f.instance->setupFrame(f.frame);
        std::vector<std::string> calls;
        for (const auto& e : Recording::get().take())
            if (e.find("Detect") != std::string::npos && e.rfind("QvSetDetectFilePath", 0) != 0)
                calls.push_back(e);
        EXPECT_EQ(calls, c.coreCalls);
        EXPECT_EQ(entriesOf(f.log), c.messages);
        if (c.callback && c.contextFile.find('/') != std::string::npos) {
            EXPECT_EQ(transfer.asked, std::vector<std::string>{"detect0001.qvl"});
        }
        // A server's buckets travel to the client: its phase is discarded.
        f.instance->frameEnd(&f.seq.host);
        EXPECT_EQ(Recording::get().take(), std::vector<std::string>{"QvPhaseTerminate(0)"});
        EXPECT_EQ(f.instance->settings().localDetectFile, "");
    }
    Recording::get().detectFileOfContext = "/scenes/detect/detect0001.qvl";
}

} // namespace
} // namespace PluginTest
