// libFuzzer target: the bucket memory buffer (version 668) as another process
// may send it.
#include <cstddef>
#include <cstdint>

#include "MemoryBufferHarness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QuorvelFuzz::runMemoryBuffer(data, size);
    return 0;
}
