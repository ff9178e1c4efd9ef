#pragma once

#include <string>

namespace VUtils {

// The frame-number rule for output file names: without frame numbers
// every "#" is dropped; with them the zero-padded number replaces every "#",
// or, when there is none, goes before the extension (after a "." when
// `dotBeforeNumber` asks for one). At most 511 characters.
std::string expandFrameNumber(const std::string& path, bool frameNumbers, int frame, int padding,
                              bool dotBeforeNumber);

// `directory` and `file` joined by one "/"; the bare file name when the
// directory is empty.
std::string joinPath(const std::string& directory, const std::string& file);

} // namespace VUtils
