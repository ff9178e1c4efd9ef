#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "Discovery.h"
#include "MergerParams.h"
#include "foundation/Types.h"
#include "foundation/Vekbin.h"

namespace Quorvel::Merger {

// One render group after assembly and colour, ready to be filtered and
// written.
struct AssembledGroup {
    std::filesystem::path output;
    bool replacesExistingFile = false;
    std::vector<Binary::vekbin> opaque;
    std::vector<Binary::vekbin> transparent;
    std::vector<uint8_t> pixelMask;
    Util::RenderingEngineId engine = Util::RE_Unknown;
    // Camera positions of the group, multiplied by its global scale.
    std::vector<VekPoint> cameras;
};

// Takes a group over after its assembly; false marks the run as failed.
using GroupHandler = std::function<bool(const RenderGroup& group, AssembledGroup& assembled)>;

// Runs every group of the table in order; true when any group failed. Without
// a handler every group is written as a final view file.
bool do_merging(const params& run, const std::string& inputDirectory, const RenderGroupTable& table,
                const GroupHandler& handler = {});

// The output path of a frame: the frame number, at least four digits,
// replaces every "#" of the file name, or goes in front of the extension.
// Frames below -1 leave the pattern as it is.
std::string outputPathForFrame(const std::string& pattern, int32_t frame);

// The whole program; `out` receives the parser's report and the help.
int runMerger(int argc, const char* const* argv, std::ostream& out, const GroupHandler& handler = {});

} // namespace Quorvel::Merger
