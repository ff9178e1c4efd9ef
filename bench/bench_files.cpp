// Render-file throughput: writing and reading a file of 10 M samples with
// four AOVs, in MB/s of sample data (28-byte samples plus the compact AOV
// columns), beside bare Blosc zlib-9 compressing and decompressing the same
// blocks one after another on one thread. The writer and reader may work on
// several blocks at once, so their ratio to the bare codec can exceed 1 on an
// idle machine; "CPU" is the whole process's CPU time, the figure to compare
// when other work shares the cores.

#include <benchmark/benchmark.h>
#include <blosc.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <memory>
#include <random>
#include <vector>

#include "io/AovColumnsInternal.h"
#include "io/HalfConversion.h"
#include "io/QvlRenderFile.h"

using namespace Quorvel::BinIO;
using namespace Quorvel::Phase;

namespace {

constexpr size_t kSamples = 10'000'000;

struct Fixture {
    header_v09 header;
    qvlRenderSample5Aovs_t content;
    std::vector<std::vector<uint8_t>> blocks; // samples, then the compact columns
    std::vector<std::vector<uint8_t>> frames;
    std::vector<size_t> elementSizes;
    uint64_t sampleBytes = 0;
    std::string path;

    Fixture()
    {
        header.AOVNames = {"Cd_Right", "qvlTransp", "qvlVelocity", "qvlCockpit"};
        header.AOVTypes = {AOV_RGB, AOV_Int, AOV_Vector3, AOV_Int};
        header.aovNums = 4;
        header.globalScale = 1.0f;
        header.sampleNums = kSamples;
        // A render of smooth surfaces: depth and colour vary slowly along a
        // row, with a little noise, as shaded samples do.
        std::mt19937 random(7);
        std::uniform_real_distribution<float> noise(-0.01f, 0.01f);
        content.samples.resize(kSamples);
        content.aovs.resize(kSamples * 4);
        for (size_t s = 0; s < kSamples; ++s) {
            qvlRenderSample5_t& r = content.samples[s];
            const float t = static_cast<float>(s % 1536) / 1536.0f;
            r.depth = 3.0f + 2.0f * t + noise(random);
            for (int k = 0; k < 3; ++k)
                r.colour[k] = floatToHalf(0.2f + 0.5f * t * static_cast<float>(k + 1) / 3.0f + noise(random));
            r.colour[3] = floatToHalf(1.0f);
            r.normal[0] = floatToHalf(std::sin(t));
            r.normal[2] = floatToHalf(-std::cos(t));
            r.x = static_cast<uint16_t>(s % 1536);
            r.y = static_cast<uint16_t>((s / 1536) % 1024);
            r.cameraIndex = static_cast<uint8_t>(s / (1536 * 1024));
            r.level = static_cast<uint8_t>(s % 3 == 0);
            Quorvel::RenderSample::AOVData* a = &content.aovs[s * 4];
            for (int k = 0; k < 3; ++k)
                a[0].asVec3[k] = 0.21f + 0.5f * t + noise(random);
            a[1].asInt = (s % 97) == 0;
            for (int k = 0; k < 3; ++k)
                a[2].asVec3[k] = 0.1f * t * static_cast<float>(k);
            a[3].asInt = 0;
        }
        content.trailing.assign(1536 * 1024, 1);

        blocks.emplace_back(reinterpret_cast<const uint8_t*>(content.samples.data()),
                            reinterpret_cast<const uint8_t*>(content.samples.data() + kSamples));
        elementSizes.push_back(sizeof(qvlRenderSample5_t));
        for (size_t j = 0; j < 4; ++j) {
            blocks.emplace_back();
            compactColumn(header.AOVTypes[j], content.aovs.data() + j, kSamples, 4, blocks.back());
            elementSizes.push_back(compactElementSize(header.AOVTypes[j]));
        }
        for (const auto& b : blocks)
            sampleBytes += b.size();
        path = (std::filesystem::temp_directory_path() / ("bench_files_" + std::to_string(::getpid()))).string();
    }

    ~Fixture() { std::filesystem::remove(path); }
};

Fixture& fixture()
{
    static Fixture f;
    return f;
}

void report(benchmark::State& state, uint64_t bytes)
{
    state.counters["MB/s"] =
        benchmark::Counter(static_cast<double>(bytes) / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

void compressAll(Fixture& f)
{
    f.frames.clear();
    for (size_t b = 0; b < f.blocks.size(); ++b) {
        const auto& raw = f.blocks[b];
        std::vector<uint8_t> frame(raw.size() / 4096 * 4096 + 4096);
        const int n = blosc_compress_ctx(9, BLOSC_SHUFFLE, f.elementSizes[b], raw.size(), raw.data(), frame.data(),
                                         frame.size(), "zlib", 4096, 1);
        frame.resize(n > 0 ? static_cast<size_t>(n) : 0);
        f.frames.push_back(std::move(frame));
    }
}

void BM_BareBloscCompress(benchmark::State& state)
{
    Fixture& f = fixture();
    for (auto _ : state)
        compressAll(f);
    uint64_t stored = 0;
    for (const auto& frame : f.frames)
        stored += frame.size();
    state.counters["ratio"] = static_cast<double>(f.sampleBytes) / static_cast<double>(stored);
    report(state, f.sampleBytes);
}

void BM_BareBloscDecompress(benchmark::State& state)
{
    Fixture& f = fixture();
    if (f.frames.empty())
        compressAll(f);
    std::vector<uint8_t> out;
    for (auto _ : state) {
        for (size_t b = 0; b < f.frames.size(); ++b) {
            out.resize(f.blocks[b].size());
            benchmark::DoNotOptimize(blosc_decompress_ctx(f.frames[b].data(), out.data(), out.size(), 1));
        }
    }
    report(state, f.sampleBytes);
}

// The reader hands out new memory, so the codec too decodes into fresh
// buffers here.
void BM_BareBloscDecompressFreshOutput(benchmark::State& state)
{
    Fixture& f = fixture();
    if (f.frames.empty())
        compressAll(f);
    for (auto _ : state) {
        for (size_t b = 0; b < f.frames.size(); ++b) {
            std::unique_ptr<uint8_t[]> out(new uint8_t[f.blocks[b].size()]);
            benchmark::DoNotOptimize(blosc_decompress_ctx(f.frames[b].data(), out.get(), f.blocks[b].size(), 1));
        }
    }
    report(state, f.sampleBytes);
}

void BM_WriteRenderFile(benchmark::State& state)
{
    Fixture& f = fixture();
    for (auto _ : state)
        if (qvlWriter_v9(f.path, f.header, f.content, Quorvel::Util::RenderingEngineId(1)) != QVL_OK)
            state.SkipWithError("write failed");
    state.counters["file MB"] = static_cast<double>(std::filesystem::file_size(f.path)) / 1e6;
    report(state, f.sampleBytes);
}

void BM_ReadRenderFile(benchmark::State& state)
{
    Fixture& f = fixture();
    if (!std::filesystem::exists(f.path))
        qvlWriter_v9(f.path, f.header, f.content, Quorvel::Util::RenderingEngineId(1));
    for (auto _ : state) {
        header_v09 header;
        qvlRenderSample5Aovs_t content;
        int digestSum = 0;
        if (qvlReader_v9(f.path, header, content, digestSum) != QVL_OK)
            state.SkipWithError("read failed");
        benchmark::DoNotOptimize(content.aovs.data());
    }
    report(state, f.sampleBytes);
}

} // namespace

BENCHMARK(BM_BareBloscCompress)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime()->MeasureProcessCPUTime();
BENCHMARK(BM_WriteRenderFile)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime()->MeasureProcessCPUTime();
BENCHMARK(BM_BareBloscDecompress)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime()->MeasureProcessCPUTime();
BENCHMARK(BM_BareBloscDecompressFreshOutput)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime()->MeasureProcessCPUTime();
BENCHMARK(BM_ReadRenderFile)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime()->MeasureProcessCPUTime();
