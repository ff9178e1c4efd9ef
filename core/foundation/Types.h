#pragma once

#include <array>
#include <cmath>
#include <cstdint>

#include "foundation/Export.h"

// Value types shared by the core, the merger and the plug-ins. They are plain
// aggregates so that they can be copied into files and buffers as they are.

struct VekPoint {
    float x;
    float y;
    float z;
};

struct VekPoint2 {
    float x;
    float y;
};

struct VekRGB {
    float r;
    float g;
    float b;
};

struct VekRGBA {
    float r;
    float g;
    float b;
    float a;
};

// Row-vector convention: p' = p * M, row 3 holds the translation.
using VekMatrix4 = std::array<std::array<float, 4>, 4>;

namespace Quorvel::Phase::inline v2_0 {

enum Phase : int32_t { Detect = 0, Render = 1 };

enum Eye : int32_t { RC_LeftAndRight = 0, RC_Left = 1, RC_Right = 2 };

enum TransparencyRenderingType : int32_t { IGNORE = 0, OPAQUE = 1, TRANSP = 2, BOTH = 3 };

enum TerminatePhaseOptions : int32_t { Discard = 0, Finalize = 1 };

} // namespace Quorvel::Phase::inline v2_0

namespace Quorvel::Util::inline v2_0 {

// Written into every output file; files of different engines are never merged.
enum RenderingEngineId : int32_t { RE_Unknown = 0, RE_VRay = 1 };

} // namespace Quorvel::Util::inline v2_0

namespace Quorvel::Logger::inline v2_0 {

enum LogLevel : int32_t { ERROR = 0, WARNING = 1, INFO = 2, DEBUG = 3, TRACE = 4 };

// Any value other than the first two passes messages to a callback unchanged.
enum CarriageReturnMode : int32_t {
    StripTrailingNewline = 0,
    EnsureTrailingNewline = 1,
    Unchanged = 2
};

} // namespace Quorvel::Logger::inline v2_0

// Arithmetic conventions every subsystem relies on for bit-compatible
// results: single precision unless stated, no fused operations.
namespace Quorvel::Utils::inline v2_0 {

inline float dot(const VekPoint& a, const VekPoint& b)
{
    return a.x * b.x + a.y * b.y + a.z * b.z;
}

inline float length(const VekPoint& a)
{
    return std::sqrt(dot(a, a));
}

// The zero vector stays zero instead of turning into NaN.
inline VekPoint normalize(const VekPoint& a)
{
    const float l = std::sqrt(a.x * a.x + a.y * a.y + a.z * a.z);
    float factor = 0.0f;
    if (l != 0.0f) // NaN compares unequal, so it propagates as a NaN factor
        factor = 1.0f / l;
    return {a.x * factor, a.y * factor, a.z * factor};
}

inline VekPoint transformPoint(const VekPoint& p, const VekMatrix4& m)
{
    return {p.x * m[0][0] + p.y * m[1][0] + p.z * m[2][0] + m[3][0],
            p.x * m[0][1] + p.y * m[1][1] + p.z * m[2][1] + m[3][1],
            p.x * m[0][2] + p.y * m[1][2] + p.z * m[2][2] + m[3][2]};
}

inline VekPoint transformDirection(const VekPoint& d, const VekMatrix4& m)
{
    return {d.x * m[0][0] + d.y * m[1][0] + d.z * m[2][0],
            d.x * m[0][1] + d.y * m[1][1] + d.z * m[2][1],
            d.x * m[0][2] + d.y * m[1][2] + d.z * m[2][2]};
}

inline VekMatrix4 multiply(const VekMatrix4& a, const VekMatrix4& b)
{
    VekMatrix4 r{};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            float s = 0.0f;
            for (int k = 0; k < 4; ++k)
                s += a[i][k] * b[k][j];
            r[i][j] = s;
        }
    return r;
}

inline constexpr VekMatrix4 identityMatrix()
{
    return {{{1.0f, 0.0f, 0.0f, 0.0f},
             {0.0f, 1.0f, 0.0f, 0.0f},
             {0.0f, 0.0f, 1.0f, 0.0f},
             {0.0f, 0.0f, 0.0f, 1.0f}}};
}

// Adjugate inverse; a singular matrix yields non-finite elements.
QUORVEL_API VekMatrix4 inverse(const VekMatrix4& m);

} // namespace Quorvel::Utils::inline v2_0
