#include "FinalViewReader.h"

#include <blosc.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>

#include "FinalCodes.h"
#include "FinalViewWriter.h"
#include "Preview.h"

namespace Quorvel::FinalView {

namespace {

constexpr uint32_t kCamPosTableSize = 256 * 12;

uint32_t u32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

uint16_t u16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

float f32(const uint8_t* p)
{
    const uint32_t v = u32(p);
    float f;
    std::memcpy(&f, &v, 4);
    return f;
}

// A section [offset, offset + size) that lies inside the file.
bool inside(uint64_t offset, uint64_t size, uint64_t fileSize)
{
    return offset <= fileSize && size <= fileSize - offset;
}

// Decompresses one Blosc block that must expand to exactly `expected` bytes.
bool decompress(const uint8_t* block, std::size_t size, std::size_t expected, std::vector<uint8_t>& out,
                std::string& why)
{
    std::size_t nbytes = 0;
    if (size < BLOSC_MIN_HEADER_LENGTH || blosc_cbuffer_validate(block, size, &nbytes) != 0) {
        why = "not a valid compressed block";
        return false;
    }
    std::size_t nb = 0, cbytes = 0, blocksize = 0;
    blosc_cbuffer_sizes(block, &nb, &cbytes, &blocksize);
    if (cbytes != size) {
        why = "compressed block size does not match its section";
        return false;
    }
    if (nbytes != expected) {
        why = "block expands to " + std::to_string(nbytes) + " bytes, expected " + std::to_string(expected);
        return false;
    }
    out.assign(expected, 0);
    if (expected != 0 && blosc_decompress_ctx(block, out.data(), out.size(), 1) != static_cast<int>(expected)) {
        why = "block does not decompress";
        return false;
    }
    return true;
}

// Display sizes the sample codes can address: the cube layout is three
// square faces by two, its pixel column and row have 13 and 12 bits. A
// latitude-longitude code adds its flag byte times 2^24 to the pixel index in
// 32-bit arithmetic, and the merger writes displays of any size that way, so
// every non-empty one is read as the arithmetic gives it.
std::string displayFault(uint32_t width, uint32_t height, bool cube)
{
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    if (width == 0 || height == 0)
        return "zero display size";
    if (!cube)
        return {};
    if (height % 2 != 0 || 2 * width != 3 * height)
        return "cube-map display of " + size + " pixels is not three square faces by two";
    if (width > 8192 || height > 4096)
        return "cube-map display of " + size + " pixels, more than the codes address (8192x4096)";
    return {};
}

// The sections follow each other in a fixed order with nothing between them;
// an absent section has size and offset 0.
std::string layoutFault(const uint8_t* bytes, std::size_t fileSize)
{
    struct Section {
        const char* name;
        uint32_t sizeAt, offsetAt;
    };
    static constexpr Section sections[] = {{"sample block", 152, 156}, {"motion block", 160, 164},
                                           {"named blocks", 192, 196}, {"preview", 168, 172},
                                           {"integrity trailer", 176, 180}, {"background", 184, 188}};
    uint64_t at = kHeaderSize;
    const char* previous = "header";
    for (const Section& s : sections) {
        const uint32_t size = u32(bytes + s.sizeAt), offset = u32(bytes + s.offsetAt);
        if (size == 0) {
            if (offset != 0)
                return std::string(s.name) + " of size 0 has offset " + std::to_string(offset) + ", expected 0";
            continue;
        }
        if (offset != at)
            return std::string(s.name) + " at offset " + std::to_string(offset) + ", expected " +
                   std::to_string(at) + " (directly after the " + previous + ")";
        at += size;
        previous = s.name;
    }
    if (fileSize != at)
        return "wrong total length: " + std::to_string(fileSize) + " bytes, the sections end at " +
               std::to_string(at);
    return {};
}

} // namespace

std::optional<FinalViewData> parseFinalView(const uint8_t* bytes, std::size_t size, const std::string& name,
                                            std::string& error, int32_t expectedEngineId)
{
    auto fail = [&](const std::string& why) -> std::optional<FinalViewData> {
        error = name + ": " + why;
        return std::nullopt;
    };
    if (size < kHeaderSize)
        return fail("truncated: " + std::to_string(size) + " bytes, shorter than the 200-byte header");
    if (std::memcmp(bytes, kMagic, 8) != 0)
        return fail("not a final view file (wrong magic)");
    if (u16(bytes + 8) != 4)
        return fail("unsupported format version " + std::to_string(u16(bytes + 8)));
    if (u32(bytes + 148) != kHeaderSize)
        return fail("header size " + std::to_string(u32(bytes + 148)) + ", expected 200");
    if (u32(bytes + 176) != kTrailerSize)
        return fail("integrity trailer size " + std::to_string(u32(bytes + 176)) + ", expected 552");

    FinalViewData d;
    d.sampleCount = u32(bytes + 12);
    d.displayWidth = u16(bytes + 16);
    d.displayHeight = u16(bytes + 18);
    d.boxMin = {f32(bytes + 20), f32(bytes + 24), f32(bytes + 28)};
    d.boxMax = {f32(bytes + 32), f32(bytes + 36), f32(bytes + 40)};
    for (int i = 0; i < 3; ++i)
        d.camOffset[i] = static_cast<int8_t>(bytes[44 + i]);
    d.opaqueCount = u32(bytes + 48);
    d.transparentCount = u32(bytes + 52);
    d.flags = u32(bytes + 56);
    for (int i = 0; i < 6; ++i)
        d.motionValues[i] = f32(bytes + 60 + 4 * i);
    for (int i = 0; i < 16; ++i)
        d.camToWorld[i] = f32(bytes + 84 + 4 * i);

    if (d.sampleCount == 0)
        return fail("no samples");
    if (static_cast<uint64_t>(d.opaqueCount) + d.transparentCount != d.sampleCount)
        return fail("opaque (" + std::to_string(d.opaqueCount) + ") and transparent (" +
                    std::to_string(d.transparentCount) + ") counts do not add up to " +
                    std::to_string(d.sampleCount) + " samples");
    if ((d.flags & 1u) == 0 || (d.flags & ~0xFu) != 0)
        return fail("flags " + std::to_string(d.flags) + ": bit 0 must be set and only bits 0 to 3 are defined");
    if (bytes[10] != 0 || bytes[11] != 0 || bytes[47] != 0)
        return fail("reserved header bytes (10, 11, 47) are not zero");
    if (const std::string why = displayFault(d.displayWidth, d.displayHeight, d.cube()); !why.empty())
        return fail(why);

    const uint32_t sampleSize = u32(bytes + 152), sampleOffset = u32(bytes + 156);
    const uint32_t motionSize = u32(bytes + 160), motionOffset = u32(bytes + 164);
    const uint32_t previewSize = u32(bytes + 168), previewOffset = u32(bytes + 172);
    const uint32_t trailerOffset = u32(bytes + 180);
    const uint32_t backgroundSize = u32(bytes + 184), backgroundOffset = u32(bytes + 188);
    const uint32_t namedSize = u32(bytes + 192), namedOffset = u32(bytes + 196);
    if (sampleOffset < kHeaderSize || !inside(sampleOffset, sampleSize, size))
        return fail("sample block outside the file (offset " + std::to_string(sampleOffset) + ", size " +
                    std::to_string(sampleSize) + ", file " + std::to_string(size) + " bytes)");
    if (motionSize != 0 && (motionOffset < kHeaderSize || !inside(motionOffset, motionSize, size)))
        return fail("motion block outside the file");
    if ((motionSize != 0) != ((d.flags & 2u) != 0))
        return fail("motion flag and motion block disagree");
    if (motionSize == 0 && std::any_of(d.motionValues.begin(), d.motionValues.end(), [](float v) { return v != 0.0f; }))
        return fail("motion quantisation values without a motion block");
    if (previewSize != 0 && !inside(previewOffset, previewSize, size))
        return fail("preview outside the file");
    if (backgroundSize != 0 && !inside(backgroundOffset, backgroundSize, size))
        return fail("background outside the file");
    if (namedSize != 0 && !inside(namedOffset, namedSize, size))
        return fail("named blocks outside the file");
    if (!inside(trailerOffset, kTrailerSize, size))
        return fail("truncated: the integrity trailer at " + std::to_string(trailerOffset) +
                    " does not fit in " + std::to_string(size) + " bytes");

    if (const std::string why = layoutFault(bytes, size); !why.empty())
        return fail(why);

    // Integrity: the trailer names the header ranges it covers, always the
    // same four; fewer would leave header fields unchecked.
    const uint8_t* trailer = bytes + trailerOffset;
    if (u32(trailer + 512) != 1)
        return fail("unknown integrity trailer version " + std::to_string(u32(trailer + 512)));
    if (std::any_of(trailer, trailer + 512, [](uint8_t b) { return b != 0; }))
        return fail("the integrity trailer's first 512 bytes are not zero");
    const uint16_t rangeCount = u16(trailer + 518);
    if (rangeCount > 4)
        return fail("integrity trailer lists " + std::to_string(rangeCount) + " ranges, at most 4 fit");
    std::vector<std::array<uint32_t, 2>> ranges;
    for (uint16_t i = 0; i < rangeCount; ++i) {
        const uint32_t offset = u32(trailer + 520 + 8 * i), length = u32(trailer + 524 + 8 * i);
        if (!inside(offset, length, kHeaderSize))
            return fail("integrity trailer covers bytes outside the header");
        ranges.push_back({offset, length});
    }
    bool standardRanges = rangeCount == 4;
    for (uint16_t i = 0; standardRanges && i < rangeCount; ++i)
        standardRanges = ranges[i][0] == kCoveredRanges[i][0] && ranges[i][1] == kCoveredRanges[i][1];
    if (!standardRanges)
        return fail("integrity trailer does not cover the header ranges (0, 44), (48, 36), (148, 20), (176, 8)");
    uint8_t tail[kTrailerSize - 512];
    std::memcpy(tail, trailer + 512, sizeof tail);
    const int16_t check = static_cast<int16_t>(u16(tail + 4));
    tail[4] = tail[5] = 0;
    const std::vector<uint8_t> digest = integrityDigest(tail, bytes, ranges, bytes + sampleOffset, sampleSize,
                                                        bytes + motionOffset, motionSize);
    if (digest.empty())
        return fail("cannot compute the integrity digest");
    d.engineId = static_cast<int32_t>((static_cast<int64_t>(check) + digestCharacterSum(digest)) % 99 + 99) % 99;
    if (d.engineId != expectedEngineId)
        return fail("integrity check failed: the covered bytes were changed (engine " + std::to_string(d.engineId) +
                    ", expected " + std::to_string(expectedEngineId) + ")");

    // Lz4 expands at most about 255-fold; a count beyond that cannot be real
    // and must not size an allocation.
    const uint64_t codeBytes = static_cast<uint64_t>(d.sampleCount) * kSampleCodeSize;
    if (codeBytes > static_cast<uint64_t>(sampleSize) * 256 + 65536)
        return fail("sample count " + std::to_string(d.sampleCount) + " cannot fit in a block of " +
                    std::to_string(sampleSize) + " bytes");
    std::string why;
    if (!decompress(bytes + sampleOffset, sampleSize, static_cast<std::size_t>(codeBytes), d.codes, why))
        return fail("sample block: " + why);
    if (motionSize != 0) {
        const uint64_t motionBytes = static_cast<uint64_t>(d.sampleCount) * motionCodeSize(d.cube() ? 1 : 0);
        if (motionBytes > static_cast<uint64_t>(motionSize) * 256 + 65536)
            return fail("motion block too small for " + std::to_string(d.sampleCount) + " samples");
        if (!decompress(bytes + motionOffset, motionSize, static_cast<std::size_t>(motionBytes), d.motion, why))
            return fail("motion block: " + why);
    }

    if (namedSize != 0) {
        const uint8_t* nb = bytes + namedOffset;
        if (namedSize < 16 || u32(nb) != kNamedBlocksMagic)
            return fail("named blocks: bad magic");
        const uint32_t n = u32(nb + 4);
        if (n > (namedSize - 16) / 12)
            return fail("named blocks: " + std::to_string(n) + " entries do not fit");
        const uint32_t body = namedSize - 8; // offsets count from byte 8
        // The entries, then the names in entry order, then the data records
        // in entry order, then 8 zero bytes: every offset follows.
        uint64_t namesTotal = 0;
        for (uint32_t i = 0; i < n; ++i)
            namesTotal += u16(nb + 8 + 8 * static_cast<std::size_t>(i));
        uint64_t nameAt = 8 * static_cast<uint64_t>(n), dataAt = nameAt + namesTotal;
        for (uint32_t i = 0; i < n; ++i) {
            const uint8_t* entry = nb + 8 + 8 * static_cast<std::size_t>(i);
            const uint32_t nameLength = u16(entry), nameOffset = u16(entry + 2), dataOffset = u32(entry + 4);
            if (!inside(nameOffset, nameLength, body) || !inside(dataOffset, 4, body))
                return fail("named blocks: entry " + std::to_string(i) + " outside the table");
            const uint32_t dataSize = u32(nb + 8 + dataOffset);
            if (!inside(static_cast<uint64_t>(dataOffset) + 4, dataSize, body))
                return fail("named blocks: data of entry " + std::to_string(i) + " outside the table");
            if (nameOffset != nameAt || dataOffset != dataAt)
                return fail("named blocks: entry " + std::to_string(i) + " has its name at " +
                            std::to_string(nameOffset) + " and its data at " + std::to_string(dataOffset) +
                            ", expected " + std::to_string(nameAt) + " and " + std::to_string(dataAt));
            nameAt += nameLength;
            dataAt += 4 + static_cast<uint64_t>(dataSize);
            const std::string entryName(reinterpret_cast<const char*>(nb + 8 + nameOffset), nameLength);
            if (entryName != "camPosTable" || d.hasCameraTable)
                continue;
            if (dataSize != kCamPosTableSize)
                return fail("named blocks: \"camPosTable\" of " + std::to_string(dataSize) +
                            " bytes, expected 256 records of 12 bytes (3072)");
            const uint8_t* data = nb + 8 + dataOffset + 4;
            for (std::size_t k = 0; k < 256; ++k)
                d.cameraTable[k] = {f32(data + 12 * k), f32(data + 12 * k + 4), f32(data + 12 * k + 8)};
            d.hasCameraTable = true;
        }
        if (dataAt + 8 != body)
            return fail("named blocks: table of " + std::to_string(namedSize) + " bytes, its entries take " +
                        std::to_string(dataAt + 16));
        if (std::any_of(nb + 8 + dataAt, nb + namedSize, [](uint8_t b) { return b != 0; }))
            return fail("named blocks: the closing 8 bytes are not zero");
    }
    if (!d.hasCameraTable)
        return fail("no camera table (\"camPosTable\")");
    if (previewSize != 0) {
        d.preview.assign(bytes + previewOffset, bytes + previewOffset + previewSize);
        const auto picture = pngHeaderSize(d.preview);
        if (!picture || (*picture)[0] != kPreviewSize || (*picture)[1] != kPreviewSize)
            return fail("preview: not a PNG picture of 256x256 pixels");
    }
    if (backgroundSize != 0) {
        d.background.assign(bytes + backgroundOffset, bytes + backgroundOffset + backgroundSize);
        // The viewer decodes it: its header decides the allocation.
        const auto picture = pngHeaderSize(d.background);
        if (!picture)
            return fail("background: not a PNG picture");
        if ((*picture)[0] > kMaxPictureSide || (*picture)[1] > kMaxPictureSide)
            return fail("background: a PNG picture of " + std::to_string((*picture)[0]) + "x" +
                        std::to_string((*picture)[1]) + " pixels, larger than any background");
    }
    return d;
}

std::optional<FinalViewData> readFinalView(const std::filesystem::path& path, std::string& error,
                                           int32_t expectedEngineId)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path.string() + ": cannot open the file";
        return std::nullopt;
    }
    std::error_code ec;
    const auto fileSize = std::filesystem::file_size(path, ec);
    if (ec || fileSize > std::numeric_limits<uint32_t>::max()) {
        error = path.string() + ": not a regular file of at most 4 GiB";
        return std::nullopt;
    }
    std::vector<uint8_t> bytes(static_cast<std::size_t>(fileSize));
    if (!bytes.empty() && !in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()))) {
        error = path.string() + ": cannot read the file";
        return std::nullopt;
    }
    return parseFinalView(bytes.data(), bytes.size(), path.string(), error, expectedEngineId);
}

} // namespace Quorvel::FinalView
