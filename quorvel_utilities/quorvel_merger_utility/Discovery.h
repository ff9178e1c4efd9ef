#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "MergerParams.h"
#include "io/QvlRenderHeader.h"

namespace Quorvel::Merger {

// Orders render-file headers by zone-of-view set-up and frame: frame,
// camera offset, box scale, global scale, display size, distance to
// ground, draft, pass mode. Equal headers belong to one render group.
struct GroupKeyLess {
    bool ignoreFrame = false;
    bool operator()(const BinIO::header_v09& a, const BinIO::header_v09& b) const;
};

// Render groups in processing order; the first header met is the key.
using RenderGroupTable = std::map<BinIO::header_v09, std::vector<std::filesystem::path>, GroupKeyLess>;
using RenderGroup = RenderGroupTable::value_type;

// A render file whose header cannot be read far enough to tell its group.
struct UnreadableRenderFile {
    std::filesystem::path path;
    int32_t error = 0; // the reader's error
};

// Adds the render files below `directory` that carry the requested
// zone-of-view offset and a frame in range; returns how many it added.
// Linked folders are followed, each real folder searched once. A render file
// with a damaged header whose group can be told joins that group (reading it
// then fails the group); one whose group cannot be told goes to
// `unreadable`.
size_t discoverRenderFiles(const params& run, const std::filesystem::path& directory, RenderGroupTable& table,
                           std::vector<UnreadableRenderFile>* unreadable = nullptr);

// Number of zone-of-view set-ups in the table, frames not counted.
size_t countGroupKinds(const RenderGroupTable& table);

// Frames of all groups, ascending, runs written [first;last], lone frames
// [frame]: 1, 2, 3, 5 gives "[1;3][5]".
std::string frameListText(const RenderGroupTable& table);

} // namespace Quorvel::Merger
