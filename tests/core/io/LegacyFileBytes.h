#pragma once

// Legacy render files assembled byte by byte from their layout table; only
// the Blosc frames come from the Blosc library itself. Shared by the reader
// tests and the fuzz seed generator.

#include <blosc.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace QuorvelLegacyTest {

using Bytes = std::vector<uint8_t>;

struct Builder {
    Bytes bytes;

    Builder& raw(const Bytes& b)
    {
        bytes.insert(bytes.end(), b.begin(), b.end());
        return *this;
    }
    Builder& text(const std::string& s)
    {
        bytes.insert(bytes.end(), s.begin(), s.end());
        return *this;
    }
    Builder& u8(uint8_t v)
    {
        bytes.push_back(v);
        return *this;
    }
    Builder& u16(uint16_t v)
    {
        bytes.push_back(uint8_t(v));
        bytes.push_back(uint8_t(v >> 8));
        return *this;
    }
    Builder& u32(uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            bytes.push_back(uint8_t(v >> (8 * i)));
        return *this;
    }
    Builder& f32(float f)
    {
        uint32_t v;
        std::memcpy(&v, &f, 4);
        return u32(v);
    }
    Builder& version(uint8_t v) { return text("Version").u8(v); }
    Builder& json(const std::string& s)
    {
        u32(uint32_t(s.size() + 1));
        return text(s).u8(0);
    }
    Builder& recordHeader(uint32_t n, uint32_t m, uint16_t w, uint16_t h) { return u32(n).u32(m).u16(w).u16(h); }
    Builder& block(const Bytes& frame) { return u32(uint32_t(frame.size())).raw(frame); }
};

inline Bytes frameOf(const Bytes& data, size_t typesize)
{
    Bytes out(data.size() + BLOSC_MAX_OVERHEAD);
    const int size = blosc_compress_ctx(5, BLOSC_SHUFFLE, typesize, data.size(), data.data(), out.data(), out.size(),
                                        "blosclz", 0, 1);
    out.resize(size_t(std::max(size, 0)));
    return out;
}

// Records with distinct bytes, so that any shift or mix-up shows.
inline Bytes pattern(size_t count, size_t size, uint8_t seed)
{
    Bytes out(count * size);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = uint8_t(seed + i * 7 + i / size);
    return out;
}

inline Bytes coordinateBytes(const std::vector<float>& values)
{
    Builder b;
    for (float v : values)
        b.f32(v);
    return b.bytes;
}

} // namespace QuorvelLegacyTest
