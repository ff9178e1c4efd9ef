#pragma once

// Leaf tests of the point-location tree. Internal: included by the tree and
// its tests only. Each returns one bit per accepted slot (bit i = slot i) and
// never sets the bits of unoccupied slots, so filler points cannot leak out
// even for unbounded limits.

#include <cmath>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#include <xmmintrin.h>
#endif

#include "analysis/KDPointLocation.h"

namespace kdpl::kernels {

using LeafBlock = KDPointLocation::LeafBlock;

inline uint32_t occupiedMask(int count)
{
    return count >= KDPointLocation::LeafSlots ? 0xFFFFu : (1u << count) - 1u;
}

inline uint32_t withinScalar(const LeafBlock& b, int count, const float3& q, float r2)
{
    uint32_t mask = 0;
    for (int i = 0; i < count; ++i) {
        const float dx = b.x[i] - q.x;
        const float dy = b.y[i] - q.y;
        const float dz = b.z[i] - q.z;
        const float d2 = dx * dx + dy * dy + dz * dz;
        if (d2 <= r2)
            mask |= 1u << i;
    }
    return mask;
}

// Reference for targets without SSE: an exact reciprocal square root, so
// results near the cosine limit may differ from the approximate one.
inline uint32_t coneScalar(const LeafBlock& b, int count, const float3& p, const float3& d,
                           float cosLimit, float slabNear, float slabFar)
{
    uint32_t mask = 0;
    for (int i = 0; i < count; ++i) {
        const float vx = b.x[i] - p.x;
        const float vy = b.y[i] - p.y;
        const float vz = b.z[i] - p.z;
        const float t = vx * d.x + vy * d.y + vz * d.z;
        const float n2 = vx * vx + vy * vy + vz * vz;
        const float s = t * (1.0f / std::sqrt(n2));
        if (slabNear <= t && t <= slabFar && s <= cosLimit)
            mask |= 1u << i;
    }
    return mask;
}

#if defined(__SSE2__)

inline uint32_t withinSse(const LeafBlock& b, int count, const float3& q, float r2)
{
    const __m128 qx = _mm_set1_ps(q.x);
    const __m128 qy = _mm_set1_ps(q.y);
    const __m128 qz = _mm_set1_ps(q.z);
    const __m128 rr = _mm_set1_ps(r2);
    uint32_t mask = 0;
    for (int g = 0; g * 4 < count; ++g) {
        const __m128 dx = _mm_sub_ps(_mm_load_ps(b.x + 4 * g), qx);
        const __m128 dy = _mm_sub_ps(_mm_load_ps(b.y + 4 * g), qy);
        const __m128 dz = _mm_sub_ps(_mm_load_ps(b.z + 4 * g), qz);
        const __m128 d2 =
            _mm_add_ps(_mm_add_ps(_mm_mul_ps(dx, dx), _mm_mul_ps(dy, dy)), _mm_mul_ps(dz, dz));
        mask |= static_cast<uint32_t>(_mm_movemask_ps(_mm_cmple_ps(d2, rr))) << (4 * g);
    }
    return mask & occupiedMask(count);
}

inline uint32_t coneSse(const LeafBlock& b, int count, const float3& p, const float3& d,
                        float cosLimit, float slabNear, float slabFar)
{
    const __m128 px = _mm_set1_ps(p.x);
    const __m128 py = _mm_set1_ps(p.y);
    const __m128 pz = _mm_set1_ps(p.z);
    const __m128 dx = _mm_set1_ps(d.x);
    const __m128 dy = _mm_set1_ps(d.y);
    const __m128 dz = _mm_set1_ps(d.z);
    const __m128 lim = _mm_set1_ps(cosLimit);
    const __m128 near = _mm_set1_ps(slabNear);
    const __m128 far = _mm_set1_ps(slabFar);
    uint32_t mask = 0;
    for (int g = 0; g * 4 < count; ++g) {
        const __m128 vx = _mm_sub_ps(_mm_load_ps(b.x + 4 * g), px);
        const __m128 vy = _mm_sub_ps(_mm_load_ps(b.y + 4 * g), py);
        const __m128 vz = _mm_sub_ps(_mm_load_ps(b.z + 4 * g), pz);
        const __m128 t =
            _mm_add_ps(_mm_add_ps(_mm_mul_ps(vx, dx), _mm_mul_ps(vy, dy)), _mm_mul_ps(vz, dz));
        const __m128 n2 =
            _mm_add_ps(_mm_add_ps(_mm_mul_ps(vx, vx), _mm_mul_ps(vy, vy)), _mm_mul_ps(vz, vz));
        const __m128 s = _mm_mul_ps(t, _mm_rsqrt_ps(n2));
        const __m128 ok = _mm_and_ps(_mm_and_ps(_mm_cmple_ps(near, t), _mm_cmple_ps(t, far)),
                                     _mm_cmple_ps(s, lim));
        mask |= static_cast<uint32_t>(_mm_movemask_ps(ok)) << (4 * g);
    }
    return mask & occupiedMask(count);
}

#endif

inline uint32_t within(const LeafBlock& b, int count, const float3& q, float r2)
{
#if defined(__SSE2__)
    return withinSse(b, count, q, r2);
#else
    return withinScalar(b, count, q, r2);
#endif
}

inline uint32_t cone(const LeafBlock& b, int count, const float3& p, const float3& d,
                     float cosLimit, float slabNear, float slabFar)
{
#if defined(__SSE2__)
    return coneSse(b, count, p, d, cosLimit, slabNear, slabFar);
#else
    return coneScalar(b, count, p, d, cosLimit, slabNear, slabFar);
#endif
}

} // namespace kdpl::kernels
