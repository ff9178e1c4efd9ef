// Per-sample costs of the camera sampling: the per-sample seed every render sample
// draws, the fetch map built at every phase begin, and the closest-direction
// search with and without the map.

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "camera/CubeMap.h"
#include "camera/Sampling.h"

namespace {

using namespace Quorvel::Camera;

void BM_GetSeed(benchmark::State& state)
{
    uint32_t x = 0, y = 0, camera = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(GetSeed(camera, x, y));
        // Walk the image so that the number of discarded outputs varies.
        if (++x == 6000) {
            x = 0;
            if (++y == 4000)
                y = 0;
        }
        camera = (camera + 37) & 0xFF;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetSeed);

// The same seeds through a whole seeded and twisted std::mt19937: what
// GetSeed avoids.
void BM_GetSeedFullTwister(benchmark::State& state)
{
    uint32_t x = 0, y = 0, camera = 0;
    for (auto _ : state) {
        std::mt19937 generator((y + 1) * (x + 1) + 654u * (camera + 1));
        generator.discard(y % 17 + camera % 7 + x % 13 + 20);
        const uint64_t d = generator(), e = generator(), f = generator();
        benchmark::DoNotOptimize(f ^ (e << 16) ^ (d << 32));
        if (++x == 6000) {
            x = 0;
            if (++y == 4000)
                y = 0;
        }
        camera = (camera + 37) & 0xFF;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetSeedFullTwister);

void BM_GenerateFetchMap(benchmark::State& state)
{
    const uint64_t width = static_cast<uint64_t>(state.range(0));
    const uint64_t height = static_cast<uint64_t>(state.range(1));
    for (auto _ : state) {
        std::vector<VekPoint> map = generateFetchMap(width, height);
        benchmark::DoNotOptimize(map.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(width * height));
}
BENCHMARK(BM_GenerateFetchMap)->Args({6000, 4000})->Unit(benchmark::kMillisecond)->Iterations(3);

std::vector<VekPoint> randomDirections(size_t count)
{
    std::mt19937 random(11);
    std::uniform_real_distribution<float> c(-1.0f, 1.0f);
    std::vector<VekPoint> directions;
    directions.reserve(count);
    while (directions.size() < count)
        directions.push_back(Quorvel::Utils::normalize({c(random), c(random), c(random)}));
    return directions;
}

void BM_ClosestWithFetchMap(benchmark::State& state)
{
    constexpr uint64_t W = 6000, H = 4000;
    static const std::vector<VekPoint> map = generateFetchMap(W, H);
    const auto directions = randomDirections(4096);
    size_t i = 0;
    VekPoint out{};
    int32_t x = 0, y = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(getClosestCamDirXYWithFetchMap(directions[i], W, H, map, out, x, y, 2));
        i = (i + 1) & 4095;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ClosestWithFetchMap);

void BM_ClosestComputed(benchmark::State& state)
{
    constexpr uint64_t W = 6000, H = 4000;
    const auto directions = randomDirections(4096);
    size_t i = 0;
    VekPoint out{};
    int32_t x = 0, y = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(getClosestCamDirXY(directions[i], W, H, out, x, y));
        i = (i + 1) & 4095;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ClosestComputed);

} // namespace
