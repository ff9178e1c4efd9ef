// Any bytes, read by every reader of render files without a version prefix.

#include "FuzzFile.h"
#include "LegacyFuzz.h"
#include "LegacyMutator.h"
#include "io/LegacyReaders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace Quorvel::BinIO;
    QuorvelFuzz::silenceStandardOutput();
    const char* path = QuorvelFuzz::writeScratch(data, size).c_str();

    uint32_t n = 0, m = 0, holes = 0;
    uint16_t width = 0, height = 0;
    VekRGBA background{};
    VekPoint point{};
    qvlRenderSample_t* samples = nullptr;
    coordinates_t* coordinates = nullptr;

    getQvlVersionReader(path);
    getNumPointsInfillHoles(path, holes);
    if (qvlReader(path, samples, n, width, height))
        delete[] samples;
    if (qvlReader(path, samples, n, width, height, background, point))
        delete[] samples;
    if (qvlReader(path, samples, coordinates, n, m, width, height)) {
        delete[] samples;
        delete[] coordinates;
    }
    return 0;
}

// Mutations that keep the JSON text parseable and the frames whole, so that
// inputs reach the record checks.
extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize, unsigned int seed)
{
    return QuorvelFuzz::mutateLegacy(data, size, maxSize, seed);
}
