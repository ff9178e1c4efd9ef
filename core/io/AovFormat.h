#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "foundation/Export.h"
#include "foundation/Half.h"

namespace Quorvel::Phase::inline v2_0 {

enum AOVType : int32_t {
    AOV_Byte = 0,
    AOV_Int = 1,
    AOV_Double = 2,
    AOV_RGB = 3,
    AOV_RGBA = 4,
    AOV_Vector3 = 5,
    AOV_Vector2 = 6
};

// Packed size of one value of the type; 0 for a type this build does not know.
QUORVEL_API uint64_t aovNaturalSize(AOVType type);

} // namespace Quorvel::Phase::inline v2_0

namespace Quorvel::RenderSample::inline v2_0 {

// One AOV value at full precision; a value fills the first bytes of the slot
// and the rest stays zero.
union AOVData {
    unsigned char bytes[16] = {};
    char asByte;
    int32_t asInt;
    double asDouble;
    float asVec2[2];
    float asVec3[3];
    float asVec4[4];
};

static_assert(sizeof(AOVData) == 16);

} // namespace Quorvel::RenderSample::inline v2_0

namespace Quorvel::BinIO::inline v2_0 {

// Reserved aliases, above any alias a host channel uses.
inline constexpr int32_t kAliasRightColor = static_cast<int32_t>(0xF0000001u);
inline constexpr int32_t kAliasTransparency = static_cast<int32_t>(0xF0000002u);
inline constexpr int32_t kAliasVelocity = static_cast<int32_t>(0xF0000003u);
inline constexpr int32_t kAliasCockpit = static_cast<int32_t>(0xF0000004u);

inline constexpr uint64_t kNoAovIndex = ~uint64_t{0};

// The registry of the AOVs of a render phase: every sample carries one slot
// per entry, in registration order.
class QUORVEL_API AovFormat {
public:
    std::vector<Phase::AOVType> types;
    std::vector<std::string> names;
    uint64_t count = 0;
    uint64_t byteSize = 0;
    std::map<int32_t, uint64_t> aliases;

    void registerAov(const int32_t& alias, const std::string& name, const Phase::AOVType& type);
    uint64_t getIndex(const int32_t& alias) const;
    bool HasAOV(const int32_t& alias) const;
    bool HasAOV(const std::string& name) const;
    void clear();
    bool isEmpty() const;
};

// Compact column elements: consecutive binary16 values, no padding.
struct halfvec2 {
    half_float::half v[2];
};
struct halfvec3 {
    half_float::half v[3];
};
struct halfvec4 {
    half_float::half v[4];
};
static_assert(sizeof(halfvec2) == 4 && sizeof(halfvec3) == 6 && sizeof(halfvec4) == 8);

// Column of one AOV over all samples: element i comes from the slot
// i * stride after `first` (the stride is the number of AOVs per sample).
// Floats are narrowed to binary16 by truncation.
QUORVEL_API void CompactAOVS(const RenderSample::AOVData* first, uint64_t count, uint64_t stride,
                             std::vector<char>& out);
QUORVEL_API void CompactAOVS(const RenderSample::AOVData* first, uint64_t count, uint64_t stride,
                             std::vector<int>& out);
QUORVEL_API void CompactAOVS(const RenderSample::AOVData* first, uint64_t count, uint64_t stride,
                             std::vector<half_float::half>& out);
QUORVEL_API void CompactAOVS(const RenderSample::AOVData* first, uint64_t count, uint64_t stride,
                             std::vector<halfvec2>& out);
QUORVEL_API void CompactAOVS(const RenderSample::AOVData* first, uint64_t count, uint64_t stride,
                             std::vector<halfvec3>& out);
QUORVEL_API void CompactAOVS(const RenderSample::AOVData* first, uint64_t count, uint64_t stride,
                             std::vector<halfvec4>& out);

// The exact inverse widening: element i goes back into the slot i * stride
// after `first`; only the value's natural-size bytes of a slot are written.
QUORVEL_API void DecompactAOVs(RenderSample::AOVData* first, uint64_t stride, const std::vector<char>& in);
QUORVEL_API void DecompactAOVs(RenderSample::AOVData* first, uint64_t stride, const std::vector<int>& in);
QUORVEL_API void DecompactAOVs(RenderSample::AOVData* first, uint64_t stride,
                               const std::vector<half_float::half>& in);
QUORVEL_API void DecompactAOVs(RenderSample::AOVData* first, uint64_t stride, const std::vector<halfvec2>& in);
QUORVEL_API void DecompactAOVs(RenderSample::AOVData* first, uint64_t stride, const std::vector<halfvec3>& in);
QUORVEL_API void DecompactAOVs(RenderSample::AOVData* first, uint64_t stride, const std::vector<halfvec4>& in);

// One sample's AOVs packed at their natural sizes, in type-list order, with
// no padding; unknown types take no bytes. The memory variants return the
// number of bytes written or read; the file variants return false when the
// stream fails.
QUORVEL_API uint64_t WriteAovsToMem(void* destination, const std::vector<Phase::AOVType>& types,
                                    const RenderSample::AOVData* first);
QUORVEL_API uint64_t ReadAovsFromMem(const void* source, const std::vector<Phase::AOVType>& types,
                                     RenderSample::AOVData* first);
QUORVEL_API bool WriteAovsToFile(std::FILE* file, const std::vector<Phase::AOVType>& types,
                                 const RenderSample::AOVData* first);
QUORVEL_API bool ReadAovsFromFile(std::FILE* file, const std::vector<Phase::AOVType>& types,
                                  RenderSample::AOVData* first);

} // namespace Quorvel::BinIO::inline v2_0
