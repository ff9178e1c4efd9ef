#pragma once

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "context/Phase.h"
#include "context/QuorvelContext.h"
#include "context/Resolution.h"
#include "samples/Buckets.h"
#include "support/TestHost.h"

// Both phases of the core driven the way the renderer binding drives them:
// settings, resolution and blocks, begin, render threads that take buckets
// from a shared queue, shoot every ray of their bucket through the test host
// and flush the bucket to the sample file, then terminate with Finalize.
namespace QuorvelTest {

struct PhaseSetup {
    int32_t frame = 1;
    int32_t offset[3] = {0, 0, 0};
    // 50 makes the zone of view the box [-1, 1] x [-0.5, 0.5] x [-1, 1] (for
    // zero offsets) inside the test scene's room.
    double renderScale = 50.0;
    float ipd = 63.5f;
    uint64_t width = 312;
    uint64_t height = 208;
    uint64_t threads = 2;
    int32_t bucket = 16;
    int detectionSamplesPerPixel = 256;
    int renderSamplesPerPixel = 4;
};

// The room, a small panel 0.004 in front of camera 1 (at (-0.75, 0.3, -1)
// for a render scale of 50 and zero offsets, on the face z = -1 of the zone
// of view) and a small ball in front of the same face. A panel that close to
// a camera is what lets plaques merge up to level 3 at small resolutions.
inline TestScene roomWithNearPanel()
{
    TestScene scene = TestScene::room();
    scene.addRectangle({{-0.75, 0.3, -1.004}, {0, 0, 1}, {1, 0, 0}, {0, 1, 0}, 0.02, 0.02, {0.1f, 0.8f, 0.8f, 1.0f}});
    scene.addSphere({-0.65, 0.15, -1.25}, 0.08, {0.8f, 0.8f, 0.1f, 1.0f});
    return scene;
}

// Settings every phase needs, in the binding's order.
inline void configurePhase(Quorvel::Phase::Phase phase, const PhaseSetup& s, const std::string& outFile,
                           Quorvel::Phase::Eye eye)
{
    using namespace Quorvel::Phase;
    QvInitPhase(phase, Quorvel::Util::RE_VRay);
    QvSetSceneUpVector(VekPoint{0.0f, 1.0f, 0.0f});
    QvSetOutFilePath(outFile.c_str());
    QvSetThreadNumber(s.threads);
    QvSetBucketSize(static_cast<uint64_t>(s.bucket), static_cast<uint64_t>(s.bucket));
    QvSetOutputResolution(s.width, s.height);
    QvSetDraft(false);
    QvSetCurrentFrame(s.frame, 4);
    QvSetZovOffset(s.offset[0], s.offset[1], s.offset[2]);
    QvSetRenderScale(s.renderScale);
    QvSetSpecularPointOffset(VekPoint{0.0f, 0.0f, 0.0f});
    QvSetDeepReflection(eye, s.ipd);
    QvSetTolerance(0.25);
    QvSetRenderTransparencyMode(OPAQUE);
}

// Renders [0, width) x [0, height) of the current block: the buckets are
// handed out in row order to whichever thread asks next; every thread opens
// the bucket, shoots it and flushes it to the sample file.
// False when a bucket could not be flushed.
template <class Shoot>
bool renderBuckets(const PhaseSetup& s, uint64_t width, uint64_t height, Shoot shoot)
{
    const int32_t w = static_cast<int32_t>(width);
    const int32_t h = static_cast<int32_t>(height);
    const int32_t columns = (w + s.bucket - 1) / s.bucket;
    const int32_t rows = (h + s.bucket - 1) / s.bucket;
    std::atomic<int32_t> next{0};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (uint64_t t = 0; t < s.threads; ++t)
        threads.emplace_back([&, t] {
            for (int32_t b = next++; b < columns * rows; b = next++) {
                const int32_t x0 = (b % columns) * s.bucket;
                const int32_t y0 = (b / columns) * s.bucket;
                const int32_t x1 = std::min(x0 + s.bucket, w);
                const int32_t y1 = std::min(y0 + s.bucket, h);
                Quorvel::BinIO::QvInitBucket(t, x0, y0, x1, y1);
                shoot(t, x0, y0, x1, y1);
                if (!Quorvel::BinIO::QvProcessBucketFlushToFile(t))
                    ++failures;
            }
        });
    for (auto& thread : threads)
        thread.join();
    return failures.load() == 0;
}

// A detection phase up to its end: every bucket shot and flushed. False
// when a step failed.
inline bool shootDetectionPhase(TestHost& host, const PhaseSetup& s, const std::string& outFile)
{
    using namespace Quorvel::Phase;
    configurePhase(Detect, s, outFile, RC_LeftAndRight);
    const QvResolutionParam p = QvComputeRenderingResolutionParameters(s.width, s.height);
    if (!p.valid || !QvSetRenderingResolutionParameters(p) || !QvSetCurrentBlockIndex(0) || !QvPhaseBegin())
        return false;
    // The k-th sample of a pixel is camera k's.
    return renderBuckets(s, p.x, p.y, [&](uint64_t t, int32_t x0, int32_t y0, int32_t x1, int32_t y1) {
        host.shootDetection(t, x0, y0, x1, y1, s.detectionSamplesPerPixel);
    });
}

// The raw plaques of a detection phase as its buckets left them in the
// sample file, with the phase's cameras; the phase is discarded.
struct RawDetection {
    std::vector<Quorvel::BinIO::DetectPlaqueInfo> plaques;
    std::vector<VekPoint> cameras;
    std::vector<float> priorities;
};

inline RawDetection shootRawDetection(TestHost& host, const PhaseSetup& s, const std::string& outFile)
{
    RawDetection raw;
    const bool shot = shootDetectionPhase(host, s, outFile);
    auto& c = Quorvel::Phase::getQuorvelContext();
    if (shot) {
        std::lock_guard lock(c.tempFileMutex);
        std::fflush(c.tempFile);
        std::rewind(c.tempFile);
        raw.plaques.resize(c.tempRecordCount);
        if (std::fread(raw.plaques.data(), sizeof(Quorvel::BinIO::DetectPlaqueInfo), raw.plaques.size(),
                       c.tempFile) != raw.plaques.size())
            raw.plaques.clear();
    }
    raw.cameras = c.cameraPositions;
    raw.priorities = c.cameraPriorities;
    Quorvel::Phase::QvPhaseTerminate(Quorvel::Phase::Discard);
    return raw;
}

// A whole detection phase writing `outFile`.
inline bool runDetectionPhase(TestHost& host, const PhaseSetup& s, const std::string& outFile)
{
    const bool shot = shootDetectionPhase(host, s, outFile);
    return Quorvel::Phase::QvPhaseTerminate(Quorvel::Phase::Finalize) && shot;
}

// A whole render phase over a detection file of `plaques` plaques, with a
// square rendering image small enough that they need `blocks` blocks or more.
// `used` receives the rendering resolution and block count; false when a
// step failed.
inline bool runRenderPhase(TestHost& host, const PhaseSetup& s, const std::string& detectFile, uint64_t plaques,
                           uint64_t blocks, Quorvel::Phase::Eye eye, const std::string& outFile,
                           Quorvel::Phase::QvResolutionParam& used)
{
    using namespace Quorvel::Phase;
    configurePhase(Render, s, outFile, eye);
    QvSetDetectFilePath(detectFile.c_str());
    const auto side = static_cast<uint64_t>(std::sqrt(static_cast<double>(plaques) / static_cast<double>(blocks)));
    used = QvComputeRenderingResolutionParameters(side, side);
    bool ok = used.valid && QvSetRenderingResolutionParameters(used) && QvSetCurrentBlockIndex(0) && QvPhaseBegin();
    for (uint64_t b = 0; ok && b < used.blockCount; ++b)
        ok = QvSetCurrentBlockIndex(b) &&
             renderBuckets(s, used.x, used.y, [&](uint64_t t, int32_t x0, int32_t y0, int32_t x1, int32_t y1) {
                 host.shootRender(t, x0, y0, x1, y1, s.renderSamplesPerPixel);
             });
    return QvPhaseTerminate(Finalize) && ok;
}

} // namespace QuorvelTest
