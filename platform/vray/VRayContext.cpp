#include "VRayContext.h"

#include <cmath>

namespace VUtils {

void getBumpDerivs(VRayContext& rc, const Vector& normal)
{
    // Two unit tangents of the normal's plane, scaled by the ray footprint.
    const Vector helper = std::fabs(normal.x) < 0.9f ? Vector(1, 0, 0) : Vector(0, 1, 0);
    const Vector u = normalize0(crossf(helper, normal));
    const Vector v = crossf(normal, u);
    const float footprint = lengthf(rc.dDdx) * rc.rayDistance;
    rc.bumpDu = u * footprint;
    rc.bumpDv = v * footprint;
}

namespace {

void addScaled(ChannelValue& into, const ChannelValue* from, const Color& w, bool keep)
{
    const float k[4] = {w.r, w.g, w.b, w.mean()};
    if (into.dataType == RC_TYPE_FLOAT) {
        into.d[0] = (keep ? into.d[0] : 0.0) + (from ? from->d[0] : 0.0) * static_cast<double>(k[0]);
        return;
    }
    for (int i = 0; i < 4; ++i) {
        const float f = from ? from->v[i] * k[i] : 0.0f;
        into.v[i] = keep ? into.v[i] + f : f;
    }
}

} // namespace

void scaleChannels(VRayContext& rc, const Color& weight)
{
    for (ChannelValue& c : rc.channels) {
        const ChannelValue copy = c;
        addScaled(c, &copy, weight, false);
    }
}

void blendChannels(VRayContext& rc, const VRayContext& behind, const Color& weight)
{
    for (ChannelValue& c : rc.channels)
        if (const ChannelValue* b = behind.channel(c.alias); b && b->dataType == c.dataType)
            addScaled(c, b, weight, true);
}

} // namespace VUtils
