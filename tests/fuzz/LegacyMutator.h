#pragma once

#include <blosc.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "JsonMutation.h"
#include "QvlMutator.h"

// A structure-aware mutator for the render files before the container:
// optional "Version" prefix, optional JSON text, the record header, then
// Blosc frames. One part changes; the frames are rebuilt so that they
// decompress, and the record counts follow the blocks they describe most
// of the time. These files carry no integrity check value.
namespace QuorvelFuzz {

struct LegacyBlock {
    std::vector<uint8_t> frame;
    std::vector<uint8_t> raw;
    size_t typeSize = 1;
};

struct LegacyImage {
    bool prefixed = false;
    uint8_t version = 0;
    bool hasJson = false;
    Json::Value json;
    bool hasRecord = false;
    uint32_t n = 0, m = 0;
    uint16_t width = 0, height = 0;
    std::vector<LegacyBlock> blocks;
    std::vector<uint8_t> tail;
};

inline bool parseLegacy(const uint8_t* data, size_t size, LegacyImage& image)
{
    size_t at = 0;
    if (size >= 8 && std::memcmp(data, "Version", 7) == 0) {
        image.prefixed = true;
        image.version = data[7];
        at = 8;
    }
    if (image.version > 2 && size - at >= 4) {
        const uint32_t length = loadU32(data + at);
        const uint8_t* text = data + at + 4;
        if (length <= size - at - 4) {
            const uint8_t* end = static_cast<const uint8_t*>(std::memchr(text, 0, length));
            if (end && parseText(reinterpret_cast<const char*>(text), reinterpret_cast<const char*>(end), image.json)) {
                image.hasJson = true;
                at += 4 + length;
            }
        }
    }
    if (size - at < 12)
        return false;
    image.hasRecord = true;
    image.n = loadU32(data + at);
    image.m = loadU32(data + at + 4);
    image.width = static_cast<uint16_t>(data[at + 8] | data[at + 9] << 8);
    image.height = static_cast<uint16_t>(data[at + 10] | data[at + 11] << 8);
    at += 12;
    while (size - at >= 4) {
        const uint32_t stored = loadU32(data + at);
        if (stored == 0 || stored > size - at - 4)
            break;
        const uint8_t* frame = data + at + 4;
        size_t raw = 0, compressed = 0, block = 0, typeSize = 0;
        int flags = 0;
        if (blosc_cbuffer_validate(frame, stored, &raw) != 0 || raw > kMaxDecoded)
            break;
        blosc_cbuffer_sizes(frame, &raw, &compressed, &block);
        blosc_cbuffer_metainfo(frame, &typeSize, &flags);
        LegacyBlock b;
        b.typeSize = typeSize == 0 ? 1 : typeSize;
        b.raw.resize(raw);
        if (raw != 0 && blosc_decompress_ctx(frame, b.raw.data(), raw, 1) != static_cast<int>(raw))
            break;
        b.frame.assign(frame, frame + stored);
        image.blocks.push_back(std::move(b));
        at += 4 + stored;
    }
    image.tail.assign(data + at, data + size);
    return true;
}

inline void encodeLegacyBlock(LegacyBlock& b, Rng& rng)
{
    std::vector<uint8_t> frame(b.raw.size() + BLOSC_MAX_OVERHEAD);
    const int stored = blosc_compress_ctx(1 + static_cast<int>(pick(rng, 9)), BLOSC_SHUFFLE, b.typeSize,
                                          b.raw.size(), b.raw.data(), frame.data(), frame.size(),
                                          pick(rng, 2) == 0 ? "zlib" : "lz4", 0, 1);
    frame.resize(stored > 0 ? static_cast<size_t>(stored) : 0);
    b.frame = std::move(frame);
}

inline std::vector<uint8_t> serialiseLegacy(const LegacyImage& image)
{
    std::vector<uint8_t> out;
    if (image.prefixed) {
        out.insert(out.end(), {'V', 'e', 'r', 's', 'i', 'o', 'n'});
        out.push_back(image.version);
    }
    if (image.hasJson) {
        const std::string text = compactText(image.json);
        storeU32(out, static_cast<uint32_t>(text.size() + 1));
        out.insert(out.end(), text.begin(), text.end());
        out.push_back(0);
    }
    storeU32(out, image.n);
    storeU32(out, image.m);
    out.push_back(static_cast<uint8_t>(image.width));
    out.push_back(static_cast<uint8_t>(image.width >> 8));
    out.push_back(static_cast<uint8_t>(image.height));
    out.push_back(static_cast<uint8_t>(image.height >> 8));
    for (const LegacyBlock& b : image.blocks) {
        storeU32(out, static_cast<uint32_t>(b.frame.size()));
        out.insert(out.end(), b.frame.begin(), b.frame.end());
    }
    out.insert(out.end(), image.tail.begin(), image.tail.end());
    return out;
}

inline size_t mutateLegacy(uint8_t* data, size_t size, size_t maxSize, unsigned seed)
{
    Rng rng(seed);
    LegacyImage image;
    if (pick(rng, 10) == 0 || !parseLegacy(data, size, image))
        return LLVMFuzzerMutate(data, size, maxSize);

    const size_t what = pick(rng, 16);
    if (what < 4 && image.hasJson) {
        mutateJson(image.json, rng);
    } else if (what < 10 && !image.blocks.empty()) {
        // New content for a block; its record size stays, and the count of
        // the first (samples) or second (coordinates) block mostly follows.
        const size_t i = pick(rng, image.blocks.size());
        LegacyBlock& b = image.blocks[i];
        const uint32_t count = i == 0 ? image.n : image.m;
        const size_t record = count != 0 && b.raw.size() % count == 0 && b.raw.size() / count != 0
                                  ? b.raw.size() / count
                                  : b.typeSize;
        std::vector<uint8_t> bytes(b.raw);
        bytes.resize(std::min(kMaxDecoded, std::max<size_t>(b.raw.size() * 2 + 4 * record, 64)));
        bytes.resize(LLVMFuzzerMutate(bytes.data(), std::min(b.raw.size(), bytes.size()), bytes.size()));
        if (pick(rng, 4) != 0)
            bytes.resize(bytes.size() / record * record);
        b.raw = std::move(bytes);
        encodeLegacyBlock(b, rng);
        if (i < 2 && pick(rng, 8) != 0)
            (i == 0 ? image.n : image.m) = static_cast<uint32_t>(b.raw.size() / record);
    } else if (what < 12) {
        // The record header.
        const Json::Value v = interestingInteger(rng);
        const uint32_t word = static_cast<uint32_t>(v.isInt64() ? v.asInt64() : 0);
        switch (pick(rng, 4)) {
        case 0: image.n = pick(rng, 2) == 0 ? word : image.n + 1; break;
        case 1: image.m = pick(rng, 2) == 0 ? word : image.m + 1; break;
        case 2: image.width = static_cast<uint16_t>(word); break;
        default: image.height = static_cast<uint16_t>(word);
        }
    } else if (what == 12) {
        // Another version, with or without its JSON text.
        static const uint8_t versions[] = {0, 1, 2, 3, 4, 5, 6, 255};
        image.version = versions[pick(rng, std::size(versions))];
        image.prefixed = image.version != 0 || pick(rng, 2) == 0;
        if (image.version > 2 && !image.hasJson && pick(rng, 2) == 0) {
            image.hasJson = true;
            image.json = Json::Value(Json::objectValue);
            image.json["numAOVS"] = 1;
        } else if (pick(rng, 4) == 0) {
            image.hasJson = false;
        }
    } else if (what == 13 && !image.blocks.empty()) {
        const size_t i = pick(rng, image.blocks.size());
        if (pick(rng, 2) == 0)
            image.blocks.erase(image.blocks.begin() + static_cast<long>(i));
        else
            image.blocks.insert(image.blocks.begin() + static_cast<long>(i), image.blocks[i]);
    } else {
        // The trailer: background colour, point and the two integers.
        std::vector<uint8_t> tail = image.tail;
        tail.resize(tail.size() + 32);
        tail.resize(LLVMFuzzerMutate(tail.data(), image.tail.size(), tail.size()));
        image.tail = std::move(tail);
    }
    const std::vector<uint8_t> out = serialiseLegacy(image);
    if (out.size() > maxSize)
        return LLVMFuzzerMutate(data, size, maxSize);
    std::memcpy(data, out.data(), out.size());
    return out.size();
}

} // namespace QuorvelFuzz
