// libFuzzer target: any bytes as quorvel_host's JSON scene file, taken as far
// as the host goes before it renders.
#include <cstddef>
#include <cstdint>

#include "SceneHarness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QuorvelFuzz::runScene(data, size, QUORVEL_EXAMPLES_DIR);
    return 0;
}
