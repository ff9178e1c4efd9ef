#pragma once

#include <cstddef>
#include <string>

#include "foundation/Export.h"

namespace Quorvel::Utils {

// Writes the bytes beside `path` and renames them into place, so that a
// failed write (a full disk, a missing folder) neither leaves a partial file
// under the name nor destroys the file already there. False when anything
// failed; nothing is left behind then.
QUORVEL_API bool ReplaceFileContents(const std::string& path, const void* bytes, size_t size);

} // namespace Quorvel::Utils
