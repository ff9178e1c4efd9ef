#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "camera/CubeMap.h"
#include "core/samples/SamplesTestSupport.h"
#include "samples/Buckets.h"

namespace {

using namespace QuorvelTest;
using Quorvel::BinIO::QvInitBucket;
using Quorvel::BinIO::QvProcessBucketFlushToFile;
using Quorvel::Phase::TransparencyRenderingType;

constexpr int32_t kBucket = 16; // the fixture's bucket size
constexpr int kSamplesPerPixel = 8;

struct Bucket {
    int32_t x0, y0, x1, y1;
};

// What a detection phase has gathered before its finalisation: the
// temporary file's bytes and the per-pixel counters and camera bits.
struct Gathered {
    std::string records;
    std::vector<uint16_t> raysShot, samplesReceived;
    std::vector<uint64_t> coverage;
};

class BucketOrderTest : public IntakeTest {
protected:
    // Eight buckets, four by two, around the glass sphere, where hits of
    // neighbouring buckets re-project onto each other's camera pixels.
    std::vector<Bucket> grid() const
    {
        const VekPoint target{2.5f, 0.0f, -3.0f};
        const VekPoint2 uv = Quorvel::Camera::cubeMapPosition(Quorvel::Utils::normalize(target));
        const int32_t bx = static_cast<int32_t>(uv.x * 312.0f) / kBucket - 2;
        const int32_t by = static_cast<int32_t>(uv.y * 208.0f) / kBucket - 1;
        std::vector<Bucket> buckets;
        for (int32_t row = 0; row < 2; ++row)
            for (int32_t column = 0; column < 4; ++column) {
                const int32_t x0 = (bx + column) * kBucket, y0 = (by + row) * kBucket;
                buckets.push_back({x0, y0, x0 + kBucket, y0 + kBucket});
            }
        return buckets;
    }

    void begin(TransparencyRenderingType mode)
    {
        if (context().initialised)
            Quorvel::Phase::QvPhaseTerminate(Quorvel::Phase::Discard);
        beginDetectionPhase(mode, 0.25, 2);
        host_ = std::make_unique<TestHost>();
        host_->markGlass(6);
        // The rest of the 312 x 208 image is opened and closed empty, so that
        // only the eight buckets remain to be written.
        const std::vector<Bucket> area = grid();
        for (int32_t y0 = 0; y0 < 208; y0 += kBucket)
            for (int32_t x0 = 0; x0 < 312; x0 += kBucket) {
                bool inArea = false;
                for (const Bucket& b : area)
                    inArea = inArea || (b.x0 == x0 && b.y0 == y0);
                if (inArea)
                    continue;
                QvInitBucket(0, x0, y0, std::min(x0 + kBucket, 312), std::min(y0 + kBucket, 208));
                ASSERT_TRUE(QvProcessBucketFlushToFile(0));
            }
    }

    void shootRow(uint64_t thread, const Bucket& b, int32_t y)
    {
        for (int32_t x = b.x0; x < b.x1; ++x)
            host_->shootDetectionPixel(thread, x, y, kSamplesPerPixel);
    }

    void render(uint64_t thread, const Bucket& b)
    {
        QvInitBucket(thread, b.x0, b.y0, b.x1, b.y1);
        for (int32_t y = b.y0; y < b.y1; ++y)
            shootRow(thread, b, y);
        ASSERT_TRUE(QvProcessBucketFlushToFile(thread));
    }

    Gathered gathered()
    {
        auto& c = context();
        Gathered g;
        std::lock_guard lock(c.tempFileMutex);
        std::fflush(c.tempFile);
        std::rewind(c.tempFile);
        g.records.resize(c.tempRecordCount * sizeof(Quorvel::BinIO::DetectPlaqueInfo));
        EXPECT_EQ(std::fread(g.records.data(), 1, g.records.size(), c.tempFile), g.records.size());
        g.raysShot = c.raysShot;
        g.samplesReceived = c.samplesReceived;
        for (const auto& word : c.cameraCoverage)
            g.coverage.push_back(word.load());
        return g;
    }

    // The buckets one after another in raster order, as one render thread
    // takes them.
    Gathered inRasterOrder(TransparencyRenderingType mode)
    {
        begin(mode);
        for (const Bucket& b : grid())
            render(0, b);
        return gathered();
    }

    std::unique_ptr<TestHost> host_;
};

std::vector<std::string> sortedRecords(const Gathered& g)
{
    constexpr size_t size = sizeof(Quorvel::BinIO::DetectPlaqueInfo);
    std::vector<std::string> records;
    for (size_t at = 0; at + size <= g.records.size(); at += size)
        records.push_back(g.records.substr(at, size));
    std::sort(records.begin(), records.end());
    return records;
}

void expectSame(const Gathered& expected, const Gathered& actual, const std::string& what)
{
    EXPECT_GT(expected.records.size(), 0u);
    EXPECT_TRUE(sortedRecords(expected) == sortedRecords(actual)) << what << ": other plaques were kept";
    EXPECT_TRUE(expected.records == actual.records) << what << ": the temporary files differ";
    EXPECT_TRUE(expected.raysShot == actual.raysShot) << what << ": rays shot differ";
    EXPECT_TRUE(expected.samplesReceived == actual.samplesReceived) << what << ": samples received differ";
    EXPECT_TRUE(expected.coverage == actual.coverage) << what << ": camera bits differ";
}

// Buckets that finish out of order keep their hits until every earlier
// bucket is written, and are then decided as if they had come in order:
// the temporary file, the counters of the completion mask and the camera
// bits are those of the raster order, byte for byte. OPAQUE stops detection
// rays at taken camera pixels; BOTH sends the glass hits down the
// transparent path and its depth lists.
TEST_F(BucketOrderTest, BucketsFinishedInAnyOrderGiveTheFileOfTheRasterOrder)
{
    for (const TransparencyRenderingType mode : {Quorvel::Phase::OPAQUE, Quorvel::Phase::BOTH}) {
        SCOPED_TRACE(mode == Quorvel::Phase::OPAQUE ? "OPAQUE" : "BOTH");
        const Gathered reference = inRasterOrder(mode);
        const std::vector<Bucket> buckets = grid();

        // Last bucket first: every bucket but the first waits for it.
        begin(mode);
        for (size_t i = buckets.size(); i-- > 0;)
            render(i % 2, buckets[i]);
        expectSame(reference, gathered(), "reverse order");

        // Two threads on neighbouring buckets, a row each in turn; the later
        // bucket is done first.
        begin(mode);
        for (size_t i = 0; i + 1 < buckets.size(); i += 2) {
            const Bucket& first = buckets[i];
            const Bucket& second = buckets[i + 1];
            QvInitBucket(0, first.x0, first.y0, first.x1, first.y1);
            QvInitBucket(1, second.x0, second.y0, second.x1, second.y1);
            for (int32_t row = 0; row < kBucket; ++row) {
                shootRow(1, second, second.y0 + row);
                shootRow(0, first, first.y0 + row);
            }
            ASSERT_TRUE(QvProcessBucketFlushToFile(1));
            ASSERT_TRUE(QvProcessBucketFlushToFile(0));
        }
        expectSame(reference, gathered(), "interleaved");
    }
}

// A bucket that never comes (rendered elsewhere, or the render was stopped)
// does not hold back the later ones for good: the phase end writes them, in
// raster order.
TEST_F(BucketOrderTest, BucketsWaitingForOneThatNeverCameAreWrittenAtTheEnd)
{
    const std::vector<Bucket> buckets = grid();
    begin(Quorvel::Phase::OPAQUE);
    for (size_t i = 1; i < buckets.size(); ++i)
        render(0, buckets[i]);
    EXPECT_EQ(context().tempRecordCount, 0u);
    Quorvel::BinIO::QvProcessAllBucketsToFile();
    const Gathered ahead = gathered();
    EXPECT_GT(ahead.records.size(), 0u);

    // The same buckets, the first left out, in raster order from a phase
    // whose first bucket was opened and closed empty.
    begin(Quorvel::Phase::OPAQUE);
    QvInitBucket(0, buckets[0].x0, buckets[0].y0, buckets[0].x1, buckets[0].y1);
    ASSERT_TRUE(QvProcessBucketFlushToFile(0));
    for (size_t i = 1; i < buckets.size(); ++i)
        render(0, buckets[i]);
    expectSame(gathered(), ahead, "first bucket missing");
}

} // namespace
