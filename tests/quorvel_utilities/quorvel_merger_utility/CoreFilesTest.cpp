// The merger on render files the core wrote: two zone-of-view offsets, two
// frames, both eyes, produced by the test host through both phases.

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "Merger.h"
#include "MergerTestSupport.h"
#include "support/CorePhases.h"
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

} // namespace
