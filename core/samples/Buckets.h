#pragma once

#include <cstdint>

#include "foundation/Export.h"

// Buckets of the render threads: opening one, processing it and moving its
// content to the phase's temporary sample file, directly or through a memory
// buffer that can travel between processes.
namespace Quorvel::BinIO::inline v2_0 {

inline constexpr uint16_t kMemoryBufferVersion = 668;
inline constexpr uint64_t kMemoryBufferFooterSize = 20;
inline constexpr uint64_t kDetectRecordSize = 28;
inline constexpr uint64_t kOutSampleImageSize = 56;

// Opens the bucket [x0, x1) x [y0, y1) in the thread's region. A bucket larger
// than the region's grid is refused with an ERROR.
QUORVEL_API void QvInitBucket(const uint64_t& threadIndex, const int32_t& x0, const int32_t& y0, const int32_t& x1,
                              const int32_t& y1);

// Processes the bucket and returns the bytes its memory buffer needs, or -1.
QUORVEL_API int32_t QvProcessBucketGetBufferSize(const uint64_t& threadIndex);
QUORVEL_API int32_t QvProcessBucketGetBufferSize(const int32_t& x0, const int32_t& y0, const int32_t& x1,
                                                 const int32_t& y1);

// Writes the processed bucket at the end of the host's block of `size` bytes
// and releases the region. A block smaller than the bucket needs is refused.
QUORVEL_API bool QvBucketFlushToMemory(void* block, const uint64_t& size, const int32_t& x0, const int32_t& y0,
                                       const int32_t& x1, const int32_t& y1);

// Appends the bucket held by a memory buffer to the temporary sample file.
// The block may come from another process: a malformed one is refused.
QUORVEL_API bool QvFlushMemoryBufferToFile(const void* block, const uint64_t& size);

// Processes the bucket and appends it to the temporary sample file.
QUORVEL_API bool QvProcessBucketFlushToFile(const uint64_t& threadIndex);
QUORVEL_API bool QvProcessBucketFlushToFile(const int32_t& x0, const int32_t& y0, const int32_t& x1,
                                            const int32_t& y1);

// Empties every region that still holds records or samples into the file.
QUORVEL_API void QvProcessAllBucketsToFile();

} // namespace Quorvel::BinIO::inline v2_0
