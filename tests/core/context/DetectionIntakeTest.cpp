// The render phase's intake of the detection file refuses a header whose
// values it cannot use, before any ray is asked for.
#include <gtest/gtest.h>
#include <json/json.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "camera/CameraRays.h"
#include "camera/CameraSet.h"
#include "core/context/ContextTestSupport.h"
#include "io/QvlRenderFile.h"

using namespace QuorvelTest;
using Quorvel::BinIO::DetectPlaqueInfo;
using Quorvel::BinIO::header_v09;
using Quorvel::BinIO::qvlRenderSample5Aovs_t;

namespace {

// A detection file of two plaques at 312 x 208 with the full camera set, as
// the detection phase writes one; `placement` moves and scales the set.
std::string writeDetection(const std::string& path, const Quorvel::Camera::CameraPlacement& placement = {})
{
    header_v09 h;
    h.widthDisplay = 312;
    h.heightDisplay = 208;
    h.globalScale = placement.renderScale;
    h.boxScaleX = placement.zovScaling.x;
    h.boxScaleY = placement.zovScaling.y;
    h.boxScaleZ = placement.zovScaling.z;
    h.camOffsetX = placement.offsetRight;
    h.camOffsetY = placement.offsetTop;
    h.camOffsetZ = placement.offsetBack;
    h.draft = placement.draft ? 1 : 0;
    h.rtype = true;
    const Quorvel::Camera::CameraSet set = Quorvel::Camera::makeCameraSet(placement);
    h.cameraPositions = set.positions;
    h.cameraPriorities = set.priorities;
    h.cameraFaceMasks = set.faceMasks;
    qvlRenderSample5Aovs_t content;
    DetectPlaqueInfo a, b;
    a.x = 52;
    a.y = 52;
    a.depth = b.depth = 2.0f;
    a.normal = b.normal = VekPoint{0.0f, 0.0f, -1.0f};
    b.cameraIndex = placement.draft ? 0 : 17;
    b.x = 260;
    b.y = 150;
    content.plaques = {a, b};
    content.trailing.assign(312 * 208, 1);
    h.fillHoleCount = content.plaques.size();
    EXPECT_EQ(Quorvel::BinIO::qvlWriter_v9(path, h, content, Quorvel::Util::RE_VRay), Quorvel::BinIO::QVL_OK);
    return path;
}

std::string bytesOf(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

uint32_t u32At(const std::string& bytes, size_t at)
{
    uint32_t v = 0;
    std::memcpy(&v, bytes.data() + at, 4);
    return v;
}

// The file with its JSON header edited (length fixed up), blocks unchanged.
void editHeader(const std::string& path, const std::function<void(Json::Value&)>& edit)
{
    const std::string file = bytesOf(path);
    const uint32_t length = u32At(file, 16);
    Json::Value header;
    Json::Reader reader;
    ASSERT_TRUE(reader.parse(file.substr(20, length), header));
    edit(header);
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    const std::string json = Json::writeString(builder, header);
    std::string out = file.substr(0, 16);
    const uint32_t size = static_cast<uint32_t>(json.size());
    out.append(reinterpret_cast<const char*>(&size), 4);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << out + json + file.substr(20 + length);
}

class DetectionIntake : public ContextTest {
protected:
    // Configures a render phase of the file; the render file would go to `output`.
    void configure(const std::string& detection)
    {
        configureRender(detection);
        Quorvel::Phase::QvSetOutFilePath(output.c_str());
    }

    std::string output = dir.file("render.qvl");
};

std::string refused(const std::string& path)
{
    return "[Quorvel] The render phase cannot begin with the detection file " + path + ".\n";
}

Json::Value& camera(Json::Value& h, Json::ArrayIndex i)
{
    return h["cameras"][i];
}

} // namespace

TEST_F(DetectionIntake, HeaderValuesTheRenderPhaseCannotUseRefuseThePhase)
{
    using namespace Quorvel::Phase;
    const std::string display = "[Quorvel] The detection file %s has an invalid ";
    struct Case {
        const char* what;
        std::function<void(Json::Value&)> edit;
        std::string message; // %s stands for the file
    };
    const auto height = [](Json::Value v) { return [v](Json::Value& h) { h["heightDisplay"] = v; }; };
    const auto width = [](Json::Value v) { return [v](Json::Value& h) { h["widthDisplay"] = v; }; };
    const std::string heightRange = ", expected an integer from 208 to 4000.\n";
    const std::string widthRange = ", expected an integer from 312 to 6000.\n";
    const std::vector<Case> cases = {
        {"height 0", height(0), display + "heightDisplay: 0" + heightRange},
        {"height missing", [](Json::Value& h) { h.removeMember("heightDisplay"); },
         display + "heightDisplay: missing" + heightRange},
        {"height not an integer", height("208"), display + "heightDisplay: \"208\"" + heightRange},
        {"height a fraction", height(208.5), display + "heightDisplay: 208.5" + heightRange},
        {"height 65536", height(65536), display + "heightDisplay: 65536" + heightRange},
        {"height 65536 + 208", height(65536 + 208), display + "heightDisplay: 65744" + heightRange},
        {"height -1", height(-1), display + "heightDisplay: -1" + heightRange},
        {"height null", height(Json::Value()), display + "heightDisplay: null" + heightRange},
        {"width 312000", width(312000), display + "widthDisplay: 312000" + widthRange},
        {"width 0", width(0), display + "widthDisplay: 0" + widthRange},
        {"width a multiple of 65536", width(131072), display + "widthDisplay: 131072" + widthRange},
        {"display not 3:2", width(320),
         display + "display size 320x208, expected multiples of 8 in the ratio 3:2.\n"},
        {"display 3:2 but not a multiple of 8",
         [](Json::Value& h) {
             h["widthDisplay"] = 636;
             h["heightDisplay"] = 424;
         },
         display + "display size 636x424, expected multiples of 8 in the ratio 3:2.\n"},
        {"camera list doubled",
         [](Json::Value& h) {
             const Json::Value cameras = h["cameras"];
             for (const Json::Value& c : cameras)
                 h["cameras"].append(c);
         },
         "[Quorvel] The detection file %s has 512 cameras, expected 256 (or 1 in draft mode).\n"},
        {"camera list 40 times",
         [](Json::Value& h) {
             const Json::Value cameras = h["cameras"];
             for (int t = 1; t < 40; ++t)
                 for (const Json::Value& c : cameras)
                     h["cameras"].append(c);
         },
         "[Quorvel] The detection file %s has 10240 cameras, expected 256 (or 1 in draft mode).\n"},
        {"one camera short", [](Json::Value& h) { h["cameras"].resize(255); },
         "[Quorvel] The detection file %s has 255 cameras, expected 256 (or 1 in draft mode).\n"},
        {"one camera without draft mode", [](Json::Value& h) { h["cameras"].resize(1); },
         "[Quorvel] The detection file %s has 1 cameras, expected 256 (or 1 in draft mode).\n"},
        {"camera 0 facing +x instead of -x",
         [](Json::Value& h) {
             camera(h, 0)["direction"]["minusX"] = false;
             camera(h, 0)["direction"]["plusX"] = true;
         },
         "[Quorvel] The detection file %s gives camera 0 the faces {minusZ plusX}, expected {minusZ minusX} from "
         "its position (or all six).\n"},
        {"every camera's top and bottom flipped",
         [](Json::Value& h) {
             for (Json::Value& c : h["cameras"]) {
                 const bool up = c["direction"]["plusY"].asBool();
                 c["direction"]["plusY"] = c["direction"]["minusY"].asBool();
                 c["direction"]["minusY"] = up;
             }
         },
         // The side faces' cameras lie on neither; camera 128 is the first of the top face.
         "[Quorvel] The detection file %s gives camera 128 the faces {plusZ minusX minusY}, expected {plusZ minusX "
         "plusY} from its position (or all six).\n"},
        {"camera 3 without faces", [](Json::Value& h) { camera(h, 3)["direction"]["minusZ"] = false; },
         "[Quorvel] The detection file %s gives camera 3 the faces {}, expected {minusZ} from its position (or all "
         "six).\n"},
        {"camera position beyond float", [](Json::Value& h) { camera(h, 5)["location"]["y"] = 1e39; },
         "[Quorvel] The detection file %s gives camera 5 the position (12.500000, inf, -50.000000), expected "
         "finite coordinates.\n"},
        {"render scale beyond float", [](Json::Value& h) { h["globalScale"] = 1e39; },
         display + "globalScale: inf, expected a finite number.\n"},
        {"tolerance beyond float", [](Json::Value& h) { h["tolerance"] = -1e39; },
         display + "tolerance: -inf, expected a finite number.\n"},
        {"plaque count above the blocks", [](Json::Value& h) { h["fillHoleCount"] = 3; },
         display + "fillHoleCount: 3, the file holds 2 plaques.\n"},
        {"plaque count below the blocks", [](Json::Value& h) { h["fillHoleCount"] = 1; },
         display + "fillHoleCount: 1, the file holds 2 plaques.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // The blocks are laid out for the sound file; the header changes
        // before the phase begins.
        const std::string path = writeDetection(dir.file("detect.qvl"));
        configure(path);
        editHeader(path, c.edit);
        std::string expected = c.message;
        expected.replace(expected.find("%s"), 2, path);

        LogCapture capture;
        EXPECT_FALSE(QvPhaseBegin());
        std::vector<std::string> errors;
        for (const auto& e : capture.entries())
            if (e.level == Quorvel::Logger::ERROR)
                errors.push_back(LogCapture::stripHeader(e.text));
        EXPECT_EQ(errors, (std::vector<std::string>{expected, refused(path)}));
        EXPECT_FALSE(capture.contains("[Quorvel] read the detection file " + path + " .\n"));
        // Nothing of the file reached the context, and no ray can be shot.
        EXPECT_FALSE(ctx().initialised);
        EXPECT_EQ(ctx().phase, Render);
        EXPECT_TRUE(ctx().plaques.empty());
        EXPECT_TRUE(ctx().cameraPositions.empty());
        EXPECT_FALSE(ctx().plaqueTree);
        EXPECT_FALSE(Quorvel::Camera::QvGetRayRenderPhase(0.5, 0.5).valid);
        // A phase that never began writes nothing when the host ends it.
        EXPECT_FALSE(QvPhaseTerminate(Finalize));
        EXPECT_FALSE(std::filesystem::exists(output));
    }
}

// Detection files the phase writes, and the old ones without a camera table,
// still begin the render phase.
TEST_F(DetectionIntake, HeadersOfSoundFilesAreAccepted)
{
    using namespace Quorvel::Phase;
    Quorvel::Camera::CameraPlacement moved;
    moved.zovScaling = VekPoint{2.0f, 0.25f, 3.0f};
    moved.renderScale = 0.01f;
    moved.offsetRight = -4;
    moved.offsetTop = 2;
    moved.offsetBack = 7;
    Quorvel::Camera::CameraPlacement draft;
    draft.draft = true;
    Quorvel::Camera::CameraPlacement inside;
    inside.allDirections = true;
    struct Case {
        const char* what;
        Quorvel::Camera::CameraPlacement placement;
        std::function<void(Json::Value&)> edit;
        size_t cameras;
    };
    const std::vector<Case> cases = {
        {"as written", {}, [](Json::Value&) {}, 256},
        {"moved and scaled zone of view", moved, [](Json::Value&) {}, 256},
        {"draft mode, one camera", draft, [](Json::Value&) {}, 1},
        {"rendering inside the box: all faces", inside, [](Json::Value&) {}, 256},
        {"no camera table", {}, [](Json::Value& h) { h.removeMember("cameras"); }, 256},
        {"another display", {},
         [](Json::Value& h) {
             h["widthDisplay"] = 624;
             h["heightDisplay"] = 416;
         },
         256},
        {"display written as reals", {},
         [](Json::Value& h) {
             h["widthDisplay"] = 312.0;
             h["heightDisplay"] = 208.0;
         },
         256},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = writeDetection(dir.file("detect.qvl"), c.placement);
        editHeader(path, c.edit);
        configure(path);
        QvSetDraft(c.placement.draft);
        LogCapture capture;
        ASSERT_TRUE(QvPhaseBegin());
        for (const auto& e : capture.entries())
            EXPECT_NE(e.level, Quorvel::Logger::ERROR) << e.text;
        EXPECT_TRUE(capture.contains("[Quorvel] read the detection file " + path + " .\n"));
        EXPECT_EQ(ctx().plaques.size(), 2u);
        EXPECT_EQ(ctx().cameraPositions.size(), c.cameras);
        ASSERT_TRUE(QvPhaseTerminate(Discard));
    }
}

// The blocks are laid out from the header's plaque count: one the plaque
// block does not hold is refused before it sizes anything.
TEST_F(DetectionIntake, PlaqueCountsTheBlocksDoNotHoldAreRefusedWhenBlocksAreLaidOut)
{
    using namespace Quorvel::Phase;
    for (const uint64_t count : {uint64_t{3}, uint64_t{1}, uint64_t{1000000000000000}}) {
        SCOPED_TRACE(count);
        const std::string path = writeDetection(dir.file("detect.qvl"));
        editHeader(path, [&](Json::Value& h) { h["fillHoleCount"] = static_cast<Json::UInt64>(count); });
        const std::string message = "[Quorvel] The detection file " + path + " has an invalid fillHoleCount: " +
                                    std::to_string(count) + ", the file holds 2 plaques.\n";
        QvInitPhase(Render, Quorvel::Util::RE_VRay);
        setMandatorySettings();
        QvSetDetectFilePath(path.c_str());
        LogCapture capture;
        EXPECT_FALSE(QvComputeRenderingResolutionParameters(10, 10).valid);
        EXPECT_FALSE(QvComputeRenderingResolutionParameters(uint64_t{4}).valid);
        EXPECT_EQ(Quorvel::Block::QvGetBlockCountFromRenderingResolution(path, 10, 10), 0u);
        uint64_t width = 0, height = 0;
        EXPECT_FALSE(Quorvel::Block::QvGetRenderingResolutionFromBlockCount(path, 1, width, height));
        size_t refusals = 0;
        for (const std::string& m : capture.messages())
            refusals += m == message;
        EXPECT_EQ(refusals, 4u);
    }
}
