#include <cstring>

#include "io/AovColumnsInternal.h"
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

void compactDoubles(const AOVData* first, uint64_t count, uint64_t stride, half_float::half* out)
{
    const HalfTables& tables = halfTables();
    for (uint64_t i = 0; i < count; ++i) {
        double value;
        std::memcpy(&value, first[i * stride].bytes, sizeof value);
        out[i] = floatToHalf(static_cast<float>(value), tables);
    }
}

// Compact elements are read byte-wise: a column straight from a file need
// not be aligned.
template <int N>
void decompactFloats(AOVData* first, uint64_t stride, const uint8_t* in, uint64_t count)
{
    for (uint64_t i = 0; i < count; ++i) {
        uint16_t bits[N];
        std::memcpy(bits, in + i * N * 2, sizeof bits);
        float values[N];
        for (int k = 0; k < N; ++k) {
            half_float::half h;
            h.setBits(bits[k]);
            values[k] = static_cast<float>(h);
        }
        std::memcpy(first[i * stride].bytes, values, sizeof values);
    }
}

void decompactDoubles(AOVData* first, uint64_t stride, const uint8_t* in, uint64_t count)
{
    for (uint64_t i = 0; i < count; ++i) {
        uint16_t bits;
        std::memcpy(&bits, in + i * 2, sizeof bits);
        half_float::half h;
        h.setBits(bits);
        const double value = static_cast<float>(h);
        std::memcpy(first[i * stride].bytes, &value, sizeof value);
    }
}

template <size_t Size>
void compactBytes(const AOVData* first, uint64_t count, uint64_t stride, uint8_t* out)
{
    for (uint64_t i = 0; i < count; ++i)
        std::memcpy(out + i * Size, first[i * stride].bytes, Size);
}

template <size_t Size>
void decompactBytes(AOVData* first, uint64_t stride, const uint8_t* in, uint64_t count)
{
    for (uint64_t i = 0; i < count; ++i)
        std::memcpy(first[i * stride].bytes, in + i * Size, Size);
}

void compactInto(Phase::AOVType type, const AOVData* first, uint64_t count, uint64_t stride, void* out)
{
    auto* bytes = static_cast<uint8_t*>(out);
    auto* halves = static_cast<half_float::half*>(out);
    switch (type) {
    case Phase::AOV_Byte: compactBytes<1>(first, count, stride, bytes); break;
    case Phase::AOV_Int: compactBytes<4>(first, count, stride, bytes); break;
    case Phase::AOV_Double: compactDoubles(first, count, stride, halves); break;
    case Phase::AOV_RGB:
    case Phase::AOV_Vector3: compactFloats<3>(first, count, stride, halves); break;
    case Phase::AOV_RGBA: compactFloats<4>(first, count, stride, halves); break;
    case Phase::AOV_Vector2: compactFloats<2>(first, count, stride, halves); break;
    }
}

template <class T>
void compactVector(Phase::AOVType type, const AOVData* first, uint64_t count, uint64_t stride, std::vector<T>& out)
{
    out.resize(count);
    if (count != 0)
        compactInto(type, first, count, stride, out.data());
}

template <class T>
void decompactVector(Phase::AOVType type, AOVData* first, uint64_t stride, const std::vector<T>& in)
{
    if (!in.empty())
        decompactColumn(type, reinterpret_cast<const uint8_t*>(in.data()), in.size(), first, stride);
}

} // namespace

uint64_t compactElementSize(Phase::AOVType type)
{
    switch (type) {
    case Phase::AOV_Byte: return 1;
    case Phase::AOV_Int: return 4;
    case Phase::AOV_Double: return 2;
    case Phase::AOV_RGB: return 6;
    case Phase::AOV_RGBA: return 8;
    case Phase::AOV_Vector3: return 6;
    case Phase::AOV_Vector2: return 4;
    }
    return 0;
}

void compactColumn(Phase::AOVType type, const AOVData* first, uint64_t count, uint64_t stride,
                   std::vector<uint8_t>& out)
{
    out.resize(count * compactElementSize(type));
    if (!out.empty())
        compactInto(type, first, count, stride, out.data());
}

void decompactColumn(Phase::AOVType type, const uint8_t* in, uint64_t count, AOVData* first, uint64_t stride)
{
    switch (type) {
    case Phase::AOV_Byte: decompactBytes<1>(first, stride, in, count); break;
    case Phase::AOV_Int: decompactBytes<4>(first, stride, in, count); break;
    case Phase::AOV_Double: decompactDoubles(first, stride, in, count); break;
    case Phase::AOV_RGB:
    case Phase::AOV_Vector3: decompactFloats<3>(first, stride, in, count); break;
    case Phase::AOV_RGBA: decompactFloats<4>(first, stride, in, count); break;
    case Phase::AOV_Vector2: decompactFloats<2>(first, stride, in, count); break;
    }
}

void CompactAOVS(const AOVData* first, uint64_t count, uint64_t stride, std::vector<char>& out)
{
    compactVector(Phase::AOV_Byte, first, count, stride, out);
}

void CompactAOVS(const AOVData* first, uint64_t count, uint64_t stride, std::vector<int>& out)
{
    compactVector(Phase::AOV_Int, first, count, stride, out);
}

void CompactAOVS(const AOVData* first, uint64_t count, uint64_t stride, std::vector<half_float::half>& out)
{
    compactVector(Phase::AOV_Double, first, count, stride, out);
}

void CompactAOVS(const AOVData* first, uint64_t count, uint64_t stride, std::vector<halfvec2>& out)
{
    compactVector(Phase::AOV_Vector2, first, count, stride, out);
}

void CompactAOVS(const AOVData* first, uint64_t count, uint64_t stride, std::vector<halfvec3>& out)
{
    compactVector(Phase::AOV_Vector3, first, count, stride, out);
}

void CompactAOVS(const AOVData* first, uint64_t count, uint64_t stride, std::vector<halfvec4>& out)
{
    compactVector(Phase::AOV_RGBA, first, count, stride, out);
}

void DecompactAOVs(AOVData* first, uint64_t stride, const std::vector<char>& in)
{
    decompactVector(Phase::AOV_Byte, first, stride, in);
}

void DecompactAOVs(AOVData* first, uint64_t stride, const std::vector<int>& in)
{
    decompactVector(Phase::AOV_Int, first, stride, in);
}

void DecompactAOVs(AOVData* first, uint64_t stride, const std::vector<half_float::half>& in)
{
    decompactVector(Phase::AOV_Double, first, stride, in);
}

void DecompactAOVs(AOVData* first, uint64_t stride, const std::vector<halfvec2>& in)
{
    decompactVector(Phase::AOV_Vector2, first, stride, in);
}

void DecompactAOVs(AOVData* first, uint64_t stride, const std::vector<halfvec3>& in)
{
    decompactVector(Phase::AOV_Vector3, first, stride, in);
}

void DecompactAOVs(AOVData* first, uint64_t stride, const std::vector<halfvec4>& in)
{
    decompactVector(Phase::AOV_RGBA, first, stride, in);
}

namespace {

// The packers run once per slot of every record of a bucket: sizes are
// looked up inline and each copy has a fixed length.
uint64_t naturalSize(Phase::AOVType type)
{
    constexpr uint8_t kSizes[] = {1, 4, 8, 12, 16, 12, 8};
    const auto index = static_cast<uint32_t>(type);
    return index < sizeof kSizes ? kSizes[index] : 0;
}

void copySlot(unsigned char* to, const unsigned char* from, uint64_t size)
{
    switch (size) {
    case 1: std::memcpy(to, from, 1); break;
    case 4: std::memcpy(to, from, 4); break;
    case 8: std::memcpy(to, from, 8); break;
    case 12: std::memcpy(to, from, 12); break;
    case 16: std::memcpy(to, from, 16); break;
    default: break;
    }
}

} // namespace

uint64_t WriteAovsToMem(void* destination, const std::vector<Phase::AOVType>& types, const AOVData* first)
{
    auto* out = static_cast<unsigned char*>(destination);
    uint64_t offset = 0;
    for (size_t i = 0; i < types.size(); ++i) {
        const uint64_t size = naturalSize(types[i]);
        copySlot(out + offset, first[i].bytes, size);
        offset += size;
    }
    return offset;
}

uint64_t ReadAovsFromMem(const void* source, const std::vector<Phase::AOVType>& types, AOVData* first)
{
    const auto* in = static_cast<const unsigned char*>(source);
    uint64_t offset = 0;
    for (size_t i = 0; i < types.size(); ++i) {
        const uint64_t size = naturalSize(types[i]);
        copySlot(first[i].bytes, in + offset, size);
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
