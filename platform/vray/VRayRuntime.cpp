#include "VRayRuntime.h"

#include <atomic>

namespace VUtils {

namespace {
std::atomic<int> gStarts{0};
}

int vrayInit(int, char**)
{
    ++gStarts;
    return 1;
}

void vrayDone()
{
    int starts = gStarts.load();
    while (starts > 0 && !gStarts.compare_exchange_weak(starts, starts - 1)) {
    }
}

bool vrayRunning()
{
    return gStarts.load() > 0;
}

} // namespace VUtils
