#include "Preview.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <random>
#include <thread>

#include "FinalCodes.h"
#include "PngRgba.h"
#include "camera/CubeMap.h"
#include "foundation/Vekbin.h"

namespace Quorvel::FinalView {

float decodeDepthCode(uint32_t depth)
{
    return std::tan(static_cast<float>(depth) / 32767.0f * 1.5547974f + 0.014998876f);
}

namespace {

inline uint32_t word(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

struct Projected {
    float depthKey = 0.0f;
    int32_t px = -1;
    int32_t py = -1;
    float coverage = 0.0f;
    std::array<uint8_t, 4> colour{};
};

struct Slot {
    float depthKey = 0.0f;
    float rgb[3] = {0.0f, 0.0f, 0.0f};
};

float srgbApprox(float v)
{
    const float r = 0.6620027f * std::sqrt(v) + 0.6841221f * std::pow(v, 0.25f) - 0.3235836f * std::pow(v, 0.125f) -
                    0.022541147f * v;
    return r > 0.0f ? r : 0.0f;
}

Projected project(const uint8_t* code, const PreviewFrame& frame, uint32_t W, uint32_t H,
                  const std::array<VekPoint, 256>& cameras)
{
    Projected out;
    const bool cube = (frame.flags & 8u) != 0;
    const DecodedCode d = decodeCode(code, cube, frame.displayWidth);
    const int32_t cell = 1 << d.level;
    const int32_t cx = (d.x >> d.level) - static_cast<int32_t>((d.plaqueWidth - 1) / 2);
    const int32_t cy = (d.y >> d.level) - static_cast<int32_t>((d.plaqueHeight - 1) / 2);

    const float depth = decodeDepthCode(d.depth);
    VekPoint dir;
    const uint32_t F = frame.displayHeight;
    if (cube) {
        const uint32_t face = (F / 2) >> d.level;
        if (face == 0)
            return out;
        const float u = (static_cast<float>(cx) + static_cast<float>(d.plaqueWidth) * 0.5f) /
                        static_cast<float>(3 * face);
        const float v = (static_cast<float>(cy) + static_cast<float>(d.plaqueHeight) * 0.5f) /
                        static_cast<float>(2 * face);
        dir = Camera::cubeMapDirection(u, v);
    } else {
        const int32_t lw = static_cast<int32_t>(frame.displayWidth >> d.level);
        const int32_t lh = static_cast<int32_t>(F >> d.level);
        if (lw <= 0 || lh <= 0)
            return out;
        dir = Binary::pixelDirection(d.x >> d.level, d.y >> d.level, lw, lh, 0).direction;
    }
    dir = Utils::normalize(dir);
    const VekPoint& cam = cameras[d.camera & 255u];
    VekPoint p{dir.x * depth + cam.x, dir.y * depth + cam.y, dir.z * depth + cam.z};

    const float hx = (frame.boxMax.x - frame.boxMin.x) / 100.0f * 0.5f;
    const float hy = (frame.boxMax.y - frame.boxMin.y) / 100.0f * 0.5f;
    const float hz = (frame.boxMax.z - frame.boxMin.z) / 100.0f * 0.5f;
    const float a = static_cast<float>(W) / static_cast<float>(H);
    p.z -= hz + std::min(hx, hy * a);
    const float t = std::tan(0.7853982f);
    const float e = -p.z;
    const float u = 0.5f + 0.5f * p.x / (t * e);
    const float v = 0.5f + 0.5f * a * p.y / (t * e);
    const float key = 0.2f / e;
    // Written so that NaN positions count as invalid.
    if (!(u >= 0.0f && u < 1.0f && v >= 0.0f && v < 1.0f && key >= 0.0f))
        return out;
    out.depthKey = key;
    out.px = std::min(static_cast<int32_t>(static_cast<float>(W) * u), static_cast<int32_t>(W) - 1);
    out.py = std::min(static_cast<int32_t>(static_cast<float>(H) * v), static_cast<int32_t>(H) - 1);

    const float fw = static_cast<float>(d.plaqueWidth * static_cast<uint32_t>(cell));
    const float fh = static_cast<float>(d.plaqueHeight * static_cast<uint32_t>(cell));
    const float f = static_cast<float>(F);
    out.coverage = fw * 1.1f * fh * static_cast<float>(W) * static_cast<float>(H) / (f * f / 4.0f);

    const VekRGB rgb = decodeColourCode(d.colour);
    const float alpha = static_cast<float>(d.alpha) / 255.0f;
    const float channels[3] = {rgb.r, rgb.g, rgb.b};
    for (int c = 0; c < 3; ++c) {
        const float lin = alpha > 0.0f ? channels[c] / alpha : channels[c];
        out.colour[c] = static_cast<uint8_t>(nearestInt(256.0f * srgbApprox(lin), 255));
    }
    out.colour[3] = static_cast<uint8_t>(nearestInt(256.0f * alpha, 255));
    return out;
}

} // namespace

DecodedCode decodeCode(const uint8_t* code, bool cube, uint32_t displayWidth)
{
    const uint32_t w0 = word(code), w1 = word(code + 4), w2 = word(code + 8), w3 = word(code + 12);
    DecodedCode d;
    if (cube) {
        d.colour = w0 & 0xFFFFFFu;
        d.alpha = w0 >> 24;
        d.camera = w1 >> 24;
        d.depth = (w2 >> 16) & 0x7FFFu;
        const uint32_t size = w3 & 31u;
        d.plaqueWidth = size % 3 + 1;
        d.plaqueHeight = (size / 3) % 3 + 1;
        d.level = size / 9;
        d.x = static_cast<int32_t>((w3 >> 7) & 0x1FFFu);
        d.y = static_cast<int32_t>(w3 >> 20);
        return d;
    }
    const uint32_t flags = w0 >> 24;
    const uint32_t index = w0 & 0xFFFFFFu;
    d.plaqueWidth = flags & 3u;
    d.plaqueHeight = (flags >> 4) & 3u;
    d.level = ((flags >> 2) & 1u) | (((flags >> 6) & 1u) << 1);
    if (displayWidth != 0) {
        d.x = static_cast<int32_t>(index % displayWidth);
        d.y = static_cast<int32_t>(index / displayWidth);
    }
    d.depth = w1 & 0x7FFFu;
    d.camera = (w1 >> 16) & 0xFFu;
    d.colour = w2 & 0xFFFFFFu;
    d.alpha = w2 >> 24;
    return d;
}

VekRGB decodeColourCode(uint32_t code)
{
    const float xq = static_cast<float>(code & 127u);
    const float yq = static_cast<float>((code >> 7) & 127u);
    const float Yq = static_cast<float>((code >> 14) & 1023u);
    const float x = xq * 0.49999997f / 127.0f + 0.15f;
    const float y = yq * 0.54f / 127.0f + 0.06f;
    const float Yp = Yq * 0.956f / 1023.0f;
    const float Y = std::pow(1.0f / (1.0f - Yp) - 1.0f, 1.5f);
    const float X = x * Y / y;
    const float Z = (1.0f - x - y) * Y / y;
    auto pos = [](float v) { return v > 0.0f ? v : 0.0f; };
    return {pos(3.2406f * X - 1.5372f * Y - 0.4986f * Z), pos(-0.9689f * X + 1.8758f * Y + 0.0415f * Z),
            pos(0.0557f * X - 0.204f * Y + 1.057f * Z)};
}

std::optional<std::vector<uint8_t>> renderPreview(const PreviewFrame& frame, const uint8_t* codes, std::size_t count,
                                                  uint32_t W, uint32_t H, const std::array<VekPoint, 256>& cameras)
{
    if (W < 3 || H < 3 || (count != 0 && codes == nullptr))
        return std::nullopt;
    std::vector<Slot> slots;
    std::vector<Projected> projected;
    try {
        slots.resize(static_cast<std::size_t>(W) * H * 16);
        projected.resize(count);
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }

    const std::size_t range = (count + 3) / 4;
    std::thread workers[4];
    for (std::size_t t = 0; t < 4; ++t) {
        const std::size_t begin = std::min(count, t * range);
        const std::size_t end = t == 3 ? count : std::min(count, begin + range);
        workers[t] = std::thread([&, begin, end] {
            for (std::size_t i = begin; i < end; ++i)
                projected[i] = project(codes + i * kSampleCodeSize, frame, W, H, cameras);
        });
    }
    for (auto& w : workers)
        w.join();

    // A fixed seed keeps the picture of a given file reproducible.
    std::minstd_rand random(1);
    for (const Projected& p : projected) {
        if (p.px < 0)
            continue;
        int k = static_cast<int>(std::min(p.coverage, 1.0f) * 16.0f + 0.5f);
        k = std::max(k, 1);
        const uint32_t s = static_cast<uint32_t>(random() % 16);
        const uint32_t stride = 16u / static_cast<uint32_t>(k);
        Slot* pixel = &slots[(static_cast<std::size_t>(p.py) * W + static_cast<std::size_t>(p.px)) * 16];
        const float alpha = static_cast<float>(p.colour[3]) / 255.0f;
        for (uint32_t j = 0; j < static_cast<uint32_t>(k); ++j) {
            Slot& slot = pixel[(s + j * stride) % 16];
            if (slot.depthKey < p.depthKey) {
                slot.depthKey = p.depthKey;
                for (int c = 0; c < 3; ++c)
                    slot.rgb[c] = slot.rgb[c] * (1.0f - alpha) + alpha * (static_cast<float>(p.colour[c]) / 255.0f);
            }
        }
    }

    std::vector<uint8_t> image(static_cast<std::size_t>(W) * H * 4, 0);
    for (uint32_t row = 0; row < H; ++row) {
        const uint32_t source = H - 1 - row;
        for (uint32_t col = 0; col < W; ++col) {
            const Slot* pixel = &slots[(static_cast<std::size_t>(source) * W + col) * 16];
            float sum[3] = {0.0f, 0.0f, 0.0f};
            int n = 0;
            for (int i = 0; i < 16; ++i) {
                if (pixel[i].rgb[0] != 0.0f || pixel[i].rgb[1] != 0.0f || pixel[i].rgb[2] != 0.0f)
                    ++n;
                for (int c = 0; c < 3; ++c)
                    sum[c] += pixel[i].rgb[c];
            }
            uint8_t* out = &image[(static_cast<std::size_t>(row) * W + col) * 4];
            for (int c = 0; c < 3; ++c) {
                const float v = sum[c] * 255.0f / static_cast<float>(std::max(n, 1));
                out[c] = static_cast<uint8_t>(std::clamp(v, 0.0f, 255.0f));
            }
            out[3] = n > 0 ? 255 : 0;
        }
    }

    for (uint32_t row = 0; row < H; ++row) {
        for (uint32_t col = 0; col < W; ++col) {
            uint8_t* out = &image[(static_cast<std::size_t>(row) * W + col) * 4];
            if (out[3] != 0)
                continue;
            const uint32_t cr = std::clamp(row, 1u, H - 2);
            const uint32_t cc = std::clamp(col, 1u, W - 2);
            uint32_t sum[4] = {0, 0, 0, 0};
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx) {
                    if (dx == 0 && dy == 0)
                        continue;
                    const uint8_t* n = &image[((cr + dy) * static_cast<std::size_t>(W) + (cc + dx)) * 4];
                    for (int c = 0; c < 4; ++c)
                        sum[c] += n[c];
                }
            for (int c = 0; c < 4; ++c)
                out[c] = static_cast<uint8_t>(sum[c] / 8);
        }
    }

    return encodeRgbaPng(image, W, H);
}

} // namespace Quorvel::FinalView
