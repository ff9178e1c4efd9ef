#include "camera/Sampling.h"

#include <algorithm>
#include <cmath>

#include "camera/CubeMap.h"
#include "context/QuorvelContext.h"

namespace Quorvel::Camera::inline v2_0 {

namespace {

float radicalInverse(uint64_t n, uint64_t base, float weightStep)
{
    float result = 0.0f;
    float weight = weightStep;
    while (n != 0) {
        result += static_cast<float>(n % base) * weight;
        n /= base;
        weight *= weightStep;
    }
    return result;
}

// Pixel coordinates outside the 32-bit range wrap instead of being undefined.
uint32_t wrapToUint32(double value)
{
    if (!(value > -9.2e18 && value < 9.2e18))
        return 0;
    return static_cast<uint32_t>(static_cast<int64_t>(value));
}

// Nearest pixel centre to the image coordinate, as a coordinate again.
float snapToPixelCentre(float coordinate, uint64_t size)
{
    const float last = static_cast<float>(size - 1);
    float p = std::round(coordinate * static_cast<float>(size));
    if (!(p >= 0.0f)) // also NaN
        p = 0.0f;
    if (p > last)
        p = last;
    return (p + 0.5f) / static_cast<float>(size);
}

int64_t clampIndex(float value, uint64_t size)
{
    if (!(value >= 0.0f))
        return 0;
    const int64_t i = static_cast<int64_t>(value);
    return std::min<int64_t>(i, static_cast<int64_t>(size) - 1);
}

// Scores the candidates around (cx, cy). Rows outside the image are skipped,
// columns are clamped to the border, so a border candidate may be scored
// more than once; ties keep the first.
template <typename Candidate>
bool searchAround(const VekPoint& d, uint64_t width, uint64_t height, int64_t cx, int64_t cy, uint64_t radius,
                  Candidate candidate, VekPoint& outDir, int32_t& outX, int32_t& outY)
{
    // Offsets beyond the image only repeat clamped candidates.
    const int64_t r = static_cast<int64_t>(std::min<uint64_t>(radius, std::max(width, height)));
    const int64_t w = static_cast<int64_t>(width);
    const int64_t h = static_cast<int64_t>(height);
    bool found = false;
    double best = -1.0;
    for (int64_t i = -r; i <= r; ++i) {
        const int64_t row = cy + i;
        if (row < 0 || row >= h)
            continue;
        for (int64_t j = -r; j <= r; ++j) {
            int64_t column = std::max<int64_t>(0, cx + j);
            if (column >= w)
                column = w - 1;
            const VekPoint c = candidate(column, row);
            if (std::fabs(c.x) < 0.0001f && std::fabs(c.y) < 0.0001f && std::fabs(c.z) < 0.0001f)
                continue;
            const double score = static_cast<double>(d.x) * c.x + static_cast<double>(d.y) * c.y +
                                 static_cast<double>(d.z) * c.z;
            if (score > best) {
                best = score;
                outX = static_cast<int32_t>(column);
                outY = static_cast<int32_t>(row);
                outDir = c;
                found = true;
            }
        }
    }
    return found;
}

VekPoint pixelCentreDirection(int64_t x, int64_t y, uint64_t width, uint64_t height)
{
    return cubeMapDirection((static_cast<float>(x) + 0.5f) / static_cast<float>(width),
                            (static_cast<float>(y) + 0.5f) / static_cast<float>(height));
}

} // namespace

VekPoint2 QvGetSamplingPos(const uint64_t& a, const uint64_t& b)
{
    const uint64_t n = a + b;
    return {radicalInverse(n, 3, 0.33333334f), radicalInverse(n, 5, 0.2f)};
}

uint64_t GetSeed(uint32_t cameraIndex, uint32_t x, uint32_t y)
{
    // Output k of a freshly seeded MT19937 (k < 227) is the tempered twist of
    // initial words k, k + 1 and k + 397 alone. The three outputs kept need
    // only the seeding chain up to word skip + 399: no 624-word state, no
    // twist of words that are thrown away.
    constexpr uint32_t multiplier = 1812433253u;
    constexpr uint32_t middle = 397;
    const uint32_t seed = (y + 1) * (x + 1) + 654u * (cameraIndex + 1);
    const uint32_t skip = y % 17 + cameraIndex % 7 + x % 13 + 20;

    uint32_t word = seed;
    uint32_t index = 1;
    const auto advance = [&] { word = multiplier * (word ^ (word >> 30)) + index++; };
    while (index <= skip)
        advance();
    uint32_t low[4];
    low[0] = word;
    for (int k = 1; k < 4; ++k) {
        advance();
        low[k] = word;
    }
    while (index < skip + middle)
        advance();
    uint64_t drawn[3];
    for (int k = 0; k < 3; ++k) {
        advance();
        const uint32_t mixed = (low[k] & 0x80000000u) | (low[k + 1] & 0x7FFFFFFFu);
        uint32_t v = word ^ (mixed >> 1) ^ ((mixed & 1u) ? 0x9908B0DFu : 0u);
        v ^= v >> 11;
        v ^= (v << 7) & 0x9D2C5680u;
        v ^= (v << 15) & 0xEFC60000u;
        v ^= v >> 18;
        drawn[k] = v;
    }
    return drawn[2] ^ (drawn[1] << 16) ^ (drawn[0] << 32);
}

uint64_t GetSeed(const BinIO::DetectPlaqueInfo& plaque)
{
    return GetSeed(plaque.cameraIndex, plaque.x, plaque.y);
}

uint64_t QvGetSeed(const double& x, const double& y)
{
    const Phase::QuorvelContext& c = Phase::getQuorvelContext();
    const double fx = std::floor(x);
    const double fy = std::floor(y);
    if (c.phase == Phase::Render) {
        const double width = c.renderingResolutionX.get();
        const double height = c.renderingResolutionY.get();
        const double block = static_cast<double>(c.currentBlock.get());
        const double n = fy * width + fx + block * width * height;
        // Checked before any conversion: NaN and huge values are out of range.
        if (n >= 0.0 && n < static_cast<double>(c.plaques.size()) && n <= 2147483647.0)
            return GetSeed(c.plaques[static_cast<int64_t>(n)]);
    }
    return GetSeed(0, wrapToUint32(fx), wrapToUint32(fy));
}

std::vector<VekPoint> generateFetchMap(uint64_t width, uint64_t height)
{
    std::vector<VekPoint> map;
    map.reserve(width * height);
    for (uint64_t y = 0; y < height; ++y)
        for (uint64_t x = 0; x < width; ++x)
            map.push_back(pixelCentreDirection(static_cast<int64_t>(x), static_cast<int64_t>(y), width, height));
    return map;
}

bool getClosestCamDirXYWithFetchMap(const VekPoint& direction, uint64_t width, uint64_t height,
                                    const std::vector<VekPoint>& fetchMap, VekPoint& outDir, int32_t& outX,
                                    int32_t& outY, uint64_t radius)
{
    // A map that does not cover the image cannot be read safely.
    if (width == 0 || height == 0 || fetchMap.size() / width < height)
        return false;
    const VekPoint2 uv = cubeMapPosition(direction);
    const float u = snapToPixelCentre(uv.x, width);
    const float v = snapToPixelCentre(uv.y, height);
    const int64_t cx = clampIndex(u * static_cast<float>(width) * 0.99999988f, width);
    const int64_t cy = clampIndex(v * static_cast<float>(height) * 0.99999988f, height);
    outX = static_cast<int32_t>(cx);
    outY = static_cast<int32_t>(cy);
    outDir = fetchMap[static_cast<uint64_t>(cy) * width + static_cast<uint64_t>(cx)];
    return searchAround(
        direction, width, height, cx, cy, radius,
        [&](int64_t x, int64_t y) { return fetchMap[static_cast<uint64_t>(y) * width + static_cast<uint64_t>(x)]; },
        outDir, outX, outY);
}

bool getClosestCamDirXY(const VekPoint& direction, uint64_t width, uint64_t height, VekPoint& outDir, int32_t& outX,
                        int32_t& outY)
{
    if (width == 0 || height == 0)
        return false;
    const VekPoint2 uv = cubeMapPosition(direction);
    const float u = snapToPixelCentre(uv.x, width);
    const float v = snapToPixelCentre(uv.y, height);
    const int64_t cx = clampIndex(std::floor(u * static_cast<float>(width)), width);
    const int64_t cy = clampIndex(std::floor(v * static_cast<float>(height)), height);
    outX = static_cast<int32_t>(cx);
    outY = static_cast<int32_t>(cy);
    return searchAround(
        direction, width, height, cx, cy, 2,
        [&](int64_t x, int64_t y) { return pixelCentreDirection(x, y, width, height); }, outDir, outX, outY);
}

bool getClosestCamDirXY(const VekPoint& direction, VekPoint& outDir, int32_t& outX, int32_t& outY)
{
    const Phase::QuorvelContext& c = Phase::getQuorvelContext();
    const uint64_t width = static_cast<uint64_t>(c.outputResolutionX.get());
    const uint64_t height = static_cast<uint64_t>(c.outputResolutionY.get());
    return getClosestCamDirXYWithFetchMap(direction, width, height, c.fetchMap, outDir, outX, outY, 2);
}

} // namespace Quorvel::Camera::inline v2_0
