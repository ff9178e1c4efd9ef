#pragma once

#include <blosc.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

// Byte-level helpers for tests that build or take apart detection and render
// files by hand, independently of the library's own reader and writer.
namespace QuorvelTest {

inline void putU32(std::string& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

inline uint32_t getU32(const std::string& bytes, size_t at)
{
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= static_cast<uint32_t>(static_cast<uint8_t>(bytes.at(at + i))) << (8 * i);
    return v;
}

template <class T>
void putRaw(std::string& out, const T& value)
{
    out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

// A block stored raw: count, stored size 0, the bytes.
inline std::string rawBlock(uint32_t count, const std::string& bytes)
{
    std::string out;
    putU32(out, count);
    putU32(out, 0);
    return out + bytes;
}

// A block compressed with bare Blosc (zlib, level 9, shuffle, 4096-byte blocks).
inline std::string bloscBlock(uint32_t count, size_t elementSize, const std::string& bytes)
{
    std::vector<char> frame(bytes.size() + BLOSC_MAX_OVERHEAD + 4096);
    const int stored = blosc_compress_ctx(9, BLOSC_SHUFFLE, elementSize, bytes.size(), bytes.data(), frame.data(),
                                          frame.size(), "zlib", 4096, 1);
    std::string out;
    putU32(out, count);
    putU32(out, static_cast<uint32_t>(stored));
    return out + std::string(frame.data(), static_cast<size_t>(stored));
}

// One block as found in a file, decompressed with bare Blosc.
struct ParsedBlock {
    uint32_t count = 0;
    uint32_t stored = 0;
    std::string frame;
    std::string data;
};

inline ParsedBlock parseBlock(const std::string& bytes, size_t& at, size_t elementSize)
{
    ParsedBlock b;
    b.count = getU32(bytes, at);
    b.stored = getU32(bytes, at + 4);
    at += 8;
    const size_t raw = static_cast<size_t>(b.count) * elementSize;
    if (b.count == 0)
        return b;
    if (b.stored == 0) {
        b.data = bytes.substr(at, raw);
        at += raw;
        return b;
    }
    b.frame = bytes.substr(at, b.stored);
    at += b.stored;
    b.data.resize(raw);
    const int n = blosc_decompress_ctx(b.frame.data(), b.data.data(), raw, 1);
    if (n != static_cast<int>(raw))
        b.data = "<decompression failed>";
    return b;
}

} // namespace QuorvelTest
