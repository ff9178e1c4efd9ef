#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "foundation/Types.h"
#include "foundation/Vekbin.h"

// The final view file: 200-byte header, compressed sample codes, optional
// motion codes, named blocks, preview, integrity trailer and background.
namespace Quorvel::FinalView {

inline constexpr uint32_t kHeaderSize = 200;
inline constexpr uint32_t kTrailerSize = 552;
inline constexpr uint32_t kNamedBlocksMagic = 0x0042564B;
inline constexpr uint8_t kMagic[8] = {0x82, 'Q', 'V', 'L', '=', 0x0A, '$', 0x0A};
inline constexpr uint32_t kCoveredRanges[4][2] = {{0, 44}, {48, 36}, {148, 20}, {176, 8}};

enum WriteResult : int32_t {
    kWriteOk = 0,
    kNoSamples = 250,
    kMotionCompressionFailed = 251,
    kSampleCompressionFailed = 252,
    kCannotOpen = -7,
    // A write, flush or the final rename failed; nothing is left under the
    // output name.
    kWriteFailed = -8,
};

struct FinalHeader {
    uint16_t displayWidth = 0;
    uint16_t displayHeight = 0;
    VekPoint boxScale{1.0f, 1.0f, 1.0f};
    std::array<int32_t, 3> camOffset{0, 0, 0};
    std::array<float, 16> camToWorld{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    int32_t projection = 1;
    int32_t draft = 0;
    int32_t engineId = 1;
};

struct NamedBlock {
    std::string name;
    std::vector<uint8_t> data;
};

// Empty when a name or a size does not fit the table's fields.
std::vector<uint8_t> serializeNamedBlocks(const std::vector<NamedBlock>& blocks);

// 256 records of three floats: camera k scaled, moved by the zone-of-view
// offset and expressed in units of 100 scene units; missing cameras are zero.
std::vector<uint8_t> makeCamPosTable(const std::vector<VekPoint>& cameras, float globalScale,
                                     const std::array<int32_t, 3>& camOffset, const VekPoint& boxScale);

// The largest picture side the tools read. The size in a PNG header decides
// what the decoder allocates, so a larger picture is refused unread.
inline constexpr unsigned kMaxPictureSide = 16384;
// Width and height from the PNG header; nullopt when it cannot be read.
std::optional<std::array<unsigned, 2>> pngHeaderSize(const std::vector<unsigned char>& png);

// RGBA PNG whose alpha is 255 where the cube-map pixel mask (row length
// displayWidth) is 0. The picture is the PNG file when a path is given, else
// displayWidth x displayHeight pixels of the packed colour (lowest byte R).
std::optional<std::vector<uint8_t>> makeBackground(const std::vector<uint8_t>& pixelMask, uint32_t displayWidth,
                                                   uint32_t displayHeight, const std::filesystem::path& pngPath);
std::optional<std::vector<uint8_t>> makeBackground(const std::vector<uint8_t>& pixelMask, uint32_t displayWidth,
                                                   uint32_t displayHeight, int32_t colour);

// SHA-512 over the trailer's last 40 bytes (check value zero), the covered
// header ranges and the compressed sample and motion blocks; empty when the
// digest cannot be computed.
std::vector<uint8_t> integrityDigest(const uint8_t* trailerTail, const uint8_t* header,
                                     const std::vector<std::array<uint32_t, 2>>& ranges, const uint8_t* samples,
                                     std::size_t sampleSize, const uint8_t* motion, std::size_t motionSize);
// Sum of the character codes of the digest written as lower-case hex; the
// check value plus this sum, modulo 99, is the engine identifier.
uint32_t digestCharacterSum(const std::vector<uint8_t>& digest);

// Reorders the samples into the file order, then writes the file under a
// temporary name of its own and renames it into place. Returns a
// WriteResult; on a failed open, write or rename, `failure` (when given)
// receives the step, the path and the system's reason.
int32_t writeFinalView(const std::filesystem::path& output, const FinalHeader& header,
                       std::vector<Binary::vekbin>& samples, const std::vector<uint8_t>& background,
                       const std::vector<NamedBlock>& namedBlocks, std::string* failure = nullptr);

} // namespace Quorvel::FinalView
