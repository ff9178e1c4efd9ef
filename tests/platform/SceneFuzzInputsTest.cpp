// The scene fuzz target's seeds and kept findings, replayed through its harness.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "fuzz/SceneHarness.h"

namespace {

namespace fs = std::filesystem;

const fs::path kFuzzDir = fs::path(__FILE__).parent_path() / ".." / "fuzz";

std::vector<uint8_t> readBytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<fs::path> inputs(const char* kind)
{
    std::vector<fs::path> out;
    const fs::path dir = kFuzzDir / kind / "scene";
    if (fs::is_directory(dir))
        for (const auto& entry : fs::directory_iterator(dir))
            out.push_back(entry.path());
    return out;
}

std::string scenePath()
{
    return (QuorvelFuzz::sceneDirectory(QUORVEL_EXAMPLES_DIR) / "scene.json").string();
}

// The seeds are the example scenes: each loads and is placed at its frames,
// its mesh files included.
TEST(SceneFuzzInputs, SeedsLoad)
{
    const std::vector<fs::path> seeds = inputs("corpus");
    EXPECT_GE(seeds.size(), 3u) << kFuzzDir;
    for (const fs::path& seed : seeds) {
        SCOPED_TRACE(seed.string());
        const std::vector<uint8_t> bytes = readBytes(seed);
        std::string error;
        EXPECT_EQ(QuorvelFuzz::runScene(bytes.data(), bytes.size(), QUORVEL_EXAMPLES_DIR, &error),
                  QuorvelFuzz::SceneOutcome::Loaded)
            << error;
    }
}

// Inputs that once crashed or misbehaved the host now load or are refused
// with a scene error that names the file.
TEST(SceneFuzzInputs, KeptFindingsLoadOrAreRefusedByName)
{
    for (const fs::path& finding : inputs("regressions")) {
        SCOPED_TRACE(finding.string());
        const std::vector<uint8_t> bytes = readBytes(finding);
        std::string error;
        const auto outcome = QuorvelFuzz::runScene(bytes.data(), bytes.size(), QUORVEL_EXAMPLES_DIR, &error);
        if (outcome == QuorvelFuzz::SceneOutcome::Refused) {
            EXPECT_EQ(error.rfind(scenePath() + ":", 0), 0u) << error;
        }
    }
}

} // namespace
