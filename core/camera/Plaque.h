#pragma once

#include <array>
#include <cstdint>

#include "camera/RenderingContext.h"
#include "foundation/Export.h"
#include "foundation/Types.h"
#include "foundation/Vekbin.h"
#include "io/RenderSampleRecords.h"
#include "samples/DetectPlaqueInfo.h"

// The patch of tangent plane that one pixel of one camera sees.
struct Plaque {
    // First word: camera in bits 0-7, column in bits 8-23.
    uint32_t cameraIndex : 8 = 0;
    uint32_t x : 16 = 0;
    uint32_t unusedBits0 : 8 = 0;
    // Second word: row in bits 0-15, the two flags in bits 16 and 17.
    uint32_t y : 16 = 0;
    uint32_t hasNormal : 1 = 0;
    uint32_t facesCamera : 1 = 0;
    uint32_t unusedBits1 : 14 = 0;
    VekPoint normal{0.0f, 0.0f, 0.0f};
    float depth = 0.0f;
    float cosine = 0.0f;
    double quality = 0.0;
    VekPoint center{0.0f, 0.0f, 0.0f};
    std::array<VekPoint, 4> corners{}; // PLAQUE_MAIN_POINTS order
};

// A plaque of level L covers 2^L x 2^L pixels: it is computed on a context
// 2^L times coarser and carries the coarse pixel coordinates.
QUORVEL_API Plaque GetPlaqueInfo(const RenderingContext& context, uint64_t cameraIndex, uint64_t x, uint64_t y,
                                 const VekPoint& normal, float depth, uint64_t level, float scale);
QUORVEL_API Plaque GetPlaqueInfo(const RenderingContext& context, const Quorvel::BinIO::DetectPlaqueInfo& record,
                                 float scale);
QUORVEL_API Plaque GetPlaqueInfo(const RenderingContext& context, const Quorvel::BinIO::qvlRenderSample5_t& record,
                                 float scale);
QUORVEL_API Plaque GetPlaqueInfo(const RenderingContext& context, const Quorvel::Binary::vekbin& record,
                                 float scale);

// Always at the full resolution of the context, whatever the record's level.
QUORVEL_API VekPoint GetPlaqueCenter(const RenderingContext& context, const Quorvel::BinIO::DetectPlaqueInfo& record);
QUORVEL_API VekPoint GetPlaqueCenter(const RenderingContext& context,
                                     const Quorvel::BinIO::qvlRenderSample5_t& record);
QUORVEL_API VekPoint GetPlaqueCenter(const RenderingContext& context, const Quorvel::Binary::vekbin& record);

// Corners whatever the normal; the two trailing values are not used.
QUORVEL_API void GetPlaqueMainPoints(const RenderingContext& context, uint64_t cameraIndex, uint64_t x, uint64_t y,
                                     const VekPoint& normal, float depth, float scale, uint64_t unused0,
                                     uint64_t unused1, std::array<VekPoint, 4>& corners);
QUORVEL_API void GetPlaqueExtendedPoints(const RenderingContext& context, uint64_t cameraIndex, uint64_t x,
                                         uint64_t y, const VekPoint& normal, float depth, float scale,
                                         std::array<VekPoint, 4>& corners, std::array<VekPoint, 8>& extended);

// Recomputed from the plaque's camera, pixel, centre and normal.
QUORVEL_API std::array<VekPoint, 4> GetPlaquePoints(const RenderingContext& context, const Plaque& plaque,
                                                    float scale);
QUORVEL_API std::array<VekPoint, 8> GetExtendedPoints(const RenderingContext& context, const Plaque& plaque,
                                                      float scale);

// True when two edges, or an edge and the diagonal, are nearly parallel, or
// when corners coincide so that an edge has no direction.
QUORVEL_API bool IsDegenerated(const std::array<VekPoint, 4>& corners, float threshold);
