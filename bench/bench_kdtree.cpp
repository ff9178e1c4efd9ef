// Point-location tree against a brute-force scan and nanoflann, on the same
// one million points and the same queries. Before timing, the result sets of
// all three are compared query by query and the mismatches are printed.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <random>
#include <vector>

#include "NanoflannPeer.h"
#include "analysis/KDPointLocation.h"

namespace {

constexpr size_t PointCount = 1000000;
constexpr size_t QueryCount = 4096;
constexpr double Pi = 3.141592653589793;

struct Dataset {
    const char* name;
    std::vector<kdpl::float3> points;
    std::vector<kdpl::float3> queries;
    // Radius that holds `target` points on average.
    float (*radiusFor)(double target);
};

float volumeRadius(double target) // uniform in the unit cube
{
    return float(std::cbrt(target / (4.0 / 3.0 * Pi * double(PointCount))));
}

float shellRadius(double target) // on the unit sphere, like plaque centres on a surface
{
    return float(std::sqrt(target / (Pi * double(PointCount) / (4.0 * Pi))));
}

Dataset makeVolume()
{
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    Dataset d{"volume", {}, {}, volumeRadius};
    for (size_t i = 0; i < PointCount; ++i)
        d.points.push_back({u(rng), u(rng), u(rng)});
    for (size_t i = 0; i < QueryCount; ++i) // away from the faces, so counts stay on target
        d.queries.push_back({0.05f + 0.9f * u(rng), 0.05f + 0.9f * u(rng), 0.05f + 0.9f * u(rng)});
    return d;
}

Dataset makeShell()
{
    std::mt19937 rng(12);
    std::normal_distribution<float> g(0.0f, 1.0f);
    std::uniform_real_distribution<float> jitter(-1e-4f, 1e-4f);
    Dataset d{"shell", {}, {}, shellRadius};
    auto onSphere = [&](float extra) {
        float x = g(rng), y = g(rng), z = g(rng);
        const float l = (1.0f + extra) / std::sqrt(x * x + y * y + z * z);
        return kdpl::float3{x * l, y * l, z * l};
    };
    for (size_t i = 0; i < PointCount; ++i)
        d.points.push_back(onSphere(jitter(rng)));
    for (size_t i = 0; i < QueryCount; ++i)
        d.queries.push_back(onSphere(0.0f));
    return d;
}

Dataset& dataset(int which)
{
    static Dataset sets[2] = {makeVolume(), makeShell()};
    return sets[which];
}

using Cloud = QuorvelBench::Cloud<kdpl::float3>;
using Flann = QuorvelBench::Flann<kdpl::float3>;

void flannLocate(const Flann& index, const kdpl::float3& q, float r, std::vector<int32_t>& out)
{
    out.clear();
    QuorvelBench::radiusSearch(index, q, r, [&out](uint32_t i) { out.push_back(int32_t(i)); });
}

void bruteLocate(const std::vector<kdpl::float3>& pts, const kdpl::float3& q, float r,
                 std::vector<int32_t>& out)
{
    out.clear();
    const float r2 = r * r;
    for (size_t i = 0; i < pts.size(); ++i) {
        const float dx = pts[i].x - q.x, dy = pts[i].y - q.y, dz = pts[i].z - q.z;
        if (dx * dx + dy * dy + dz * dz <= r2)
            out.push_back(int32_t(i));
    }
}

struct Indexes {
    kdpl::KDPointLocation tree;
    std::unique_ptr<Flann> flann10;
    std::unique_ptr<Flann> flann16;
    Cloud cloud;
};

Indexes& indexes(int which)
{
    static std::unique_ptr<Indexes> built[2];
    if (!built[which]) {
        auto ix = std::make_unique<Indexes>();
        Dataset& d = dataset(which);
        ix->tree.Init(d.points.data(), d.points.size());
        ix->cloud.pts = &d.points;
        ix->flann10 = std::make_unique<Flann>(3, ix->cloud, nanoflann::KDTreeSingleIndexAdaptorParams(10));
        ix->flann16 = std::make_unique<Flann>(3, ix->cloud, nanoflann::KDTreeSingleIndexAdaptorParams(16));
        built[which] = std::move(ix);
    }
    return *built[which];
}

// ---- build --------------------------------------------------------------

void BM_Build_KDPointLocation(benchmark::State& state)
{
    const Dataset& d = dataset(int(state.range(0)));
    for (auto _ : state) {
        kdpl::KDPointLocation tree;
        tree.Init(d.points.data(), d.points.size());
        benchmark::DoNotOptimize(tree);
    }
    state.SetLabel(d.name);
    state.SetItemsProcessed(int64_t(state.iterations() * d.points.size()));
}

void BM_Build_Nanoflann(benchmark::State& state)
{
    const Dataset& d = dataset(int(state.range(0)));
    Cloud cloud{&d.points};
    for (auto _ : state) {
        Flann index(3, cloud, nanoflann::KDTreeSingleIndexAdaptorParams(size_t(state.range(1))));
        Flann* built = &index;
        benchmark::DoNotOptimize(built);
        benchmark::ClobberMemory();
    }
    state.SetLabel(std::string(d.name) + " leaf " + std::to_string(state.range(1)));
    state.SetItemsProcessed(int64_t(state.iterations() * d.points.size()));
}

// ---- radius queries (one query per iteration, cycling over the set) ----

template <class Locate>
void runQueries(benchmark::State& state, const char* what, Locate&& locate)
{
    const Dataset& d = dataset(int(state.range(0)));
    const float r = d.radiusFor(double(state.range(1)));
    std::vector<int32_t> out;
    out.reserve(1024);
    size_t q = 0, found = 0;
    for (auto _ : state) {
        locate(d.queries[q], r, out);
        found += out.size();
        benchmark::DoNotOptimize(out.data());
        q = (q + 1) % d.queries.size();
    }
    state.SetLabel(std::string(d.name) + " " + what);
    state.counters["found"] = benchmark::Counter(double(found) / double(state.iterations()));
    state.SetItemsProcessed(int64_t(state.iterations()));
}

void BM_Radius_KDPointLocation(benchmark::State& state)
{
    const Indexes& ix = indexes(int(state.range(0)));
    runQueries(state, "", [&](const kdpl::float3& q, float r, std::vector<int32_t>& out) {
        ix.tree.Locate(q, r, out);
    });
}

void BM_Radius_Nanoflann(benchmark::State& state)
{
    const Indexes& ix = indexes(int(state.range(0)));
    const Flann& index = state.range(2) == 10 ? *ix.flann10 : *ix.flann16;
    const std::string leaf = "leaf " + std::to_string(state.range(2));
    runQueries(state, leaf.c_str(), [&](const kdpl::float3& q, float r, std::vector<int32_t>& out) {
        flannLocate(index, q, r, out);
    });
}

void BM_Radius_BruteForce(benchmark::State& state)
{
    const Dataset& d = dataset(int(state.range(0)));
    runQueries(state, "", [&](const kdpl::float3& q, float r, std::vector<int32_t>& out) {
        bruteLocate(d.points, q, r, out);
    });
}

// Every query of every set and radius: identical index sets from the tree,
// nanoflann and (for the first queries) the brute-force scan.
void compareResults()
{
    for (int which = 0; which < 2; ++which) {
        const Dataset& d = dataset(which);
        const Indexes& ix = indexes(which);
        for (int target : {10, 50}) {
            const float r = d.radiusFor(target);
            std::vector<int32_t> a, b, c;
            size_t mismatchFlann = 0, mismatchBrute = 0, total = 0;
            for (size_t q = 0; q < d.queries.size(); ++q) {
                ix.tree.Locate(d.queries[q], r, a);
                total += a.size();
                std::sort(a.begin(), a.end());
                for (const Flann* f : {ix.flann10.get(), ix.flann16.get()}) {
                    flannLocate(*f, d.queries[q], r, b);
                    std::sort(b.begin(), b.end());
                    mismatchFlann += a != b;
                }
                if (q < 64) {
                    bruteLocate(d.points, d.queries[q], r, c);
                    mismatchBrute += a != c;
                }
            }
            std::printf("%s, about %d points (r = %.6g): mean %.1f found; "
                        "result sets differing from nanoflann %zu of %zu, from brute force %zu of 64\n",
                        d.name, target, double(r), double(total) / double(d.queries.size()),
                        mismatchFlann, 2 * d.queries.size(), mismatchBrute);
        }
    }
    std::fflush(stdout);
}

} // namespace

BENCHMARK(BM_Build_KDPointLocation)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Build_Nanoflann)->Args({0, 10})->Args({1, 10})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Radius_KDPointLocation)->ArgsProduct({{0, 1}, {10, 50}});
BENCHMARK(BM_Radius_Nanoflann)->ArgsProduct({{0, 1}, {10, 50}, {10, 16}});
BENCHMARK(BM_Radius_BruteForce)->ArgsProduct({{0, 1}, {10, 50}})->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    compareResults();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
