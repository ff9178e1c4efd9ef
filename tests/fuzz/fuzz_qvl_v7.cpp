// Any bytes, read as a version-7 detection or render file.
#include "FuzzFile.h"
#include "QvlMutator.h"
#include "io/QvlRenderFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace Quorvel::BinIO;
    const std::string& path = QuorvelFuzz::writeScratch(data, size);
    header_v09 header;
    qvlRenderSample4Aovs_t content;
    int digestSum = 0;
    qvlReader_v7(path, header, content, digestSum);
    return 0;
}

// Mutations that keep the header parseable and the file code sound, so that
// inputs reach the block decoding.
extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize, unsigned int seed)
{
    return QuorvelFuzz::mutateQvl(data, size, maxSize, seed, {false, 24});
}
