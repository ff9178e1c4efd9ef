#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace Quorvel::FinalView {

// W x H RGBA bytes as an 8-bit RGBA PNG, whatever colours they hold: players
// read the pictures of the final view file as that type only. Nothing when
// the encoder fails.
std::optional<std::vector<uint8_t>> encodeRgbaPng(const std::vector<uint8_t>& rgba, unsigned width, unsigned height);

} // namespace Quorvel::FinalView
