#pragma once

#include <cstdint>
#include <string>

#include "io/QvlRenderHeader.h"

namespace Quorvel::Phase::inline v2_0 {

// Whether the render phase can use the header of the detection file at
// `path`, read into `header`, with `plaqueCount` plaques read from its
// blocks: a display size the output resolution accepts, a camera set of the
// size a detection phase writes with faces that match the positions, finite
// numbers and a plaque count that matches the blocks. Every fault is logged
// at ERROR with the file and the value; hosts call nothing that shoots rays
// when this is false.
bool acceptDetectionHeader(const std::string& path, const BinIO::header_v09& header, uint64_t plaqueCount);

} // namespace Quorvel::Phase::inline v2_0
