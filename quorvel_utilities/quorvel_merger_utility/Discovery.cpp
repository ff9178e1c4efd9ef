#include "Discovery.h"

#include <cmath>
#include <set>
#include <system_error>
#include <tuple>

#include "RenderHeaderCheck.h"
#include "foundation/Logger.h"

namespace Quorvel::Merger {

namespace {

using namespace Logger;

// By value, with NaN after every number, so that a damaged header cannot
// break the table's ordering.
int compareFloat(float a, float b)
{
    const bool aNaN = std::isnan(a);
    const bool bNaN = std::isnan(b);
    if (aNaN || bNaN)
        return static_cast<int>(aNaN) - static_cast<int>(bNaN);
    return a < b ? -1 : (b < a ? 1 : 0);
}

template <class T>
int compareValue(T a, T b)
{
    return a < b ? -1 : (b < a ? 1 : 0);
}

} // namespace

bool GroupKeyLess::operator()(const BinIO::header_v09& a, const BinIO::header_v09& b) const
{
    const int order[] = {
        ignoreFrame ? 0 : compareValue(a.frame, b.frame),
        compareValue(a.camOffsetX, b.camOffsetX),
        compareValue(a.camOffsetY, b.camOffsetY),
        compareValue(a.camOffsetZ, b.camOffsetZ),
        compareFloat(a.boxScaleX, b.boxScaleX),
        compareFloat(a.boxScaleY, b.boxScaleY),
        compareFloat(a.boxScaleZ, b.boxScaleZ),
        compareFloat(a.globalScale, b.globalScale),
        compareValue(a.heightDisplay, b.heightDisplay),
        compareValue(a.widthDisplay, b.widthDisplay),
        compareFloat(a.zov_distance_to_ground, b.zov_distance_to_ground),
        compareValue(a.draft, b.draft),
        compareValue(a.passMode, b.passMode),
    };
    for (int c : order)
        if (c != 0)
            return c < 0;
    return false;
}

namespace {

struct Search {
    const params& run;
    RenderGroupTable& table;
    std::vector<UnreadableRenderFile>* unreadable;
    std::set<std::filesystem::path> searched; // real paths
};

// Whether the file joins the table: a sound header of the requested offset
// and frames, or a damaged one whose group can still be told.
void consider(Search& search, const std::filesystem::path& path, size_t& accepted)
{
    const BinIO::QVLRender_header fileHeader(path.string());
    BinIO::header_v09 header;
    BinIO::QvlReaderError error = fileHeader.readError();
    if (error == BinIO::QVL_OK)
        error = fileHeader.getHeaderData(header);
    // A damaged file whose group can be told joins it: reading it then
    // fails that group alone.
    if (error != BinIO::QVL_OK || !damagedHeaderKey(fileHeader).empty()) {
        header = BinIO::header_v09{};
        if (fileHeader.readError() != BinIO::QVL_OK || !readGroupKey(fileHeader, header)) {
            QvOutputLogString(DEBUG, "File %s looks like a qvlRender but doesnt have a valid data header\n",
                              path.string().c_str());
            if (search.unreadable)
                search.unreadable->push_back({path, error != BinIO::QVL_OK ? error : BinIO::QVL_ERR_JSON});
            return;
        }
    }
    const params& run = search.run;
    if (header.camOffsetX != run.zovOffset[0] || header.camOffsetY != run.zovOffset[1] ||
        header.camOffsetZ != run.zovOffset[2] || header.frame < run.frameFirst || header.frame > run.frameLast)
        return;
    search.table[header].push_back(path);
    ++accepted;
}

size_t searchDirectory(Search& search, const std::filesystem::path& directory)
{
    namespace fs = std::filesystem;
    size_t accepted = 0;
    std::error_code ec;
    fs::directory_iterator it(directory, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.empty() || name[0] == '.')
            continue;
        const fs::path path = directory / it->path().filename();
        std::error_code typeError;
        // Linked folders are followed. Each real folder is searched once:
        // a link loop would recurse for ever, and a folder met twice would
        // add its passes twice.
        if (it->is_directory(typeError)) {
            std::error_code realError;
            const fs::path real = fs::canonical(path, realError);
            if (realError)
                continue;
            if (!search.searched.insert(real).second) {
                QvOutputLogString(WARNING, "Folder %s leads to %s, already searched: skipped.\n",
                                  path.string().c_str(), real.string().c_str());
                continue;
            }
            accepted += searchDirectory(search, path);
            continue;
        }
        if (!it->is_regular_file(typeError) || !BinIO::isQvlRender(path.string()))
            continue;
        // The core saves a file it could not write, or whose phase lost
        // samples, under this suffix: merged with the rest it would add an
        // incomplete or duplicate pass.
        if (path.extension() == ".recovered") {
            QvOutputLogString(WARNING, "Skipping the recovery file %s; rename it to merge it.\n", path.string().c_str());
            continue;
        }
        consider(search, path, accepted);
    }
    return accepted;
}

} // namespace

size_t discoverRenderFiles(const params& run, const std::filesystem::path& directory, RenderGroupTable& table,
                           std::vector<UnreadableRenderFile>* unreadable)
{
    Search search{run, table, unreadable, {}};
    std::error_code ec;
    const std::filesystem::path real = std::filesystem::canonical(directory, ec);
    search.searched.insert(ec ? directory : real);
    return searchDirectory(search, directory);
}

size_t countGroupKinds(const RenderGroupTable& table)
{
    std::set<BinIO::header_v09, GroupKeyLess> kinds(GroupKeyLess{true});
    for (const auto& group : table)
        kinds.insert(group.first);
    return kinds.size();
}

std::string frameListText(const RenderGroupTable& table)
{
    std::set<int32_t> frames;
    for (const auto& group : table)
        frames.insert(group.first.frame);
    std::string text;
    for (auto it = frames.begin(); it != frames.end();) {
        const int32_t first = *it;
        int32_t last = first;
        ++it;
        while (it != frames.end() && static_cast<int64_t>(*it) == static_cast<int64_t>(last) + 1)
            last = *it++;
        text += '[';
        text += std::to_string(first);
        if (last != first) {
            text += ';';
            text += std::to_string(last);
        }
        text += ']';
    }
    return text;
}

} // namespace Quorvel::Merger
