#pragma once

#include "Merger.h"
#include "io/QvlRenderHeader.h"

namespace Quorvel::Merger {

// The end of a group's journey: sort, filter, background, camera table and
// the final view file. False when the file could not be written.
bool writeFinalGroup(const params& run, const BinIO::header_v09& header, AssembledGroup& assembled);

} // namespace Quorvel::Merger
