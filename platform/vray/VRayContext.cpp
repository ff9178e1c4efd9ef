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

} // namespace VUtils
