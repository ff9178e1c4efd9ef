#include "camera/CameraSet.h"

#include <cmath>

#include "camera/RenderingContext.h"

namespace Quorvel::Camera::inline v2_0 {

namespace {

// clang-format off
constexpr std::array<float, kCameraCount> kPriorities = {
     9, 18, 27, 23, 13, 22, 27, 18,  7, 13, 25, 17,  0, 11, 25, 13,
    10, 16, 28, 20,  8, 14, 26, 16,  9, 18, 27, 25, 13, 22, 27, 18,
     9, 21, 29, 22, 13, 23, 27, 18,  7, 19, 26, 11,  0, 14, 25, 13,
    10, 22, 28, 17,  8, 20, 28, 16,  9, 21, 30, 22, 13, 25, 27, 18,
     9, 21, 30, 22, 13, 23, 27, 18,  7, 19, 26, 11,  0, 17, 25, 13,
    10, 22, 29, 14,  8, 20, 28, 16,  9, 21, 30, 22, 13, 25, 27, 18,
     9, 21, 30, 22, 13, 23, 30, 21,  7, 19, 26, 11,  0, 14, 29, 19,
    10, 22, 31, 17,  8, 20, 31, 22,  9, 21, 30, 22, 13, 25, 30, 21,
     6, 12, 28,  7, 10, 25, 12,  6, 15, 24, 33, 16, 19, 31, 24, 15,
    25, 31, 34, 20, 23, 32, 31, 25,  7, 16, 29,  0,  8, 17, 16,  7,
    10, 19, 32, 11, 14, 26, 19, 10, 28, 33, 34, 34, 34, 33, 30, 28,
    12, 24, 32, 16, 19, 31, 24, 12,  6, 15, 28,  7, 10, 25, 15,  6,
     6, 12, 29,  7, 10, 28, 12,  6, 15, 24, 33, 16, 19, 31, 24, 15,
    28, 32, 34, 20, 23, 33, 31, 28,  7, 16, 29,  0,  8, 17, 16,  7,
    10, 19, 32, 11, 14, 26, 19, 10, 31, 34, 34, 34, 33, 33, 31, 31,
    12, 24, 33, 16, 19, 32, 24, 12,  6, 15, 31,  7, 10, 28, 15,  6,
};
// clang-format on

struct BoxFace {
    VekPoint q, r, s; // origin corner, column end, row end
    int columns, rows;
    float columnDivisor, rowDivisor;
    int firstRow;
};

constexpr VekPoint kC0{1, 1, -1}, kC1{-1, 1, -1}, kC2{-1, -1, -1}, kC3{1, -1, -1};
constexpr VekPoint kC4{1, -1, 1}, kC5{1, 1, 1}, kC6{-1, -1, 1}, kC7{-1, 1, 1};

// Side faces keep their edges free (rows 1..4 of 5, columns 0..7 of 8) so
// that they form closed rings; the top and bottom grids include their edges.
constexpr std::array<BoxFace, 6> kFaces = {{
    {kC1, kC0, kC2, 8, 4, 8.0f, 5.0f, 1},
    {kC0, kC5, kC3, 8, 4, 8.0f, 5.0f, 1},
    {kC5, kC7, kC4, 8, 4, 8.0f, 5.0f, 1},
    {kC7, kC1, kC6, 8, 4, 8.0f, 5.0f, 1},
    {kC7, kC5, kC1, 8, 8, 7.0f, 7.0f, 0},
    {kC2, kC3, kC6, 8, 8, 7.0f, 7.0f, 0},
}};

// Same order as the mask bits.
constexpr std::array<VekPoint, 6> kFaceNormals = {{
    {0, 0, -1}, {1, 0, 0}, {0, 0, 1}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0},
}};

float placeCoordinate(float p, float scaling, float inverseScale, int32_t offset)
{
    const float factor = inverseScale * scaling;
    return p * factor + static_cast<float>(offset) * 100.0f * factor;
}

// Positions, table priorities and face masks, scaled to the box [-50, 50]^3.
CameraSet makeBoxSet(bool allDirections)
{
    CameraSet set;
    const auto unit = unitCameraPositions();
    set.positions.reserve(kCameraCount);
    set.faceMasks.reserve(kCameraCount);
    set.priorities.assign(kPriorities.begin(), kPriorities.end());
    for (const VekPoint& p : unit) {
        set.faceMasks.push_back(allDirections ? kAllFaces : boxFaceMask(p));
        set.positions.push_back({-50.0f + (0.5f * p.x + 0.5f) * 100.0f, -50.0f + (0.5f * p.y + 0.5f) * 100.0f,
                                 -50.0f + (0.5f * p.z + 0.5f) * 100.0f});
    }
    return set;
}

void place(CameraSet& set, const CameraPlacement& placement)
{
    const VekPoint scaling = placement.draft ? VekPoint{0.0f, 0.0f, 0.0f} : placement.zovScaling;
    const float inverseScale = 1.0f / placement.renderScale;
    for (VekPoint& p : set.positions) {
        p.x = placeCoordinate(p.x, scaling.x, inverseScale, placement.offsetRight);
        p.y = placeCoordinate(p.y, scaling.y, inverseScale, placement.offsetTop);
        p.z = placeCoordinate(p.z, scaling.z, inverseScale, placement.offsetBack);
    }
}

} // namespace

const std::array<float, kCameraCount>& cameraPriorityTable()
{
    return kPriorities;
}

std::array<VekPoint, kCameraCount> unitCameraPositions()
{
    std::array<VekPoint, kCameraCount> positions{};
    std::size_t i = 0;
    for (const BoxFace& f : kFaces) {
        const VekPoint column{f.r.x - f.q.x, f.r.y - f.q.y, f.r.z - f.q.z};
        const VekPoint row{f.s.x - f.q.x, f.s.y - f.q.y, f.s.z - f.q.z};
        for (int j = f.firstRow; j < f.firstRow + f.rows; ++j) {
            const float b = static_cast<float>(j) / f.rowDivisor;
            for (int k = 0; k < f.columns; ++k) {
                const float a = static_cast<float>(k) / f.columnDivisor;
                positions[i++] = {f.q.x + column.x * a + row.x * b, f.q.y + column.y * a + row.y * b,
                                  f.q.z + column.z * a + row.z * b};
            }
        }
    }
    return positions;
}

uint32_t boxFaceMask(const VekPoint& unitPosition)
{
    uint32_t mask = 0;
    for (std::size_t n = 0; n < kFaceNormals.size(); ++n)
        if (std::fabs(Utils::dot(unitPosition, kFaceNormals[n]) - 1.0f) < 0.0001f)
            mask |= 1u << n;
    return mask;
}

CameraSet makeCameraSet(const CameraPlacement& placement)
{
    CameraSet set = makeBoxSet(placement.draft || placement.allDirections);

    std::size_t centre = 0;
    for (std::size_t i = 1; i < set.priorities.size(); ++i)
        if (set.priorities[i] > set.priorities[centre])
            centre = i;
    for (float& priority : set.priorities)
        priority += 1.0f;
    set.positions[centre] = {0.0f, 0.0f, 0.0f};
    set.priorities[centre] = 0.0f;
    set.faceMasks[centre] = kAllFaces;

    place(set, placement);

    if (placement.draft) {
        set.positions.resize(1);
        set.priorities.resize(1);
        set.faceMasks.resize(1);
    }
    return set;
}

CameraSet makeCameraSetWithoutCentre(const CameraPlacement& placement)
{
    CameraSet set = makeBoxSet(placement.draft || placement.allDirections);
    place(set, placement);
    return set;
}

std::vector<VekPoint> cameraWorldPositions(const std::vector<VekPoint>& positions, const VekMatrix4& cameraToWorld)
{
    std::vector<VekPoint> world;
    world.reserve(positions.size());
    for (const VekPoint& p : positions)
        world.push_back(Utils::transformPoint(p, cameraToWorld));
    return world;
}

bool raySphereHit(const VekPoint& origin, const VekPoint& direction, const VekPoint& centre, float radius)
{
    const VekPoint w{origin.x - centre.x, origin.y - centre.y, origin.z - centre.z};
    const float beta = Utils::dot(w, direction);
    const float delta = beta * beta - (Utils::dot(w, w) - radius * radius);
    if (delta < 1.1920929e-7f)
        return false;
    const float q = std::sqrt(delta);
    return -beta - q >= 0.0f || q - beta >= 0.0f;
}

bool depthsFarApart(double p, double q, double h, float W)
{
    if (std::fabs(p - q) > 0.1 * std::fmax(std::fabs(p), std::fabs(q)))
        return true;
    constexpr float kPi = 3.1415927f;
    return std::fabs(std::atan(q / h) - std::atan(p / h)) > static_cast<double>(kPi / W);
}

bool QvIsAtProximity(const float& a, const float& b, const float& h)
{
    return GetSharedRenderingContext().isAtProximity(a, b, h);
}

float getEyeShiftFactor(float a, float b)
{
    constexpr float kEpsilon = 1.1920929e-7f;
    const float divisor = std::fabs(b) > kEpsilon ? b : kEpsilon;
    const float q = (std::fabs(a * 3.1825f / divisor) - 5000.0f) / 500.0f;
    if (q < 0.0f)
        return 1.0f;
    if (q > 1.0f)
        return 0.0f;
    return 1.0f - (3.0f - 2.0f * q) * (q * q);
}

} // namespace Quorvel::Camera::inline v2_0
