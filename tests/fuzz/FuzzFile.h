#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "foundation/Logger.h"

// The readers take a path, so every input goes through one scratch file,
// in memory-backed /dev/shm where there is one.
namespace QuorvelFuzz {

inline const std::string& scratchPath()
{
    static const std::string path = [] {
        Quorvel::Logger::QvSetConsoleLogLevel(-1);
        const std::filesystem::path dir =
            std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
        return (dir / ("quorvel_fuzz_" + std::to_string(::getpid()))).string();
    }();
    return path;
}

inline const std::string& writeScratch(const uint8_t* data, size_t size)
{
    const std::string& path = scratchPath();
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file) {
        if (size != 0)
            std::fwrite(data, 1, size, file);
        std::fclose(file);
    }
    return path;
}

} // namespace QuorvelFuzz
