// libFuzzer target: any bytes as a texture file of a mesh (PNG, JPEG, TGA).
#include <cstddef>
#include <cstdint>

#include "TextureHarness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QuorvelFuzz::runTexture(data, size);
    return 0;
}
