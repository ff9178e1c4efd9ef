// The intersection shader: every hit of a primary camera ray becomes a
// detection sample or a render sample seen from the viewer's eyes.

#include <algorithm>
#include <cmath>

#include "CoreCalls.h"
#include "QuorvelPlugin.h"
#include "foundation/Logger.h"

namespace QuorvelPlugin {

using namespace VUtils;
using Quorvel::Logger::QvOutputLogCStr;

namespace {

using Shader = QuorvelIntersectionShader;

// Written on the main thread while frames are prepared, read nowhere else.
bool glassModeWarned = false;

constexpr const char* kTagGlassIor = "qvl_glass_IOR";
constexpr const char* kTagTransp = "qvl_transp";
constexpr const char* kTagBrdfGlass = "qvl_brdf_glass";
constexpr const char* kTagNoDeepReflection = "qvl_no_deep_reflection";
constexpr const char* kTagCockpit = "qvl_cockpit";

// ---- Hits, points and results ---------------------------------------------------

const char* tag(const VRayContext& rc, const char* name)
{
    if (!rc.material)
        return nullptr;
    auto* tags = static_cast<MaterialTagsInterface*>(rc.material->newInterface(EXT_MATERIAL_TAGS));
    return tags ? tags->getTag(rc, name) : nullptr;
}

bool hasTag(const VRayContext& rc, const char* name)
{
    return tag(rc, name) != nullptr;
}

VekPoint toCore(const Vector& v)
{
    return {v.x, v.y, v.z};
}

Vector toHost(const VekPoint& p)
{
    return {p.x, p.y, p.z};
}

// Host positions are relative to the frame's origin offset; the core's are not.
VekPoint absolute(const QuorvelSettings& s, const Vector& p)
{
    const double* o = s.frame->originOffset;
    return {static_cast<float>(static_cast<double>(p.x) + o[0]), static_cast<float>(static_cast<double>(p.y) + o[1]),
            static_cast<float>(static_cast<double>(p.z) + o[2])};
}

Vector relative(const QuorvelSettings& s, const VekPoint& p)
{
    const double* o = s.frame->originOffset;
    return {p.x - static_cast<float>(o[0]), p.y - static_cast<float>(o[1]), p.z - static_cast<float>(o[2])};
}

void setInvisible(VRayContext& rc)
{
    rc.result = {Color(), Color(1, 1, 1), Color(), Color(1, 1, 1)};
}

void setBlackMatte(VRayContext& rc)
{
    rc.result = {Color(), Color(), Color(1, 1, 1), Color()};
}

void setOpaque(VRayContext& rc)
{
    rc.result.transp = Color();
    rc.result.alpha = Color(1, 1, 1);
    rc.result.alphaTransp = Color();
}

void setPassThrough(VRayContext& rc)
{
    rc.result.transp = Color(1, 1, 1);
    rc.result.alpha = Color();
    rc.result.alphaTransp = Color(1, 1, 1);
}

// What shading a hit for one eye changes, to shade it again for the other.
struct RayState {
    explicit RayState(const VRayContext& rc)
        : rayDistance(rc.rayDistance), direction(rc.direction), dDdx(rc.dDdx), dDdy(rc.dDdy), bumpDu(rc.bumpDu),
          bumpDv(rc.bumpDv), screenX(rc.screenX), screenY(rc.screenY), result(rc.result)
    {
    }
    void restoreRay(VRayContext& rc) const
    {
        rc.rayDistance = rayDistance;
        rc.direction = direction;
        rc.dDdx = dDdx;
        rc.dDdy = dDdy;
        rc.bumpDu = bumpDu;
        rc.bumpDv = bumpDv;
        rc.screenX = screenX;
        rc.screenY = screenY;
    }
    void restoreResult(VRayContext& rc) const { rc.result = result; }

    float rayDistance;
    Vector direction, dDdx, dDdy, bumpDu, bumpDv;
    double screenX, screenY;
    ShadeResult result;
};

// ---- Predicates -------------------------------------------------------------------

bool glassTag(Shader&, VRayContext& rc)
{
    return hasTag(rc, kTagGlassIor);
}

bool transparencyTag(Shader&, VRayContext& rc)
{
    return hasTag(rc, kTagTransp);
}

bool glassBrdf(Shader&, VRayContext& rc)
{
    if (!rc.material)
        return false;
    if (auto* brdf = static_cast<BRDFInterface*>(rc.material->newInterface(EXT_BRDF)))
        if (brdf->getBRDFPluginID() == PLUGIN_ID_BRDF_GLASS)
            return true;
    return hasTag(rc, kTagBrdfGlass);
}

bool light(Shader&, VRayContext& rc)
{
    return rc.object && rc.object->newInterface(EXT_LIGHT) && !rc.object->newInterface(EXT_LIGHT_GEOMETRY);
}

bool transparentLight(Shader& shader, VRayContext& rc)
{
    if (!light(shader, rc))
        return false;
    rc.defShade();
    return rc.result.transp.mean() != 0.0f;
}

bool clipping(Shader& shader, VRayContext& rc)
{
    const QuorvelSettings& s = shader.settings();
    const VekPoint p = absolute(s, rc.position);
    const double dx = static_cast<double>(p.x) - s.clippingCentre.x;
    const double dy = static_cast<double>(p.y) - s.clippingCentre.y;
    const double dz = static_cast<double>(p.z) - s.clippingCentre.z;
    const double d = std::sqrt(dx * dx + dy * dy + dz * dz);
    const bool inside = static_cast<double>(s.clippingRadius) > d;
    return s.clippingInside == 0 ? inside : !inside;
}

bool any(const std::vector<Shader::Predicate>& list, Shader& shader, VRayContext& rc)
{
    for (Shader::Predicate p : list)
        if (p(shader, rc))
            return true;
    return false;
}

// ---- Rays bent towards the eyes -------------------------------------------------

bool bend(Shader& shader, VRayContext& rc, QP::Eye eye)
{
    const QuorvelSettings& s = shader.settings();
    const QS::QvBendRay b = core().QvGetBendRayRenderPhase(eye, toCore(rc.bendNormal), toCore(rc.direction),
                                                           absolute(s, rc.position), static_cast<double>(rc.rayDistance));
    rc.direction = toHost(b.direction);
    rc.dDdx = toHost(b.dDirectionDx);
    rc.dDdy = toHost(b.dDirectionDy);
    rc.rayDistance = static_cast<float>(b.distance);
    getBumpDerivs(rc, normalize0(rc.surfaceNormal));
    return b.eyeShifted;
}

// Composites what lies behind a partly transparent hit, seen from the eye.
void continuation(Shader& shader, VRayContext& rc, QP::Eye eye)
{
    const QuorvelSettings& s = shader.settings();
    const QS::QvBendRayEx t = core().QvGetTranspRayRenderPhase(eye, toCore(rc.bendNormal), toCore(rc.direction),
                                                               absolute(s, rc.position),
                                                               static_cast<double>(rc.rayDistance));
    VRayContext* child = rc.newSpawnContext();
    child->dDdx = toHost(t.dDirectionDx);
    child->dDdy = toHost(t.dDirectionDy);
    child->traceRay(relative(s, t.eyePosition), normalize0(toHost(t.direction)), static_cast<float>(t.distance), 1e18f);
    ShadeResult& r = rc.result;
    if (!rc.channels.empty() && !child->channels.empty())
        blendChannels(rc, *child, r.transp);
    const ShadeResult& c = child->result;
    r.color += c.color * r.transp;
    r.transp = c.transp * r.transp;
    r.alpha += c.alpha * r.alphaTransp;
    r.alphaTransp = c.alphaTransp * r.alphaTransp;
    rc.releaseContext(child);
}

bool deepReflectionFor(Shader& shader, const VRayContext& rc, bool eyeShifted)
{
    return shader.settings().deepReflection != 0 && eyeShifted && !hasTag(rc, kTagNoDeepReflection);
}

// ---- Render samples ---------------------------------------------------------------

void buildRenderSample(Shader& shader, VRayContext& rc, const Color& color, const Color& right, int32_t glass)
{
    const QuorvelSettings& s = shader.settings();
    const CoreCalls& qv = core();
    const VekPoint p = absolute(s, rc.position);
    const VekPoint o = absolute(s, rc.origin);
    const Vector n = normalize0(rc.surfaceNormal);

    QR::QvRenderSample sample;
    qv.QvInitSampleAov(sample);
    qv.QvSetSamplePosition(sample, p);
    qv.QvSetSamplePosXY(sample, rc.screenX, rc.screenY);
    const float dx = p.x - o.x, dy = p.y - o.y, dz = p.z - o.z;
    qv.QvSetSampleZ(sample, static_cast<double>(std::sqrt(dx * dx + dy * dy + dz * dz)));
    qv.QvSetSampleColor(sample, VekRGBA{color.r, color.g, color.b, rc.result.alpha.mean()});
    if (rc.surfaceKind != 2)
        qv.QvSetSampleNormal(sample, toCore(n));
    for (const uint32_t alias : s.channelAliases)
        if (const ChannelValue* value = rc.channel(alias))
            qv.QvAddSampleAov(sample, value->v, static_cast<int32_t>(alias));
    if (s.glassMode != 0)
        qv.QvAddGlassSampleAov(sample, glass);
    if (s.deepReflection != 0)
        qv.QvAddRightColorSampleAov(sample, VekRGB{right.r, right.g, right.b});
    if (s.motionVectors != 0 && s.velocityPresent != 0) {
        Vector velocity;
        if (rc.object)
            if (auto* source = static_cast<VelocityInterface*>(rc.object->newInterface(EXT_VELOCITY)))
                velocity = source->getVelocity(rc);
        qv.QvAddWSVelocitySampleAov(sample, toCore(velocity));
    }
    qv.QvAddCockpitSampleAov(sample, hasTag(rc, kTagCockpit));
    qv.QvProcessRenderSample(static_cast<uint64_t>(rc.threadIndex), static_cast<int32_t>(std::floor(rc.screenX)),
                             static_cast<int32_t>(std::floor(rc.screenY)), 0, sample);
}

// ---- Main routines ----------------------------------------------------------------

void defaultRoutine(Shader& shader, VRayContext& rc)
{
    const QuorvelSettings& s = shader.settings();
    const RayState saved(rc);
    const bool shifted = bend(shader, rc, QP::RC_Left);
    rc.defShade();
    const float a = rc.result.alpha.mean();
    if (a <= 0.0f && rc.result.transp.mean() >= 1.0f) {
        saved.restoreRay(rc);
        saved.restoreResult(rc);
        return;
    }
    if (a < 1.0f)
        continuation(shader, rc, QP::RC_Left);
    const Color left = rc.result.color;
    setOpaque(rc);
    const Color sampleColor = s.sequence->mapColor(left);
    Color right = sampleColor;

    if (deepReflectionFor(shader, rc, shifted)) {
        saved.restoreRay(rc);
        bend(shader, rc, QP::RC_Right);
        rc.defShade();
        if (rc.result.alpha.mean() < 1.0f)
            continuation(shader, rc, QP::RC_Right);
        right = s.sequence->mapColor(rc.result.color);
        rc.result.color = (left + rc.result.color) * 0.5f;
        setOpaque(rc);
    }
    buildRenderSample(shader, rc, sampleColor, right, 0);
    saved.restoreRay(rc);
}

// The eye's view of a glass pane: the mirror material's reflection weighted
// by the pane's reflectance, with the pane's opacity as alpha.
void shadePaneReflection(Shader& shader, VRayContext& rc, bool glassIor, double reflectance, float k)
{
    const QuorvelSettings& s = shader.settings();
    PluginBase* mirror = s.glassMaterials.empty() ? nullptr : s.glassMaterials[0];
    if (!glassIor || !mirror)
        return;
    auto* material = static_cast<MaterialInterface*>(mirror->newInterface(EXT_MATERIAL));
    if (!material)
        return;
    rc.result.alpha = Color(1, 1, 1);
    rc.result.transp = Color();
    material->shade(rc);
    const float r = static_cast<float>(reflectance);
    rc.result.color = rc.result.color * r;
    if (!rc.channels.empty())
        scaleChannels(rc, Color(r, r, r));
    rc.result.alpha = Color(k, k, k);
}

void glassBrdfRoutine(Shader& shader, VRayContext& rc)
{
    const QuorvelSettings& s = shader.settings();
    bool pass = false;
    if (!core().QvShouldShade(absolute(s, rc.position), absolute(s, rc.origin), rc.screenX, rc.screenY, pass)) {
        rc.result.color = Color();
        pass ? setInvisible(rc) : setBlackMatte(rc);
        return;
    }
    const RayState saved(rc);
    const bool shifted = bend(shader, rc, QP::RC_Left);
    rc.defShade();
    const Color left = rc.result.color;
    const Color sampleColor = s.sequence->mapColor(left);
    Color right = sampleColor;
    Color result = left;
    if (deepReflectionFor(shader, rc, shifted)) {
        const ShadeResult first = rc.result;
        saved.restoreRay(rc);
        saved.restoreResult(rc);
        bend(shader, rc, QP::RC_Right);
        rc.defShade();
        right = s.sequence->mapColor(rc.result.color);
        result = (left + rc.result.color) * 0.5f;
        rc.result = first;
    }
    saved.restoreRay(rc);
    buildRenderSample(shader, rc, sampleColor, right, 1);
    rc.result.color = result;
    pass ? setPassThrough(rc) : setOpaque(rc);
}

void glassOnlyRoutine(Shader& shader, VRayContext& rc)
{
    const QuorvelSettings& s = shader.settings();
    if (glassBrdf(shader, rc)) {
        glassBrdfRoutine(shader, rc);
        return;
    }
    bool pass = false;
    if (!core().QvShouldShade(absolute(s, rc.position), absolute(s, rc.origin), rc.screenX, rc.screenY, pass)) {
        rc.result.color = Color();
        pass ? setInvisible(rc) : setBlackMatte(rc);
        return;
    }
    const char* iorText = tag(rc, kTagGlassIor);
    const char* transpText = tag(rc, kTagTransp);
    if (!iorText && !transpText) {
        setBlackMatte(rc);
        return;
    }
    const float ior = iorText ? parseTagNumber(iorText) : 1.0f;
    const float transparency = transpText ? parseTagNumber(transpText) : 1.0f;

    const RayState saved(rc);
    const bool shifted = bend(shader, rc, QP::RC_Left);
    double reflectance = 0.0, transmittance = 0.0;
    if (!core().QvGetDoubleReflectanceTransmitance(reflectance, transmittance, static_cast<double>(transparency),
                                                   static_cast<double>(ior), toCore(rc.direction),
                                                   toCore(rc.bendNormal))) {
        setInvisible(rc);
        saved.restoreRay(rc);
        return;
    }
    const float k = static_cast<float>(1.0 - transmittance);
    shadePaneReflection(shader, rc, iorText != nullptr, reflectance, k);

    if (!(rc.result.alpha.mean() > 0.0f) || !(rc.result.transp.mean() < 1.0f)) {
        setInvisible(rc);
    } else {
        const Color left = rc.result.color;
        const Color sampleColor = s.sequence->mapColor(left);
        Color right = sampleColor;
        Color result = left;
        if (deepReflectionFor(shader, rc, shifted)) {
            saved.restoreRay(rc);
            bend(shader, rc, QP::RC_Right);
            shadePaneReflection(shader, rc, iorText != nullptr, reflectance, k);
            right = s.sequence->mapColor(rc.result.color);
            result = (left + rc.result.color) * 0.5f;
        }
        saved.restoreRay(rc);
        rc.result.alpha = Color(k, k, k);
        buildRenderSample(shader, rc, sampleColor, right, 1);
        rc.result.color = result;
        pass ? setPassThrough(rc) : setOpaque(rc);
    }
    saved.restoreRay(rc);
}

void glassAndOpaqueRoutine(Shader& shader, VRayContext& rc)
{
    const bool glass = hasTag(rc, kTagGlassIor) || hasTag(rc, kTagTransp);
    if (core().QvIsTransparent(rc.screenX, rc.screenY)) {
        if (glass)
            glassOnlyRoutine(shader, rc);
        else
            setPassThrough(rc);
    } else if (!glass) {
        defaultRoutine(shader, rc);
    } else {
        setPassThrough(rc);
    }
}

// ---- Detection phase ----------------------------------------------------------

struct TestRayData {
    VRayContext* hit;
    Shader* shader;
};

// The core's test rays, traced through the scene past excluded surfaces.
bool traceTestRay(const VekPoint& origin, const VekPoint& direction, double maxDistance, void* hitData,
                  void* userData)
{
    auto& data = *static_cast<TestRayData*>(userData);
    const QuorvelSettings& s = data.shader->settings();
    const Vector o = relative(s, origin);
    const Vector dir = normalize0(toHost(direction));
    VRayContext* child = data.hit->newSpawnContext();
    float mint = 0.0f;
    for (int skipped = 0; skipped < 50; ++skipped) {
        if (!child->findNextIntersection(o, dir, mint, static_cast<float>(maxDistance)))
            break;
        if (data.shader->excludedFromTestRays(*child)) {
            mint = child->hitDistance + 0.0001f;
            continue;
        }
        Quorvel::DetectSample::writeRayHitData(hitData, absolute(s, child->position),
                                               toCore(normalize0(child->surfaceNormal)),
                                               static_cast<double>(child->hitDistance));
        data.hit->releaseContext(child);
        return true;
    }
    data.hit->releaseContext(child);
    return false;
}

void detectionRoutine(Shader& shader, VRayContext& rc)
{
    const QuorvelSettings& s = shader.settings();
    QD::QvDetectSample d;
    d.hair = rc.surfaceKind == 2;
    d.x = static_cast<int32_t>(std::floor(rc.screenX));
    d.y = static_cast<int32_t>(std::floor(rc.screenY));
    d.cameraIndex = static_cast<uint64_t>(rc.sampleIndex);
    switch (s.glassMode) {
    case 2: d.transparent = true; break;
    case 3: d.transparent = hasTag(rc, kTagGlassIor) || hasTag(rc, kTagTransp); break;
    default: d.transparent = false; break;
    }
    d.normal = d.hair ? VekPoint{0.0f, 0.0f, 0.0f} : toCore(normalize0(rc.surfaceNormal));
    d.position = absolute(s, rc.position);

    TestRayData data{&rc, &shader};
    QD::RayTestInterface rayTest;
    rayTest.userData = &data;
    rayTest.trace = &traceTestRay;
    rayTest.reserved = [](void*) { return 0; };
    const VekRGBA c = core().QvProcessDetectSample(&rayTest, d, static_cast<uint64_t>(rc.threadIndex));
    rc.result.color = Color(c.r, c.g, c.b);
    // A probe that goes on behind the surface only tints the preview image.
    c.a == 0.0f ? setPassThrough(rc) : setOpaque(rc);
}

bool isPrimaryCameraRay(const VRayContext& rc)
{
    constexpr uint64_t secondary = RT_REFLECT | RT_REFRACT | RT_GI | RT_LIGHT;
    return (rc.rayType & RT_CAMERA) && rc.rayDepth == 0 && !(rc.rayType & secondary) && !(rc.rayType & RT_SHADOW) &&
           rc.rayMode != 3 && (rc.visibility & 3) != 0;
}

} // namespace

// ---- The shader -----------------------------------------------------------------

void QuorvelIntersectionShader::prepareFrame()
{
    cameraExclusion_.clear();
    testRayExclusion_.clear();
    inclusion_.clear();
    mainRoutine_ = &defaultRoutine;
    if (settings_.clippingEnabled != 0)
        inclusion_.push_back(&clipping);
    if (!glassModeWarned && settings_.glassMode != 3) {
        glassModeWarned = true;
        QvOutputLogCStr(QL::WARNING, "[Quorvel] Simultaneous rendering of both opaque and transparent at the same "
                                     "time is not fully supported yet.");
    }
    const std::vector<Predicate> glass = {&glassTag, &transparencyTag, &glassBrdf};
    switch (settings_.glassMode) {
    case 1:
        cameraExclusion_ = glass;
        testRayExclusion_ = glass;
        break;
    case 2:
        mainRoutine_ = &glassOnlyRoutine;
        testRayExclusion_ = glass;
        inclusion_.insert(inclusion_.end(), glass.begin(), glass.end());
        break;
    case 3:
        mainRoutine_ = &glassAndOpaqueRoutine;
        testRayExclusion_ = glass;
        break;
    default: break;
    }
    if (settings_.lightVisibility == 1) {
        cameraExclusion_.push_back(&light);
        testRayExclusion_.push_back(&light);
    } else if (settings_.lightVisibility >= 2) {
        cameraExclusion_.push_back(&transparentLight);
        testRayExclusion_.push_back(&transparentLight);
    }
    if (settings_.phaseMode == PHASE_MODE_DETECT)
        mainRoutine_ = &detectionRoutine;
}

bool QuorvelIntersectionShader::excludedFromTestRays(VRayContext& rc)
{
    return any(testRayExclusion_, *this, rc);
}

int QuorvelIntersectionShader::shade(VRayContext& rc)
{
    if (!isPrimaryCameraRay(rc)) {
        if (settings_.glassMode != 2 || glassBrdf(*this, rc) || !hasTag(rc, kTagGlassIor))
            return 1;
        PluginBase* clearGlass = settings_.glassMaterials.size() > 1 ? settings_.glassMaterials[1] : nullptr;
        auto* material = clearGlass ? static_cast<MaterialInterface*>(clearGlass->newInterface(EXT_MATERIAL)) : nullptr;
        if (!material)
            return 1;
        material->shade(rc);
        return 0;
    }
    if (any(cameraExclusion_, *this, rc)) {
        setInvisible(rc);
        return 0;
    }
    if (!inclusion_.empty() && !any(inclusion_, *this, rc)) {
        setBlackMatte(rc);
        if (settings_.phaseMode == PHASE_MODE_RENDER)
            buildRenderSample(*this, rc, Color(), Color(), 0);
        return 0;
    }
    if (mainRoutine_)
        mainRoutine_(*this, rc);
    return 0;
}

// ---- Tag numbers ------------------------------------------------------------------

float parseTagNumber(const char* text)
{
    if (!text)
        return 0.0f;
    const char* p = text;
    auto digit = [&p] { return *p >= '0' && *p <= '9'; };
    const bool negative = *p == '-';
    if (negative)
        ++p;
    float value = 0.0f;
    for (; digit(); ++p)
        value = value * 10.0f + static_cast<float>(*p - '0');
    if (*p == ',' || *p == '.') {
        ++p;
        float weight = 0.1f;
        for (; digit(); ++p) {
            value += static_cast<float>(*p - '0') * weight;
            weight /= 10.0f;
        }
    }
    if (negative)
        value = -value;
    if (*p == 'e' || *p == 'E') {
        ++p;
        const bool negativeExponent = *p == '-';
        if (negativeExponent)
            ++p;
        int exponent = 0;
        for (; digit(); ++p)
            exponent = std::min(exponent * 10 + (*p - '0'), 1000);
        const float factor = negativeExponent ? 0.1f : 10.0f;
        for (int i = 0; i < exponent && value != 0.0f && std::isfinite(value); ++i)
            value *= factor;
    }
    return value;
}

} // namespace QuorvelPlugin
