#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "FinalCodes.h"
#include "FinalViewWriter.h"
#include "Preview.h"

// Players read the background and preview pictures as 8-bit RGBA; pictures of
// one colour or of greys must not come out as palette or grey PNGs.
namespace {

using namespace Quorvel::FinalView;

struct Ihdr {
    uint32_t width = 0, height = 0;
    int bitDepth = -1, colourType = -1;
};

Ihdr ihdrOf(const std::vector<uint8_t>& png)
{
    Ihdr h;
    static const uint8_t signature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    EXPECT_GE(png.size(), 33u);
    if (png.size() < 33)
        return h;
    EXPECT_TRUE(std::equal(signature, signature + 8, png.begin()));
    EXPECT_EQ(std::string(png.begin() + 12, png.begin() + 16), "IHDR");
    auto be = [&](std::size_t at) {
        return static_cast<uint32_t>(png[at]) << 24 | static_cast<uint32_t>(png[at + 1]) << 16 |
               static_cast<uint32_t>(png[at + 2]) << 8 | png[at + 3];
    };
    h.width = be(16);
    h.height = be(20);
    h.bitDepth = png[24];
    h.colourType = png[25];
    return h;
}

void expectRgba8(const std::vector<uint8_t>& png, uint32_t width, uint32_t height)
{
    const Ihdr h = ihdrOf(png);
    EXPECT_EQ(h.width, width);
    EXPECT_EQ(h.height, height);
    EXPECT_EQ(h.bitDepth, 8);
    EXPECT_EQ(h.colourType, 6);
}

TEST(FinalViewPictures, BackgroundAndPreviewAreEightBitRgba)
{
    // Black, or one grey, with a mask that leaves half visible: two colours
    // in all, which an automatic choice stores as a palette or as grey.
    const std::vector<uint8_t> mask = [] {
        std::vector<uint8_t> m(24 * 16, 0);
        for (std::size_t i = 0; i < m.size(); i += 2)
            m[i] = 1;
        return m;
    }();
    for (const int32_t colour : {int32_t{0}, int32_t{0x00808080}, int32_t{0x00FF00FF}}) {
        SCOPED_TRACE(colour);
        const auto background = makeBackground(mask, 24, 16, colour);
        ASSERT_TRUE(background.has_value());
        expectRgba8(*background, 24, 16);
    }

    const std::array<VekPoint, 256> cameras{};
    PreviewFrame frame;
    frame.flags = 9;
    frame.displayWidth = 24;
    frame.displayHeight = 16;
    // Nothing visible: a picture of one transparent colour.
    const auto empty = renderPreview(frame, nullptr, 0, kPreviewSize, kPreviewSize, cameras);
    ASSERT_TRUE(empty.has_value());
    expectRgba8(*empty, kPreviewSize, kPreviewSize);
    // One grey sample straight ahead.
    Quorvel::Binary::vekbin s;
    s.colour = {0.5f, 0.5f, 0.5f, 1};
    s.rightColour = {0.5f, 0.5f, 0.5f};
    s.depth = 100.0;
    s.x = 4;
    s.y = 12;
    std::vector<uint8_t> code(16);
    encodeSample(s, MotionStats{}, 1, code.data(), nullptr);
    const auto grey = renderPreview(frame, code.data(), 1, kPreviewSize, kPreviewSize, cameras);
    ASSERT_TRUE(grey.has_value());
    expectRgba8(*grey, kPreviewSize, kPreviewSize);
}

} // namespace
