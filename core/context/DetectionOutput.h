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

} // namespace Quorvel::Block::inline v2_0
