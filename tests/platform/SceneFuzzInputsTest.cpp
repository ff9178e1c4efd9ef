// The scene fuzz target's seeds and kept findings, replayed through its harness.

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "fuzz/SceneHarness.h"
#include "support/FuzzInputs.h"

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> inputs(const char* kind)
{
    return QuorvelTest::fuzzInputs(kind, "scene");
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
    EXPECT_GE(seeds.size(), 3u) << QuorvelTest::fuzzDir();
    for (const fs::path& seed : seeds) {
        SCOPED_TRACE(seed.string());
        const std::vector<uint8_t> bytes = QuorvelTest::readFuzzInput(seed);
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
        const std::vector<uint8_t> bytes = QuorvelTest::readFuzzInput(finding);
        std::string error;
        const auto outcome = QuorvelFuzz::runScene(bytes.data(), bytes.size(), QUORVEL_EXAMPLES_DIR, &error);
        if (outcome == QuorvelFuzz::SceneOutcome::Refused) {
            EXPECT_EQ(error.rfind(scenePath() + ":", 0), 0u) << error;
        }
    }
}

} // namespace
