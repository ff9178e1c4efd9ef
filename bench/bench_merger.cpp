// The merger's final stages on one group of 10 M samples, each stage timed
// once, beside the physical floor of the job: zlib decompression of the input
// records as render files store them, plus lz4hc-6 compression of the output
// sample codes. Compare the sum of the stages with the sum of the floor.
//
// The input records are decoded into merged samples by a plain conversion
// loop (two halves on two threads, as two render files would be read).
//
// The CPU column is the whole process's CPU time, every thread's: on a shared
// machine it is steadier than wall time for comparing stages with the floor.

#include <benchmark/benchmark.h>

#include <blosc.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <random>
#include <thread>
#include <vector>

#include "FinalCodes.h"
#include "FinalViewWriter.h"
#include "Filtering.h"
#include "foundation/Logger.h"
#include "io/RenderSampleRecords.h"

namespace {

using Quorvel::BinIO::qvlRenderSample5_t;
using Quorvel::Binary::vekbin;

constexpr uint32_t kW = 1536, kH = 1024; // faces of 512 pixels
constexpr std::size_t kSamples = 10'000'000;
constexpr std::size_t kCameras = 40;

struct Data {
    std::vector<VekPoint> cameras;
    std::vector<qvlRenderSample5_t> records;
    std::vector<uint8_t> compressedInput[2];
    std::vector<vekbin> samples;
    std::vector<uint8_t> codes;
};

Data& data()
{
    static Data d = [] {
        Quorvel::Logger::QvSetConsoleLogLevel(-1);
        Data d;
        for (std::size_t c = 0; c < 256; ++c)
            d.cameras.push_back({static_cast<float>(c % 8) * 12.0f - 42.0f, static_cast<float>(c / 64) * 10.0f,
                                 static_cast<float>((c / 8) % 8) * 12.0f - 42.0f});
        // Each camera sees a block of pixels on two faces: smooth walls with
        // some colour noise, so that filtering groups part of them.
        std::mt19937 random(7);
        std::uniform_real_distribution<float> noise(-0.05f, 0.05f);
        d.records.reserve(kSamples);
        const std::size_t perCamera = kSamples / kCameras;
        for (std::size_t c = 0; c < kCameras; ++c) {
            for (std::size_t i = 0; i < perCamera; ++i) {
                qvlRenderSample5_t r;
                const uint32_t x = static_cast<uint32_t>(i % 1000) + 20;
                const uint32_t y = static_cast<uint32_t>(i / 1000) + 30;
                r.x = static_cast<uint16_t>(x);
                r.y = static_cast<uint16_t>(y);
                r.cameraIndex = static_cast<uint8_t>(c * 6);
                r.depth = 300.0f + 0.2f * static_cast<float>(x % 300) + 0.1f * static_cast<float>(y);
                const float shade = 0.3f + 0.4f * static_cast<float>((x / 64 + y / 64) % 2);
                r.colour[0] = half_float::half(shade + noise(random));
                r.colour[1] = half_float::half(shade);
                r.colour[2] = half_float::half(0.5f);
                r.colour[3] = half_float::half(1.0f);
                r.normal[0] = half_float::half(0.0f);
                r.normal[1] = half_float::half(0.0f);
                r.normal[2] = half_float::half(x < 512 ? -1.0f : 1.0f);
                d.records.push_back(r);
            }
        }
        const std::size_t half = d.records.size() / 2;
        for (int f = 0; f < 2; ++f) {
            const std::size_t bytes = half * sizeof(qvlRenderSample5_t);
            std::vector<uint8_t>& out = d.compressedInput[f];
            out.resize(bytes + BLOSC_MAX_OVERHEAD);
            const int n = blosc_compress_ctx(9, BLOSC_SHUFFLE, sizeof(qvlRenderSample5_t), bytes,
                                             d.records.data() + f * half, out.data(), out.size(), "zlib", 0, 2);
            out.resize(static_cast<std::size_t>(std::max(n, 0)));
        }
        return d;
    }();
    return d;
}

std::vector<uint8_t> decompressInput(int file)
{
    const std::vector<uint8_t>& in = data().compressedInput[file];
    size_t nbytes = 0, cbytes = 0, blocksize = 0;
    blosc_cbuffer_sizes(in.data(), &nbytes, &cbytes, &blocksize);
    std::vector<uint8_t> out(nbytes);
    blosc_decompress_ctx(in.data(), out.data(), out.size(), 1);
    return out;
}

void readHalf(int file, std::vector<vekbin>& out)
{
    const std::vector<uint8_t> bytes = decompressInput(file);
    const std::size_t n = bytes.size() / sizeof(qvlRenderSample5_t);
    out.resize(n);
    const auto* records = reinterpret_cast<const qvlRenderSample5_t*>(bytes.data());
    for (std::size_t i = 0; i < n; ++i) {
        const qvlRenderSample5_t& r = records[i];
        vekbin& s = out[i];
        s.colour = {r.colour[0], r.colour[1], r.colour[2], r.colour[3]};
        s.rightColour = {s.colour.r, s.colour.g, s.colour.b};
        s.x = r.x;
        s.y = r.y;
        s.depth = r.depth;
        s.camera = r.cameraIndex;
        s.normal = {r.normal[0], r.normal[1], r.normal[2]};
        s.plaqueWidth = 1;
        s.plaqueHeight = 1;
        s.level = r.level;
        s.width = kW;
        s.height = kH;
        s.updateDerived(data().cameras, 1);
    }
}

void BM_Floor_ZlibDecompressInput(benchmark::State& state)
{
    data(); // built once, outside every timing
    for (auto _ : state) {
        std::thread t([] { benchmark::DoNotOptimize(decompressInput(1)); });
        benchmark::DoNotOptimize(decompressInput(0));
        t.join();
    }
    state.counters["MB"] = static_cast<double>(data().records.size() * sizeof(qvlRenderSample5_t)) / 1e6;
}

void BM_Stage1_ReadAndDecompress(benchmark::State& state)
{
    for (auto _ : state) {
        std::vector<vekbin> a, b;
        std::thread t([&] { readHalf(1, b); });
        readHalf(0, a);
        t.join();
        a.insert(a.end(), b.begin(), b.end());
        data().samples = std::move(a);
    }
    state.counters["samples"] = static_cast<double>(data().samples.size());
}

void BM_Stage2_SortAndFilter(benchmark::State& state)
{
    for (auto _ : state) {
        std::vector<vekbin> samples = data().samples;
        Quorvel::Binary::sortByKey(samples);
        Quorvel::Filtering::FilterParams p;
        p.width = kW;
        p.height = kH;
        Quorvel::Filtering::filterSamples(samples, 0.05f, p, data().cameras, 1);
        state.counters["kept"] = static_cast<double>(samples.size());
        data().samples = std::move(samples);
    }
}

void BM_Stage3_SampleCodes(benchmark::State& state)
{
    for (auto _ : state) {
        std::vector<vekbin>& samples = data().samples;
        Quorvel::Binary::sortForFinalFile(samples);
        const auto stats = Quorvel::FinalView::computeMotionStats(samples, 1);
        std::vector<uint8_t> motion;
        Quorvel::FinalView::encodeSamples(samples, stats, 1, data().codes, motion);
    }
}

std::vector<uint8_t> compressCodes()
{
    const std::vector<uint8_t>& codes = data().codes;
    std::vector<uint8_t> out(codes.size() + BLOSC_MAX_OVERHEAD);
    const int n = blosc_compress_ctx(6, BLOSC_SHUFFLE, 16, codes.size(), codes.data(), out.data(), out.size(),
                                     "lz4hc", 0, 1);
    out.resize(static_cast<std::size_t>(std::max(n, 0)));
    return out;
}

// The same call the writer makes: it is both a stage and the floor's half.
void BM_Floor_Lz4hcCompressOutput(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(compressCodes());
    state.counters["MB"] = static_cast<double>(data().codes.size()) / 1e6;
}

void BM_Stage4_WriteFinalView(benchmark::State& state)
{
    const std::filesystem::path path = std::filesystem::temp_directory_path() / "bench_merger.qvl";
    for (auto _ : state) {
        Quorvel::FinalView::FinalHeader header;
        header.displayWidth = kW;
        header.displayHeight = kH;
        std::vector<Quorvel::FinalView::NamedBlock> blocks = {
            {"camPosTable", Quorvel::FinalView::makeCamPosTable(data().cameras, 1.0f, {0, 0, 0}, {1, 1, 1})}};
        std::vector<vekbin> samples = data().samples;
        if (Quorvel::FinalView::writeFinalView(path, header, samples, {}, blocks) != 0)
            state.SkipWithError("write failed");
    }
    std::filesystem::remove(path);
}

} // namespace

BENCHMARK(BM_Floor_ZlibDecompressInput)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime()->MeasureProcessCPUTime();
BENCHMARK(BM_Stage1_ReadAndDecompress)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime()->MeasureProcessCPUTime();
BENCHMARK(BM_Stage2_SortAndFilter)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime()->MeasureProcessCPUTime();
BENCHMARK(BM_Stage3_SampleCodes)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime()->MeasureProcessCPUTime();
BENCHMARK(BM_Floor_Lz4hcCompressOutput)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime()->MeasureProcessCPUTime();
BENCHMARK(BM_Stage4_WriteFinalView)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime()->MeasureProcessCPUTime();
