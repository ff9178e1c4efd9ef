// The detection finalisation step by step, over the raw plaques of a real
// detection phase of the test host's room with a panel near one camera (two
// render threads, cameras 0 to 3 shooting): redundancy removal, overlap
// removal, the quad merge over levels 1 to 3, the file write, and the
// Blosc/zlib compression inside that write on its own. Every step is timed on
// its own input, made by the steps before it outside the timing.
//
// Each size is a whole detection phase at its own resolution (3:2, scaled so
// that the raw plaques number about n), not a prefix of one large phase: a
// prefix in flush order covers only the top of the image, so sizes would
// differ in coverage and density, not only in count. Here every size covers
// the whole image at about the same number of raw plaques per pixel.

#include <benchmark/benchmark.h>
#include <blosc.h>

#include <algorithm>
#include <cmath>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
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

constexpr float kRenderScale = 50.0f;
constexpr float kThreshold = 0.1f / (2.0f * kRenderScale);

// 936 x 624 gave 701 k raw plaques; resolutions are multiples of 24 x 16.
constexpr double kRawPerUnit2 = 701000.0 / (39.0 * 39.0);

struct Frame {
    uint64_t width = 0;
    uint64_t height = 0;
    std::vector<VekPoint> cameras;
    RenderingContext context;
    std::vector<DetectPlaqueInfo> raw;
    std::string scratch;
    // The inputs of the later steps, each the output of the steps before it,
    // kept from the step's own run (or made on first use) so that the large
    // sizes pay for every step once.
    std::optional<std::vector<DetectPlaqueInfo>> afterRedundancy;
    std::optional<std::vector<DetectPlaqueInfo>> afterOverlaps;
    std::optional<std::vector<DetectPlaqueInfo>> merged;
};

void removeOverlaps(const Frame& f, std::vector<DetectPlaqueInfo>& list)
{
    PlaqueKDTree tree(f.context, list, 1.0f);
    DectectOverlapsWithQualityCheck(tree, list, nullptr);
    RemoveOverlapList(list, tree.removed);
}

// Raw plaques as the bucket flushes left them in the temporary file, from a
// detection phase whose resolution yields about `n` of them.
std::unique_ptr<Frame> makeFrame(int64_t n)
{
    auto f = std::make_unique<Frame>();
    const auto unit = std::max<uint64_t>(
        13, static_cast<uint64_t>(std::lround(std::sqrt(static_cast<double>(n) / kRawPerUnit2))));
    f->width = 24 * unit;
    f->height = 16 * unit;
    QuorvelTest::TestHost host(QuorvelTest::roomWithNearPanel());
    QuorvelTest::PhaseSetup setup;
    setup.width = f->width;
    setup.height = f->height;
    setup.renderScale = kRenderScale;
    setup.detectionSamplesPerPixel = 4;
    f->scratch = (std::filesystem::temp_directory_path() /
                  ("bench_finalisation_" + std::to_string(getpid()) + "_" + std::to_string(n) + ".qvl"))
                     .string();
    Quorvel::Logger::QvSetConsoleLogLevel(Quorvel::Logger::ERROR);
    QuorvelTest::RawDetection raw = QuorvelTest::shootRawDetection(host, setup, f->scratch);
    if (raw.plaques.empty())
        std::fprintf(stderr, "the detection phase failed\n");
    f->raw = std::move(raw.plaques);
    f->cameras = std::move(raw.cameras);
    f->context.cameras = &f->cameras;
    f->context.width = f->width;
    f->context.height = f->height;
    f->context.renderScale = kRenderScale;
    f->context.tolerance = 0.25f;

    std::fprintf(stderr, "%llu x %llu: %zu raw plaques\n", static_cast<unsigned long long>(f->width),
                 static_cast<unsigned long long>(f->height), f->raw.size());
    return f;
}

// One phase per size, shared by every step's benchmark.
Frame& frame(int64_t n)
{
    static std::map<int64_t, std::unique_ptr<Frame>> frames;
    std::unique_ptr<Frame>& f = frames[n];
    if (!f)
        f = makeFrame(n);
    return *f;
}

void redundancyStep(const Frame& f, std::vector<DetectPlaqueInfo>& list)
{
    Quorvel::BinIO::RemoveRedundancies(list, f.context, 0.475f);
}

void mergeStep(const Frame& f, std::vector<DetectPlaqueInfo>& list)
{
    Quorvel::Block::mergeLevels(list, f.width, f.height, kThreshold);
}

void keep(std::optional<std::vector<DetectPlaqueInfo>>& slot, std::vector<DetectPlaqueInfo>& list)
{
    if (!slot)
        slot = std::move(list);
}

// The overlap removal takes the plaques at level 0.
void keepAfterRedundancy(Frame& f, std::vector<DetectPlaqueInfo>& list)
{
    for (DetectPlaqueInfo& p : list)
        p.level = 0;
    keep(f.afterRedundancy, list);
}

const std::vector<DetectPlaqueInfo>& afterRedundancy(Frame& f)
{
    if (!f.afterRedundancy) {
        std::vector<DetectPlaqueInfo> list = f.raw;
        redundancyStep(f, list);
        keepAfterRedundancy(f, list);
    }
    return *f.afterRedundancy;
}

const std::vector<DetectPlaqueInfo>& afterOverlaps(Frame& f)
{
    if (!f.afterOverlaps) {
        std::vector<DetectPlaqueInfo> list = afterRedundancy(f);
        removeOverlaps(f, list);
        keep(f.afterOverlaps, list);
    }
    return *f.afterOverlaps;
}

const std::vector<DetectPlaqueInfo>& merged(Frame& f)
{
    if (!f.merged) {
        std::vector<DetectPlaqueInfo> list = afterOverlaps(f);
        mergeStep(f, list);
        keep(f.merged, list);
    }
    return *f.merged;
}

void report(benchmark::State& state, size_t in, size_t out)
{
    state.counters["in"] = static_cast<double>(in);
    state.counters["out"] = static_cast<double>(out);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(in));
}

void BM_RedundancyRemoval(benchmark::State& state)
{
    Frame& f = frame(state.range(0));
    const std::vector<DetectPlaqueInfo>& input = f.raw;
    std::vector<DetectPlaqueInfo> list;
    for (auto _ : state) {
        state.PauseTiming();
        list = input;
        state.ResumeTiming();
        redundancyStep(f, list);
    }
    report(state, input.size(), list.size());
    keepAfterRedundancy(f, list);
}

void BM_OverlapRemoval(benchmark::State& state)
{
    Frame& f = frame(state.range(0));
    const std::vector<DetectPlaqueInfo>& input = afterRedundancy(f);
    std::vector<DetectPlaqueInfo> list;
    for (auto _ : state) {
        state.PauseTiming();
        list = input;
        state.ResumeTiming();
        removeOverlaps(f, list);
    }
    report(state, input.size(), list.size());
    keep(f.afterOverlaps, list);
}

void BM_QuadMerge(benchmark::State& state)
{
    Frame& f = frame(state.range(0));
    const std::vector<DetectPlaqueInfo>& input = afterOverlaps(f);
    std::vector<DetectPlaqueInfo> list;
    for (auto _ : state) {
        state.PauseTiming();
        list = input;
        state.ResumeTiming();
        mergeStep(f, list);
    }
    report(state, input.size(), list.size());
    keep(f.merged, list);
}

Quorvel::BinIO::qvlRenderSample5Aovs_t fileContent(Frame& f)
{
    Quorvel::BinIO::qvlRenderSample5Aovs_t content;
    content.plaques = merged(f);
    content.trailing.assign(f.width * f.height, 1);
    return content;
}

void BM_FileWrite(benchmark::State& state)
{
    Frame& f = frame(state.range(0));
    const Quorvel::BinIO::qvlRenderSample5Aovs_t content = fileContent(f);
    Quorvel::BinIO::header_v09 header;
    header.rtype = true;
    header.widthDisplay = f.width;
    header.heightDisplay = f.height;
    header.globalScale = kRenderScale;
    header.fillHoleCount = content.plaques.size();
    header.cameraPositions = f.cameras;
    header.cameraPriorities.assign(header.cameraPositions.size(), 1.0f);
    header.cameraFaceMasks.assign(header.cameraPositions.size(), 63u);
    for (auto _ : state)
        benchmark::DoNotOptimize(
            Quorvel::BinIO::qvlWriter_v9(f.scratch, header, content, Quorvel::Util::RE_VRay));
    std::filesystem::remove(f.scratch);
    report(state, content.plaques.size(), content.plaques.size());
}

// The writer's compression alone: the plaque block as stored (24-byte
// records) and the mask, zlib level 9 with byte shuffle in 4096-byte blocks.
void BM_FileWriteZlibOnly(benchmark::State& state)
{
    const Quorvel::BinIO::qvlRenderSample5Aovs_t content = fileContent(frame(state.range(0)));
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
    const Frame& f = frame(state.range(0));
    const std::vector<DetectPlaqueInfo>& input = f.raw;
    // processFillHoleIndices reads the transparency mode of the context.
    auto& c = Quorvel::Phase::getQuorvelContext();
    c.transparencyMode.set(Quorvel::Phase::OPAQUE);
    size_t out = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<DetectPlaqueInfo> list = input;
        state.ResumeTiming();
        Quorvel::Block::processFillHoleIndices(f.context, list, kRenderScale);
        out = list.size();
    }
    report(state, input.size(), out);
}

void sizes(benchmark::internal::Benchmark* b)
{
    b->Arg(62500)->Arg(250000)->Arg(1000000)->Arg(4000000)->Unit(benchmark::kMillisecond)->Iterations(1);
}

} // namespace

BENCHMARK(BM_RedundancyRemoval)->Apply(sizes);
BENCHMARK(BM_OverlapRemoval)->Apply(sizes);
BENCHMARK(BM_QuadMerge)->Apply(sizes);
BENCHMARK(BM_FileWrite)->Apply(sizes);
BENCHMARK(BM_FileWriteZlibOnly)->Apply(sizes);
BENCHMARK(BM_ProcessFillHoleIndices)->Apply(sizes);
