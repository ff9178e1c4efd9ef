// Sample intake as the render threads drive it: one QvProcessDetectSample per
// detection hit (opaque and glass hits of the test scene) and one
// QvProcessRenderSample per shaded ray, with 0 and 4 AOVs, on 1 and 2
// threads. "allocs" counts heap allocations per call inside the timed loop
// (bucket vectors already grown); "kept" is the share of detection calls
// that appended a plaque.

// The counting operator new below is a replacement, so malloc/free pairs
// behind new/delete are correct; GCC cannot tell and warns.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "context/Phase.h"
#include "context/QuorvelContext.h"
#include "context/Resolution.h"
#include "foundation/Logger.h"
#include "samples/Buckets.h"
#include "samples/DetectSample.h"
#include "samples/RenderSample.h"
#include "support/TestHost.h"

namespace {

// Per thread, so that two benchmark threads count only their own calls.
thread_local uint64_t allocations = 0;

} // namespace

void* operator new(std::size_t size)
{
    ++allocations;
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept
{
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}

namespace {

using namespace Quorvel;
using DetectSample::QvDetectSample;

constexpr int32_t kArea = 32;          // pixels per side of each thread's area
constexpr int kCamerasPerPixel = 24;   // detection samples per pixel
constexpr int64_t kDetectCalls = 12000; // fixed, so a run never reuses a sample

Phase::QuorvelContext& context()
{
    return Phase::getQuorvelContext();
}

// Silences the log and ends the phase an earlier run left running.
void quiet()
{
    Logger::QvSetConsoleLogLevel(-1);
    if (context().initialised)
        Phase::QvPhaseTerminate(Phase::Discard);
}

QuorvelTest::TestHost& host()
{
    static QuorvelTest::TestHost h;
    return h;
}

// A detection phase of 312 x 208 pixels with two threads; the zone of view is
// the unit box inside the test scene's room (render scale 50).
void beginDetection(Phase::TransparencyRenderingType mode)
{
    using namespace Phase;
    quiet();
    QvInitPhase(Detect, Util::RE_VRay);
    QvSetOutputResolution(312, 208);
    QvSetDraft(false);
    QvSetCurrentFrame(1, 4);
    QvSetZovOffset(0, 0, 0);
    QvSetRenderTransparencyMode(mode);
    QvSetBucketSize(kArea, kArea);
    QvSetRenderScale(50.0);
    QvSetSpecularPointOffset(VekPoint{0.0f, 0.0f, 0.0f});
    QvSetSceneUpVector(VekPoint{0.0f, 1.0f, 0.0f});
    QvSetDeepReflection(RC_Left, 63.5);
    QvSetThreadNumber(2);
    QvSetRenderingResolutionParameters(QvComputeRenderingResolutionParameters(312, 208));
    QvPhaseBegin();
}

// The hits of the first cameras of every pixel of thread t's area, in the
// order a render thread meets them. The areas look along -z, the way the
// first cameras (on the face z = -1) shoot.
std::vector<QvDetectSample> detectionHits(uint64_t thread)
{
    std::vector<QvDetectSample> out;
    const int32_t x0 = 20 + static_cast<int32_t>(thread) * kArea;
    for (int32_t y = 120; y < 120 + kArea; ++y)
        for (int32_t x = x0; x < x0 + kArea; ++x)
            for (int camera = 0; camera < kCamerasPerPixel; ++camera) {
                const QuorvelTest::SceneHit hit = host().detectionHit(static_cast<uint64_t>(camera), x, y);
                if (hit.hit)
                    out.push_back(host().detectSample(static_cast<uint64_t>(camera), x, y, hit));
            }
    return out;
}

std::vector<std::vector<QvDetectSample>> hitsPerThread;

void runDetect(benchmark::State& state, Phase::TransparencyRenderingType mode)
{
    const auto thread = static_cast<uint64_t>(state.thread_index());
    if (thread == 0) {
        beginDetection(mode);
        hitsPerThread = {detectionHits(0), detectionHits(1)};
    }
    uint64_t before = 0;
    size_t i = 0;
    for (auto _ : state) {
        if (i == 0)
            before = allocations;
        const std::vector<QvDetectSample>& hits = hitsPerThread[thread];
        benchmark::DoNotOptimize(DetectSample::QvProcessDetectSample(host().rayTest(), hits[i % hits.size()], thread));
        ++i;
    }
    const auto calls = static_cast<double>(state.iterations());
    state.counters["allocs"] = benchmark::Counter(static_cast<double>(allocations - before) / calls,
                                                  benchmark::Counter::kAvgThreads);
    state.counters["kept"] = benchmark::Counter(
        static_cast<double>(context().threadRegions[thread].detectRecords.size()) / calls,
        benchmark::Counter::kAvgThreads);
    state.SetItemsProcessed(state.iterations());
}

void BM_DetectSample_Opaque(benchmark::State& state)
{
    runDetect(state, Phase::OPAQUE);
}

void BM_DetectSample_Transparent(benchmark::State& state)
{
    runDetect(state, Phase::TRANSP);
}

// The same hits in a bucket that waits for an earlier one: each is kept
// with its result until the flush decides it ("kept" counts those).
void runDetectSpeculative(benchmark::State& state, Phase::TransparencyRenderingType mode)
{
    const auto thread = static_cast<uint64_t>(state.thread_index());
    if (thread == 0) {
        beginDetection(mode);
        hitsPerThread = {detectionHits(0), detectionHits(1)};
        for (uint64_t t = 0; t < 2; ++t) {
            const int32_t x0 = kArea * static_cast<int32_t>(1 + t);
            BinIO::QvInitBucket(t, x0, 0, x0 + kArea, kArea);
        }
    }
    uint64_t before = 0;
    size_t i = 0;
    for (auto _ : state) {
        if (i == 0)
            before = allocations;
        const std::vector<QvDetectSample>& hits = hitsPerThread[thread];
        benchmark::DoNotOptimize(DetectSample::QvProcessDetectSample(host().rayTest(), hits[i % hits.size()], thread));
        ++i;
    }
    const auto calls = static_cast<double>(state.iterations());
    state.counters["allocs"] = benchmark::Counter(static_cast<double>(allocations - before) / calls,
                                                  benchmark::Counter::kAvgThreads);
    state.counters["kept"] = benchmark::Counter(
        static_cast<double>(context().threadRegions[thread].candidates.size()) / calls,
        benchmark::Counter::kAvgThreads);
    state.SetItemsProcessed(state.iterations());
}

void BM_DetectSample_OpaqueWaiting(benchmark::State& state)
{
    runDetectSpeculative(state, Phase::OPAQUE);
}

void BM_DetectSample_TransparentWaiting(benchmark::State& state)
{
    runDetectSpeculative(state, Phase::TRANSP);
}

// A running render phase with the given number of host AOVs, two regions of
// 64 x 64 pixels.
void beginRender(int aovs)
{
    using namespace Phase;
    quiet();
    QvInitPhase(Render, Util::RE_VRay);
    QvSetRenderTransparencyMode(OPAQUE);
    const AOVType types[] = {AOV_RGB, AOV_Int, AOV_Vector3, AOV_Int};
    const char* names[] = {"diffuse", "id", "motion", "mask"};
    for (int a = 0; a < aovs; ++a)
        QvRenderPhaseRegisterAov(a + 1, names[a], types[a]);
    auto& c = context();
    c.threadCount = 2;
    c.threadRegions.emplace_back(64, 64);
    c.threadRegions.emplace_back(64, 64);
    c.initialised = true;
}

void BM_RenderSample(benchmark::State& state)
{
    const auto thread = static_cast<uint64_t>(state.thread_index());
    const int aovs = static_cast<int>(state.range(0));
    if (thread == 0)
        beginRender(aovs);

    RenderSample::QvRenderSample sample;
    sample.aovs.resize(static_cast<size_t>(aovs));
    sample.color = {0.5f, 0.5f, 0.5f, 1.0f};
    constexpr uint64_t kPerPixel = 4;
    uint64_t routed = 0;
    uint64_t allocs = 0;
    uint64_t counted = 0;
    uint64_t before = allocations;
    for (auto _ : state) {
        const uint64_t pixel = (routed / kPerPixel) % (64 * 64);
        sample.depth = static_cast<double>(routed);
        RenderSample::QvProcessRenderSample(thread, static_cast<int32_t>(pixel % 64), static_cast<int32_t>(pixel / 64),
                                            0, sample);
        if (++routed % (64 * 64 * kPerPixel) == 0) {
            // A full bucket: hand it back as the flush would. Not timed; the
            // first fill grows the storage and is not counted.
            state.PauseTiming();
            if (routed > 64 * 64 * kPerPixel) {
                allocs += allocations - before;
                counted += 64 * 64 * kPerPixel;
            }
            auto& region = context().threadRegions[thread];
            for (auto& cell : region.pixels)
                cell.clear(region.spareSamples);
            region.sampleCount = 0;
            before = allocations;
            state.ResumeTiming();
        }
    }
    state.counters["allocs"] = benchmark::Counter(counted ? static_cast<double>(allocs) / counted : 0.0,
                                                  benchmark::Counter::kAvgThreads);
    state.SetItemsProcessed(state.iterations());
}

} // namespace

BENCHMARK(BM_DetectSample_Opaque)->Iterations(kDetectCalls)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_DetectSample_Transparent)->Iterations(kDetectCalls)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_DetectSample_OpaqueWaiting)->Iterations(kDetectCalls)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_DetectSample_TransparentWaiting)->Iterations(kDetectCalls)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_RenderSample)->ArgName("aovs")->Arg(0)->Arg(4)->Threads(1)->Threads(2)->UseRealTime();

// Bucket flushes, per record: a detection bucket of 64 x 64 pixels with 32
// records per pixel, and a render bucket of 64 x 64 pixels with 4 processed
// samples per pixel and 4 AOVs, to the temporary file directly and to a
// memory buffer. Beside them, the bare copy of the same bytes (memcpy) and a
// bare fwrite of them, the floors of the two paths. "s/record" is the time
// per record, "allocs/flush" the heap allocations inside one flush call (the
// file path reuses its thread's staging buffer after the first flush).
namespace {

constexpr int32_t kFlushSide = 64;

void beginFlushPhase(bool render)
{
    using namespace Phase;
    quiet();
    QvInitPhase(render ? Render : Detect, Util::RE_VRay);
    if (render) {
        const AOVType types[] = {AOV_RGB, AOV_Int, AOV_Vector3, AOV_Int};
        const char* names[] = {"diffuse", "id", "motion", "mask"};
        for (int a = 0; a < 4; ++a)
            QvRenderPhaseRegisterAov(a + 1, names[a], types[a]);
    }
    auto& c = context();
    c.renderingResolutionX.set(kFlushSide);
    c.renderingResolutionY.set(kFlushSide);
    c.raysShot.assign(kFlushSide * kFlushSide, 1);
    c.samplesReceived.assign(kFlushSide * kFlushSide, 1);
    c.threadCount = 1;
    c.threadRegions.emplace_back(kFlushSide, kFlushSide);
    c.tempFile = std::tmpfile();
    c.initialised = true;
}

BinIO::ThreadRegion filledRegion(bool render)
{
    BinIO::ThreadRegion region(kFlushSide, kFlushSide);
    region.active = true;
    const uint64_t pixels = kFlushSide * kFlushSide;
    if (render) {
        for (uint64_t i = 0; i < pixels * 4; ++i) {
            BinIO::OutSample& s = region.outSamples.emplace_back();
            s.depth = static_cast<double>(i);
            s.x = static_cast<int32_t>(i % kFlushSide);
            s.aovs.resize(4);
        }
        region.sampleCount = region.outSamples.size();
    } else {
        region.detectRecords.resize(pixels * 32);
        region.sampleCount = region.detectRecords.size();
    }
    return region;
}

void rewindTemporaryFile()
{
    std::rewind(context().tempFile);
}

void runFlush(benchmark::State& state, bool render, bool throughMemory)
{
    beginFlushPhase(render);
    const BinIO::ThreadRegion full = filledRegion(render);
    const uint64_t records = full.sampleCount;
    std::vector<unsigned char> block(static_cast<size_t>(records * (render ? 88 : 28) + kFlushSide * kFlushSide + 20));
    uint64_t allocs = 0;
    for (auto _ : state) {
        state.PauseTiming();
        context().threadRegions[0] = full;
        rewindTemporaryFile();
        state.ResumeTiming();
        const uint64_t before = allocations;
        if (throughMemory) {
            const auto size = static_cast<uint64_t>(BinIO::QvProcessBucketGetBufferSize(0));
            BinIO::QvBucketFlushToMemory(block.data(), size, 0, 0, kFlushSide, kFlushSide);
        } else {
            BinIO::QvProcessBucketFlushToFile(0);
        }
        allocs += allocations - before;
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * records));
    state.counters["bytes/record"] = render ? 56.0 + 32.0 : 28.0;
    state.counters["allocs/flush"] = static_cast<double>(allocs) / static_cast<double>(state.iterations());
    state.counters["s/record"] = benchmark::Counter(static_cast<double>(state.iterations() * records),
                                                    benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_FlushDetectionToFile(benchmark::State& state) { runFlush(state, false, false); }
void BM_FlushDetectionToMemory(benchmark::State& state) { runFlush(state, false, true); }
void BM_FlushRenderToFile(benchmark::State& state) { runFlush(state, true, false); }
void BM_FlushRenderToMemory(benchmark::State& state) { runFlush(state, true, true); }

// Floors: the same byte count copied once in memory, and written once.
void runFloor(benchmark::State& state, bool render, bool write)
{
    const uint64_t records = kFlushSide * kFlushSide * (render ? 4 : 32);
    const uint64_t size = records * (render ? 88 : 28);
    std::vector<unsigned char> from(size, 1), to(size);
    std::FILE* file = std::tmpfile();
    for (auto _ : state) {
        if (write) {
            std::rewind(file);
            std::fwrite(from.data(), 1, from.size(), file);
        } else {
            std::memcpy(to.data(), from.data(), size);
            benchmark::DoNotOptimize(to.data());
        }
    }
    std::fclose(file);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * records));
    state.counters["s/record"] = benchmark::Counter(static_cast<double>(state.iterations() * records),
                                                    benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_FloorDetectionFwrite(benchmark::State& state) { runFloor(state, false, true); }
void BM_FloorDetectionMemcpy(benchmark::State& state) { runFloor(state, false, false); }
void BM_FloorRenderFwrite(benchmark::State& state) { runFloor(state, true, true); }
void BM_FloorRenderMemcpy(benchmark::State& state) { runFloor(state, true, false); }

} // namespace

BENCHMARK(BM_FlushDetectionToFile);
BENCHMARK(BM_FloorDetectionFwrite);
BENCHMARK(BM_FlushDetectionToMemory);
BENCHMARK(BM_FloorDetectionMemcpy);
BENCHMARK(BM_FlushRenderToFile);
BENCHMARK(BM_FloorRenderFwrite);
BENCHMARK(BM_FlushRenderToMemory);
BENCHMARK(BM_FloorRenderMemcpy);
