// The texture fuzz target's seeds and kept findings, replayed through its harness.

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "fuzz/TextureHarness.h"
#include "support/FuzzInputs.h"

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> inputs(const char* kind)
{
    return QuorvelTest::fuzzInputs(kind, "texture");
}

// Every seed is a valid PNG, JPEG or TGA image and decodes.
TEST(TextureFuzzInputs, SeedsDecode)
{
    const std::vector<fs::path> seeds = inputs("corpus");
    EXPECT_GE(seeds.size(), 8u) << QuorvelTest::fuzzDir();
    for (const fs::path& seed : seeds) {
        SCOPED_TRACE(seed.string());
        const std::vector<uint8_t> bytes = QuorvelTest::readFuzzInput(seed);
        std::string error;
        EXPECT_TRUE(QuorvelFuzz::runTexture(bytes.data(), bytes.size(), &error)) << error;
    }
}

// Inputs kept from fuzzing decode or are refused with a reason.
TEST(TextureFuzzInputs, KeptFindingsDecodeOrAreRefusedWithAReason)
{
    for (const fs::path& finding : inputs("regressions")) {
        SCOPED_TRACE(finding.string());
        const std::vector<uint8_t> bytes = QuorvelTest::readFuzzInput(finding);
        std::string error;
        if (!QuorvelFuzz::runTexture(bytes.data(), bytes.size(), &error)) {
            EXPECT_FALSE(error.empty());
        }
    }
}

} // namespace
