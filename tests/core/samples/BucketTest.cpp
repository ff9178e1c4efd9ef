#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "camera/CameraSet.h"
#include "core/samples/SamplesTestSupport.h"
#include "samples/Buckets.h"

namespace {

using namespace QuorvelTest;
using namespace Quorvel::Phase;
using namespace Quorvel::BinIO;
using Bytes = std::vector<unsigned char>;

template <typename T>
T at(const Bytes& b, size_t offset)
{
    T v;
    std::memcpy(&v, b.data() + offset, sizeof v);
    return v;
}

// Everything the temporary sample file holds so far.
Bytes temporaryFile()
{
    std::FILE* f = context().tempFile;
    EXPECT_NE(f, nullptr);
    if (f == nullptr)
        return {};
    std::fflush(f);
    const long end = std::ftell(f);
    std::rewind(f);
    Bytes out(static_cast<size_t>(end));
    EXPECT_EQ(std::fread(out.data(), 1, out.size(), f), out.size());
    std::fseek(f, end, SEEK_SET);
    return out;
}

Bytes tail(const Bytes& all, size_t from)
{
    return Bytes(all.begin() + static_cast<std::ptrdiff_t>(from), all.end());
}

Bytes imagesOf(const std::vector<DetectPlaqueInfo>& records)
{
    Bytes out(records.size() * 28);
    std::memcpy(out.data(), records.data(), out.size());
    return out;
}

const char* const kMalformed = "[Quorvel] Memory buffer is malformed: its sizes do not fit the block.\n";

class BucketTest : public IntakeTest {
protected:
    // A detection bucket of 16 x 16 pixels filled by the test host (32
    // cameras per pixel, looking along -z where the first cameras shoot).
    void fillDetectionBucket()
    {
        beginDetectionPhase();
        QvInitBucket(0, 20, 120, 36, 136);
        TestHost host;
        host.shootDetection(0, 20, 120, 36, 136, 32);
        ASSERT_GT(context().threadRegions[0].detectRecords.size(), 20u);
        log.clear();
    }
};

TEST_F(BucketTest, OpeningABucketChecksTheThreadTheLeftoversAndTheGrid)
{
    beginDetectionPhase(OPAQUE, 0.25, 2);
    EXPECT_THROW(QvInitBucket(2, 0, 0, 8, 8), std::exception);
    EXPECT_TRUE(log.contains("[Quorvel] cannot get bucket for this thread 2. Only 2 buckets are available\n"));

    ThreadRegion& region = context().threadRegions[1];
    QvInitBucket(1, 16, 32, 32, 40);
    EXPECT_TRUE(region.active);
    EXPECT_EQ(region.x0, 16u);
    EXPECT_EQ(region.y0, 32u);
    EXPECT_EQ(region.x1, 32u);
    EXPECT_EQ(region.y1, 40u);

    region.detectRecords.resize(3);
    region.sampleCount = 3;
    log.clear();
    EXPECT_THROW(QvInitBucket(1, 0, 0, 8, 8), std::exception);
    EXPECT_TRUE(log.contains("There was still samples in the bucket when the bucket was initialized. 3 samples "
                             "lost.\n"));
    EXPECT_EQ(region.x0, 16u);
    EXPECT_EQ(region.detectRecords.size(), 3u);
    region.detectRecords.clear();
    region.sampleCount = 0;

    // The grid holds 16 x 16 pixels: larger or inverted buckets are refused.
    struct Case {
        int32_t x0, y0, x1, y1;
        const char* message;
    };
    const Case refused[] = {
        {0, 0, 17, 8, "[Quorvel] The bucket [0,17] [0,8] does not fit the region of 16 x 16 pixels; it is not "
                      "opened.\n"},
        {0, 0, 8, 17, "[Quorvel] The bucket [0,8] [0,17] does not fit the region of 16 x 16 pixels; it is not "
                      "opened.\n"},
        {8, 0, 4, 8, "[Quorvel] The bucket [8,4] [0,8] does not fit the region of 16 x 16 pixels; it is not "
                     "opened.\n"},
        {-4, 0, 4, 8, "[Quorvel] The bucket [-4,4] [0,8] does not fit the region of 16 x 16 pixels; it is not "
                      "opened.\n"},
    };
    EXPECT_FALSE(context().samplesIncomplete);
    for (const Case& c : refused) {
        log.clear();
        QvInitBucket(0, c.x0, c.y0, c.x1, c.y1);
        ASSERT_EQ(log.entries().size(), 1u);
        EXPECT_EQ(log.entries()[0].level, Quorvel::Logger::ERROR);
        EXPECT_EQ(LogCapture::stripHeader(log.entries()[0].text), c.message);
        EXPECT_FALSE(context().threadRegions[0].active);
        // Its samples will be lost: the phase's file goes to the recovery path only.
        EXPECT_TRUE(context().samplesIncomplete);
    }
}

TEST_F(BucketTest, DetectionBufferOf300RecordsMatchesTheLayout)
{
    beginDetectionPhase();
    QvInitBucket(0, 0, 0, 16, 16);
    ThreadRegion& region = context().threadRegions[0];
    for (int i = 0; i < 300; ++i) {
        DetectPlaqueInfo r;
        r.cameraIndex = static_cast<uint8_t>(i);
        r.x = static_cast<uint16_t>(i % 16);
        r.y = static_cast<uint16_t>(i / 16);
        r.depth = 1.5f * static_cast<float>(i);
        r.normal = {0.0f, 0.0f, -1.0f};
        region.detectRecords.push_back(r);
    }
    region.sampleCount = 300;
    const std::vector<DetectPlaqueInfo> records = region.detectRecords;
    context().raysShot[313] = 3; // pixel (1, 1) of the 312-wide image still waits for samples

    ASSERT_EQ(QvProcessBucketGetBufferSize(0), 8676);
    EXPECT_EQ(QvProcessBucketGetBufferSize(0, 0, 16, 16), 8676);

    // One byte short: refused, nothing written, the bucket stays.
    Bytes small(8675, 0xCD);
    log.clear();
    EXPECT_FALSE(QvBucketFlushToMemory(small.data(), small.size(), 0, 0, 16, 16));
    EXPECT_TRUE(log.contains("[Quorvel] QvBucketFlushToMemory: the memory block of 8675 bytes is smaller than the "
                             "8676 bytes the bucket needs.\n"));
    EXPECT_EQ(small, Bytes(8675, 0xCD));
    EXPECT_TRUE(region.active);
    EXPECT_EQ(region.sampleCount, 300u);

    Bytes block(8676 + 100, 0xCD);
    ASSERT_TRUE(QvBucketFlushToMemory(block.data(), block.size(), 0, 0, 16, 16));
    for (size_t i = 0; i < 100; ++i)
        ASSERT_EQ(block[i], 0xCD) << i;
    const size_t footer = block.size() - 20;
    EXPECT_EQ(at<uint16_t>(block, footer + 0), 668);
    EXPECT_EQ(at<uint16_t>(block, footer + 2), 0xCDCD); // padding not written
    EXPECT_EQ(at<uint32_t>(block, footer + 4), 300u);
    EXPECT_EQ(at<uint16_t>(block, footer + 8), 0);
    EXPECT_EQ(at<uint16_t>(block, footer + 10), 16);
    EXPECT_EQ(at<uint16_t>(block, footer + 12), 0);
    EXPECT_EQ(at<uint16_t>(block, footer + 14), 16);
    EXPECT_EQ(block[footer + 16], 1);
    EXPECT_EQ(block[footer + 17], 0xCD);
    EXPECT_EQ(block[footer + 19], 0xCD);
    // Records from byte 100, decoded field by field.
    for (size_t i = 0; i < 300; ++i) {
        const size_t r = 100 + i * 28;
        EXPECT_EQ(block[r + 0], static_cast<uint8_t>(i));
        EXPECT_EQ(at<uint16_t>(block, r + 2), i % 16);
        EXPECT_EQ(at<uint16_t>(block, r + 4), i / 16);
        EXPECT_EQ(block[r + 6], 0);  // estimated
        EXPECT_EQ(block[r + 10], 0); // transparent
        EXPECT_EQ(at<float>(block, r + 12), 1.5f * static_cast<float>(i));
        EXPECT_EQ(at<float>(block, r + 24), -1.0f);
    }
    // The mask: one byte per pixel, row by row; only pixel (1, 1) waits.
    const size_t mask = 100 + 300 * 28;
    for (size_t p = 0; p < 256; ++p)
        EXPECT_EQ(block[mask + p], p == 17 ? 0 : 1) << p;
    EXPECT_FALSE(region.active);
    EXPECT_EQ(region.sampleCount, 0u);
    EXPECT_TRUE(region.detectRecords.empty());

    // Back into the file: the records as one block, the mask onto the counters.
    ASSERT_TRUE(QvFlushMemoryBufferToFile(block.data(), block.size()));
    EXPECT_EQ(temporaryFile(), imagesOf(records));
    EXPECT_EQ(context().tempRecordCount, 300u);
    EXPECT_EQ(context().raysShot[313], 1);
    EXPECT_EQ(context().samplesReceived[313], 0);
    EXPECT_EQ(context().raysShot[314], 1);
    EXPECT_EQ(context().samplesReceived[314], 1);
}

TEST_F(BucketTest, DetectionBucketReachesTheFileAsTheSameBytesEitherWay)
{
    fillDetectionBucket();
    const ThreadRegion copy = context().threadRegions[0];
    const Bytes images = imagesOf(copy.detectRecords);

    ASSERT_TRUE(QvProcessBucketFlushToFile(0));
    const Bytes direct = temporaryFile();
    EXPECT_EQ(direct, images);
    EXPECT_EQ(context().tempRecordCount, copy.detectRecords.size());
    EXPECT_FALSE(context().threadRegions[0].active);

    context().threadRegions[0] = copy;
    const int32_t size = QvProcessBucketGetBufferSize(20, 120, 36, 136);
    ASSERT_EQ(size, static_cast<int32_t>(copy.detectRecords.size() * 28 + 256 + 20));
    Bytes block(static_cast<size_t>(size));
    ASSERT_TRUE(QvBucketFlushToMemory(block.data(), block.size(), 20, 120, 36, 136));
    ASSERT_TRUE(QvFlushMemoryBufferToFile(block.data(), block.size()));
    EXPECT_EQ(tail(temporaryFile(), direct.size()), direct);
    EXPECT_EQ(context().tempRecordCount, 2 * copy.detectRecords.size());
}

// A render phase by hand over plaques of a detection pass, with the AOVs of
// the layout example: an RGB and an int (16 bytes per sample).
class RenderBucketTest : public BucketTest {
protected:
    void fillRenderBucket()
    {
        initWithSettings(Detect, false, 50.0);
        ASSERT_TRUE(QvSetRenderingResolutionParameters(QvComputeRenderingResolutionParameters(312, 208)));
        ASSERT_TRUE(QvPhaseBegin());
        TestHost host;
        host.shootDetection(0, 20, 120, 28, 128, 64);
        const std::vector<DetectPlaqueInfo> plaques = context().threadRegions[0].detectRecords;
        ASSERT_GE(plaques.size(), 64u);
        QvPhaseTerminate(Discard);

        QvInitPhase(Render, Quorvel::Util::RE_VRay);
        QvSetRenderTransparencyMode(OPAQUE);
        QvSetRenderScale(50.0);
        QvRenderPhaseRegisterAov(7, "diffuse", AOV_RGB);
        QvRenderPhaseRegisterAov(kAliasTransparency, "qvlTransp", AOV_Int);
        auto& c = context();
        c.renderingResolutionX.set(8.0);
        c.renderingResolutionY.set(8.0);
        c.outputResolutionX.set(312.0);
        c.outputResolutionY.set(208.0);
        c.currentBlock.set(0);
        Quorvel::Camera::CameraPlacement placement;
        placement.renderScale = 50.0f;
        const Quorvel::Camera::CameraSet set = Quorvel::Camera::makeCameraSet(placement);
        c.cameraPositions = set.positions;
        c.cameraPriorities = set.priorities;
        c.cameraFaceMasks = set.faceMasks;
        c.plaques = plaques;
        c.raysShot.assign(64, 0);
        c.samplesReceived.assign(64, 0);
        c.threadCount = 1;
        c.threadRegions.emplace_back(8, 8);
        c.tempFile = std::tmpfile();
        c.initialised = true;

        QvInitBucket(0, 0, 0, 8, 8);
        host.addAovs = [](Quorvel::RenderSample::QvRenderSample& s, const SceneHit& hit) {
            const float diffuse[4] = {hit.color.r, hit.color.g, hit.color.b, 0.0f};
            const int32_t alias = 7;
            Quorvel::RenderSample::QvAddSampleAov(s, diffuse, alias);
            Quorvel::RenderSample::QvAddGlassSampleAov(s, 1 + hit.object);
        };
        ASSERT_EQ(host.shootRender(0, 0, 0, 8, 8, 4), 256u);
        log.clear();
    }
};

TEST_F(RenderBucketTest, RenderBucketReachesTheFileAsTheSameBytesEitherWay)
{
    fillRenderBucket();
    const ThreadRegion copy = context().threadRegions[0];

    const int32_t size = QvProcessBucketGetBufferSize(0);
    const std::vector<OutSample> out = context().threadRegions[0].outSamples;
    ASSERT_FALSE(out.empty());
    ASSERT_EQ(size, static_cast<int32_t>(out.size() * 72 + 20));
    EXPECT_TRUE(log.contains("process bucket get size 00 => qvlsize(" + std::to_string(size) + ") , items(" +
                             std::to_string(out.size()) + ") \n"));

    Bytes block(static_cast<size_t>(size) + 40, 0xCD);
    log.clear();
    ASSERT_TRUE(QvBucketFlushToMemory(block.data(), block.size(), 0, 0, 8, 8));
    EXPECT_TRUE(log.contains("00 write to memory => qvlsize(" + std::to_string(size) + "), items(" +
                             std::to_string(out.size()) + ") vraybufsize(" + std::to_string(block.size()) + ") \n"));
    for (size_t i = 0; i < 40; ++i)
        ASSERT_EQ(block[i], 0xCD);
    const size_t footer = block.size() - 20;
    EXPECT_EQ(at<uint16_t>(block, footer), 668);
    EXPECT_EQ(at<uint32_t>(block, footer + 4), out.size());
    EXPECT_EQ(at<uint16_t>(block, footer + 10), 8);
    EXPECT_EQ(at<uint16_t>(block, footer + 14), 8);
    EXPECT_EQ(block[footer + 16], 0);
    for (size_t i = 0; i < out.size(); ++i) {
        const size_t r = 40 + i * 72;
        const OutSample& s = out[i];
        EXPECT_EQ(at<double>(block, r + 0), s.depth);
        EXPECT_EQ(at<float>(block, r + 8), s.normal.x);
        EXPECT_EQ(at<float>(block, r + 16), s.normal.z);
        EXPECT_EQ(at<float>(block, r + 20), s.color.r);
        EXPECT_EQ(at<float>(block, r + 32), s.color.a);
        EXPECT_EQ(at<int32_t>(block, r + 36), s.x);
        EXPECT_EQ(at<int32_t>(block, r + 40), s.y);
        EXPECT_EQ(at<uint32_t>(block, r + 44), s.cameraIndex);
        EXPECT_EQ(at<int32_t>(block, r + 48), s.level);
        EXPECT_EQ(block[r + 52], s.backFacing);
        EXPECT_EQ(block[r + 53] | block[r + 54] | block[r + 55], 0);
        EXPECT_EQ(std::memcmp(block.data() + r + 56, s.aovs[0].bytes, 12), 0); // diffuse, RGB
        EXPECT_EQ(at<int32_t>(block, r + 68), s.aovs[1].asInt);                // qvlTransp, int
        EXPECT_GT(s.aovs[1].asInt, 0);
    }
    ASSERT_TRUE(QvFlushMemoryBufferToFile(block.data(), block.size()));
    const Bytes throughMemory = temporaryFile();
    EXPECT_EQ(throughMemory, Bytes(block.begin() + 40, block.end() - 20));
    EXPECT_EQ(context().tempRecordCount, out.size());

    context().threadRegions[0] = copy;
    ASSERT_TRUE(QvProcessBucketFlushToFile(0, 0, 8, 8));
    EXPECT_EQ(tail(temporaryFile(), throughMemory.size()), throughMemory);
    EXPECT_EQ(context().tempRecordCount, 2 * out.size());
}

TEST_F(BucketTest, MalformedMemoryBuffersAreRefused)
{
    fillDetectionBucket();
    const int32_t size = QvProcessBucketGetBufferSize(0);
    Bytes good(static_cast<size_t>(size));
    ASSERT_TRUE(QvBucketFlushToMemory(good.data(), good.size(), 20, 120, 36, 136));
    const size_t footer = good.size() - 20;

    struct Case {
        const char* what;
        size_t offset; // into the footer
        std::vector<unsigned char> bytes;
        const char* message;
    };
    const Case cases[] = {
        {"version 667", 0, {0x9B, 0x02}, "[Quorvel] Memory buffer version mismatch.\n"},
        {"count beyond the block", 4, {0xFF, 0xFF, 0xFF, 0xFF}, kMalformed},
        {"count one too many", 4, {}, kMalformed},
        {"mask beyond the block", 10, {0xFF, 0xFF}, kMalformed},
        {"x1 before x0", 10, {0x00, 0x00}, kMalformed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes block = good;
        if (c.bytes.empty()) {
            const uint32_t count = at<uint32_t>(good, footer + 4) + 1;
            std::memcpy(block.data() + footer + 4, &count, 4);
        } else {
            std::memcpy(block.data() + footer + c.offset, c.bytes.data(), c.bytes.size());
        }
        log.clear();
        EXPECT_FALSE(QvFlushMemoryBufferToFile(block.data(), block.size()));
        EXPECT_TRUE(log.contains(c.message));
        EXPECT_TRUE(temporaryFile().empty());
    }
    for (size_t n : {0, 1, 19}) {
        log.clear();
        EXPECT_FALSE(QvFlushMemoryBufferToFile(good.data() + good.size() - n, n));
        EXPECT_TRUE(log.contains(kMalformed));
    }
    EXPECT_FALSE(QvFlushMemoryBufferToFile(nullptr, 100));
    EXPECT_TRUE(temporaryFile().empty());
    EXPECT_EQ(context().tempRecordCount, 0u);
    // A region's samples are lost: the phase's file goes to the recovery path only.
    EXPECT_TRUE(context().samplesIncomplete);

    // The untouched buffer still goes through.
    EXPECT_TRUE(QvFlushMemoryBufferToFile(good.data(), good.size()));
    EXPECT_FALSE(temporaryFile().empty());
}

TEST_F(BucketTest, LookupsByBoundsAndThreadReportMisses)
{
    beginDetectionPhase();
    QvInitBucket(0, 0, 0, 8, 8);
    Bytes block(64);
    EXPECT_EQ(QvProcessBucketGetBufferSize(0, 0, 8, 9), -1);
    EXPECT_TRUE(log.contains("[Quorvel] QvProcessBucketGetBufferSize Failed to get a bucket with coordinates 0 0 8 "
                             "9.\n"));
    EXPECT_FALSE(QvBucketFlushToMemory(block.data(), block.size(), 1, 0, 8, 8));
    EXPECT_TRUE(log.contains("[Quorvel] QvBucketFlushToMemory Failed to get a bucket with coordinates 1 0 8 8.\n"));
    EXPECT_EQ(QvProcessBucketGetBufferSize(3), -1);
    EXPECT_TRUE(log.contains("[Quorvel] there's no bucket for this thread 3.\n"));
    log.clear();
    EXPECT_FALSE(QvProcessBucketFlushToFile(0, 0, 4, 4));
    ASSERT_EQ(log.entries().size(), 1u);
    EXPECT_EQ(log.entries()[0].level, Quorvel::Logger::WARNING);
    EXPECT_EQ(LogCapture::stripHeader(log.entries()[0].text),
              "[Quorvel]  QvProcessBucketFlushToFile Failed to get a bucket with coordinates 0 0 4 4.\n");
    log.clear();
    EXPECT_FALSE(QvProcessBucketFlushToFile(7));
    EXPECT_TRUE(log.entries().empty());
    EXPECT_TRUE(context().threadRegions[0].active);

    QvPhaseTerminate(Discard);
    log.clear();
    EXPECT_THROW(QvProcessBucketGetBufferSize(0), std::exception);
    EXPECT_TRUE(log.contains("[Quorvel] a phase must be initialized to use this function"));
}

TEST_F(BucketTest, AllBucketsGoToTheFileInRegionOrder)
{
    beginDetectionPhase(OPAQUE, 0.25, 3);
    auto& regions = context().threadRegions;
    DetectPlaqueInfo a, b;
    a.cameraIndex = 1;
    b.cameraIndex = 2;
    regions[2].detectRecords = {b, b};
    regions[2].sampleCount = 2;
    regions[0].detectRecords = {a};
    regions[0].sampleCount = 1;
    QvProcessAllBucketsToFile();
    EXPECT_EQ(temporaryFile(), imagesOf({a, b, b}));
    EXPECT_EQ(context().tempRecordCount, 3u);
    for (const auto& r : regions)
        EXPECT_EQ(r.sampleCount, 0u);
}

// The only test that flushes after the phase end took the file.
TEST_F(RenderBucketTest, RecordsArrivingAfterThePhaseEndAreDroppedWithOneWarningPerKind)
{
    beginDetectionPhase();
    std::FILE* file = context().tempFile;
    context().tempFile = nullptr;
    for (int i = 0; i < 2; ++i) {
        context().threadRegions[0].detectRecords.resize(2);
        context().threadRegions[0].sampleCount = 2;
        EXPECT_TRUE(QvProcessBucketFlushToFile(0));
    }
    context().tempFile = file;
    const char* const late = "Flushing temporary file samples while samples have already been processed.";
    int warnings = 0;
    for (const auto& m : log.messages())
        warnings += m == late;
    EXPECT_EQ(warnings, 1);
    QvPhaseTerminate(Discard);

    fillRenderBucket();
    file = context().tempFile;
    context().tempFile = nullptr;
    log.clear();
    for (int i = 0; i < 2; ++i) {
        context().threadRegions[0].outSamples.resize(1);
        context().threadRegions[0].outSamples[0].aovs.resize(2);
        context().threadRegions[0].sampleCount = 1;
        EXPECT_TRUE(QvProcessBucketFlushToFile(0));
    }
    context().tempFile = file;
    EXPECT_TRUE(temporaryFile().empty());
    warnings = 0;
    for (const auto& m : log.messages())
        warnings += m == late;
    EXPECT_EQ(warnings, 1);
}

} // namespace
