#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "core/samples/SamplesTestSupport.h"
#include "fuzz/MemoryBufferHarness.h"
#include "samples/Buckets.h"

namespace {

namespace fs = std::filesystem;
using namespace QuorvelTest;
using namespace Quorvel::BinIO;

fs::path corpus()
{
    return fs::path(__FILE__).parent_path() / ".." / ".." / "fuzz" / "corpus" / "memory_buffer";
}

std::vector<unsigned char> readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The fuzz target's seeds and every input it once crashed on go through the
// reader again; none may crash.
TEST(MemoryBufferSeedsTest, SeedCorpusReplaysThroughTheReader)
{
    LogCapture log; // the reader's refusals stay off the console
    size_t replayed = 0;
    for (const auto& entry : fs::directory_iterator(corpus())) {
        const std::vector<unsigned char> bytes = readFile(entry.path());
        QuorvelFuzz::runMemoryBuffer(bytes.data(), bytes.size());
        ++replayed;
    }
    EXPECT_GE(replayed, 3u);
    auto& c = context();
    c.initialised = false; // the harness runs the reader without a begun phase
    Quorvel::Phase::QvInitPhase(static_cast<Quorvel::Phase::Phase>(-1), Quorvel::Util::RE_Unknown);
}

// Run by hand (--gtest_also_run_disabled_tests) to rewrite the seeds from
// the writer: a detection and a render bucket of the test host.
class MemoryBufferSeedWriter : public IntakeTest {};

TEST_F(MemoryBufferSeedWriter, DISABLED_WriteSeeds)
{
    fs::create_directories(corpus());
    const auto save = [](const char* name, unsigned char phase, const std::vector<unsigned char>& block) {
        std::ofstream out(corpus() / name, std::ios::binary);
        out.put(static_cast<char>(phase));
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(block.size()));
    };

    beginDetectionPhase();
    QvInitBucket(0, 20, 120, 24, 124);
    TestHost host;
    host.shootDetection(0, 20, 120, 24, 124, 16);
    std::vector<unsigned char> block(static_cast<size_t>(Quorvel::BinIO::QvProcessBucketGetBufferSize(0)));
    ASSERT_TRUE(Quorvel::BinIO::QvBucketFlushToMemory(block.data(), block.size(), 20, 120, 24, 124));
    save("detection", 0, block);
    QvPhaseTerminate(Quorvel::Phase::Discard);

    // A render bucket with the harness's AOVs (an RGB and an int) and three
    // processed samples.
    Quorvel::Phase::QvInitPhase(Quorvel::Phase::Render, Quorvel::Util::RE_VRay);
    Quorvel::Phase::QvRenderPhaseRegisterAov(7, "diffuse", Quorvel::Phase::AOV_RGB);
    Quorvel::Phase::QvRenderPhaseRegisterAov(8, "id", Quorvel::Phase::AOV_Int);
    auto& c = context();
    c.threadRegions.emplace_back(4, 4);
    c.initialised = true;
    QvInitBucket(0, 0, 0, 3, 1);
    for (int i = 0; i < 3; ++i) {
        Quorvel::BinIO::OutSample& s = c.threadRegions[0].outSamples.emplace_back();
        s.depth = 10.0 + i;
        s.color = {0.5f, 0.25f, 0.125f, 1.0f};
        s.x = i;
        s.aovs.resize(2);
        s.aovs[1].asInt = 5 + i;
    }
    c.threadRegions[0].sampleCount = 3;
    std::vector<unsigned char> render(static_cast<size_t>(Quorvel::BinIO::QvProcessBucketGetBufferSize(0)));
    ASSERT_EQ(render.size(), 3u * 72 + 20);
    ASSERT_TRUE(Quorvel::BinIO::QvBucketFlushToMemory(render.data(), render.size(), 0, 0, 3, 1));
    save("render", 1, render);
    save("empty_detection", 0, std::vector<unsigned char>(render.end() - 20, render.end()));
}

} // namespace
