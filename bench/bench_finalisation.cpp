// The detection finalisation step by step, over the raw plaques of a real
// detection phase of the test host's room with a panel near one camera
// (936 x 624, two render threads, cameras 0 to 3 shooting): redundancy removal, overlap removal, the quad merge over
// levels 1 to 3, the file write, and the Blosc/zlib compression inside that
// write on its own. Sizes are the first n raw plaques in flush order (whole
// buckets of the image). Every step is timed on its own input, made by the
// steps before it outside the timing.

#include <benchmark/benchmark.h>
#include <blosc.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "analysis/PlaqueKDTree.h"
#include "analysis/RedundancyRemoval.h"
#include "context/PhaseOutput.h"
#include "context/QuorvelContext.h"
#include "foundation/Logger.h"
#include "io/QvlRenderFile.h"
#include "support/CorePhases.h"

using Quorvel::BinIO::DetectPlaqueInfo;

namespace {

constexpr uint64_t kWidth = 936;
constexpr uint64_t kHeight = 624;
constexpr float kRenderScale = 50.0f;

struct Frame {
    std::vector<VekPoint> cameras;
    RenderingContext context;
    std::vector<DetectPlaqueInfo> raw;
    std::string scratch;
};

// Raw plaques as the bucket flushes left them in the temporary file.
std::unique_ptr<Frame> makeFrame()
{
    auto f = std::make_unique<Frame>();
    QuorvelTest::TestHost host(QuorvelTest::roomWithNearPanel());
    QuorvelTest::PhaseSetup setup;
    setup.width = kWidth;
    setup.height = kHeight;
    setup.renderScale = kRenderScale;
    setup.detectionSamplesPerPixel = 4;
    f->scratch = (std::filesystem::temp_directory_path() / ("bench_finalisation_" + std::to_string(getpid()) + ".qvl"))
                     .string();
    Quorvel::Logger::QvSetConsoleLogLevel(Quorvel::Logger::ERROR);
    if (!QuorvelTest::shootDetectionPhase(host, setup, f->scratch))
        std::fprintf(stderr, "the detection phase failed\n");
    auto& c = Quorvel::Phase::getQuorvelContext();
    {
        std::lock_guard lock(c.tempFileMutex);
        std::fflush(c.tempFile);
        std::rewind(c.tempFile);
        f->raw.resize(c.tempRecordCount);
        if (std::fread(f->raw.data(), sizeof(DetectPlaqueInfo), f->raw.size(), c.tempFile) != f->raw.size())
            f->raw.clear();
    }
    f->cameras = c.cameraPositions;
    Quorvel::Phase::QvPhaseTerminate(Quorvel::Phase::Discard);
    f->context.cameras = &f->cameras;
    f->context.width = kWidth;
    f->context.height = kHeight;
    f->context.renderScale = kRenderScale;
    f->context.tolerance = 0.25f;
    std::fprintf(stderr, "%zu raw plaques\n", f->raw.size());
    return f;
}

Frame& frame()
{
    static const std::unique_ptr<Frame> f = makeFrame();
    return *f;
}

std::vector<DetectPlaqueInfo> firstRaw(int64_t n)
{
    const Frame& f = frame();
    const size_t count = std::min(f.raw.size(), static_cast<size_t>(n));
    return {f.raw.begin(), f.raw.begin() + static_cast<std::ptrdiff_t>(count)};
}

// The inputs of the steps, each the output of the steps before it.
std::vector<DetectPlaqueInfo> afterRedundancy(int64_t n)
{
    std::vector<DetectPlaqueInfo> list = firstRaw(n);
    Quorvel::BinIO::RemoveRedundancies(list, frame().context, 0.475f);
    for (DetectPlaqueInfo& p : list)
        p.level = 0;
    return list;
}

void removeOverlaps(std::vector<DetectPlaqueInfo>& list)
{
    PlaqueKDTree tree(frame().context, list, 1.0f);
    DectectOverlapsWithQualityCheck(tree, list, nullptr);
    RemoveOverlapList(list, tree.removed);
}

std::vector<DetectPlaqueInfo> afterOverlaps(int64_t n)
{
    std::vector<DetectPlaqueInfo> list = afterRedundancy(n);
    removeOverlaps(list);
    return list;
}

constexpr float kThreshold = 0.1f / (2.0f * kRenderScale);

std::vector<DetectPlaqueInfo> finalList(int64_t n)
{
    std::vector<DetectPlaqueInfo> list = afterOverlaps(n);
    Quorvel::Block::mergeLevels(list, kWidth, kHeight, kThreshold);
    return list;
}

void report(benchmark::State& state, size_t in, size_t out)
{
    state.counters["in"] = static_cast<double>(in);
    state.counters["out"] = static_cast<double>(out);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(in));
}

void BM_RedundancyRemoval(benchmark::State& state)
{
    const std::vector<DetectPlaqueInfo> input = firstRaw(state.range(0));
    size_t out = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<DetectPlaqueInfo> list = input;
        state.ResumeTiming();
        Quorvel::BinIO::RemoveRedundancies(list, frame().context, 0.475f);
        out = list.size();
    }
    report(state, input.size(), out);
}

void BM_OverlapRemoval(benchmark::State& state)
{
    const std::vector<DetectPlaqueInfo> input = afterRedundancy(state.range(0));
    size_t out = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<DetectPlaqueInfo> list = input;
        state.ResumeTiming();
        removeOverlaps(list);
        out = list.size();
    }
    report(state, input.size(), out);
}

void BM_QuadMerge(benchmark::State& state)
{
    const std::vector<DetectPlaqueInfo> input = afterOverlaps(state.range(0));
    size_t out = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<DetectPlaqueInfo> list = input;
        state.ResumeTiming();
        Quorvel::Block::mergeLevels(list, kWidth, kHeight, kThreshold);
        out = list.size();
    }
    report(state, input.size(), out);
}

Quorvel::BinIO::qvlRenderSample5Aovs_t fileContent(int64_t n)
{
    Quorvel::BinIO::qvlRenderSample5Aovs_t content;
    content.plaques = finalList(n);
    content.trailing.assign(kWidth * kHeight, 1);
    return content;
}

void BM_FileWrite(benchmark::State& state)
{
    const Quorvel::BinIO::qvlRenderSample5Aovs_t content = fileContent(state.range(0));
    Quorvel::BinIO::header_v09 header;
    header.rtype = true;
    header.widthDisplay = kWidth;
    header.heightDisplay = kHeight;
    header.globalScale = kRenderScale;
    header.fillHoleCount = content.plaques.size();
    header.cameraPositions = frame().cameras;
    header.cameraPriorities.assign(header.cameraPositions.size(), 1.0f);
    header.cameraFaceMasks.assign(header.cameraPositions.size(), 63u);
    for (auto _ : state)
        benchmark::DoNotOptimize(
            Quorvel::BinIO::qvlWriter_v9(frame().scratch, header, content, Quorvel::Util::RE_VRay));
    std::filesystem::remove(frame().scratch);
    report(state, content.plaques.size(), content.plaques.size());
}

// The writer's compression alone: the plaque block as stored (24-byte
// records) and the mask, zlib level 9 with byte shuffle in 4096-byte blocks.
void BM_FileWriteZlibOnly(benchmark::State& state)
{
    const Quorvel::BinIO::qvlRenderSample5Aovs_t content = fileContent(state.range(0));
    std::string plaques(content.plaques.size() * 24, '\0');
    for (size_t i = 0; i < content.plaques.size(); ++i) {
        const DetectPlaqueInfo& p = content.plaques[i];
        char* r = plaques.data() + i * 24;
        const uint32_t bits = p.y | (uint32_t{p.estimated} << 16) | (uint32_t{p.hair} << 17) |
                              (uint32_t{p.level} << 19) | (uint32_t{p.transparent} << 21);
        r[0] = static_cast<char>(p.cameraIndex);
        std::memcpy(r + 1, &p.x, 2);
        std::memcpy(r + 4, &bits, 4);
        std::memcpy(r + 8, &p.depth, 4);
        std::memcpy(r + 12, &p.normal, 12);
    }
    const std::string mask(content.trailing.begin(), content.trailing.end());
    std::vector<char> out(plaques.size() + mask.size() + 2 * BLOSC_MAX_OVERHEAD + 8192);
    for (auto _ : state) {
        benchmark::DoNotOptimize(blosc_compress_ctx(9, BLOSC_SHUFFLE, 24, plaques.size(), plaques.data(), out.data(),
                                                    out.size(), "zlib", 4096, 1));
        benchmark::DoNotOptimize(blosc_compress_ctx(9, BLOSC_SHUFFLE, 1, mask.size(), mask.data(), out.data(),
                                                    out.size(), "zlib", 4096, 1));
    }
    report(state, content.plaques.size(), content.plaques.size());
}

// The whole finalisation as the phase end runs it, without the write.
void BM_ProcessFillHoleIndices(benchmark::State& state)
{
    const std::vector<DetectPlaqueInfo> input = firstRaw(state.range(0));
    // processFillHoleIndices reads the transparency mode of the context.
    auto& c = Quorvel::Phase::getQuorvelContext();
    c.transparencyMode.set(Quorvel::Phase::OPAQUE);
    size_t out = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<DetectPlaqueInfo> list = input;
        state.ResumeTiming();
        Quorvel::Block::processFillHoleIndices(frame().context, list, kRenderScale);
        out = list.size();
    }
    report(state, input.size(), out);
}

void sizes(benchmark::internal::Benchmark* b)
{
    b->Arg(25000)->Arg(100000)->Arg(250000)->Arg(700000)->Unit(benchmark::kMillisecond)->Iterations(1);
}

} // namespace

BENCHMARK(BM_RedundancyRemoval)->Apply(sizes);
BENCHMARK(BM_OverlapRemoval)->Apply(sizes);
BENCHMARK(BM_QuadMerge)->Apply(sizes);
BENCHMARK(BM_FileWrite)->Apply(sizes);
BENCHMARK(BM_FileWriteZlibOnly)->Apply(sizes);
BENCHMARK(BM_ProcessFillHoleIndices)->Apply(sizes);
