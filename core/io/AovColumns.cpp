#include <cstring>

#include "io/AovFormat.h"
#include "io/HalfConversion.h"

namespace Quorvel::BinIO::inline v2_0 {

using RenderSample::AOVData;

const HalfTables& halfTables()
{
    static const HalfTables tables = [] {
        HalfTables t{};
        for (int e = 0; e < 256; ++e) {
            const int exponent = e - 127;
            uint16_t base;
            uint8_t shift;
            if (exponent < -24) {
                base = 0;
                shift = 24;
            } else if (exponent < -14) {
                base = static_cast<uint16_t>(0x0400 >> (-exponent - 14));
                shift = static_cast<uint8_t>(-exponent - 1);
            } else if (exponent <= 15) {
                base = static_cast<uint16_t>((exponent + 15) << 10);
                shift = 13;
            } else if (exponent < 128) {
                base = 0x7C00;
                shift = 24;
            } else {
                base = 0x7C00;
                shift = 13;
            }
            t.base[e] = base;
            t.base[e | 0x100] = static_cast<uint16_t>(base | 0x8000);
            t.shift[e] = shift;
            t.shift[e | 0x100] = shift;
        }
        return t;
    }();
    return tables;
}

namespace {

template <int N>
void compactFloats(const AOVData* first, uint64_t count, uint64_t stride, half_float::half* out)
{
    const HalfTables& tables = halfTables();
    for (uint64_t i = 0; i < count; ++i) {
        float values[N];
        std::memcpy(values, first[i * stride].bytes, sizeof values);
        for (int k = 0; k < N; ++k)
            out[i * N + k] = floatToHalf(values[k], tables);
    }
}

template <int N>
void decompactFloats(AOVData* first, uint64_t stride, const half_float::half* in, uint64_t count)
{
    for (uint64_t i = 0; i < count; ++i) {
        float values[N];
        for (int k = 0; k < N; ++k)
            values[k] = static_cast<float>(in[i * N + k]);
        std::memcpy(first[i * stride].bytes, values, sizeof values);
    }
}

template <class T>
void compactBytes(const AOVData* first, uint64_t count, uint64_t stride, std::vector<T>& out)
{
    out.resize(count);
    for (uint64_t i = 0; i < count; ++i)
        std::memcpy(&out[i], first[i * stride].bytes, sizeof(T));
}

template <class T>
void decompactBytes(AOVData* first, uint64_t stride, const std::vector<T>& in)
{
    for (uint64_t i = 0; i < in.size(); ++i)
        std::memcpy(first[i * stride].bytes, &in[i], sizeof(T));
}

} // namespace

void CompactAOVS(const AOVData* first, uint64_t count, uint64_t stride, std::vector<char>& out)
{
    compactBytes(first, count, stride, out);
}

void CompactAOVS(const AOVData* first, uint64_t count, uint64_t stride, std::vector<int>& out)
{
    compactBytes(first, count, stride, out);
}

void CompactAOVS(const AOVData* first, uint64_t count, uint64_t stride, std::vector<half_float::half>& out)
{
    out.resize(count);
    const HalfTables& tables = halfTables();
    for (uint64_t i = 0; i < count; ++i) {
        double value;
        std::memcpy(&value, first[i * stride].bytes, sizeof value);
        out[i] = floatToHalf(static_cast<float>(value), tables);
    }
}

void CompactAOVS(const AOVData* first, uint64_t count, uint64_t stride, std::vector<halfvec2>& out)
{
    out.resize(count);
    compactFloats<2>(first, count, stride, out.empty() ? nullptr : out[0].v);
}

void CompactAOVS(const AOVData* first, uint64_t count, uint64_t stride, std::vector<halfvec3>& out)
{
    out.resize(count);
    compactFloats<3>(first, count, stride, out.empty() ? nullptr : out[0].v);
}

void CompactAOVS(const AOVData* first, uint64_t count, uint64_t stride, std::vector<halfvec4>& out)
{
    out.resize(count);
    compactFloats<4>(first, count, stride, out.empty() ? nullptr : out[0].v);
}

void DecompactAOVs(AOVData* first, uint64_t stride, const std::vector<char>& in)
{
    decompactBytes(first, stride, in);
}

void DecompactAOVs(AOVData* first, uint64_t stride, const std::vector<int>& in)
{
    decompactBytes(first, stride, in);
}

void DecompactAOVs(AOVData* first, uint64_t stride, const std::vector<half_float::half>& in)
{
    for (uint64_t i = 0; i < in.size(); ++i) {
        const double value = static_cast<float>(in[i]);
        std::memcpy(first[i * stride].bytes, &value, sizeof value);
    }
}

void DecompactAOVs(AOVData* first, uint64_t stride, const std::vector<halfvec2>& in)
{
    decompactFloats<2>(first, stride, in.empty() ? nullptr : in[0].v, in.size());
}

void DecompactAOVs(AOVData* first, uint64_t stride, const std::vector<halfvec3>& in)
{
    decompactFloats<3>(first, stride, in.empty() ? nullptr : in[0].v, in.size());
}

void DecompactAOVs(AOVData* first, uint64_t stride, const std::vector<halfvec4>& in)
{
    decompactFloats<4>(first, stride, in.empty() ? nullptr : in[0].v, in.size());
}

uint64_t WriteAovsToMem(void* destination, const std::vector<Phase::AOVType>& types, const AOVData* first)
{
    auto* out = static_cast<unsigned char*>(destination);
    uint64_t offset = 0;
    for (size_t i = 0; i < types.size(); ++i) {
        const uint64_t size = Phase::aovNaturalSize(types[i]);
        std::memcpy(out + offset, first[i].bytes, size);
        offset += size;
    }
    return offset;
}

uint64_t ReadAovsFromMem(const void* source, const std::vector<Phase::AOVType>& types, AOVData* first)
{
    const auto* in = static_cast<const unsigned char*>(source);
    uint64_t offset = 0;
    for (size_t i = 0; i < types.size(); ++i) {
        const uint64_t size = Phase::aovNaturalSize(types[i]);
        std::memcpy(first[i].bytes, in + offset, size);
        offset += size;
    }
    return offset;
}

bool WriteAovsToFile(std::FILE* file, const std::vector<Phase::AOVType>& types, const AOVData* first)
{
    for (size_t i = 0; i < types.size(); ++i) {
        const uint64_t size = Phase::aovNaturalSize(types[i]);
        if (size != 0 && std::fwrite(first[i].bytes, 1, size, file) != size)
            return false;
    }
    return true;
}

bool ReadAovsFromFile(std::FILE* file, const std::vector<Phase::AOVType>& types, AOVData* first)
{
    for (size_t i = 0; i < types.size(); ++i) {
        const uint64_t size = Phase::aovNaturalSize(types[i]);
        if (size != 0 && std::fread(first[i].bytes, 1, size, file) != size)
            return false;
    }
    return true;
}

} // namespace Quorvel::BinIO::inline v2_0
