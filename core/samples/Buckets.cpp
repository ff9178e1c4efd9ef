#include "samples/Buckets.h"

#include <atomic>
#include <bit>
#include <climits>
#include <cstring>
#include <exception>
#include <mutex>

#include "analysis/PixelSampleMerging.h"
#include "analysis/PlaqueKDTree.h"
#include "camera/CubeMap.h"
#include "camera/Plaque.h"
#include "foundation/Logger.h"
#include "samples/BucketInternal.h"
#include "samples/BucketOrder.h"
#include "samples/SampleInternal.h"

namespace Quorvel::BinIO::inline v2_0 {

static_assert(std::endian::native == std::endian::little, "record images are copied as they lie in memory");

namespace {

using Logger::QvOutputLogCStr;
using Logger::QvOutputLogString;
using Phase::QuorvelContext;
using RenderSample::QvRenderSample;
using SampleIntake::misuse;

std::atomic<bool> lateDetectRecordsWarned{false};
std::atomic<bool> lateRenderSamplesWarned{false};

void requireRunningPhase(const QuorvelContext& c)
{
    if (!c.initialised)
        misuse("[Quorvel] a phase must be initialized to use this function");
}

bool isRender(const QuorvelContext& c)
{
    return c.phase == Phase::Render;
}

// The first active region whose open bucket has exactly these bounds.
ThreadRegion* findRegion(QuorvelContext& c, int32_t x0, int32_t y0, int32_t x1, int32_t y1, uint64_t* index = nullptr)
{
    if (x0 < 0 || y0 < 0 || x1 < 0 || y1 < 0)
        return nullptr;
    for (uint64_t i = 0; i < c.threadRegions.size(); ++i) {
        ThreadRegion& r = c.threadRegions[i];
        if (r.active && r.x0 == static_cast<uint64_t>(x0) && r.y0 == static_cast<uint64_t>(y0) &&
            r.x1 == static_cast<uint64_t>(x1) && r.y1 == static_cast<uint64_t>(y1)) {
            if (index)
                *index = i;
            return &r;
        }
    }
    return nullptr;
}

void processBucket(QuorvelContext& c, ThreadRegion& region)
{
    if (!isRender(c))
        return; // detection records are final as they arrive
    for (uint64_t y = region.y0; y < region.y1; ++y)
        for (uint64_t x = region.x0; x < region.x1; ++x) {
            const PixelCell* cell = region.cell(static_cast<int64_t>(x), static_cast<int64_t>(y));
            if (cell == nullptr)
                continue;
            cell->forEachGroup([&](uint64_t, const std::vector<QvRenderSample>& samples) {
                processPixelGroup(c, static_cast<int64_t>(x), static_cast<int64_t>(y), samples, region.outSamples);
            });
        }
}

void releaseRegion(ThreadRegion& region)
{
    for (PixelCell& cell : region.pixels)
        cell.clear(region.spareSamples);
    region.detectRecords.clear();
    region.outSamples.clear();
    region.sampleCount = 0;
    region.active = false;
}

uint64_t renderRecordSize(const QuorvelContext& c)
{
    return kOutSampleImageSize + c.aovFormat.byteSize;
}

uint64_t maskSize(const ThreadRegion& region)
{
    return (region.x1 - region.x0) * (region.y1 - region.y0);
}

// Bytes the region's processed bucket takes in a memory buffer.
uint64_t bufferSize(const QuorvelContext& c, const ThreadRegion& region)
{
    if (isRender(c))
        return region.outSamples.size() * renderRecordSize(c) + kMemoryBufferFooterSize;
    return region.detectRecords.size() * kDetectRecordSize + maskSize(region) + kMemoryBufferFooterSize;
}

// Called under the sample-file lock; reported once per phase.
void reportWriteFailure(QuorvelContext& c)
{
    if (!c.samplesIncomplete)
        QvOutputLogCStr(Logger::ERROR, "[Quorvel] Writing samples to the temporary sample file failed.\n");
    c.samplesIncomplete = true;
}

// Appends raw record images under the process-wide lock. Returns false when
// the phase end has already taken the file.
bool appendImages(QuorvelContext& c, const void* bytes, uint64_t size, uint64_t records, std::atomic<bool>& lateWarned)
{
    std::lock_guard lock(c.tempFileMutex);
    return appendImagesLocked(c, c.tempFile, bytes, size, records, &lateWarned == &lateRenderSamplesWarned);
}

void appendDetectRecords(QuorvelContext& c, const std::vector<DetectPlaqueInfo>& records)
{
    if (records.empty())
        return;
    appendImages(c, records.data(), records.size() * kDetectRecordSize, records.size(), lateDetectRecordsWarned);
}

// Serialises output samples as the memory buffer and the file hold them.
void writeRenderRecords(const QuorvelContext& c, const std::vector<OutSample>& samples, unsigned char* out)
{
    const std::vector<Phase::AOVType>& types = c.aovFormat.types;
    const uint64_t recordSize = renderRecordSize(c);
    for (const OutSample& s : samples) {
        writeOutSampleImage(out, s);
        if (!types.empty() && s.aovs.size() >= types.size())
            WriteAovsToMem(out + kOutSampleImageSize, types, s.aovs.data());
        else if (!types.empty())
            std::memset(out + kOutSampleImageSize, 0, recordSize - kOutSampleImageSize);
        out += recordSize;
    }
}

void appendOutSamples(QuorvelContext& c, const std::vector<OutSample>& samples)
{
    if (samples.empty())
        return;
    // One write per bucket: the records are laid out first, outside the lock.
    thread_local std::vector<unsigned char> scratch;
    scratch.resize(samples.size() * renderRecordSize(c));
    writeRenderRecords(c, samples, scratch.data());
    appendImages(c, scratch.data(), scratch.size(), samples.size(), lateRenderSamplesWarned);
}

void appendRegion(QuorvelContext& c, const ThreadRegion& region)
{
    if (isRender(c))
        appendOutSamples(c, region.outSamples);
    else
        appendDetectRecords(c, region.detectRecords);
}

template <typename T>
void put(unsigned char* at, T value)
{
    std::memcpy(at, &value, sizeof value);
}

template <typename T>
T get(const unsigned char* at)
{
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

void writeFooter(unsigned char* footer, uint64_t count, const ThreadRegion& region, bool mask)
{
    put<uint16_t>(footer + 0, kMemoryBufferVersion);
    put<uint32_t>(footer + 4, static_cast<uint32_t>(count));
    put<uint16_t>(footer + 8, static_cast<uint16_t>(region.x0));
    put<uint16_t>(footer + 10, static_cast<uint16_t>(region.x1));
    put<uint16_t>(footer + 12, static_cast<uint16_t>(region.y0));
    put<uint16_t>(footer + 14, static_cast<uint16_t>(region.y1));
    footer[16] = mask ? 1 : 0;
}

// Samples of a refused bucket or buffer are lost: the phase's file must not
// pass for complete.
void markIncomplete(QuorvelContext& c)
{
    std::lock_guard lock(c.tempFileMutex);
    c.samplesIncomplete = true;
}

void refuseBuffer(QuorvelContext& c, const char* message)
{
    QvOutputLogCStr(Logger::ERROR, message);
    markIncomplete(c);
}

void refuseMalformedBuffer(QuorvelContext& c)
{
    refuseBuffer(c, "[Quorvel] Memory buffer is malformed: its sizes do not fit the block.\n");
}

bool validAovSlot(const QuorvelContext& c, int32_t alias, uint64_t& index)
{
    const auto it = c.aovFormat.aliases.find(alias);
    if (it == c.aovFormat.aliases.end())
        return false;
    index = it->second;
    return true;
}

} // namespace

bool appendImagesLocked(QuorvelContext& c, std::FILE* file, const void* bytes, uint64_t size, uint64_t records,
                        bool render)
{
    if (file == nullptr) {
        std::atomic<bool>& lateWarned = render ? lateRenderSamplesWarned : lateDetectRecordsWarned;
        if (!lateWarned.exchange(true, std::memory_order_relaxed))
            QvOutputLogCStr(Logger::WARNING,
                            "Flushing temporary file samples while samples have already been processed.");
        return false;
    }
    if (size != 0 && std::fwrite(bytes, 1, size, file) != size) {
        reportWriteFailure(c);
        return false;
    }
    c.tempRecordCount += records;
    return true;
}

void writeOutSampleImage(unsigned char* d, const OutSample& s)
{
    put(d + 0, s.depth);
    put(d + 8, s.normal);
    put(d + 20, s.color);
    put(d + 36, s.x);
    put(d + 40, s.y);
    put(d + 44, s.cameraIndex);
    put(d + 48, s.level);
    d[52] = s.backFacing;
    d[53] = d[54] = d[55] = 0;
}

void readOutSampleImage(const unsigned char* d, OutSample& s)
{
    s.depth = get<double>(d + 0);
    s.normal = get<VekPoint>(d + 8);
    s.color = get<VekRGBA>(d + 20);
    s.x = get<int32_t>(d + 36);
    s.y = get<int32_t>(d + 40);
    s.cameraIndex = get<uint32_t>(d + 44);
    s.level = get<int32_t>(d + 48);
    s.backFacing = d[52];
}

void processPixelGroup(QuorvelContext& c, int64_t x, int64_t y, const std::vector<QvRenderSample>& samples,
                       std::vector<OutSample>& out)
{
    const uint64_t block = c.currentBlock.get();
    const auto W = static_cast<uint64_t>(c.renderingResolutionX.get());
    const auto H = static_cast<uint64_t>(c.renderingResolutionY.get());
    const auto X = static_cast<uint64_t>(c.outputResolutionX.get());
    const auto Y = static_cast<uint64_t>(c.outputResolutionY.get());
    const uint64_t pixel = static_cast<uint64_t>(y) * W + static_cast<uint64_t>(x);
    const uint64_t plaqueIndex = block * W * H + pixel;
    if (plaqueIndex >= c.plaques.size())
        return;
    const DetectPlaqueInfo& P = c.plaques[plaqueIndex];
    if (P.cameraIndex >= c.cameraPositions.size())
        return;
    const uint64_t shotRays = pixel < c.raysShot.size() ? c.raysShot[pixel] : 0;

    RenderingContext ctx;
    ctx.cameras = &c.cameraPositions;
    ctx.width = X;
    ctx.height = Y;
    ctx.renderScale = c.renderScale.get();
    ctx.tolerance = 0.0f;
    ViewPointInfo viewPoint;
    viewPoint.position = c.cameraPositions[P.cameraIndex];
    viewPoint.direction = Camera::cubeMapDirection((P.x + 0.5f) / static_cast<float>(X),
                                                   (P.y + 0.5f) / static_cast<float>(Y));
    viewPoint.width = X;

    const std::vector<TOutPixelData> layers =
        MergePixelSamples(P, c.aovFormat, samples, ctx, viewPoint, shotRays, P.transparent == 0);
    const RenderingContext atLevel = ContextAtLevel(ctx, P.level);
    uint64_t glassSlot = 0;
    const bool hasGlassSlot = validAovSlot(c, kAliasTransparency, glassSlot);
    std::vector<bool> noMarks;
    for (const TOutPixelData& T : layers) {
        if (P.transparent && (!hasGlassSlot || glassSlot >= T.aovs.size() || T.aovs[glassSlot].asInt == 0))
            continue;
        if (c.clipEnabled &&
            !SampleIntake::passesClippingSphere(T.position, c.clipCentreCamera, c.clipRadius, c.clipInside))
            continue;
        if (!IsPlaqueMeaningful(ctx, samples.size(), T))
            continue;
        if (!atLevel.isAtProximity(P.depth, static_cast<float>(T.depth), 1.0f)) {
            if (P.transparent || P.hair || !(T.color.a >= 0.9999000000025262) || T.backFacing || P.estimated)
                continue;
            if (c.plaqueTree) {
                const Plaque plaque = GetPlaqueInfo(ctx, T.cameraIndex, static_cast<uint64_t>(T.x),
                                                    static_cast<uint64_t>(T.y), T.normal, static_cast<float>(T.depth),
                                                    static_cast<uint64_t>(T.level), 1.0f);
                const OverlapAction action = GetOverlapAction(*c.plaqueTree, plaque, T.coverage, false, noMarks);
                if (action == Remove || action == Defer)
                    continue;
            }
        }
        OutSample& s = out.emplace_back();
        s.depth = T.depth * static_cast<double>(c.renderScale.get());
        s.normal = P.hair ? VekPoint{0.0f, 0.0f, 0.0f} : T.normal;
        s.color = T.color;
        s.x = T.x;
        s.y = T.y;
        s.cameraIndex = T.cameraIndex;
        s.level = T.level;
        s.backFacing = T.backFacing;
        s.aovs = T.aovs;
    }
}

void flushRegionToFile(QuorvelContext& c, uint64_t regionIndex)
{
    ThreadRegion& region = c.threadRegions[regionIndex];
    processBucket(c, region);
    if (isRender(c)) {
        appendRegion(c, region);
    } else {
        writeDetectionBucket(c, region);
        closeOrderedBucket(c, region);
    }
    releaseRegion(region);
}

void QvInitBucket(const uint64_t& threadIndex, const int32_t& x0, const int32_t& y0, const int32_t& x1,
                  const int32_t& y1)
{
    QuorvelContext& c = Phase::getQuorvelContext();
    if (threadIndex >= c.threadRegions.size()) {
        QvOutputLogString(Logger::TRACE, "[Quorvel] cannot get bucket for this thread %d. Only %d buckets are available\n",
                          static_cast<int>(threadIndex), static_cast<int>(c.threadRegions.size()));
        throw std::exception();
    }
    ThreadRegion& region = c.threadRegions[threadIndex];
    if (region.sampleCount != 0) {
        QvOutputLogString(Logger::TRACE,
                          "There was still samples in the bucket when the bucket was initialized. %d samples lost.\n",
                          static_cast<int>(region.sampleCount));
        throw std::exception();
    }
    // The pixel grid was sized once for the largest bucket; a larger one
    // would route samples past its end.
    if (x0 < 0 || y0 < 0 || x1 < x0 || y1 < y0 || static_cast<uint64_t>(x1 - x0) > region.bucketWidth ||
        static_cast<uint64_t>(y1 - y0) > region.bucketHeight) {
        QvOutputLogString(Logger::ERROR,
                          "[Quorvel] The bucket [%d,%d] [%d,%d] does not fit the region of %d x %d pixels; it is "
                          "not opened.\n",
                          x0, x1, y0, y1, static_cast<int>(region.bucketWidth), static_cast<int>(region.bucketHeight));
        markIncomplete(c);
        return;
    }
    // A bucket opened before and left without samples still takes its
    // place in the order, or the buckets after it would wait for it.
    if (region.mode != BucketMode::Unordered) {
        writeDetectionBucket(c, region);
        closeOrderedBucket(c, region);
    }
    releaseRegion(region);
    region.x0 = static_cast<uint64_t>(x0);
    region.y0 = static_cast<uint64_t>(y0);
    region.x1 = static_cast<uint64_t>(x1);
    region.y1 = static_cast<uint64_t>(y1);
    region.active = true;
    openOrderedBucket(c, region);
}

int32_t QvProcessBucketGetBufferSize(const uint64_t& threadIndex)
{
    QuorvelContext& c = Phase::getQuorvelContext();
    requireRunningPhase(c);
    if (threadIndex >= c.threadRegions.size()) {
        QvOutputLogString(Logger::ERROR, "[Quorvel] there's no bucket for this thread %d.\n",
                          static_cast<int>(threadIndex));
        return -1;
    }
    ThreadRegion& region = c.threadRegions[threadIndex];
    processBucket(c, region);
    if (!isRender(c))
        settleBucketForMemory(c, region);
    const uint64_t size = bufferSize(c, region);
    if (size > static_cast<uint64_t>(INT32_MAX)) {
        QvOutputLogString(Logger::ERROR, "[Quorvel] The bucket of thread %d is too large for a memory buffer.\n",
                          static_cast<int>(threadIndex));
        return -1;
    }
    if (isRender(c))
        QvOutputLogString(Logger::DEBUG, "process bucket get size %02d => qvlsize(%d) , items(%d) \n",
                          static_cast<int>(threadIndex), static_cast<int>(size),
                          static_cast<int>(region.outSamples.size()));
    return static_cast<int32_t>(size);
}

int32_t QvProcessBucketGetBufferSize(const int32_t& x0, const int32_t& y0, const int32_t& x1, const int32_t& y1)
{
    QuorvelContext& c = Phase::getQuorvelContext();
    requireRunningPhase(c);
    uint64_t index = 0;
    if (findRegion(c, x0, y0, x1, y1, &index) == nullptr) {
        QvOutputLogString(Logger::ERROR,
                          "[Quorvel] QvProcessBucketGetBufferSize Failed to get a bucket with coordinates %d %d %d "
                          "%d.\n",
                          x0, y0, x1, y1);
        return -1;
    }
    return QvProcessBucketGetBufferSize(index);
}

bool QvBucketFlushToMemory(void* block, const uint64_t& size, const int32_t& x0, const int32_t& y0,
                           const int32_t& x1, const int32_t& y1)
{
    QuorvelContext& c = Phase::getQuorvelContext();
    requireRunningPhase(c);
    uint64_t index = 0;
    ThreadRegion* region = findRegion(c, x0, y0, x1, y1, &index);
    if (region == nullptr) {
        QvOutputLogString(Logger::ERROR,
                          "[Quorvel] QvBucketFlushToMemory Failed to get a bucket with coordinates %d %d %d %d.\n",
                          x0, y0, x1, y1);
        return false;
    }
    if (!isRender(c))
        settleBucketForMemory(c, *region);
    const uint64_t needed = bufferSize(c, *region);
    if (block == nullptr || size < needed) {
        QvOutputLogString(Logger::ERROR,
                          "[Quorvel] QvBucketFlushToMemory: the memory block of %llu bytes is smaller than the %llu "
                          "bytes the bucket needs.\n",
                          static_cast<unsigned long long>(block ? size : 0), static_cast<unsigned long long>(needed));
        return false;
    }
    auto* bytes = static_cast<unsigned char*>(block);
    unsigned char* footer = bytes + size - kMemoryBufferFooterSize;
    if (isRender(c)) {
        const uint64_t count = region->outSamples.size();
        QvOutputLogString(Logger::DEBUG, "%02d write to memory => qvlsize(%d), items(%d) vraybufsize(%d) \n",
                          static_cast<int>(index), static_cast<int>(needed), static_cast<int>(count),
                          static_cast<int>(size));
        writeRenderRecords(c, region->outSamples, bytes + size - needed);
        writeFooter(footer, count, *region, false);
    } else {
        const uint64_t count = region->detectRecords.size();
        unsigned char* records = bytes + size - needed;
        if (count != 0)
            std::memcpy(records, region->detectRecords.data(), count * kDetectRecordSize);
        unsigned char* mask = records + count * kDetectRecordSize;
        const auto width = static_cast<uint64_t>(c.renderingResolutionX.get());
        for (uint64_t y = region->y0; y < region->y1; ++y)
            for (uint64_t x = region->x0; x < region->x1; ++x) {
                const uint64_t i = y * width + x;
                *mask++ = i < c.raysShot.size() && i < c.samplesReceived.size() &&
                                  c.raysShot[i] == c.samplesReceived[i]
                              ? 1
                              : 0;
            }
        writeFooter(footer, count, *region, true);
    }
    closeOrderedBucket(c, *region);
    releaseRegion(*region);
    return true;
}

bool QvFlushMemoryBufferToFile(const void* block, const uint64_t& size)
{
    QuorvelContext& c = Phase::getQuorvelContext();
    if (block == nullptr || size < kMemoryBufferFooterSize) {
        refuseMalformedBuffer(c);
        return false;
    }
    const auto* bytes = static_cast<const unsigned char*>(block);
    const unsigned char* footer = bytes + size - kMemoryBufferFooterSize;
    if (get<uint16_t>(footer) != kMemoryBufferVersion) {
        refuseBuffer(c, "[Quorvel] Memory buffer version mismatch.\n");
        return false;
    }
    const uint64_t count = get<uint32_t>(footer + 4);
    const uint64_t x0 = get<uint16_t>(footer + 8);
    const uint64_t x1 = get<uint16_t>(footer + 10);
    const uint64_t y0 = get<uint16_t>(footer + 12);
    const uint64_t y1 = get<uint16_t>(footer + 14);
    const bool hasMask = footer[16] != 0;
    const uint64_t room = size - kMemoryBufferFooterSize; // bytes before the footer

    if (c.phase == Phase::Detect) {
        if (x1 < x0 || y1 < y0) {
            refuseMalformedBuffer(c);
            return false;
        }
        const uint64_t mask = (x1 - x0) * (y1 - y0);
        // count < 2^32, so count * 28 cannot overflow.
        if (mask > room || count * kDetectRecordSize > room - mask) {
            refuseMalformedBuffer(c);
            return false;
        }
        const unsigned char* records = footer - mask - count * kDetectRecordSize;
        if (count != 0)
            appendImages(c, records, count * kDetectRecordSize, count, lateDetectRecordsWarned);
        noteBucketWritten(c, x0, y0, x1, y1);
        if (hasMask) {
            const auto width = static_cast<uint64_t>(c.renderingResolutionX.get());
            const unsigned char* m = footer - mask;
            for (uint64_t y = y0; y < y1; ++y)
                for (uint64_t x = x0; x < x1; ++x, ++m) {
                    const uint64_t i = y * width + x;
                    if (i >= c.raysShot.size() || i >= c.samplesReceived.size())
                        continue; // a pixel outside this phase's image
                    c.raysShot[i] = 1;
                    c.samplesReceived[i] = *m == 1 ? 1 : 0;
                }
        }
        return true;
    }

    if (c.phase == Phase::Render) {
        const uint64_t recordSize = renderRecordSize(c);
        if (count > room / recordSize) {
            refuseMalformedBuffer(c);
            return false;
        }
        if (count == 0)
            return true;
        // The records already have the file's layout; only the padding of
        // each image is cleared, as the writer leaves it.
        thread_local std::vector<unsigned char> scratch;
        const unsigned char* records = footer - count * recordSize;
        scratch.assign(records, records + count * recordSize);
        for (uint64_t i = 0; i < count; ++i)
            std::memset(scratch.data() + i * recordSize + 53, 0, 3);
        appendImages(c, scratch.data(), scratch.size(), count, lateRenderSamplesWarned);
    }
    return true;
}

bool QvProcessBucketFlushToFile(const uint64_t& threadIndex)
{
    QuorvelContext& c = Phase::getQuorvelContext();
    requireRunningPhase(c);
    if (threadIndex >= c.threadRegions.size())
        return false;
    flushRegionToFile(c, threadIndex);
    return true;
}

bool QvProcessBucketFlushToFile(const int32_t& x0, const int32_t& y0, const int32_t& x1, const int32_t& y1)
{
    QuorvelContext& c = Phase::getQuorvelContext();
    requireRunningPhase(c);
    uint64_t index = 0;
    if (findRegion(c, x0, y0, x1, y1, &index) == nullptr) {
        QvOutputLogString(Logger::WARNING,
                          "[Quorvel]  QvProcessBucketFlushToFile Failed to get a bucket with coordinates %d %d %d "
                          "%d.\n",
                          x0, y0, x1, y1);
        return false;
    }
    flushRegionToFile(c, index);
    return true;
}

void QvProcessAllBucketsToFile()
{
    QuorvelContext& c = Phase::getQuorvelContext();
    for (uint64_t i = 0; i < c.threadRegions.size(); ++i) {
        if (c.threadRegions[i].sampleCount == 0)
            continue;
        requireRunningPhase(c);
        flushRegionToFile(c, i);
    }
    if (c.phase == Phase::Detect) {
        std::lock_guard lock(c.tempFileMutex);
        drainPendingBuckets(c, c.tempFile);
    }
}

} // namespace Quorvel::BinIO::inline v2_0
