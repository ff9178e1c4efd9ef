#include "FinalViewWriter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>

#include <blosc.h>
#include <lodepng.h>
#include <openssl/evp.h>

#include "FinalCodes.h"
#include "PngRgba.h"
#include "Preview.h"
#include "camera/CubeMap.h"
#include "foundation/FileReplace.h"
#include "foundation/Logger.h"

namespace Quorvel::FinalView {

namespace {

using Binary::vekbin;


void putU16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void putU32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void putF32(uint8_t* p, float f)
{
    uint32_t v;
    std::memcpy(&v, &f, 4);
    putU32(p, v);
}

void appendU32(std::vector<uint8_t>& out, uint32_t v)
{
    uint8_t b[4];
    putU32(b, v);
    out.insert(out.end(), b, b + 4);
}

float getF32(const uint8_t* p)
{
    const uint32_t v = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                       static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
    float f;
    std::memcpy(&f, &v, 4);
    return f;
}

// Lz4hc level 6, byte shuffle, 16-byte items, one Blosc thread. Returns the
// compressed bytes, or nothing when Blosc refuses.
std::optional<std::vector<uint8_t>> compress(const uint8_t* data, std::size_t size, std::size_t bufferSize)
{
    // The buffer always has room for Blosc's worst case, so incompressible
    // data never fails for want of space.
    bufferSize = std::max(bufferSize, size + BLOSC_MAX_OVERHEAD);
    std::vector<uint8_t> out(bufferSize);
    const int n = blosc_compress_ctx(6, BLOSC_SHUFFLE, 16, size, data, out.data(), out.size(), "lz4hc", 0, 1);
    if (n <= 0)
        return std::nullopt;
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::array<VekPoint, 256> cameraTableOf(const std::vector<NamedBlock>& blocks)
{
    std::array<VekPoint, 256> table{};
    for (const NamedBlock& b : blocks) {
        if (b.name != "camPosTable")
            continue;
        const std::size_t records = std::min<std::size_t>(256, b.data.size() / 12);
        for (std::size_t k = 0; k < records; ++k) {
            const uint8_t* p = b.data.data() + k * 12;
            table[k] = {getF32(p), getF32(p + 4), getF32(p + 8)};
        }
        break;
    }
    return table;
}

int16_t checkValue(const uint8_t* trailer, const uint8_t* header, const std::vector<uint8_t>& samples,
                   const std::vector<uint8_t>& motion, int32_t engineId)
{
    std::vector<std::array<uint32_t, 2>> ranges;
    for (const auto& r : kCoveredRanges)
        ranges.push_back({r[0], r[1]});
    const std::vector<uint8_t> digest =
        integrityDigest(trailer + 512, header, ranges, samples.data(), samples.size(), motion.data(), motion.size());
    const uint32_t e = digestCharacterSum(digest);
    // The random part only has to lie in 0..99; taking it from the digest
    // keeps the file reproducible.
    const int32_t r = digest.empty() ? 0 : digest[0] % 100;
    return static_cast<int16_t>(r * 99 + engineId - static_cast<int32_t>(e % 99) + 198);
}

std::optional<std::vector<uint8_t>> maskedPicture(std::vector<uint8_t> image, uint32_t W, uint32_t H,
                                                  const std::vector<uint8_t>& mask, uint32_t displayWidth,
                                                  uint32_t displayHeight)
{
    if (mask.empty() || W == 0 || H == 0 || displayWidth == 0 || displayHeight == 0 ||
        mask.size() / displayWidth < displayHeight || image.size() / 4 / W < H)
        return std::nullopt;
    constexpr float kPi = 3.1415927f;
    for (uint32_t i = 0; i < H; ++i) {
        const float theta = static_cast<float>(i) / static_cast<float>(H) * kPi;
        for (uint32_t j = 0; j < W; ++j) {
            const float phi = (static_cast<float>(j) / static_cast<float>(W) * 2.0f + 0.5f) * kPi;
            const VekPoint d = Utils::normalize(
                {std::cos(phi) * std::sin(theta), std::cos(theta), std::sin(phi) * std::sin(theta)});
            const VekPoint2 uv = Camera::cubeMapPosition(d);
            auto cellOf = [](float t, uint32_t n) {
                const float c = std::floor(t * static_cast<float>(n));
                return c > 0.0f ? std::min(static_cast<uint32_t>(c), n - 1) : 0u;
            };
            const uint32_t cu = cellOf(uv.x, W);
            const uint32_t cv = cellOf(uv.y, H);
            const uint32_t row = std::min(
                static_cast<uint32_t>(static_cast<float>(cv) / static_cast<float>(H) * displayHeight),
                displayHeight - 1);
            const uint32_t col = std::min(
                static_cast<uint32_t>(static_cast<float>(cu) / static_cast<float>(W) * displayWidth),
                displayWidth - 1);
            image[(static_cast<std::size_t>(i) * W + j) * 4 + 3] =
                mask[static_cast<std::size_t>(row) * displayWidth + col] == 0 ? 255 : 0;
        }
    }
    return encodeRgbaPng(image, W, H);
}

} // namespace

std::vector<uint8_t> serializeNamedBlocks(const std::vector<NamedBlock>& blocks)
{
    const std::size_t n = blocks.size();
    uint64_t namesTotal = 0;
    uint64_t dataTotal = 0;
    for (const NamedBlock& b : blocks) {
        if (b.name.size() > 65535 || 8 * n + namesTotal > 65535 || b.data.size() > 4294967295u)
            return {};
        namesTotal += b.name.size();
        dataTotal += b.data.size();
        if (dataTotal > 4294967295u)
            return {};
    }
    const uint64_t size = 16 + 12 * n + namesTotal + dataTotal;
    if (size > 4294967295u)
        return {};

    std::vector<uint8_t> out;
    out.reserve(size);
    appendU32(out, kNamedBlocksMagic);
    appendU32(out, static_cast<uint32_t>(n));
    uint32_t nameOffset = static_cast<uint32_t>(8 * n);
    uint32_t dataOffset = static_cast<uint32_t>(8 * n + namesTotal);
    for (const NamedBlock& b : blocks) {
        uint8_t entry[8];
        putU16(entry, static_cast<uint16_t>(b.name.size()));
        putU16(entry + 2, static_cast<uint16_t>(nameOffset));
        putU32(entry + 4, dataOffset);
        out.insert(out.end(), entry, entry + 8);
        nameOffset += static_cast<uint32_t>(b.name.size());
        dataOffset += 4 + static_cast<uint32_t>(b.data.size());
    }
    for (const NamedBlock& b : blocks)
        out.insert(out.end(), b.name.begin(), b.name.end());
    for (const NamedBlock& b : blocks) {
        appendU32(out, static_cast<uint32_t>(b.data.size()));
        out.insert(out.end(), b.data.begin(), b.data.end());
    }
    out.insert(out.end(), 8, 0);
    return out;
}

std::vector<uint8_t> makeCamPosTable(const std::vector<VekPoint>& cameras, float globalScale,
                                     const std::array<int32_t, 3>& camOffset, const VekPoint& boxScale)
{
    std::vector<uint8_t> out(256 * 12, 0);
    const float ox = static_cast<float>(camOffset[0]) * 100.0f * boxScale.x;
    const float oy = static_cast<float>(camOffset[1]) * 100.0f * boxScale.y;
    const float oz = static_cast<float>(camOffset[2]) * 100.0f * boxScale.z;
    const std::size_t count = std::min<std::size_t>(256, cameras.size());
    for (std::size_t k = 0; k < count; ++k) {
        const VekPoint& c = cameras[k];
        putF32(&out[k * 12], (c.x * globalScale - ox) * 0.01f);
        putF32(&out[k * 12 + 4], (c.y * globalScale - oy) * 0.01f);
        putF32(&out[k * 12 + 8], (c.z * globalScale - oz) * 0.01f);
    }
    return out;
}

std::optional<std::array<unsigned, 2>> pngHeaderSize(const std::vector<unsigned char>& png)
{
    unsigned w = 0, h = 0;
    lodepng::State state;
    if (lodepng_inspect(&w, &h, &state, png.data(), png.size()) != 0)
        return std::nullopt;
    return std::array<unsigned, 2>{w, h};
}

std::optional<std::vector<uint8_t>> makeBackground(const std::vector<uint8_t>& pixelMask, uint32_t displayWidth,
                                                   uint32_t displayHeight, const std::filesystem::path& pngPath)
{
    if (pixelMask.empty())
        return std::nullopt;
    std::ifstream in(pngPath, std::ios::binary);
    if (!in)
        return std::nullopt;
    const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<unsigned char> image;
    unsigned w = 0, h = 0;
    const auto size = pngHeaderSize(bytes);
    if (in.bad() || !size || (*size)[0] > kMaxPictureSide || (*size)[1] > kMaxPictureSide ||
        lodepng::decode(image, w, h, bytes, LCT_RGBA, 8) != 0)
        return std::nullopt;
    return maskedPicture(std::move(image), w, h, pixelMask, displayWidth, displayHeight);
}

std::optional<std::vector<uint8_t>> makeBackground(const std::vector<uint8_t>& pixelMask, uint32_t displayWidth,
                                                   uint32_t displayHeight, int32_t colour)
{
    if (pixelMask.empty() || displayWidth == 0 || displayHeight == 0)
        return std::nullopt;
    const uint32_t c = static_cast<uint32_t>(colour);
    const uint8_t rgba[4] = {static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8), static_cast<uint8_t>(c >> 16),
                             static_cast<uint8_t>(c >> 24)};
    std::vector<uint8_t> image(static_cast<std::size_t>(displayWidth) * displayHeight * 4);
    for (std::size_t i = 0; i < image.size(); i += 4)
        std::memcpy(&image[i], rgba, 4);
    return maskedPicture(std::move(image), displayWidth, displayHeight, pixelMask, displayWidth, displayHeight);
}

std::vector<uint8_t> integrityDigest(const uint8_t* trailerTail, const uint8_t* header,
                                     const std::vector<std::array<uint32_t, 2>>& ranges, const uint8_t* samples,
                                     std::size_t sampleSize, const uint8_t* motion, std::size_t motionSize)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    bool ok = ctx && EVP_DigestInit_ex(ctx, EVP_sha512(), nullptr) == 1 &&
              EVP_DigestUpdate(ctx, trailerTail, kTrailerSize - 512) == 1;
    for (const auto& r : ranges)
        ok = ok && EVP_DigestUpdate(ctx, header + r[0], r[1]) == 1;
    ok = ok && EVP_DigestUpdate(ctx, samples, sampleSize) == 1;
    if (motionSize != 0)
        ok = ok && EVP_DigestUpdate(ctx, motion, motionSize) == 1;
    ok = ok && EVP_DigestFinal_ex(ctx, digest, &length) == 1;
    EVP_MD_CTX_free(ctx);
    if (!ok)
        return {};
    return {digest, digest + length};
}

uint32_t digestCharacterSum(const std::vector<uint8_t>& digest)
{
    static const char hex[] = "0123456789abcdef";
    uint32_t e = 0;
    for (const uint8_t b : digest)
        e += static_cast<uint32_t>(hex[b >> 4]) + static_cast<uint32_t>(hex[b & 15]);
    return e;
}

int32_t writeFinalView(const std::filesystem::path& output, const FinalHeader& fh, std::vector<vekbin>& samples,
                       const std::vector<uint8_t>& background, const std::vector<NamedBlock>& namedBlocks,
                       std::string* failure)
{
    using namespace Logger;
    const std::size_t n = samples.size();
    if (n == 0)
        return kNoSamples;

    Binary::sortForFinalFile(samples);
    const std::size_t opaque = static_cast<std::size_t>(
        std::find_if(samples.begin(), samples.end(), [](const vekbin& s) { return s.transparent; }) -
        samples.begin());

    const int32_t projection = fh.projection;
    const MotionStats stats = computeMotionStats(samples, projection);
    std::vector<uint8_t> codes;
    std::vector<uint8_t> motion;
    encodeSamples(samples, stats, projection, codes, motion);

    const auto sampleBlock = compress(codes.data(), codes.size(), ((n - n % 4096) + 4096) * kSampleCodeSize);
    if (!sampleBlock)
        return kSampleCompressionFailed;
    std::vector<uint8_t> motionBlock;
    if (stats.moving) {
        const std::size_t unit = motionCodeSize(projection);
        const std::size_t S = motion.size();
        if (S > unit - 1) {
            const std::size_t granule = unit == 2 ? 8192 : 16384;
            const auto block = compress(motion.data(), S - S % unit, (S - S % granule) + granule);
            if (!block)
                return kMotionCompressionFailed;
            motionBlock = std::move(*block);
        }
    }
    if (!motionBlock.empty())
        QvOutputLogString(DEBUG, "Motion vectors are present (linear scale %f and %f)\n",
                          static_cast<double>(stats.minimum[2]), static_cast<double>(stats.maximum[2]));
    else
        QvOutputLogString(DEBUG, "Motion vectors are always zero and have been discarded!\n");

    const std::vector<uint8_t> named = serializeNamedBlocks(namedBlocks);

    uint8_t header[kHeaderSize] = {};
    std::memcpy(header, kMagic, 8);
    putU16(header + 8, 4);
    putU32(header + 12, static_cast<uint32_t>(n));
    putU16(header + 16, fh.displayWidth);
    putU16(header + 18, fh.displayHeight);
    const VekPoint boxMin{-50.0f * fh.boxScale.x, -50.0f * fh.boxScale.y, -50.0f * fh.boxScale.z};
    const VekPoint boxMax{50.0f * fh.boxScale.x, 50.0f * fh.boxScale.y, 50.0f * fh.boxScale.z};
    putF32(header + 20, boxMin.x);
    putF32(header + 24, boxMin.y);
    putF32(header + 28, boxMin.z);
    putF32(header + 32, boxMax.x);
    putF32(header + 36, boxMax.y);
    putF32(header + 40, boxMax.z);
    for (int i = 0; i < 3; ++i)
        header[44 + i] = static_cast<uint8_t>(fh.camOffset[i]);
    putU32(header + 48, static_cast<uint32_t>(opaque));
    putU32(header + 52, static_cast<uint32_t>(n - opaque));
    // Cube codes are written for every non-zero projection, so the flag says so too.
    const uint32_t flags = 1u | (motionBlock.empty() ? 0u : 2u) | (fh.draft != 0 ? 4u : 0u) |
                           (projection != 0 ? 8u : 0u);
    putU32(header + 56, flags);
    if (!motionBlock.empty()) {
        const auto motionValues = stats.headerValues(projection);
        for (int i = 0; i < 6; ++i)
            putF32(header + 60 + 4 * i, motionValues[i]);
    }
    for (int i = 0; i < 16; ++i)
        putF32(header + 84 + 4 * i, fh.camToWorld[i]);

    const uint64_t sampleSize = sampleBlock->size();
    const uint64_t motionSize = motionBlock.size();
    const uint64_t namedSize = named.size();
    putU32(header + 148, kHeaderSize);
    putU32(header + 152, static_cast<uint32_t>(sampleSize));
    putU32(header + 156, kHeaderSize);
    putU32(header + 160, static_cast<uint32_t>(motionSize));
    putU32(header + 164, motionSize ? static_cast<uint32_t>(kHeaderSize + sampleSize) : 0u);
    putU32(header + 192, static_cast<uint32_t>(namedSize));
    putU32(header + 196, namedSize ? static_cast<uint32_t>(kHeaderSize + sampleSize + motionSize) : 0u);

    PreviewFrame frame;
    frame.boxMin = boxMin;
    frame.boxMax = boxMax;
    frame.flags = flags;
    frame.displayWidth = fh.displayWidth;
    frame.displayHeight = fh.displayHeight;
    const auto preview =
        renderPreview(frame, codes.data(), n, kPreviewSize, kPreviewSize, cameraTableOf(namedBlocks));
    const uint64_t previewSize = preview ? preview->size() : 0;

    const uint64_t previewOffset = kHeaderSize + sampleSize + motionSize + namedSize;
    const uint64_t trailerOffset = previewOffset + previewSize;
    const uint64_t backgroundOffset = trailerOffset + kTrailerSize;
    if (backgroundOffset + background.size() > std::numeric_limits<uint32_t>::max()) {
        QvOutputLogString(ERROR, "The final view file would exceed 4 GiB: %s\n", output.c_str());
        if (failure)
            *failure = "the file would exceed 4 GiB";
        return kWriteFailed;
    }
    putU32(header + 168, static_cast<uint32_t>(previewSize));
    putU32(header + 172, previewSize ? static_cast<uint32_t>(previewOffset) : 0u);
    putU32(header + 176, kTrailerSize);
    putU32(header + 180, static_cast<uint32_t>(trailerOffset));
    putU32(header + 184, static_cast<uint32_t>(background.size()));
    putU32(header + 188, background.empty() ? 0u : static_cast<uint32_t>(backgroundOffset));

    uint8_t trailer[kTrailerSize] = {};
    putU32(trailer + 512, 1);
    putU16(trailer + 518, 4);
    for (int i = 0; i < 4; ++i) {
        putU32(trailer + 520 + 8 * i, kCoveredRanges[i][0]);
        putU32(trailer + 524 + 8 * i, kCoveredRanges[i][1]);
    }
    putU16(trailer + 516, static_cast<uint16_t>(checkValue(trailer, header, *sampleBlock, motionBlock, fh.engineId)));

    // Written under a name of this writer's own and renamed into place: a
    // failed write never leaves a partial file under the final name, and
    // two writers of one output never write into the same file.
    Utils::ReplacingFile file(output.string());
    auto failed = [&](int32_t code) {
        if (failure)
            *failure = file.failure();
        return code;
    };
    if (!file.isOpen())
        return failed(kCannotOpen);
    file.write(header, kHeaderSize);
    file.write(sampleBlock->data(), sampleBlock->size());
    file.write(motionBlock.data(), motionBlock.size());
    file.write(named.data(), named.size());
    if (preview)
        file.write(preview->data(), preview->size());
    file.write(trailer, kTrailerSize);
    file.write(background.data(), background.size());
    if (!file.commit())
        return failed(kWriteFailed);
    return kWriteOk;
}

} // namespace Quorvel::FinalView
