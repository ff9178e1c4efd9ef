#include "ViewRenderer.h"

#include <lodepng.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <functional>
#include <thread>

#include "FinalCodes.h"
#include "Preview.h"
#include "camera/CubeMap.h"
#include "foundation/Vekbin.h"

namespace Quorvel::FinalView {

namespace {

constexpr float kPi = 3.14159265358979f;
constexpr float kNear = 1e-3f; // file units: a tenth of a box unit
constexpr uint32_t kBandRows = 16;

VekPoint add(const VekPoint& a, const VekPoint& b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
VekPoint sub(const VekPoint& a, const VekPoint& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
VekPoint mul(const VekPoint& a, float s) { return {a.x * s, a.y * s, a.z * s}; }
float dot(const VekPoint& a, const VekPoint& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
VekPoint cross(const VekPoint& a, const VekPoint& b)
{
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
VekPoint unit(const VekPoint& a)
{
    const float l = std::sqrt(dot(a, a));
    return l > 0.0f ? mul(a, 1.0f / l) : a;
}

uint32_t word(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

unsigned threadCount(unsigned requested)
{
    if (requested != 0)
        return requested;
    return std::max(1u, std::thread::hardware_concurrency());
}

// Runs body(t) on `count` threads, the calling one included.
void parallel(unsigned count, const std::function<void(unsigned)>& body)
{
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < count; ++t)
        pool.emplace_back(body, t);
    body(0);
    for (auto& t : pool)
        t.join();
}

// Octahedral normal of a cube code's 16 bits; zero for code 0.
VekPoint cubeNormal(uint32_t code)
{
    if (code == 0)
        return {0, 0, 0};
    float a = static_cast<float>(code >> 8) / 255.0f * 2.0f - 1.0f;
    float b = static_cast<float>(code & 255u) / 255.0f * 2.0f - 1.0f;
    const float c = 1.0f - std::fabs(a) - std::fabs(b);
    if (c < 0.0f) {
        const float na = (1.0f - std::fabs(b)) * (a >= 0.0f ? 1.0f : -1.0f);
        const float nb = (1.0f - std::fabs(a)) * (b >= 0.0f ? 1.0f : -1.0f);
        a = na;
        b = nb;
    }
    return unit({a, b, c});
}

// The plaque of one code, or false when it cannot be placed.
bool placePlaque(const uint8_t* code, const FinalViewData& file, float footprintScale, ViewPlaque& out)
{
    const bool cube = file.cube();
    const DecodedCode d = decodeCode(code, cube, file.displayWidth);
    const uint32_t w0 = word(code), w1 = word(code + 4), w2 = word(code + 8), w3 = word(code + 12);
    if (d.plaqueWidth == 0 || d.plaqueHeight == 0)
        return false;

    const VekPoint camera = file.cameraTable[d.camera & 255u];
    const float depth = decodeDepthCode(d.depth);
    std::array<VekPoint, 4> dirs;
    VekPoint centreDir;
    VekPoint normal;
    const float w = static_cast<float>(d.plaqueWidth), h = static_cast<float>(d.plaqueHeight);
    if (cube) {
        const uint32_t face = (static_cast<uint32_t>(file.displayHeight) / 2) >> d.level;
        if (face == 0)
            return false;
        const float cx = static_cast<float>((d.x >> d.level) - static_cast<int32_t>((d.plaqueWidth - 1) / 2));
        const float cy = static_cast<float>((d.y >> d.level) - static_cast<int32_t>((d.plaqueHeight - 1) / 2));
        const float iw = 1.0f / static_cast<float>(3 * face), ih = 1.0f / static_cast<float>(2 * face);
        centreDir = unit(Camera::cubeMapDirection((cx + w * 0.5f) * iw, (cy + h * 0.5f) * ih));
        // Corners just inside the footprint, so that each stays on its own face.
        constexpr float e = 1e-3f;
        const float u0 = (cx + e) * iw, u1 = (cx + w - e) * iw, v0 = (cy + e) * ih, v1 = (cy + h - e) * ih;
        dirs = {unit(Camera::cubeMapDirection(u0, v0)), unit(Camera::cubeMapDirection(u1, v0)),
                unit(Camera::cubeMapDirection(u1, v1)), unit(Camera::cubeMapDirection(u0, v1))};
        normal = cubeNormal(w2 & 0xFFFFu);
    } else {
        const int32_t lw = static_cast<int32_t>(file.displayWidth >> d.level);
        const int32_t lh = static_cast<int32_t>(file.displayHeight >> d.level);
        if (lw <= 0 || lh <= 0)
            return false;
        centreDir = unit(Binary::pixelDirection(d.x >> d.level, d.y >> d.level, lw, lh, 0).direction);
        // A latitude-longitude cell spans about pi / rows each way.
        const VekPoint helper = std::fabs(centreDir.y) < 0.9f ? VekPoint{0, 1, 0} : VekPoint{1, 0, 0};
        const VekPoint tu = unit(cross(helper, centreDir)), tv = cross(centreDir, tu);
        const float half = std::tan(kPi / static_cast<float>(lh) * 0.5f);
        const float hu = half * w, hv = half * h;
        dirs = {unit(add(centreDir, add(mul(tu, -hu), mul(tv, -hv)))), unit(add(centreDir, add(mul(tu, hu), mul(tv, -hv)))),
                unit(add(centreDir, add(mul(tu, hu), mul(tv, hv)))), unit(add(centreDir, add(mul(tu, -hu), mul(tv, hv))))};
        normal = normalDirectionTable()[w1 >> 24];
    }
    const VekPoint centre = add(camera, mul(centreDir, depth));
    out.centre = centre;
    const bool hasNormal = dot(normal, normal) > 0.5f;
    for (int k = 0; k < 4; ++k) {
        // The footprint on the tangent plane; where the plane grazes the
        // ray, the footprint square to the line of sight instead.
        const float facing = dot(dirs[k], centreDir);
        float t = facing > 1e-3f ? depth / facing : depth;
        if (hasNormal) {
            const float g = dot(dirs[k], normal);
            if (std::fabs(g) > 1e-4f) {
                const float tp = dot(sub(centre, camera), normal) / g;
                if (std::isfinite(tp) && tp > 0.25f * t && tp < 4.0f * t)
                    t = tp;
            }
        }
        const VekPoint corner = add(camera, mul(dirs[k], t));
        out.corners[k] = add(centre, mul(sub(corner, centre), footprintScale));
    }
    const uint32_t colour = d.colour;
    const uint32_t rightColour = cube ? ((w1 ^ w0) & 0xFFFFFFu) : ((w3 ^ w2) & 0xFFFFFFu);
    out.left = decodeColourCode(colour);
    out.right = decodeColourCode(rightColour);
    out.alpha = static_cast<float>(d.alpha) / 255.0f;
    for (const VekPoint& c : out.corners)
        if (!std::isfinite(c.x) || !std::isfinite(c.y) || !std::isfinite(c.z))
            return false;
    return true;
}

struct Quad {
    float sx[4], sy[4];
    // 1/z as an affine function of the screen position: iz = a*x + b*y + c.
    float a = 0, b = 0, c = 0;
    // Position inside the quad, 0..1 along the edges from corner 0 to 1 (s)
    // and from corner 0 to 3 (t), as affine functions of the screen position.
    float sa = 0, sb = 0, sc = 0, ta = 0, tb = 0, tc = 0;
    float x0 = 0, x1 = 0, y0 = 0, y1 = 0;
    bool visible = false;
};

struct Frame {
    VekPoint eye, right, up, back;
    float tanX = 1, tanY = 1;
    uint32_t width = 0, height = 0;
};

Quad project(const ViewPlaque& p, const Frame& f, float scale)
{
    Quad q;
    float iz[4];
    const float hw = 0.5f * static_cast<float>(f.width), hh = 0.5f * static_cast<float>(f.height);
    for (int k = 0; k < 4; ++k) {
        const VekPoint corner = scale == 1.0f ? p.corners[k] : add(p.centre, mul(sub(p.corners[k], p.centre), scale));
        const VekPoint rel = sub(corner, f.eye);
        const float z = -dot(rel, f.back);
        if (!(z > kNear))
            return q;
        iz[k] = 1.0f / z;
        q.sx[k] = (dot(rel, f.right) * iz[k] / f.tanX + 1.0f) * hw;
        q.sy[k] = (1.0f - dot(rel, f.up) * iz[k] / f.tanY) * hh;
    }
    q.x0 = std::min({q.sx[0], q.sx[1], q.sx[2], q.sx[3]});
    q.x1 = std::max({q.sx[0], q.sx[1], q.sx[2], q.sx[3]});
    q.y0 = std::min({q.sy[0], q.sy[1], q.sy[2], q.sy[3]});
    q.y1 = std::max({q.sy[0], q.sy[1], q.sy[2], q.sy[3]});
    if (q.x1 < 0.0f || q.y1 < 0.0f || q.x0 > 2.0f * hw || q.y0 > 2.0f * hh)
        return q;
    // Plane of 1/z through the triangle of the largest area.
    int best = 0;
    float bestArea = 0.0f;
    for (int skip = 0; skip < 4; ++skip) {
        const int i = (skip + 1) % 4, j = (skip + 2) % 4, k = (skip + 3) % 4;
        const float area = (q.sx[j] - q.sx[i]) * (q.sy[k] - q.sy[i]) - (q.sx[k] - q.sx[i]) * (q.sy[j] - q.sy[i]);
        if (std::fabs(area) > std::fabs(bestArea)) {
            bestArea = area;
            best = skip;
        }
    }
    if (std::fabs(bestArea) < 1e-12f)
        return q;
    const int i = (best + 1) % 4, j = (best + 2) % 4, k = (best + 3) % 4;
    const float dx1 = q.sx[j] - q.sx[i], dy1 = q.sy[j] - q.sy[i], dz1 = iz[j] - iz[i];
    const float dx2 = q.sx[k] - q.sx[i], dy2 = q.sy[k] - q.sy[i], dz2 = iz[k] - iz[i];
    q.a = (dz1 * dy2 - dz2 * dy1) / bestArea;
    q.b = (dx1 * dz2 - dx2 * dz1) / bestArea;
    q.c = iz[i] - q.a * q.sx[i] - q.b * q.sy[i];
    const float e1x = q.sx[1] - q.sx[0], e1y = q.sy[1] - q.sy[0], e3x = q.sx[3] - q.sx[0], e3y = q.sy[3] - q.sy[0];
    const float det = e1x * e3y - e1y * e3x;
    if (std::fabs(det) > 1e-12f) {
        q.sa = e3y / det;
        q.sb = -e3x / det;
        q.sc = -(q.sa * q.sx[0] + q.sb * q.sy[0]);
        q.ta = -e1y / det;
        q.tb = e1x / det;
        q.tc = -(q.ta * q.sx[0] + q.tb * q.sy[0]);
    }
    q.visible = true;
    return q;
}

// Background colour (linear) of a zone-of-view direction.
VekRGB backgroundColour(const ViewScene& s, const VekPoint& dir)
{
    if (s.background.empty())
        return {0, 0, 0};
    const VekPoint d = unit(dir);
    const float theta = std::acos(std::clamp(d.y, -1.0f, 1.0f));
    float phi = std::atan2(d.z, d.x) / kPi * 0.5f - 0.25f; // turns, 0 at the picture's left edge
    phi -= std::floor(phi);
    const uint32_t col = std::min(s.backgroundWidth - 1, static_cast<uint32_t>(phi * static_cast<float>(s.backgroundWidth)));
    const uint32_t row =
        std::min(s.backgroundHeight - 1, static_cast<uint32_t>(theta / kPi * static_cast<float>(s.backgroundHeight)));
    const uint8_t* p = &s.background[(static_cast<std::size_t>(row) * s.backgroundWidth + col) * 4];
    auto lin = [](uint8_t v) {
        const float c = static_cast<float>(v) / 255.0f;
        return c <= 0.04045f ? c / 12.92f : std::pow((c + 0.055f) / 1.055f, 2.4f);
    };
    return {lin(p[0]), lin(p[1]), lin(p[2])};
}

// Calls pixel(col, row, iz) for every pixel centre of the band inside the quad.
template <typename F>
void forEachPixel(const Quad& q, int rowBegin, int rowEnd, int width, F&& pixel)
{
    // Edge functions of the quad, oriented so that inside is positive.
    float ex[4], ey[4], ec[4];
    float orientation = 0.0f;
    for (int k = 0; k < 4; ++k) {
        const int l = (k + 1) % 4;
        orientation += q.sx[k] * q.sy[l] - q.sx[l] * q.sy[k];
    }
    const float sign = orientation >= 0.0f ? 1.0f : -1.0f;
    for (int k = 0; k < 4; ++k) {
        const int l = (k + 1) % 4;
        ex[k] = sign * (q.sy[k] - q.sy[l]);
        ey[k] = sign * (q.sx[l] - q.sx[k]);
        ec[k] = sign * (q.sx[k] * q.sy[l] - q.sx[l] * q.sy[k]);
    }
    // Clamped as floats first: corners near the eye project far outside.
    auto clamp = [](float v, int lo, int hi) {
        return static_cast<int>(std::clamp(v, static_cast<float>(lo), static_cast<float>(hi)));
    };
    const int r0 = clamp(std::ceil(q.y0 - 0.5f), rowBegin, rowEnd);
    const int r1 = clamp(std::floor(q.y1 - 0.5f), rowBegin - 1, rowEnd - 1);
    const int c0 = clamp(std::ceil(q.x0 - 0.5f), 0, width);
    const int c1 = clamp(std::floor(q.x1 - 0.5f), -1, width - 1);
    for (int row = r0; row <= r1; ++row) {
        const float py = static_cast<float>(row) + 0.5f;
        // The columns whose centres pass all four edges: each edge bounds the
        // row on one side.
        float left = static_cast<float>(c0), right = static_cast<float>(c1);
        for (int k = 0; k < 4; ++k) {
            const float rest = ey[k] * py + ec[k];
            if (ex[k] > 0.0f)
                left = std::max(left, std::ceil(-rest / ex[k] - 0.5f));
            else if (ex[k] < 0.0f)
                right = std::min(right, std::floor(-rest / ex[k] - 0.5f));
            else if (rest < 0.0f)
                right = left - 1.0f;
        }
        if (!(left <= right))
            continue;
        const float rowDepth = q.b * py + q.c;
        for (int col = static_cast<int>(left); col <= static_cast<int>(right); ++col)
            pixel(col, row, q.a * (static_cast<float>(col) + 0.5f) + rowDepth);
    }
}

LinearImage renderPinhole(const ViewScene& scene, const Frame& f, bool rightEye, unsigned threads, float blend)
{
    const std::size_t n = scene.plaques.size();
    std::vector<Quad> quads(n), tents(blend > 0.0f ? n : 0);
    const uint32_t bands = (f.height + kBandRows - 1) / kBandRows;
    // Per thread and band, the plaques in file order; concatenated in thread
    // order they keep the file order.
    std::vector<std::vector<std::vector<uint32_t>>> lists(threads, std::vector<std::vector<uint32_t>>(bands));
    parallel(threads, [&](unsigned t) {
        const std::size_t begin = n * t / threads, end = n * (t + 1) / threads;
        auto& mine = lists[t];
        for (std::size_t i = begin; i < end; ++i) {
            quads[i] = project(scene.plaques[i], f, 1.0f);
            // The tent covers the footprint, so its rows are the ones to list.
            const bool tent = !tents.empty() && i < scene.opaqueCount;
            if (tent)
                tents[i] = project(scene.plaques[i], f, blend);
            const Quad& extent = tent && tents[i].visible ? tents[i] : quads[i];
            if (!extent.visible)
                continue;
            const float top = extent.y0, bottom = extent.y1;
            const float y0 = std::max(0.0f, top - 0.5f);
            const float y1 = std::min(static_cast<float>(f.height) - 1.0f, bottom - 0.5f);
            if (y1 < y0)
                continue;
            const uint32_t b0 = static_cast<uint32_t>(std::ceil(y0)) / kBandRows;
            const uint32_t b1 = static_cast<uint32_t>(std::floor(y1)) / kBandRows;
            for (uint32_t b = b0; b <= b1 && b < bands; ++b)
                mine[b].push_back(static_cast<uint32_t>(i));
        }
    });

    LinearImage image;
    image.width = f.width;
    image.height = f.height;
    image.rgb.assign(static_cast<std::size_t>(f.width) * f.height * 3, 0.0f);
    std::atomic<uint32_t> nextBand{0};
    std::atomic<uint64_t> uncovered{0};
    const int width = static_cast<int>(f.width);
    parallel(threads, [&](unsigned) {
        const std::size_t bandPixels = static_cast<std::size_t>(f.width) * kBandRows;
        std::vector<float> depth(bandPixels), weight(tents.empty() ? 0 : bandPixels),
            sum(tents.empty() ? 0 : bandPixels * 3);
        for (uint32_t band = nextBand++; band < bands; band = nextBand++) {
            const int rowBegin = static_cast<int>(band * kBandRows);
            const int rowEnd = std::min(static_cast<int>(f.height), rowBegin + static_cast<int>(kBandRows));
            std::fill(depth.begin(), depth.end(), 0.0f);
            float* rgb = &image.rgb[static_cast<std::size_t>(rowBegin) * f.width * 3];
            auto at = [&](int col, int row) { return static_cast<std::size_t>(row - rowBegin) * f.width + static_cast<std::size_t>(col); };

            // Opaque footprints with the depth test.
            for (const auto& perThread : lists)
                for (const uint32_t index : perThread[band]) {
                    if (index >= scene.opaqueCount || !quads[index].visible)
                        continue;
                    const VekRGB& colour = rightEye ? scene.plaques[index].right : scene.plaques[index].left;
                    forEachPixel(quads[index], rowBegin, rowEnd, width, [&](int col, int row, float iz) {
                        const std::size_t i = at(col, row);
                        if (iz > depth[i]) {
                            depth[i] = iz;
                            rgb[i * 3] = colour.r;
                            rgb[i * 3 + 1] = colour.g;
                            rgb[i * 3 + 2] = colour.b;
                        }
                    });
                }
            // Blending: every plaque of the visible surface spreads its colour
            // as a tent over its enlarged footprint, so neighbouring plaques'
            // colours meet in gradients instead of steps.
            if (!tents.empty()) {
                std::fill(weight.begin(), weight.end(), 0.0f);
                std::fill(sum.begin(), sum.end(), 0.0f);
                for (const auto& perThread : lists)
                    for (const uint32_t index : perThread[band]) {
                        if (index >= scene.opaqueCount || !tents[index].visible)
                            continue;
                        const Quad& q = tents[index];
                        const VekRGB& colour = rightEye ? scene.plaques[index].right : scene.plaques[index].left;
                        forEachPixel(q, rowBegin, rowEnd, width, [&](int col, int row, float iz) {
                            const std::size_t i = at(col, row);
                            // Same surface: within 3 % of the front depth.
                            if (!(std::fabs(iz - depth[i]) <= 0.03f * depth[i]))
                                return;
                            const float px = static_cast<float>(col) + 0.5f, py = static_cast<float>(row) + 0.5f;
                            const float u = q.sa * px + q.sb * py + q.sc, v = q.ta * px + q.tb * py + q.tc;
                            const float w = std::max(0.0f, 1.0f - std::fabs(2.0f * u - 1.0f)) *
                                            std::max(0.0f, 1.0f - std::fabs(2.0f * v - 1.0f));
                            weight[i] += w;
                            sum[i * 3] += w * colour.r;
                            sum[i * 3 + 1] += w * colour.g;
                            sum[i * 3 + 2] += w * colour.b;
                        });
                    }
                for (std::size_t i = 0; i < static_cast<std::size_t>(rowEnd - rowBegin) * f.width; ++i)
                    if (weight[i] > 1e-6f)
                        for (int c = 0; c < 3; ++c)
                            rgb[i * 3 + c] = sum[i * 3 + c] / weight[i];
            }
            // Transparent samples over the opaque picture, far to near as the
            // file orders them ("over" with premultiplied colours).
            for (const auto& perThread : lists)
                for (const uint32_t index : perThread[band]) {
                    if (index < scene.opaqueCount || !quads[index].visible)
                        continue;
                    const ViewPlaque& p = scene.plaques[index];
                    const VekRGB& colour = rightEye ? p.right : p.left;
                    const float keep = 1.0f - p.alpha;
                    forEachPixel(quads[index], rowBegin, rowEnd, width, [&](int col, int row, float iz) {
                        const std::size_t i = at(col, row);
                        if (!(iz > depth[i] * 0.99f))
                            return;
                        rgb[i * 3] = colour.r + keep * rgb[i * 3];
                        rgb[i * 3 + 1] = colour.g + keep * rgb[i * 3 + 1];
                        rgb[i * 3 + 2] = colour.b + keep * rgb[i * 3 + 2];
                        if (depth[i] == 0.0f)
                            depth[i] = -1.0f; // covered, but no depth to test against
                    });
                }

            uint64_t holes = 0;
            for (std::size_t i = 0; i < static_cast<std::size_t>(rowEnd - rowBegin) * f.width; ++i)
                holes += depth[i] == 0.0f;
            uncovered += holes;
            if (scene.background.empty() || holes == 0)
                continue;
            for (int row = rowBegin; row < rowEnd; ++row)
                for (int col = 0; col < width; ++col) {
                    if (depth[at(col, row)] != 0.0f)
                        continue;
                    const float xs = ((static_cast<float>(col) + 0.5f) / static_cast<float>(f.width) * 2.0f - 1.0f) * f.tanX;
                    const float ys = (1.0f - (static_cast<float>(row) + 0.5f) / static_cast<float>(f.height) * 2.0f) * f.tanY;
                    const VekRGB c = backgroundColour(scene, add(add(mul(f.right, xs), mul(f.up, ys)), mul(f.back, -1.0f)));
                    float* out = rgb + at(col, row) * 3;
                    out[0] = c.r;
                    out[1] = c.g;
                    out[2] = c.b;
                }
        }
    });
    image.uncovered = static_cast<double>(uncovered.load()) / (static_cast<double>(f.width) * f.height);
    return image;
}

LinearImage downsample(const LinearImage& big, uint32_t factor)
{
    LinearImage out;
    out.width = big.width / factor;
    out.height = big.height / factor;
    out.uncovered = big.uncovered;
    out.rgb.assign(static_cast<std::size_t>(out.width) * out.height * 3, 0.0f);
    const float norm = 1.0f / static_cast<float>(factor * factor);
    for (uint32_t y = 0; y < out.height; ++y)
        for (uint32_t x = 0; x < out.width; ++x)
            for (uint32_t c = 0; c < 3; ++c) {
                float sum = 0.0f;
                for (uint32_t j = 0; j < factor; ++j)
                    for (uint32_t i = 0; i < factor; ++i)
                        sum += big.rgb[((static_cast<std::size_t>(y) * factor + j) * big.width + x * factor + i) * 3 + c];
                out.rgb[(static_cast<std::size_t>(y) * out.width + x) * 3 + c] = sum * norm;
            }
    return out;
}

// Bilinear sample of a face picture at pixel coordinates (centres at +0.5).
void sampleFace(const LinearImage& face, float x, float y, float* out)
{
    const float fx = std::clamp(x - 0.5f, 0.0f, static_cast<float>(face.width - 1));
    const float fy = std::clamp(y - 0.5f, 0.0f, static_cast<float>(face.height - 1));
    const uint32_t x0 = static_cast<uint32_t>(fx), y0 = static_cast<uint32_t>(fy);
    const uint32_t x1 = std::min(face.width - 1, x0 + 1), y1 = std::min(face.height - 1, y0 + 1);
    const float ax = fx - static_cast<float>(x0), ay = fy - static_cast<float>(y0);
    for (int c = 0; c < 3; ++c) {
        auto at = [&](uint32_t px, uint32_t py) { return face.rgb[(static_cast<std::size_t>(py) * face.width + px) * 3 + c]; };
        out[c] = (at(x0, y0) * (1 - ax) + at(x1, y0) * ax) * (1 - ay) + (at(x0, y1) * (1 - ax) + at(x1, y1) * ax) * ay;
    }
}

} // namespace

bool placeSample(const FinalViewData& file, std::size_t index, float footprintScale, ViewPlaque& out)
{
    if (index >= file.codes.size() / kSampleCodeSize)
        return false;
    return placePlaque(&file.codes[index * kSampleCodeSize], file, footprintScale, out);
}

VekPoint sampleNormal(const FinalViewData& file, std::size_t index)
{
    if (index >= file.codes.size() / kSampleCodeSize)
        return {0, 0, 0};
    const uint8_t* code = &file.codes[index * kSampleCodeSize];
    return file.cube() ? cubeNormal(word(code + 8) & 0xFFFFu) : normalDirectionTable()[word(code + 4) >> 24];
}

ViewScene buildViewScene(const FinalViewData& file, float footprintScale, unsigned threads)
{
    ViewScene s;
    const VekPoint row0{file.camToWorld[0], file.camToWorld[1], file.camToWorld[2]};
    const float r = std::sqrt(dot(row0, row0));
    if (std::isfinite(r) && r > 0.0f) {
        s.renderScale = r;
        for (int i = 0; i < 3; ++i)
            s.rotation[i] = {file.camToWorld[4 * i] / r, file.camToWorld[4 * i + 1] / r, file.camToWorld[4 * i + 2] / r};
        s.translation = {file.camToWorld[12] / r, file.camToWorld[13] / r, file.camToWorld[14] / r};
    }
    const VekPoint boxScale{file.boxMax.x / 50.0f, file.boxMax.y / 50.0f, file.boxMax.z / 50.0f};
    s.zoneOffset = {file.camOffset[0] * 100.0f * boxScale.x, file.camOffset[1] * 100.0f * boxScale.y,
                    file.camOffset[2] * 100.0f * boxScale.z};
    s.halfExtent = {(file.boxMax.x - file.boxMin.x) / 200.0f, (file.boxMax.y - file.boxMin.y) / 200.0f,
                    (file.boxMax.z - file.boxMin.z) / 200.0f};
    if (!file.background.empty()) {
        std::vector<unsigned char> picture;
        unsigned w = 0, h = 0;
        if (lodepng::decode(picture, w, h, file.background, LCT_RGBA, 8) == 0 && w > 0 && h > 0) {
            s.background = std::move(picture);
            s.backgroundWidth = w;
            s.backgroundHeight = h;
        }
    }

    const std::size_t n = file.codes.size() / kSampleCodeSize;
    std::vector<ViewPlaque> placed(n);
    std::vector<uint8_t> ok(n, 0);
    const unsigned t = threadCount(threads);
    parallel(t, [&](unsigned k) {
        for (std::size_t i = n * k / t; i < n * (k + 1) / t; ++i)
            ok[i] = placePlaque(&file.codes[i * kSampleCodeSize], file, footprintScale, placed[i]);
    });
    s.plaques.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (!ok[i])
            continue;
        s.plaques.push_back(placed[i]);
        if (i < file.opaqueCount)
            ++s.opaqueCount;
    }
    return s;
}

ViewCamera eyeCamera(const ViewScene& scene, const ViewRequest& q)
{
    const float yaw = -q.yawDegrees * kPi / 180.0f, pitch = q.pitchDegrees * kPi / 180.0f,
                roll = q.rollDegrees * kPi / 180.0f;
    // Roll about the line of sight, then pitch about the right axis, then yaw
    // about the zone's up axis.
    auto rotate = [&](VekPoint v) {
        v = {v.x * std::cos(roll) - v.y * std::sin(roll), v.x * std::sin(roll) + v.y * std::cos(roll), v.z};
        v = {v.x, v.y * std::cos(pitch) - v.z * std::sin(pitch), v.y * std::sin(pitch) + v.z * std::cos(pitch)};
        return VekPoint{v.x * std::cos(yaw) + v.z * std::sin(yaw), v.y, -v.x * std::sin(yaw) + v.z * std::cos(yaw)};
    };
    ViewCamera c;
    c.right = rotate({1, 0, 0});
    c.up = rotate({0, 1, 0});
    c.back = rotate({0, 0, 1});
    const VekPoint head{q.position.x * scene.halfExtent.x, q.position.y * scene.halfExtent.y,
                        q.position.z * scene.halfExtent.z};
    // Half the IPD: millimetres / 20 box units, a hundredth of that in file units.
    const float half = q.ipdMillimetres / 2000.0f;
    c.position = add(head, mul(c.right, q.eye == ViewEye::Left ? -half : half));
    return c;
}

std::string hostCameraTransform(const ViewScene& s, const ViewRequest& q)
{
    const ViewCamera c = eyeCamera(s, q);
    auto toWorld = [&](const VekPoint& v) {
        return add(add(mul(s.rotation[0], v.x), mul(s.rotation[1], v.y)), mul(s.rotation[2], v.z));
    };
    const VekPoint local = mul(add(mul(c.position, 100.0f), s.zoneOffset), 1.0f / s.renderScale);
    const VekPoint p = add(toWorld(local), s.translation);
    const VekPoint axes[4] = {toWorld(c.right), toWorld(c.up), toWorld(c.back), p};
    std::string out = "[";
    char buffer[32];
    for (int i = 0; i < 4; ++i) {
        const float v[3] = {axes[i].x, axes[i].y, axes[i].z};
        for (int k = 0; k < 3; ++k) {
            std::snprintf(buffer, sizeof buffer, "%s%.9g", (i || k) ? ", " : "", static_cast<double>(v[k]));
            out += buffer;
        }
    }
    return out + "]";
}

LinearImage renderView(const ViewScene& scene, const ViewRequest& q)
{
    const unsigned threads = threadCount(q.threads);
    const uint32_t ss = std::max(1u, q.supersample);
    const ViewCamera cam = eyeCamera(scene, q);
    const bool right = q.eye == ViewEye::Right;
    if (q.width == 0 || q.height == 0)
        return {};
    if (!q.panorama) {
        Frame f{cam.position, cam.right, cam.up, cam.back, 1, 1, q.width * ss, q.height * ss};
        f.tanX = std::tan(q.fovDegrees * kPi / 360.0f);
        f.tanY = f.tanX * static_cast<float>(q.height) / static_cast<float>(q.width);
        LinearImage big = renderPinhole(scene, f, right, threads, q.blend);
        return ss == 1 ? big : downsample(big, ss);
    }

    // Six 90-degree faces, resampled onto the equirectangular grid.
    const uint32_t faceSize = std::max(16u, q.width / 4) * ss;
    struct FaceAxes { VekPoint forward, up; };
    const FaceAxes faces[6] = {{{1, 0, 0}, {0, 1, 0}},  {{-1, 0, 0}, {0, 1, 0}}, {{0, 1, 0}, {0, 0, 1}},
                               {{0, -1, 0}, {0, 0, -1}}, {{0, 0, 1}, {0, 1, 0}},  {{0, 0, -1}, {0, 1, 0}}};
    auto toZone = [&](const VekPoint& v) {
        return add(add(mul(cam.right, v.x), mul(cam.up, v.y)), mul(cam.back, v.z));
    };
    std::vector<LinearImage> pictures;
    for (const FaceAxes& a : faces) {
        const VekPoint r = cross(a.forward, a.up);
        Frame f{cam.position, toZone(r), toZone(a.up), toZone(mul(a.forward, -1.0f)), 1, 1, faceSize, faceSize};
        pictures.push_back(renderPinhole(scene, f, right, threads, q.blend));
    }
    LinearImage out;
    out.width = q.width;
    out.height = q.height;
    for (const LinearImage& p : pictures)
        out.uncovered += p.uncovered / 6.0;
    out.rgb.assign(static_cast<std::size_t>(q.width) * q.height * 3, 0.0f);
    parallel(threads, [&](unsigned t) {
        for (uint32_t row = t; row < q.height; row += threads) {
            const float theta = (static_cast<float>(row) + 0.5f) / static_cast<float>(q.height) * kPi;
            for (uint32_t col = 0; col < q.width; ++col) {
                const float phi = ((static_cast<float>(col) + 0.5f) / static_cast<float>(q.width) * 2.0f + 0.5f) * kPi;
                const VekPoint v{std::cos(phi) * std::sin(theta), std::cos(theta), std::sin(phi) * std::sin(theta)};
                int best = 0;
                for (int k = 1; k < 6; ++k)
                    if (dot(v, faces[k].forward) > dot(v, faces[best].forward))
                        best = k;
                const FaceAxes& a = faces[best];
                const float fz = dot(v, a.forward);
                const float x = dot(v, cross(a.forward, a.up)) / fz, y = dot(v, a.up) / fz;
                const float size = static_cast<float>(faceSize);
                sampleFace(pictures[best], (x + 1.0f) * 0.5f * size, (1.0f - y) * 0.5f * size,
                           &out.rgb[(static_cast<std::size_t>(row) * q.width + col) * 3]);
            }
        }
    });
    return out;
}

std::vector<uint8_t> toSrgba8(const LinearImage& image)
{
    std::vector<uint8_t> out(static_cast<std::size_t>(image.width) * image.height * 4, 255);
    for (std::size_t i = 0, j = 0; i < image.rgb.size(); i += 3, j += 4)
        for (int c = 0; c < 3; ++c) {
            const float v = std::clamp(image.rgb[i + c], 0.0f, 1.0f);
            const float s = v <= 0.0031308f ? v * 12.92f : 1.055f * std::pow(v, 1.0f / 2.4f) - 0.055f;
            out[j + c] = static_cast<uint8_t>(std::lround(s * 255.0f));
        }
    return out;
}

} // namespace Quorvel::FinalView
