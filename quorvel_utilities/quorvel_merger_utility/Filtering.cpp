#include "Filtering.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <deque>
#include <functional>
#include <mutex>
#include <limits>
#include <thread>

#include "camera/CameraSet.h"
#include "camera/CubeMap.h"
#include "foundation/Logger.h"

namespace Quorvel::Filtering {

namespace {

using namespace Logger;
constexpr float kPi = 3.1415927f;
constexpr uint64_t kNone = std::numeric_limits<uint64_t>::max();

bool hasNormal(const VekPoint& n)
{
    return std::fabs(n.x) >= 0.0001f || std::fabs(n.y) >= 0.0001f || std::fabs(n.z) >= 0.0001f;
}

// Cube face of pixel (x, y) of a level image H rows high.
int64_t pixelFace(uint64_t x, uint64_t y, uint64_t height)
{
    const uint64_t half = height / 2;
    if (half == 0)
        return 0;
    return static_cast<int64_t>((y / half) * 3 + x / half);
}

VekPoint sub(const VekPoint& a, const VekPoint& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
VekPoint scaled(const VekPoint& a, float f) { return {a.x * f, a.y * f, a.z * f}; }
VekPoint cross(const VekPoint& a, const VekPoint& b)
{
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

struct Lab {
    float L, a, b;
};

Lab toLab(const VekRGB& c)
{
    const double r = c.r, g = c.g, b = c.b;
    const float Y = static_cast<float>(0.2126 * r + 0.7152 * g + 0.0722 * b);
    const float X = static_cast<float>(0.4124 * r + 0.3576 * g + 0.1805 * b);
    const float Z = static_cast<float>(0.0193 * r + 0.1192 * g + 0.9505 * b);
    const float Xp = static_cast<float>(1.04257389 * X + 0.03089108 * Y - 0.05281257 * Z);
    const float Yp = static_cast<float>(0.02219345 * Xp + 1.00185663 * Y - 0.02107375 * Z);
    const float Zp = static_cast<float>((0.76178908 * Z - (0.00116488 * Xp + 0.00342053 * Yp)) / 1.0890578);
    auto h = [](float t) {
        return t > 0.008856f ? std::pow(t, 0.33333334f) : 7.787f * t + 0.13793103448275862f;
    };
    const float fx = h(Xp / 0.9504559f);
    const float fy = h(Yp);
    const float fz = h(Zp);
    return {std::max(0.0f, 116.0f * fy - 16.0f), 500.0f * (fx - fy), 200.0f * (fy - fz)};
}

float labDistance(const Lab& p, const Lab& q);

// What the similarity test needs of a sample's colours, computed once.
struct ColourKey {
    Lab colour;
    bool stereoAlike; // colour and right colour within the tolerance
};

ColourKey colourKey(const vekbin& s, float tolerance)
{
    const Lab c = toLab({s.colour.r, s.colour.g, s.colour.b});
    return {c, labDistance(c, toLab(s.rightColour)) <= tolerance};
}

bool similar(const vekbin& i, const ColourKey& ki, const vekbin& j, const ColourKey& kj, const VekPoint& K,
             const FilterParams& params, int32_t projection);

// Sums of the fields a group or a promotion block averages.
struct Mean {
    VekRGBA colour{0, 0, 0, 0};
    VekRGB right{0, 0, 0};
    double depth = 0.0;
    VekPoint normal{0, 0, 0};
    VekPoint velocity{0, 0, 0};
    int count = 0;

    void add(const vekbin& s)
    {
        colour = {colour.r + s.colour.r, colour.g + s.colour.g, colour.b + s.colour.b, colour.a + s.colour.a};
        right = {right.r + s.rightColour.r, right.g + s.rightColour.g, right.b + s.rightColour.b};
        depth += s.depth;
        normal = {normal.x + s.normal.x, normal.y + s.normal.y, normal.z + s.normal.z};
        velocity = {velocity.x + s.velocity.x, velocity.y + s.velocity.y, velocity.z + s.velocity.z};
        ++count;
    }

    void store(vekbin& s) const
    {
        const float n = static_cast<float>(count);
        s.colour = {colour.r / n, colour.g / n, colour.b / n, colour.a / n};
        s.rightColour = {right.r / n, right.g / n, right.b / n};
        s.depth = depth / count;
        s.normal = {normal.x / n, normal.y / n, normal.z / n};
        s.velocity = {velocity.x / n, velocity.y / n, velocity.z / n};
    }
};

// Contiguous runs of equal camera in a list in key order.
std::vector<CamData> cameraRuns(const std::vector<vekbin>& samples)
{
    std::vector<CamData> runs;
    for (uint64_t i = 0; i < samples.size();) {
        uint64_t j = i + 1;
        while (j < samples.size() && samples[j].camera == samples[i].camera)
            ++j;
        runs.push_back({i, j - i});
        i = j;
    }
    return runs;
}

FilterParams levelParams(const FilterParams& base, unsigned level)
{
    FilterParams p = base;
    p.width >>= level;
    p.height >>= level;
    if (level == 3) {
        p.maxPlaqueWidth = 2;
        p.maxPlaqueHeight = 2;
    }
    return p;
}

void runPool(unsigned threads, const std::function<void()>& work)
{
    std::vector<std::thread> pool;
    pool.reserve(threads);
    for (unsigned t = 0; t < threads; ++t)
        pool.emplace_back(work);
    for (auto& t : pool)
        t.join();
}

void resize(const std::vector<VekPoint>& cameras, std::vector<vekbin>& samples, uint64_t width, uint64_t height,
            uint32_t factor, int32_t projection, bool down)
{
    const float l = std::log2(static_cast<float>(factor));
    if (std::fabs(l - std::round(l)) > 1.1920929e-7f)
        QvOutputLogString(WARNING, "Resizing is not a power of 2\n");
    const uint8_t level = static_cast<uint8_t>(std::lround(l));
    for (vekbin& s : samples) {
        if (down) {
            s.level = 0;
            s.x = static_cast<uint16_t>(s.x / factor);
            s.y = static_cast<uint16_t>(s.y / factor);
        } else {
            s.level = level;
            s.x = static_cast<uint16_t>(s.x * factor);
            s.y = static_cast<uint16_t>(s.y * factor);
        }
        s.width = static_cast<int32_t>(width);
        s.height = static_cast<int32_t>(height);
        s.updateDerived(cameras, projection);
    }
}

} // namespace

unsigned workerCount() { return std::max(1u, std::thread::hardware_concurrency()); }

const std::array<GroupPattern, 15>& groupPatterns()
{
    static const std::array<GroupPattern, 15> patterns = {{{255, 3, 3, -1},
                                                           {241, 3, 2, -1},
                                                           {31, 3, 2, 2},
                                                           {199, 2, 3, 0},
                                                           {124, 2, 3, -1},
                                                           {193, 2, 2, 0},
                                                           {112, 2, 2, -1},
                                                           {28, 2, 2, 2},
                                                           {7, 2, 2, 1},
                                                           {17, 3, 1, -1},
                                                           {68, 1, 3, -1},
                                                           {16, 2, 1, -1},
                                                           {1, 2, 1, 0},
                                                           {64, 1, 2, -1},
                                                           {4, 1, 2, 2}}};
    return patterns;
}

const std::array<VekPoint, 124>& directionBuckets()
{
    static const std::array<VekPoint, 124> table = [] {
        std::array<VekPoint, 124> t{};
        std::size_t n = 0;
        for (int i = 0; i < 10; ++i) {
            const float theta = static_cast<float>(9 - i) / 9.0f * kPi;
            const int count = std::max(1, static_cast<int>(22.0f * std::sin(theta)));
            for (int k = 0; k < count && n < t.size(); ++k) {
                const float phi = (static_cast<float>(k) / static_cast<float>(count) * 2.0f + 0.5f) * kPi;
                t[n++] = Utils::normalize(
                    {std::cos(phi) * std::sin(theta), std::cos(theta), std::sin(phi) * std::sin(theta)});
            }
        }
        return t;
    }();
    return table;
}

uint32_t directionBucket(const vekbin& s)
{
    if (s.colour.a < 1.0f && !s.transpFlag)
        return 124;
    if (s.position.x == 0.0f && s.position.y == 0.0f && s.position.z == 0.0f)
        return 124;
    // Laid out by component so that the 124 dot products vectorise.
    struct Columns {
        float x[124], y[124], z[124];
    };
    static const Columns columns = [] {
        Columns c{};
        const auto& table = directionBuckets();
        for (std::size_t k = 0; k < table.size(); ++k) {
            c.x[k] = table[k].x;
            c.y[k] = table[k].y;
            c.z[k] = table[k].z;
        }
        return c;
    }();
    const VekPoint d = Utils::normalize(s.position);
    float dots[124];
    for (int k = 0; k < 124; ++k)
        dots[k] = columns.x[k] * d.x + columns.y[k] * d.y + columns.z[k] * d.z;
    uint32_t best = 0;
    for (uint32_t k = 1; k < 124; ++k)
        if (dots[k] > dots[best])
            best = k;
    return best;
}

float colourDistance(const VekRGB& c1, const VekRGB& c2) { return labDistance(toLab(c1), toLab(c2)); }

namespace {

float labDistance(const Lab& p, const Lab& q)
{
    const float C1 = std::sqrt(p.a * p.a + p.b * p.b);
    const float C2 = std::sqrt(q.a * q.a + q.b * q.b);
    const float dC = C1 - C2;
    const float dH2 = (p.a - q.a) * (p.a - q.a) + (p.b - q.b) * (p.b - q.b) - dC * dC;
    const float dH = dH2 > 0.0f ? std::sqrt(dH2) : 0.0f;
    const float dL = p.L - q.L;
    const float sC = dC / (1.0f + 0.45f * C1);
    const float sH = dH / (1.0f + 0.15f * C1);
    return std::sqrt(dL * dL + sC * sC + sH * sH);
}

} // namespace

std::pair<uint32_t, uint32_t> slopeLimits(const VekPoint& P, const VekPoint& n, bool transparencyFlag)
{
    const VekPoint v = scaled(Utils::normalize(P), -1.0f);
    const VekPoint np{-n.x, -n.y, -n.z};
    const VekPoint r = Utils::normalize({v.z, 0.0f, -v.x});
    const VekPoint u = Utils::normalize(cross(v, r));
    const float F = Utils::dot(Utils::normalize(sub(np, scaled(u, Utils::dot(np, u)))), v);
    const float G = Utils::dot(Utils::normalize(sub(np, scaled(r, Utils::dot(np, r)))), v);
    auto limit = [transparencyFlag](float s) -> uint32_t {
        if (transparencyFlag)
            return s < 0.97f ? 1 : 3;
        return s < 0.1f ? 1 : (s < 0.3f ? 2 : 3);
    };
    return {limit(F), limit(G)};
}

namespace {

bool similar(const vekbin& i, const ColourKey& ki, const vekbin& j, const ColourKey& kj, const VekPoint& K,
             const FilterParams& params, int32_t projection)
{
    if (!(std::fabs(Utils::dot(i.normal, j.normal)) >= params.normalTolerance))
        return false;
    if (projection != 0 && pixelFace(i.x, i.y, params.height) != pixelFace(j.x, j.y, params.height))
        return false;
    if (!(labDistance(ki.colour, kj.colour) <= params.colorTolerance) ||
        !(std::fabs(i.colour.a - j.colour.a) <= params.alphaTolerance))
        return false;
    if (!ki.stereoAlike || !kj.stereoAlike)
        return false;
    const VekPoint u = Utils::normalize(sub(j.position, i.position));
    if (!(std::fabs(Utils::dot(u, i.normal)) <= params.planeTolerance))
        return false;

    const VekPoint a = sub(i.position, K);
    const VekPoint b = sub(j.position, K);
    const float f = Utils::length(a);
    // Rounding can push the cosine of a face-on sample past 1.
    const float cosine = std::min(1.0f, std::fabs(Utils::dot(scaled(a, 1.0f / f), Utils::normalize(i.normal))));
    const float alpha = std::acos(cosine);
    const float r = 2.0f * kPi / static_cast<float>(params.width);
    const float beta = 1.5707963705062866f - (alpha + r);
    const float tau = beta != 0.0f ? std::fabs(std::sin(r) * f / std::sin(beta)) : 1e8f;
    return Utils::length(sub(b, a)) <= 4.0f * tau;
}

} // namespace

bool isSimilar(const vekbin& i, const vekbin& j, const VekPoint& K, const FilterParams& params, int32_t projection)
{
    return similar(i, colourKey(i, params.colorTolerance), j, colourKey(j, params.colorTolerance), K, params,
                   projection);
}

void resizeDown(const std::vector<VekPoint>& cameras, std::vector<vekbin>& samples, uint64_t width, uint64_t height,
                uint32_t factor, int32_t projection)
{
    resize(cameras, samples, width, height, factor, projection, true);
}

void resizeUp(const std::vector<VekPoint>& cameras, std::vector<vekbin>& samples, uint64_t width, uint64_t height,
              uint32_t factor, int32_t projection)
{
    resize(cameras, samples, width, height, factor, projection, false);
}

std::vector<vekbin> mergeKeyOrder(std::vector<vekbin>&& first, std::vector<vekbin>&& second)
{
    std::vector<vekbin> out;
    out.reserve(first.size() + second.size());
    std::size_t i = 0, j = 0;
    while (i < first.size() && j < second.size()) {
        if (Binary::keyOrderLess(second[j], first[i]))
            out.push_back(second[j++]);
        else
            out.push_back(first[i++]);
        QvIncreaseprogress();
    }
    out.insert(out.end(), first.begin() + static_cast<std::ptrdiff_t>(i), first.end());
    out.insert(out.end(), second.begin() + static_cast<std::ptrdiff_t>(j), second.end());
    return out;
}

void promoteSmallPlaques(const std::vector<VekPoint>& cameras, std::vector<vekbin>& samples,
                         const FilterParams& params, float threshold, std::vector<vekbin>& promoted,
                         int32_t projection)
{
    const uint64_t N = samples.size();
    QvOutputLogString(DEBUG, "Filtering plaques smaller than %f among %d samples\n", static_cast<double>(threshold),
                      static_cast<int>(N));
    const uint64_t W = params.width;
    const uint64_t H = params.height;
    const double s = std::sin(6.2831854820251465 / static_cast<double>(W));

    enum : uint8_t { kKept = 0, kPromoted = 1, kConsumed = 2 };
    std::vector<uint8_t> state(N, kKept);
    // One map of the level image, cleared after each camera where it was set.
    std::vector<uint64_t> map;
    if (W != 0 && H != 0 && N != 0)
        map.assign(W * H, kNone);
    std::vector<uint64_t> touched;

    for (const CamData& run : cameraRuns(samples)) {
        if (map.empty())
            break;
        const uint64_t end = run.first + run.count;
        for (uint64_t i = run.first; i < end; ++i) {
            const vekbin& v = samples[i];
            if (!hasNormal(v.normal) || v.x >= W || v.y >= H)
                continue;
            const VekPoint d = Binary::pixelDirection(v.x, v.y, static_cast<int32_t>(W), static_cast<int32_t>(H),
                                                      projection)
                                   .direction;
            const double cosine = std::fabs(static_cast<double>(d.x) * v.normal.x +
                                            static_cast<double>(d.y) * v.normal.y +
                                            static_cast<double>(d.z) * v.normal.z);
            const double size = std::max(v.depth, 1.1920928955078125e-7) / cosine * s;
            if (size < threshold) {
                map[v.y * W + v.x] = i;
                touched.push_back(v.y * W + v.x);
            }
        }
        for (uint64_t i = run.first; i < end; ++i) {
            vekbin& v = samples[i];
            if ((v.x & 1) || (v.y & 1) || v.y + 1u >= H || v.x + 1u >= W || state[i] != kKept)
                continue;
            const uint64_t p = v.y * W + v.x;
            const uint64_t r = map[p + 1], b = map[p + W], q = map[p + W + 1];
            if (r == kNone || b == kNone || q == kNone || state[r] != kKept || state[b] != kKept ||
                state[q] != kKept)
                continue;
            if (projection != 0) {
                const int64_t face = pixelFace(v.x, v.y, H);
                if (pixelFace(samples[r].x, samples[r].y, H) != face ||
                    pixelFace(samples[b].x, samples[b].y, H) != face ||
                    pixelFace(samples[q].x, samples[q].y, H) != face)
                    continue;
            }
            const float mean =
                static_cast<float>((v.depth + samples[r].depth + samples[b].depth + samples[q].depth) / 4.0);
            bool apart = false;
            for (uint64_t k : {i, r, b, q})
                apart = apart || Camera::depthsFarApart(mean, samples[k].depth, 100.0, static_cast<float>(W));
            if (apart)
                continue;
            Mean m;
            for (uint64_t k : {i, r, b, q})
                m.add(samples[k]);
            m.store(v);
            state[i] = kPromoted;
            state[r] = state[b] = state[q] = kConsumed;
        }
        for (uint64_t p : touched)
            map[p] = kNone;
        touched.clear();
    }

    uint64_t left = 0;
    const uint64_t before = promoted.size();
    for (uint64_t i = 0; i < N; ++i) {
        if (state[i] == kPromoted)
            promoted.push_back(samples[i]);
        else if (state[i] == kKept)
            samples[left++] = samples[i];
    }
    samples.resize(left);
    const uint64_t count = promoted.size() - before;
    std::vector<vekbin> fresh(promoted.begin() + static_cast<std::ptrdiff_t>(before), promoted.end());
    resizeDown(cameras, fresh, W / 2, H / 2, 2, projection);
    std::copy(fresh.begin(), fresh.end(), promoted.begin() + static_cast<std::ptrdiff_t>(before));

    if (N == 0)
        QvOutputLogString(DEBUG, "Filtering result: %d isolated, %d remaning, (0%% gained)\n",
                          static_cast<int>(count), static_cast<int>(left));
    else
        QvOutputLogString(DEBUG, "Filtering result: %d isolated, %d remaning, (%f%% gained)\n",
                          static_cast<int>(count), static_cast<int>(left),
                          static_cast<double>(static_cast<float>(N - count - left) / static_cast<float>(N) * 100.0f));
}

filterGetBiggerPart::filterGetBiggerPart(const std::vector<VekPoint>& cameras, int32_t projection,
                                         std::vector<vekbin>& samples, const FilterParams& params)
    : cameras_(cameras), projection_(projection), samples_(samples), keep_(samples.size(), 0), params_(params)
{
    if (projection_ == 0) {
        const uint64_t H = params_.height;
        const float h = static_cast<float>(H);
        auto rowSize = [h](float y) { return std::max(1.0f, std::sin(y / h * kPi) * h); };
        ratioBelow_.resize(H);
        ratioAbove_.resize(H);
        for (uint64_t y = 0; y < H; ++y) {
            const float fy = static_cast<float>(y);
            ratioBelow_[y] = rowSize(fy + 1.0f) / rowSize(fy);
            ratioAbove_[y] = rowSize(fy - 1.0f) / rowSize(fy);
        }
    }
}

int64_t filterGetBiggerPart::mappedColumn(uint64_t x, uint64_t y, bool down) const
{
    const uint64_t W = params_.width;
    const uint64_t H = params_.height;
    if (down ? y + 1 >= H : y == 0)
        return -1;
    const uint64_t ny = down ? y + 1 : y - 1;
    if (projection_ != 0) {
        const float w = static_cast<float>(W), h = static_cast<float>(H);
        const float s = 2.0f * static_cast<float>(x) / w - 1.0f;
        if (Camera::cubeMapFace(s, 2.0f * static_cast<float>(y) / h - 1.0f) !=
            Camera::cubeMapFace(s, 2.0f * static_cast<float>(ny) / h - 1.0f))
            return -1;
        return static_cast<int64_t>(x);
    }
    const float ratio = down ? ratioBelow_[y] : ratioAbove_[y];
    const int64_t column = std::lround(static_cast<float>(x) * ratio);
    return std::min<int64_t>(static_cast<int64_t>(W) - 1, column);
}

void filterGetBiggerPart::operator()(uint64_t first, uint64_t end)
{
    if (first >= end)
        return;
    const uint64_t W = params_.width;
    const uint64_t H = params_.height;
    const vekbin& head = samples_[first];
    const VekPoint K = head.camera < cameras_.size() ? cameras_[head.camera] : VekPoint{0, 0, 0};
    const uint64_t count = end - first;
    std::vector<NeighbourInfo> info(count);
    std::vector<ColourKey> keys(count);
    for (uint64_t i = 0; i < count; ++i) {
        const vekbin& s = samples_[first + i];
        keys[i] = colourKey(s, params_.colorTolerance);
        NeighbourInfo& n = info[i];
        n.grazing = std::fabs(Utils::dot(Utils::normalize(sub(s.position, K)), s.normal)) < params_.grazingThreshold ||
                    Utils::length(s.normal) == 0.0f;
    }

    auto pixelOf = [W](const vekbin& s) { return static_cast<uint64_t>(s.y) * W + s.x; };
    std::array<uint64_t, 8> cursor;
    cursor.fill(first);
    for (uint64_t i = 0; i < count; ++i) {
        if (info[i].grazing && !params_.mergeHypertangent)
            continue;
        const vekbin& s = samples_[first + i];
        if (s.x >= W || s.y >= H)
            continue;
        const int64_t x = s.x, y = s.y;
        const int64_t above = mappedColumn(s.x, s.y, false);
        const int64_t below = mappedColumn(s.x, s.y, true);
        // Target column and row per slot; a negative column has no neighbour.
        const int64_t targets[8][2] = {{x - 1, y},
                                       {above < 0 ? -1 : above - 1, y - 1},
                                       {above, y - 1},
                                       {above < 0 ? -1 : above + 1, y - 1},
                                       {x + 1, y},
                                       {below < 0 ? -1 : below + 1, y + 1},
                                       {below, y + 1},
                                       {below < 0 ? -1 : below - 1, y + 1}};
        for (int k = 0; k < 8; ++k) {
            const int64_t tx = targets[k][0], ty = targets[k][1];
            if (tx < 0 || tx >= static_cast<int64_t>(W) || ty < 0 || ty >= static_cast<int64_t>(H))
                continue;
            const uint64_t target = static_cast<uint64_t>(ty) * W + static_cast<uint64_t>(tx);
            uint64_t& c = cursor[k];
            while (c + 1 < end && pixelOf(samples_[c]) < target)
                ++c;
            if (pixelOf(samples_[c]) == target && similar(s, keys[i], samples_[c], keys[c - first], K, params_, projection_)) {
                info[i].found[k] = true;
                info[i].neighbour[k] = c;
                info[i].mask |= static_cast<uint8_t>(1u << k);
            }
        }
    }

    const auto& patterns = groupPatterns();
    for (int32_t j = 0; j < static_cast<int32_t>(patterns.size()); ++j) {
        const GroupPattern& pattern = patterns[j];
        if (pattern.width > params_.maxPlaqueWidth || pattern.height > params_.maxPlaqueHeight)
            continue;
        for (uint64_t i = 0; i < count; ++i) {
            NeighbourInfo& n = info[i];
            if (n.taken || (n.mask & pattern.mask) != pattern.mask)
                continue;
            bool fails = false;
            for (int k = 0; k < 8 && !fails; ++k)
                if (pattern.mask & (1u << k))
                    fails = info[n.neighbour[k] - first].taken;
            const vekbin& s = samples_[first + i];
            if (!fails && (!params_.mergeHypertangent || s.transpFlag)) {
                const auto [w, h] = slopeLimits(s.position, s.normal, s.transpFlag);
                fails = w < pattern.width || h < pattern.height;
            }
            if (fails)
                continue;
            n.head = n.taken = true;
            n.pattern = j;
            for (int k = 0; k < 8; ++k)
                if (pattern.mask & (1u << k))
                    info[n.neighbour[k] - first].taken = true;
        }
    }

    for (uint64_t i = 0; i < count; ++i) {
        const NeighbourInfo& n = info[i];
        if (n.head) {
            const GroupPattern& pattern = patterns[n.pattern];
            Mean m;
            m.add(samples_[first + i]);
            for (int k = 0; k < 8; ++k)
                if (pattern.mask & (1u << k))
                    m.add(samples_[n.neighbour[k]]);
            vekbin record = pattern.anchor < 0 ? samples_[first + i] : samples_[n.neighbour[pattern.anchor]];
            record.plaqueWidth = pattern.width;
            record.plaqueHeight = pattern.height;
            record.level = 0;
            m.store(record);
            record.updateDerived(cameras_, projection_);
            keep_[first + i] = 1;
            // Members are never heads and are read only through their own
            // head, so writing the group in place is safe.
            samples_[first + i] = record;
        } else {
            keep_[first + i] = n.taken ? 0 : 1;
        }
    }
}

void filterGetBiggerPart::compact()
{
    uint64_t out = 0;
    for (uint64_t i = 0; i < samples_.size(); ++i)
        if (keep_[i])
            samples_[out++] = samples_[i];
    samples_.resize(out);
}

void clusterSimilarPlaques(const std::vector<VekPoint>& cameras, std::vector<vekbin>& samples,
                           const FilterParams& params, int32_t projection)
{
    if (samples.empty())
        return;
    filterGetBiggerPart state(cameras, projection, samples, params);
    const std::vector<CamData> cameraList = cameraRuns(samples);
    std::deque<CamData> input(cameraList.begin(), cameraList.end());
    std::vector<CamData> output;
    std::mutex mutex;
    const unsigned T = workerCount();

    runPool(T, [&] {
        // A stable counting sort by direction bucket: the samples move once.
        constexpr std::size_t kBuckets = 125;
        std::vector<vekbin> scratch;
        std::vector<uint8_t> bucketOf;
        for (;;) {
            CamData run;
            {
                std::lock_guard lock(mutex);
                if (input.empty())
                    break;
                run = input.front();
                input.pop_front();
            }
            const auto begin = samples.begin() + static_cast<std::ptrdiff_t>(run.first);
            scratch.assign(begin, begin + static_cast<std::ptrdiff_t>(run.count));
            bucketOf.resize(scratch.size());
            std::array<uint64_t, kBuckets> start{};
            for (uint64_t k = 0; k < scratch.size(); ++k) {
                bucketOf[k] = static_cast<uint8_t>(directionBucket(scratch[k]));
                ++start[bucketOf[k]];
            }
            std::vector<CamData> pieces;
            uint64_t offset = run.first;
            for (uint64_t& bucket : start) {
                const uint64_t count = bucket;
                if (count)
                    pieces.push_back({offset, count});
                bucket = offset;
                offset += count;
            }
            for (uint64_t k = 0; k < scratch.size(); ++k)
                samples[start[bucketOf[k]]++] = scratch[k];
            {
                std::lock_guard lock(mutex);
                output.insert(output.end(), pieces.begin(), pieces.end());
            }
            QvIncreaseprogress();
        }
    });

    std::stable_sort(output.begin(), output.end(),
                     [](const CamData& a, const CamData& b) { return a.count > b.count; });
    QvResetprogress(output.size());
    std::deque<CamData> runs(output.begin(), output.end());
    runPool(T, [&] {
        for (;;) {
            CamData run;
            {
                std::lock_guard lock(mutex);
                if (runs.empty())
                    break;
                run = runs.front();
                runs.pop_front();
            }
            state(run.first, run.first + run.count);
            QvIncreaseprogress();
        }
    });
    QvSetDoneProgression();
    state.compact();
}

void filterSamples(std::vector<vekbin>& samples, float threshold, const FilterParams& params,
                   const std::vector<VekPoint>& cameras, int32_t projection)
{
    if (samples.empty())
        return;
    // Sized first: growing a level by doubling would copy and fault in its
    // pages several times over.
    std::array<std::size_t, 4> perLevel{};
    for (const vekbin& s : samples)
        ++perLevel[std::min<uint8_t>(s.level, 3)];
    std::array<std::vector<vekbin>, 4> levels;
    for (unsigned k = 0; k < 4; ++k)
        levels[k].reserve(perLevel[k]);
    for (const vekbin& s : samples)
        levels[std::min<uint8_t>(s.level, 3)].push_back(s);
    samples.clear();
    samples.shrink_to_fit();

    std::array<FilterParams, 4> p;
    for (unsigned k = 0; k < 4; ++k)
        p[k] = levelParams(params, k);

    std::array<std::vector<vekbin>, 4> merged; // merged[k]: the samples of level k, k >= 1
    for (unsigned k = 1; k < 4; ++k) {
        std::vector<vekbin> promoted;
        promoteSmallPlaques(cameras, k == 1 ? levels[0] : merged[k - 1], p[k - 1], threshold, promoted, projection);
        resizeDown(cameras, levels[k], p[k].width, p[k].height, 1u << k, projection);
        merged[k] = mergeKeyOrder(std::move(promoted), std::move(levels[k]));
    }
    clusterSimilarPlaques(cameras, levels[0], p[0], projection);
    for (unsigned k = 1; k < 4; ++k)
        clusterSimilarPlaques(cameras, merged[k], p[k], projection);
    for (unsigned k = 1; k < 4; ++k)
        resizeUp(cameras, merged[k], params.width, params.height, 1u << k, projection);

    samples = std::move(levels[0]);
    samples.reserve(samples.size() + merged[1].size() + merged[2].size() + merged[3].size());
    for (unsigned k = 1; k < 4; ++k)
        samples.insert(samples.end(), merged[k].begin(), merged[k].end());
}

} // namespace Quorvel::Filtering
