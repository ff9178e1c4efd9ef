#pragma once

#include <cstdint>
#include <vector>

#include "samples/DetectPlaqueInfo.h"
#include "samples/ThreadRegion.h"

namespace Quorvel::Phase::inline v2_0 {
struct QuorvelContext;
}

namespace Quorvel::DetectSample::inline v2_0 {

// Decides the kept hits of a speculative bucket, once every earlier bucket
// is written, exactly as they would have been decided on arrival after those
// buckets: pixel by pixel, camera by camera, the detection ray first (it is
// not shot when its camera pixel is taken), then its hits in arrival order.
// Appends the plaques kept to `out`; the caller holds tempFileMutex.
void replayDetectCandidates(Phase::QuorvelContext& context, uint64_t x0, uint64_t y0, uint64_t x1, uint64_t y1,
                            std::vector<BinIO::DetectCandidate>& candidates,
                            std::vector<BinIO::DetectPlaqueInfo>& out);

} // namespace Quorvel::DetectSample::inline v2_0
