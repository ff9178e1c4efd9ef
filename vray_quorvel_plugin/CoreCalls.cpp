#include "CoreCalls.h"

#include <atomic>

namespace QuorvelPlugin {

namespace {
const CoreCalls coreOwn{};
std::atomic<const CoreCalls*> installed{&coreOwn};
} // namespace

const CoreCalls& core()
{
    return *installed.load(std::memory_order_acquire);
}

void setCoreCalls(const CoreCalls* calls)
{
    installed.store(calls ? calls : &coreOwn, std::memory_order_release);
}

} // namespace QuorvelPlugin
