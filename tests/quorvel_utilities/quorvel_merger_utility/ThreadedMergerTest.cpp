// The merger's thread pools on enough work to keep every thread busy: the
// grouping pool of the filtering and the four preview threads. Run under
// ThreadSanitizer by CI (names contain "Threaded").

#include <gtest/gtest.h>

#include <lodepng.h>

#include <cmath>
#include <vector>

#include "FinalCodes.h"
#include "Filtering.h"
#include "Preview.h"
#include "support/LogCapture.h"

using Quorvel::Binary::vekbin;

namespace {

constexpr int32_t kW = 96, kH = 64;

std::vector<VekPoint> cameras()
{
    std::vector<VekPoint> c;
    for (int i = 0; i < 12; ++i)
        c.push_back({static_cast<float>(i % 4) * 30.0f - 45.0f, static_cast<float>(i / 4) * 20.0f, 10.0f});
    return c;
}

// Camera c's view of a wall 800 units ahead on face -z, in blocks of
// similar colour, with a close patch of small plaques to promote.
std::vector<vekbin> wallOfCamera(uint8_t c)
{
    const std::vector<VekPoint> cams = cameras();
    std::vector<vekbin> out;
    for (uint16_t y = 34; y < 62; ++y)
        for (uint16_t x = 2; x < 30; ++x) {
            vekbin s;
            s.camera = c;
            s.x = x;
            s.y = y;
            s.width = kW;
            s.height = kH;
            s.level = 0;
            s.plaqueWidth = s.plaqueHeight = 1;
            const float shade = 0.2f + 0.15f * static_cast<float>((x / 5 + y / 7 + c) % 4);
            s.colour = {shade, shade * 0.5f, 0.3f, 1.0f};
            s.rightColour = {s.colour.r, s.colour.g, s.colour.b};
            s.normal = {0.0f, 0.0f, 1.0f};
            const VekPoint d = Quorvel::Binary::pixelDirection(x, y, kW, kH, 1).direction;
            const bool near = x >= 10 && x < 14 && y >= 40 && y < 44;
            s.depth = near ? 0.01 / std::fabs(d.z) : 800.0 / std::fabs(d.z);
            s.updateDerived(cams, 1);
            out.push_back(s);
        }
    return out;
}

std::vector<vekbin> filtered(std::vector<vekbin> samples)
{
    Quorvel::Filtering::FilterParams p;
    p.width = kW;
    p.height = kH;
    Quorvel::Binary::sortByKey(samples);
    Quorvel::Filtering::filterSamples(samples, 0.05f, p, cameras(), 1);
    Quorvel::Binary::sortByKey(samples);
    return samples;
}

bool sameSample(const vekbin& a, const vekbin& b)
{
    return a.camera == b.camera && a.x == b.x && a.y == b.y && a.level == b.level &&
           a.plaqueWidth == b.plaqueWidth && a.plaqueHeight == b.plaqueHeight && a.colour.r == b.colour.r &&
           a.colour.g == b.colour.g && a.colour.b == b.colour.b && a.colour.a == b.colour.a && a.depth == b.depth;
}

} // namespace

// Cameras are grouped independently, so the pool's result over all of them
// is the union of each camera filtered alone.
TEST(MergerThreaded, FilteringPoolGroupsEveryCameraAsAlone)
{
    QuorvelTest::LogCapture log;
    std::vector<vekbin> all, expected;
    for (uint8_t c = 0; c < 12; ++c) {
        const std::vector<vekbin> wall = wallOfCamera(c);
        all.insert(all.end(), wall.begin(), wall.end());
        const std::vector<vekbin> alone = filtered(wall);
        expected.insert(expected.end(), alone.begin(), alone.end());
    }
    Quorvel::Binary::sortByKey(expected);
    const std::vector<vekbin> together = filtered(all);
    ASSERT_EQ(together.size(), expected.size());
    EXPECT_LT(together.size(), all.size());
    bool grouped = false, promoted = false;
    for (std::size_t i = 0; i < together.size(); ++i) {
        ASSERT_TRUE(sameSample(together[i], expected[i])) << i;
        grouped = grouped || together[i].plaqueWidth > 1;
        promoted = promoted || together[i].level > 0;
    }
    EXPECT_TRUE(grouped);
    EXPECT_TRUE(promoted);
}

// Four threads splat into one picture; the result must not depend on how
// they interleave.
TEST(MergerThreaded, PreviewOfFourThreadsIsTheSameEveryTime)
{
    std::vector<uint8_t> codes;
    for (uint8_t c = 0; c < 12; ++c)
        for (const vekbin& s : wallOfCamera(c)) {
            uint8_t code[16];
            Quorvel::FinalView::encodeSample(s, Quorvel::FinalView::MotionStats{}, 1, code, nullptr);
            codes.insert(codes.end(), code, code + 16);
        }
    Quorvel::FinalView::PreviewFrame frame;
    frame.flags = 9;
    frame.displayWidth = kW;
    frame.displayHeight = kH;
    std::array<VekPoint, 256> table{};
    const std::vector<VekPoint> cams = cameras();
    for (std::size_t i = 0; i < cams.size(); ++i)
        table[i] = {cams[i].x / 100.0f, cams[i].y / 100.0f, cams[i].z / 100.0f};

    const auto first = Quorvel::FinalView::renderPreview(frame, codes.data(), codes.size() / 16, 64, 48, table);
    ASSERT_TRUE(first.has_value());
    for (int run = 0; run < 3; ++run) {
        const auto again = Quorvel::FinalView::renderPreview(frame, codes.data(), codes.size() / 16, 64, 48, table);
        ASSERT_TRUE(again.has_value());
        ASSERT_EQ(*again, *first);
    }
    std::vector<unsigned char> rgba;
    unsigned w = 0, h = 0;
    ASSERT_EQ(lodepng::decode(rgba, w, h, *first), 0u);
    ASSERT_EQ(w, 64u);
    ASSERT_EQ(h, 48u);
    int opaque = 0;
    for (std::size_t i = 3; i < rgba.size(); i += 4)
        opaque += rgba[i] == 255;
    EXPECT_GT(opaque, 0);
}
