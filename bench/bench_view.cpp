// quorvel_view's pinhole render of 1024 x 1024 pixels (90 degrees) from the
// centre of the zone of view, on all hardware threads and on one, with and
// without the colour blending pass, beside the merger's preview of the same
// codes (256 x 256, four threads), the only other decoder of the format. The
// CPU column is the whole process's, every thread's.
//
// The file is QUORVEL_VIEW_BENCH_FILE when set (e.g. the demo's final view
// file); otherwise a room seen by nine cameras at 312 x 208, every pixel one
// sample, as the demo's detection resolution gives.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <thread>

#include "FinalViewReader.h"
#include "FinalViewWriter.h"
#include "Preview.h"
#include "ViewRenderer.h"
#include "camera/CubeMap.h"
#include "foundation/Logger.h"

namespace {

using namespace Quorvel::FinalView;
using Quorvel::Binary::vekbin;

constexpr int32_t kW = 312, kH = 208;

// Distance from the origin along a unit direction to the inside of a box
// of half extents (400, 200, 400) box units.
double roomDepth(const VekPoint& o, const VekPoint& d)
{
    const float half[3] = {400, 200, 400};
    const float org[3] = {o.x, o.y, o.z}, dir[3] = {d.x, d.y, d.z};
    double t = 1e30;
    for (int a = 0; a < 3; ++a)
        if (dir[a] != 0.0f)
            t = std::min(t, ((dir[a] > 0 ? half[a] : -half[a]) - org[a]) / static_cast<double>(dir[a]));
    return t;
}

FinalViewData syntheticFile()
{
    std::vector<VekPoint> cameras = {{0, 0, 0}};
    for (int k = 0; k < 8; ++k)
        cameras.push_back({k & 1 ? 50.0f : -50.0f, k & 2 ? 25.0f : -25.0f, k & 4 ? 50.0f : -50.0f});
    std::vector<vekbin> samples;
    for (uint8_t c = 0; c < cameras.size(); ++c)
        for (uint16_t y = 0; y < kH; ++y)
            for (uint16_t x = 0; x < kW; ++x) {
                vekbin s;
                s.camera = c;
                s.x = x;
                s.y = y;
                const VekPoint d = Quorvel::Utils::normalize(
                    Quorvel::Camera::cubeMapDirection((x + 0.5f) / kW, (y + 0.5f) / kH));
                s.depth = roomDepth(cameras[c], d);
                s.colour = {0.2f + 0.6f * (x % 7) / 7.0f, 0.5f, 0.3f + 0.5f * (y % 5) / 5.0f, 1.0f};
                s.rightColour = {s.colour.r, s.colour.g, s.colour.b};
                s.normal = {0, 0, 0};
                s.plaqueWidth = s.plaqueHeight = 1;
                s.level = 0;
                s.width = kW;
                s.height = kH;
                s.updateDerived(cameras, 1);
                samples.push_back(s);
            }
    FinalHeader h;
    h.displayWidth = kW;
    h.displayHeight = kH;
    h.boxScale = {1.0f, 0.5f, 1.0f};
    const auto path = std::filesystem::temp_directory_path() / "quorvel_bench_view.qvl";
    writeFinalView(path, h, samples, {}, {{"camPosTable", makeCamPosTable(cameras, 1.0f, h.camOffset, h.boxScale)}});
    std::string error;
    auto file = readFinalView(path, error);
    std::filesystem::remove(path);
    if (!file) {
        std::cerr << error << "\n";
        std::exit(1);
    }
    return std::move(*file);
}

const FinalViewData& file()
{
    static const FinalViewData f = [] {
        Quorvel::Logger::QvSetConsoleLogLevel(-1);
        if (const char* path = std::getenv("QUORVEL_VIEW_BENCH_FILE")) {
            std::string error;
            auto read = readFinalView(path, error);
            if (!read) {
                std::cerr << error << "\n";
                std::exit(1);
            }
            return std::move(*read);
        }
        return syntheticFile();
    }();
    return f;
}

const ViewScene& scene()
{
    static const ViewScene s = buildViewScene(file(), 1.05f);
    return s;
}

void BM_ReadAndPlace(benchmark::State& state)
{
    file();
    for (auto _ : state)
        benchmark::DoNotOptimize(buildViewScene(file(), 1.05f).plaques.data());
    state.counters["samples"] = static_cast<double>(file().sampleCount);
}
BENCHMARK(BM_ReadAndPlace)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

void BM_View1024(benchmark::State& state)
{
    ViewRequest q;
    q.width = q.height = 1024;
    q.threads = static_cast<unsigned>(state.range(0));
    q.blend = static_cast<float>(state.range(1));
    const ViewScene& s = scene();
    for (auto _ : state)
        benchmark::DoNotOptimize(renderView(s, q).rgb.data());
    state.counters["threads"] = q.threads ? q.threads : std::thread::hardware_concurrency();
}
BENCHMARK(BM_View1024)
    ->ArgNames({"threads", "blend"})
    ->Args({0, 2})
    ->Args({1, 2})
    ->Args({0, 0})
    ->Args({1, 0})
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

void BM_MergerPreview256(benchmark::State& state)
{
    PreviewFrame frame;
    frame.boxMin = file().boxMin;
    frame.boxMax = file().boxMax;
    frame.flags = file().flags;
    frame.displayWidth = file().displayWidth;
    frame.displayHeight = file().displayHeight;
    scene();
    for (auto _ : state)
        benchmark::DoNotOptimize(
            renderPreview(frame, file().codes.data(), file().sampleCount, 256, 256, file().cameraTable));
}
BENCHMARK(BM_MergerPreview256)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

} // namespace
