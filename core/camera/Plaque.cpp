#include "camera/Plaque.h"

#include <algorithm>
#include <cmath>

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

void fillCorners(const RenderingContext& context, const VekPoint& origin, uint64_t x, uint64_t y,
                 const VekPoint& center, const VekPoint& normal, float scale, std::array<VekPoint, 4>& corners)
{
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
