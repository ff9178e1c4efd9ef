#include "Texture.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <cmath>
#include <fstream>
#include <limits>

// stb_image refuses larger images itself as well; the checks below come first
// so that the message can name the size.
#define STBI_MAX_DIMENSIONS 8192
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_STATIC
#define STBI_ONLY_PNG
#define STBI_ONLY_JPEG
#define STBI_ONLY_TGA
#define STBI_NO_STDIO
#define STBI_NO_HDR
#define STBI_NO_LINEAR
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include <stb/stb_image.h>
#pragma GCC diagnostic pop

static_assert(STBI_MAX_DIMENSIONS == QuorvelHost::kMaxTextureSide);

namespace QuorvelHost {

using namespace VUtils;

namespace {

const std::array<float, 256>& srgbToLinear()
{
    static const std::array<float, 256> table = [] {
        std::array<float, 256> t{};
        for (int i = 0; i < 256; ++i) {
            const float c = static_cast<float>(i) / 255.0f;
            t[static_cast<size_t>(i)] = c <= 0.04045f ? c / 12.92f : std::pow((c + 0.055f) / 1.055f, 2.4f);
        }
        return t;
    }();
    return table;
}

uint8_t linearToSrgb(float c)
{
    c = std::clamp(c, 0.0f, 1.0f);
    const float s = c <= 0.0031308f ? c * 12.92f : 1.055f * std::pow(c, 1.0f / 2.4f) - 0.055f;
    return static_cast<uint8_t>(std::lround(s * 255.0f));
}

// Each level averages 2 x 2 texels of the one above in linear light.
void buildMips(Texture& t)
{
    const auto& lin = srgbToLinear();
    while (t.levels.back().width > 1 || t.levels.back().height > 1) {
        const Texture::Level& src = t.levels.back();
        Texture::Level dst;
        dst.width = std::max(1, src.width / 2);
        dst.height = std::max(1, src.height / 2);
        dst.rgba.resize(static_cast<size_t>(dst.width) * static_cast<size_t>(dst.height) * 4);
        for (int y = 0; y < dst.height; ++y)
            for (int x = 0; x < dst.width; ++x) {
                float sum[4] = {0, 0, 0, 0};
                for (int k = 0; k < 4; ++k) {
                    const int sx = std::min(src.width - 1, 2 * x + (k & 1));
                    const int sy = std::min(src.height - 1, 2 * y + (k >> 1));
                    const uint8_t* p =
                        &src.rgba[(static_cast<size_t>(sy) * static_cast<size_t>(src.width) + static_cast<size_t>(sx)) * 4];
                    for (int c = 0; c < 3; ++c)
                        sum[c] += lin[p[c]];
                    sum[3] += static_cast<float>(p[3]);
                }
                uint8_t* q = &dst.rgba[(static_cast<size_t>(y) * static_cast<size_t>(dst.width) + static_cast<size_t>(x)) * 4];
                for (int c = 0; c < 3; ++c)
                    q[c] = linearToSrgb(sum[c] * 0.25f);
                q[3] = static_cast<uint8_t>(std::lround(sum[3] * 0.25f));
            }
        t.levels.push_back(std::move(dst));
    }
}

uint32_t be16(const uint8_t* p) { return (uint32_t(p[0]) << 8) | p[1]; }
uint32_t be32(const uint8_t* p) { return (be16(p) << 16) | be16(p + 2); }

// The size an image's header claims, for the message when the decoder
// refuses it: PNG's IHDR, JPEG's first frame header, TGA's fields.
bool claimedSize(const uint8_t* d, size_t n, int64_t& w, int64_t& h)
{
    if (n >= 24 && std::memcmp(d, "\x89PNG\r\n\x1a\n", 8) == 0 && std::memcmp(d + 12, "IHDR", 4) == 0) {
        w = be32(d + 16);
        h = be32(d + 20);
        return true;
    }
    if (n >= 4 && d[0] == 0xFF && d[1] == 0xD8) {
        for (size_t i = 2; i + 9 <= n;) {
            if (d[i] != 0xFF)
                return false;
            const uint8_t marker = d[i + 1];
            if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
                h = be16(d + i + 5);
                w = be16(d + i + 7);
                return true;
            }
            i += 2 + be16(d + i + 2);
        }
        return false;
    }
    if (n >= 18 && (d[2] == 2 || d[2] == 3 || d[2] == 10 || d[2] == 11 || d[2] == 1 || d[2] == 9)) {
        w = d[12] | (d[13] << 8);
        h = d[14] | (d[15] << 8);
        return true;
    }
    return false;
}

// The stb_image of Debian 12 (2.27) writes past its Huffman arrays for a
// table of more than 256 codes. Every DHT marker the decoder could reach is
// read here the way it reads one, and such tables are refused first.
bool jpegTablesSane(const uint8_t* d, size_t n)
{
    for (size_t p = 0; p + 1 < n; ++p) {
        if (d[p] != 0xFF || d[p + 1] != 0xC4)
            continue;
        size_t at = p + 2;
        auto get8 = [&]() -> int { return at < n ? d[at++] : (++at, 0); };
        int length = get8() << 8;
        length = (length | get8()) - 2;
        while (length > 0 && at < n) {
            const int q = get8();
            if ((q >> 4) > 1 || (q & 15) > 3)
                break; // the decoder refuses the table itself
            int codes = 0;
            for (int k = 0; k < 16; ++k)
                codes += get8();
            if (codes > 256)
                return false;
            at += static_cast<size_t>(codes);
            length -= 17 + codes;
        }
    }
    return true;
}

// The same decoder copies an empty IDAT chunk into its still unallocated
// buffer (a null pointer to memcpy); such chunks carry nothing and are
// dropped. Empty when the file has none.
std::vector<uint8_t> withoutEmptyIdat(const uint8_t* d, size_t n)
{
    std::vector<uint8_t> out;
    bool found = false;
    size_t i = 8;
    while (i + 12 <= n) {
        const uint64_t length = be32(d + i);
        if (length > n - i - 12)
            break;
        if (length == 0 && std::memcmp(d + i + 4, "IDAT", 4) == 0) {
            if (!found)
                out.assign(d, d + i);
            found = true;
        } else if (found) {
            out.insert(out.end(), d + i, d + i + 12 + length);
        }
        i += 12 + static_cast<size_t>(length);
    }
    if (found)
        out.insert(out.end(), d + i, d + n);
    return out;
}

std::string sizeText(int64_t w, int64_t h) { return std::to_string(w) + " x " + std::to_string(h) + " pixels"; }

bool sizeAllowed(int64_t w, int64_t h, std::string& error)
{
    if (w < 1 || h < 1 || w > kMaxTextureSide || h > kMaxTextureSide ||
        static_cast<uint64_t>(w) * static_cast<uint64_t>(h) > kMaxTexturePixels) {
        error = sizeText(w, h) + ": expected 1 to " + std::to_string(kMaxTextureSide) + " on a side";
        return false;
    }
    return true;
}

// Bilinear, repeating, on one level.
void bilinear(const Texture::Level& l, float u, float v, float out[4])
{
    const auto& lin = srgbToLinear();
    const float x = u * static_cast<float>(l.width) - 0.5f, y = (1.0f - v) * static_cast<float>(l.height) - 0.5f;
    const float fx = std::floor(x), fy = std::floor(y);
    const float ax = x - fx, ay = y - fy;
    auto wrap = [](int64_t i, int n) { return static_cast<size_t>(((i % n) + n) % n); };
    const int64_t ix = static_cast<int64_t>(fx), iy = static_cast<int64_t>(fy);
    const size_t x0 = wrap(ix, l.width), x1 = wrap(ix + 1, l.width);
    const size_t y0 = wrap(iy, l.height), y1 = wrap(iy + 1, l.height);
    const size_t w = static_cast<size_t>(l.width);
    const uint8_t* p[4] = {&l.rgba[(y0 * w + x0) * 4], &l.rgba[(y0 * w + x1) * 4], &l.rgba[(y1 * w + x0) * 4],
                           &l.rgba[(y1 * w + x1) * 4]};
    const float k[4] = {(1 - ax) * (1 - ay), ax * (1 - ay), (1 - ax) * ay, ax * ay};
    for (int c = 0; c < 4; ++c) {
        float s = 0.0f;
        for (int i = 0; i < 4; ++i)
            s += k[i] * (c < 3 ? lin[p[i][c]] : static_cast<float>(p[i][3]) * (1.0f / 255.0f));
        out[c] = s;
    }
}

} // namespace

AColor Texture::sample(float u, float v, float lod) const
{
    if (!std::isfinite(u) || !std::isfinite(v))
        u = v = 0.0f;
    // Repeating first keeps the texel arithmetic small whatever the UVs.
    u -= std::floor(u);
    v -= std::floor(v);
    const float top = static_cast<float>(levels.size() - 1);
    lod = std::isfinite(lod) ? std::clamp(lod, 0.0f, top) : 0.0f;
    const size_t l0 = static_cast<size_t>(lod);
    const size_t l1 = std::min(l0 + 1, levels.size() - 1);
    const float f = lod - static_cast<float>(l0);
    float a[4], b[4] = {0, 0, 0, 0};
    bilinear(levels[l0], u, v, a);
    if (f > 0.0f && l1 != l0)
        bilinear(levels[l1], u, v, b);
    float c[4];
    for (int i = 0; i < 4; ++i)
        c[i] = f > 0.0f && l1 != l0 ? a[i] * (1 - f) + b[i] * f : a[i];
    return AColor(c[0], c[1], c[2], c[3]);
}

float Texture::lodFor(float uvWidth) const
{
    const float texels = uvWidth * static_cast<float>(std::max(width(), height()));
    return texels > 1.0f && std::isfinite(texels) ? std::log2(texels) : 0.0f;
}

std::shared_ptr<Texture> textureFromRgba(std::vector<uint8_t> rgba, int width, int height, std::string& error)
{
    if (!sizeAllowed(width, height, error))
        return nullptr;
    if (rgba.size() != static_cast<size_t>(width) * static_cast<size_t>(height) * 4) {
        error = "the texels do not fill " + sizeText(width, height);
        return nullptr;
    }
    auto t = std::make_shared<Texture>();
    for (size_t i = 3; i < rgba.size(); i += 4)
        if (rgba[i] != 255) {
            t->hasAlpha = true;
            break;
        }
    t->levels.push_back({width, height, std::move(rgba)});
    buildMips(*t);
    return t;
}

std::shared_ptr<Texture> decodeTexture(const uint8_t* data, size_t size, std::string& error)
{
    if (!data || size == 0) {
        error = "an empty file";
        return nullptr;
    }
    if (size > static_cast<size_t>(std::numeric_limits<int>::max())) {
        error = "larger than a texture can be";
        return nullptr;
    }
    std::vector<uint8_t> cleaned;
    if (size >= 8 && std::memcmp(data, "\x89PNG\r\n\x1a\n", 8) == 0) {
        cleaned = withoutEmptyIdat(data, size);
        if (!cleaned.empty()) {
            data = cleaned.data();
            size = cleaned.size();
        }
    }
    const int length = static_cast<int>(size);
    if (size >= 2 && data[0] == 0xFF && data[1] == 0xD8 && !jpegTablesSane(data, size)) {
        error = "cannot decode the image: a Huffman table of more than 256 codes";
        return nullptr;
    }
    int w = 0, h = 0, channels = 0;
    if (!stbi_info_from_memory(data, length, &w, &h, &channels)) {
        int64_t cw = 0, ch = 0;
        if (claimedSize(data, size, cw, ch) && !sizeAllowed(cw, ch, error))
            return nullptr;
        const char* why = stbi_failure_reason();
        // A known signature with a broken rest is told apart from other files.
        const bool signed_ = (size >= 8 && std::memcmp(data, "\x89PNG\r\n\x1a\n", 8) == 0) ||
                             (size >= 2 && data[0] == 0xFF && data[1] == 0xD8);
        if (signed_)
            error = std::string("cannot decode the image: ") + (why ? why : "unknown reason");
        else
            error = std::string("not a PNG, JPEG or TGA image") + (why ? std::string(" (") + why + ")" : "");
        return nullptr;
    }
    if (!sizeAllowed(w, h, error))
        return nullptr;
    int dw = 0, dh = 0;
    stbi_uc* pixels = stbi_load_from_memory(data, length, &dw, &dh, &channels, 4);
    if (!pixels) {
        const char* why = stbi_failure_reason();
        error = std::string("cannot decode the image: ") + (why ? why : "unknown reason");
        return nullptr;
    }
    std::vector<uint8_t> rgba;
    const bool sane = dw == w && dh == h;
    if (sane)
        rgba.assign(pixels, pixels + static_cast<size_t>(w) * static_cast<size_t>(h) * 4);
    stbi_image_free(pixels);
    if (!sane) {
        error = "the image decodes to another size than its header says";
        return nullptr;
    }
    return textureFromRgba(std::move(rgba), w, h, error);
}

std::shared_ptr<Texture> readTexture(const std::string& path, std::string& error)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        error = "cannot open the file";
        return nullptr;
    }
    const std::streamoff end = in.tellg();
    if (end < 0 || static_cast<uint64_t>(end) > kMaxTextureFileBytes) {
        error = end < 0 ? "cannot read the file" : "larger than " + std::to_string(kMaxTextureFileBytes >> 20) + " MB";
        return nullptr;
    }
    std::vector<uint8_t> bytes(static_cast<size_t>(end));
    in.seekg(0);
    if (!bytes.empty() && !in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()))) {
        error = "cannot read the file";
        return nullptr;
    }
    return decodeTexture(bytes.data(), bytes.size(), error);
}

} // namespace QuorvelHost
