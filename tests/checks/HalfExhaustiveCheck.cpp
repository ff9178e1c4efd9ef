// Compares the truncating float -> binary16 conversion with a reference
// written from its definition, for every one of the 2^32 float bit patterns.
// Too slow for the sanitizer suite, so CI runs it once in the normal build.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "io/HalfConversion.h"

namespace {

// Without tables: the sign, then the unbiased exponent decides the base and
// how many mantissa bits are dropped.
uint16_t referenceHalf(uint32_t bits)
{
    const uint32_t sign = (bits >> 31) ? 0x8000u : 0u;
    const int exponent = static_cast<int>((bits >> 23) & 0xFFu) - 127;
    const uint32_t mantissa = bits & 0x7FFFFFu;
    uint32_t base;
    int shift;
    if (exponent < -24) {
        base = 0;
        shift = 24;
    } else if (exponent <= -15) {
        base = 0x0400u >> (-exponent - 14);
        shift = -exponent - 1;
    } else if (exponent <= 15) {
        base = static_cast<uint32_t>(exponent + 15) << 10;
        shift = 13;
    } else if (exponent <= 127) {
        base = 0x7C00;
        shift = 24;
    } else {
        base = 0x7C00;
        shift = 13;
    }
    return static_cast<uint16_t>((sign + base) + (mantissa >> shift));
}

} // namespace

int main()
{
    using namespace Quorvel::BinIO;
    const unsigned threadCount = std::max(1u, std::min(4u, std::thread::hardware_concurrency()));
    std::vector<uint64_t> mismatches(threadCount, 0);
    std::vector<uint32_t> firstBad(threadCount, 0);
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < threadCount; ++t)
        threads.emplace_back([t, threadCount, &mismatches, &firstBad] {
            const HalfTables& tables = halfTables();
            const uint64_t total = uint64_t{1} << 32;
            const uint64_t begin = total / threadCount * t;
            const uint64_t end = t + 1 == threadCount ? total : total / threadCount * (t + 1);
            for (uint64_t b = begin; b < end; ++b) {
                const auto bits = static_cast<uint32_t>(b);
                float value;
                std::memcpy(&value, &bits, 4);
                if (floatToHalfBits(value, tables) != referenceHalf(bits) && mismatches[t]++ == 0)
                    firstBad[t] = bits;
            }
        });
    for (auto& thread : threads)
        thread.join();
    uint64_t total = 0;
    for (unsigned t = 0; t < threadCount; ++t) {
        if (mismatches[t] != 0)
            std::printf("mismatch from 0x%08x\n", firstBad[t]);
        total += mismatches[t];
    }
    std::printf("float -> half over all 2^32 floats: %llu mismatches\n", static_cast<unsigned long long>(total));
    return total == 0 ? 0 : 1;
}
