#pragma once

#include <cstdint>
#include <vector>

#include "foundation/Export.h"
#include "foundation/Types.h"
#include "samples/DetectPlaqueInfo.h"

// Reproducible sub-pixel positions and seeds, and the search for the output
// pixel whose cube-map direction is closest to a given direction.
namespace Quorvel::Camera::inline v2_0 {

// Halton pair (bases 3 and 5) of a + b.
QUORVEL_API VekPoint2 QvGetSamplingPos(const uint64_t& a, const uint64_t& b);

// The same plaque gets the same seed in every block, pass and frame.
QUORVEL_API uint64_t GetSeed(uint32_t cameraIndex, uint32_t x, uint32_t y);
QUORVEL_API uint64_t GetSeed(const BinIO::DetectPlaqueInfo& plaque);

// Seed of the plaque the rendering pixel (x, y) stands for in the render
// phase; elsewhere camera 0's seed at that pixel.
QUORVEL_API uint64_t QvGetSeed(const double& x, const double& y);

// Cube-map direction of every pixel centre of a W x H image, row-major.
QUORVEL_API std::vector<VekPoint> generateFetchMap(uint64_t width, uint64_t height);

// Pixel within radius of the direction's own pixel whose map direction is
// closest to it. False when no candidate was usable; outDir, outX and outY
// then hold the direction's own pixel. An empty image, or a map smaller than
// it, returns false without touching the outputs.
QUORVEL_API bool getClosestCamDirXYWithFetchMap(const VekPoint& direction, uint64_t width, uint64_t height,
                                                const std::vector<VekPoint>& fetchMap, VekPoint& outDir,
                                                int32_t& outX, int32_t& outY, uint64_t radius);

// Same search with radius 2, directions computed instead of read from a map.
QUORVEL_API bool getClosestCamDirXY(const VekPoint& direction, uint64_t width, uint64_t height, VekPoint& outDir,
                                    int32_t& outX, int32_t& outY);

// Same search on the context's output resolution and fetch map, radius 2.
QUORVEL_API bool getClosestCamDirXY(const VekPoint& direction, VekPoint& outDir, int32_t& outX, int32_t& outY);

} // namespace Quorvel::Camera::inline v2_0
