#pragma once

#include <string>

#include "io/QvlRenderHeader.h"

namespace Quorvel::Merger {

// The core reads a missing or mistyped header key as 0, false or empty. For
// the merger such a file would lose its samples or its engine without a
// word, so it checks every key it relies on.

// The first key the merger needs from a render file of this version that is
// missing or holds a value of the wrong JSON type; empty when there is none.
std::string damagedHeaderKey(const BinIO::QVLRender_header& header);

// Fills the fields that decide a file's render group (frame, zone-of-view
// offset and set-up) from the JSON alone, so that the group of a file whose
// other keys or version are damaged can still be told; false when one of
// those keys is damaged too.
bool readGroupKey(const BinIO::QVLRender_header& header, BinIO::header_v09& key);

} // namespace Quorvel::Merger
