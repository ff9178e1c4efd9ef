#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "context/QuorvelContext.h"

namespace Quorvel::BinIO::inline v2_0 {

// Processes the region's bucket, appends it to the temporary sample file and
// releases the region.
void flushRegionToFile(Phase::QuorvelContext& context, uint64_t regionIndex);

// Appends raw record images to `file` (the temporary file, or the one the
// phase end has just detached); the caller holds tempFileMutex. A null file
// drops them with the once-only late warning of the record kind.
bool appendImagesLocked(Phase::QuorvelContext& context, std::FILE* file, const void* bytes, uint64_t size,
                        uint64_t records, bool render);

// The 56-byte image of an output sample: the fields at their offsets, little
// endian, padding zero.
void writeOutSampleImage(unsigned char* destination, const OutSample& sample);
// Its reverse; the AOVs of `sample` are left as they are.
void readOutSampleImage(const unsigned char* source, OutSample& sample);

// Merges the samples of one pixel group into layers and appends those that
// stand for the pixel's plaque to `out`.
void processPixelGroup(Phase::QuorvelContext& context, int64_t x, int64_t y,
                       const std::vector<RenderSample::QvRenderSample>& samples, std::vector<OutSample>& out);

} // namespace Quorvel::BinIO::inline v2_0
