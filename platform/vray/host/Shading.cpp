// quorvel_host: the default BRDF, direct light and the secondary rays it traces.

#include "Scene.h"
#include "SceneInternal.h"

#include <algorithm>
#include <cmath>

#include "Texture.h"

namespace QuorvelHost {

using namespace VUtils;

namespace {

Vector reflectDir(const Vector& d, const Vector& n) { return d - n * (2.0f * dotf(d, n)); }

} // namespace

// ---- Textures -----------------------------------------------------------------

bool Scene::hitUv(const HostRayContext& rc, float uv[2], float& footprint) const
{
    if (!rc.node || !rc.node->mesh || rc.node->mesh->uv.empty())
        return false;
    const Node& n = *rc.node;
    const Mesh& m = *n.mesh;
    const uint32_t* tri = &m.indices[3 * static_cast<size_t>(rc.prim)];
    const float w = 1.0f - rc.u - rc.v;
    const float* t0 = &m.uv[2 * static_cast<size_t>(tri[0])];
    const float* t1 = &m.uv[2 * static_cast<size_t>(tri[1])];
    const float* t2 = &m.uv[2 * static_cast<size_t>(tri[2])];
    uv[0] = t0[0] * w + t1[0] * rc.u + t2[0] * rc.v;
    uv[1] = t0[1] * w + t1[1] * rc.u + t2[1] * rc.v;

    // The pixel's footprint on the triangle's plane, from the direction
    // differentials, written in the triangle's edges and so in its UVs.
    footprint = 0.0f;
    const Vector e1 = n.P[tri[1]] - n.P[tri[0]], e2 = n.P[tri[2]] - n.P[tri[0]];
    const Vector ng = crossf(e1, e2);
    const Vector d = rc.direction;
    const float dn = dotf(d, ng);
    const float a11 = dotf(e1, e1), a12 = dotf(e1, e2), a22 = dotf(e2, e2);
    const float det = a11 * a22 - a12 * a12;
    // The host's own hit distance: the plug-in's ray distance value is in
    // the core's units.
    const float dist = rc.hitDistance;
    if (!(std::fabs(dn) > 1e-20f) || !(det > 1e-30f) || !std::isfinite(dist))
        return true;
    for (const Vector& dD : {rc.dDdx, rc.dDdy}) {
        const Vector dP = (dD - d * (dotf(dD, ng) / dn)) * dist;
        const float b1 = dotf(dP, e1), b2 = dotf(dP, e2);
        const float a = (a22 * b1 - a12 * b2) / det, b = (a11 * b2 - a12 * b1) / det;
        const float du = a * (t1[0] - t0[0]) + b * (t2[0] - t0[0]);
        const float dv = a * (t1[1] - t0[1]) + b * (t2[1] - t0[1]);
        const float len = std::sqrt(du * du + dv * dv);
        if (std::isfinite(len))
            footprint = std::max(footprint, len);
    }
    return true;
}

Material Scene::mapped(const HostRayContext& rc, const Material& m) const
{
    Material out = m;
    float uv[2], footprint = 0.0f;
    if (!m.hasMaps() || !hitUv(rc, uv, footprint))
        return out;
    if (m.diffuseMap) {
        const AColor c = m.diffuseMap->sample(uv[0], uv[1], m.diffuseMap->lodFor(footprint));
        out.diffuse = out.diffuse * c.color;
        if (m.diffuseAlpha)
            out.opacity = out.opacity * c.alpha;
    }
    if (m.emissionMap)
        out.selfIllumination =
            out.selfIllumination * m.emissionMap->sample(uv[0], uv[1], m.emissionMap->lodFor(footprint)).color;
    if (m.opacityMap) {
        const AColor c = m.opacityMap->sample(uv[0], uv[1], m.opacityMap->lodFor(footprint));
        out.opacity = out.opacity * (m.opacityMap->hasAlpha ? c.alpha : c.color.r);
    }
    return out;
}

Color Scene::mappedDiffuse(const HostRayContext& rc, const Material& m) const
{
    return m.diffuseMap ? mapped(rc, m).diffuse : m.diffuse;
}

// ---- Shading ------------------------------------------------------------------

Color Scene::directLight(HostRayContext& rc, const Material& m, const Vector& n, const Vector& view, float exponent)
{
    Color diffuseLight, specular;
    const Vector p = rc.position + n * 1e-3f;
    auto contribute = [&](const Vector& l, const Color& radiance) {
        const float ndl = dotf(n, l);
        if (ndl <= 0.0f)
            return;
        diffuseLight += radiance * ndl;
        if (exponent > 0.0f) {
            const Vector h = normalize0(l + view);
            specular += radiance * std::pow(std::max(0.0f, dotf(n, h)), exponent);
        }
    };
    for (auto& l : lights_) {
        const Color c = l->color * l->intensity;
        if (l->kind == Light::Point) {
            const Vector d = l->position - p;
            const float d2 = dotf(d, d);
            if (d2 <= 0.0f || (l->shadows && occluded(p, l->position)))
                continue;
            contribute(d * (1.0f / std::sqrt(d2)), c * (1.0f / d2));
        } else if (l->kind == Light::Directional) {
            const Vector dir = -l->direction;
            if (l->shadows && occluded(p, p + dir * 1e6f))
                continue;
            contribute(dir, c);
        } else {
            const Transform& t = l->transform;
            const Vector emit = -normalize0(crossf(t.m[0], t.m[1])); // emits along its local -z
            const float area = lengthf(crossf(t.m[0], t.m[1])) * l->uSize * l->vSize;
            const int n2 = l->subdivs * l->subdivs;
            for (int s = 0; s < n2; ++s) {
                const float a = ((static_cast<float>(s % l->subdivs) + 0.5f) / static_cast<float>(l->subdivs) - 0.5f) * l->uSize;
                const float b = ((static_cast<float>(s / l->subdivs) + 0.5f) / static_cast<float>(l->subdivs) - 0.5f) * l->vSize;
                const Vector q = t.offset + t.m[0] * a + t.m[1] * b;
                const Vector d = q - p;
                const float d2 = dotf(d, d);
                if (d2 <= 0.0f)
                    continue;
                const Vector dir = d * (1.0f / std::sqrt(d2));
                const float cosL = dotf(-dir, emit);
                if (cosL <= 0.0f || (l->shadows && occluded(p, q)))
                    continue;
                contribute(dir, c * (cosL * area / (d2 * static_cast<float>(n2))));
            }
        }
    }
    (void)m;
    rc.result.color = diffuseLight;
    return specular;
}

Color Scene::traceColor(HostRayContext& parent, uint64_t rayType, const Vector& origin, const Vector& dir,
                        Color* alphaOut)
{
    HostRayContext child(*this);
    child.rayType = rayType;
    child.rayDepth = parent.rayDepth + 1;
    child.threadIndex = parent.threadIndex;
    child.screenX = parent.screenX;
    child.screenY = parent.screenY;
    child.sampleIndex = parent.sampleIndex;
    child.seed = mix(parent.seed + static_cast<uint64_t>(child.rayDepth));
    child.dDdx = parent.dDdx;
    child.dDdy = parent.dDdy;
    child.traceRay(origin, dir, 1e-3f, 1e30f);
    if (alphaOut)
        *alphaOut = child.result.alpha;
    return child.result.color;
}

void Scene::shadeWithMaterial(HostRayContext& rc, PluginBase* material)
{
    const Crossing host(false);
    const Material* m = nullptr;
    {
        std::lock_guard lock(materialsMutex_);
        m = materialOf(material);
    }
    defaultShade(rc, m);
}

void Scene::defaultShade(HostRayContext& rc, const Material* override)
{
    ShadeResult& r = rc.result;
    if (rc.light) {
        r.color = rc.light->color * rc.light->intensity;
        r.transp = Color();
        r.alpha = Color(1, 1, 1);
        r.alphaTransp = Color();
        return;
    }
    const Material* m = override ? override : rc.node ? rc.node->materialAt(rc.prim) : nullptr;
    static const Material fallback;
    if (!m)
        m = &fallback;
    Material withMaps;
    if (m->hasMaps()) {
        withMaps = mapped(rc, *m);
        m = &withMaps;
    }

    const Vector view = normalize0(-rc.direction);
    Vector ng = normalize0(rc.bendNormal), n = rc.surfaceNormal;
    const bool back = dotf(ng, view) < 0.0f;
    if (back) {
        ng = -ng;
        n = -n;
    }
    if (dotf(n, view) < 0.0f)
        n = ng;

    const float cosI = std::clamp(dotf(n, view), 0.0f, 1.0f);
    float fr = 1.0f;
    if (m->fresnel) {
        const float eta = back ? m->ior : 1.0f / m->ior;
        const float r0 = (1.0f - eta) / (1.0f + eta);
        fr = r0 * r0 + (1.0f - r0 * r0) * std::pow(1.0f - cosI, 5.0f);
    }
    const Color kr = m->reflect * fr;
    const Color rest(1.0f - kr.r, 1.0f - kr.g, 1.0f - kr.b);
    const Color kt = rest * m->refract;
    const Color kd = rest * Color(1.0f - m->refract.r, 1.0f - m->refract.g, 1.0f - m->refract.b) * m->diffuse;

    const float gloss = m->glossiness;
    const float exponent = gloss < 1.0f ? 2.0f / std::max(1e-4f, (1.0f - gloss) * (1.0f - gloss)) : 0.0f;
    const Color specular = directLight(rc, *m, n, view, exponent);
    Color color = kd * rc.result.color + kr * specular * (exponent > 0.0f ? 0.1f : 0.0f) + m->selfIllumination;

    constexpr int maxDepth = 5;
    const bool reflects = kr.mean() > 0.0f && rc.rayDepth < maxDepth && (!back || m->reflectOnBack);
    Color tir;
    if (kt.mean() > 0.0f && rc.rayDepth < maxDepth) {
        const float eta = back ? m->ior : 1.0f / m->ior;
        const float k = 1.0f - eta * eta * (1.0f - cosI * cosI);
        if (k < 0.0f) {
            tir = kt; // total internal reflection
        } else {
            const Vector t = normalize0(rc.direction * eta + n * (eta * cosI - std::sqrt(k)));
            color += kt * traceColor(rc, RT_REFRACT, rc.position - ng * 1e-3f, t);
        }
    }
    if (reflects || tir.mean() > 0.0f) {
        Vector dir = reflectDir(normalize0(rc.direction), n);
        if (gloss < 1.0f) {
            uint64_t s = rc.seed ^ (static_cast<uint64_t>(rc.sampleIndex) << 20);
            const float spread = (1.0f - gloss) * 0.5f;
            dir = normalize0(dir + Vector(unitRandom(s) - 0.5f, unitRandom(s) - 0.5f, unitRandom(s) - 0.5f) * spread);
            if (dotf(dir, ng) <= 0.0f)
                dir = reflectDir(normalize0(rc.direction), n);
        }
        color += (kr + tir) * traceColor(rc, RT_REFLECT, rc.position + ng * 1e-3f, dir);
    }

    const Color opacity = m->opacity;
    const Color transparency(1.0f - opacity.r, 1.0f - opacity.g, 1.0f - opacity.b);
    r.color = color * opacity;
    r.transp = transparency;
    r.alpha = opacity;
    r.alphaTransp = transparency;
}

void Scene::shade(HostRayContext& rc)
{
    rc.result = ShadeResult{};
    bool handled = false;
    for (VRayIntersectionShader2* shader : intersectionShaders) {
        stats().shaderCalls.fetch_add(1, std::memory_order_relaxed);
        int r = 1;
        {
            const Crossing plugin(true);
            r = shader->shade(rc);
        }
        if (r == 0) {
            handled = true;
            break;
        }
    }
    if (!handled)
        defaultShade(rc);
}

void HostRayContext::defShade()
{
    const Crossing host(false);
    scene_.defaultShade(*this);
}


} // namespace QuorvelHost
