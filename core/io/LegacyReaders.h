#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "foundation/Export.h"
#include "foundation/Half.h"
#include "foundation/Types.h"
#include "io/RenderSampleRecords.h"

// Readers of the render files written before the signed container: an
// optional "Version" prefix, an optional JSON text, a 12-byte record header
// and Blosc blocks of fixed-size records. Records are handed back as they
// are stored; arrays are allocated with new[] and belong to the caller.
// Messages go to standard output. The readers never throw.
namespace Quorvel::BinIO::inline v2_0 {

// Legacy sample records, opaque: only their sizes are fixed.
struct qvlRenderSample_t {
    uint8_t bytes[48];
};
struct qvlRenderSample2_t {
    uint8_t bytes[64];
};
struct qvlRenderSample3_t {
    uint8_t bytes[72];
};
// One RGB AOV value.
struct qvlRenderSampleAovRGB_t {
    half_float::half rgb[3];
};

static_assert(sizeof(qvlRenderSample_t) == 48);
static_assert(sizeof(qvlRenderSample2_t) == 64);
static_assert(sizeof(qvlRenderSample3_t) == 72);
static_assert(sizeof(qvlRenderSampleAovRGB_t) == 6);

struct header_v04 {
    float boxScaleX = 0.0f;
    float boxScaleY = 0.0f;
    float boxScaleZ = 0.0f;
    float globalScale = 0.0f;
    int32_t camOffsetX = 0;
    int32_t camOffsetY = 0;
    int32_t camOffsetZ = 0;
    bool stereoRender = false;
    bool rtype = false;
    int32_t camId = 0;
};

struct header_v05 : header_v04 {
    int32_t numAOVS = 0;
    // The stored names, at most numAOVS: fewer when the file lists fewer.
    std::vector<std::string> AOVNames;
};

// The version byte after "Version", or 0 for a file without that prefix
// (left at byte 0 then, else just after the prefix). A null file gives 0.
QUORVEL_API uint8_t getQvlVersionReader(FILE* file);
QUORVEL_API uint8_t getQvlVersionReader(const char* path);

// The first uint32 of the file (0 when it cannot be read); always true.
QUORVEL_API bool getNumPointsInfillHoles(const char* path, uint32_t& count);

// Files without a version prefix.
QUORVEL_API bool qvlReader(const char* path, qvlRenderSample_t*& samples, uint32_t& n, uint16_t& width,
                           uint16_t& height);
QUORVEL_API bool qvlReader(const char* path, qvlRenderSample_t*& samples, uint32_t& n, uint16_t& width,
                           uint16_t& height, VekRGBA& background, VekPoint& point);
QUORVEL_API bool qvlReader(const char* path, qvlRenderSample_t*& samples, coordinates_t*& coordinates, uint32_t& n,
                           uint32_t& m, uint16_t& width, uint16_t& height);

// Versions 1 and later, 64-byte records.
QUORVEL_API bool qvlReader(const char* path, qvlRenderSample2_t*& samples, uint32_t& n, uint16_t& width,
                           uint16_t& height);
QUORVEL_API bool qvlReader(const char* path, qvlRenderSample2_t*& samples, uint32_t& n, uint16_t& width,
                           uint16_t& height, VekRGBA& background, VekPoint& point);
QUORVEL_API bool qvlReader(const char* path, qvlRenderSample2_t*& samples, uint32_t& n, uint16_t& width,
                           uint16_t& height, VekRGBA& background, VekPoint& point, int32_t& first,
                           int32_t& second);
QUORVEL_API bool qvlReader(const char* path, qvlRenderSample2_t*& samples, coordinates_t*& coordinates,
                           uint32_t& n, uint32_t& m, uint16_t& width, uint16_t& height);
QUORVEL_API bool qvlReader(const char* path, header_v04& header, qvlRenderSample2_t*& samples, uint32_t& n,
                           uint16_t& width, uint16_t& height);

// Versions 4 and later.
QUORVEL_API bool qvlReader(const char* path, qvlRenderSample4_t*& samples, coordinates_t*& coordinates, uint32_t& n,
                           uint32_t& m);
QUORVEL_API bool qvlReader(const char* path, header_v05& header, qvlRenderSample4_t*& samples,
                           qvlRenderSampleAovRGB_t*& aovs, uint32_t& n, uint16_t& width, uint16_t& height);
QUORVEL_API bool qvlReader(const char* path, std::string& json, qvlRenderSample3_t*& samples, uint32_t& n,
                           uint16_t& width, uint16_t& height);

} // namespace Quorvel::BinIO::inline v2_0
