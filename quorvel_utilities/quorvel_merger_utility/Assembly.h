#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "Discovery.h"
#include "MergerParams.h"
#include "foundation/Types.h"
#include "foundation/Vekbin.h"
#include "io/QvlRenderHeader.h"

namespace Quorvel::Merger {

// Reads every file of the group on its own thread, pairs each left-eye
// primary file with the group's right-eye primary file and combines them.
// False when a file could not be read (the others are still delivered).
bool assemblingSampleFromQvlFiles(const params& run, const RenderGroup& group, std::vector<Binary::vekbin>& opaque,
                                  std::vector<Binary::vekbin>& transparent, std::vector<uint8_t>& pixelMask,
                                  Util::RenderingEngineId& engine);

// True when file `index` of the group is a left-eye primary file and a
// right-eye primary partner exists; its index goes to `rightIndex`.
bool findRightFile(const RenderGroup& group, size_t index, size_t& rightIndex);

} // namespace Quorvel::Merger
