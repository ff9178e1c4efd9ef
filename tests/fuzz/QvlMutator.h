#pragma once

#include <blosc.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "JsonMutation.h"
#include "io/QvlRenderFile.h"

// A structure-aware mutator for detection and render files: the input is
// taken apart into signature, JSON header and blocks; one of them changes;
// the file is put back together with a JSON header that parses, blocks that
// decompress to what their words say (unless the mutation is about those
// words) and a file code that decodes to engine 1 again. Bytes that do not
// parse get libFuzzer's own mutations.
namespace QuorvelFuzz {

// The block sequence a reader expects.
struct QvlLayout {
    bool plaques;      // versions 8 and 9
    size_t sampleSize; // 28 in version 9, 24 before
};

struct QvlBlock {
    uint32_t count = 0;
    uint32_t stored = 0;          // the stored-size word
    std::vector<uint8_t> payload; // the bytes after the two words
    std::vector<uint8_t> raw;     // decoded content
    size_t element = 1;
    bool column = false;
    bool samples = false;
};

struct QvlImage {
    std::array<uint8_t, 16> head{};
    Json::Value json;
    std::vector<QvlBlock> blocks;
    std::vector<uint8_t> tail; // what follows the blocks, or the part that did not parse
};

inline uint32_t loadU32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

inline void storeU32(std::vector<uint8_t>& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

inline size_t aovElementSize(int64_t type)
{
    static const size_t sizes[] = {1, 4, 2, 6, 8, 6, 4};
    return type >= 0 && type < 7 ? sizes[type] : 0;
}

// Decoded bytes of larger blocks are not worth a mutation's time.
constexpr size_t kMaxDecoded = size_t{1} << 20;

// One block at `at`; false, with `at` unchanged, when it does not decode.
inline bool takeBlock(const uint8_t* data, size_t size, size_t& at, QvlBlock& b)
{
    if (size - at < 8)
        return false;
    b.count = loadU32(data + at);
    b.stored = loadU32(data + at + 4);
    const size_t begin = at + 8;
    const uint64_t raw = uint64_t{b.count} * b.element;
    if (b.count == 0) {
        if (b.stored != 0)
            return false;
        at = begin;
        return true;
    }
    if (raw > kMaxDecoded)
        return false;
    if (b.stored == 0) {
        if (raw > size - begin)
            return false;
        b.payload.assign(data + begin, data + begin + raw);
        b.raw = b.payload;
        at = begin + raw;
        return true;
    }
    if (b.stored > size - begin)
        return false;
    size_t declared = 0;
    if (blosc_cbuffer_validate(data + begin, b.stored, &declared) != 0 || declared != raw)
        return false;
    b.raw.resize(raw);
    if (blosc_decompress_ctx(data + begin, b.raw.data(), raw, 1) != static_cast<int>(raw))
        return false;
    b.payload.assign(data + begin, data + begin + b.stored);
    at = begin + b.stored;
    return true;
}

inline bool parseQvl(const uint8_t* data, size_t size, const QvlLayout& layout, QvlImage& image)
{
    if (size < 20 || data[0] != 0x82)
        return false;
    std::memcpy(image.head.data(), data, 16);
    const uint32_t length = loadU32(data + 16);
    if (length > size - 20)
        return false;
    const char* text = reinterpret_cast<const char*>(data + 20);
    if (!parseText(text, text + length, image.json))
        return false;

    std::vector<QvlBlock> wanted(2);
    wanted[0].element = 12;
    wanted[1].element = 24;
    if (!layout.plaques)
        wanted.pop_back();
    QvlBlock samples;
    samples.element = layout.sampleSize;
    samples.samples = true;
    wanted.push_back(samples);
    const Json::Value& types = image.json["AOVTypes"];
    const Json::Value& count = image.json["aovNums"];
    const uint64_t aovs = count.isUInt64() ? count.asUInt64() : 0;
    for (Json::ArrayIndex j = 0; types.isArray() && j < types.size() && j < aovs; ++j) {
        const size_t element = types[j].isInt64() ? aovElementSize(types[j].asInt64()) : 0;
        if (element == 0)
            continue;
        QvlBlock column;
        column.element = element;
        column.column = true;
        wanted.push_back(column);
    }
    wanted.emplace_back();

    size_t at = 20 + length;
    for (QvlBlock& b : wanted) {
        if (!takeBlock(data, size, at, b))
            break;
        image.blocks.push_back(std::move(b));
    }
    image.tail.assign(data + at, data + size);
    return true;
}

// Stores the decoded content again: raw or as a Blosc frame, the words
// matching it.
inline void encodeBlock(QvlBlock& b, Rng& rng)
{
    b.raw.resize(b.raw.size() / b.element * b.element);
    b.count = static_cast<uint32_t>(b.raw.size() / b.element);
    if (b.count == 0) {
        b.stored = 0;
        b.payload.clear();
        return;
    }
    if (pick(rng, 4) == 0) {
        b.stored = 0;
        b.payload = b.raw;
        return;
    }
    std::vector<uint8_t> frame(b.raw.size() + BLOSC_MAX_OVERHEAD);
    const char* codec = pick(rng, 2) == 0 ? "zlib" : "lz4";
    const int level = 1 + static_cast<int>(pick(rng, 9));
    const int stored = blosc_compress_ctx(level, BLOSC_SHUFFLE, b.element, b.raw.size(), b.raw.data(), frame.data(),
                                          frame.size(), codec, 0, 1);
    if (stored <= 0) {
        b.stored = 0;
        b.payload = b.raw;
        return;
    }
    frame.resize(static_cast<size_t>(stored));
    b.stored = static_cast<uint32_t>(stored);
    b.payload = std::move(frame);
}

// The file code the writer of engine 1 would give these blocks.
inline void resealQvl(QvlImage& image, Rng& rng)
{
    Quorvel::BinIO::HashSum hash;
    for (const QvlBlock& b : image.blocks)
        if (b.count != 0 && b.raw.size() == uint64_t{b.count} * b.element)
            hash.update(b.raw.data(), b.raw.size());
    const int sum = hash.digestSum();
    image.json["fileCode"] = static_cast<int>(pick(rng, 100)) * 99 + 1 - sum % 99 + 99;
}

inline std::vector<uint8_t> serialiseQvl(const QvlImage& image)
{
    std::vector<uint8_t> out(image.head.begin(), image.head.end());
    const std::string text = compactText(image.json);
    storeU32(out, static_cast<uint32_t>(text.size()));
    out.insert(out.end(), text.begin(), text.end());
    for (const QvlBlock& b : image.blocks) {
        storeU32(out, b.count);
        storeU32(out, b.stored);
        out.insert(out.end(), b.payload.begin(), b.payload.end());
    }
    out.insert(out.end(), image.tail.begin(), image.tail.end());
    return out;
}

// New decoded content for one block: libFuzzer's mutation of its bytes.
inline void mutateContent(QvlBlock& b, Rng& rng)
{
    const size_t limit = std::min(kMaxDecoded, std::max<size_t>(b.raw.size() * 2 + 4 * b.element, 64));
    std::vector<uint8_t> bytes(b.raw);
    bytes.resize(std::max(limit, bytes.size()));
    size_t size = LLVMFuzzerMutate(bytes.data(), b.raw.size(), bytes.size());
    if (pick(rng, 4) == 0 && b.raw.size() >= b.element)
        size = b.raw.size(); // same count, other values
    bytes.resize(size);
    b.raw = std::move(bytes);
    encodeBlock(b, rng);
}

// AOV columns hold one value per sample; keep them so most of the time.
inline void matchColumns(QvlImage& image, Rng& rng)
{
    uint32_t samples = 0;
    for (const QvlBlock& b : image.blocks)
        if (b.samples)
            samples = b.count;
    for (QvlBlock& b : image.blocks) {
        if (!b.column || b.count == samples)
            continue;
        const size_t old = b.raw.size();
        b.raw.resize(uint64_t{samples} * b.element);
        for (size_t i = old; i < b.raw.size(); ++i)
            b.raw[i] = old ? b.raw[i % old] : static_cast<uint8_t>(rng());
        encodeBlock(b, rng);
    }
}

inline size_t mutateQvl(uint8_t* data, size_t size, size_t maxSize, unsigned seed, const QvlLayout& layout)
{
    Rng rng(seed);
    QvlImage image;
    if (pick(rng, 10) == 0 || !parseQvl(data, size, layout, image))
        return LLVMFuzzerMutate(data, size, maxSize);

    const size_t what = pick(rng, 16);
    if (what < 6 || image.blocks.empty()) {
        mutateJson(image.json, rng);
    } else if (what < 12) {
        QvlBlock& b = image.blocks[pick(rng, image.blocks.size())];
        mutateContent(b, rng);
        if (b.samples && pick(rng, 8) != 0)
            matchColumns(image, rng);
    } else if (what < 14) {
        // The words of a block no longer match its bytes.
        QvlBlock& b = image.blocks[pick(rng, image.blocks.size())];
        const Json::Value v = interestingInteger(rng);
        const uint32_t word = static_cast<uint32_t>(v.isInt64() ? v.asInt64() : 0);
        if (pick(rng, 2) == 0)
            b.count = pick(rng, 2) == 0 ? word : b.count + 1;
        else
            b.stored = pick(rng, 2) == 0 ? word : b.stored - 1;
    } else if (what == 14) {
        // A block dropped or repeated.
        const size_t i = pick(rng, image.blocks.size());
        if (pick(rng, 2) == 0)
            image.blocks.erase(image.blocks.begin() + static_cast<long>(i));
        else
            image.blocks.insert(image.blocks.begin() + static_cast<long>(i), image.blocks[i]);
    } else {
        std::vector<uint8_t> tail = image.tail;
        tail.resize(tail.size() + 64);
        tail.resize(LLVMFuzzerMutate(tail.data(), image.tail.size(), tail.size()));
        image.tail = std::move(tail);
    }
    resealQvl(image, rng);
    const std::vector<uint8_t> out = serialiseQvl(image);
    if (out.size() > maxSize)
        return LLVMFuzzerMutate(data, size, maxSize);
    std::memcpy(data, out.data(), out.size());
    return out.size();
}

} // namespace QuorvelFuzz
