#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Picture comparison for the viewer: PSNR over the 8-bit RGB channels and the
// SSIM of the luma, both on the pictures as stored (sRGB).
namespace Quorvel::FinalView {

struct Rgba8Image {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> rgba;
};

struct Comparison {
    double psnr = 0;  // dB; infinity for identical pictures
    double ssim = 0;  // mean SSIM, 1 for identical pictures
    double mse = 0;
};

// Both pictures must have the same size. PSNR = 10 log10(255^2 / MSE), MSE
// over R, G and B of every pixel. SSIM: luma Y = 0.299 R + 0.587 G + 0.114 B,
// 11 x 11 Gaussian window (sigma 1.5), K1 = 0.01, K2 = 0.03, L = 255, mean
// over the window positions that lie fully inside the picture.
std::optional<Comparison> compareImages(const Rgba8Image& reference, const Rgba8Image& image);

// |reference - image| per channel, times `gain`, clamped; alpha 255.
Rgba8Image differenceImage(const Rgba8Image& reference, const Rgba8Image& image, int gain);

// Pictures next to each other, left to right, on a common height.
Rgba8Image sideBySide(const std::vector<const Rgba8Image*>& pictures);

// Each pixel through the final file's 24-bit colour code and back: what the
// code alone costs.
Rgba8Image throughColourCode(const Rgba8Image& image);
// Box-filtered to 1/factor of the size and enlarged back bilinearly: what a
// perfect sampling at that coarser resolution would keep.
Rgba8Image atCoarserResolution(const Rgba8Image& image, double factor);

std::optional<Rgba8Image> loadPng(const std::string& path, std::string& error);
bool savePng(const std::string& path, const Rgba8Image& image);

} // namespace Quorvel::FinalView
