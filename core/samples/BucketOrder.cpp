#include "samples/BucketOrder.h"

#include <algorithm>
#include <mutex>

#include "context/QuorvelContext.h"
#include "samples/BucketInternal.h"
#include "samples/Buckets.h"
#include "samples/DetectReplay.h"

namespace Quorvel::BinIO::inline v2_0 {

namespace {

using Phase::QuorvelContext;

// States of a rank of the grid.
enum : uint8_t { Free, Open, Pending, Written };

// The rank of a bucket that is exactly one cell of the grid, clipped to the image.
bool gridRank(const BucketOrder& o, uint64_t x0, uint64_t y0, uint64_t x1, uint64_t y1, uint64_t& rank)
{
    if (o.states.empty() || x0 >= o.imageWidth || y0 >= o.imageHeight || x0 % o.bucketWidth != 0 ||
        y0 % o.bucketHeight != 0)
        return false;
    if (x1 != std::min(o.imageWidth, x0 + o.bucketWidth) || y1 != std::min(o.imageHeight, y0 + o.bucketHeight))
        return false;
    rank = (y0 / o.bucketHeight) * o.columns + x0 / o.bucketWidth;
    return rank < o.states.size();
}

void setSpeculative(BucketOrder& o, const ThreadRegion& r, uint8_t value)
{
    for (uint64_t y = r.y0; y < r.y1 && y < o.imageHeight; ++y)
        for (uint64_t x = r.x0; x < r.x1 && x < o.imageWidth; ++x)
            o.speculativePixels[y * o.imageWidth + x] = value;
}

bool appendRecords(QuorvelContext& c, std::FILE* file, const std::vector<DetectPlaqueInfo>& records)
{
    if (records.empty())
        return true;
    return appendImagesLocked(c, file, records.data(), records.size() * kDetectRecordSize, records.size(), false);
}

void writePending(QuorvelContext& c, std::FILE* file, PendingBucket& bucket)
{
    std::vector<DetectPlaqueInfo> records;
    DetectSample::replayDetectCandidates(c, bucket.x0, bucket.y0, bucket.x1, bucket.y1, bucket.candidates, records);
    appendRecords(c, file, records);
}

// Moves the written mark past every written rank, writing the waiting
// buckets it reaches on the way.
void advance(QuorvelContext& c, std::FILE* file)
{
    BucketOrder& o = c.bucketOrder;
    while (o.written < o.states.size()) {
        uint8_t& state = o.states[o.written];
        if (state == Pending) {
            const auto it = o.pending.find(o.written);
            if (it != o.pending.end()) {
                writePending(c, file, it->second);
                o.pending.erase(it);
            }
            state = Written;
        }
        if (state != Written)
            return;
        ++o.written;
    }
}

} // namespace

void resetBucketOrder(QuorvelContext& c)
{
    BucketOrder& o = c.bucketOrder;
    o = BucketOrder{};
    if (c.phase != Phase::Detect || !c.bucketSizeX.isSet() || !c.bucketSizeY.isSet() ||
        !c.renderingResolutionX.isSet() || !c.renderingResolutionY.isSet())
        return;
    o.bucketWidth = c.bucketSizeX.get();
    o.bucketHeight = c.bucketSizeY.get();
    o.imageWidth = static_cast<uint64_t>(c.renderingResolutionX.get());
    o.imageHeight = static_cast<uint64_t>(c.renderingResolutionY.get());
    if (o.bucketWidth == 0 || o.bucketHeight == 0 || o.imageWidth == 0 || o.imageHeight == 0)
        return;
    o.columns = (o.imageWidth + o.bucketWidth - 1) / o.bucketWidth;
    o.rows = (o.imageHeight + o.bucketHeight - 1) / o.bucketHeight;
    o.states.assign(o.columns * o.rows, Free);
    o.speculativePixels.assign(o.imageWidth * o.imageHeight, 0);
}

void openOrderedBucket(QuorvelContext& c, ThreadRegion& r)
{
    r.mode = BucketMode::Unordered;
    r.candidates.clear();
    if (c.phase != Phase::Detect)
        return;
    BucketOrder& o = c.bucketOrder;
    {
        std::lock_guard lock(c.tempFileMutex);
        uint64_t rank = 0;
        // A bucket off the grid, or one whose cell was already rendered,
        // has no place in the order: it is decided as it arrives.
        if (!gridRank(o, r.x0, r.y0, r.x1, r.y1, rank) || o.states[rank] != Free)
            return;
        o.states[rank] = Open;
        r.rank = rank;
        r.mode = rank == o.written ? BucketMode::Exact : BucketMode::Speculative;
    }
    if (r.mode == BucketMode::Speculative) {
        setSpeculative(o, r, 1);
        // Grown here, as detectRecords is at construction, so that the
        // intake does not allocate.
        if (r.candidates.capacity() == 0)
            r.candidates.reserve(r.bucketWidth * r.bucketHeight * 32);
    }
}

void closeOrderedBucket(QuorvelContext& c, ThreadRegion& r)
{
    if (r.mode == BucketMode::Speculative)
        setSpeculative(c.bucketOrder, r, 0);
    r.mode = BucketMode::Unordered;
}

void writeDetectionBucket(QuorvelContext& c, ThreadRegion& r)
{
    BucketOrder& o = c.bucketOrder;
    std::lock_guard lock(c.tempFileMutex);
    if (r.mode == BucketMode::Speculative && r.rank != o.written) {
        PendingBucket& bucket = o.pending[r.rank];
        bucket.x0 = r.x0;
        bucket.y0 = r.y0;
        bucket.x1 = r.x1;
        bucket.y1 = r.y1;
        bucket.candidates = std::move(r.candidates);
        r.candidates = {};
        o.states[r.rank] = Pending;
        return;
    }
    if (r.mode == BucketMode::Speculative)
        DetectSample::replayDetectCandidates(c, r.x0, r.y0, r.x1, r.y1, r.candidates, r.detectRecords);
    appendRecords(c, c.tempFile, r.detectRecords);
    if (r.mode != BucketMode::Unordered) {
        o.states[r.rank] = Written;
        advance(c, c.tempFile);
    }
}

void settleBucketForMemory(QuorvelContext& c, ThreadRegion& r)
{
    if (r.mode == BucketMode::Unordered)
        return;
    BucketOrder& o = c.bucketOrder;
    std::lock_guard lock(c.tempFileMutex);
    if (r.mode == BucketMode::Speculative) {
        DetectSample::replayDetectCandidates(c, r.x0, r.y0, r.x1, r.y1, r.candidates, r.detectRecords);
        r.candidates.clear();
        setSpeculative(o, r, 0);
    }
    o.states[r.rank] = Written;
    r.mode = BucketMode::Unordered;
    advance(c, c.tempFile);
}

void noteBucketWritten(QuorvelContext& c, uint64_t x0, uint64_t y0, uint64_t x1, uint64_t y1)
{
    BucketOrder& o = c.bucketOrder;
    std::lock_guard lock(c.tempFileMutex);
    uint64_t rank = 0;
    if (!gridRank(o, x0, y0, x1, y1, rank) || o.states[rank] == Pending)
        return;
    o.states[rank] = Written;
    advance(c, c.tempFile);
}

void drainPendingBuckets(QuorvelContext& c, std::FILE* file)
{
    BucketOrder& o = c.bucketOrder;
    for (auto& [rank, bucket] : o.pending) {
        writePending(c, file, bucket);
        o.states[rank] = Written;
    }
    o.pending.clear();
}

} // namespace Quorvel::BinIO::inline v2_0
