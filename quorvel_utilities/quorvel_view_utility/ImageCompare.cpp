#include "ImageCompare.h"

#include <lodepng.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "FinalCodes.h"
#include "FinalViewWriter.h"
#include "foundation/FileReplace.h"
#include "Preview.h"

namespace Quorvel::FinalView {

namespace {

// Separable Gaussian blur of a W x H plane, keeping only the positions whose
// whole window lies inside ("valid" filtering): (W - 10) x (H - 10).
std::vector<double> blurValid(const std::vector<double>& plane, uint32_t W, uint32_t H, const double* g)
{
    const uint32_t w = W - 10, h = H - 10;
    std::vector<double> rows(static_cast<std::size_t>(w) * H);
    for (uint32_t y = 0; y < H; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            double s = 0;
            for (int k = 0; k < 11; ++k)
                s += g[k] * plane[static_cast<std::size_t>(y) * W + x + k];
            rows[static_cast<std::size_t>(y) * w + x] = s;
        }
    std::vector<double> out(static_cast<std::size_t>(w) * h);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            double s = 0;
            for (int k = 0; k < 11; ++k)
                s += g[k] * rows[static_cast<std::size_t>(y + k) * w + x];
            out[static_cast<std::size_t>(y) * w + x] = s;
        }
    return out;
}

double ssimOf(const Rgba8Image& a, const Rgba8Image& b)
{
    const uint32_t W = a.width, H = a.height;
    if (W < 11 || H < 11)
        return std::numeric_limits<double>::quiet_NaN();
    double g[11], sum = 0;
    for (int k = 0; k < 11; ++k) {
        g[k] = std::exp(-(k - 5) * (k - 5) / (2 * 1.5 * 1.5));
        sum += g[k];
    }
    for (double& v : g)
        v /= sum;
    const std::size_t n = static_cast<std::size_t>(W) * H;
    std::vector<double> x(n), y(n), xx(n), yy(n), xy(n);
    for (std::size_t i = 0; i < n; ++i) {
        const uint8_t* p = &a.rgba[i * 4];
        const uint8_t* q = &b.rgba[i * 4];
        x[i] = 0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2];
        y[i] = 0.299 * q[0] + 0.587 * q[1] + 0.114 * q[2];
        xx[i] = x[i] * x[i];
        yy[i] = y[i] * y[i];
        xy[i] = x[i] * y[i];
    }
    const auto mx = blurValid(x, W, H, g), my = blurValid(y, W, H, g);
    const auto sxx = blurValid(xx, W, H, g), syy = blurValid(yy, W, H, g), sxy = blurValid(xy, W, H, g);
    const double c1 = (0.01 * 255) * (0.01 * 255), c2 = (0.03 * 255) * (0.03 * 255);
    double total = 0;
    for (std::size_t i = 0; i < mx.size(); ++i) {
        const double vx = sxx[i] - mx[i] * mx[i], vy = syy[i] - my[i] * my[i], cov = sxy[i] - mx[i] * my[i];
        total += ((2 * mx[i] * my[i] + c1) * (2 * cov + c2)) /
                 ((mx[i] * mx[i] + my[i] * my[i] + c1) * (vx + vy + c2));
    }
    return total / static_cast<double>(mx.size());
}

} // namespace

std::optional<Comparison> compareImages(const Rgba8Image& reference, const Rgba8Image& image)
{
    if (reference.width != image.width || reference.height != image.height || reference.width == 0 ||
        reference.height == 0)
        return std::nullopt;
    const std::size_t n = static_cast<std::size_t>(reference.width) * reference.height;
    double squared = 0;
    for (std::size_t i = 0; i < n; ++i)
        for (int c = 0; c < 3; ++c) {
            const double d = static_cast<double>(reference.rgba[i * 4 + c]) - image.rgba[i * 4 + c];
            squared += d * d;
        }
    Comparison out;
    out.mse = squared / static_cast<double>(n * 3);
    out.psnr = out.mse == 0 ? std::numeric_limits<double>::infinity() : 10 * std::log10(255.0 * 255.0 / out.mse);
    out.ssim = ssimOf(reference, image);
    return out;
}

Rgba8Image differenceImage(const Rgba8Image& reference, const Rgba8Image& image, int gain)
{
    Rgba8Image out{reference.width, reference.height, std::vector<uint8_t>(reference.rgba.size(), 255)};
    if (image.rgba.size() != reference.rgba.size())
        return out;
    for (std::size_t i = 0; i < out.rgba.size(); i += 4)
        for (int c = 0; c < 3; ++c)
            out.rgba[i + c] = static_cast<uint8_t>(
                std::min(255, std::abs(reference.rgba[i + c] - image.rgba[i + c]) * gain));
    return out;
}

Rgba8Image sideBySide(const std::vector<const Rgba8Image*>& pictures)
{
    Rgba8Image out;
    for (const Rgba8Image* p : pictures) {
        out.width += p->width;
        out.height = std::max(out.height, p->height);
    }
    out.rgba.assign(static_cast<std::size_t>(out.width) * out.height * 4, 0);
    uint32_t left = 0;
    for (const Rgba8Image* p : pictures) {
        for (uint32_t y = 0; y < p->height; ++y)
            std::copy_n(&p->rgba[static_cast<std::size_t>(y) * p->width * 4], static_cast<std::size_t>(p->width) * 4,
                        &out.rgba[(static_cast<std::size_t>(y) * out.width + left) * 4]);
        left += p->width;
    }
    // Opaque, so that a reference whose empty pixels are transparent shows
    // them as the black that PSNR compares.
    for (std::size_t i = 3; i < out.rgba.size(); i += 4)
        out.rgba[i] = 255;
    return out;
}

namespace {

float toLinear(uint8_t v)
{
    const float c = static_cast<float>(v) / 255.0f;
    return c <= 0.04045f ? c / 12.92f : std::pow((c + 0.055f) / 1.055f, 2.4f);
}

uint8_t toSrgb(float v)
{
    const float c = std::clamp(v, 0.0f, 1.0f);
    const float s = c <= 0.0031308f ? c * 12.92f : 1.055f * std::pow(c, 1.0f / 2.4f) - 0.055f;
    return static_cast<uint8_t>(std::lround(s * 255.0f));
}

} // namespace

Rgba8Image throughColourCode(const Rgba8Image& image)
{
    Rgba8Image out = image;
    for (std::size_t i = 0; i < out.rgba.size(); i += 4) {
        const VekRGB c = decodeColourCode(
            colourCode(toLinear(image.rgba[i]), toLinear(image.rgba[i + 1]), toLinear(image.rgba[i + 2])));
        out.rgba[i] = toSrgb(c.r);
        out.rgba[i + 1] = toSrgb(c.g);
        out.rgba[i + 2] = toSrgb(c.b);
    }
    return out;
}

Rgba8Image atCoarserResolution(const Rgba8Image& image, double factor)
{
    const uint32_t w = std::max(1u, static_cast<uint32_t>(std::lround(image.width / factor)));
    const uint32_t h = std::max(1u, static_cast<uint32_t>(std::lround(image.height / factor)));
    const double sx = static_cast<double>(image.width) / w, sy = static_cast<double>(image.height) / h;
    // Linear averages over each coarse cell.
    std::vector<double> coarse(static_cast<std::size_t>(w) * h * 3, 0.0), weight(static_cast<std::size_t>(w) * h, 0.0);
    for (uint32_t y = 0; y < image.height; ++y)
        for (uint32_t x = 0; x < image.width; ++x) {
            const std::size_t cell = std::min<std::size_t>(h - 1, static_cast<std::size_t>(y / sy)) * w +
                                     std::min<std::size_t>(w - 1, static_cast<std::size_t>(x / sx));
            for (int c = 0; c < 3; ++c)
                coarse[cell * 3 + c] += toLinear(image.rgba[(static_cast<std::size_t>(y) * image.width + x) * 4 + c]);
            weight[cell] += 1;
        }
    for (std::size_t i = 0; i < weight.size(); ++i)
        for (int c = 0; c < 3; ++c)
            coarse[i * 3 + c] /= std::max(1.0, weight[i]);
    Rgba8Image out = image;
    for (uint32_t y = 0; y < image.height; ++y)
        for (uint32_t x = 0; x < image.width; ++x) {
            const double fx = std::clamp((x + 0.5) / sx - 0.5, 0.0, w - 1.0), fy = std::clamp((y + 0.5) / sy - 0.5, 0.0, h - 1.0);
            const uint32_t x0 = static_cast<uint32_t>(fx), y0 = static_cast<uint32_t>(fy);
            const uint32_t x1 = std::min(w - 1, x0 + 1), y1 = std::min(h - 1, y0 + 1);
            const double ax = fx - x0, ay = fy - y0;
            for (int c = 0; c < 3; ++c) {
                auto at = [&](uint32_t px, uint32_t py) { return coarse[(static_cast<std::size_t>(py) * w + px) * 3 + c]; };
                const double v = (at(x0, y0) * (1 - ax) + at(x1, y0) * ax) * (1 - ay) + (at(x0, y1) * (1 - ax) + at(x1, y1) * ax) * ay;
                out.rgba[(static_cast<std::size_t>(y) * image.width + x) * 4 + c] = toSrgb(static_cast<float>(v));
            }
        }
    return out;
}

std::optional<Rgba8Image> loadPng(const std::string& path, std::string& error)
{
    Rgba8Image image;
    unsigned w = 0, h = 0;
    std::vector<unsigned char> bytes;
    unsigned code = lodepng::load_file(bytes, path);
    // A reference larger than any view is refused unread.
    const auto size = code == 0 ? pngHeaderSize(bytes) : std::nullopt;
    if (size && ((*size)[0] > kMaxPictureSide || (*size)[1] > kMaxPictureSide)) {
        error = path + ": cannot read the PNG picture (" + std::to_string((*size)[0]) + "x" +
                std::to_string((*size)[1]) + " is larger than any view)";
        return std::nullopt;
    }
    if (code == 0)
        code = lodepng::decode(image.rgba, w, h, bytes, LCT_RGBA, 8);
    if (code != 0) {
        error = path + ": cannot read the PNG picture (" + lodepng_error_text(code) + ")";
        return std::nullopt;
    }
    image.width = w;
    image.height = h;
    return image;
}

bool savePng(const std::string& path, const Rgba8Image& image)
{
    std::vector<unsigned char> png;
    if (lodepng::encode(png, image.rgba, image.width, image.height, LCT_RGBA, 8) != 0)
        return false;
    return Quorvel::Utils::ReplaceFileContents(path, png.data(), png.size());
}

} // namespace Quorvel::FinalView
