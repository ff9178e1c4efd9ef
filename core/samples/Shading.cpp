#include "samples/Shading.h"

#include <algorithm>
#include <cmath>

#include "camera/CameraSet.h"
#include "camera/CubeMap.h"
#include "context/QuorvelContext.h"
#include "samples/SampleInternal.h"

namespace Quorvel::Shading::inline v2_0 {

using Phase::QuorvelContext;
using SampleIntake::misuse;

namespace {

VekPoint add(const VekPoint& a, const VekPoint& b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
VekPoint sub(const VekPoint& a, const VekPoint& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
VekPoint scale(const VekPoint& a, float s) { return {a.x * s, a.y * s, a.z * s}; }
VekPoint cross(const VekPoint& a, const VekPoint& b)
{
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

QuorvelContext& runningRenderPhase()
{
    QuorvelContext& c = Phase::getQuorvelContext();
    if (c.phase != Phase::Render || !c.initialised)
        misuse("[Quorvel] shading function is only available with initialized render phase\n");
    return c;
}

// Index of the plaque that screen position (x, y) of the current block
// stands for; negative or past the list when there is none.
int64_t plaqueIndex(const QuorvelContext& c, double x, double y)
{
    const double w = c.renderingResolutionX.get();
    const double h = c.renderingResolutionY.get();
    const uint64_t block = c.currentBlock.get();
    const double pixel = std::floor(y) * w + std::floor(x);
    if (!(std::fabs(pixel) < 9.0e18))
        return -1;
    return static_cast<int64_t>(pixel) + static_cast<int64_t>(block) * static_cast<int64_t>(w) * static_cast<int64_t>(h);
}

const BinIO::DetectPlaqueInfo* plaqueAt(const QuorvelContext& c, double x, double y)
{
    const int64_t i = plaqueIndex(c, x, y);
    if (i < 0 || static_cast<uint64_t>(i) >= c.plaques.size())
        return nullptr;
    return &c.plaques[static_cast<uint64_t>(i)];
}

struct EyePosition {
    VekPoint position;
    bool shifted = false;
};

EyePosition eyePosition(const QuorvelContext& c, Phase::Eye eye, const VekPoint& hit, double depth)
{
    if (eye == Phase::RC_LeftAndRight)
        misuse("[Quorvel] cannot compute input leftAndRight.\n");
    const VekPoint& s = c.specularPointWorld.get();
    const float ipd = c.ipd.get();
    const float renderScale = c.renderScale.get();
    const VekPoint& up = c.sceneUp.get();

    float d = static_cast<float>(static_cast<double>(ipd) / 20.0 / static_cast<double>(renderScale));
    if (eye == Phase::RC_Left)
        d = -d;
    d *= Camera::getEyeShiftFactor(static_cast<float>(depth), d);

    const VekPoint v = Utils::normalize(sub(hit, s));
    const float h = std::fabs(Utils::dot(v, up));
    const auto& [poleAngle, poleCosine, fadeExponent] = c.shadingConstants;
    if (h > poleCosine) {
        // Looking up or down, the eyes' separation fades out near the up axis.
        const float alpha = std::acos(h);
        const float w = std::cos((1.0f - alpha / poleAngle) * 1.5707964f);
        d *= std::pow(std::clamp(w, 0.0f, 1.0f), fadeExponent);
    }
    EyePosition e;
    e.shifted = !(d == 0.0f || ipd == 0.0f);
    e.position = add(s, scale(Utils::normalize(cross(v, up)), d));
    return e;
}

// Ray differentials of one output pixel at the hit, in world space.
void differentials(const QuorvelContext& c, const VekPoint& hit, QvBendRay& ray)
{
    const double outX = c.outputResolutionX.get();
    const double outY = c.outputResolutionY.get();
    const VekPoint local = Utils::transformPoint(hit, c.worldToCamera);
    const VekPoint2 uv = Camera::cubeMapPosition(local);
    auto snap = [](float t, double n) {
        const double k = std::clamp(std::round(static_cast<double>(t) * n), 0.0, n - 1.0);
        return static_cast<float>((k + 0.5) / n);
    };
    const Camera::CubeMapDirection d = Camera::cubeMapSample(snap(uv.x, outX), snap(uv.y, outY));
    ray.dDirectionDx = Utils::transformDirection(scale(d.dDirectionDs, 1.0f / static_cast<float>(outX)), c.cameraToWorld);
    ray.dDirectionDy = Utils::transformDirection(scale(d.dDirectionDt, 1.0f / static_cast<float>(outY)), c.cameraToWorld);
}

} // namespace

bool QvIsTransparent(const double& x, const double& y)
{
    const QuorvelContext& c = runningRenderPhase();
    if (c.transparencyMode.peek() == Phase::TRANSP)
        return true;
    const BinIO::DetectPlaqueInfo* plaque = plaqueAt(c, x, y);
    return plaque && plaque->transparent != 0;
}

bool QvShouldShade(const VekPoint& hit, const VekPoint& origin, const double& x, const double& y, bool& inFront)
{
    const QuorvelContext& c = runningRenderPhase();
    const Phase::TransparencyRenderingType mode = c.transparencyMode.get();
    if (mode != Phase::TRANSP && mode != Phase::BOTH) {
        inFront = false;
        return true;
    }
    const BinIO::DetectPlaqueInfo* plaque = plaqueAt(c, x, y);
    if (!plaque) {
        inFront = false;
        return false;
    }
    const float m = Utils::length(sub(hit, origin));
    if (Camera::QvIsAtProximity(m, plaque->depth, 1.0f)) {
        inFront = false;
        return true;
    }
    inFront = m < plaque->depth;
    return false;
}

QvBendRay QvGetBendRayRenderPhase(const Phase::Eye& eye, const VekPoint& normal, const VekPoint& incoming,
                                  const VekPoint& hit, const double& depth)
{
    const QuorvelContext& c = Phase::getQuorvelContext();
    const VekPoint& s = c.specularPointWorld.get();
    VekPoint n = normal;
    if (Utils::dot(n, incoming) > 0.0f)
        n = scale(n, -1.0f);
    n = Utils::normalize(n);

    const EyePosition e = eyePosition(c, eye, hit, depth);
    VekPoint w = Utils::normalize(sub(hit, e.position));
    const float nw = Utils::dot(n, w);
    if (nw > 0.0f)
        w = sub(w, scale(n, 2.0f * nw));

    QvBendRay ray;
    ray.direction = w;
    ray.eyeShifted = e.shifted;
    ray.distance = Utils::length(sub(hit, s));
    differentials(c, hit, ray);
    return ray;
}

QvBendRayEx QvGetTranspRayRenderPhase(Phase::Eye eye, const VekPoint&, const VekPoint&, const VekPoint& hit,
                                      const double& depth)
{
    if (eye == Phase::RC_LeftAndRight)
        misuse("[Quorvel] can only return one direction either  the left eye or the right eye.\n");
    const QuorvelContext& c = Phase::getQuorvelContext();
    const VekPoint& s = c.specularPointWorld.get();
    const EyePosition e = eyePosition(c, eye, hit, depth);

    QvBendRayEx ray;
    ray.direction = Utils::normalize(sub(hit, e.position));
    ray.eyePosition = e.position;
    ray.eyeShifted = e.shifted;
    ray.distance = Utils::length(sub(hit, s));
    differentials(c, hit, ray);
    return ray;
}

FresnelStep fresnelStep(const VekPoint& normal, const VekPoint& direction, float eta1, float eta2)
{
    FresnelStep step;
    const float ci = -Utils::dot(direction, normal);
    const float eta = eta1 / eta2;
    const float k = (1.0f - ci * ci) * eta * eta;
    if (k > 1.0f)
        return step;
    const float ct = std::sqrt(1.0f - k);
    step.refracted = add(scale(direction, eta), scale(normal, eta * ci - ct));
    const float rp = (eta2 * ci - eta1 * ct) / (eta1 * ct + eta2 * ci);
    const float rs = (eta1 * ci - eta2 * ct) / (eta2 * ct + eta1 * ci);
    step.reflectance = std::clamp((rp * rp + rs * rs) / 2.0f, 0.0f, 1.0f);
    return step;
}

bool QvGetDoubleReflectanceTransmitance(double& reflectance, double& transmittance, const double& attenuation,
                                        const double& ior, const VekPoint& incoming, const VekPoint& normal)
{
    const VekPoint i = Utils::normalize(incoming);
    if (!(Utils::dot(i, normal) < 0.0f)) {
        reflectance = 0.0;
        transmittance = 0.0;
        return false;
    }
    const float eta = static_cast<float>(ior);
    const FresnelStep entry = fresnelStep(normal, i, 1.0f, eta);
    const VekPoint t1 = Utils::normalize(entry.refracted);
    const FresnelStep exit = fresnelStep(normal, t1, eta, 1.0f);
    const VekPoint n = Utils::normalize(normal);
    const VekPoint mirrored = Utils::normalize(sub(t1, scale(n, 2.0f * Utils::dot(t1, n))));
    const FresnelStep back = fresnelStep(scale(normal, -1.0f), mirrored, eta, 1.0f);

    const double r1 = entry.reflectance, r2 = exit.reflectance, r3 = back.reflectance;
    const double a = attenuation;
    reflectance = r1 + (1.0 - r3) * (1.0 - r1) * a * r2 * a;
    transmittance = (1.0 - r2) * (1.0 - r1) * a;
    return true;
}

} // namespace Quorvel::Shading::inline v2_0
