#include <gtest/gtest.h>

#include <lodepng.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "FinalStage.h"
#include "MergerTestSupport.h"
#include "support/LogCapture.h"

using Quorvel::Binary::vekbin;

namespace {

uint32_t u32(const std::vector<uint8_t>& b, std::size_t at)
{
    return b.at(at) | b.at(at + 1) << 8 | b.at(at + 2) << 16 | static_cast<uint32_t>(b.at(at + 3)) << 24;
}

std::vector<uint8_t> readAll(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

Quorvel::BinIO::header_v09 groupHeader(const std::vector<VekPoint>& cameras)
{
    Quorvel::BinIO::header_v09 h = MergerTest::renderHeader(3, 1, 1);
    h.widthDisplay = 96;
    h.heightDisplay = 64;
    h.cameraPositions = cameras;
    h.CamToWorld[3][0] = 5.0f;
    return h;
}

// Nine opaque samples of one flat, evenly coloured wall and one transparent.
Quorvel::Merger::AssembledGroup assembled(const std::filesystem::path& output, const std::vector<VekPoint>& cameras)
{
    Quorvel::Merger::AssembledGroup g;
    g.output = output;
    g.engine = Quorvel::Util::RE_VRay;
    g.cameras = cameras;
    g.pixelMask.assign(96 * 64, 1);
    for (uint16_t y = 17; y <= 20; ++y)
        for (uint16_t x = 47; x <= 49; ++x) {
            vekbin s;
            s.camera = 0;
            s.x = x;
            s.y = y;
            s.width = 96;
            s.height = 64;
            s.plaqueWidth = s.plaqueHeight = 1;
            s.normal = {0, 0, 1};
            s.depth = 1000.0 / Quorvel::Binary::pixelDirection(x, y, 96, 64, 1).direction.z;
            s.colour = {0.4f, 0.4f, 0.4f, y == 20 ? 0.5f : 1.0f};
            s.rightColour = {0.4f, 0.4f, 0.4f};
            s.transpFlag = y == 20;
            s.updateDerived(cameras, 1);
            if (y == 20 && x == 48)
                g.transparent.push_back(s);
            else if (y < 20)
                g.opaque.push_back(s);
        }
    return g;
}

} // namespace

TEST(FinalStage, GroupIsFilteredAndWrittenWithItsHeaderValues)
{
    QuorvelTest::LogCapture log;
    MergerTest::TempDir dir;
    const std::vector<VekPoint> cameras = {{0.0f, 17364.8f, 98480.8f}};
    Quorvel::Merger::params run;
    auto group = assembled(dir / "out.0003.qvl", cameras);
    ASSERT_TRUE(Quorvel::Merger::writeFinalGroup(run, groupHeader(cameras), group));

    const std::string path = (dir / "out.0003.qvl").string();
    const std::vector<std::string> expected = {"Sorting...\n", "Filtering 10 samples\n", "Final 2 samples\n",
                                               "Writing File...\n", "file wrote " + path + " .\n"};
    std::vector<std::string> seen;
    for (const auto& m : log.messages())
        for (const auto& e : expected)
            if (m == e)
                seen.push_back(m);
    EXPECT_EQ(seen, expected);

    const std::vector<uint8_t> f = readAll(dir / "out.0003.qvl");
    ASSERT_GT(f.size(), 200u);
    EXPECT_EQ(u32(f, 12), 2u);
    EXPECT_EQ(f[16] | f[17] << 8, 96);
    EXPECT_EQ(f[18] | f[19] << 8, 64);
    EXPECT_EQ(f[44], 1); // zone-of-view offset
    EXPECT_EQ(u32(f, 48), 1u);
    EXPECT_EQ(u32(f, 52), 1u);
    EXPECT_EQ(u32(f, 56), 9u);
    float m30;
    const uint32_t bits = u32(f, 84 + 4 * 12);
    std::memcpy(&m30, &bits, 4);
    EXPECT_EQ(m30, 5.0f);
    // The pixel mask covers everything: a background whose alpha is 0.
    ASSERT_GT(u32(f, 184), 0u);
    EXPECT_EQ(u32(f, 188), u32(f, 180) + 552u);
    std::vector<unsigned char> picture;
    unsigned w = 0, h = 0;
    ASSERT_EQ(lodepng::decode(picture, w, h,
                              std::vector<unsigned char>(f.begin() + u32(f, 188), f.begin() + u32(f, 188) + u32(f, 184))),
              0u);
    EXPECT_EQ(w, 96u);
    EXPECT_EQ(h, 64u);
    EXPECT_EQ(picture[3], 0);
}

TEST(FinalStage, AFailedWriteFailsTheGroup)
{
    QuorvelTest::LogCapture log;
    MergerTest::TempDir dir;
    const std::vector<VekPoint> cameras = {{0.0f, 17364.8f, 98480.8f}};
    Quorvel::Merger::params run;
    const std::filesystem::path output = dir / "missing" / "out.qvl";
    auto group = assembled(output, cameras);
    group.replacesExistingFile = true;
    EXPECT_FALSE(Quorvel::Merger::writeFinalGroup(run, groupHeader(cameras), group));
    EXPECT_TRUE(log.contains("Overwriting File...\n"));
    const auto entries = log.entries();
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries.back().level, Quorvel::Logger::WARNING);
    EXPECT_EQ(QuorvelTest::LogCapture::stripHeader(entries.back().text),
              "An error(-7) occured during the writing process of " + output.string() + "\n");
    EXPECT_FALSE(std::filesystem::exists(output));
}
