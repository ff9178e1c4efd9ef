#include "FinalCodes.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "analysis/DepthCode.h"
#include "foundation/Logger.h"

namespace Quorvel::FinalView {

namespace {

constexpr float kPi = 3.1415927f;
constexpr float kTwoPi = 6.2831855f;

inline void putWord(uint8_t* out, uint32_t w)
{
    out[0] = static_cast<uint8_t>(w);
    out[1] = static_cast<uint8_t>(w >> 8);
    out[2] = static_cast<uint8_t>(w >> 16);
    out[3] = static_cast<uint8_t>(w >> 24);
}

inline float sgn(float v) { return v >= 0.0f ? 1.0f : -1.0f; }

// Candidate direction of an octahedral code, as its dot product with n. In
// double precision: single precision breaks the ties between the axis-aligned
// codes and their neighbours unevenly.
double octahedralDot(uint32_t u, uint32_t v, const VekPoint& n)
{
    double a = static_cast<double>(u) / 255.0 * 2.0 - 1.0;
    double b = static_cast<double>(v) / 255.0 * 2.0 - 1.0;
    const double c = 1.0 - std::fabs(a) - std::fabs(b);
    if (c < 0.0) {
        const double fa = (1.0 - std::fabs(b)) * (a >= 0.0 ? 1.0 : -1.0);
        const double fb = (1.0 - std::fabs(a)) * (b >= 0.0 ? 1.0 : -1.0);
        a = fa;
        b = fb;
    }
    const double l = std::sqrt(a * a + b * b + c * c);
    return (a * n.x + b * n.y + c * n.z) / l;
}

// Normalised position of one endpoint: radius, polar and azimuth angles.
struct Spherical {
    float r, theta, phi;
};

Spherical spherical(const VekPoint& p)
{
    const float r = Utils::length(p);
    const float f = r != 0.0f ? r : 1.0f;
    float cy = p.y / f;
    cy = cy > 1.0f ? 1.0f : (cy < -1.0f ? -1.0f : cy);
    float phi = std::atan2(p.z / f, p.x / f);
    if (phi < 0.0f)
        phi += kTwoPi;
    return {r, std::acos(cy), phi};
}

float wrapAngle(float d)
{
    if (d > kPi)
        d -= kTwoPi;
    else if (d < -kPi)
        d += kTwoPi;
    return d;
}

void accumulate(MotionStats& stats, const std::vector<vekbin>& samples)
{
    for (const vekbin& s : samples) {
        if (!isMoving(s))
            continue;
        stats.moving = true;
        const auto c = motionComponents(s.position, s.velocity);
        for (int k = 0; k < 3; ++k) {
            if (c[k] < stats.minimum[k])
                stats.minimum[k] = c[k];
            if (c[k] > stats.maximum[k])
                stats.maximum[k] = c[k];
        }
    }
}

// (c - min) / (max - min) * steps; a component without spread is 0.
uint32_t spreadCode(float c, float min, float max, uint32_t steps)
{
    return nearestInt((c - min) / (max - min) * static_cast<float>(steps), steps);
}

// Offset and scale of a radial spread with one value: code 0 decodes, as
// scale * (code - offset)^3, to exactly that value.
void singleValueRadial(MotionStats& stats, float value)
{
    stats.offset = value != 0.0f ? -1.0f : 0.0f;
    stats.scale = value != 0.0f ? value : 1.0f;
}

bool radialUsable(const MotionStats& stats)
{
    return std::isfinite(stats.offset) && std::isfinite(stats.scale) && stats.scale != 0.0f;
}

} // namespace

uint32_t nearestInt(float v, uint32_t max)
{
    if (!(v > 0.0f))
        return 0;
    if (v >= static_cast<float>(max))
        return max;
    const uint32_t i = static_cast<uint32_t>(v);
    const uint32_t n = (v - static_cast<float>(i) > 0.5f) ? i + 1 : i;
    return n > max ? max : n;
}

uint32_t colourCode(float r, float g, float b)
{
    const float X = 0.4124f * r + 0.3576f * g + 0.1805f * b;
    float Y = 0.2126f * r + 0.7152f * g + 0.0722f * b;
    const float Z = 0.0193f * r + 0.1192f * g + 0.9505f * b;
    const float S = Z + (Y + X);
    float x, y;
    if (S != 0.0f) {
        x = X / S;
        y = Y / S;
    } else {
        x = 0.312716f;
        y = 0.3290015f;
        Y = 0.0f;
    }
    const float xc = x < 0.15f ? 0.15f : (x > 0.65f ? 0.65f : x);
    const float yc = y < 0.06f ? 0.06f : (y > 0.6f ? 0.6f : y);
    const float xp = (xc - 0.15f) / 0.49999997f;
    const float yp = (yc - 0.06f) / 0.54f;
    const float t = std::pow(Y, 0.6666667f);
    float Yc = 1.0f - 1.0f / (t + 1.0f);
    Yc = Yc < 0.0f ? 0.0f : (Yc > 0.956f ? 0.956f : Yc);
    const float Yp = Yc / 0.956f;
    const uint32_t xq = nearestInt(xp * 127.0f, 127);
    const uint32_t yq = nearestInt(yp * 127.0f, 127);
    const uint32_t Yq = nearestInt(Yp * 1023.0f, 1023);
    return Yq * 16384u + yq * 128u + xq;
}

uint32_t alphaCode(float alpha) { return nearestInt(alpha * 255.0f, 255); }

uint32_t cubeNormalCode(const VekPoint& n)
{
    if (std::fabs(n.x) < 0.0001f && std::fabs(n.y) < 0.0001f && std::fabs(n.z) < 0.0001f)
        return 0;
    const float s = 1.0f / (std::fabs(n.x) + std::fabs(n.y) + std::fabs(n.z));
    float p = n.x * s;
    float q = n.y * s;
    if (n.z < 0.0f) {
        const float fp = (1.0f - std::fabs(q)) * sgn(p);
        const float fq = (1.0f - std::fabs(p)) * sgn(q);
        p = fp;
        q = fq;
    }
    auto axis = [](float v) {
        float c = v * 0.5f + 0.5f;
        c = c > 0.0f ? c : 0.0f; // NaN lands on 0
        c = c < 1.0f ? c : 1.0f;
        return static_cast<uint32_t>(std::floor(255.0f * c));
    };
    uint32_t u = axis(p);
    uint32_t v = axis(q);
    double best = (u == 0 && v == 0) ? -1.0 : octahedralDot(u, v, n);
    const uint32_t bu = u, bv = v;
    static constexpr uint32_t steps[3][2] = {{0, 1}, {1, 0}, {1, 1}};
    for (const auto& st : steps) {
        const double d = octahedralDot(bu + st[0], bv + st[1], n);
        if (d > best) {
            best = d;
            u = bu + st[0];
            v = bv + st[1];
        }
    }
    return (u * 256u + v) % 65536u;
}

const std::array<VekPoint, 256>& normalDirectionTable()
{
    static const std::array<VekPoint, 256> table = [] {
        std::array<VekPoint, 256> t{};
        std::size_t i = 1;
        for (int j = 0; j < 15; ++j) {
            const float theta = static_cast<float>(14 - j) / 14.0f * kPi;
            const int count = std::max(1, static_cast<int>(29.0f * std::sin(theta)));
            for (int k = 0; k < count && i < t.size(); ++k) {
                const float phi = (static_cast<float>(k) / static_cast<float>(count) * 2.0f + 0.5f) * kPi;
                t[i++] = Utils::normalize(
                    {std::cos(phi) * std::sin(theta), std::cos(theta), std::sin(phi) * std::sin(theta)});
            }
        }
        return t;
    }();
    return table;
}

uint32_t latLongNormalIndex(const VekPoint& normal)
{
    if (Utils::length(normal) == 0.0f)
        return 0;
    const VekPoint n = Utils::normalize(normal);
    const auto& table = normalDirectionTable();
    uint32_t best = 1;
    float bestDot = Utils::dot(table[1], n);
    for (uint32_t i = 2; i < table.size() && bestDot != 1.0f; ++i) {
        const float d = Utils::dot(table[i], n);
        if (d > bestDot) {
            bestDot = d;
            best = i;
        }
    }
    return best;
}

uint32_t plaqueSizeIndex(uint32_t plaqueWidth, uint32_t plaqueHeight, uint32_t level)
{
    if (plaqueWidth < 1 || plaqueWidth > 3 || plaqueHeight < 1 || plaqueHeight > 3 || level > 3)
        return 31;
    const uint32_t index = (plaqueWidth - 1) + 3 * (plaqueHeight - 1) + 9 * level;
    return index <= 31 ? index : 31;
}

bool isMoving(const vekbin& s)
{
    return s.velocity.x != 0.0f || s.velocity.y != 0.0f || s.velocity.z != 0.0f;
}

std::array<float, 3> motionComponents(const VekPoint& position, const VekPoint& velocity)
{
    const VekPoint q{position.x + velocity.x, position.y + velocity.y, position.z + velocity.z};
    const Spherical a = spherical(position);
    const Spherical b = spherical(q);
    const float dPhi = wrapAngle(b.phi - a.phi);
    const float dTheta = wrapAngle(b.theta - a.theta);
    const float s = std::sin(a.theta);
    return {dPhi * (s > 0.001f ? s : 0.001f), dTheta, (b.r - a.r) * 10.0f};
}

std::array<float, 6> MotionStats::headerValues(int32_t projection) const
{
    if (projection != 0)
        return {minimum[0], minimum[1], scale / 1000.0f, step1, step2, offset};
    return {minimum[0], minimum[1], minimum[2], step1, step2, scale};
}

MotionStats computeMotionStatsCube(const std::vector<vekbin>& samples)
{
    MotionStats stats;
    accumulate(stats, samples);
    if (!stats.moving)
        return stats;
    stats.step1 = (stats.maximum[0] - stats.minimum[0]) / 4095.0f;
    stats.step2 = (stats.maximum[1] - stats.minimum[1]) / 4095.0f;
    float lo = stats.minimum[2];
    float hi = stats.maximum[2];
    if (lo > hi)
        std::swap(lo, hi);
    if (hi - lo < 1e-6f) {
        hi += 5e-7f;
        lo -= 5e-7f;
    }
    if (std::fabs(lo) < 5e-7f) {
        stats.offset = 0.0f;
        stats.scale = hi / 16581375.0f;
    } else {
        stats.offset = -(255.0f / (hi - lo)) * (std::cbrt(hi * hi * lo) + std::cbrt(lo * lo * hi) + lo);
        stats.scale = -(lo / (stats.offset * stats.offset * stats.offset));
    }
    // The widening above is lost in rounding for values beyond a few units.
    if (!radialUsable(stats))
        singleValueRadial(stats, lo);
    return stats;
}

MotionStats computeMotionStatsLatLong(const std::vector<vekbin>& samples)
{
    MotionStats stats;
    accumulate(stats, samples);
    if (!stats.moving)
        return stats;
    stats.step1 = (stats.maximum[0] - stats.minimum[0]) / 255.0f;
    stats.step2 = (stats.maximum[1] - stats.minimum[1]) / 255.0f;
    const float lo = stats.minimum[2];
    const float hi = stats.maximum[2];
    const float clo = std::cbrt(lo);
    const float chi = std::cbrt(hi);
    // A reader decodes scale * (code - offset)^3. The plain formula divides
    // by zero when lo is 0 or when lo and hi coincide, so those spreads get
    // a finite offset and scale that still decode lo as code 0.
    if (clo == chi) {
        singleValueRadial(stats, lo);
    } else if (lo == 0.0f) {
        stats.offset = 0.0f;
        stats.scale = hi / 16581375.0f;
    } else {
        stats.offset = clo / (clo - chi) * 255.0f;
        const float o = -stats.offset;
        stats.scale = lo / (o * o * o);
    }
    if (!radialUsable(stats))
        singleValueRadial(stats, lo);
    return stats;
}

MotionStats computeMotionStats(const std::vector<vekbin>& samples, int32_t projection)
{
    return projection != 0 ? computeMotionStatsCube(samples) : computeMotionStatsLatLong(samples);
}

void encodeSample(const vekbin& s, const MotionStats& stats, int32_t projection, uint8_t* code,
                  uint8_t* motionCode)
{
    VekRGB c{s.colour.r, s.colour.g, s.colour.b};
    VekRGB rc = s.rightColour;
    if (!s.transpFlag) {
        const float a = s.colour.a;
        c = {c.r * a, c.g * a, c.b * a};
        rc = {rc.r * a, rc.g * a, rc.b * a};
    }
    const uint32_t colour = colourCode(c.r, c.g, c.b);
    const uint32_t right = colourCode(rc.r, rc.g, rc.b);
    const uint32_t alpha = alphaCode(s.colour.a);
    const uint32_t depth = encodeDepth(static_cast<float>(s.depth));
    const bool moving = isMoving(s);

    std::array<float, 3> m{0.0f, 0.0f, 0.0f};
    if (moving && stats.moving)
        m = motionComponents(s.position, s.velocity);

    if (projection != 0) {
        const uint32_t w0 = colour | (alpha << 24);
        const uint32_t w1 = ((right ^ w0) & 0xFFFFFFu) | (static_cast<uint32_t>(s.camera) << 24);
        const uint32_t w2 = cubeNormalCode(s.normal) | (depth << 16) | (s.transpFlag ? 0x80000000u : 0u);
        const uint32_t w3 = plaqueSizeIndex(s.plaqueWidth, s.plaqueHeight, s.level) | (moving ? 1u << 5 : 0u) |
                            (s.cockpitFlag ? 1u << 6 : 0u) | ((static_cast<uint32_t>(s.x) & 0x1FFFu) << 7) |
                            ((static_cast<uint32_t>(s.y) & 0xFFFu) << 20);
        putWord(code, w0);
        putWord(code + 4, w1);
        putWord(code + 8, w2);
        putWord(code + 12, w3);
        if (motionCode) {
            uint32_t mc = 0;
            if (moving && stats.moving) {
                mc = spreadCode(m[0], stats.minimum[0], stats.maximum[0], 4095) |
                     (spreadCode(m[1], stats.minimum[1], stats.maximum[1], 4095) << 12) |
                     (nearestInt(std::cbrt(m[2] / stats.scale) + stats.offset, 255) << 24);
            }
            putWord(motionCode, mc);
        }
        return;
    }

    const uint32_t level = s.level;
    const uint32_t flags = (s.plaqueWidth & 3u) | ((level & 1u) << 2) | (s.transpFlag ? 1u << 3 : 0u) |
                           ((s.plaqueHeight & 3u) << 4) | (((level >> 1) & 1u) << 6) | (s.cockpitFlag ? 1u << 7 : 0u);
    const uint32_t w0 = static_cast<uint32_t>(s.y) * static_cast<uint32_t>(s.width) + static_cast<uint32_t>(s.x) +
                        (flags << 24);
    const uint32_t w1 = depth | (moving ? 1u << 15 : 0u) | (static_cast<uint32_t>(s.camera) << 16) |
                        (latLongNormalIndex(s.normal) << 24);
    const uint32_t w2 = colour | (alpha << 24);
    uint32_t first = 0;
    if (moving && stats.moving)
        first = spreadCode(m[0], stats.minimum[0], stats.maximum[0], 255);
    const uint32_t w3 = ((right ^ w2) & 0xFFFFFFu) | (first << 24);
    putWord(code, w0);
    putWord(code + 4, w1);
    putWord(code + 8, w2);
    putWord(code + 12, w3);
    if (motionCode) {
        motionCode[0] = 0;
        motionCode[1] = 0;
        if (moving && stats.moving) {
            motionCode[0] = static_cast<uint8_t>(spreadCode(m[1], stats.minimum[1], stats.maximum[1], 255));
            motionCode[1] = static_cast<uint8_t>(nearestInt(std::cbrt(m[2] / stats.scale) + stats.offset, 255));
        }
    }
}

void encodeSamples(const std::vector<vekbin>& samples, const MotionStats& stats, int32_t projection,
                   std::vector<uint8_t>& codes, std::vector<uint8_t>& motion)
{
    const std::size_t n = samples.size();
    const std::size_t msize = motionCodeSize(projection);
    codes.assign(n * kSampleCodeSize, 0);
    if (stats.moving)
        motion.assign(n * msize, 0);
    else
        motion.clear();
    Logger::QvResetprogress(n);
    for (std::size_t i = 0; i < n; ++i) {
        encodeSample(samples[i], stats, projection, codes.data() + i * kSampleCodeSize,
                     stats.moving ? motion.data() + i * msize : nullptr);
        Logger::QvIncreaseprogress();
    }
    Logger::QvSetDoneProgression();
}

} // namespace Quorvel::FinalView
