#pragma once

// What the scene's loading, tracing and shading share: the node record, the
// render-thread clock and the small random and timing helpers.

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "Scene.h"

namespace QuorvelHost {

inline uint64_t nowNs()
{
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

// Reading the clock costs about a fifth of a primary ray, so the time in
// Embree is measured on one call in 16, drawn at random per thread so that
// no pattern of calls is favoured, and counted 16 times.
inline constexpr uint64_t kTimedOneIn = 16;

inline bool timedCall()
{
    thread_local uint32_t state = 0x9E3779B9u;
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state % kTimedOneIn == 0;
}


inline uint64_t mix(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// Render-thread time split between the host's own work and the plug-ins'
// (with the core they call): every crossing of that boundary closes a slice.

struct ThreadClock {
    RenderStats* stats = nullptr;
    bool inPlugin = false;
    uint64_t since = 0;
};
inline thread_local ThreadClock threadClock;

inline void closeSlice()
{
    ThreadClock& c = threadClock;
    const uint64_t now = nowNs();
    (c.inPlugin ? c.stats->pluginNs : c.stats->hostNs).fetch_add(now - c.since, std::memory_order_relaxed);
    c.since = now;
}

class Crossing {
public:
    explicit Crossing(bool toPlugin) : previous_(threadClock.inPlugin)
    {
        active_ = threadClock.stats && previous_ != toPlugin;
        if (active_) {
            closeSlice();
            threadClock.inPlugin = toPlugin;
        }
    }
    ~Crossing()
    {
        if (active_) {
            closeSlice();
            threadClock.inPlugin = previous_;
        }
    }
    Crossing(const Crossing&) = delete;
    Crossing& operator=(const Crossing&) = delete;

private:
    bool previous_;
    bool active_ = false;
};

class ClockedThread {
public:
    explicit ClockedThread(RenderStats& stats) { threadClock = {&stats, false, nowNs()}; }
    ~ClockedThread()
    {
        closeSlice();
        threadClock.stats = nullptr;
    }
};

inline float unitRandom(uint64_t& state)
{
    state = mix(state);
    return static_cast<float>(state >> 40) * (1.0f / 16777216.0f);
}

// ---- Nodes --------------------------------------------------------------------

struct Node : VUtils::PluginBase, VUtils::VelocityInterface {
    HostPlugin* plugin = nullptr;
    std::shared_ptr<Mesh> mesh;
    Material* material = nullptr;
    bool visible = true;
    // This frame, in V-Ray space.
    std::vector<VUtils::Vector> P, N, velocity;
    unsigned geomID = RTC_INVALID_GEOMETRY_ID;

    // The node's material, else the mesh file's of that triangle.
    const Material* materialAt(uint32_t triangle) const { return material ? material : mesh->materialOf(triangle); }

    VUtils::PluginInterface* newInterface(VUtils::InterfaceID id) override
    {
        return id == VUtils::EXT_VELOCITY ? static_cast<VUtils::VelocityInterface*>(this) : nullptr;
    }

    VUtils::Vector getVelocity(const VUtils::VRayContext& rc) const override
    {
        const auto& hrc = static_cast<const HostRayContext&>(rc);
        const uint32_t* tri = &mesh->indices[3 * hrc.prim];
        const float w = 1.0f - hrc.u - hrc.v;
        return velocity[tri[0]] * w + velocity[tri[1]] * hrc.u + velocity[tri[2]] * hrc.v;
    }
};


} // namespace QuorvelHost
