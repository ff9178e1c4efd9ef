// Primary rays per second of quorvel_host on the bundled example scene, beside
// Embree's own rtcIntersect1 loop over the same rays: the host's overhead per
// ray (camera interface, hit set-up, channel values, statistics) as a ratio.

#include <benchmark/benchmark.h>

#include <embree3/rtcore.h>

#include <atomic>
#include <thread>
#include <vector>

#include "Host.h"
#include "Scene.h"
#include "foundation/Logger.h"

namespace {

struct Fixture {
    QuorvelHost::Host host;
    std::vector<RTCRay> rays;

    Fixture() : host(options())
    {
        Quorvel::Logger::QvSetConsoleLogLevel(-1);
        host.loadScene(QUORVEL_EXAMPLE_SCENE);
        QuorvelHost::Scene& scene = host.scene();
        scene.setFrame(1);
        for (int y = 0; y < scene.height(); ++y)
            for (int x = 0; x < scene.width(); ++x) {
                VUtils::ScreenRay r;
                scene.pinholeRay(x + 0.5, y + 0.5, r);
                RTCRay ray{};
                ray.org_x = r.origin.x;
                ray.org_y = r.origin.y;
                ray.org_z = r.origin.z;
                ray.dir_x = r.direction.x;
                ray.dir_y = r.direction.y;
                ray.dir_z = r.direction.z;
                ray.tnear = 0.0f;
                ray.tfar = 1e30f;
                ray.mask = 0xFFFFFFFFu;
                rays.push_back(ray);
            }
    }
    static QuorvelHost::HostOptions options()
    {
        QuorvelHost::HostOptions o;
        o.quiet = true;
        return o;
    }
    static Fixture& get()
    {
        static Fixture f;
        return f;
    }
};

void BM_HostPrimaryRays(benchmark::State& state)
{
    Fixture& f = Fixture::get();
    const int threads = static_cast<int>(state.range(0));
    uint64_t hits = 0;
    for (auto _ : state)
        hits += f.host.tracePrimaryRays(threads);
    benchmark::DoNotOptimize(hits);
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(f.rays.size()));
}
BENCHMARK(BM_HostPrimaryRays)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_EmbreeIntersect1(benchmark::State& state)
{
    Fixture& f = Fixture::get();
    RTCScene scene = f.host.scene().rtcScene();
    const int threads = static_cast<int>(state.range(0));
    const int width = f.host.scene().width(), height = f.host.scene().height();
    uint64_t total = 0;
    for (auto _ : state) {
        std::atomic<int> nextRow{0};
        std::atomic<uint64_t> hits{0};
        auto worker = [&] {
            RTCIntersectContext ctx;
            rtcInitIntersectContext(&ctx);
            uint64_t local = 0;
            for (int y; (y = nextRow.fetch_add(1)) < height;)
                for (int x = 0; x < width; ++x) {
                    RTCRayHit rh;
                    rh.ray = f.rays[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)];
                    rh.hit.geomID = RTC_INVALID_GEOMETRY_ID;
                    rh.hit.instID[0] = RTC_INVALID_GEOMETRY_ID;
                    rtcIntersect1(scene, &ctx, &rh);
                    local += rh.hit.geomID != RTC_INVALID_GEOMETRY_ID;
                }
            hits.fetch_add(local);
        };
        std::vector<std::thread> pool;
        for (int t = 1; t < threads; ++t)
            pool.emplace_back(worker);
        worker();
        for (auto& t : pool)
            t.join();
        total += hits.load();
    }
    benchmark::DoNotOptimize(total);
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(f.rays.size()));
}
BENCHMARK(BM_EmbreeIntersect1)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace
