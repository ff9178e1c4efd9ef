#pragma once

#include <cstdint>
#include <cstring>

#include "foundation/Export.h"
#include "foundation/Half.h"

namespace Quorvel::BinIO::inline v2_0 {

// Tables of the truncating float32 -> binary16 conversion, indexed by the
// 9-bit sign-and-exponent field of the float.
struct HalfTables {
    uint16_t base[512];
    uint8_t shift[512];
};

QUORVEL_API const HalfTables& halfTables();

// binary16 bits of a float with the mantissa bits below half precision
// dropped (truncation toward zero, not rounding); magnitudes above the half
// range become infinity.
inline uint16_t floatToHalfBits(float value, const HalfTables& tables = halfTables())
{
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    const uint32_t e = bits >> 23;
    return static_cast<uint16_t>(tables.base[e] + ((bits & 0x7FFFFFu) >> tables.shift[e]));
}

inline half_float::half floatToHalf(float value, const HalfTables& tables = halfTables())
{
    half_float::half h;
    h.setBits(floatToHalfBits(value, tables));
    return h;
}

} // namespace Quorvel::BinIO::inline v2_0
