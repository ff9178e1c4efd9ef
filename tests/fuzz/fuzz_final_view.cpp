// Any bytes, read as a final view file: once as they are, and once with the
// integrity check value recomputed, so that the blocks behind the digest are
// reached too. The custom mutator takes the file apart into its header and
// sections, changes one, lays the sections out again and reseals it.
#include <blosc.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "FinalCodes.h"
#include "FinalViewReader.h"
#include "FinalViewWriter.h"
#include "foundation/Logger.h"

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);

namespace {

uint32_t u32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

bool inside(uint64_t offset, uint64_t size, uint64_t total)
{
    return offset <= total && size <= total - offset;
}

// Rewrites the check value so that the file decodes to engine 1; false when
// the layout leaves nothing to reseal.
bool reseal(std::vector<uint8_t>& b)
{
    using namespace Quorvel::FinalView;
    if (b.size() < kHeaderSize)
        return false;
    const uint32_t trailer = u32(&b[180]), sampleSize = u32(&b[152]), sampleOffset = u32(&b[156]);
    const uint32_t motionSize = u32(&b[160]), motionOffset = u32(&b[164]);
    if (!inside(trailer, kTrailerSize, b.size()) || !inside(sampleOffset, sampleSize, b.size()) ||
        (motionSize && !inside(motionOffset, motionSize, b.size())))
        return false;
    uint8_t* t = &b[trailer];
    const uint32_t count = t[518] | t[519] << 8;
    if (count > 4)
        return false;
    std::vector<std::array<uint32_t, 2>> ranges;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t offset = u32(t + 520 + 8 * i), length = u32(t + 524 + 8 * i);
        if (!inside(offset, length, kHeaderSize))
            return false;
        ranges.push_back({offset, length});
    }
    uint8_t tail[kTrailerSize - 512];
    std::memcpy(tail, t + 512, sizeof tail);
    tail[4] = tail[5] = 0;
    const auto digest = integrityDigest(tail, b.data(), ranges, b.data() + sampleOffset, sampleSize,
                                        b.data() + motionOffset, motionSize);
    const int32_t e = static_cast<int32_t>(digestCharacterSum(digest) % 99);
    const uint16_t check = static_cast<uint16_t>(1 - e + 99);
    t[516] = static_cast<uint8_t>(check);
    t[517] = static_cast<uint8_t>(check >> 8);
    return true;
}

void putU32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

using Rng = std::minstd_rand;

size_t pick(Rng& rng, size_t count)
{
    return count == 0 ? 0 : std::uniform_int_distribution<size_t>(0, count - 1)(rng);
}

// Size and offset fields of the sections, in the order they follow the header.
struct Section {
    uint32_t sizeAt, offsetAt;
};
constexpr Section kSections[] = {{152, 156}, {160, 164}, {192, 196}, {168, 172}, {176, 180}, {184, 188}};
constexpr size_t kSampleSection = 0, kMotionSection = 1, kTrailerSection = 4;

struct FinalImage {
    std::vector<uint8_t> header;
    std::vector<uint8_t> sections[6];
};

bool parseImage(const uint8_t* data, size_t size, FinalImage& image)
{
    using Quorvel::FinalView::kHeaderSize;
    if (size < kHeaderSize)
        return false;
    image.header.assign(data, data + kHeaderSize);
    uint64_t at = kHeaderSize;
    for (size_t i = 0; i < 6; ++i) {
        const uint32_t length = u32(data + kSections[i].sizeAt), offset = u32(data + kSections[i].offsetAt);
        if (length == 0)
            continue;
        if (offset != at || !inside(offset, length, size))
            return false;
        image.sections[i].assign(data + offset, data + offset + length);
        at += length;
    }
    return at == size;
}

std::vector<uint8_t> layOut(FinalImage& image)
{
    std::vector<uint8_t> out = image.header;
    for (size_t i = 0; i < 6; ++i) {
        const std::vector<uint8_t>& s = image.sections[i];
        putU32(&out[kSections[i].sizeAt], static_cast<uint32_t>(s.size()));
        putU32(&out[kSections[i].offsetAt], s.empty() ? 0u : static_cast<uint32_t>(out.size()));
        out.insert(out.end(), s.begin(), s.end());
    }
    return out;
}

// libFuzzer's mutation of some bytes, at most `room` more of them.
std::vector<uint8_t> mutated(const std::vector<uint8_t>& bytes, size_t room)
{
    std::vector<uint8_t> b(bytes);
    b.resize(bytes.size() + room);
    b.resize(LLVMFuzzerMutate(b.data(), bytes.size(), b.size()));
    return b;
}

// A compressed block decoded, changed and compressed again as the writer
// does (lz4hc); false when it does not decode.
bool remakeBlock(std::vector<uint8_t>& block, size_t record, Rng& rng, uint32_t& records)
{
    size_t raw = 0;
    if (block.empty() || blosc_cbuffer_validate(block.data(), block.size(), &raw) != 0 || raw > (size_t{1} << 20))
        return false;
    std::vector<uint8_t> decoded(raw);
    if (raw != 0 && blosc_decompress_ctx(block.data(), decoded.data(), raw, 1) != static_cast<int>(raw))
        return false;
    decoded = mutated(decoded, std::max<size_t>(raw, 4 * record));
    if (pick(rng, 4) != 0)
        decoded.resize(decoded.size() / record * record);
    records = static_cast<uint32_t>(decoded.size() / record);
    std::vector<uint8_t> frame(decoded.size() + BLOSC_MAX_OVERHEAD);
    const int stored = blosc_compress_ctx(6, BLOSC_SHUFFLE, record, decoded.size(), decoded.data(), frame.data(),
                                          frame.size(), "lz4hc", 0, 1);
    if (stored <= 0)
        return false;
    frame.resize(static_cast<size_t>(stored));
    block = std::move(frame);
    return true;
}

size_t mutateFinalView(uint8_t* data, size_t size, size_t maxSize, unsigned seed)
{
    Rng rng(seed);
    FinalImage image;
    std::vector<uint8_t> out;
    if (pick(rng, 8) == 0 || !parseImage(data, size, image)) {
        out.assign(data, data + size);
        out.resize(maxSize);
        out.resize(LLVMFuzzerMutate(out.data(), size, maxSize));
    } else {
        const size_t what = pick(rng, 10);
        const uint32_t codeSize = static_cast<uint32_t>(Quorvel::FinalView::kSampleCodeSize);
        if (what < 3) {
            // Header fields outside the section table.
            std::vector<uint8_t> fields(image.header.begin() + 12, image.header.begin() + 148);
            fields = mutated(fields, 0);
            fields.resize(136);
            std::copy(fields.begin(), fields.end(), image.header.begin() + 12);
        } else if (what < 6) {
            uint32_t records = 0;
            if (remakeBlock(image.sections[kSampleSection], codeSize, rng, records) && pick(rng, 8) != 0) {
                // The counts follow the codes: the transparent ones stay.
                const uint32_t transparent = std::min(records, u32(&image.header[52]));
                putU32(&image.header[12], records);
                putU32(&image.header[48], records - transparent);
                putU32(&image.header[52], transparent);
            }
        } else if (what < 7) {
            uint32_t records = 0;
            const size_t motion = Quorvel::FinalView::motionCodeSize(1);
            remakeBlock(image.sections[kMotionSection], motion, rng, records);
        } else if (what < 9) {
            // The named blocks, the preview or the background picture.
            static const size_t others[] = {2, 3, 5};
            std::vector<uint8_t>& s = image.sections[others[pick(rng, 3)]];
            s = mutated(s, 64);
        } else {
            // A section dropped, or its flag bits changed.
            const size_t i = pick(rng, 6);
            if (i != kTrailerSection && pick(rng, 2) == 0)
                image.sections[i].clear();
            else
                image.header[56] ^= static_cast<uint8_t>(1u << pick(rng, 4));
        }
        out = layOut(image);
    }
    reseal(out);
    if (out.size() > maxSize)
        return LLVMFuzzerMutate(data, size, maxSize);
    std::memcpy(data, out.data(), out.size());
    return out.size();
}

} // namespace

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize, unsigned int seed)
{
    return mutateFinalView(data, size, maxSize, seed);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool quiet = [] {
        Quorvel::Logger::QvSetConsoleLogLevel(-1);
        return true;
    }();
    (void)quiet;
    std::string error;
    Quorvel::FinalView::parseFinalView(data, size, "fuzz", error);
    std::vector<uint8_t> copy(data, data + size);
    if (reseal(copy))
        Quorvel::FinalView::parseFinalView(copy.data(), copy.size(), "fuzz", error);
    return 0;
}
