#pragma once

#include <cstdint>
#include <string>

#include "foundation/Export.h"

namespace Quorvel::Phase::inline v2_0 {

struct QvResolutionParam {
    uint64_t x = 0;
    uint64_t y = 0;
    uint64_t blockCount = 0;
    bool valid = false;
};

// Output (cube-map) resolution: ratio 3:2, multiples of 8, 312x208 to 6000x4000.
QUORVEL_API void QvSetOutputResolution(const uint64_t& width, const uint64_t& height);
QUORVEL_API QvResolutionParam QvComputeRenderingResolutionParameters(const uint64_t& width, const uint64_t& height);
QUORVEL_API QvResolutionParam QvComputeRenderingResolutionParameters(const uint64_t& blocks);
QUORVEL_API QvResolutionParam QvGetRenderingResolutionParameters();
QUORVEL_API bool QvSetRenderingResolutionParameters(const QvResolutionParam& params);
// Selects the block to render and re-creates the per-pixel counters.
QUORVEL_API bool QvSetCurrentBlockIndex(const uint64_t& block);

} // namespace Quorvel::Phase::inline v2_0

namespace Quorvel::Block::inline v2_0 {

QUORVEL_API uint64_t QvGetBlockCountFromRenderingResolution(const std::string& detectFilePath, const uint64_t& width,
                                                            const uint64_t& height);
QUORVEL_API uint64_t QvGetBlockCountFromRenderingResolution();
QUORVEL_API bool QvGetRenderingResolutionFromBlockCount(const std::string& detectFilePath, const uint64_t& blocks,
                                                        uint64_t& width, uint64_t& height);
QUORVEL_API std::string QvGetDetectPhaseFileFromQuorvelContext();
QUORVEL_API void QvSetDetectPhaseOverride(const std::string& path);

} // namespace Quorvel::Block::inline v2_0
