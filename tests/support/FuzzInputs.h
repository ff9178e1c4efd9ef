// The seeds and kept findings of one fuzz target, for the suites that replay
// them through the target's harness.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace QuorvelTest {

inline const std::filesystem::path& fuzzDir()
{
    static const std::filesystem::path dir = std::filesystem::path(__FILE__).parent_path() / ".." / "fuzz";
    return dir;
}

inline std::vector<uint8_t> readFuzzInput(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// `kind` is "corpus" or "regressions"; a target without that folder has none.
inline std::vector<std::filesystem::path> fuzzInputs(const char* kind, const char* target)
{
    std::vector<std::filesystem::path> out;
    const std::filesystem::path dir = fuzzDir() / kind / target;
    if (std::filesystem::is_directory(dir))
        for (const auto& entry : std::filesystem::directory_iterator(dir))
            out.push_back(entry.path());
    return out;
}

} // namespace QuorvelTest
