#include <gtest/gtest.h>

#include <vector>

#include "camera/CubeMap.h"
#include "context/PhaseOutput.h"

namespace {

using Quorvel::BinIO::DetectPlaqueInfo;
using Quorvel::Block::quadMerge;

// A plaque facing its pixel direction at depth 1: small at any width used here.
DetectPlaqueInfo facing(uint16_t x, uint16_t y, uint64_t width, uint64_t height, float depth = 1.0f,
                        uint8_t camera = 5)
{
    const VekPoint d = Quorvel::Camera::cubeMapDirection((x + 0.5f) / width, (y + 0.5f) / height);
    DetectPlaqueInfo p;
    p.cameraIndex = camera;
    p.x = x;
    p.y = y;
    p.depth = depth;
    p.normal = {-d.x, -d.y, -d.z};
    return p;
}

constexpr float kThreshold = 0.05f; // 0.1 / (2 * render scale 1)

TEST(QuadMerge, FourSmallNeighboursBecomeOneCoarsePlaque)
{
    std::vector<DetectPlaqueInfo> list{facing(10, 20, 312, 208), facing(11, 20, 312, 208), facing(10, 21, 312, 208),
                                       facing(11, 21, 312, 208), facing(40, 40, 312, 208)};
    const std::vector<DetectPlaqueInfo> before = list;
    const auto coarse = quadMerge(list, 312, 208, kThreshold);

    ASSERT_EQ(coarse.size(), 1u);
    EXPECT_EQ(coarse[0].x, 5);
    EXPECT_EQ(coarse[0].y, 10);
    EXPECT_EQ(coarse[0].depth, 1.0f);
    EXPECT_EQ(coarse[0].normal.x,
              (before[0].normal.x + before[1].normal.x + before[2].normal.x + before[3].normal.x) * 0.25f);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].x, 40);
}

TEST(QuadMerge, QuadsThatMustNotMerge)
{
    struct Case {
        const char* name;
        uint64_t width, height;
        uint16_t x, y;
        float depthOfLast;
    };
    // 315 x 210: faces are 105 pixels high, so rows 104 and 105 lie on two faces.
    const Case cases[] = {{"odd x seed", 312, 208, 11, 20, 1.0f},
                          {"odd y seed", 312, 208, 10, 21, 1.0f},
                          {"straddles two faces", 315, 210, 10, 104, 1.0f},
                          {"depth far from the mean", 312, 208, 10, 20, 1.5f},
                          {"large footprint", 312, 208, 10, 20, 1000.0f}};
    for (const Case& c : cases) {
        std::vector<DetectPlaqueInfo> list{facing(c.x, c.y, c.width, c.height),
                                           facing(c.x + 1, c.y, c.width, c.height),
                                           facing(c.x, c.y + 1, c.width, c.height),
                                           facing(c.x + 1, c.y + 1, c.width, c.height, c.depthOfLast)};
        if (c.y == 104) {
            // Plaques at (0, 0) and (1, 0) must not stand in for a below neighbour on another face.
            list.insert(list.begin(), {facing(0, 0, c.width, c.height), facing(1, 0, c.width, c.height)});
        }
        const auto coarse = quadMerge(list, c.width, c.height, kThreshold);
        EXPECT_TRUE(coarse.empty()) << c.name;
        EXPECT_EQ(list.size(), c.y == 104 ? 6u : 4u) << c.name;
    }
}

TEST(QuadMerge, CamerasMergeSeparately)
{
    std::vector<DetectPlaqueInfo> list;
    for (uint8_t camera : {1, 2})
        for (auto [dx, dy] : {std::pair{0, 0}, {1, 0}, {0, 1}, {1, 1}})
            list.push_back(facing(static_cast<uint16_t>(10 + dx), static_cast<uint16_t>(20 + dy), 312, 208, 1.0f, camera));
    // Camera 2 lacks one partner.
    list.pop_back();
    const auto coarse = quadMerge(list, 312, 208, kThreshold);
    ASSERT_EQ(coarse.size(), 1u);
    EXPECT_EQ(coarse[0].cameraIndex, 1);
    EXPECT_EQ(list.size(), 3u);
}

} // namespace

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

#include "analysis/PlaqueKDTree.h"
#include "camera/CameraSet.h"
#include "camera/CameraRays.h"
#include "context/PhaseSeams.h"
#include "core/context/ContextTestSupport.h"
#include "io/QvlRenderFile.h"
#include "support/FileSizeLimit.h"
#include "support/PhaseFileBytes.h"

namespace {

using namespace QuorvelTest;
using Quorvel::BinIO::header_v09;
using Quorvel::BinIO::qvlRenderSample5Aovs_t;

class PhaseOutput : public ContextTest {
protected:
    void beginDetection(const std::string& outPath)
    {
        using namespace Quorvel::Phase;
        configureDetection();
        QvSetDeepReflection(RC_Left, 60.0);
        QvSetRenderScale(1.0);
        QvSetOutFilePath(outPath.c_str());
        ASSERT_TRUE(QvPhaseBegin());
    }

    // Records as the bucket flush appends them.
    void appendRecords(const std::vector<DetectPlaqueInfo>& records)
    {
        auto& c = ctx();
        std::lock_guard lock(c.tempFileMutex);
        ASSERT_EQ(std::fwrite(records.data(), sizeof(DetectPlaqueInfo), records.size(), c.tempFile), records.size());
        ASSERT_EQ(std::fflush(c.tempFile), 0);
        c.tempRecordCount += records.size();
    }

    static std::vector<DetectPlaqueInfo> quadAndDuplicate()
    {
        std::vector<DetectPlaqueInfo> records{facing(10, 20, 312, 208), facing(11, 20, 312, 208),
                                              facing(10, 21, 312, 208), facing(11, 21, 312, 208),
                                              facing(11, 21, 312, 208)};
        records.back().depth = 1.0001f;
        return records;
    }

    static std::string errors(const LogCapture& capture)
    {
        std::string text;
        for (const auto& e : capture.entries())
            if (e.level == Quorvel::Logger::ERROR)
                text += LogCapture::stripHeader(e.text) + "|";
        return text;
    }
};

TEST_F(PhaseOutput, DetectionFileHoldsTheMergedPlaquesMaskAndHeader)
{
    const std::string path = dir.file("detect.qvl");
    beginDetection(path);
    appendRecords(quadAndDuplicate());
    LogCapture capture;
    ASSERT_TRUE(Quorvel::Phase::QvPhaseTerminate(Quorvel::Phase::Finalize));
    EXPECT_EQ(errors(capture), "");
    EXPECT_TRUE(capture.contains("[Quorvel] wrote render file " + path + " .\n"));

    header_v09 h;
    qvlRenderSample5Aovs_t content;
    int digestSum = 0;
    ASSERT_EQ(Quorvel::BinIO::qvlReader_v9(path, h, content, digestSum), Quorvel::BinIO::QVL_OK);
    ASSERT_EQ(content.plaques.size(), 1u);
    EXPECT_EQ(content.plaques[0].level, 1);
    EXPECT_EQ(content.plaques[0].x, 10);
    EXPECT_EQ(content.plaques[0].y, 20);
    EXPECT_EQ(content.trailing, std::vector<uint8_t>(312 * 208, 1));
    EXPECT_TRUE(content.samples.empty());

    EXPECT_TRUE(h.rtype);
    EXPECT_EQ(h.fillHoleCount, 1u);
    EXPECT_EQ(h.sampleNums, 0u);
    EXPECT_EQ(h.camId, 0);
    EXPECT_EQ(h.coordinates, 0u);
    EXPECT_EQ(h.frame, 7);
    EXPECT_EQ(h.camOffsetX, 1);
    EXPECT_EQ(h.camOffsetY, 2);
    EXPECT_EQ(h.camOffsetZ, 3);
    EXPECT_EQ(h.widthDisplay, 312);
    EXPECT_EQ(h.heightDisplay, 208);
    EXPECT_EQ(h.projection, 1);
    EXPECT_EQ(h.passMode, 0);
    EXPECT_EQ(h.eye, 1);
    EXPECT_FALSE(h.stereoRender);
    EXPECT_EQ(h.ipd, 60.0f);
    EXPECT_EQ(h.globalScale, 1.0f);
    EXPECT_EQ(h.cameraPositions.size(), 256u);
    EXPECT_EQ(h.boxScaleY, 0.5f);
}

TEST_F(PhaseOutput, AFailedWriteKeepsTheDataInARecoveryFile)
{
    // Root may write anywhere, so the failing targets are made of paths no
    // one can create: below a regular file, or onto an existing folder.
    const std::string blocker = dir.write("blocker", "x");
    std::filesystem::create_directories(dir.file("folder.qvl"));
    const std::string recoveryFolder = dir.file("tmp");
    std::filesystem::create_directories(recoveryFolder);
    setenv("TMPDIR", recoveryFolder.c_str(), 1);

    struct Case {
        std::string target;
        std::string recovery;
    };
    const Case cases[] = {
        {blocker + "/sub/detect.qvl", recoveryFolder + "/quorvel-recovery/detect.qvl.recovered"},
        {dir.file("folder.qvl"), dir.file("folder.qvl.recovered")},
    };
    for (const Case& c : cases) {
        beginDetection(c.target);
        appendRecords(quadAndDuplicate());
        LogCapture capture;
        ASSERT_TRUE(Quorvel::Phase::QvPhaseTerminate(Quorvel::Phase::Finalize));
        const std::string logged = errors(capture);
        EXPECT_NE(logged.find("[Quorvel] error("), std::string::npos) << logged;
        EXPECT_NE(logged.find("[Quorvel] the data of " + c.target + " was saved to " + c.recovery + " instead.\n"),
                  std::string::npos)
            << logged;
        EXPECT_FALSE(capture.contains("[Quorvel] wrote render file"));

        header_v09 h;
        qvlRenderSample5Aovs_t content;
        int digestSum = 0;
        ASSERT_EQ(Quorvel::BinIO::qvlReader_v9(c.recovery, h, content, digestSum), Quorvel::BinIO::QVL_OK);
        EXPECT_EQ(content.plaques.size(), 1u);
    }
    unsetenv("TMPDIR");
}

// A valid detection file of two plaques for the render phase to read.
std::string writeDetectionFile(const std::string& path)
{
    header_v09 h;
    h.widthDisplay = 312;
    h.heightDisplay = 208;
    h.globalScale = 1.0f;
    h.boxScaleX = 1.0f;
    h.boxScaleY = 0.5f;
    h.boxScaleZ = 1.0f;
    h.rtype = true;
    const Quorvel::Camera::CameraSet set = Quorvel::Camera::makeCameraSet({});
    h.cameraPositions = set.positions;
    h.cameraPriorities = set.priorities;
    h.cameraFaceMasks = set.faceMasks;
    qvlRenderSample5Aovs_t content;
    content.plaques = {facing(52, 52, 312, 208, 2.0f, 255), facing(260, 52, 312, 208, 2.0f, 255)};
    content.trailing.assign(312 * 208, 1);
    h.fillHoleCount = content.plaques.size();
    EXPECT_EQ(Quorvel::BinIO::qvlWriter_v9(path, h, content, Quorvel::Util::RE_VRay), Quorvel::BinIO::QVL_OK);
    return path;
}

TEST_F(PhaseOutput, RenderIntakeClipsBeforeBuildingTheShadingTree)
{
    using namespace Quorvel::Phase;
    // Two plaques of the centre-less default set's camera 0 looking along +x
    // and -x; the clipping sphere lies on +x only.
    const std::string path = writeDetectionFile(dir.file("detect.qvl"));
    const Quorvel::Camera::CameraSet set = Quorvel::Camera::makeCameraSet({});

    configureRender(path);
    const VekPoint centre = set.positions[255];
    ctx().clipEnabled = true;
    ctx().clipInside = false;
    ctx().clipCentreCamera = VekPoint{centre.x + 5.0f, centre.y, centre.z};
    ctx().clipRadius = 1.0f;
    LogCapture capture;
    ASSERT_TRUE(QvPhaseBegin());
    EXPECT_TRUE(capture.contains("[Quorvel] read the detection file " + path + " .\n"));
    EXPECT_TRUE(capture.contains("[Quorvel] filehole(1)\n"));
    ASSERT_EQ(ctx().plaques.size(), 1u);
    EXPECT_EQ(ctx().plaques[0].x, 52);
    ASSERT_TRUE(ctx().plaqueTree);
    EXPECT_EQ(ctx().plaqueTree->plaques.size(), ctx().plaques.size());
    EXPECT_EQ(ctx().completionMask.size(), 312u * 208u);
}

std::string fileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every regular file below the folder, by path relative to it.
std::vector<std::string> filesBelow(const std::filesystem::path& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
        if (entry.is_regular_file())
            names.push_back(std::filesystem::relative(entry.path(), folder).string());
    std::sort(names.begin(), names.end());
    return names;
}

// A full disk fails the file, both recovery files and nothing else: the file
// written before stays as it was, no partial file is left anywhere and the
// phase never reports a written file.
TEST_F(PhaseOutput, AFullDiskKeepsTheEarlierFileAndNeverReportsSuccess)
{
    using namespace Quorvel::Phase;
    const std::string recoveryFolder = dir.file("tmp");
    std::filesystem::create_directories(recoveryFolder);
    setenv("TMPDIR", recoveryFolder.c_str(), 1);
    const std::string detection = writeDetectionFile(dir.file("input.qvl"));

    for (const Phase phase : {Detect, Render}) {
        SCOPED_TRACE(phase);
        const std::string target = dir.write(phase == Detect ? "detect.qvl" : "render.qvl", "earlier file");
        if (phase == Detect) {
            beginDetection(target);
            appendRecords(quadAndDuplicate());
        } else {
            configureRender(detection);
            QvSetOutFilePath(target.c_str());
            ASSERT_TRUE(QvPhaseBegin());
        }
        LogCapture capture;
        {
            const FileSizeLimit fullDisk(100);
            ASSERT_TRUE(QvPhaseTerminate(Finalize));
        }
        EXPECT_EQ(errors(capture), "[Quorvel] Writing the file '" + target + "' failed.\n|[Quorvel] error(-2) writing file " +
                                       target + " .|[Quorvel] Writing the file '" + target +
                                       ".recovered' failed.\n|[Quorvel] Writing the file '" + recoveryFolder +
                                       "/quorvel-recovery/" + std::filesystem::path(target).filename().string() +
                                       ".recovered' failed.\n|[Quorvel] the data of " + target +
                                       " could not be saved to a recovery file either; it is lost.\n|");
        for (const auto& message : capture.messages())
            EXPECT_EQ(message.find("[Quorvel] wrote render file"), std::string::npos) << message;
        EXPECT_EQ(fileBytes(target), "earlier file");
    }
    EXPECT_EQ(filesBelow(dir.path()), (std::vector<std::string>{"detect.qvl", "input.qvl", "render.qvl"}));
    unsetenv("TMPDIR");
}

// Samples that could not be appended to the temporary sample file make the
// phase's file incomplete: it goes to the recovery file only, never under the
// requested name, and holds what a complete run of the kept samples writes.
TEST_F(PhaseOutput, LostSamplesKeepTheirFileOutOfTheRequestedName)
{
    using namespace Quorvel::Phase;
    const std::string good = dir.file("good.qvl");
    beginDetection(good);
    appendRecords(quadAndDuplicate());
    ASSERT_TRUE(QvPhaseTerminate(Finalize));

    const std::string target = dir.write("detect.qvl", "earlier file");
    beginDetection(target);
    // The temporary file takes the same records, then refuses every write.
    const std::vector<DetectPlaqueInfo> records = quadAndDuplicate();
    const std::string kept = dir.write(
        "samples", std::string(reinterpret_cast<const char*>(records.data()), records.size() * sizeof records[0]));
    {
        auto& c = ctx();
        std::lock_guard lock(c.tempFileMutex);
        std::fclose(c.tempFile);
        c.tempFile = std::fopen(kept.c_str(), "rb");
        ASSERT_NE(c.tempFile, nullptr);
        c.tempRecordCount = records.size();
    }
    ctx().threadRegions[0].detectRecords = {facing(100, 100, 312, 208)};
    ctx().threadRegions[0].sampleCount = 1;

    LogCapture capture;
    ASSERT_TRUE(QvPhaseTerminate(Finalize));
    EXPECT_EQ(errors(capture), "[Quorvel] Writing samples to the temporary sample file failed.\n|[Quorvel] the data of " +
                                   target + " is incomplete; it is not written there.\n|[Quorvel] the data of " +
                                   target + " was saved to " + target + ".recovered instead.\n|");
    EXPECT_EQ(fileBytes(target), "earlier file");
    QuorvelTest::expectSamePhaseData(good, target + ".recovered");
}

// The detection file replaced between the phases: the render phase begins,
// says which file it cannot read, and its render file does not appear under
// the requested name.
TEST_F(PhaseOutput, ADetectionFileReplacedBeforeTheRenderPhaseLeavesNoRenderFile)
{
    using namespace Quorvel::Phase;
    const std::string whole = fileBytes(writeDetectionFile(dir.file("whole.qvl")));
    const struct {
        const char* name;
        std::function<void(const std::string&)> replace;
    } cases[] = {
        {"foreign bytes", [](const std::string& p) { std::ofstream(p, std::ios::binary) << "GIF89a, not ours"; }},
        {"truncated", [&](const std::string& p) { std::ofstream(p, std::ios::binary) << whole.substr(0, whole.size() / 2); }},
        {"a folder",
         [](const std::string& p) {
             std::filesystem::remove(p);
             std::filesystem::create_directories(p);
         }},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string detection = writeDetectionFile(dir.file("detect" + std::to_string(n) + ".qvl"));
        const std::string target = dir.file("render" + std::to_string(n++) + ".qvl");
        configureRender(detection);
        QvSetOutFilePath(target.c_str());
        c.replace(detection);
        LogCapture capture;
        ASSERT_TRUE(QvPhaseBegin());
        ASSERT_TRUE(QvPhaseTerminate(Finalize));
        const std::string logged = errors(capture);
        EXPECT_NE(logged.find("[Quorvel] cannot read the detection file " + detection + " .\n|"), std::string::npos)
            << logged;
        EXPECT_NE(logged.find("[Quorvel] the data of " + target + " is incomplete; it is not written there.\n|"),
                  std::string::npos)
            << logged;
        EXPECT_FALSE(std::filesystem::exists(target));
        EXPECT_TRUE(std::filesystem::exists(target + ".recovered"));
    }
}

TEST_F(PhaseOutput, UnreadableDetectionFileStillBeginsTheRenderPhase)
{
    using namespace Quorvel::Phase;
    const std::string path = dir.write("broken.qvl", "not a detection file");
    QvInitPhase(Render, Quorvel::Util::RE_VRay);
    setMandatorySettings();
    QvSetDetectFilePath(path.c_str());
    ctx().renderingResolutionX.set(4.0);
    ctx().renderingResolutionY.set(4.0);
    ctx().blockCount.set(1);
    ctx().currentBlock.set(0);
    LogCapture capture;
    EXPECT_TRUE(QvPhaseBegin());
    EXPECT_TRUE(capture.contains("[Quorvel] cannot read the detection file " + path + " .\n"));
    EXPECT_TRUE(ctx().plaques.empty());
    EXPECT_FALSE(Quorvel::Camera::QvGetRayRenderPhase(0.5, 0.5).valid);
}

} // namespace
