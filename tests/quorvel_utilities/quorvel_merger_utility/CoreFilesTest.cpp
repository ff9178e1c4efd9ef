// The merger on render files the core wrote: two zone-of-view offsets, two
// frames, both eyes, produced by the test host through both phases.

#include <gtest/gtest.h>
#include <lodepng.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "Merger.h"
#include "MergerTestSupport.h"
#include "support/CorePhases.h"
#include "support/FinalViewBytes.h"
#include "support/PhaseFileBytes.h"

namespace {

namespace fs = std::filesystem;
using namespace QuorvelTest;
using Quorvel::Binary::vekbin;
using Quorvel::Merger::AssembledGroup;
using Quorvel::Merger::RenderGroup;

// The right eye sees every colour rotated, so a right colour tells which
// eye's sample it came from.
VekRGBA eyeColour(const VekRGBA& c, Quorvel::Phase::Eye eye)
{
    return eye == Quorvel::Phase::RC_Right ? VekRGBA{c.b, c.r, c.g, c.a} : c;
}

// Right-eye weight of a sample at `depth` for the group's ipd 63.5 and
// render scale 50: beyond the weight's reach the left colour stands for both
// eyes.
float eyeShift(float depth)
{
    const float f = static_cast<float>(-(63.5 / 20.0 / 50.0));
    const float q = (std::fabs(depth * 3.1825f / f) - 5000.0f) / 500.0f;
    return q < 0.0f ? 1.0f : (q > 1.0f ? 0.0f : 1.0f - (3.0f - 2.0f * q) * q * q);
}

std::map<fs::path, std::string> snapshot(const fs::path& root)
{
    std::map<fs::path, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        std::ifstream in(entry.path(), std::ios::binary);
        files[entry.path()] = entry.is_directory()
                                  ? "<dir>"
                                  : std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    return files;
}

class MergerOnCoreFiles : public ::testing::Test {
protected:
    // Render files of both eyes for two frames of each offset, under
    // <input>/zov<right>/frame<n>/; only the corner around the red ball is
    // rendered (clipping sphere), which keeps the phases short.
    static void SetUpTestSuite()
    {
        input_ = new MergerTest::TempDir;
        const MergerTest::TempDir detection;
        TestHost host;
        LogCapture quiet;
        Quorvel::Phase::QvSetClippingSphere(true, VekPoint{2.5f, 0.0f, -3.0f}, 1.2f, false);
        for (const int32_t right : {0, 1}) {
            PhaseSetup setup;
            setup.offset[0] = right;
            setup.detectionSamplesPerPixel = 4;
            setup.renderSamplesPerPixel = 2;
            const std::string detectFile = (detection / ("zov" + std::to_string(right) + ".qvl")).string();
            ASSERT_TRUE(runDetectionPhase(host, setup, detectFile));
            const uint64_t plaques = readPhaseFile(detectFile).plaques.size();
            for (const int32_t frame : {1, 2}) {
                setup.frame = frame;
                const fs::path dir = input_->path() / ("zov" + std::to_string(right)) / ("frame" + std::to_string(frame));
                fs::create_directories(dir);
                for (const auto eye : {Quorvel::Phase::RC_Left, Quorvel::Phase::RC_Right}) {
                    host.shade = [eye](const SceneHit& hit) { return eyeColour(hit.color, eye); };
                    const fs::path file = dir / (eye == Quorvel::Phase::RC_Left ? "left.qvl" : "right.qvl");
                    Quorvel::Phase::QvResolutionParam used;
                    ASSERT_TRUE(runRenderPhase(host, setup, detectFile, plaques, 2, eye, file.string(), used));
                }
            }
        }
        Quorvel::Phase::QvSetClippingSphere(false, VekPoint{0.0f, 0.0f, 0.0f}, 0.0f, false);
    }

    static void TearDownTestSuite()
    {
        delete input_;
        input_ = nullptr;
    }

    static MergerTest::TempDir* input_;
};

MergerTest::TempDir* MergerOnCoreFiles::input_ = nullptr;

struct Captured {
    Quorvel::BinIO::header_v09 key;
    std::vector<fs::path> files;
    AssembledGroup assembled;
};

TEST_F(MergerOnCoreFiles, GroupsByOffsetAndFrameAndCombinesTheEyes)
{
    const auto before = snapshot(input_->path());
    ASSERT_EQ(before.size(), 2u + 4u + 8u); // zov folders, frame folders, files
    MergerTest::TempDir out;

    for (const int32_t right : {0, 1}) {
        SCOPED_TRACE("offset " + std::to_string(right));
        std::vector<Captured> groups;
        const MergerTest::Run run = MergerTest::runMerger(
            {"qm", input_->path().string(), "--output", (out / "view.qvl").string(), "--zovOffset",
             std::to_string(right) + ",0,0", "-l", "0"},
            [&](const RenderGroup& group, AssembledGroup& assembled) {
                groups.push_back({group.first, group.second, assembled});
                return true;
            });
        EXPECT_EQ(run.status, 0);
        EXPECT_TRUE(run.logged("Found 4 Quorvel files distributed on 2 different(s) type(s).\n"));
        EXPECT_TRUE(run.logged("Merging frame(s) : [1;2] \n"));
        EXPECT_TRUE(run.logged("result opaque no match size 0 \n"));

        ASSERT_EQ(groups.size(), 2u);
        for (size_t g = 0; g < 2; ++g) {
            const Captured& group = groups[g];
            const int32_t frame = static_cast<int32_t>(g) + 1;
            SCOPED_TRACE("frame " + std::to_string(frame));
            EXPECT_EQ(group.key.frame, frame);
            EXPECT_EQ(group.key.camOffsetX, right);
            EXPECT_EQ(group.key.camOffsetY, 0);
            EXPECT_EQ(group.key.camOffsetZ, 0);
            EXPECT_EQ(group.key.globalScale, 50.0f);
            const fs::path dir = fs::canonical(input_->path()) / ("zov" + std::to_string(right)) /
                                 ("frame" + std::to_string(frame));
            ASSERT_EQ(group.files.size(), 2u);
            EXPECT_EQ(fs::canonical(group.files[0]).parent_path(), dir);
            EXPECT_EQ(fs::canonical(group.files[1]).parent_path(), dir);
            EXPECT_TRUE(run.logged("Found left file " + (dir / "left.qvl").string() + "\n"));
            EXPECT_TRUE(run.logged("Found right file " + (dir / "right.qvl").string() + "\n"));

            // The left file's samples, each once, and nothing of the right
            // file's own: both eyes shot the same plaques with the same rays,
            // so every left sample meets its right twin at the same depth and
            // takes the twin's (rotated) colour, unless it lies beyond the
            // reach of the eye shift.
            const PhaseFile left = readPhaseFile((dir / "left.qvl").string());
            const AssembledGroup& a = group.assembled;
            ASSERT_GT(left.samples.size(), 100u);
            EXPECT_EQ(a.opaque.size() + a.transparent.size(), left.samples.size());
            EXPECT_TRUE(run.logged("Assembly total samples read " + std::to_string(left.samples.size()) + " \n"));
            size_t shifted = 0;
            for (const std::vector<vekbin>* list : {&a.opaque, &a.transparent})
                for (const vekbin& s : *list) {
                    const bool matched = eyeShift(static_cast<float>(s.depth)) != 0.0f;
                    shifted += matched;
                    const VekRGBA own = s.colour;
                    const VekRGB want = matched ? VekRGB{own.b, own.r, own.g} : VekRGB{own.r, own.g, own.b};
                    EXPECT_EQ(s.rightColour.r, want.r) << s.x << "," << s.y << " depth " << s.depth;
                    EXPECT_EQ(s.rightColour.g, want.g);
                    EXPECT_EQ(s.rightColour.b, want.b);
                }
            EXPECT_GT(shifted, 0u);
        }
    }
    // The merger only read its input.
    EXPECT_EQ(snapshot(input_->path()), before);
}

// Checks the fixed part of a final view file against the render file it came
// from: header, section sizes and offsets, named blocks and trailer. Returns
// the camera table in test-scene units (empty when the table is unreadable).
std::vector<VekPoint> expectFinalViewLayout(const Bytes& f, const Json::Value& h)
{
    const uint8_t magic[8] = {0x82, 0x51, 0x56, 0x4C, 0x3D, 0x0A, 0x24, 0x0A};
    EXPECT_GE(f.data.size(), 200u);
    if (f.data.size() < 200)
        return {};
    EXPECT_EQ(std::memcmp(f.data.data(), magic, 8), 0);
    EXPECT_EQ(f.u16(8), 4);
    EXPECT_EQ(f.u16(10), 0);
    EXPECT_EQ(f.u16(16), h["widthDisplay"].asInt());
    EXPECT_EQ(f.u16(18), h["heightDisplay"].asInt());
    const float scale[3] = {h["boxScaleX"].asFloat(), h["boxScaleY"].asFloat(), h["boxScaleZ"].asFloat()};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(f.f32(20 + 4 * i), -50.0f * scale[i]);
        EXPECT_EQ(f.f32(32 + 4 * i), 50.0f * scale[i]);
    }
    for (int i = 44; i < 48; ++i)
        EXPECT_EQ(f.data[i], 0) << i; // zero offsets
    EXPECT_EQ(f.u32(48) + f.u32(52), f.u32(12));
    EXPECT_EQ(f.u32(56), 9u); // cube projection, no motion, not a draft
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(f.f32(60 + 4 * i), 0.0f);
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            EXPECT_EQ(f.f32(84 + 16 * r + 4 * c), h["CamToWorld" + std::to_string(r) + std::to_string(c)].asFloat());

    EXPECT_EQ(f.u32(148), 200u);
    EXPECT_EQ(f.u32(156), 200u);
    EXPECT_EQ(f.u32(160), 0u);
    EXPECT_EQ(f.u32(164), 0u);
    EXPECT_EQ(f.u32(192), 16u + 12u + 11u + 3072u);
    EXPECT_EQ(f.u32(196), 200u + f.u32(152));
    EXPECT_GT(f.u32(168), 0u);
    EXPECT_EQ(f.u32(172), f.u32(196) + f.u32(192));
    EXPECT_EQ(f.u32(176), 552u);
    EXPECT_EQ(f.u32(180), f.u32(172) + f.u32(168));
    if (f.u32(184) != 0) {
        EXPECT_EQ(f.u32(188), f.u32(180) + 552u);
        EXPECT_EQ(f.data.size(), f.u32(188) + static_cast<size_t>(f.u32(184)));
    } else {
        EXPECT_EQ(f.u32(188), 0u);
        EXPECT_EQ(f.data.size(), f.u32(180) + 552u);
    }
    EXPECT_EQ(decodedEngine(f), 1);
    const size_t t = f.u32(180);
    const std::vector<uint8_t> trailer = f.slice(t, 552);
    if (trailer.size() != 552)
        return {};
    EXPECT_EQ(std::count(trailer.begin(), trailer.begin() + 512, 0), 512);
    EXPECT_EQ(f.u32(t + 512), 1u);
    EXPECT_EQ(f.u16(t + 518), 4);
    const uint32_t ranges[8] = {0, 44, 48, 36, 148, 20, 176, 8};
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(f.u32(t + 520 + 4 * i), ranges[i]);

    std::vector<unsigned char> picture;
    unsigned pw = 0, ph = 0;
    EXPECT_EQ(lodepng::decode(picture, pw, ph, f.slice(f.u32(172), f.u32(168))), 0u);
    EXPECT_EQ(pw, 256u);
    EXPECT_EQ(ph, 256u);

    // One named block, "camPosTable": 256 camera positions in hundredths of
    // scene units (render-file positions times the global scale).
    const size_t nb = f.u32(196);
    if (f.slice(nb, f.u32(192)).size() != 16u + 12u + 11u + 3072u)
        return {};
    EXPECT_EQ(f.u32(nb), 0x0042564Bu);
    EXPECT_EQ(f.u32(nb + 4), 1u);
    EXPECT_EQ(f.u16(nb + 8), 11);
    EXPECT_EQ(f.u16(nb + 10), 8);
    EXPECT_EQ(f.u32(nb + 12), 8u + 11u);
    const std::vector<uint8_t> name = f.slice(nb + 16, 11);
    EXPECT_EQ(std::string(name.begin(), name.end()), "camPosTable");
    const size_t record = nb + 8 + 8 + 11;
    EXPECT_EQ(f.u32(record), 3072u);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(f.data[record + 4 + 3072 + i], 0);
    const float global = h["globalScale"].asFloat();
    const Json::Value& cameras = h["cameras"];
    std::vector<VekPoint> table;
    for (Json::ArrayIndex k = 0; k < 256; ++k) {
        const VekPoint p{f.f32(record + 4 + 12 * k), f.f32(record + 8 + 12 * k), f.f32(record + 12 + 12 * k)};
        if (k < cameras.size()) {
            const Json::Value& l = cameras[k]["location"];
            EXPECT_FLOAT_EQ(p.x, l["x"].asFloat() * global * 0.01f) << k;
            EXPECT_FLOAT_EQ(p.y, l["y"].asFloat() * global * 0.01f) << k;
            EXPECT_FLOAT_EQ(p.z, l["z"].asFloat() * global * 0.01f) << k;
        } else {
            EXPECT_EQ(p.x, 0.0f);
            EXPECT_EQ(p.y, 0.0f);
            EXPECT_EQ(p.z, 0.0f);
        }
        table.push_back({p.x * 100.0f / global, p.y * 100.0f / global, p.z * 100.0f / global});
    }
    return table;
}

// How a sample code is turned into a point: the sound decoder and two broken
// ones that the checks must reject.
enum class Decoder { Sound, SwappedAxes, FroxelDepth };

struct DecodedSample {
    CubeSampleCode code;
    int level = 0, cellsWide = 1, cellsHigh = 1;
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0; // pixels the plaque covers, [x0, x1) x [y0, y1)
    double depth = 0.0;                 // scene units
    double bound = 0.0;                 // of the depth, scene units
    VekPoint at{0.0f, 0.0f, 0.0f};      // test-scene units
};

DecodedSample decodeSample(const Bytes& codes, size_t i, const std::vector<VekPoint>& cameras, float global,
                           int width, int height, Decoder decoder)
{
    DecodedSample s;
    s.code = cubeSampleCode(codes, i);
    // At level 3 plaques are at most 2 x 2 cells, so index 31 is 2 x 2 there.
    s.level = static_cast<int>(s.code.sizeIndex / 9);
    s.cellsWide = static_cast<int>(s.code.sizeIndex % 9 % 3) + 1;
    s.cellsHigh = static_cast<int>(s.code.sizeIndex % 9 / 3) + 1;
    // Cells of 2^level pixels; the plaque's pixel is the middle column of
    // three cells or the left one of two, the middle row of three or the top
    // one of two.
    const int cell = 1 << s.level;
    s.x0 = static_cast<int>(s.code.x) - (s.cellsWide == 3 ? cell : 0);
    s.y0 = static_cast<int>(s.code.y) - (s.cellsHigh == 3 ? cell : 0);
    s.x1 = s.x0 + s.cellsWide * cell;
    s.y1 = s.y0 + s.cellsHigh * cell;
    // A froxel is 64 depth codes deep: a reader that knew only the froxel of
    // a sample would put it at the slice's near end.
    const uint32_t depthCode = decoder == Decoder::FroxelDepth ? s.code.depth & ~63u : s.code.depth;
    s.depth = depthOfCode(depthCode);
    s.bound = depthCodeBound(s.code.depth);
    const double u = (s.code.x + 0.5) / width, v = (s.code.y + 0.5) / height;
    const VekPoint d = decoder == Decoder::SwappedAxes ? cubeDirection(v, u) : cubeDirection(u, v);
    const VekPoint& c = cameras.at(s.code.camera);
    const double r = s.depth / global;
    s.at = {static_cast<float>(c.x + d.x * r), static_cast<float>(c.y + d.y * r), static_cast<float>(c.z + d.z * r)};
    return s;
}

// The object that every ray through a plaque meets, or -1 on a silhouette.
int plaqueObject(const TestScene& scene, const VekPoint& camera, const DecodedSample& s, int width, int height)
{
    int object = -2;
    for (const double a : {0.01, 0.35, 0.65, 0.99})
        for (const double b : {0.01, 0.35, 0.65, 0.99}) {
            const VekPoint d = cubeDirection((s.x0 + a * (s.x1 - s.x0)) / width, (s.y0 + b * (s.y1 - s.y0)) / height);
            const int hit = scene.intersect(camera, d).object;
            if (object != -2 && hit != object)
                return -1;
            object = hit;
        }
    return object;
}

} // namespace

// Every final view file the merger writes for the core's render files is read
// back from its bytes, and every sample code decoded to a point and colours.
// Camera (8 bits), column (13) and row (12) hold their values exactly for a
// 312 x 208 display; the 15-bit depth code is the only rounding of the
// position, half a code step (depthCodeBound), about 1e-6 of the depth here.
// A froxel slice is 64 codes deep, far coarser: decoding to the slice must
// fail the check.
TEST_F(MergerOnCoreFiles, FinalViewSamplesDecodeOntoTheSceneWithinTheDepthCodesStep)
{
    MergerTest::TempDir out;
    const MergerTest::Run run = MergerTest::runMerger(
        {"qm", input_->path().string(), "--output", (out / "view.qvl").string(), "--zovOffset", "0,0,0", "-l", "0"});
    ASSERT_EQ(run.status, 0);
    const TestScene scene = TestScene::room();

    for (const int32_t frame : {1, 2}) {
        SCOPED_TRACE("frame " + std::to_string(frame));
        const fs::path dir = input_->path() / "zov0" / ("frame" + std::to_string(frame));
        const PhaseFile left = readPhaseFile((dir / "left.qvl").string());
        const Json::Value& h = left.header;
        const int width = h["widthDisplay"].asInt(), height = h["heightDisplay"].asInt();
        const float global = h["globalScale"].asFloat();
        const Bytes f = readFile(out / ("view.000" + std::to_string(frame) + ".qvl"));
        const std::vector<VekPoint> cameras = expectFinalViewLayout(f, h);
        ASSERT_EQ(cameras.size(), 256u);

        const uint32_t count = f.u32(12);
        EXPECT_GT(count, 100u);
        EXPECT_LE(count, left.samples.size()); // the filter merges neighbours
        const Bytes codes{decompress(f.slice(200, f.u32(152)))};
        ASSERT_EQ(codes.data.size(), static_cast<size_t>(count) * 16u);

        std::map<int, std::vector<const FileSample*>> written; // by camera
        for (const FileSample& s : left.samples)
            written[s.camera].push_back(&s);

        std::set<std::tuple<int, int, int>> covered; // camera, pixel
        size_t alone = 0, onScene = 0;
        size_t swappedOnScene = 0, froxelInFile = 0;
        uint64_t lastKey = 0;
        for (size_t i = 0; i < count; ++i) {
            SCOPED_TRACE("sample " + std::to_string(i));
            const DecodedSample s = decodeSample(codes, i, cameras, global, width, height, Decoder::Sound);
            const CubeSampleCode& c = s.code;
            ASSERT_LT(c.camera, h["cameras"].size());
            ASSERT_LT(c.x, static_cast<uint32_t>(width));
            ASSERT_LT(c.y, static_cast<uint32_t>(height));
            EXPECT_FALSE(c.moving);
            EXPECT_FALSE(c.cockpit);
            EXPECT_FALSE(c.transparent);
            if (i < f.u32(48)) {
                EXPECT_EQ(c.alpha, 255u);
                const uint64_t key = ((static_cast<uint64_t>(c.camera) << 24) + c.y) << 32 | c.x;
                EXPECT_GE(key, lastKey);
                lastKey = key;
            }
            for (int y = s.y0; y < s.y1; ++y)
                for (int x = s.x0; x < s.x1; ++x)
                    covered.insert({static_cast<int>(c.camera), x, y});

            // Against the render file. The filter replaces neighbours by
            // their mean, so the decoded depth lies between the smallest and
            // the largest depth the file holds for the plaque's pixels, give
            // or take the code's error. A sample the filter left alone is its
            // render-file sample: depth and normal within their codes' error,
            // colour within one step of each field of the colour code.
            auto inFile = [&](const DecodedSample& d, const FileSample** lone) {
                double nearest = 1e30, farthest = -1e30;
                size_t members = 0;
                for (const FileSample* w : written[static_cast<int>(d.code.camera)])
                    if (w->x >= d.x0 && w->x < d.x1 && w->y >= d.y0 && w->y < d.y1) {
                        nearest = std::min(nearest, static_cast<double>(w->depth));
                        farthest = std::max(farthest, static_cast<double>(w->depth));
                        ++members;
                        *lone = w;
                    }
                if (members != 1 || d.code.sizeIndex != 0)
                    *lone = nullptr;
                return d.depth >= nearest - d.bound && d.depth <= farthest + d.bound;
            };
            const FileSample* lone = nullptr;
            EXPECT_TRUE(inFile(s, &lone)) << "depth " << s.depth << " code " << c.depth;
            if (lone) {
                ++alone;
                // The file's normal is binary16: 11 significant bits.
                const VekPoint n = normalOfCode(c.normal);
                const float* m = lone->normal;
                const double cosine =
                    (n.x * m[0] + n.y * m[1] + n.z * m[2]) / std::sqrt(m[0] * m[0] + m[1] * m[1] + m[2] * m[2]);
                EXPECT_LE(std::acos(std::min(cosine, 1.0)), kNormalCodeBound + 2e-3) << "normal code " << c.normal;
                const float a = lone->colour[3];
                EXPECT_LE(colourCodeDistance(c.colour, colourCode({lone->colour[0] * a, lone->colour[1] * a,
                                                                   lone->colour[2] * a})),
                          1u);
            }

            // On the scene, where every ray through the plaque met one
            // object: the plaque's plane (a lone sample's depth comes from a
            // plane fitted to its rays) or the mean of its members' points
            // leaves the surface by less than the depth times the angle the
            // plaque spans, at most its diagonal of pixels of 2 pi / width
            // radians each; the depth code adds its own error.
            const int object = plaqueObject(scene, cameras[c.camera], s, width, height);
            const double limit =
                (s.bound + s.depth * std::hypot(s.x1 - s.x0, s.y1 - s.y0) * 6.2831853 / width) / global;
            if (object >= 0) {
                ++onScene;
                EXPECT_EQ(scene.nearestObject(s.at), object);
                EXPECT_LE(scene.distanceToSurface(s.at), limit) << "level " << s.level << " " << s.cellsWide << "x"
                                                                << s.cellsHigh;
                const VekRGBA host = scene.objectColor(object);
                EXPECT_LE(colourCodeDistance(c.colour, colourCode({host.r, host.g, host.b})), 1u);
                // The right eye's colour is the host's rotated one wherever
                // the eye shift reaches; near its limit the code cannot tell.
                const uint32_t same = colourCodeDistance(c.rightColour, colourCode({host.r, host.g, host.b}));
                const uint32_t rotated = colourCodeDistance(c.rightColour, colourCode({host.b, host.r, host.g}));
                const bool nearShift = eyeShift(static_cast<float>(s.depth - s.bound)) != 0.0f;
                const bool farShift = eyeShift(static_cast<float>(s.depth + s.bound)) != 0.0f;
                EXPECT_LE(nearShift == farShift ? (farShift ? rotated : same) : std::min(same, rotated), 1u);
            }

            const DecodedSample swapped = decodeSample(codes, i, cameras, global, width, height, Decoder::SwappedAxes);
            swappedOnScene += object >= 0 && scene.nearestObject(swapped.at) == object &&
                              scene.distanceToSurface(swapped.at) <= limit;
            const DecodedSample froxel = decodeSample(codes, i, cameras, global, width, height, Decoder::FroxelDepth);
            const FileSample* ignored = nullptr;
            froxelInFile += lone && inFile(froxel, &ignored);
        }
        // Nothing lost: every render-file sample lies under a final plaque.
        for (const FileSample& w : left.samples)
            EXPECT_TRUE(covered.count({w.camera, w.x, w.y})) << int(w.camera) << " " << w.x << "," << w.y;
        // Most samples are lone and most plaques lie inside one object's
        // outline. Swapped axes put nearly every point off the scene; a
        // froxel's depth puts nearly every depth off its render file's.
        EXPECT_GT(alone, count / 2);
        EXPECT_GT(onScene, count * 3 / 4);
        EXPECT_LT(swappedOnScene, onScene / 10);
        EXPECT_LT(froxelInFile, alone / 10);
    }
}
