#pragma once

#include <cstdint>
#include <vector>

#include "camera/RenderingContext.h"
#include "foundation/Export.h"
#include "samples/DetectPlaqueInfo.h"

namespace Quorvel::Block::inline v2_0 {

// Turns the raw plaques of a detection phase into the kept ones: redundancies
// and overlaps removed, neighbouring small plaques merged into levels 1 to 3,
// transparent plaques after the opaque ones.
QUORVEL_API void processFillHoleIndices(const RenderingContext& context, std::vector<BinIO::DetectPlaqueInfo>& plaques,
                                        float renderScale);

// One level of the quad merge at a width x height image: removes the merged
// plaques from the list and returns the coarse ones (coordinates halved, level
// untouched).
std::vector<BinIO::DetectPlaqueInfo> quadMerge(std::vector<BinIO::DetectPlaqueInfo>& plaques, uint64_t width,
                                               uint64_t height, float threshold);

} // namespace Quorvel::Block::inline v2_0
