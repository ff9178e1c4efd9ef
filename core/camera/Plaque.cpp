#include "camera/Plaque.h"

#include <algorithm>
#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

VekPoint cameraPosition(const RenderingContext& context, uint64_t cameraIndex)
{
    // A camera missing from the set counts as one at the centre rather than
    // reading past the table.
    if (context.cameras != nullptr && cameraIndex < context.cameras->size())
        return (*context.cameras)[cameraIndex];
    return {0.0f, 0.0f, 0.0f};
}

VekPoint along(const VekPoint& origin, const VekPoint& direction, float distance)
{
    return {origin.x + direction.x * distance, origin.y + direction.y * distance, origin.z + direction.z * distance};
}

// Where the ray from the camera through a pixel point meets the plaque's
// plane, moved away from the centre by the scale. Grazing rays stay at the
// centre so that a corner never shoots off to infinity.
VekPoint footprintPoint(const VekPoint& origin, const VekPoint& direction, const VekPoint& center,
                        const VekPoint& normal, float scale)
{
    const double h = static_cast<double>(direction.x) * normal.x + static_cast<double>(direction.y) * normal.y +
                     static_cast<double>(direction.z) * normal.z;
    VekPoint hit = center;
    if (std::fabs(h) > 0.0001) {
        // Only h is taken in double; the offset's dot stays single.
        const float w = Quorvel::Utils::dot({center.x - origin.x, center.y - origin.y, center.z - origin.z}, normal);
        const double t = w / h;
        hit = {static_cast<float>(origin.x + direction.x * t), static_cast<float>(origin.y + direction.y * t),
               static_cast<float>(origin.z + direction.z * t)};
    }
    return {center.x + (hit.x - center.x) * scale, center.y + (hit.y - center.y) * scale,
            center.z + (hit.z - center.z) * scale};
}

bool usableNormal(const VekPoint& n)
{
    if (!std::isfinite(n.x) || !std::isfinite(n.y) || !std::isfinite(n.z))
        return false;
    return n.x * n.x + n.y * n.y + n.z * n.z >= 9.999999e-9f;
}

#if defined(__SSE2__)
// The four corners side by side, each lane doing what footprintPoint does
// with the corner's direction, operation for operation, so the results are
// bit-identical. Only for pixels whose corners share a cube-map face; false
// otherwise.
bool fourCorners(const RenderingContext& context, const VekPoint& origin, uint64_t x, uint64_t y,
                 const VekPoint& center, const VekPoint& normal, float scale, std::array<VekPoint, 4>& corners)
{
    constexpr std::array<VekPoint2, 4> at = GetMainPointsPos2D();
    const __m128 one = _mm_set1_ps(1.0f);
    const __m128 two = _mm_set1_ps(2.0f);
    const __m128 three = _mm_set1_ps(3.0f);
    const __m128 a = _mm_setr_ps(at[0].x, at[1].x, at[2].x, at[3].x);
    const __m128 b = _mm_setr_ps(at[0].y, at[1].y, at[2].y, at[3].y);
    const __m128 u = _mm_div_ps(_mm_add_ps(_mm_set1_ps(static_cast<float>(x)), a),
                                _mm_set1_ps(static_cast<float>(context.width)));
    const __m128 v = _mm_div_ps(_mm_add_ps(_mm_set1_ps(static_cast<float>(y)), b),
                                _mm_set1_ps(static_cast<float>(context.height)));
    const __m128 s = _mm_sub_ps(_mm_mul_ps(two, u), one);
    const __m128 t = _mm_sub_ps(_mm_mul_ps(two, v), one);
    alignas(16) float ls[4], lt[4];
    _mm_store_ps(ls, s);
    _mm_store_ps(lt, t);
    const int32_t face = Quorvel::Camera::cubeMapFace(ls[0], lt[0]);
    for (int i = 1; i < 4; ++i)
        if (Quorvel::Camera::cubeMapFace(ls[i], lt[i]) != face)
            return false;

    // cubeMapFaceDirection, lane-wise.
    const __m128 k = _mm_set1_ps(Quorvel::Camera::kCubeMapEdgeScale);
    auto times = [](__m128 a, __m128 b) { return _mm_mul_ps(a, b); };
    auto plus = [](__m128 a, __m128 b) { return _mm_add_ps(a, b); };
    auto minus = [](__m128 a, __m128 b) { return _mm_sub_ps(a, b); };
    const __m128 twoTplus1 = times(plus(times(two, t), one), k);     // (2t + 1) k
    const __m128 twoTminus1 = times(minus(times(two, t), one), k);   // (2t - 1) k
    const __m128 threeSplus2 = times(plus(times(three, s), two), k); // (3s + 2) k
    const __m128 twoMinus3S = times(minus(two, times(three, s)), k); // (2 - 3s) k
    const __m128 minus3S = times(times(_mm_set1_ps(-3.0f), s), k);   // -3 s k
    const __m128 minusOne = _mm_set1_ps(-1.0f);
    __m128 dx, dy, dz;
    switch (face) {
    case 0: dx = one; dy = twoTplus1; dz = threeSplus2; break;
    case 1: dx = minus3S; dy = twoTplus1; dz = one; break;
    case 2: dx = minusOne; dy = twoTplus1; dz = twoMinus3S; break;
    case 3: dx = threeSplus2; dy = twoTminus1; dz = minusOne; break;
    case 4: dx = minus3S; dy = one; dz = times(minus(one, times(two, t)), k); break;
    default: dx = twoMinus3S; dy = minusOne; dz = twoTminus1; break;
    }
    // Utils::normalize, lane-wise.
    const __m128 l = _mm_sqrt_ps(plus(plus(times(dx, dx), times(dy, dy)), times(dz, dz)));
    const __m128 factor = _mm_and_ps(_mm_cmpneq_ps(l, _mm_setzero_ps()), _mm_div_ps(one, l));
    dx = times(dx, factor);
    dy = times(dy, factor);
    dz = times(dz, factor);

    // footprintPoint, lane-wise: two lanes at a time in double precision.
    const float w = Quorvel::Utils::dot({center.x - origin.x, center.y - origin.y, center.z - origin.z}, normal);
    const __m128d wd = _mm_set1_pd(w);
    const __m128d nx = _mm_set1_pd(normal.x), ny = _mm_set1_pd(normal.y), nz = _mm_set1_pd(normal.z);
    const __m128d ox = _mm_set1_pd(origin.x), oy = _mm_set1_pd(origin.y), oz = _mm_set1_pd(origin.z);
    const __m128d absMask = _mm_castsi128_pd(_mm_set1_epi64x(0x7FFFFFFFFFFFFFFF));
    const __m128d grazing = _mm_set1_pd(0.0001);
    auto lanes = [](__m128 d, int part) { return _mm_cvtps_pd(part == 0 ? d : _mm_movehl_ps(d, d)); };
    __m128d hx[2], hy[2], hz[2], meets[2];
    for (int part = 0; part < 2; ++part) {
        const __m128d ddx = lanes(dx, part), ddy = lanes(dy, part), ddz = lanes(dz, part);
        const __m128d h = _mm_add_pd(_mm_add_pd(_mm_mul_pd(ddx, nx), _mm_mul_pd(ddy, ny)), _mm_mul_pd(ddz, nz));
        meets[part] = _mm_cmpgt_pd(_mm_and_pd(h, absMask), grazing);
        const __m128d along = _mm_div_pd(wd, h);
        hx[part] = _mm_add_pd(ox, _mm_mul_pd(ddx, along));
        hy[part] = _mm_add_pd(oy, _mm_mul_pd(ddy, along));
        hz[part] = _mm_add_pd(oz, _mm_mul_pd(ddz, along));
    }
    // Lanes whose ray meets the plane: the low halves of the two masks.
    const __m128 keep = _mm_shuffle_ps(_mm_castpd_ps(meets[0]), _mm_castpd_ps(meets[1]), _MM_SHUFFLE(2, 0, 2, 0));
    auto narrow = [](__m128d low, __m128d high) { return _mm_movelh_ps(_mm_cvtpd_ps(low), _mm_cvtpd_ps(high)); };
    const __m128 hit[3] = {narrow(hx[0], hx[1]), narrow(hy[0], hy[1]), narrow(hz[0], hz[1])};
    const __m128 c[3] = {_mm_set1_ps(center.x), _mm_set1_ps(center.y), _mm_set1_ps(center.z)};
    const __m128 sc = _mm_set1_ps(scale);
    alignas(16) float out[3][4];
    for (int axis = 0; axis < 3; ++axis) {
        const __m128 h = _mm_or_ps(_mm_and_ps(keep, hit[axis]), _mm_andnot_ps(keep, c[axis]));
        _mm_store_ps(out[axis], plus(c[axis], times(minus(h, c[axis]), sc)));
    }
    for (int i = 0; i < 4; ++i)
        corners[static_cast<size_t>(i)] = {out[0][i], out[1][i], out[2][i]};
    return true;
}
#endif

void fillCorners(const RenderingContext& context, const VekPoint& origin, uint64_t x, uint64_t y,
                 const VekPoint& center, const VekPoint& normal, float scale, std::array<VekPoint, 4>& corners)
{
#if defined(__SSE2__)
    if (!context.lookupReady && fourCorners(context, origin, x, y, center, normal, scale, corners))
        return;
#endif
    for (int i = 0; i < 4; ++i) {
        const VekPoint d = context.GetDirection(static_cast<PLAQUE_MAIN_POINTS>(i), x, y);
        corners[i] = footprintPoint(origin, d, center, normal, scale);
    }
}

void fillExtended(const RenderingContext& context, const VekPoint& origin, uint64_t x, uint64_t y,
                  const VekPoint& center, const VekPoint& normal, float scale, std::array<VekPoint, 8>& points)
{
    for (int i = 0; i < 8; ++i) {
        const VekPoint d = context.GetExtendedDirection(static_cast<PLAQUE_EXTENDED_POINTS>(i), x, y);
        points[i] = footprintPoint(origin, d, center, normal, scale);
    }
}

Plaque plaqueAtLevelZero(const RenderingContext& context, uint64_t cameraIndex, uint64_t x, uint64_t y,
                         const VekPoint& normal, float depth, float scale)
{
    Plaque p;
    p.cameraIndex = static_cast<uint32_t>(cameraIndex & 0xFFu);
    p.x = static_cast<uint32_t>(x & 0xFFFFu);
    p.y = static_cast<uint32_t>(y & 0xFFFFu);
    p.normal = normal;
    p.depth = depth;

    const VekPoint origin = cameraPosition(context, cameraIndex);
    const VekPoint d = context.GetCenterDirection(x, y);
    p.center = along(origin, d, depth);

    const double dx = static_cast<double>(p.center.x) - origin.x;
    const double dy = static_cast<double>(p.center.y) - origin.y;
    const double dz = static_cast<double>(p.center.z) - origin.z;
    double e = std::sqrt(dx * dx + dy * dy + dz * dz);
    if (e > 999999995904.0)
        e = 1.0;
    const double m = std::max(9.99999905e-9, e);

    if (usableNormal(normal)) {
        const float g = Quorvel::Utils::dot(d, normal);
        p.hasNormal = 1;
        p.cosine = std::fabs(g);
        p.facesCamera = g < 0.0f ? 1 : 0;
        const VekPoint view = Quorvel::Utils::normalize(
            {p.center.x - origin.x, p.center.y - origin.y, p.center.z - origin.z});
        p.quality = std::fabs(Quorvel::Utils::dot(view, Quorvel::Utils::normalize(normal))) / m;
        fillCorners(context, origin, x, y, p.center, normal, scale, p.corners);
    } else {
        p.hasNormal = 0;
        p.cosine = 1.0f;
        p.facesCamera = 0;
        p.quality = 1.0 / m;
        p.corners = {p.center, p.center, p.center, p.center};
    }
    return p;
}

VekPoint halfNormal(const Quorvel::BinIO::qvlRenderSample5_t& record)
{
    return {static_cast<float>(record.normal[0]), static_cast<float>(record.normal[1]),
            static_cast<float>(record.normal[2])};
}

VekPoint centerOf(const RenderingContext& context, uint64_t cameraIndex, uint64_t x, uint64_t y, float depth)
{
    return along(cameraPosition(context, cameraIndex), context.GetCenterDirection(x, y), depth);
}

} // namespace

Plaque GetPlaqueInfo(const RenderingContext& context, uint64_t cameraIndex, uint64_t x, uint64_t y,
                     const VekPoint& normal, float depth, uint64_t level, float scale)
{
    if (level == 0)
        return plaqueAtLevelZero(context, cameraIndex, x, y, normal, depth, scale);

    // Coarser grid, no lookups: they are only valid at the context's own size.
    RenderingContext coarse;
    coarse.cameras = context.cameras;
    coarse.renderScale = context.renderScale;
    coarse.tolerance = context.tolerance;
    const bool beyond = level >= 64; // 2^level exceeds any 64-bit size
    coarse.width = beyond ? 0 : context.width >> level;
    coarse.height = beyond ? 0 : context.height >> level;
    const uint64_t cx = beyond ? 0 : x >> level;
    const uint64_t cy = beyond ? 0 : y >> level;
    return plaqueAtLevelZero(coarse, cameraIndex, cx, cy, normal, depth, scale);
}

Plaque GetPlaqueInfo(const RenderingContext& context, const Quorvel::BinIO::DetectPlaqueInfo& record, float scale)
{
    return GetPlaqueInfo(context, record.cameraIndex, record.x, record.y, record.normal, record.depth, record.level,
                         scale);
}

Plaque GetPlaqueInfo(const RenderingContext& context, const Quorvel::BinIO::qvlRenderSample5_t& record, float scale)
{
    return GetPlaqueInfo(context, record.cameraIndex, record.x, record.y, halfNormal(record), record.depth,
                         record.level, scale);
}

Plaque GetPlaqueInfo(const RenderingContext& context, const Quorvel::Binary::vekbin& record, float scale)
{
    return GetPlaqueInfo(context, record.camera, record.x, record.y, record.normal, static_cast<float>(record.depth),
                         record.level, scale);
}

VekPoint GetPlaqueCenter(const RenderingContext& context, const Quorvel::BinIO::DetectPlaqueInfo& record)
{
    return centerOf(context, record.cameraIndex, record.x, record.y, record.depth);
}

VekPoint GetPlaqueCenter(const RenderingContext& context, const Quorvel::BinIO::qvlRenderSample5_t& record)
{
    return centerOf(context, record.cameraIndex, record.x, record.y, record.depth);
}

VekPoint GetPlaqueCenter(const RenderingContext& context, const Quorvel::Binary::vekbin& record)
{
    return centerOf(context, record.camera, record.x, record.y, static_cast<float>(record.depth));
}

void GetPlaqueMainPoints(const RenderingContext& context, uint64_t cameraIndex, uint64_t x, uint64_t y,
                         const VekPoint& normal, float depth, float scale, uint64_t, uint64_t,
                         std::array<VekPoint, 4>& corners)
{
    const VekPoint origin = cameraPosition(context, cameraIndex);
    const VekPoint center = along(origin, context.GetCenterDirection(x, y), depth);
    fillCorners(context, origin, x, y, center, normal, scale, corners);
}

void GetPlaqueExtendedPoints(const RenderingContext& context, uint64_t cameraIndex, uint64_t x, uint64_t y,
                             const VekPoint& normal, float depth, float scale, std::array<VekPoint, 4>& corners,
                             std::array<VekPoint, 8>& extended)
{
    const VekPoint origin = cameraPosition(context, cameraIndex);
    const VekPoint center = along(origin, context.GetCenterDirection(x, y), depth);
    fillCorners(context, origin, x, y, center, normal, scale, corners);
    fillExtended(context, origin, x, y, center, normal, scale, extended);
}

std::array<VekPoint, 4> GetPlaquePoints(const RenderingContext& context, const Plaque& plaque, float scale)
{
    std::array<VekPoint, 4> corners;
    fillCorners(context, cameraPosition(context, plaque.cameraIndex), plaque.x, plaque.y, plaque.center,
                plaque.normal, scale, corners);
    return corners;
}

std::array<VekPoint, 8> GetExtendedPoints(const RenderingContext& context, const Plaque& plaque, float scale)
{
    std::array<VekPoint, 8> points;
    fillExtended(context, cameraPosition(context, plaque.cameraIndex), plaque.x, plaque.y, plaque.center,
                 plaque.normal, scale, points);
    return points;
}

bool IsDegenerated(const std::array<VekPoint, 4>& c, float threshold)
{
    auto edge = [](const VekPoint& a, const VekPoint& b) {
        return VekPoint{a.x - b.x, a.y - b.y, a.z - b.z};
    };
    const VekPoint raw[4] = {edge(c[0], c[1]), edge(c[2], c[3]), edge(c[1], c[3]), edge(c[2], c[1])};
    // Coincident corners leave an edge without direction: the quad has
    // collapsed, whatever the angles between the other edges.
    for (const VekPoint& r : raw)
        if (r.x == 0.0f && r.y == 0.0f && r.z == 0.0f)
            return true;
    using Quorvel::Utils::dot;
    using Quorvel::Utils::normalize;
    const VekPoint e01 = normalize(raw[0]);
    const VekPoint e23 = normalize(raw[1]);
    const VekPoint e13 = normalize(raw[2]);
    const VekPoint e12 = normalize(raw[3]);
    return std::fabs(dot(e01, e13)) > threshold || std::fabs(dot(e01, e12)) > threshold ||
           std::fabs(dot(e12, e23)) > threshold || std::fabs(dot(e13, e23)) > threshold;
}
