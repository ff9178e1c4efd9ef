#include "Assembly.h"

#include <cmath>
#include <set>
#include <thread>

#include "ColorPipeline.h"
#include "RenderFileReaders.h"
#include "analysis/CombineLR.h"
#include "foundation/Catalogue.h"
#include "foundation/Logger.h"

namespace Quorvel::Merger {

namespace {

using Binary::vekbin;
using TXT::Merger;
using namespace Logger;

bool readHeader(const std::filesystem::path& path, BinIO::header_v09& header)
{
    const BinIO::QVLRender_header fileHeader(path.string());
    return fileHeader.readError() == BinIO::QVL_OK && fileHeader.getHeaderData(header) == BinIO::QVL_OK;
}

bool isPrimary(const BinIO::header_v09& header, int32_t eye)
{
    return header.eye == eye && header.fillHoleCount == 0;
}

uint64_t sortSteps(size_t n)
{
    return n > 1 ? static_cast<uint64_t>(static_cast<double>(n) * std::log2(static_cast<double>(n))) : 0;
}

void append(std::vector<vekbin>& to, const std::vector<vekbin>& from)
{
    to.insert(to.end(), from.begin(), from.end());
}

BinIO::combineLRGlobal globalsOf(const BinIO::header_v09& key)
{
    BinIO::combineLRGlobal global;
    global.width = key.widthDisplay;
    global.height = key.heightDisplay;
    global.ipd = key.ipd;
    global.globalScale = key.globalScale;
    global.camOffset[0] = key.camOffsetX;
    global.camOffset[1] = key.camOffsetY;
    global.camOffset[2] = key.camOffsetZ;
    global.boxScale[0] = key.boxScaleX;
    global.boxScale[1] = key.boxScaleY;
    global.boxScale[2] = key.boxScaleZ;
    global.tolerance = key.tolerance;
    return global;
}

// Gives the left file's samples their right-eye colours from file r.
void combinePair(const BinIO::header_v09& key, ReadSlot& left, ReadSlot& right, std::vector<vekbin>& opaque,
                 std::vector<vekbin>& transparent)
{
    Binary::sortByKey(left.opaque);
    Binary::sortByKey(left.transparent);
    Binary::sortByKey(right.opaque);
    Binary::sortByKey(right.transparent);

    const BinIO::combineLRGlobal global = globalsOf(key);
    std::vector<VekPoint> cameras = key.cameraPositions;
    for (VekPoint& p : cameras)
        p = {p.x * key.globalScale, p.y * key.globalScale, p.z * key.globalScale};

    std::vector<vekbin> opaqueResult;
    std::vector<vekbin> opaqueNoMatch;
    BinIO::combineL_R(left.opaque, right.opaque, global, opaqueResult, opaqueNoMatch);
    QvOutputLogString(INFO, "result opaque size %d \n", static_cast<int>(opaqueResult.size()));
    QvOutputLogString(INFO, "result opaque no match size %d \n", static_cast<int>(opaqueNoMatch.size()));
    std::vector<vekbin> transparentResult;
    std::vector<vekbin> transparentNoMatch;
    BinIO::combineL_R(left.transparent, right.transparent, global, transparentResult, transparentNoMatch);
    QvOutputLogString(INFO, "result transparent size %d \n", static_cast<int>(transparentResult.size()));

    std::vector<vekbin> rightSamples = right.opaque;
    append(rightSamples, right.transparent);
    BinIO::processNoMatch(cameras, opaqueResult, opaqueNoMatch, rightSamples, global);
    BinIO::processNoMatch(cameras, transparentResult, transparentNoMatch, std::move(rightSamples), global);

    QvOutputLogString(INFO, "total number of opaque clusters L: %d \n", static_cast<int>(left.opaque.size()));
    QvOutputLogString(INFO, "total number of transparent clusters L: %d \n",
                      static_cast<int>(left.transparent.size()));
    QvOutputLogString(INFO, "total number of opaque clusters R: %d \n", static_cast<int>(right.opaque.size()));
    QvOutputLogString(INFO, "total number of transparent clusters R: %d \n",
                      static_cast<int>(right.transparent.size()));
    append(opaque, opaqueResult);
    append(transparent, transparentResult);
    right.opaque = {};
    right.transparent = {};
}

} // namespace

bool findRightFile(const RenderGroup& group, size_t index, size_t& rightIndex)
{
    const std::vector<std::filesystem::path>& files = group.second;
    BinIO::header_v09 header;
    if (index >= files.size() || !readHeader(files[index], header) || !isPrimary(header, Phase::RC_Left))
        return false;
    QvOutputLogString(INFO, "Found left file %s\n", files[index].string().c_str());
    for (size_t i = 0; i < files.size(); ++i) {
        BinIO::header_v09 candidate;
        if (readHeader(files[i], candidate) && isPrimary(candidate, Phase::RC_Right)) {
            QvOutputLogString(INFO, "Found right file %s\n", files[i].string().c_str());
            rightIndex = i;
            return true;
        }
    }
    QvOutputLogCStr(WARNING, "Only found left file. There is no right file \n");
    return false;
}

bool assemblingSampleFromQvlFiles(const params& run, const RenderGroup& group, std::vector<vekbin>& opaque,
                                  std::vector<vekbin>& transparent, std::vector<uint8_t>& pixelMask,
                                  Util::RenderingEngineId& engine)
{
    const std::vector<std::filesystem::path>& files = group.second;
    const size_t n = files.size();
    QvOutputLogCStr(TRACE, "Begin assemblingSampleFromQvlFiles\n");
    QvOutputLogString(DEBUG, "Assembling %d qvlRender file.\n", static_cast<int>(n));

    std::vector<ReadSlot> slots(n);
    {
        std::vector<std::thread> threads;
        threads.reserve(n);
        for (size_t i = 0; i < n; ++i)
            threads.emplace_back([&run, &files, &slots, i] { readRenderFile(run, files[i], slots[i]); });
        for (std::thread& thread : threads)
            thread.join();
    }

    // A file that cannot be read is reported, and the others still make
    // the group; the run then ends as failed.
    bool allRead = true;
    for (size_t i = 0; i < n; ++i)
        if (slots[i].error != 0) {
            QvOutputLogString(ERROR, Merger::err_readfileCode, slots[i].error, files[i].string().c_str());
            allRead = false;
        }

    std::set<Util::RenderingEngineId> engines;
    for (const ReadSlot& slot : slots)
        if (slot.read)
            engines.insert(slot.engine);
    if (engines.size() > 1)
        QvOutputLogCStr(ERROR, Merger::err_renderingEngineMissmatch);
    if (!engines.empty())
        engine = *engines.begin();

    QvOutputLogString(DEBUG, "Reading %d qvlRender. Done.\n", static_cast<int>(n));
    opaque.clear();
    // Pairs first: a right file listed before its left partner must not add
    // its own samples either.
    std::vector<size_t> partner(n, n);
    std::vector<bool> isPartner(n, false);
    for (size_t m = 0; m < n; ++m) {
        size_t r = 0;
        if (findRightFile(group, m, r) && r != m && r < n) {
            partner[m] = r;
            isPartner[r] = true;
        }
    }
    for (size_t m = 0; m < n; ++m) {
        if (partner[m] < n) {
            combinePair(group.first, slots[m], slots[partner[m]], opaque, transparent);
            continue;
        }
        if (!isPartner[m]) {
            append(opaque, slots[m].opaque);
            append(transparent, slots[m].transparent);
        }
        if (pixelMask.size() < slots[m].mask.size())
            pixelMask.resize(slots[m].mask.size(), 0);
        for (size_t b = 0; b < slots[m].mask.size(); ++b)
            pixelMask[b] |= slots[m].mask[b];
    }

    QvResetprogress(sortSteps(transparent.size()));
    Binary::sortByKey(transparent);
    QvIncreaseprogress();
    QvSetDoneProgression();

    QvOutputLogString(INFO, Merger::info_assemblySamples, static_cast<int>(opaque.size() + transparent.size()));
    QvOutputLogCStr(TRACE, "Leave assemblingSampleFromQvlFiles\n");
    return allRead;
}

} // namespace Quorvel::Merger
