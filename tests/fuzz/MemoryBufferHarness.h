#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "context/QuorvelContext.h"
#include "foundation/Logger.h"
#include "samples/Buckets.h"

// Feeds one input to the memory-buffer reader. The first byte picks the
// phase (even: detection, odd: render with an RGB and an int AOV); the rest
// is the block as it arrives from another process.
namespace QuorvelFuzz {

inline void runMemoryBuffer(const uint8_t* data, size_t size)
{
    using namespace Quorvel;
    static bool ready = false;
    static uint64_t runs = 0;
    Phase::QuorvelContext& c = Phase::getQuorvelContext();
    if (!ready) {
        Logger::QvSetConsoleLogLevel(-1);
        c.renderingResolutionX.set(64.0);
        c.renderingResolutionY.set(64.0);
        c.raysShot.assign(64 * 64, 0);
        c.samplesReceived.assign(64 * 64, 0);
        c.aovFormat.clear();
        c.aovFormat.registerAov(7, "diffuse", Phase::AOV_RGB);
        c.aovFormat.registerAov(8, "id", Phase::AOV_Int);
        c.initialised = true;
        ready = true;
    }
    // Keep the temporary file small over millions of runs.
    if (c.tempFile == nullptr || ++runs % 4096 == 0) {
        if (c.tempFile)
            std::fclose(c.tempFile);
        c.tempFile = std::tmpfile();
    }
    if (size == 0)
        return;
    c.phase = (data[0] & 1) ? Phase::Render : Phase::Detect;
    BinIO::QvFlushMemoryBufferToFile(data + 1, size - 1);
}

} // namespace QuorvelFuzz
