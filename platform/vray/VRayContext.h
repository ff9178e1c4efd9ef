#pragma once

// A ray hit as the intersection shaders see it, with the host services that
// work on it. Positions are relative to the frame's origin offset.

#include <cstdint>
#include <utility>
#include <vector>

#include "VRayInterfaces.h"

namespace VUtils {

// Ray type flags.
enum RayTypeFlags : uint64_t {
    RT_CAMERA = 0x1,
    RT_REFLECT = 0x2,
    RT_REFRACT = 0x4,
    RT_GI = 0x8,
    RT_SHADOW = 0x10,
    RT_LIGHT = 0x1000,
};

// A render channel's value at a hit, in the 16 bytes the core's AOV slot
// takes: floats for colours and vectors, a double for float channels.
struct ChannelValue {
    uint32_t alias = RENDER_CHANNEL_NO_ALIAS;
    int dataType = RC_TYPE_RGB;
    union {
        float v[4] = {0, 0, 0, 0};
        double d[2];
    };
};

// Result of shading, in the order colour, transparency, alpha, alpha transparency.
struct ShadeResult {
    Color color;
    Color transp;
    Color alpha;
    Color alphaTransp;
};

class MaterialTagsInterface : public PluginInterface {
public:
    // The text of a named property of the hit's material, or null.
    virtual const char* getTag(const VRayContext& rc, const char* name) const = 0;
};

// A material's own shading of a hit (the glass materials of the settings
// plug-in are shaded through it).
class MaterialInterface : public PluginInterface {
public:
    virtual void shade(VRayContext& rc) = 0;
};

// The type of the BRDF behind a material.
class BRDFInterface : public PluginInterface {
public:
    virtual PluginID getBRDFPluginID() const = 0;
};

class VelocityInterface : public PluginInterface {
public:
    virtual Vector getVelocity(const VRayContext& rc) const = 0;
};

class VRayContext {
public:
    virtual ~VRayContext() = default;

    // Ray.
    uint64_t rayType = RT_CAMERA;
    int rayDepth = 0;
    int rayMode = 0;
    int visibility = 1;
    Vector origin;
    Vector direction;
    float rayDistance = 0.0f; // value the ray-bending calls read and replace
    float minDistance = 0.0f;
    float maxDistance = 1e18f;
    Vector dDdx, dDdy;     // ray differentials
    Vector bumpDu, bumpDv; // bump derivatives
    double screenX = 0.0, screenY = 0.0;
    int threadIndex = 0;
    uint32_t sampleIndex = 0; // the sample number within the pixel

    // Hit.
    bool hit = false;
    float hitDistance = 0.0f;
    Vector position;
    Vector bendNormal;    // the geometric normal
    Vector surfaceNormal; // the shading normal
    int surfaceKind = 0;  // 2: a hair strand
    PluginBase* object = nullptr;
    PluginBase* material = nullptr;
    PluginBase* brdf = nullptr;

    ShadeResult result;
    std::vector<ChannelValue> channels;

    const ChannelValue* channel(uint32_t alias) const
    {
        for (const auto& c : channels)
            if (c.alias == alias)
                return &c;
        return nullptr;
    }

    // Host services.
    virtual void defShade() = 0;
    // A new context that traces from this hit; release it when done.
    virtual VRayContext* newSpawnContext() = 0;
    virtual void releaseContext(VRayContext* child) = 0;
    // Traces this (child) context's ray and shades the hit; false on a miss.
    virtual bool traceRay(const Vector& origin, const Vector& dir, float mint, float maxt) = 0;
    // The next surface along this (child) context's ray past `mint`, without
    // shading it; false on a miss.
    virtual bool findNextIntersection(const Vector& origin, const Vector& dir, float mint, float maxt) = 0;
};

// Bump derivatives of a hit for a unit normal.
void getBumpDerivs(VRayContext& rc, const Vector& normal);

// Render-channel values of a hit scaled by a colour (components beyond the
// colour's three take its mean).
void scaleChannels(VRayContext& rc, const Color& weight);
// Adds the channel values of what lies behind a hit, weighted by a colour,
// for every channel both carry.
void blendChannels(VRayContext& rc, const VRayContext& behind, const Color& weight);

} // namespace VUtils
