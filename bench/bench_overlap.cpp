// Overlap removal over the plaques all 256 cameras record of the analytic
// room: tree build, the removal run, and both together, at 0.25 M, 1 M and
// 4 M plaques; and the per-pixel merge of rendered samples for 1 to 64
// samples per pixel. Build and removal run on one core.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <vector>

#include "../tests/support/TestScene.h"
#include "analysis/PixelSampleMerging.h"
#include "analysis/PlaqueKDTree.h"
#include "camera/CameraSet.h"

using Quorvel::BinIO::DetectPlaqueInfo;
using Quorvel::RenderSample::QvRenderSample;

namespace {

struct Frame {
    Quorvel::Camera::CameraSet cameras;
    RenderingContext context;
    QuorvelTest::TestScene scene = QuorvelTest::TestScene::room();
    std::vector<DetectPlaqueInfo> plaques;
};

// Every camera records every pixel of a W x H cube map (3:2) whose centre ray
// hits the room: W * H * 256 plaques of walls and spheres, each wall spot
// seen by up to 256 cameras.
std::unique_ptr<Frame> makeFrame(uint64_t width, uint64_t height)
{
    auto f = std::make_unique<Frame>();
    Quorvel::Camera::CameraPlacement placement;
    placement.renderScale = 50.0f;
    f->cameras = Quorvel::Camera::makeCameraSet(placement);
    f->context.cameras = &f->cameras.positions;
    f->context.width = width;
    f->context.height = height;
    f->context.renderScale = 50.0f;
    f->context.tolerance = 0.25f;
    f->context.InitLookup();
    f->plaques.reserve(width * height * f->cameras.positions.size());
    for (uint64_t c = 0; c < f->cameras.positions.size(); ++c)
        for (uint64_t y = 0; y < height; ++y)
            for (uint64_t x = 0; x < width; ++x) {
                const QuorvelTest::SceneHit hit =
                    f->scene.intersect(f->cameras.positions[c], f->context.GetCenterDirection(x, y));
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
    f->context.ReleaseLookup();
    return f;
}

// The argument is the image height: 26, 52 and 102 give about 0.25 M, 1 M
// and 4 M plaques; 8 and 16 show the growth below that.
const Frame& frame(int64_t height)
{
    static std::map<int64_t, std::unique_ptr<Frame>> frames;
    auto& f = frames[height];
    if (!f)
        f = makeFrame(uint64_t(height) * 3 / 2, uint64_t(height));
    return *f;
}

void label(benchmark::State& state, const Frame& f)
{
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(f.plaques.size()));
    state.counters["plaques"] = double(f.plaques.size());
}

void BM_PlaqueTreeBuild(benchmark::State& state)
{
    const Frame& f = frame(state.range(0));
    for (auto _ : state) {
        PlaqueKDTree tree(f.context, f.plaques, 1.0f);
        benchmark::DoNotOptimize(tree.plaques.data());
    }
    label(state, f);
}

void BM_OverlapRemoval(benchmark::State& state)
{
    const Frame& f = frame(state.range(0));
    PlaqueKDTree tree(f.context, f.plaques, 1.0f);
    tree.cameraPriorities = f.cameras.priorities;
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

// One decision per plaque on the untouched tree: the cost of the first pass
// without the removals, to set against the whole run.
void BM_OverlapDecisions(benchmark::State& state)
{
    const Frame& f = frame(state.range(0));
    PlaqueKDTree tree(f.context, f.plaques, 1.0f);
    tree.cameraPriorities = f.cameras.priorities;
    std::vector<bool> marks(tree.plaques.size(), false);
    size_t removable = 0;
    for (auto _ : state)
        for (const Plaque& p : tree.plaques)
            removable += GetOverlapAction(tree, p, kAllOverlapTestPoints, true, marks) == Remove ? 1 : 0;
    label(state, f);
    state.counters["removable"] = double(removable) / double(state.iterations());
}

void BM_BuildAndOverlapRemoval(benchmark::State& state)
{
    const Frame& f = frame(state.range(0));
    for (auto _ : state) {
        PlaqueKDTree tree(f.context, f.plaques, 1.0f);
        tree.cameraPriorities = f.cameras.priorities;
        DectectOverlapsWithQualityCheck(tree, f.plaques, nullptr);
        benchmark::DoNotOptimize(tree.removed);
    }
    label(state, f);
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

BENCHMARK(BM_PlaqueTreeBuild)->Arg(8)->Arg(16)->Arg(26)->Arg(52)->Arg(102)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_OverlapRemoval)->Arg(8)->Arg(16)->Arg(26)->Arg(52)->Arg(102)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_OverlapDecisions)->Arg(8)->Arg(16)->Arg(26)->Arg(52)->Arg(102)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_BuildAndOverlapRemoval)->Arg(8)->Arg(16)->Arg(26)->Arg(52)->Arg(102)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_MergePixelSamples)->Arg(1)->Arg(4)->Arg(16)->Arg(64);
