#pragma once

#include <cstdint>
#include <vector>

#include "analysis/DepthCode.h"
#include "camera/RenderingContext.h"
#include "foundation/Export.h"
#include "foundation/Vekbin.h"

// A frustum voxel: one cell of an 80 x 40 direction grid seen from one of six
// principal cameras, cut into depth slices of 64 depth codes.
struct VoxTrum {
    uint8_t cameraIndex = 0;
    uint64_t x = 0;
    uint64_t gridWidth = 80;
    uint64_t y = 0;
    uint64_t gridHeight = 40;
    uint64_t depthCode = 0;
    std::vector<uint64_t> members; // positions in the input vector
};

inline constexpr uint64_t kFroxelGridWidth = 80;
inline constexpr uint64_t kFroxelGridHeight = 40;
// Slices at or below the slice of depth 100 are too near to be froxelised.
inline constexpr uint32_t kFroxelNearSlice = 253;

// Principal camera of each of the six groups and the axis that selects it.
struct FroxelGroup {
    uint8_t camera;
    VekPoint axis;
};
QUORVEL_API const FroxelGroup (&froxelGroups())[6];

// Group whose axis is closest to the normalised position (first on ties).
QUORVEL_API uint32_t froxelGroupOf(const VekPoint& position);

// Groups the samples into voxtrums and re-projects every member to the
// principal camera of its voxtrum, at the voxtrum's depth, with a debug
// colour per grid cell. The context needs its cameras.
QUORVEL_API std::vector<VoxTrum> Froxelize(const RenderingContext& context,
                                           std::vector<Quorvel::Binary::vekbin>& samples);
