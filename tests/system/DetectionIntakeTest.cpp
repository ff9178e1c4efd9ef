// The render phase through the host and the plug-in, given a detection file
// whose header was tampered with: the run fails with the core's message
// naming the file and the value, shoots no ray and leaves no render file.

#include <gtest/gtest.h>
#include <json/json.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "camera/CameraSet.h"
#include "io/QvlRenderFile.h"
#include "support/Subprocess.h"
#include "support/SystemFixtures.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using QuorvelTest::fileBytes;
using QuorvelTest::ProcessResult;
using QuorvelTest::runProcess;
using QuorvelTest::TempDir;
using QuorvelTest::writeFileBytes;

// A detection file of the tiny scene's display (312 x 208) with a few
// plaques of the full camera set, as a detection phase writes one.
void writeDetection(const fs::path& path)
{
    Quorvel::BinIO::header_v09 h;
    h.widthDisplay = 312;
    h.heightDisplay = 208;
    h.globalScale = 100.0f;
    h.boxScaleX = 1.0f;
    h.boxScaleY = 0.5f;
    h.boxScaleZ = 1.0f;
    h.rtype = true;
    Quorvel::Camera::CameraPlacement placement;
    placement.renderScale = 100.0f;
    const Quorvel::Camera::CameraSet set = Quorvel::Camera::makeCameraSet(placement);
    h.cameraPositions = set.positions;
    h.cameraPriorities = set.priorities;
    h.cameraFaceMasks = set.faceMasks;
    Quorvel::BinIO::qvlRenderSample5Aovs_t content;
    for (uint16_t i = 0; i < 8; ++i) {
        Quorvel::BinIO::DetectPlaqueInfo p;
        p.cameraIndex = 146; // the centre camera
        p.x = static_cast<uint16_t>(130 + 4 * i);
        p.y = 52;
        p.depth = 1.0f;
        p.normal = VekPoint{0.0f, -1.0f, 0.0f};
        content.plaques.push_back(p);
    }
    content.trailing.assign(312 * 208, 1);
    h.fillHoleCount = content.plaques.size();
    ASSERT_EQ(Quorvel::BinIO::qvlWriter_v9(path.string(), h, content, Quorvel::Util::RE_VRay), Quorvel::BinIO::QVL_OK);
}

// The file with its JSON header edited, the blocks as they were.
std::string withHeader(const std::string& file, const std::function<void(Json::Value&)>& edit)
{
    uint32_t length = 0;
    std::memcpy(&length, file.data() + 16, 4);
    Json::Value header;
    Json::Reader reader;
    EXPECT_TRUE(reader.parse(file.substr(20, length), header));
    edit(header);
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    const std::string json = Json::writeString(builder, header);
    const uint32_t size = static_cast<uint32_t>(json.size());
    return file.substr(0, 16) + std::string(reinterpret_cast<const char*>(&size), 4) + json +
           file.substr(20 + length);
}

// The render phase of frame 1 of the tiny scene on one thread.
std::vector<std::string> renderPhase(const fs::path& detection, const fs::path& output)
{
    const auto quoted = [](const fs::path& p) { return "\"" + p.string() + "\""; };
    return {QUORVEL_HOST_EXECUTABLE,
            "--plugin",
            QUORVEL_PLUGIN_LIBRARY,
            "--threads",
            "1",
            std::string(QUORVEL_EXAMPLES_DIR) + "/tiny/tiny.json",
            "--set",
            "SettingsOutput.frame_end=1",
            "--set",
            "SettingsOutput.img_file_needFrameNumber=false",
            "--set",
            "SettingsQuorvel.phase_mode=1",
            "--set",
            "SettingsQuorvel.detect_file=" + quoted(detection),
            "--set",
            "SettingsOutput.img_dir=" + quoted(output.parent_path()),
            "--set",
            "SettingsOutput.img_file=" + quoted(output.filename())};
}

bool mentions(const ProcessResult& run, const std::string& text)
{
    return run.out.find(text) != std::string::npos || run.err.find(text) != std::string::npos;
}

} // namespace

TEST(DetectionIntake, HostRefusesTamperedDetectionHeaders)
{
    TempDir dir;
    const fs::path sound = dir / "sound.qvl";
    writeDetection(sound);
    const std::string whole = fileBytes(sound);

    // The untouched file renders, so that the refusals below are the header's.
    {
        const fs::path output = dir / "sound" / "tiny.qvl";
        fs::create_directories(output.parent_path());
        const ProcessResult run = runProcess(renderPhase(sound, output));
        ASSERT_EQ(run.exitCode, 0) << run.describe();
        EXPECT_TRUE(fs::is_regular_file(output)) << run.describe();
    }

    struct Case {
        const char* what;
        std::function<void(Json::Value&)> edit;
        std::string says;
    };
    const std::vector<Case> cases = {
        {"height 0", [](Json::Value& h) { h["heightDisplay"] = 0; },
         "has an invalid heightDisplay: 0, expected an integer from 208 to 4000.\n"},
        {"height -1", [](Json::Value& h) { h["heightDisplay"] = -1; },
         "has an invalid heightDisplay: -1, expected an integer from 208 to 4000.\n"},
        {"camera list doubled",
         [](Json::Value& h) {
             const Json::Value cameras = h["cameras"];
             for (const Json::Value& c : cameras)
                 h["cameras"].append(c);
         },
         "has 512 cameras, expected 256 (or 1 in draft mode).\n"},
        // Blocks laid out for it would not fit in memory.
        {"plaque count of 10^15",
         [](Json::Value& h) { h["fillHoleCount"] = static_cast<Json::UInt64>(1000000000000000); },
         "has an invalid fillHoleCount: 1000000000000000, the file holds 8 plaques.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path folder = dir / c.what;
        const fs::path detection = folder / "detect.qvl";
        writeFileBytes(detection, withHeader(whole, c.edit));
        const fs::path output = folder / "out" / "tiny.qvl";
        fs::create_directories(output.parent_path());
        const ProcessResult run = runProcess(renderPhase(detection, output));
        EXPECT_FALSE(run.crashed()) << run.describe();
        EXPECT_EQ(run.exitCode, 3) << run.describe();
        EXPECT_TRUE(mentions(run, "[Quorvel] The detection file " + detection.string() + " " + c.says))
            << run.describe();
        if (std::string(c.what).find("plaque count") == std::string::npos) {
            EXPECT_TRUE(mentions(run, "[Quorvel] The render phase cannot begin with the detection file " +
                                          detection.string() + ".\n"))
                << run.describe();
        }
        EXPECT_FALSE(mentions(run, "wrote render file")) << run.describe();
        // The host rendered nothing once the phase was refused.
        EXPECT_FALSE(mentions(run, "| Done")) << run.describe();
        EXPECT_TRUE(mentions(run, "frame 1: 0 rays traced")) << run.describe();
        EXPECT_TRUE(fs::is_empty(output.parent_path())) << run.describe();
    }
}
