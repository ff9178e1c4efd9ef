#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "FinalViewReader.h"
#include "ImageCompare.h"
#include "ViewRenderer.h"
#include "ViewTestSupport.h"
#include "support/FinalViewBytes.h"
#include "support/LogCapture.h"

using namespace Quorvel::FinalView;
using namespace QuorvelViewTest;

namespace {

uint8_t srgb(float linear)
{
    const double c = std::clamp(static_cast<double>(linear), 0.0, 1.0);
    const double s = c <= 0.0031308 ? c * 12.92 : 1.055 * std::pow(c, 1 / 2.4) - 0.055;
    return static_cast<uint8_t>(std::lround(s * 255));
}

// Pixel (16, 48) of camera 0 looks through the face -z slightly right of and
// above the axis: its direction is (1/32, 1/32, -1) before normalising.
ViewRequest lookAtPixel()
{
    ViewRequest q;
    const double deg = 180.0 / 3.14159265358979;
    q.yawDegrees = static_cast<float>(std::atan(1.0 / 32) * deg);
    q.pitchDegrees = static_cast<float>(std::atan((1.0 / 32) / std::sqrt(1 + 1.0 / 1024)) * deg);
    q.fovDegrees = 1.0f;
    q.width = q.height = 9;
    q.ipdMillimetres = 0.0f;
    q.threads = 2;
    return q;
}

} // namespace

TEST(ViewRenderer, OpaqueColourEyesAndTransparentBlending)
{
    QuorvelTest::LogCapture log;
    TempDir dir;
    const fs::path path = dir.path() / "final.qvl";
    // An opaque plaque 2 units away (200 box units), a half-transparent red
    // one in front of it, and an opaque one behind that the first hides.
    writeFile(path, {sample(16, 48, 200.0, {0.2f, 0.5f, 0.8f, 1.0f}, {0.9f, 0.9f, 0.1f}),
                     sample(16, 48, 100.0, {1.0f, 0.0f, 0.0f, 0.5f}, {1.0f, 0.0f, 0.0f}),
                     sample(16, 48, 400.0, {0.0f, 1.0f, 0.0f, 1.0f}, {0.0f, 1.0f, 0.0f})});
    std::string error;
    const auto file = readFinalView(path, error);
    ASSERT_TRUE(file) << error;
    const ViewScene scene = buildViewScene(*file, 1.0f, 2);
    ASSERT_EQ(scene.plaques.size(), 3u);
    ASSERT_EQ(scene.opaqueCount, 2u);

    // Expected colours from the codes, decoded by hand: opaque samples are in
    // key order; theirs is the one of depth code below the other's.
    const auto codes = QuorvelTest::decompress(QuorvelTest::readFile(path).slice(200, QuorvelTest::readFile(path).u32(152)));
    const QuorvelTest::Bytes c{codes};
    const std::size_t front = ((c.u32(8) >> 16) & 0x7FFF) < ((c.u32(24) >> 16) & 0x7FFF) ? 0 : 16;
    const uint32_t w0 = c.u32(front), w1 = c.u32(front + 4), t0 = c.u32(32);
    const VekRGB left = QuorvelTest::colourOf(w0 & 0xFFFFFF), right = QuorvelTest::colourOf((w0 ^ w1) & 0xFFFFFF);
    const VekRGB red = QuorvelTest::colourOf(t0 & 0xFFFFFF);
    const float keep = 1.0f - static_cast<float>(t0 >> 24) / 255.0f;

    struct Case {
        const char* name;
        ViewEye eye;
        bool withTransparent;
        VekRGB expected;
    };
    ViewScene opaqueOnly = scene;
    opaqueOnly.plaques.resize(2);
    const Case cases[] = {
        {"left", ViewEye::Left, false, left},
        {"right", ViewEye::Right, false, right},
        {"left under red", ViewEye::Left, true,
         {red.r + keep * left.r, red.g + keep * left.g, red.b + keep * left.b}},
    };
    for (const Case& k : cases) {
        ViewRequest q = lookAtPixel();
        q.eye = k.eye;
        const std::vector<uint8_t> picture = toSrgba8(renderView(k.withTransparent ? scene : opaqueOnly, q));
        ASSERT_EQ(picture.size(), 9u * 9u * 4u);
        for (std::size_t i = 0; i < picture.size(); i += 4) {
            EXPECT_NEAR(picture[i], srgb(k.expected.r), 1) << k.name << " pixel " << i / 4;
            EXPECT_NEAR(picture[i + 1], srgb(k.expected.g), 1) << k.name << " pixel " << i / 4;
            EXPECT_NEAR(picture[i + 2], srgb(k.expected.b), 1) << k.name << " pixel " << i / 4;
            EXPECT_EQ(picture[i + 3], 255);
        }
    }

    // Looking the other way there is nothing: black, without a background.
    ViewRequest away = lookAtPixel();
    away.yawDegrees += 180.0f;
    for (uint8_t v : toSrgba8(renderView(scene, away)))
        EXPECT_TRUE(v == 0 || v == 255);
    // A panorama holds the plaques too: their direction is at row 125,
    // column 258 of 512 x 256, just right of and above straight ahead.
    ViewRequest pano;
    pano.panorama = true;
    pano.width = 512;
    pano.height = 256;
    const LinearImage p = renderView(scene, pano);
    ASSERT_EQ(p.rgb.size(), 512u * 256u * 3u);
    const float* centre = &p.rgb[(125 * 512 + 258) * 3];
    EXPECT_GT(centre[0] + centre[1] + centre[2], 0.1f);
    EXPECT_EQ(p.rgb[0] + p.rgb[1] + p.rgb[2], 0.0f);
}

TEST(ImageCompare, PsnrAndSsim)
{
    const uint32_t n = 16;
    Rgba8Image a{n, n, std::vector<uint8_t>(n * n * 4)};
    for (std::size_t i = 0; i < a.rgba.size(); ++i)
        a.rgba[i] = static_cast<uint8_t>((i * 37) % 200 + 20);
    auto shifted = [&](int channels) {
        Rgba8Image b = a;
        for (std::size_t i = 0; i < b.rgba.size(); i += 4)
            for (int c = 0; c < channels; ++c)
                ++b.rgba[i + c];
        return b;
    };
    struct Case {
        Rgba8Image image;
        double psnr;
    };
    const Case cases[] = {
        {shifted(3), 10 * std::log10(255.0 * 255.0)},
        {shifted(1), 10 * std::log10(255.0 * 255.0 * 3)},
    };
    for (const Case& c : cases) {
        const auto r = compareImages(a, c.image);
        ASSERT_TRUE(r);
        EXPECT_NEAR(r->psnr, c.psnr, 1e-9);
        EXPECT_LT(r->ssim, 1.0);
        EXPECT_GT(r->ssim, 0.99);
    }
    const auto same = compareImages(a, a);
    ASSERT_TRUE(same);
    EXPECT_EQ(same->psnr, std::numeric_limits<double>::infinity());
    EXPECT_DOUBLE_EQ(same->ssim, 1.0);
    EXPECT_FALSE(compareImages(a, Rgba8Image{n, n - 1, std::vector<uint8_t>(n * (n - 1) * 4)}));

    const Rgba8Image diff = differenceImage(a, shifted(1), 4);
    EXPECT_EQ(diff.rgba[0], 4);
    EXPECT_EQ(diff.rgba[1], 0);
    EXPECT_EQ(diff.rgba[3], 255);
    const Rgba8Image row = sideBySide({&a, &diff});
    EXPECT_EQ(row.width, 2 * n);
    EXPECT_EQ(row.rgba[4 * n], 4);

    // The stage estimates: a flat grey survives both nearly unchanged; a
    // one-pixel checkerboard at half the resolution becomes its mean (linear
    // 0.5 of white, sRGB 188).
    const Rgba8Image grey{n, n, std::vector<uint8_t>(n * n * 4, 128)};
    EXPECT_GT(compareImages(grey, throughColourCode(grey))->psnr, 45.0);
    EXPECT_EQ(compareImages(grey, atCoarserResolution(grey, 2.0))->psnr, std::numeric_limits<double>::infinity());
    Rgba8Image board = grey;
    for (uint32_t y = 0; y < n; ++y)
        for (uint32_t x = 0; x < n; ++x)
            for (int c = 0; c < 3; ++c)
                board.rgba[(y * n + x) * 4 + c] = (x + y) % 2 ? 255 : 0;
    const Rgba8Image coarse = atCoarserResolution(board, 2.0);
    for (std::size_t i = 0; i < coarse.rgba.size(); i += 4)
        EXPECT_EQ(coarse.rgba[i], 188) << i / 4;
}
