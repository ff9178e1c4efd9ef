#pragma once

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "support/TempDir.h"

namespace QuorvelTest {

// A detection or render file written byte by byte: signature, version,
// little-endian JSON length and the JSON text, nothing after it.
inline std::string qvlFileBytes(const std::string& json, uint8_t major = 9, uint8_t minor = 1,
                                std::optional<uint32_t> storedLength = std::nullopt)
{
    std::string bytes("\x82QVLRender=\n$\n", 14);
    bytes.push_back(static_cast<char>(major));
    bytes.push_back(static_cast<char>(minor));
    const uint32_t length = storedLength.value_or(static_cast<uint32_t>(json.size()));
    for (int i = 0; i < 4; ++i)
        bytes.push_back(static_cast<char>((length >> (8 * i)) & 0xFF));
    return bytes + json;
}

inline std::string detectionHeaderJson(uint64_t plaques)
{
    return "{\"fillHoleCount\":" + std::to_string(plaques) + ",\"rtype\":true,\"widthDisplay\":312,"
           "\"heightDisplay\":208,\"globalScale\":1.0}";
}

} // namespace QuorvelTest
