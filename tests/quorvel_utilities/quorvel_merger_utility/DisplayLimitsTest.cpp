#include <gtest/gtest.h>

#include <string>

#include "RenderFileReaders.h"
#include "support/LogCapture.h"
#include "support/SystemFixtures.h"
#include "support/TempDir.h"

using namespace Quorvel::Merger;

namespace {

// The final view file addresses a cube-map pixel with 13 bits of column and
// 12 of row, a latitude-longitude pixel with a 24-bit index.
TEST(MergerDisplayLimits, OnlyDisplaysAFinalViewFileCanAddressAreTaken)
{
    const struct {
        int32_t projection;
        uint16_t width, height;
        bool fits;
    } cases[] = {
        {1, 312, 208, true},     {1, 1, 1, true},         {1, 8192, 4096, true},  {1, 8193, 4096, false},
        {1, 8192, 4097, false},  {1, 0, 208, false},      {1, 312, 0, false},     {1, 65535, 65535, false},
        {0, 4096, 4096, true},   {0, 4097, 4096, false},  {0, 65535, 256, true},  {0, 65535, 257, false},
        {0, 0, 0, false},        {2, 8192, 4096, true},
    };
    for (const auto& c : cases) {
        Quorvel::BinIO::header_v07 header;
        header.projection = c.projection;
        header.widthDisplay = c.width;
        header.heightDisplay = c.height;
        EXPECT_EQ(displayFitsFinalView(header), c.fits)
            << "projection " << c.projection << ", " << c.width << " x " << c.height;
    }
}

TEST(MergerDisplayLimits, AFileWithALargerDisplayIsAReadErrorNamingIt)
{
    QuorvelTest::TempDir dir;
    QuorvelTest::SyntheticRender r;
    r.width = 9000;
    r.height = 2;
    const std::filesystem::path path = dir / "wide.qvlrender";
    ASSERT_TRUE(QuorvelTest::writeSyntheticRenderFile(path, r));

    QuorvelTest::LogCapture log;
    ReadSlot slot;
    readRenderFile(params{}, path, slot);
    EXPECT_EQ(slot.error, kErrorDisplaySize);
    EXPECT_EQ(slot.error, -11);
    EXPECT_FALSE(slot.read);
    EXPECT_TRUE(slot.opaque.empty());
    EXPECT_TRUE(slot.mask.empty());
    ASSERT_FALSE(log.entries().empty());
    EXPECT_EQ(log.entries().back().level, Quorvel::Logger::ERROR);
    EXPECT_EQ(log.messages().back(),
              "File " + path.string() + " has a display of 9000x2 pixels, which a final view file cannot hold.\n");
}

} // namespace
