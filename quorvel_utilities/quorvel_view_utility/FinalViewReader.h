#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "foundation/Types.h"

// Reads a final view file back: header, sample and motion codes, camera table,
// preview and background, after checking every size and offset against the
// file and the integrity trailer against the covered bytes.
namespace Quorvel::FinalView {

struct FinalViewData {
    uint32_t sampleCount = 0;
    uint16_t displayWidth = 0;
    uint16_t displayHeight = 0;
    VekPoint boxMin{};
    VekPoint boxMax{};
    std::array<int8_t, 3> camOffset{};
    uint32_t opaqueCount = 0;
    uint32_t transparentCount = 0;
    uint32_t flags = 0;
    std::array<float, 6> motionValues{};
    std::array<float, 16> camToWorld{};
    int32_t engineId = 0; // decoded from the integrity trailer

    std::vector<uint8_t> codes;  // sampleCount x 16 bytes, file order
    std::vector<uint8_t> motion; // sampleCount motion codes, or empty
    bool hasCameraTable = false;
    std::array<VekPoint, 256> cameraTable{}; // units of 100 scene units
    std::vector<uint8_t> preview;            // PNG bytes, may be empty
    std::vector<uint8_t> background;         // PNG bytes, may be empty

    bool cube() const { return (flags & 8u) != 0; }
};

// `name` only labels the messages. Empty with `error` set ("<name>: <reason>")
// when the bytes are not a sound final view file of the expected engine.
std::optional<FinalViewData> parseFinalView(const uint8_t* bytes, std::size_t size, const std::string& name,
                                            std::string& error, int32_t expectedEngineId = 1);
std::optional<FinalViewData> readFinalView(const std::filesystem::path& path, std::string& error,
                                           int32_t expectedEngineId = 1);

} // namespace Quorvel::FinalView
