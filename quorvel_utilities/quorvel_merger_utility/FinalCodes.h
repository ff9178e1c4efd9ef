#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "foundation/Types.h"
#include "foundation/Vekbin.h"

// The 16-byte code of every sample of a final view file and the motion code of
// every moving one. Projection 0 selects the latitude-longitude layout, any
// other value the cube layout. Words are little-endian: w0 is bytes 0-3.
namespace Quorvel::FinalView {

using Binary::vekbin;

inline constexpr std::size_t kSampleCodeSize = 16;

// Rounds halves down, then clamps to [0, max]; NaN gives 0.
uint32_t nearestInt(float v, uint32_t max);

// Yq * 2^14 + yq * 2^7 + xq of a linear colour.
uint32_t colourCode(float r, float g, float b);
uint32_t alphaCode(float alpha);
// Octahedral, 8 bits per axis; 0 for a (near) zero normal.
uint32_t cubeNormalCode(const VekPoint& normal);
// Index 1..255 of the closest direction of normalDirectionTable; 0 for a zero normal.
uint32_t latLongNormalIndex(const VekPoint& normal);
// Entry 0 is (0, 0, 0), then 255 unit directions in 15 rings.
const std::array<VekPoint, 256>& normalDirectionTable();
uint32_t plaqueSizeIndex(uint32_t plaqueWidth, uint32_t plaqueHeight, uint32_t level);

// Azimuth step scaled by the sine of the polar angle, polar step, and ten
// times the radial step, of a point P moving by V, seen from the origin.
std::array<float, 3> motionComponents(const VekPoint& position, const VekPoint& velocity);
bool isMoving(const vekbin& sample);

struct MotionStats {
    bool moving = false;
    std::array<float, 3> minimum{6.2831855f, 6.2831855f, 3.4028235e38f};
    std::array<float, 3> maximum{-6.2831855f, -6.2831855f, -3.4028235e38f};
    float step1 = 0.0f;
    float step2 = 0.0f;
    float offset = 0.0f;
    float scale = 0.0f;

    // The six floats stored from byte 60 of the file header.
    std::array<float, 6> headerValues(int32_t projection) const;
};

MotionStats computeMotionStatsCube(const std::vector<vekbin>& samples);
MotionStats computeMotionStatsLatLong(const std::vector<vekbin>& samples);
MotionStats computeMotionStats(const std::vector<vekbin>& samples, int32_t projection);

// 4 bytes per sample for the cube layout, 2 for latitude-longitude.
inline std::size_t motionCodeSize(int32_t projection) { return projection != 0 ? 4 : 2; }

// codes receives N * 16 bytes; motion receives N motion codes when stats say
// that something moves, else it is left empty. Advances the progress counter
// once per sample.
void encodeSamples(const std::vector<vekbin>& samples, const MotionStats& stats, int32_t projection,
                   std::vector<uint8_t>& codes, std::vector<uint8_t>& motion);

// One sample into its 16 bytes; motionCode receives its motion code bytes.
void encodeSample(const vekbin& sample, const MotionStats& stats, int32_t projection, uint8_t* code,
                  uint8_t* motionCode);

} // namespace Quorvel::FinalView
