// The texture fuzz target's seeds and kept findings, replayed through its harness.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "fuzz/TextureHarness.h"

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
    const fs::path dir = kFuzzDir / kind / "texture";
    if (fs::is_directory(dir))
        for (const auto& entry : fs::directory_iterator(dir))
            out.push_back(entry.path());
    return out;
}

// Every seed is a valid PNG, JPEG or TGA image and decodes.
TEST(TextureFuzzInputs, SeedsDecode)
{
    const std::vector<fs::path> seeds = inputs("corpus");
    EXPECT_GE(seeds.size(), 8u) << kFuzzDir;
    for (const fs::path& seed : seeds) {
        SCOPED_TRACE(seed.string());
        const std::vector<uint8_t> bytes = readBytes(seed);
        std::string error;
        EXPECT_TRUE(QuorvelFuzz::runTexture(bytes.data(), bytes.size(), &error)) << error;
    }
}

// Inputs kept from fuzzing decode or are refused with a reason.
TEST(TextureFuzzInputs, KeptFindingsDecodeOrAreRefusedWithAReason)
{
    for (const fs::path& finding : inputs("regressions")) {
        SCOPED_TRACE(finding.string());
        const std::vector<uint8_t> bytes = readBytes(finding);
        std::string error;
        if (!QuorvelFuzz::runTexture(bytes.data(), bytes.size(), &error)) {
            EXPECT_FALSE(error.empty());
        }
    }
}

} // namespace
