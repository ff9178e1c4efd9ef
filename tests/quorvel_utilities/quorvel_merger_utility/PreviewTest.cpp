#include <gtest/gtest.h>

#include <lodepng.h>

#include <vector>

#include "FinalCodes.h"
#include "Preview.h"
#include "support/LogCapture.h"

using namespace Quorvel::FinalView;
using Quorvel::Binary::vekbin;

namespace {

struct Picture {
    unsigned width = 0, height = 0;
    std::vector<unsigned char> rgba;
    const unsigned char* at(unsigned x, unsigned y) const { return &rgba[(y * width + x) * 4]; }
};

Picture decode(const std::vector<uint8_t>& png)
{
    Picture p;
    EXPECT_EQ(lodepng::decode(p.rgba, p.width, p.height, png), 0u);
    return p;
}

// A white 1 x 1 plaque of camera 0 straight ahead on face -z, 100 units away.
std::vector<uint8_t> whiteCode(uint32_t displayHeight)
{
    vekbin s;
    s.colour = {1, 1, 1, 1};
    s.rightColour = {1, 1, 1};
    s.camera = 0;
    s.depth = 100.0;
    s.plaqueWidth = 1;
    s.plaqueHeight = 1;
    s.x = static_cast<uint16_t>(displayHeight / 4);
    s.y = static_cast<uint16_t>(displayHeight * 3 / 4);
    std::vector<uint8_t> code(16);
    encodeSample(s, MotionStats{}, 1, code.data(), nullptr);
    return code;
}

PreviewFrame frame(uint32_t displayHeight)
{
    PreviewFrame f;
    f.flags = 9;
    f.displayWidth = displayHeight * 3 / 2;
    f.displayHeight = displayHeight;
    return f;
}

} // namespace

TEST(Preview, NoVisibleSampleGivesATransparentPicture)
{
    const std::array<VekPoint, 256> cameras{};
    for (std::size_t count : {std::size_t{0}, std::size_t{1}}) {
        // A sample behind the preview camera is not visible.
        vekbin s;
        s.depth = 1e5;
        s.x = 64 + 16; // face -x: straight behind
        s.y = 16;
        s.plaqueWidth = s.plaqueHeight = 1;
        std::vector<uint8_t> code(16);
        encodeSample(s, MotionStats{}, 1, code.data(), nullptr);
        const auto png = renderPreview(frame(64), code.data(), count, 256, 256, cameras);
        ASSERT_TRUE(png.has_value());
        const Picture p = decode(*png);
        ASSERT_EQ(p.width, 256u);
        ASSERT_EQ(p.height, 256u);
        for (std::size_t i = 0; i < p.rgba.size(); ++i)
            ASSERT_EQ(p.rgba[i], 0) << i;
    }
}

TEST(Preview, OneSampleIsSplattedAndItsNeighboursFilled)
{
    std::array<VekPoint, 256> cameras{};
    for (uint32_t displayHeight : {64u, 2048u}) {
        SCOPED_TRACE(displayHeight);
        const std::vector<uint8_t> code = whiteCode(displayHeight);
        const auto png = renderPreview(frame(displayHeight), code.data(), 1, 256, 256, cameras);
        ASSERT_TRUE(png.has_value());
        const Picture p = decode(*png);
        ASSERT_EQ(p.width, 256u); // whatever the display size
        int opaque = 0;
        unsigned ox = 0, oy = 0;
        for (unsigned y = 0; y < 256; ++y)
            for (unsigned x = 0; x < 256; ++x)
                if (p.at(x, y)[3] == 255) {
                    ++opaque;
                    ox = x;
                    oy = y;
                }
        ASSERT_EQ(opaque, 1);
        EXPECT_NEAR(static_cast<int>(ox), 128, 2);
        EXPECT_NEAR(static_cast<int>(oy), 127, 2);
        EXPECT_EQ(p.at(ox, oy)[0], 255);
        EXPECT_EQ(p.at(ox, oy)[1], 255);
        EXPECT_EQ(p.at(ox, oy)[2], 255);
        // Hole filling in raster order: the first neighbour filled sees only
        // the sample; later ones also count the pixels filled before them.
        EXPECT_EQ(p.at(ox - 1, oy - 1)[0], 255 / 8);
        EXPECT_EQ(p.at(ox - 1, oy - 1)[3], 255 / 8);
        EXPECT_EQ(p.at(ox, oy - 1)[3], (255 + 31) / 8);
    }
}

TEST(Preview, DecodesCodesAndColours)
{
    const VekRGB white = decodeColourCode(8773545);
    EXPECT_NEAR(white.r, 1.0f, 0.02f);
    EXPECT_NEAR(white.g, 1.0f, 0.02f);
    EXPECT_NEAR(white.b, 1.0f, 0.02f);
    const VekRGB black = decodeColourCode(8105);
    EXPECT_EQ(black.r + black.g + black.b, 0.0f);

    vekbin s;
    s.camera = 200;
    s.depth = 100;
    s.x = 4000;
    s.y = 300;
    s.plaqueWidth = 3;
    s.plaqueHeight = 2;
    s.level = 2;
    s.width = 6000;
    uint8_t code[16];
    for (int32_t projection : {0, 1}) {
        encodeSample(s, MotionStats{}, projection, code, nullptr);
        const DecodedCode d = decodeCode(code, projection != 0, 6000);
        EXPECT_EQ(d.camera, 200u);
        EXPECT_EQ(d.depth, 16236u);
        EXPECT_EQ(d.x, 4000);
        EXPECT_EQ(d.y, 300);
        EXPECT_EQ(d.plaqueWidth, 3u);
        EXPECT_EQ(d.plaqueHeight, 2u);
        EXPECT_EQ(d.level, 2u);
    }
}
