// Any bytes, read as a final view file: once as they are, and once with the
// integrity check value recomputed, so that the blocks behind the digest are
// reached too.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "FinalViewReader.h"
#include "FinalViewWriter.h"
#include "foundation/Logger.h"

namespace {

uint32_t u32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

bool inside(uint64_t offset, uint64_t size, uint64_t total)
{
    return offset <= total && size <= total - offset;
}

// Rewrites the check value so that the file decodes to engine 1; false when
// the layout leaves nothing to reseal.
bool reseal(std::vector<uint8_t>& b)
{
    using namespace Quorvel::FinalView;
    if (b.size() < kHeaderSize)
        return false;
    const uint32_t trailer = u32(&b[180]), sampleSize = u32(&b[152]), sampleOffset = u32(&b[156]);
    const uint32_t motionSize = u32(&b[160]), motionOffset = u32(&b[164]);
    if (!inside(trailer, kTrailerSize, b.size()) || !inside(sampleOffset, sampleSize, b.size()) ||
        (motionSize && !inside(motionOffset, motionSize, b.size())))
        return false;
    uint8_t* t = &b[trailer];
    const uint32_t count = t[518] | t[519] << 8;
    if (count > 4)
        return false;
    std::vector<std::array<uint32_t, 2>> ranges;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t offset = u32(t + 520 + 8 * i), length = u32(t + 524 + 8 * i);
        if (!inside(offset, length, kHeaderSize))
            return false;
        ranges.push_back({offset, length});
    }
    uint8_t tail[kTrailerSize - 512];
    std::memcpy(tail, t + 512, sizeof tail);
    tail[4] = tail[5] = 0;
    const auto digest = integrityDigest(tail, b.data(), ranges, b.data() + sampleOffset, sampleSize,
                                        b.data() + motionOffset, motionSize);
    const int32_t e = static_cast<int32_t>(digestCharacterSum(digest) % 99);
    const uint16_t check = static_cast<uint16_t>(1 - e + 99);
    t[516] = static_cast<uint8_t>(check);
    t[517] = static_cast<uint8_t>(check >> 8);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool quiet = [] {
        Quorvel::Logger::QvSetConsoleLogLevel(-1);
        return true;
    }();
    (void)quiet;
    std::string error;
    Quorvel::FinalView::parseFinalView(data, size, "fuzz", error);
    std::vector<uint8_t> copy(data, data + size);
    if (reseal(copy))
        Quorvel::FinalView::parseFinalView(copy.data(), copy.size(), "fuzz", error);
    return 0;
}
