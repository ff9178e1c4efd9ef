#include "samples/ThreadRegion.h"

namespace Quorvel::BinIO::inline v2_0 {

ThreadRegion::ThreadRegion(uint64_t width, uint64_t height)
    : x1(width), y1(height), bucketWidth(width), bucketHeight(height), pixels(width * height)
{
    // A pixel rarely yields more than 32 records, so a bucket seldom regrows.
    detectRecords.reserve(width * height * 32);
}

} // namespace Quorvel::BinIO::inline v2_0
