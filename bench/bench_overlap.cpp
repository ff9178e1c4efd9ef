// Overlap removal: tree build, the removal run, and both together, on one
// core. Two data sets of the test host's room:
// - detected: a detection phase with all 256 cameras shooting (every pixel
//   shot once per camera), its raw plaques after redundancy removal, as the
//   finalisation hands them over: about 0.25 M, 1 M and 4 M plaques. Each
//   hit went to the camera that sees it best, as in every real phase.
// - every pixel (stress): every camera records every pixel whose centre ray
//   hits the room, so each wall spot lies under up to 256 layers, a density
//   no detection phase produces.
// The peer on the detected set: nanoflann built over the same centres and
// searched once per plaque at its overlap radius, the neighbour search any
// overlap detection needs at the least. And the per-pixel merge of rendered
// samples for 1 to 64 samples per pixel.
//
// Shooting the 4 M phase takes minutes. With QUORVEL_BENCH_CACHE set to a
// folder, each phase is kept there and read back by later runs.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "NanoflannPeer.h"
#include "analysis/PixelSampleMerging.h"
#include "analysis/PlaqueKDTree.h"
#include "analysis/RedundancyRemoval.h"
#include "camera/CameraSet.h"
#include "foundation/Logger.h"
#include "support/CorePhases.h"
#include "support/TestScene.h"

using Quorvel::BinIO::DetectPlaqueInfo;
using Quorvel::RenderSample::QvRenderSample;

namespace {

struct Frame {
    std::vector<VekPoint> cameras;
    std::vector<float> priorities;
    RenderingContext context;
    std::vector<DetectPlaqueInfo> plaques;
};

void setContext(Frame& f, uint64_t width, uint64_t height)
{
    f.context.cameras = &f.cameras;
    f.context.width = width;
    f.context.height = height;
    f.context.renderScale = 50.0f;
    f.context.tolerance = 0.25f;
}

template <class T>
bool readVector(std::FILE* in, std::vector<T>& v)
{
    uint64_t n = 0;
    if (std::fread(&n, sizeof n, 1, in) != 1 || n > (uint64_t(1) << 32))
        return false;
    v.resize(n);
    return std::fread(v.data(), sizeof(T), n, in) == n;
}

template <class T>
bool writeVector(std::FILE* out, const std::vector<T>& v)
{
    const uint64_t n = v.size();
    return std::fwrite(&n, sizeof n, 1, out) == 1 && std::fwrite(v.data(), sizeof(T), n, out) == n;
}

// 888 x 592 gave 995 k plaques; resolutions are multiples of 24 x 16.
constexpr double kDetectedPerUnit2 = 994750.0 / (37.0 * 37.0);

std::unique_ptr<Frame> makeDetectedFrame(int64_t n)
{
    auto f = std::make_unique<Frame>();
    const auto unit = std::max<uint64_t>(
        13, static_cast<uint64_t>(std::lround(std::sqrt(static_cast<double>(n) / kDetectedPerUnit2))));
    const uint64_t width = 24 * unit;
    const uint64_t height = 16 * unit;
    setContext(*f, width, height);

    std::string cache;
    if (const char* folder = std::getenv("QUORVEL_BENCH_CACHE"); folder != nullptr && *folder != 0)
        cache = (std::filesystem::path(folder) /
                 ("overlap_detected_" + std::to_string(width) + "x" + std::to_string(height) + ".bin"))
                    .string();
    if (!cache.empty())
        if (std::FILE* in = std::fopen(cache.c_str(), "rb")) {
            const bool read = readVector(in, f->plaques) && readVector(in, f->cameras) && readVector(in, f->priorities);
            std::fclose(in);
            if (read)
                return f;
        }

    QuorvelTest::TestHost host(QuorvelTest::roomWithNearPanel());
    QuorvelTest::PhaseSetup setup;
    setup.width = width;
    setup.height = height;
    setup.detectionSamplesPerPixel = 256;
    const std::string scratch = (std::filesystem::temp_directory_path() /
                                 ("bench_overlap_" + std::to_string(getpid()) + ".qvl"))
                                    .string();
    Quorvel::Logger::QvSetConsoleLogLevel(Quorvel::Logger::ERROR);
    std::fprintf(stderr, "shooting %llu x %llu with 256 cameras...\n", static_cast<unsigned long long>(width),
                 static_cast<unsigned long long>(height));
    QuorvelTest::RawDetection raw = QuorvelTest::shootRawDetection(host, setup, scratch);
    if (raw.plaques.empty())
        std::fprintf(stderr, "the detection phase failed\n");
    f->cameras = std::move(raw.cameras);
    f->priorities = std::move(raw.priorities);
    f->plaques = std::move(raw.plaques);
    Quorvel::BinIO::RemoveRedundancies(f->plaques, f->context, 0.475f);
    for (DetectPlaqueInfo& p : f->plaques)
        p.level = 0;
    if (!cache.empty())
        if (std::FILE* out = std::fopen(cache.c_str(), "wb")) {
            const bool written =
                writeVector(out, f->plaques) && writeVector(out, f->cameras) && writeVector(out, f->priorities);
            if (std::fclose(out) != 0 || !written)
                std::filesystem::remove(cache);
        }
    return f;
}

// Every camera records every pixel of a W x H cube map (3:2) whose centre ray
// hits the room: W * H * 256 plaques of walls and spheres.
std::unique_ptr<Frame> makeEveryPixelFrame(uint64_t width, uint64_t height)
{
    auto f = std::make_unique<Frame>();
    Quorvel::Camera::CameraPlacement placement;
    placement.renderScale = 50.0f;
    const Quorvel::Camera::CameraSet cameras = Quorvel::Camera::makeCameraSet(placement);
    f->cameras = cameras.positions;
    f->priorities = cameras.priorities;
    setContext(*f, width, height);
    const QuorvelTest::TestScene scene = QuorvelTest::TestScene::room();
    f->plaques.reserve(width * height * f->cameras.size());
    for (uint64_t c = 0; c < f->cameras.size(); ++c)
        for (uint64_t y = 0; y < height; ++y)
            for (uint64_t x = 0; x < width; ++x) {
                const QuorvelTest::SceneHit hit = scene.intersect(f->cameras[c], f->context.GetCenterDirection(x, y));
                if (!hit.hit)
                    continue;
                DetectPlaqueInfo p;
                p.cameraIndex = static_cast<uint8_t>(c);
                p.x = static_cast<uint16_t>(x);
                p.y = static_cast<uint16_t>(y);
                p.depth = static_cast<float>(hit.distance);
                p.normal = hit.normal;
                f->plaques.push_back(p);
            }
    return f;
}

// Detected frames by their nominal plaque count; every-pixel frames by
// image height (26 and 52 give about 0.25 M and 1 M plaques).
const Frame& detected(int64_t n)
{
    static std::map<int64_t, std::unique_ptr<Frame>> frames;
    auto& f = frames[n];
    if (!f)
        f = makeDetectedFrame(n);
    return *f;
}

const Frame& everyPixel(int64_t height)
{
    static std::map<int64_t, std::unique_ptr<Frame>> frames;
    auto& f = frames[height];
    if (!f)
        f = makeEveryPixelFrame(uint64_t(height) * 3 / 2, uint64_t(height));
    return *f;
}

PlaqueKDTree makeTree(const Frame& f)
{
    PlaqueKDTree tree(f.context, f.plaques, 1.0f);
    tree.cameraPriorities = f.priorities;
    return tree;
}

void label(benchmark::State& state, const Frame& f)
{
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(f.plaques.size()));
    state.counters["plaques"] = double(f.plaques.size());
}

using FrameOf = const Frame& (*)(int64_t);

void BM_PlaqueTreeBuild(benchmark::State& state, FrameOf frame)
{
    const Frame& f = frame(state.range(0));
    for (auto _ : state) {
        PlaqueKDTree tree(f.context, f.plaques, 1.0f);
        benchmark::DoNotOptimize(tree.plaques.data());
    }
    label(state, f);
}

void BM_OverlapRemoval(benchmark::State& state, FrameOf frame)
{
    const Frame& f = frame(state.range(0));
    PlaqueKDTree tree = makeTree(f);
    DebugOverlapCounters counters;
    for (auto _ : state) {
        state.PauseTiming();
        tree.removed.assign(tree.plaques.size(), false);
        state.ResumeTiming();
        DectectOverlapsWithQualityCheck(tree, f.plaques, &counters);
    }
    label(state, f);
    state.counters["removed"] = double(counters.firstPass + counters.laterPasses);
    state.counters["passes2+"] = double(counters.laterPasses);
}

void BM_BuildAndOverlapRemoval(benchmark::State& state, FrameOf frame)
{
    const Frame& f = frame(state.range(0));
    for (auto _ : state) {
        PlaqueKDTree tree = makeTree(f);
        DectectOverlapsWithQualityCheck(tree, f.plaques, nullptr);
        benchmark::DoNotOptimize(tree.removed);
    }
    label(state, f);
}

void BM_NeighbourSearchPeer(benchmark::State& state, FrameOf frame)
{
    const Frame& f = frame(state.range(0));
    std::vector<VekPoint> centres;
    std::vector<float> radii;
    {
        const PlaqueKDTree tree = makeTree(f);
        for (const Plaque& p : tree.plaques)
            if (!std::isnan(p.center.x) && !std::isnan(p.center.y) && !std::isnan(p.center.z)) {
                centres.push_back(p.center);
                radii.push_back(OverlapRadius(tree, p));
            }
    }
    const QuorvelBench::Cloud<VekPoint> cloud{&centres};
    size_t found = 0;
    for (auto _ : state) {
        QuorvelBench::Flann<VekPoint> index(3, cloud, nanoflann::KDTreeSingleIndexAdaptorParams(10));
        found = 0;
        for (size_t i = 0; i < radii.size(); ++i)
            QuorvelBench::radiusSearch(index, centres[i], radii[i], [&found](uint32_t) { ++found; });
        benchmark::DoNotOptimize(found);
    }
    label(state, f);
    state.counters["neighbours"] = double(found) / double(radii.size());
}

// One wall pixel of the centre camera at 4000 x 2000, shot with n rays.
void BM_MergePixelSamples(benchmark::State& state)
{
    const int n = int(state.range(0));
    Quorvel::Camera::CameraPlacement placement;
    placement.renderScale = 50.0f;
    const Quorvel::Camera::CameraSet cameras = Quorvel::Camera::makeCameraSet(placement);
    RenderingContext context;
    context.cameras = &cameras.positions;
    context.renderScale = 50.0f;
    const QuorvelTest::TestScene scene = QuorvelTest::TestScene::room();
    const uint64_t camera = 146;
    const uint64_t x = 2000, y = 520;
    const VekPoint origin = cameras.positions[camera];
    const QuorvelTest::SceneHit centre = scene.intersect(origin, context.GetCenterDirection(x, y));
    DetectPlaqueInfo plaque;
    plaque.cameraIndex = uint8_t(camera);
    plaque.x = uint16_t(x);
    plaque.y = uint16_t(y);
    plaque.depth = float(centre.distance);
    plaque.normal = centre.normal;

    std::vector<QvRenderSample> samples;
    const int side = int(std::ceil(std::sqrt(double(n))));
    for (int i = 0; i < n; ++i) {
        const float fx = (float(i % side) + 0.5f) / float(side);
        const float fy = (float(i / side) + 0.5f) / float(side);
        const QuorvelTest::SceneHit h = scene.intersect(origin, context.ComputeDirection(x, y, fx, fy));
        QvRenderSample s;
        s.position = h.position;
        s.normal = h.normal;
        s.color = h.color;
        s.fracX = fx;
        s.fracY = fy;
        s.depth = h.distance;
        samples.push_back(s);
    }
    const ViewPointInfo view{origin, context.GetCenterDirection(x, y), context.width};
    const Quorvel::BinIO::AovFormat registry;
    size_t layers = 0;
    for (auto _ : state) {
        auto out = MergePixelSamples(plaque, registry, samples, context, view, uint64_t(n), true);
        layers += out.size();
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["layers"] = double(layers) / double(state.iterations());
    state.SetItemsProcessed(int64_t(state.iterations()));
}

} // namespace

void detectedSizes(benchmark::internal::Benchmark* b)
{
    b->Arg(250000)->Arg(1000000)->Arg(4000000)->Unit(benchmark::kMillisecond)->Iterations(1);
}

void everyPixelSizes(benchmark::internal::Benchmark* b)
{
    b->Arg(8)->Arg(16)->Arg(26)->Arg(52)->Unit(benchmark::kMillisecond)->Iterations(1);
}

BENCHMARK_CAPTURE(BM_PlaqueTreeBuild, detected, detected)->Apply(detectedSizes);
BENCHMARK_CAPTURE(BM_OverlapRemoval, detected, detected)->Apply(detectedSizes);
BENCHMARK_CAPTURE(BM_BuildAndOverlapRemoval, detected, detected)->Apply(detectedSizes);
BENCHMARK_CAPTURE(BM_NeighbourSearchPeer, detected, detected)->Apply(detectedSizes);
BENCHMARK_CAPTURE(BM_BuildAndOverlapRemoval, every_pixel, everyPixel)->Apply(everyPixelSizes);
BENCHMARK(BM_MergePixelSamples)->Arg(1)->Arg(4)->Arg(16)->Arg(64);
