// Plaque construction as the detection analysis runs it, once per plaque,
// with and without the direction lookups, and the natural-breaks split of
// one pixel's depths. The "allocs" counter counts heap allocations inside
// the timed loop: with lookups ready GetPlaqueInfo must not allocate.

// The counting operator new below is a replacement, so malloc/free pairs
// behind new/delete are correct; GCC cannot tell and warns.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#include <random>
#include <vector>

#include "camera/Plaque.h"
#include "foundation/GeometryUtils.h"

namespace {

std::atomic<uint64_t> allocations{0};

} // namespace

void* operator new(std::size_t size)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
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

constexpr uint64_t Width = 1536;
constexpr uint64_t Height = 1024;
constexpr size_t PlaqueCount = 1 << 16;

struct Input {
    uint8_t camera;
    uint16_t x, y;
    VekPoint normal;
    float depth;
};

struct Scene {
    std::vector<VekPoint> cameras;
    std::vector<Input> inputs;
    RenderingContext plain;
    RenderingContext cached;

    Scene()
    {
        std::mt19937 rng(7);
        std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
        for (int i = 0; i < 256; ++i)
            cameras.push_back({unit(rng) * 50, unit(rng) * 25, unit(rng) * 50});
        for (size_t i = 0; i < PlaqueCount; ++i) {
            Input in;
            in.camera = static_cast<uint8_t>(rng() & 0xFF);
            in.x = static_cast<uint16_t>(rng() % Width);
            in.y = static_cast<uint16_t>(rng() % Height);
            in.normal = Quorvel::Utils::normalize({unit(rng), unit(rng), unit(rng)});
            in.depth = 1.0f + (unit(rng) + 1.0f) * 500.0f;
            inputs.push_back(in);
        }
        plain.cameras = &cameras;
        plain.width = Width;
        plain.height = Height;
        cached = plain;
        cached.InitLookup();
    }
};

const Scene& scene()
{
    static const Scene s;
    return s;
}

void runPlaques(benchmark::State& state, const RenderingContext& context, uint64_t level)
{
    const Scene& s = scene();
    const bool sweep = state.range(0) != 0;
    size_t i = 0;
    uint64_t pixel = 0;
    const uint64_t before = allocations.load();
    for (auto _ : state) {
        const Input& in = s.inputs[i];
        i = (i + 1) & (PlaqueCount - 1);
        uint64_t x = in.x;
        uint64_t y = in.y;
        if (sweep) { // every pixel of one camera in turn, as a detection list holds them
            x = pixel % Width;
            y = pixel / Width;
            pixel = pixel + 1 == Width * Height ? 0 : pixel + 1;
        }
        Plaque p = GetPlaqueInfo(context, in.camera, x, y, in.normal, in.depth, level, 1.0f);
        benchmark::DoNotOptimize(p);
    }
    state.counters["allocs"] = static_cast<double>(allocations.load() - before);
    state.SetItemsProcessed(state.iterations());
}

void BM_GetPlaqueInfo_Lookups(benchmark::State& state)
{
    runPlaques(state, scene().cached, 0);
}

void BM_GetPlaqueInfo_NoLookups(benchmark::State& state)
{
    runPlaques(state, scene().plain, 0);
}

// Level 1 always computes on a temporary coarse context.
void BM_GetPlaqueInfo_Level1(benchmark::State& state)
{
    runPlaques(state, scene().cached, 1);
}

void BM_NaturalBreaks(benchmark::State& state)
{
    const size_t n = static_cast<size_t>(state.range(0));
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> depth(1.0, 100.0);
    std::vector<double> values(n);
    for (double& v : values)
        v = depth(rng);
    std::sort(values.begin(), values.end());
    std::vector<int32_t> out;
    for (auto _ : state) {
        Quorvel::Utils::naturalBreaks(values, 2, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations());
}

} // namespace

// Argument 0: plaques at random pixels; 1: a row-by-row sweep of the image.
BENCHMARK(BM_GetPlaqueInfo_Lookups)->ArgName("sweep")->Arg(0)->Arg(1);
BENCHMARK(BM_GetPlaqueInfo_NoLookups)->ArgName("sweep")->Arg(0)->Arg(1);
BENCHMARK(BM_GetPlaqueInfo_Level1)->ArgName("sweep")->Arg(0)->Arg(1);
BENCHMARK(BM_NaturalBreaks)->Arg(8)->Arg(32)->Arg(128);
