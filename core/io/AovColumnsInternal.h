#pragma once

#include <cstdint>
#include <vector>

#include "io/AovFormat.h"

namespace Quorvel::BinIO::inline v2_0 {

// Element size of the compact column of a type; 0 for an unknown type,
// which has no column.
uint64_t compactElementSize(Phase::AOVType type);

// Column of one AOV as the bytes of its compact elements.
void compactColumn(Phase::AOVType type, const RenderSample::AOVData* first, uint64_t count, uint64_t stride,
                   std::vector<uint8_t>& out);

// Widens `count` compact elements back into the slots first + i * stride.
void decompactColumn(Phase::AOVType type, const uint8_t* in, uint64_t count, RenderSample::AOVData* first,
                     uint64_t stride);

} // namespace Quorvel::BinIO::inline v2_0
