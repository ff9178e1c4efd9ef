#include <gtest/gtest.h>

#include <OpenColorIO/OpenColorIO.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "Assembly.h"
#include "ColorPipeline.h"
#include "Merger.h"
#include "MergerTestSupport.h"
#include "io/QvlRenderFile.h"

namespace OCIO = OCIO_NAMESPACE;
using namespace Quorvel::Merger;
using Quorvel::Binary::vekbin;
using Quorvel::BinIO::header_v09;
using MergerTest::TempDir;

namespace {

// One stored render sample with its AOVs.
struct Stored {
    uint16_t x;
    float depth;
    VekRGBA colour;
    VekRGB right{0.0f, 0.0f, 0.0f};
    bool transp = false;
    bool cockpit = false;
    VekPoint velocity{0.0f, 0.0f, 0.0f};
    uint8_t level = 0;
    uint16_t y = 0;
    uint8_t camera = 0;
};

header_v09 stereoHeader(int32_t frame, int32_t eye, uint64_t fillHoleCount = 0, int32_t offsetX = 0)
{
    header_v09 h = MergerTest::renderHeader(frame, eye, offsetX);
    h.stereoRender = true;
    h.fillHoleCount = fillHoleCount;
    h.cameraPositions = {{0.0f, 0.0f, 0.0f}, {0.5f, 0.0f, 0.0f}};
    h.cameraPriorities = {1.0f, 1.0f};
    h.cameraFaceMasks = {63u, 63u};
    h.AOVNames = {"Cd_Right", "qvlVelocity", "qvlTransp", "qvlCockpit"};
    h.AOVTypes = {Quorvel::Phase::AOV_RGB, Quorvel::Phase::AOV_Vector3, Quorvel::Phase::AOV_Int,
                  Quorvel::Phase::AOV_Int};
    h.aovNums = h.AOVTypes.size();
    return h;
}

// Writes a version-9.1 render file with the core's writer.
void writeRenderFile(const std::filesystem::path& path, header_v09 header, const std::vector<Stored>& samples,
                     std::vector<uint8_t> mask = {}, Quorvel::Util::RenderingEngineId engine = Quorvel::Util::RE_VRay)
{
    std::filesystem::create_directories(path.parent_path());
    Quorvel::BinIO::qvlRenderSample5Aovs_t content;
    const size_t n = header.AOVTypes.size();
    header.sampleNums = samples.size();
    for (const Stored& s : samples) {
        Quorvel::BinIO::qvlRenderSample5_t r;
        r.depth = s.depth;
        r.colour[0] = half_float::half(s.colour.r);
        r.colour[1] = half_float::half(s.colour.g);
        r.colour[2] = half_float::half(s.colour.b);
        r.colour[3] = half_float::half(s.colour.a);
        r.normal[0] = half_float::half(0.0f);
        r.normal[1] = half_float::half(0.0f);
        r.normal[2] = half_float::half(2.0f);
        r.x = s.x;
        r.y = s.y;
        r.cameraIndex = s.camera;
        r.level = s.level;
        content.samples.push_back(r);
        for (size_t j = 0; j < n; ++j) {
            Quorvel::RenderSample::AOVData slot{};
            const std::string& name = header.AOVNames[j];
            if (name == "Cd_Right") {
                slot.asVec3[0] = s.right.r;
                slot.asVec3[1] = s.right.g;
                slot.asVec3[2] = s.right.b;
            } else if (name == "qvlVelocity") {
                slot.asVec3[0] = s.velocity.x;
                slot.asVec3[1] = s.velocity.y;
                slot.asVec3[2] = s.velocity.z;
            } else if (name == "qvlTransp") {
                slot.asInt = s.transp ? 1 : 0;
            } else if (name == "qvlCockpit") {
                slot.asInt = s.cockpit ? 1 : 0;
            }
            content.aovs.push_back(slot);
        }
    }
    content.trailing = std::move(mask);
    ASSERT_EQ(Quorvel::BinIO::qvlWriter_v9(path.string(), header, content, engine), 0) << path;
}

struct Captured {
    header_v09 key;
    size_t files = 0;
    AssembledGroup assembled;
};

MergerTest::Run runAndCapture(std::vector<std::string> args, std::vector<Captured>& groups)
{
    return MergerTest::runMerger(args, [&](const RenderGroup& group, AssembledGroup& assembled) {
        groups.push_back({group.first, group.second.size(), assembled});
        return true;
    });
}

// (x, red, right red) of every sample, sorted.
std::vector<std::tuple<int, float, float>> summary(const std::vector<vekbin>& samples)
{
    std::vector<std::tuple<int, float, float>> out;
    for (const vekbin& s : samples)
        out.emplace_back(s.x, s.colour.r, s.rightColour.r);
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace

TEST(MergerAssembly, GroupsReadInParallelAndCombinedAcrossTheEyes)
{
    TempDir dir;
    TempDir out;
    // Frame 1: left and right primary passes, a left secondary pass. The
    // right file's colours are 0.5 + x / 8, the left's x / 8.
    writeRenderFile(dir / "f1" / "right.qvlr", stereoHeader(1, 2),
                    {{1, 10.0f, {0.625f, 0, 0, 1}, {0.625f, 0, 0}},
                     {2, 13.0f, {0.75f, 0, 0, 1}, {0.75f, 0, 0}}},
                    {0, 4});
    writeRenderFile(dir / "f1" / "left.qvlr", stereoHeader(1, 1),
                    {{1, 10.0f, {0.125f, 0, 0, 1}, {0.125f, 0, 0}},
                     {2, 10.0f, {0.25f, 0, 0, 1}, {0.25f, 0, 0}},
                     {3, 10.0f, {0.375f, 0, 0, 1}, {0.375f, 0, 0}}},
                    {1, 0});
    writeRenderFile(dir / "f1" / "secondary" / "left2.qvlr", stereoHeader(1, 1, 7),
                    {{6, 10.0f, {0.5f, 0, 0, 1}, {0.875f, 0, 0}}}, {0, 0, 2});
    // Frame 2: a left file without partner.
    writeRenderFile(dir / "f2" / "left.qvlr", stereoHeader(2, 1), {{4, 10.0f, {0.5f, 0, 0, 1}, {0.25f, 0, 0}}});
    // Another zone of view.
    writeRenderFile(dir / "zov1" / "left.qvlr", stereoHeader(1, 1, 0, 1), {{5, 10.0f, {1, 0, 0, 1}, {1, 0, 0}}});

    std::vector<Captured> groups;
    const MergerTest::Run run =
        runAndCapture({"qm", dir.path().string(), "--output", (out / "shot.qvl").string(), "-l", "0"}, groups);
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(run.logged("Found 4 Quorvel files distributed on 2 different(s) type(s).\n"));
    EXPECT_TRUE(run.logged("Merging frame(s) : [1;2] \n"));
    EXPECT_TRUE(run.logged("Found left file " + std::filesystem::canonical(dir / "f1" / "left.qvlr").string() + "\n"));
    EXPECT_TRUE(run.logged("Found right file " + std::filesystem::canonical(dir / "f1" / "right.qvlr").string() + "\n"));
    EXPECT_TRUE(run.logged("Only found left file. There is no right file \n"));
    EXPECT_TRUE(run.logged("result opaque size 2 \n"));
    EXPECT_TRUE(run.logged("result opaque no match size 1 \n"));
    EXPECT_TRUE(run.logged("Assembly total samples read 4 \n"));
    EXPECT_TRUE(run.logged("Assembly total samples read 1 \n"));
    EXPECT_TRUE(run.logged("Success ! Closing Quorvel Merger. \n"));

    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[0].key.frame, 1);
    EXPECT_EQ(groups[0].files, 3u);
    EXPECT_EQ(groups[0].assembled.output, out / "shot.0001.qvl");
    EXPECT_EQ(groups[1].key.frame, 2);
    EXPECT_EQ(groups[1].files, 1u);
    EXPECT_EQ(groups[1].assembled.output, out / "shot.0002.qvl");

    // x 1 matches its right sample; x 2 is 30 % deeper on the right and takes
    // its nearest right neighbour (x 1); x 3 has no right sample and keeps its
    // colour; the secondary pass keeps its own right colour; the right file
    // adds nothing of its own.
    const AssembledGroup& f1 = groups[0].assembled;
    using S = std::tuple<int, float, float>;
    EXPECT_EQ(summary(f1.opaque), (std::vector<S>{{1, 0.125f, 0.625f}, {2, 0.25f, 0.625f}, {3, 0.375f, 0.375f},
                                                   {6, 0.5f, 0.875f}}));
    EXPECT_TRUE(f1.transparent.empty());
    EXPECT_EQ(f1.engine, Quorvel::Util::RE_VRay);
    // Masks of the files used on their own, OR-ed; the left partner's is not.
    EXPECT_EQ(f1.pixelMask, (std::vector<uint8_t>{0, 4, 2}));
    ASSERT_EQ(f1.cameras.size(), 2u);
    EXPECT_EQ(f1.cameras[1].x, 0.5f);

    EXPECT_EQ(summary(groups[1].assembled.opaque), (std::vector<S>{{4, 0.5f, 0.25f}}));

    groups.clear();
    const MergerTest::Run other = runAndCapture(
        {"qm", dir.path().string(), "--output", (out / "zov_#.qvl").string(), "--zovOffset", "1,0,0", "-l", "0"},
        groups);
    EXPECT_EQ(other.status, 0);
    ASSERT_EQ(groups.size(), 1u);
    EXPECT_EQ(summary(groups[0].assembled.opaque), (std::vector<S>{{5, 1.0f, 1.0f}}));
}

TEST(MergerAssembly, SampleConversionSplitsFiltersAndKeepsTheAovs)
{
    TempDir dir;
    TempDir out;
    header_v09 h = stereoHeader(3, 0);
    h.globalScale = 2.0f;
    Stored moving{1, 5.0f, {0.5f, 0.25f, 0.125f, 1.0f}, {0.75f, 0.5f, 0.25f}};
    moving.velocity = {1.0f, -2.0f, 0.5f};
    moving.cockpit = true;
    moving.level = 2;
    moving.camera = 1;
    moving.y = 3;
    Stored flagged{2, 6.0f, {0.5f, 0.5f, 0.5f, 1.0f}, {0.5f, 0.5f, 0.5f}};
    flagged.transp = true;
    const float belowOne = 0.99951171875f; // the largest half below 1
    writeRenderFile(dir / "a.qvlr", h,
                    {moving,
                     flagged,
                     {3, 7.0f, {0.5f, 0.5f, 0.5f, belowOne}, {0.5f, 0.5f, 0.5f}},
                     {4, 12.0f, {0.5f, 0.5f, 0.5f, 1.0f}},
                     {5, std::nextafter(12.0f, 13.0f), {0.5f, 0.5f, 0.5f, 1.0f}},
                     {6, 0.25f, {0.5f, 0.5f, 0.5f, 1.0f}}});

    std::vector<Captured> groups;
    const MergerTest::Run run = runAndCapture({"qm", dir.path().string(), "--output", (out / "o.qvl").string(),
                                               "--mindist", "0.5", "--maxDist", "12", "-l", "0"},
                                              groups);
    EXPECT_EQ(run.status, 0);
    ASSERT_EQ(groups.size(), 1u);
    const AssembledGroup& g = groups[0].assembled;
    // Depth 12 is kept, the next float and 0.25 are dropped; alpha below 1 is
    // transparent even as 0.9995; the transparency flag alone does not move a
    // sample out of the opaque list.
    ASSERT_EQ(g.opaque.size(), 3u);
    ASSERT_EQ(g.transparent.size(), 1u);
    EXPECT_EQ(g.transparent[0].x, 3);
    EXPECT_EQ(g.transparent[0].colour.a, belowOne);
    EXPECT_TRUE(g.transparent[0].transparent);

    std::map<int, vekbin> byX;
    for (const vekbin& s : g.opaque)
        byX[s.x] = s;
    ASSERT_EQ(byX.count(1) + byX.count(2) + byX.count(4), 3u);
    const vekbin& m = byX[1];
    EXPECT_EQ(m.y, 3);
    EXPECT_EQ(m.camera, 1);
    EXPECT_EQ(m.depth, 5.0);
    EXPECT_EQ(m.level, 2);
    EXPECT_EQ(m.plaqueWidth, 1);
    EXPECT_EQ(m.plaqueHeight, 1);
    EXPECT_EQ(m.width, 24);
    EXPECT_EQ(m.height, 16);
    EXPECT_EQ(m.normal.x, 0.0f);
    EXPECT_EQ(m.normal.z, 1.0f);
    EXPECT_EQ(m.velocity.x, 1.0f);
    EXPECT_EQ(m.velocity.y, -2.0f);
    EXPECT_EQ(m.velocity.z, 0.5f);
    EXPECT_TRUE(m.cockpitFlag);
    EXPECT_FALSE(m.transpFlag);
    EXPECT_EQ(m.colour.r, 0.5f);
    EXPECT_EQ(m.colour.g, 0.25f);
    EXPECT_EQ(m.colour.b, 0.125f);
    EXPECT_EQ(m.rightColour.r, 0.75f);
    EXPECT_EQ(m.rightColour.g, 0.5f);
    EXPECT_EQ(m.rightColour.b, 0.25f);
    EXPECT_EQ(m.key, (((uint64_t{1} << 24) + 3) << 32) + 1);
    // Position from the scaled camera 1 at (1, 0, 0).
    vekbin expected = m;
    expected.updateDerived({{0.0f, 0.0f, 0.0f}, {1.0f, 0.0f, 0.0f}}, 1);
    EXPECT_EQ(m.position.x, expected.position.x);
    EXPECT_EQ(m.position.y, expected.position.y);
    EXPECT_EQ(m.position.z, expected.position.z);
    EXPECT_TRUE(byX[2].transpFlag);
    EXPECT_TRUE(byX[2].transparent);
}

TEST(MergerAssembly, GradeAndColourSpaceApplyOnceToEveryColour)
{
    TempDir dir;
    TempDir out;
    const std::string config = (dir / "config" / "config.ocio").string();
    MergerTest::writeBytes(config, R"(ocio_profile_version: 1
roles:
  default: linear
displays:
  sRGB:
    - !<View> {name: Raw, colorspace: linear}
colorspaces:
  - !<ColorSpace>
    name: linear
  - !<ColorSpace>
    name: gamma 2.2
    from_reference: !<ExponentTransform> {value: [0.4545454545, 0.4545454545, 0.4545454545, 1]}
)");
    writeRenderFile(dir / "r" / "left.qvlr", stereoHeader(1, 1), {{1, 10.0f, {0.25f, 0.5f, 0.75f, 1}, {0.125f, 0.5f, 1}}});
    writeRenderFile(dir / "r" / "right.qvlr", stereoHeader(1, 2), {{1, 10.0f, {0.375f, 0.25f, 0.5f, 1}, {0, 0, 0}}});
    writeRenderFile(dir / "r" / "single.qvlr", stereoHeader(1, 0), {{2, 10.0f, {0.5f, 0.5f, 0.5f, 0.5f}, {0.25f, 0.75f, 0.5f}}});

    std::vector<Captured> groups;
    const MergerTest::Run run = runAndCapture(
        {"qm", dir.path().string(), "--output", (out / "o.qvl").string(), "--OCIOconfig", config,
         "--applyColorSpaceTo", "gamma 2.2", "--lift", "0.1,0,0", "--gain", "1,2,1", "--pow", "1,1,2", "-l", "0"},
        groups);
    EXPECT_EQ(run.status, 0);
    ASSERT_EQ(groups.size(), 1u);

    const OCIO::ConstCPUProcessorRcPtr reference = OCIO::Config::CreateFromFile(config.c_str())
                                                       ->getProcessor("linear", "gamma 2.2")
                                                       ->getDefaultCPUProcessor();
    const std::vector<float> lift{0.1f, 0, 0}, gain{1, 2, 1}, pow{1, 1, 2};
    auto once = [&](VekRGBA c) {
        const VekRGBA graded = gradeColour(c, lift, gain, pow);
        float v[4] = {graded.r, graded.g, graded.b, graded.a};
        reference->applyRGBA(v);
        return VekRGBA{v[0], v[1], v[2], v[3]};
    };
    auto onceRgb = [&](VekRGB c) {
        const VekRGBA graded = gradeColour({c.r, c.g, c.b, 1.0f}, lift, gain, pow);
        float v[3] = {graded.r, graded.g, graded.b};
        reference->applyRGB(v);
        return VekRGB{v[0], v[1], v[2]};
    };
    auto expectRgb = [](VekRGB got, VekRGB want) {
        EXPECT_EQ(got.r, want.r);
        EXPECT_EQ(got.g, want.g);
        EXPECT_EQ(got.b, want.b);
    };
    const AssembledGroup& g = groups[0].assembled;
    ASSERT_EQ(g.opaque.size(), 1u);
    ASSERT_EQ(g.transparent.size(), 1u);
    // The left sample: its colour, and the right file's colour as right colour.
    const VekRGBA left = once({0.25f, 0.5f, 0.75f, 1});
    EXPECT_EQ(g.opaque[0].colour.r, left.r);
    EXPECT_EQ(g.opaque[0].colour.g, left.g);
    EXPECT_EQ(g.opaque[0].colour.b, left.b);
    EXPECT_EQ(g.opaque[0].colour.a, left.a);
    expectRgb(g.opaque[0].rightColour, onceRgb({0.375f, 0.25f, 0.5f}));
    // A sample used alone: its own right-eye AOV.
    const VekRGBA single = once({0.5f, 0.5f, 0.5f, 0.5f});
    EXPECT_EQ(g.transparent[0].colour.r, single.r);
    EXPECT_EQ(g.transparent[0].colour.a, single.a);
    expectRgb(g.transparent[0].rightColour, onceRgb({0.25f, 0.75f, 0.5f}));
}

TEST(MergerAssembly, BrokenFilesAreReportedAndTheirGroupIsNotWritten)
{
    TempDir dir;
    TempDir out;
    writeRenderFile(dir / "good.qvlr", stereoHeader(1, 0), {{1, 10.0f, {0.5f, 0, 0, 1}, {0.5f, 0, 0}}}, {3});
    // The core's detect-as-render debug files carry engine 50.
    writeRenderFile(dir / "other_engine.qvlr", stereoHeader(1, 0), {{2, 10.0f, {0.5f, 0, 0, 1}, {0.5f, 0, 0}}}, {},
                    static_cast<Quorvel::Util::RenderingEngineId>(50));
    // Truncated inside its blocks.
    writeRenderFile(dir / "truncated.qvlr", stereoHeader(1, 0), {{3, 10.0f, {0.5f, 0, 0, 1}}});
    const auto truncated = dir / "truncated.qvlr";
    std::filesystem::resize_file(truncated, std::filesystem::file_size(truncated) - 20);
    // Stereo without its right-eye colour.
    header_v09 noRight = stereoHeader(1, 0);
    noRight.AOVNames = {"qvlVelocity"};
    noRight.AOVTypes = {Quorvel::Phase::AOV_Vector3};
    noRight.aovNums = 1;
    writeRenderFile(dir / "no_right.qvlr", noRight, {{4, 10.0f, {0.5f, 0, 0, 1}}});
    // An older version is left out without an error.
    writeRenderFile(dir / "old.qvlr", stereoHeader(1, 0), {{5, 10.0f, {0.5f, 0, 0, 1}}});
    {
        std::fstream f(dir / "old.qvlr", std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(14);
        f.put(6);
    }
    const auto before = std::filesystem::file_size(dir / "good.qvlr");

    std::vector<Captured> groups;
    const MergerTest::Run run =
        runAndCapture({"qm", dir.path().string(), "--output", (out / "o.qvl").string(), "-l", "0"}, groups);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(groups.empty());
    EXPECT_FALSE(std::filesystem::exists(out / "o.qvl"));

    // The assembly itself still delivers what it could read.
    params settings;
    settings.output = (out / "o.qvl").string();
    RenderGroupTable table;
    ASSERT_EQ(discoverRenderFiles(settings, std::filesystem::canonical(dir.path()), table), 5u);
    ASSERT_EQ(table.size(), 1u);
    AssembledGroup assembled;
    {
        QuorvelTest::LogCapture quiet;
        EXPECT_FALSE(assemblingSampleFromQvlFiles(settings, *table.begin(), assembled.opaque, assembled.transparent,
                                                  assembled.pixelMask, assembled.engine));
    }
    EXPECT_EQ(summary(assembled.opaque), (std::vector<std::tuple<int, float, float>>{{1, 0.5f, 0.5f},
                                                                                     {2, 0.5f, 0.5f}}));
    EXPECT_EQ(assembled.engine, Quorvel::Util::RE_VRay);
    EXPECT_EQ(assembled.pixelMask, std::vector<uint8_t>{3});

    const std::string canonical = std::filesystem::canonical(dir.path()).string();
    int readErrors = 0;
    for (const auto& e : run.entries) {
        const std::string m = QuorvelTest::LogCapture::stripHeader(e.text);
        if (m.rfind("File read error(", 0) == 0 && e.level == Quorvel::Logger::ERROR) {
            ++readErrors;
            EXPECT_TRUE(m.find(canonical + "/truncated.qvlr .\n") != std::string::npos ||
                        m == "File read error(-9) " + canonical + "/no_right.qvlr .\n")
                << m;
        }
    }
    EXPECT_EQ(readErrors, 2);
    EXPECT_TRUE(run.logged("AOV for deepReflection is missing in " + canonical + "/no_right.qvlr .\n"));
    EXPECT_TRUE(run.logged("Unable to merge file coming from different rendering engines.\n"));
    EXPECT_TRUE(run.logged("something went wrong during the qvlRender assembly.\n"));
    EXPECT_EQ(run.messages.back(), "Somthing went wrong drong the process...Closing Quorvel Merger. \n");
    EXPECT_EQ(std::filesystem::file_size(dir / "good.qvlr"), before);
}

// A render file discovered and then replaced before its group is read (a
// requeued render task rewriting it, a disk error): the error names the file,
// the run fails and the group is not written.
TEST(MergerAssembly, AFileReplacedAfterDiscoveryFailsTheRun)
{
    namespace fs = std::filesystem;
    const struct {
        const char* name;
        std::function<void(const fs::path&)> replace;
    } cases[] = {
        {"cut in its header", [](const fs::path& p) { fs::resize_file(p, 40); }},
        {"cut in its blocks", [](const fs::path& p) { fs::resize_file(p, fs::file_size(p) - 10); }},
        {"foreign bytes", [](const fs::path& p) { MergerTest::writeBytes(p, "GIF89a, a picture"); }},
        {"removed", [](const fs::path& p) { fs::remove(p); }},
        {"a folder",
         [](const fs::path& p) {
             fs::remove(p);
             fs::create_directories(p / "inside");
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        TempDir out;
        writeRenderFile(dir / "kept.qvlr", stereoHeader(1, 0), {{1, 10.0f, {0.5f, 0, 0, 1}, {0.5f, 0, 0}}});
        writeRenderFile(dir / "victim.qvlr", stereoHeader(1, 0), {{2, 10.0f, {0.5f, 0, 0, 1}, {0.5f, 0, 0}}});
        params run;
        run.output = (out / "o_#.qvl").string();
        const std::string input = fs::canonical(dir.path()).string();
        RenderGroupTable table;
        ASSERT_EQ(discoverRenderFiles(run, input, table), 2u);
        const std::string victim = input + "/victim.qvlr";
        c.replace(victim);

        QuorvelTest::LogCapture log;
        bool handedOver = false;
        const bool failed = do_merging(run, input, table, [&](const RenderGroup&, AssembledGroup&) {
            handedOver = true;
            return true;
        });
        EXPECT_TRUE(failed);
        int named = 0;
        for (const auto& e : log.entries())
            if (e.level == Quorvel::Logger::ERROR && e.text.find(victim + " ") != std::string::npos)
                ++named;
        EXPECT_EQ(named, 1);
        EXPECT_FALSE(handedOver);
    }
}
