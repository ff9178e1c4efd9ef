#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <vector>

#include "samples/ThreadRegion.h"

// Detection buckets are written in the raster order of the bucket grid, so
// that which of two hits takes a camera pixel follows the host's sample
// sequence and not the timing of the render threads. Internal to the core.

namespace Quorvel::Phase::inline v2_0 {
struct QuorvelContext;
}

namespace Quorvel::BinIO::inline v2_0 {

// A speculative bucket flushed while an earlier bucket is still open.
struct PendingBucket {
    uint64_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    std::vector<DetectCandidate> candidates;
};

// The bucket grid of a detection phase. Everything but speculativePixels is
// guarded by the context's tempFileMutex; a pixel's flag is written when its
// bucket opens and closes and read by the thread that renders it.
struct BucketOrder {
    uint64_t bucketWidth = 0;
    uint64_t bucketHeight = 0;
    uint64_t columns = 0;
    uint64_t rows = 0;
    uint64_t imageWidth = 0;
    uint64_t imageHeight = 0;
    std::vector<uint8_t> states; // per rank, see BucketOrder.cpp
    uint64_t written = 0;        // every rank below is written
    std::map<uint64_t, PendingBucket> pending;
    std::vector<uint8_t> speculativePixels; // per rendering pixel: 1 inside a speculative bucket

    bool speculative(uint64_t pixel) const
    {
        return pixel < speculativePixels.size() && speculativePixels[pixel] != 0;
    }
};

// Detection-phase begin: the grid of the rendering image in buckets of the
// context's bucket size, nothing written yet. Other phases get an empty grid.
void resetBucketOrder(Phase::QuorvelContext& context);

// Places a region's newly opened bucket in the grid and sets its mode.
void openOrderedBucket(Phase::QuorvelContext& context, ThreadRegion& region);

// Clears the speculative flags of the region's bucket before it is released.
void closeOrderedBucket(Phase::QuorvelContext& context, ThreadRegion& region);

// Detection flush to the temporary file: writes the bucket when every
// earlier bucket is written, with any later ones that were waiting for it,
// and otherwise keeps it until then.
void writeDetectionBucket(Phase::QuorvelContext& context, ThreadRegion& region);

// Detection flush to a memory buffer: another process writes the bucket, so
// its hits are decided now, against what this process knows.
void settleBucketForMemory(Phase::QuorvelContext& context, ThreadRegion& region);

// A memory buffer of another process has written the bucket with these bounds.
void noteBucketWritten(Phase::QuorvelContext& context, uint64_t x0, uint64_t y0, uint64_t x1, uint64_t y1);

// Writes every waiting bucket in raster order to `file`, the temporary file
// or, at the phase end, the one just detached. The caller holds tempFileMutex.
void drainPendingBuckets(Phase::QuorvelContext& context, std::FILE* file);

} // namespace Quorvel::BinIO::inline v2_0
