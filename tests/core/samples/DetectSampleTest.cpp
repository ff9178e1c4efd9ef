#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "camera/CubeMap.h"
#include "core/samples/SamplesTestSupport.h"

namespace {

using namespace QuorvelTest;
using Quorvel::BinIO::DetectPlaqueInfo;
using Quorvel::DetectSample::QvDetectSample;
using Quorvel::DetectSample::QvMatchSampleIndex;
using Quorvel::DetectSample::QvProcessDetectSample;
using Quorvel::DetectSample::RayTestInterface;
using namespace Quorvel::Phase;

constexpr uint64_t kCentreCamera = 146;

void expectColor(const VekRGBA& c, float r, float g, float b, float a)
{
    EXPECT_FLOAT_EQ(c.r, r);
    EXPECT_FLOAT_EQ(c.g, g);
    EXPECT_FLOAT_EQ(c.b, b);
    EXPECT_FLOAT_EQ(c.a, a);
}

// The pixel of camera `camera` whose direction points at the world point.
void pixelTowards(uint64_t camera, const VekPoint& target, int32_t& x, int32_t& y)
{
    const VekPoint& e = context().cameraPositions[camera];
    const VekPoint d = Quorvel::Utils::normalize({target.x - e.x, target.y - e.y, target.z - e.z});
    const VekPoint2 uv = Quorvel::Camera::cubeMapPosition(d);
    x = std::min<int32_t>(311, static_cast<int32_t>(uv.x * 312.0f));
    y = std::min<int32_t>(207, static_cast<int32_t>(uv.y * 208.0f));
}

// A real hit of the centre camera looking at a world point.
QvDetectSample centreSampleTowards(TestHost& host, const VekPoint& target)
{
    int32_t x = 0, y = 0;
    pixelTowards(kCentreCamera, target, x, y);
    const SceneHit hit = host.detectionHit(kCentreCamera, x, y);
    EXPECT_TRUE(hit.hit);
    return host.detectSample(kCentreCamera, x, y, hit);
}

TEST(DetectSampleColorTest, CameraIndexIsTheHueInDegrees)
{
    struct Case {
        uint64_t camera;
        VekRGBA expected;
    };
    const Case cases[] = {
        {0, {1.0f, 0.0f, 0.0f, 1.0f}},          {7, {1.0f, 0.11666667f, 0.0f, 1.0f}},
        {60, {1.0f, 1.0f, 0.0f, 1.0f}},         {90, {0.5f, 1.0f, 0.0f, 1.0f}},
        {150, {0.0f, 1.0f, 0.5f, 1.0f}},        {210, {0.0f, 0.5f, 1.0f, 1.0f}},
        {255, {0.25f, 0.0f, 1.0f, 1.0f}},       {330, {1.0f, 0.0f, 0.5f, 1.0f}},
        {360, {1.0f, 0.0f, 0.0f, 1.0f}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.camera);
        const VekRGBA colour = Quorvel::DetectSample::plaqueDebugColor(c.camera);
        expectColor(colour, c.expected.r, c.expected.g, c.expected.b, c.expected.a);
    }
}

using DetectSampleTest = IntakeTest;

TEST_F(DetectSampleTest, MisuseIsLoggedAndThrownInOrder)
{
    TestHost host;
    QvDetectSample sample;

    // No phase at all: the thread count (0) is checked first.
    EXPECT_THROW(QvProcessDetectSample(host.rayTest(), sample, 0), std::exception);
    EXPECT_TRUE(log.contains("[Quorvel] You are trying to write to thread while only threads are declared with "
                             "QvSetThreadNumber()."));

    log.clear();
    initWithSettings(Detect, false, 50.0);
    EXPECT_THROW(QvProcessDetectSample(host.rayTest(), sample, 0), std::exception);
    EXPECT_TRUE(log.contains("[Quorvel] Probecasting can only be invoked once Quorvel is initialized."));

    log.clear();
    configureRender({});
    context().threadCount = 1;
    context().threadRegions.emplace_back(4, 4);
    context().initialised = true;
    EXPECT_THROW(QvProcessDetectSample(host.rayTest(), sample, 0), std::exception);
    EXPECT_TRUE(log.contains("[Quorvel] ProbeCasting is only designed for the detection phase."));
    EXPECT_EQ(log.entries().back().level, Quorvel::Logger::TRACE);
    EXPECT_EQ(host.traceCount(), 0u);
}

TEST_F(DetectSampleTest, ThreadIndexBeyondTheDeclaredThreadsThrows)
{
    beginDetectionPhase(OPAQUE, 0.25, 2);
    TestHost host;
    const QvDetectSample sample = centreSampleTowards(host, {0.0f, 0.0f, 5.0f});
    EXPECT_THROW(QvProcessDetectSample(host.rayTest(), sample, 2), std::exception);
    EXPECT_TRUE(log.contains("[Quorvel] You are trying to write to thread while only threads are declared with "
                             "QvSetThreadNumber()."));
    EXPECT_TRUE(allRecords().empty());
}

TEST_F(DetectSampleTest, DisabledCameraReturnsBlackWithoutTracing)
{
    beginDetectionPhase();
    TestHost host;
    QvDetectSample sample = centreSampleTowards(host, {0.0f, 0.0f, 5.0f});
    sample.cameraIndex = 5;
    context().cameraPriorities[5] = -1.0f;
    expectColor(QvProcessDetectSample(host.rayTest(), sample, 0), 0, 0, 0, 1);
    sample.cameraIndex = 256; // no such camera
    expectColor(QvProcessDetectSample(host.rayTest(), sample, 0), 0, 0, 0, 1);
    EXPECT_EQ(host.traceCount(), 0u);
    EXPECT_TRUE(allRecords().empty());
}

TEST_F(DetectSampleTest, ClippingSphereDropsHitsBeforeCounting)
{
    beginDetectionPhase();
    TestHost host;
    const QvDetectSample sample = centreSampleTowards(host, {0.0f, 0.0f, 5.0f});
    const uint64_t pixel = static_cast<uint64_t>(sample.y) * 312 + static_cast<uint64_t>(sample.x);

    struct Case {
        float radius;
        bool inside;
    };
    // Walls are 5 away: a sphere of radius 10 clipping its inside, and one of
    // radius 1 keeping only its inside, both reject the hit.
    for (const Case& c : {Case{10.0f, true}, Case{1.0f, false}}) {
        QvSetClippingSphere(true, VekPoint{0.0f, 0.0f, 0.0f}, c.radius, c.inside);
        expectColor(QvProcessDetectSample(host.rayTest(), sample, 0), 0, 0, 0, 0);
    }
    EXPECT_EQ(context().samplesReceived[pixel], 0);
    EXPECT_EQ(host.traceCount(), 0u);
    EXPECT_TRUE(allRecords().empty());

    QvSetClippingSphere(true, VekPoint{0.0f, 0.0f, 0.0f}, 10.0f, false);
    const VekRGBA kept = QvProcessDetectSample(host.rayTest(), sample, 0);
    EXPECT_EQ(kept.a, 1.0f);
    EXPECT_EQ(context().samplesReceived[pixel], 1);
    EXPECT_EQ(allRecords().size(), 1u);
}

TEST_F(DetectSampleTest, ReceivedSampleCounterSkipsTransparentHits)
{
    struct Case {
        TransparencyRenderingType mode;
        bool transparent;
        uint16_t expected;
    };
    const Case cases[] = {{OPAQUE, false, 1}, {BOTH, false, 1}, {BOTH, true, 0}, {TRANSP, true, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.mode) * 10 + c.transparent);
        beginDetectionPhase(c.mode);
        TestHost host;
        QvDetectSample sample = centreSampleTowards(host, {0.0f, 0.0f, 5.0f});
        sample.transparent = c.transparent;
        QvProcessDetectSample(host.rayTest(), sample, 0);
        const uint64_t pixel = static_cast<uint64_t>(sample.y) * 312 + static_cast<uint64_t>(sample.x);
        EXPECT_EQ(context().samplesReceived[pixel], c.expected);
        QvPhaseTerminate(Discard);
    }
}

TEST_F(DetectSampleTest, OpaqueHitBecomesOnePlaqueOfTheChosenCamera)
{
    beginDetectionPhase();
    TestHost host;
    const QvDetectSample sample = centreSampleTowards(host, {1.0f, 0.5f, 5.0f});
    const VekRGBA colour = QvProcessDetectSample(host.rayTest(), sample, 0);

    const std::vector<DetectPlaqueInfo> records = allRecords();
    ASSERT_EQ(records.size(), 1u);
    const DetectPlaqueInfo& r = records[0];
    const VekRGBA expected = Quorvel::DetectSample::plaqueDebugColor(r.cameraIndex);
    expectColor(colour, expected.r, expected.g, expected.b, 1.0f);
    EXPECT_EQ(context().threadRegions[0].sampleCount, 1u);
    EXPECT_EQ(r.transparent, 0);
    EXPECT_EQ(r.hair, 0);
    EXPECT_EQ(r.level, 0);
    EXPECT_EQ(r.reserved, 0);
    // The back wall faces -z: identity matrices keep it in camera space.
    EXPECT_NEAR(r.normal.z, -1.0f, 1e-6f);

    // The plaque's pixel ray meets the wall at the recorded depth.
    const VekPoint& o = context().cameraWorldPositions[r.cameraIndex];
    const VekPoint d = Quorvel::Camera::cubeMapDirection((r.x + 0.5f) / 312.0f, (r.y + 0.5f) / 208.0f);
    const VekPoint point{o.x + d.x * r.depth, o.y + d.y * r.depth, o.z + d.z * r.depth};
    EXPECT_NEAR(point.z, 5.0f, r.estimated ? 0.05f : 1e-4f);

    // That camera now owns the pixel, so it no longer shoots there.
    EXPECT_FALSE(Quorvel::Camera::QvGetRayDetectPhase(r.cameraIndex, r.x + 0.5, r.y + 0.5).valid);
}

TEST_F(DetectSampleTest, CoveredPixelIsRefusedByHandToo)
{
    beginDetectionPhase();
    TestHost host;
    const QvDetectSample sample = centreSampleTowards(host, {1.0f, 0.5f, 5.0f});
    QvProcessDetectSample(host.rayTest(), sample, 0);
    const DetectPlaqueInfo r = allRecords().at(0);

    // Same camera and pixel as the plaque, reported directly.
    QvDetectSample covered = sample;
    covered.cameraIndex = r.cameraIndex;
    covered.x = r.x;
    covered.y = r.y;
    const uint64_t traces = host.traceCount();
    expectColor(QvProcessDetectSample(host.rayTest(), covered, 0), 0, 0, 0, 1);
    EXPECT_EQ(host.traceCount(), traces);
    EXPECT_EQ(allRecords().size(), 1u);
}

TEST_F(DetectSampleTest, BucketOfRealHitsKeepsOnePlaquePerCameraAndPixel)
{
    beginDetectionPhase();
    TestHost host;
    const uint64_t hits = host.shootDetection(0, 100, 60, 106, 66);
    const std::vector<DetectPlaqueInfo> records = allRecords();
    EXPECT_GT(hits, 0u);
    ASSERT_FALSE(records.empty());
    EXPECT_LE(records.size(), hits);
    EXPECT_EQ(context().threadRegions[0].sampleCount, records.size());
    expectOneOpaquePlaquePerCameraAndPixel(records);

    for (const DetectPlaqueInfo& r : records) {
        ASSERT_LT(r.cameraIndex, context().cameraWorldPositions.size());
        EXPECT_EQ(r.transparent, 0);
        EXPECT_NEAR(Quorvel::Utils::length(r.normal), 1.0f, 1e-5f);
        // Every plaque lies on the scene within its pixel's footprint.
        const VekPoint& o = context().cameraWorldPositions[r.cameraIndex];
        const VekPoint d = Quorvel::Camera::cubeMapDirection((r.x + 0.5f) / 312.0f, (r.y + 0.5f) / 208.0f);
        const VekPoint point{o.x + d.x * r.depth, o.y + d.y * r.depth, o.z + d.z * r.depth};
        EXPECT_LT(host.scene().distanceToSurface(point), 0.03 * r.depth)
            << "camera " << int(r.cameraIndex) << " pixel " << r.x << "," << r.y;
        if (!r.estimated) {
            // A plaque that went through the bits owns them.
            const uint64_t word = (uint64_t{r.y} * 312 + r.x) * 4 + r.cameraIndex / 64;
            EXPECT_TRUE((context().cameraCoverage[word].load() >> (r.cameraIndex % 64)) & 1u);
        }
    }
}

// A host that records the camera each test ray starts from and answers as
// told: nothing hit, or the target exactly (its distance is maxDistance / 1.2).
struct RecordingHost {
    bool seeEverything = false;
    std::vector<uint64_t> origins;

    static bool trace(const VekPoint& o, const VekPoint& d, double maxDistance, void* hitData, void* self)
    {
        auto* host = static_cast<RecordingHost*>(self);
        const auto& cams = context().cameraWorldPositions;
        uint64_t camera = cams.size();
        for (uint64_t j = 0; j < cams.size(); ++j)
            if (sameVector(cams[j], o))
                camera = j;
        host->origins.push_back(camera);
        if (!host->seeEverything)
            return false;
        const double t = maxDistance / 1.2;
        const VekPoint p{static_cast<float>(o.x + d.x * t), static_cast<float>(o.y + d.y * t),
                         static_cast<float>(o.z + d.z * t)};
        Quorvel::DetectSample::writeRayHitData(hitData, p, VekPoint{0.0f, 0.0f, -1.0f}, t);
        return true;
    }

    RayTestInterface interface()
    {
        RayTestInterface rti;
        rti.userData = this;
        rti.trace = &RecordingHost::trace;
        return rti;
    }
};

struct Scored {
    uint64_t index;
    float score;
    bool front;
    uint8_t priority;
};

// The candidate order worked out from the definitions, independently of the
// core: front-facing first, then by score, for a hit p with unit normal n.
std::vector<Scored> orderA(const VekPoint& p, const VekPoint& n)
{
    std::vector<Scored> out;
    const auto& c = context();
    for (uint64_t j = 0; j < c.cameraPositions.size(); ++j) {
        const VekPoint& e = c.cameraPositions[j];
        const VekPoint v{p.x - e.x, p.y - e.y, p.z - e.z};
        const float vn = v.x * n.x + v.y * n.y + v.z * n.z;
        const float vv = v.x * v.x + v.y * v.y + v.z * v.z;
        out.push_back({j, std::fabs(vn) / vv, vn < 0.0f,
                       static_cast<uint8_t>(static_cast<int>(c.cameraPriorities[j]) & 0xFF)});
    }
    std::stable_sort(out.begin(), out.end(), [](const Scored& a, const Scored& b) {
        if (a.front != b.front)
            return a.front;
        return a.score > b.score;
    });
    return out;
}

bool facesTheHit(uint64_t j, const VekPoint& p)
{
    const auto& c = context();
    const VekPoint& e = c.cameraPositions[j];
    const VekPoint u{p.x - e.x, p.y - e.y, p.z - e.z};
    const uint32_t m = c.cameraFaceMasks[j];
    return ((m & 1) && u.z < 1e-4f) || ((m & 2) && u.x > -1e-4f) || ((m & 4) && u.z > -1e-4f) ||
           ((m & 8) && u.x < 1e-4f) || ((m & 16) && u.y > -1e-4f) || ((m & 32) && u.y < 1e-4f);
}

QvDetectSample handMadeSample(uint64_t camera)
{
    QvDetectSample s;
    s.x = 150;
    s.y = 40;
    s.cameraIndex = camera;
    s.position = {0.6f, 0.2f, 5.0f};
    s.normal = {0.0f, 0.0f, -1.0f};
    return s;
}

TEST_F(DetectSampleTest, WithoutToleranceEveryCandidateIsTriedInScoreOrder)
{
    beginDetectionPhase(OPAQUE, 0.0);
    RecordingHost host;
    RayTestInterface rti = host.interface();
    const QvDetectSample sample = handMadeSample(kCentreCamera);
    QvProcessDetectSample(&rti, sample, 0);

    std::vector<uint64_t> expected;
    for (const Scored& s : orderA(sample.position, sample.normal))
        if (facesTheHit(s.index, sample.position))
            expected.push_back(s.index);
    ASSERT_GT(expected.size(), 10u);
    EXPECT_EQ(host.origins, expected);
    // Nothing seen: the sample's own record stands.
    const std::vector<DetectPlaqueInfo> records = allRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].cameraIndex, kCentreCamera);
    EXPECT_EQ(records[0].x, 150);
    EXPECT_EQ(records[0].y, 40);
}

TEST_F(DetectSampleTest, ToleranceWithoutReferenceKeepsOnlyTheLastCandidate)
{
    beginDetectionPhase(OPAQUE, 0.25);
    RecordingHost host;
    RayTestInterface rti = host.interface();
    const QvDetectSample sample = handMadeSample(kCentreCamera);
    QvProcessDetectSample(&rti, sample, 0);

    const std::vector<Scored> order = orderA(sample.position, sample.normal);
    std::vector<uint64_t> expected;
    for (const Scored& s : order)
        if (facesTheHit(s.index, sample.position))
            expected.push_back(s.index);
    if (facesTheHit(order.back().index, sample.position))
        expected.push_back(order.back().index);
    EXPECT_EQ(host.origins, expected);
}

TEST_F(DetectSampleTest, ToleranceVisitsNearBestCandidatesByPriority)
{
    for (const double tolerance : {0.25, 0.6}) {
        SCOPED_TRACE(tolerance);
        beginDetectionPhase(OPAQUE, tolerance);
        RecordingHost host;
        host.seeEverything = true;
        RayTestInterface rti = host.interface();
        const QvDetectSample sample = handMadeSample(kCentreCamera);
        const VekRGBA colour = QvProcessDetectSample(&rti, sample, 0);

        const std::vector<Scored> order = orderA(sample.position, sample.normal);
        size_t r = 0;
        while (!facesTheHit(order[r].index, sample.position))
            ++r;
        std::vector<Scored> kept{order[r]};
        for (size_t i = r + 1; i < order.size(); ++i) {
            if (order[i].front != order[r].front ||
                order[i].score < (1.0f - static_cast<float>(tolerance)) * order[r].score)
                break;
            kept.push_back(order[i]);
        }
        std::stable_sort(kept.begin(), kept.end(),
                         [](const Scored& a, const Scored& b) { return a.priority < b.priority; });
        uint64_t chosen = 256;
        for (const Scored& s : kept)
            if (facesTheHit(s.index, sample.position)) {
                chosen = s.index;
                break;
            }
        ASSERT_LT(chosen, 256u);
        ASSERT_GE(host.origins.size(), 2u);
        EXPECT_EQ(host.origins[0], order[r].index);
        EXPECT_EQ(host.origins[1], chosen);
        const std::vector<DetectPlaqueInfo> records = allRecords();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].cameraIndex, chosen);
        const VekRGBA expectedColour = Quorvel::DetectSample::plaqueDebugColor(chosen);
        expectColor(colour, expectedColour.r, expectedColour.g, expectedColour.b, 1.0f);
        QvPhaseTerminate(Discard);
    }
}

TEST_F(DetectSampleTest, EstimatedPlaquesBypassTheCameraBits)
{
    beginDetectionPhase(OPAQUE, 0.25);
    RecordingHost host;
    host.seeEverything = true; // the re-cast lands far beyond the plane: estimated
    RayTestInterface rti = host.interface();
    // A sample of a camera that cannot take the plaque itself.
    uint64_t own = 0;
    while (facesTheHit(own, handMadeSample(0).position))
        ++own;
    const QvDetectSample sample = handMadeSample(own);
    QvProcessDetectSample(&rti, sample, 0);
    QvProcessDetectSample(&rti, sample, 0);
    const std::vector<DetectPlaqueInfo> records = allRecords();
    ASSERT_EQ(records.size(), 2u);
    for (const DetectPlaqueInfo& r : records) {
        EXPECT_EQ(r.estimated, 1);
        EXPECT_EQ(r.transparent, 0);
        EXPECT_NE(r.cameraIndex, own);
    }
    EXPECT_EQ(std::memcmp(&records[0], &records[1], sizeof(DetectPlaqueInfo)), 0);
}

TEST_F(DetectSampleTest, MatchSampleIndexTakesTheNearestCameraAndTheLowerIndexOnTies)
{
    beginDetectionPhase();
    auto& cams = context().cameraWorldPositions;
    for (auto& p : cams)
        p = {100.0f, 100.0f, 100.0f};
    cams[2] = {-1.0f, 0.0f, 0.0f};
    cams[5] = {1.0f, 0.0f, 0.0f};
    QvDetectSample sample;
    QvMatchSampleIndex(sample, VekPoint{0.0f, 3.0f, 0.0f});
    EXPECT_EQ(sample.cameraIndex, 2u);
    QvMatchSampleIndex(sample, VekPoint{0.01f, 3.0f, 0.0f});
    EXPECT_EQ(sample.cameraIndex, 5u);
    QvMatchSampleIndex(sample, VekPoint{90.0f, 90.0f, 90.0f});
    EXPECT_EQ(sample.cameraIndex, 0u);
}

TEST_F(DetectSampleTest, GlassHitIsKeptOncePerCameraPixelAndDepth)
{
    beginDetectionPhase(BOTH);
    TestHost host;
    host.markGlass(6); // the red sphere at (2.5, 0, -3)
    const QvDetectSample sample = centreSampleTowards(host, {2.5f, 0.0f, -3.0f});
    ASSERT_TRUE(sample.transparent);
    const uint64_t pixel = static_cast<uint64_t>(sample.y) * 312 + static_cast<uint64_t>(sample.x);

    expectColor(QvProcessDetectSample(host.rayTest(), sample, 0), 0, 0, 0, 0);
    std::vector<DetectPlaqueInfo> records = allRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].transparent, 1);
    EXPECT_EQ(records[0].hair, 0);
    const auto& depths = context().cameraDepthLists[records[0].cameraIndex];
    const uint32_t key = uint32_t{records[0].y} * 65536u + records[0].x;
    ASSERT_EQ(depths.count(key), 1u);
    EXPECT_EQ(depths.at(key), std::vector<float>{records[0].depth});

    // The same hit again finds its depth listed.
    expectColor(QvProcessDetectSample(host.rayTest(), sample, 0), 0, 0, 0, 0);
    EXPECT_EQ(allRecords().size(), 1u);
    EXPECT_EQ(context().samplesReceived[pixel], 0);
    // Glass never takes the camera bits.
    for (const auto& word : context().cameraCoverage)
        ASSERT_EQ(word.load(), 0u);
}

TEST_F(DetectSampleTest, TransparentPathRefusesAnOpaqueSample)
{
    beginDetectionPhase(TRANSP);
    TestHost host;
    QvDetectSample sample = centreSampleTowards(host, {2.5f, 0.0f, -3.0f});
    sample.transparent = false;
    EXPECT_THROW(QvProcessDetectSample(host.rayTest(), sample, 0), std::exception);
    EXPECT_TRUE(log.contains("transparent probe should have transparent flag"));
    EXPECT_TRUE(allRecords().empty());
}

TEST_F(DetectSampleTest, HairHitIsKeptOncePerCameraPixelAndDepth)
{
    beginDetectionPhase();
    TestHost host;
    host.markHair(8); // the blue sphere at (0, 2, 3.5)
    const QvDetectSample sample = centreSampleTowards(host, {0.0f, 2.0f, 3.5f});
    ASSERT_TRUE(sample.hair);
    const VekRGBA colour = QvProcessDetectSample(host.rayTest(), sample, 0);
    std::vector<DetectPlaqueInfo> records = allRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].hair, 1);
    EXPECT_EQ(records[0].transparent, 0);
    // The zero normal is invalid and stored as it is.
    expectZero(records[0].normal);
    const VekRGBA expected = Quorvel::DetectSample::plaqueDebugColor(records[0].cameraIndex);
    expectColor(colour, expected.r, expected.g, expected.b, 1.0f);

    QvProcessDetectSample(host.rayTest(), sample, 0);
    EXPECT_EQ(allRecords().size(), 1u);
}

TEST_F(DetectSampleTest, PassThroughGlassRecordsWhatLiesBehind)
{
    beginDetectionPhase(BOTH);
    TestHost host;
    host.markGlass(6);
    int32_t x = 0, y = 0;
    pixelTowards(0, {2.5f, 0.0f, -3.0f}, x, y);
    host.shootDetection(0, x - 8, y - 8, x + 8, y + 8, 1); // camera 0 only: one probe per pixel
    const std::vector<DetectPlaqueInfo> records = allRecords();
    const auto glass = std::count_if(records.begin(), records.end(), [](const auto& r) { return r.transparent; });
    const auto opaque = std::count_if(records.begin(), records.end(), [](const auto& r) { return !r.transparent; });
    // Probes enter and leave the glass sphere and go on to the wall behind.
    EXPECT_GT(glass, 0);
    EXPECT_GT(opaque, 0);
    expectOneOpaquePlaquePerCameraAndPixel(records);
}

} // namespace
