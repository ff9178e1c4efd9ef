#include "analysis/DepthCode.h"

#include <cmath>

float decodeDepth(uint32_t code)
{
    return std::tan(static_cast<float>(code) * (kDepthCodeHi - kDepthCodeLo) / 32767.0f + kDepthCodeLo) * 100.0f;
}

uint32_t encodeDepth(float depth)
{
    float a = std::atan(depth / 100.0f);
    // Written so that a NaN depth lands on the near end instead of reaching
    // the integer conversion.
    a = a > kDepthCodeLo ? a : kDepthCodeLo;
    a = a < kDepthCodeHi ? a : kDepthCodeHi;
    uint32_t q = static_cast<uint32_t>((a - kDepthCodeLo) / (kDepthCodeHi - kDepthCodeLo) * 32767.0f);
    if (q > kDepthCodeMax)
        q = kDepthCodeMax;
    if (q < kDepthCodeMax && std::fabs(decodeDepth(q + 1) - depth) < std::fabs(decodeDepth(q) - depth))
        ++q;
    return q;
}
