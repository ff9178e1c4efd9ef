// Any bytes, read by every reader of render files with a version prefix.
#include <string>

#include "FuzzFile.h"
#include "LegacyFuzz.h"
#include "LegacyMutator.h"
#include "io/LegacyReaders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace Quorvel::BinIO;
    QuorvelFuzz::silenceStandardOutput();
    const char* path = QuorvelFuzz::writeScratch(data, size).c_str();

    uint32_t n = 0, m = 0;
    uint16_t width = 0, height = 0;
    int32_t first = 0, second = 0;
    VekRGBA background{};
    VekPoint point{};
    header_v04 header4;
    header_v05 header5;
    std::string json;
    qvlRenderSample2_t* samples2 = nullptr;
    qvlRenderSample3_t* samples3 = nullptr;
    qvlRenderSample4_t* samples4 = nullptr;
    qvlRenderSampleAovRGB_t* aovs = nullptr;
    coordinates_t* coordinates = nullptr;

    if (qvlReader(path, samples2, n, width, height))
        delete[] samples2;
    if (qvlReader(path, samples2, n, width, height, background, point))
        delete[] samples2;
    if (qvlReader(path, samples2, n, width, height, background, point, first, second))
        delete[] samples2;
    if (qvlReader(path, samples2, coordinates, n, m, width, height)) {
        delete[] samples2;
        delete[] coordinates;
    }
    if (qvlReader(path, header4, samples2, n, width, height))
        delete[] samples2;
    if (qvlReader(path, samples4, coordinates, n, m)) {
        delete[] samples4;
        delete[] coordinates;
    }
    if (qvlReader(path, header5, samples4, aovs, n, width, height)) {
        delete[] samples4;
        delete[] aovs;
    }
    if (qvlReader(path, json, samples3, n, width, height))
        delete[] samples3;
    return 0;
}

// Mutations that keep the JSON text parseable and the frames whole, so that
// inputs reach the record checks.
extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize, unsigned int seed)
{
    return QuorvelFuzz::mutateLegacy(data, size, maxSize, seed);
}
