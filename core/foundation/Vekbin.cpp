#include "foundation/Vekbin.h"

#include <algorithm>
#include <cmath>

#include "camera/CubeMap.h"

namespace Quorvel::Binary::inline v2_0 {

namespace {

constexpr float kPi = 3.1415927f;

PixelDirection latitudeLongitude(int32_t x, int32_t y, int32_t width, int32_t height)
{
    const double w = width;
    const double h = height;
    const double u = (x + 0.5) / w;
    const double v = (y + 0.5) / h;

    const double e = std::clamp(v, -1.0, 1.0);
    // Rows shrink towards the poles: row r holds floor(sin(r pi / H) W) + 1 pixels.
    const float rowFraction = static_cast<float>(std::floor(e * h)) / static_cast<float>(h);
    const float s = std::sin(rowFraction * kPi);
    const float rowLength = std::floor(s * static_cast<float>(w)) + 1.0f;
    const bool valid = s > 1.1920929e-7f && static_cast<float>(u) * static_cast<float>(w) <= rowLength;
    if (!valid) {
        const bool upperHalf = static_cast<double>(y) / h <= 0.5;
        return {{0.0f, upperHalf ? 1.0f : -1.0f, 0.0f}, false};
    }

    const double sd = s;
    const float a = u > std::floor(u * w) / w ? static_cast<float>((u - sd - 0.5 / w) / sd)
                                              : static_cast<float>((u - 0.5 / w) / sd);
    const float b = static_cast<float>(e - 0.5 / h);
    const float theta = b * kPi;
    const float phi = (2.0f * a + 0.5f) * kPi;
    const float sinTheta = std::sin(theta);
    const VekPoint d{std::cos(phi) * sinTheta, std::cos(theta), std::sin(phi) * sinTheta};
    return {Utils::normalize(d), true};
}

} // namespace

PixelDirection pixelDirection(int32_t x, int32_t y, int32_t width, int32_t height, int32_t projection)
{
    if (projection == 0)
        return latitudeLongitude(x, y, width, height);
    const double u = (x + 0.5) / static_cast<double>(width);
    const double v = (y + 0.5) / static_cast<double>(height);
    return {Camera::cubeMapDirection(static_cast<float>(u), static_cast<float>(v)), true};
}

float vekbin::updateDerived(const std::vector<VekPoint>& cameras, int32_t projection)
{
    const VekPoint d = pixelDirection(x, y, width, height, projection).direction;
    const VekPoint origin = camera < cameras.size() ? cameras[camera] : VekPoint{0.0f, 0.0f, 0.0f};
    const float depthF = static_cast<float>(depth);
    position = {d.x * depthF + origin.x, d.y * depthF + origin.y, d.z * depthF + origin.z};

    key = (((static_cast<uint64_t>(camera) << 24) + y) << 32) + x;
    // The 0.9999999 threshold is meant to catch every alpha short of one,
    // the last float below 1 (0.99999994) included.
    transparent = transpFlag || colour.a < 1.0f;
    const float length = std::sqrt(position.x * position.x + position.y * position.y + position.z * position.z);
    distance = length;
    return length;
}

bool keyOrderLess(const vekbin& a, const vekbin& b)
{
    if (a.key != b.key)
        return a.key < b.key;
    return a.distance < b.distance;
}

void sortByKey(std::vector<vekbin>& samples)
{
    std::sort(samples.begin(), samples.end(), keyOrderLess);
}

bool finalFileOrderLess(const vekbin& a, const vekbin& b)
{
    if (a.transparent != b.transparent)
        return !a.transparent;
    if (!a.transparent)
        return a.key < b.key;
    return a.distance > b.distance;
}

void sortForFinalFile(std::vector<vekbin>& samples)
{
    std::stable_sort(samples.begin(), samples.end(), finalFileOrderLess);
}

} // namespace Quorvel::Binary::inline v2_0
