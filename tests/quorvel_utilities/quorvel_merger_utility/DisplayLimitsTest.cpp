#include <gtest/gtest.h>

#include <string>

#include "MergerTestSupport.h"
#include "RenderFileReaders.h"
#include "support/LogCapture.h"
#include "support/SystemFixtures.h"
#include "support/TempDir.h"

using namespace Quorvel::Merger;

namespace {

// The final view file addresses a cube-map pixel with 13 bits of column and
// 12 of row; a latitude-longitude pixel's index is 32-bit arithmetic, whose
// flag byte may overlap an index of 2^24 or more, as readers expect.
TEST(MergerDisplayLimits, OnlyDisplaysAFinalViewFileCanAddressAreTaken)
{
    const struct {
        int32_t projection;
        uint16_t width, height;
        bool fits;
    } cases[] = {
        {1, 312, 208, true},     {1, 1, 1, true},         {1, 8192, 4096, true},  {1, 8193, 4096, false},
        {1, 8192, 4097, false},  {1, 0, 208, false},      {1, 312, 0, false},     {1, 65535, 65535, false},
        {0, 4096, 4096, true},   {0, 4097, 4096, true},   {0, 65535, 256, true},  {0, 65535, 257, true},
        {0, 65535, 65535, true}, {0, 0, 0, false},        {0, 0, 16, false},      {0, 16, 0, false},
        {2, 8192, 4096, true},
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

// A latitude-longitude display of more than 2^24 pixels is read.
TEST(MergerDisplayLimits, ALargeLatitudeLongitudeDisplayIsRead)
{
    QuorvelTest::TempDir dir;
    QuorvelTest::SyntheticRender r;
    r.width = 6000;
    r.height = 3000;
    r.samples = 40;
    Quorvel::BinIO::header_v09 header = QuorvelTest::syntheticRenderHeader(r);
    header.projection = 0;
    Quorvel::BinIO::qvlRenderSample5Aovs_t content = QuorvelTest::syntheticRenderContent(r);
    content.trailing.clear();
    header.sampleNums = content.samples.size();
    const std::filesystem::path path = dir / "wide.qvlrender";
    ASSERT_EQ(Quorvel::BinIO::qvlWriter_v9(path.string(), header, content, Quorvel::Util::RE_VRay),
              Quorvel::BinIO::QVL_OK);

    QuorvelTest::LogCapture log;
    ReadSlot slot;
    readRenderFile(params{}, path, slot);
    EXPECT_EQ(slot.error, 0);
    EXPECT_TRUE(slot.read);
    EXPECT_EQ(slot.opaque.size(), 40u);
}

// Memory for the per-pixel maps runs out: the group fails, the run goes on.
TEST(MergerDisplayLimits, RunningOutOfMemoryFailsTheGroup)
{
    QuorvelTest::TempDir dir;
    QuorvelTest::TempDir out;
    ASSERT_TRUE(QuorvelTest::writeSyntheticRenderFile(dir / "f1.qvlr", {}));
    QuorvelTest::SyntheticRender second;
    second.frame = 2;
    ASSERT_TRUE(QuorvelTest::writeSyntheticRenderFile(dir / "f2.qvlr", second));
    int handled = 0;
    const MergerTest::Run run = MergerTest::runMerger(
        {"qm", dir.path().string(), "--output", (out / "o.qvl").string(), "-l", "0"},
        [&handled](const RenderGroup& group, AssembledGroup&) {
            ++handled;
            if (group.first.frame == 1)
                throw std::bad_alloc();
            return true;
        });
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(handled, 2);
    EXPECT_TRUE(run.logged("Not enough memory to merge " + (out / "o.0001.qvl").string() + " (display 24x16).\n"));
}

} // namespace
