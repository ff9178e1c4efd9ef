#include "context/Resolution.h"

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>

#include "context/PhaseInternal.h"
#include "foundation/Catalogue.h"
#include "foundation/Logger.h"
#include "io/QvlRenderHeader.h"

namespace Quorvel::Phase::inline v2_0 {

using Logger::DEBUG;
using Logger::ERROR;
using Logger::QvOutputLogCStr;
using Logger::QvOutputLogString;
using Logger::WARNING;

namespace {

constexpr uint64_t kMinOutputX = 312;
constexpr uint64_t kMaxOutputX = 6000;
constexpr uint64_t kMinOutputY = 208;
constexpr uint64_t kMaxOutputY = 4000;

// Element count of the plaque block, read from its word behind the header
// and the coordinate block; false when the file does not hold it.
bool storedPlaqueCount(const std::string& path, uint32_t jsonLength, uint64_t& count)
{
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    auto word = [&](uint32_t& v) {
        uint8_t b[4];
        if (!file || std::fread(b, 1, 4, file.get()) != 4)
            return false;
        v = uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
        return true;
    };
    uint32_t coordinates = 0, stored = 0, plaques = 0;
    if (!file || std::fseek(file.get(), 20 + static_cast<long>(jsonLength), SEEK_SET) != 0 || !word(coordinates) ||
        !word(stored))
        return false;
    const uint64_t skip = stored != 0 ? stored : uint64_t{coordinates} * 12;
    if (std::fseek(file.get(), static_cast<long>(skip), SEEK_CUR) != 0 || !word(plaques))
        return false;
    count = plaques;
    return true;
}

// Plaque count of a detection file, from its header. The blocks of the
// render phase are laid out for it, so it must be the count the plaque block
// holds: a count the file cannot back would size billions of blocks.
bool readPlaqueCount(const std::string& path, uint64_t& count)
{
    BinIO::header_v09 header;
    const BinIO::QVLRender_header fileHeader(path);
    BinIO::QvlReaderError error = fileHeader.readError();
    if (error == BinIO::QVL_OK)
        error = fileHeader.getHeaderData(header);
    if (error != BinIO::QVL_OK) {
        QvOutputLogString(ERROR, "error(%d) reading file (%s)", error, path.c_str());
        return false;
    }
    uint64_t stored = 0;
    if (storedPlaqueCount(path, fileHeader.jsonLength(), stored) && stored != header.fillHoleCount) {
        QvOutputLogString(ERROR, TXT::Core::err_detectFilePlaqueCount, path.c_str(),
                          std::to_string(header.fillHoleCount).c_str(), static_cast<int>(stored));
        return false;
    }
    count = header.fillHoleCount;
    return true;
}

uint64_t ceilDiv(uint64_t n, uint64_t d)
{
    return n / d + (n % d != 0 ? 1 : 0);
}

// Smallest s with s * s >= n, exact for every 64-bit n.
uint64_t ceilSqrt(uint64_t n)
{
    uint64_t s = static_cast<uint64_t>(std::sqrt(static_cast<double>(n)));
    while (s > 0 && (s > UINT32_MAX || s * s >= n))
        --s;
    while (s <= UINT32_MAX && s * s < n)
        ++s;
    return s;
}

QvResolutionParam outputResolutionParams(const QuorvelContext& c)
{
    return {static_cast<uint64_t>(c.outputResolutionX.get()), static_cast<uint64_t>(c.outputResolutionY.get()), 1,
            true};
}

} // namespace

std::string blockDetectionFile(const QuorvelContext& context)
{
    return context.detectPhaseOverride.empty() ? context.detectFilePath : context.detectPhaseOverride;
}

bool checkContextCompleteness()
{
    const QuorvelContext& c = getQuorvelContext();
    bool complete = true;
    if (!c.draft.isSet()) {
        QvOutputLogCStr(WARNING, "[Quorvel] draftMode is not set.\n");
        complete = false;
    }
    if (!c.frame.isSet()) {
        QvOutputLogCStr(WARNING, "[Quorvel] the frame number is not set.\n");
        complete = false;
    }
    if (!c.zovOffsetRight.isSet() || !c.zovOffsetTop.isSet() || !c.zovOffsetBack.isSet()) {
        QvOutputLogCStr(WARNING, "[Quorvel] the ZOV offset for multibox is not set.\n");
        complete = false;
    }
    if (!c.outputResolutionX.isSet() || !c.outputResolutionY.isSet()) {
        QvOutputLogCStr(WARNING, "[Quorvel] the output resolution is not set.\n");
        complete = false;
    }
    if (!c.transparencyMode.isSet())
        QvOutputLogCStr(WARNING, "[Quorvel] the transparency pass type is not set.\n");
    if (!complete)
        QvOutputLogCStr(ERROR, "[Quorvel] Unable to create IO paths for Quorvel. Context is partialy set.\n");
    return complete;
}

void QvSetOutputResolution(const uint64_t& width, const uint64_t& height)
{
    QuorvelContext& c = getQuorvelContext();
    if (!acceptsSettings(c))
        return;
    const double x = static_cast<double>(width);
    const double y = static_cast<double>(height);
    if (std::fabs(x / y - 3.0 / 2.0) > 0.0001) {
        QvOutputLogString(ERROR, "[Quorvel] Target image ratio should be %d:%d.\n", 3, 2);
        return;
    }
    if (width % 8 != 0 || height % 8 != 0) {
        uint64_t h = height & ~uint64_t{0xF};
        uint64_t w = static_cast<uint64_t>(static_cast<float>(h) * 1.5f);
        if (w < kMinOutputX || h < kMinOutputY) {
            w = kMinOutputX;
            h = kMinOutputY;
        } else if (w > kMaxOutputX || h > kMaxOutputY) {
            w = kMaxOutputX;
            h = kMaxOutputY;
        }
        QvOutputLogString(ERROR, "[Quorvel] Target image resolution must be a multiple of %d.\n", 8);
        QvOutputLogString(WARNING, "[Quorvel] consider using %dx%d instead of %dx%d \n", static_cast<int>(w),
                          static_cast<int>(h), static_cast<int>(width), static_cast<int>(height));
        return;
    }
    if (width < kMinOutputX || width > kMaxOutputX) {
        QvOutputLogString(ERROR, "[Quorvel] Invalid target image resolution for X: %d. (must be between [%d and %d]).\n",
                          static_cast<int>(width), static_cast<int>(kMinOutputX), static_cast<int>(kMaxOutputX));
        return;
    }
    if (height < kMinOutputY || height > kMaxOutputY) {
        QvOutputLogString(ERROR, "[Quorvel] Invalid target image resolution for Y: %d. (must be between [%d and %d]).\n",
                          static_cast<int>(height), static_cast<int>(kMinOutputY), static_cast<int>(kMaxOutputY));
        return;
    }
    c.outputResolutionX.set(x);
    c.outputResolutionY.set(y);
    c.outputAspect = x / y;
}

QvResolutionParam QvComputeRenderingResolutionParameters(const uint64_t& width, const uint64_t& height)
{
    if (!checkContextCompleteness())
        return {};
    const QuorvelContext& c = getQuorvelContext();
    if (c.phase == Detect) {
        if (static_cast<double>(width) != c.outputResolutionX.get() ||
            static_cast<double>(height) != c.outputResolutionY.get())
            QvOutputLogCStr(WARNING, "[Quorvel] Rendering resolution is different than the final Qvl file "
                                     "resolution, this is not supported in the detection phase.\n");
        return outputResolutionParams(c);
    }
    if (c.phase != Render)
        return {};
    const std::string path = blockDetectionFile(c);
    uint64_t plaques = 0;
    if (!readPlaqueCount(path, plaques)) {
        QvOutputLogString(ERROR, "[Quorvel] Cannot read the detection file %s .\n", path.c_str());
        return {};
    }
    // An empty image holds no plaque: no block count exists for it.
    if (width == 0 || height == 0) {
        QvOutputLogCStr(ERROR, "[Quorvel] invalid resolution params.\n");
        return {};
    }
    const double blocks = std::ceil(static_cast<double>(plaques) /
                                    (static_cast<double>(width) * static_cast<double>(height)));
    // A count near 2^64 rounds up past what a block count can hold.
    if (blocks >= 18446744073709551616.0) {
        QvOutputLogCStr(ERROR, "[Quorvel] invalid resolution params.\n");
        return {};
    }
    return {width, height, static_cast<uint64_t>(blocks), true};
}

QvResolutionParam QvComputeRenderingResolutionParameters(const uint64_t& blocks)
{
    if (!checkContextCompleteness())
        return {};
    QuorvelContext& c = getQuorvelContext();
    if (c.phase == Detect) {
        QvOutputLogCStr(WARNING, "[Quorvel] multiple blocks for the detection phase is not supported.\n");
        return outputResolutionParams(c);
    }
    if (c.phase != Render)
        return {};
    // It stores the rendering resolution: the per-pixel counters of a running
    // phase must keep the size they were made with.
    if (!acceptsSettings(c))
        return {};
    uint64_t plaques = 0;
    if (!readPlaqueCount(blockDetectionFile(c), plaques))
        return {};
    if (blocks == 0) {
        QvOutputLogCStr(ERROR, "[Quorvel] You must have at least one block to render\n");
        return {};
    }
    const uint64_t side = ceilSqrt(ceilDiv(plaques, blocks));
    c.renderingResolutionX.set(static_cast<double>(side));
    c.renderingResolutionY.set(static_cast<double>(side));
    c.blockCount.set(blocks);
    return {side, side, blocks, true};
}

QvResolutionParam QvGetRenderingResolutionParameters()
{
    if (!checkContextCompleteness())
        return {};
    const QuorvelContext& c = getQuorvelContext();
    if (c.phase == Detect)
        return outputResolutionParams(c);
    if (c.phase != Render)
        return {};
    uint64_t plaques = 0;
    if (!readPlaqueCount(blockDetectionFile(c), plaques))
        return {};
    const uint64_t side = ceilSqrt(plaques);
    return {side, side, 1, true};
}

bool QvSetRenderingResolutionParameters(const QvResolutionParam& params)
{
    QuorvelContext& c = getQuorvelContext();
    if (!params.valid) {
        QvOutputLogCStr(ERROR, "[Quorvel] invalid resolution params.\n");
        return false;
    }
    if (!acceptsSettings(c))
        return false;
    if (c.phase == Detect && params.blockCount >= 2) {
        QvOutputLogCStr(ERROR, "[Quorvel] Unable to render multiple blocks during the detection phase.\n");
        return false;
    }
    if (params.blockCount == 0) {
        uint64_t plaques = 1;
        const bool emptyFile = c.phase == Render && checkContextCompleteness() &&
                               readPlaqueCount(blockDetectionFile(c), plaques) && plaques == 0;
        if (!emptyFile) {
            QvOutputLogCStr(ERROR, "[Quorvel] You must have at least one block to render\n");
            return false;
        }
    }
    const double x = static_cast<double>(params.x);
    const double y = static_cast<double>(params.y);
    c.renderingResolutionX.set(x);
    c.renderingResolutionY.set(y);
    c.renderingAspect = x / y;
    c.blockCount.set(params.blockCount);
    if (params.blockCount < 2)
        c.currentBlock.set(0);
    return true;
}

bool QvSetCurrentBlockIndex(const uint64_t& block)
{
    QuorvelContext& c = getQuorvelContext();
    if (!c.blockCount.isSet() || !c.renderingResolutionX.isSet() || !c.renderingResolutionY.isSet()) {
        QvOutputLogCStr(ERROR, "[Quorvel] Unable to set block, the renderingParameters is not set.\n");
        return false;
    }
    const uint64_t blocks = c.blockCount.get();
    if (block > blocks - 1) {
        QvOutputLogString(ERROR, "[Quorvel] Unable to set the block %d greater than the number of block %d .\n",
                          static_cast<int>(block), static_cast<int>(blocks));
        return false;
    }
    QvOutputLogString(DEBUG, "[Quorvel] number of samples %d ", static_cast<int>(c.tempRecordCount));
    c.currentBlock.set(block);
    const uint64_t pixels =
        static_cast<uint64_t>(c.renderingResolutionX.get()) * static_cast<uint64_t>(c.renderingResolutionY.get());
    c.sampleIndexCounters.assign(pixels, 0);
    c.raysShot.assign(pixels, 0);
    c.samplesReceived.assign(pixels, 0);
    return true;
}

} // namespace Quorvel::Phase::inline v2_0

namespace Quorvel::Block::inline v2_0 {

using Phase::getQuorvelContext;

uint64_t QvGetBlockCountFromRenderingResolution(const std::string& detectFilePath, const uint64_t& width,
                                                const uint64_t& height)
{
    uint64_t plaques = 0;
    if (!Phase::readPlaqueCount(detectFilePath, plaques))
        return 0;
    if (width == 0 || height == 0) {
        Logger::QvOutputLogCStr(Logger::ERROR, "[Quorvel] invalid resolution params.\n");
        return 0;
    }
    uint64_t pixels = 0;
    if (__builtin_mul_overflow(width, height, &pixels))
        return 1; // more pixels than any file can hold plaques
    return plaques / pixels + 1;
}

uint64_t QvGetBlockCountFromRenderingResolution()
{
    const Phase::QuorvelContext& c = getQuorvelContext();
    const auto width = static_cast<uint64_t>(c.outputResolutionX.get());
    const auto height = static_cast<uint64_t>(c.outputResolutionY.get());
    return QvGetBlockCountFromRenderingResolution(Phase::blockDetectionFile(c), width, height);
}

bool QvGetRenderingResolutionFromBlockCount(const std::string& detectFilePath, const uint64_t& /*blocks*/,
                                            uint64_t& width, uint64_t& height)
{
    uint64_t plaques = 0;
    if (!Phase::readPlaqueCount(detectFilePath, plaques))
        return false;
    width = height = Phase::ceilSqrt(plaques);
    return true;
}

std::string QvGetDetectPhaseFileFromQuorvelContext()
{
    return getQuorvelContext().detectFilePath;
}

void QvSetDetectPhaseOverride(const std::string& path)
{
    getQuorvelContext().detectPhaseOverride = path;
}

} // namespace Quorvel::Block::inline v2_0
