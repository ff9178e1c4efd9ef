#pragma once

#include "foundation/Export.h"
#include "foundation/Types.h"

// Questions the host's shaders ask during the render phase: whether a hit is
// the plaque of its pixel, where reflections continue for each eye, and how
// much a thin glass pane reflects and transmits. Pure reads of the context,
// safe on any number of render threads.
namespace Quorvel::Shading::inline v2_0 {

struct QvBendRay {
    VekPoint direction{0.0f, 0.0f, 0.0f};    // unit
    VekPoint dDirectionDx{0.0f, 0.0f, 0.0f}; // world-space differential per output pixel
    VekPoint dDirectionDy{0.0f, 0.0f, 0.0f};
    double distance = 0.0; // specular point to hit
    bool eyeShifted = false;
};

struct QvBendRayEx : QvBendRay {
    VekPoint eyePosition{0.0f, 0.0f, 0.0f}; // world
};

// True when the plaque of screen position (x, y) of the current block is
// transparent (always with transparency mode TRANSP).
QUORVEL_API bool QvIsTransparent(const double& x, const double& y);

// True when the hit lies on the pixel's plaque and is to be shaded. A hit in
// front of the plaque returns false with `inFront` set.
QUORVEL_API bool QvShouldShade(const VekPoint& hit, const VekPoint& origin, const double& x, const double& y,
                               bool& inFront);

// Continuation of a ray bent at a hit towards one eye, mirrored when the eye
// lies behind the surface.
QUORVEL_API QvBendRay QvGetBendRayRenderPhase(const Phase::Eye& eye, const VekPoint& normal,
                                              const VekPoint& incoming, const VekPoint& hit, const double& depth);

// Continuation straight through a partly transparent hit, from one eye.
QUORVEL_API QvBendRayEx QvGetTranspRayRenderPhase(Phase::Eye eye, const VekPoint& normal, const VekPoint& incoming,
                                                  const VekPoint& hit, const double& depth);

// Reflectance and transmittance of a thin slab of index `ior` and attenuation
// `attenuation` (both faces, one internal bounce). False, with zeros, when the
// incoming direction does not face the normal.
QUORVEL_API bool QvGetDoubleReflectanceTransmitance(double& reflectance, double& transmittance,
                                                    const double& attenuation, const double& ior,
                                                    const VekPoint& incoming, const VekPoint& normal);

// One Fresnel step from index eta1 into eta2; `refracted` stays zero on total
// internal reflection.
struct FresnelStep {
    float reflectance = 1.0f;
    VekPoint refracted{0.0f, 0.0f, 0.0f};
};
QUORVEL_API FresnelStep fresnelStep(const VekPoint& normal, const VekPoint& direction, float eta1, float eta2);

} // namespace Quorvel::Shading::inline v2_0
