#include "analysis/RedundancyRemoval.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <tuple>

#include "camera/CubeMap.h"
#include "io/HalfConversion.h"
#include "io/QvlRenderFile.h"

namespace Quorvel::BinIO::inline v2_0 {

namespace {

// Depth order that stays a strict weak order with NaN depths: they sort last.
bool depthBefore(float a, float b)
{
    if (std::isnan(a))
        return false;
    return std::isnan(b) || a < b;
}

bool canonicalBefore(const DetectPlaqueInfo& a, const DetectPlaqueInfo& b)
{
    const auto ka = std::make_tuple(a.transparent, a.cameraIndex, a.x, a.y);
    const auto kb = std::make_tuple(b.transparent, b.cameraIndex, b.x, b.y);
    if (ka != kb)
        return ka < kb;
    if (depthBefore(a.depth, b.depth) || depthBefore(b.depth, a.depth))
        return depthBefore(a.depth, b.depth);
    // Equal keys still get one order, so that the kept record of a run does
    // not depend on the order the buckets reached the temporary file.
    const auto bits = [](const DetectPlaqueInfo& p) {
        return std::make_tuple(p.estimated, p.hair, p.reserved, p.level, std::bit_cast<uint32_t>(p.depth),
                               std::bit_cast<uint32_t>(p.normal.x), std::bit_cast<uint32_t>(p.normal.y),
                               std::bit_cast<uint32_t>(p.normal.z));
    };
    return bits(a) < bits(b);
}

bool sameRecordKind(const DetectPlaqueInfo& a, const DetectPlaqueInfo& b)
{
    return a.cameraIndex == b.cameraIndex && a.x == b.x && a.y == b.y && a.estimated == b.estimated &&
           a.hair == b.hair && a.transparent == b.transparent;
}

float toFloat(half_float::half h)
{
    return static_cast<float>(h);
}

VekPoint sampleNormal(const qvlRenderSample5_t& s)
{
    return {toFloat(s.normal[0]), toFloat(s.normal[1]), toFloat(s.normal[2])};
}

float meanRgb(const qvlRenderSample5_t& s)
{
    return (toFloat(s.colour[0]) + toFloat(s.colour[1]) + toFloat(s.colour[2])) / 3.0f;
}

float clamp01(float v)
{
    return std::clamp(v, 0.0f, 1.0f);
}

float dot(const VekPoint& a, const VekPoint& b)
{
    return a.x * b.x + a.y * b.y + a.z * b.z;
}

// Direction of the sample's pixel in a width x height cube map, at the pixel
// corner or centre.
VekPoint pixelDirection(const qvlRenderSample5_t& s, uint64_t width, uint64_t height, float offset)
{
    const float u = (static_cast<float>(s.x) + offset) / static_cast<float>(width);
    const float v = (static_cast<float>(s.y) + offset) / static_cast<float>(height);
    return Quorvel::Camera::cubeMapDirection(u, v);
}

// Element [x][y * 256 + camera] of a per-pixel table; tables too small for the
// sample read as zero.
template <typename T>
T pixelTableValue(const std::vector<std::vector<T>>& table, const qvlRenderSample5_t& s)
{
    if (s.x >= table.size())
        return T{};
    const std::size_t index = static_cast<std::size_t>(s.y) * 256 + s.cameraIndex;
    const auto& column = table[s.x];
    return index < column.size() ? column[index] : T{};
}

} // namespace

void RemoveRedundancies(std::vector<DetectPlaqueInfo>& plaques, const RenderingContext& context, float tolerance)
{
    if (plaques.empty())
        return;
    std::sort(plaques.begin(), plaques.end(), canonicalBefore);

    std::size_t kept = 0; // plaques[kept] is the last kept record
    for (std::size_t i = 1; i < plaques.size(); ++i) {
        const DetectPlaqueInfo& record = plaques[i];
        const DetectPlaqueInfo& last = plaques[kept];
        if (sameRecordKind(last, record) && context.isAtProximity(last.depth, record.depth, tolerance))
            continue;
        plaques[++kept] = record;
    }
    plaques.resize(kept + 1);
}

VekRGB GetColorCodeForCamera(uint32_t k)
{
    constexpr float half = 0.5019608f;
    switch (k) {
    case 128: return {0.0f, 0.0f, 1.0f};
    case 135: return {0.0f, 1.0f, 0.0f};
    case 184: return {0.0f, 1.0f, 1.0f};
    case 191: return {1.0f, 0.0f, 0.0f};
    case 192: return {1.0f, 0.0f, 1.0f};
    case 199: return {1.0f, half, 0.0f};
    case 248: return {0.0f, 1.0f, half};
    case 255: return {half, 1.0f, half};
    default: break;
    }
    float h = static_cast<float>((static_cast<uint64_t>(k) + 43) % 29) / 29.0f * 360.0f;
    if (h >= 360.0f)
        h = 0.0f;
    const float value = static_cast<float>((static_cast<uint64_t>(k) + 67) % 43) / 43.0f * 0.5f + 0.5f;
    const int sector = static_cast<int>(h / 60.0f);
    const float f = h / 60.0f - static_cast<float>(sector);
    const float q = (1.0f - f) * value;
    const float t = f * value;
    switch (sector) {
    case 0: return {value, t, 0.0f};
    case 1: return {q, value, 0.0f};
    case 2: return {0.0f, value, t};
    case 3: return {0.0f, q, value};
    case 4: return {t, 0.0f, value};
    default: return {value, 0.0f, q};
    }
}

VekRGBA FillHoleShaderCheckInBoolImage::GetColor(const qvlRenderSample5_t& sample, uint64_t, VekRGBA color,
                                                 uint32_t) const
{
    return pixelTableValue(flags, sample) != 0 ? VekRGBA{1.0f, 1.0f, 1.0f, 1.0f} : color;
}

VekRGBA FillHoleShaderCheckInList::GetColor(const qvlRenderSample5_t&, uint64_t plaqueIndex, VekRGBA color,
                                            uint32_t) const
{
    return plaqueIndex < marks.size() && marks[plaqueIndex] ? VekRGBA{1.0f, 1.0f, 1.0f, 1.0f} : color;
}

VekRGBA FillHoleShaderCheckInDevImageRed::GetColor(const qvlRenderSample5_t& sample, uint64_t, VekRGBA,
                                                   uint32_t) const
{
    return {pixelTableValue(values, sample), 0.0f, 0.0f, 1.0f};
}

VekRGBA FillHoleShaderCheckInDevImageGreen::GetColor(const qvlRenderSample5_t& sample, uint64_t, VekRGBA,
                                                     uint32_t) const
{
    return {0.0f, pixelTableValue(values, sample), 0.0f, 1.0f};
}

VekRGBA FillHoleShaderCheckInDevImageBlue::GetColor(const qvlRenderSample5_t& sample, uint64_t, VekRGBA,
                                                    uint32_t) const
{
    return {0.0f, 0.0f, pixelTableValue(values, sample), 1.0f};
}

VekRGBA FillHoleShaderCheckInDevImageGreenRed::GetColor(const qvlRenderSample5_t& sample, uint64_t, VekRGBA,
                                                        uint32_t) const
{
    return {pixelTableValue(redValues, sample), pixelTableValue(greenValues, sample), 0.0f, 1.0f};
}

VekRGBA FillHoleShaderEstimated::GetColor(const qvlRenderSample5_t&, uint64_t, VekRGBA color,
                                          uint32_t estimated) const
{
    if (estimated != 0)
        return {1.0f, 1.0f, 1.0f, 1.0f};
    return {color.r * 0.2f, color.g * 0.2f, color.b * 0.2f, color.a};
}

VekRGBA FillHoleShaderZDepth::GetColor(const qvlRenderSample5_t& sample, uint64_t, VekRGBA, uint32_t) const
{
    const float z = std::clamp(sample.depth, 0.0f, 2000.0f);
    return {z / 2000.0f, 1.0f - z / 2000.0f, 0.0f, 1.0f};
}

VekRGBA FillHoleShaderQuality::GetColor(const qvlRenderSample5_t& sample, uint64_t, VekRGBA color,
                                        uint32_t) const
{
    if (width == 0 || height == 0)
        return color;
    const VekPoint d = pixelDirection(sample, width, height, 0.0f);
    const VekPoint n = sampleNormal(sample);
    const float length = std::sqrt(dot(n, n));
    const VekPoint unit = length == 0.0f ? VekPoint{0.0f, 0.0f, 0.0f}
                                         : VekPoint{n.x / length, n.y / length, n.z / length};
    const float a = clamp01(std::fabs(dot(unit, d)));
    const float b = meanRgb(sample);
    return {(1.0f - a) * b, a * b, 0.0f, 1.0f};
}

VekRGBA FillHoleShaderTangency::GetColor(const qvlRenderSample5_t& sample, uint64_t, VekRGBA color,
                                         uint32_t) const
{
    if (width == 0 || height == 0)
        return color;
    const float e = dot(sampleNormal(sample), pixelDirection(sample, width, height, 0.5f));
    if (limit > e) {
        const float u = clamp01((e - 1e-5f) / (limit - 1e-5f));
        return {0.25f + 0.75f * u, 0.5f * u, 0.5f * u, 1.0f};
    }
    const float g = meanRgb(sample) * 0.5f;
    return {g, g, g, toFloat(sample.colour[3])};
}

VekRGBA FillHoleShaderHyperTangency::GetColor(const qvlRenderSample5_t& sample, uint64_t, VekRGBA color,
                                              uint32_t) const
{
    if (width == 0 || height == 0)
        return color;
    const float e = dot(sampleNormal(sample), pixelDirection(sample, width, height, 0.0f));
    const float r = redBelow;
    const float g = greenBelow;
    const float b = blueBelow;
    const float m = std::min(r / 100.0f, 1e-4f);
    if (e < r) {
        const float u = clamp01((e - m) / (r - m));
        return {u, 0.25f * u, 0.25f * u, 1.0f};
    }
    if (e < g) {
        const float u = clamp01((e - r) / (g - r));
        return {0.25f * u, u, 0.25f * u, 1.0f};
    }
    if (e < b) {
        const float u = clamp01((e - g) / (b - g));
        return {0.25f * u, 0.25f * u, u, 1.0f};
    }
    return {0.25f * e, 0.25f * e, 0.25f * e, toFloat(sample.colour[3])};
}

void QvlWriteDetectAsRender(const std::string& path, const header_v09& header,
                            const std::vector<DetectPlaqueInfo>& plaques, const FillHoleShader* shader)
{
    const uint64_t width = header.widthDisplay;
    const uint64_t height = header.heightDisplay;
    constexpr float kGrazingFloor = 1.1920928955078125e-07f;

    qvlRenderSample5Aovs_t content;
    content.samples.reserve(plaques.size());
    for (std::size_t i = 0; i < plaques.size(); ++i) {
        const DetectPlaqueInfo& p = plaques[i];
        qvlRenderSample5_t s;
        s.depth = p.depth;
        s.normal[0] = floatToHalf(p.normal.x);
        s.normal[1] = floatToHalf(p.normal.y);
        s.normal[2] = floatToHalf(p.normal.z);
        s.x = p.x;
        s.y = p.y;
        s.cameraIndex = p.cameraIndex;
        s.level = p.level;

        const VekPoint d = Quorvel::Camera::cubeMapDirection((static_cast<float>(p.x) + 0.5f) / width,
                                                             (static_cast<float>(p.y) + 0.5f) / height);
        const float a = std::fabs(dot(d, p.normal));
        VekRGB rgb = a > kGrazingFloor && a < 0.005f ? VekRGB{1.0f, 0.15f, 0.15f} : GetColorCodeForCamera(p.cameraIndex);
        VekRGBA colour{rgb.r, rgb.g, rgb.b, 1.0f};
        if (shader) {
            // The shader sees the colour as stored, binary16 widened back.
            const VekRGBA stored{toFloat(floatToHalf(colour.r)), toFloat(floatToHalf(colour.g)),
                                 toFloat(floatToHalf(colour.b)), 1.0f};
            s.colour[0] = floatToHalf(stored.r);
            s.colour[1] = floatToHalf(stored.g);
            s.colour[2] = floatToHalf(stored.b);
            s.colour[3] = floatToHalf(stored.a);
            colour = shader->GetColor(s, i, stored, p.estimated != 0 ? 1u : 0u);
        }
        s.colour[0] = floatToHalf(colour.r);
        s.colour[1] = floatToHalf(colour.g);
        s.colour[2] = floatToHalf(colour.b);
        s.colour[3] = floatToHalf(colour.a);
        if (p.transparent)
            s.colour[3] = floatToHalf(0.5f);

        if (p.hair) {
            for (auto& component : s.normal)
                component.setBits(0x8000);
        } else {
            for (auto& component : s.normal)
                component = floatToHalf(toFloat(component) * -1.0f);
        }
        s.depth *= header.globalScale;
        content.samples.push_back(s);
    }

    header_v09 out = header;
    out.stereoRender = false;
    out.fillHoleCount = 0;
    out.sampleNums = content.samples.size();
    out.aovNums = 0;
    out.AOVNames.clear();
    out.AOVTypes.clear();
    qvlWriter_v9(path, out, content, static_cast<Util::RenderingEngineId>(50));
}

} // namespace Quorvel::BinIO::inline v2_0
