// quorvel_host: rays through Embree, and the frame loop over buckets and render threads.

#include "Scene.h"
#include "SceneInternal.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>

#include "FileNames.h"
#include "foundation/Logger.h"

namespace QuorvelHost {

using namespace VUtils;
namespace QL = Quorvel::Logger;

// ---- Rays ---------------------------------------------------------------------

int Scene::pinholeRay(double x, double y, ScreenRay& ray) const
{
    const Transform& c = fdata_.camToWorld;
    const float tanHalf = tanHalfFov_;
    const float w = static_cast<float>(width_), h = static_cast<float>(height_);
    const float sx = (2.0f * static_cast<float>(x) / w - 1.0f) * tanHalf;
    const float sy = (1.0f - 2.0f * static_cast<float>(y) / h) * tanHalf * h / w;
    ray.origin = c.offset;
    ray.direction = normalize0(c.m[0] * sx + c.m[1] * sy - c.m[2]);
    ray.dOrigin[0] = ray.dOrigin[1] = Vector{};
    ray.dDirection[0] = c.m[0] * (2.0f * tanHalf / w);
    ray.dDirection[1] = c.m[1] * (-2.0f * tanHalf / w);
    ray.flags = 0;
    ray.maxDistance = 1e18;
    ray.weight = AColor(1, 1, 1, 1);
    return 1;
}

bool Scene::intersect(HostRayContext& rc, const Vector& origin, const Vector& dir, float tmin, float tmax)
{
    const bool timed = timedCall();
    const uint64_t t0 = timed ? nowNs() : 0;
    RTCIntersectContext ctx;
    rtcInitIntersectContext(&ctx);
    RTCRayHit rh;
    rh.ray.org_x = origin.x;
    rh.ray.org_y = origin.y;
    rh.ray.org_z = origin.z;
    rh.ray.dir_x = dir.x;
    rh.ray.dir_y = dir.y;
    rh.ray.dir_z = dir.z;
    rh.ray.tnear = tmin;
    rh.ray.tfar = tmax;
    rh.ray.mask = 0xFFFFFFFFu;
    rh.ray.flags = 0;
    rh.ray.time = 0.0f;
    rh.ray.id = 0;
    rh.hit.geomID = RTC_INVALID_GEOMETRY_ID;
    rh.hit.instID[0] = RTC_INVALID_GEOMETRY_ID;
    rtcIntersect1(rtc_, &ctx, &rh);
    stats().rays.fetch_add(1, std::memory_order_relaxed);

    float best = rh.hit.geomID != RTC_INVALID_GEOMETRY_ID ? rh.ray.tfar : tmax;
    Light* hitLight = nullptr;
    Vector lightNormal;
    for (auto& l : lights_) {
        if (l->kind != Light::Rectangle || l->invisible)
            continue;
        const Vector n = l->normal;
        const float denom = dotf(dir, n);
        if (denom == 0.0f)
            continue;
        const float t = dotf(l->transform.offset - origin, n) / denom;
        if (!(t > tmin && t < best))
            continue;
        const Vector q = origin + dir * t - l->transform.offset;
        const Vector ux = l->transform.m[0], vy = l->transform.m[1];
        const float a = dotf(q, ux) / dotf(ux, ux), b = dotf(q, vy) / dotf(vy, vy);
        if (std::fabs(a) <= l->uSize * 0.5f && std::fabs(b) <= l->vSize * 0.5f) {
            best = t;
            hitLight = l.get();
            lightNormal = n;
        }
    }
    if (timed)
        stats().traceNs.fetch_add((nowNs() - t0) * kTimedOneIn, std::memory_order_relaxed);

    rc.origin = origin;
    rc.direction = dir;
    rc.minDistance = tmin;
    rc.maxDistance = tmax;
    rc.node = nullptr;
    rc.light = hitLight;
    rc.channels.clear();
    if (!hitLight && rh.hit.geomID == RTC_INVALID_GEOMETRY_ID) {
        rc.hit = false;
        return false;
    }
    rc.hit = true;
    rc.hitDistance = best;
    rc.rayDistance = best;
    rc.position = origin + dir * best;
    rc.surfaceKind = 0;
    if (hitLight) {
        rc.object = hitLight;
        rc.material = nullptr;
        rc.brdf = nullptr;
        rc.bendNormal = rc.surfaceNormal = lightNormal;
        return true;
    }
    Node* node = rh.hit.geomID < nodeOfGeometry_.size() ? nodeOfGeometry_[rh.hit.geomID] : nullptr;
    rc.node = node;
    rc.prim = rh.hit.primID;
    rc.u = rh.hit.u;
    rc.v = rh.hit.v;
    rc.object = node;
    const Material* material = node ? node->materialAt(rc.prim) : nullptr;
    rc.material = material ? static_cast<PluginBase*>(material->material) : nullptr;
    rc.brdf = material ? static_cast<PluginBase*>(material->brdf) : nullptr;
    rc.bendNormal = Vector(rh.hit.Ng_x, rh.hit.Ng_y, rh.hit.Ng_z);
    const uint32_t* tri = &node->mesh->indices[3 * rc.prim];
    const float w = 1.0f - rc.u - rc.v;
    rc.surfaceNormal = normalize0(node->N[tri[0]] * w + node->N[tri[1]] * rc.u + node->N[tri[2]] * rc.v);

    for (const auto& c : channels_) {
        ChannelValue value;
        value.alias = c->alias;
        value.dataType = c->dataType;
        if (c->source == Channel::ZDepth) {
            value.d[0] = best;
        } else if (c->source == Channel::Velocity) {
            const Vector vel = node->getVelocity(rc);
            value.v[0] = vel.x;
            value.v[1] = vel.y;
            value.v[2] = vel.z;
        } else if (material) {
            const Color diffuse = mappedDiffuse(rc, *material);
            value.v[0] = diffuse.r;
            value.v[1] = diffuse.g;
            value.v[2] = diffuse.b;
        }
        rc.channels.push_back(value);
    }
    return true;
}

bool Scene::occluded(const Vector& from, const Vector& to)
{
    const Vector d = to - from;
    const float dist = lengthf(d);
    if (dist <= 0.0f)
        return false;
    const bool timed = timedCall();
    const uint64_t t0 = timed ? nowNs() : 0;
    RTCIntersectContext ctx;
    rtcInitIntersectContext(&ctx);
    RTCRay ray;
    ray.org_x = from.x;
    ray.org_y = from.y;
    ray.org_z = from.z;
    ray.dir_x = d.x / dist;
    ray.dir_y = d.y / dist;
    ray.dir_z = d.z / dist;
    ray.tnear = 0.0f;
    ray.tfar = dist * 0.999f;
    ray.mask = 0xFFFFFFFFu;
    ray.flags = 0;
    ray.time = 0.0f;
    ray.id = 0;
    rtcOccluded1(rtc_, &ctx, &ray);
    stats().rays.fetch_add(1, std::memory_order_relaxed);
    if (timed)
        stats().traceNs.fetch_add((nowNs() - t0) * kTimedOneIn, std::memory_order_relaxed);
    return ray.tfar < 0.0f;
}

VRayContext* HostRayContext::newSpawnContext()
{
    auto* child = new HostRayContext(scene_);
    child->rayType = rayType;
    child->rayDepth = rayDepth + 1;
    child->threadIndex = threadIndex;
    child->screenX = screenX;
    child->screenY = screenY;
    child->sampleIndex = sampleIndex;
    child->seed = seed;
    return child;
}

void HostRayContext::releaseContext(VRayContext* child)
{
    delete static_cast<HostRayContext*>(child);
}


bool HostRayContext::traceRay(const Vector& o, const Vector& dir, float mint, float maxt)
{
    const Crossing host(false);
    // Surfaces that let the ray through are composited front to back.
    Color color, alpha, weight(1, 1, 1), alphaWeight(1, 1, 1);
    float tmin = mint;
    bool anyHit = false;
    for (int layer = 0; layer < 32; ++layer) {
        if (!scene_.intersect(*this, o, dir, tmin, maxt)) {
            color += weight * scene_.background();
            break;
        }
        anyHit = true;
        const float at = hitDistance;
        scene_.shade(*this);
        color += weight * result.color;
        alpha += alphaWeight * result.alpha;
        weight = weight * result.transp;
        alphaWeight = alphaWeight * result.alphaTransp;
        if (weight.mean() <= 1e-4f && alphaWeight.mean() <= 1e-4f)
            break;
        tmin = at + 1e-3f;
    }
    result.color = color;
    result.alpha = alpha;
    result.transp = weight;
    result.alphaTransp = alphaWeight;
    return anyHit;
}

bool HostRayContext::findNextIntersection(const Vector& o, const Vector& dir, float mint, float maxt)
{
    const Crossing host(false);
    return scene_.intersect(*this, o, dir, mint, maxt);
}

// ---- Frame rendering ----------------------------------------------------------

bool Scene::renderImage(int threads)
{
    int n = 1;
    switch (imageSamplerParams_.type) {
    case SAMPLER_FIXED: n = imageSamplerParams_.fixedSubdivs; break;
    case SAMPLER_ADAPTIVE: n = imageSamplerParams_.adaptiveMinRate; break;
    case SAMPLER_PROGRESSIVE:
        n = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(progressiveParams_.minSamplesPerPixel))));
        break;
    default: n = 1; break;
    }
    n = std::clamp(n, 1, 64);
    const int bw = regionParams_.xc, bh = regionParams_.yc;
    const int bx = (width_ + bw - 1) / bw, by = (height_ + bh - 1) / bh;
    const int buckets = bx * by;
    // With render servers, process k of `count` renders every count-th bucket.
    const HostOptions& opt = host_.options();
    const int count = host_.isServer() ? opt.serverCount : opt.renderServers + 1;
    const int self = host_.isServer() ? opt.serverIndex : 0;
    auto bucketRect = [&](int b, int rect[4]) {
        rect[0] = (b % bx) * bw;
        rect[1] = (b / bx) * bh;
        rect[2] = std::min(width_, (b % bx + 1) * bw);
        rect[3] = std::min(height_, (b / bx + 1) * bh);
    };
    std::vector<int> mine;
    for (int b = self; b < buckets; b += std::max(count, 1))
        mine.push_back(b);
    std::atomic<int> next{0};
    std::mutex progressMutex;
    QL::QvResetprogress(static_cast<uint64_t>(buckets));
    const bool ownCamera = camera == pinhole_.get();
    const bool ownSampler = pathSampler == pathSampler0_.get();

    auto worker = [&](int threadIndex) {
        const ClockedThread clock(stats());
        HostRayContext rc(*this);
        for (;;) {
            const int k = next.fetch_add(1);
            if (k >= static_cast<int>(mine.size()) || host_.aborted())
                return;
            int rect[4];
            bucketRect(mine[static_cast<size_t>(k)], rect);
            OutputRegion* region = nullptr;
            {
                const Crossing plugin(true);
                region = regionDoneCallback->newOutputRegion(rect);
                if (region)
                    regionDoneCallback->regionBegin(region, threadIndex, 0);
            }
            for (int y = rect[1]; y < rect[3]; ++y)
                for (int x = rect[0]; x < rect[2]; ++x) {
                    PixelSamplingState state;
                    {
                        const Crossing plugin(!ownSampler);
                        pathSampler->initPixel(state, x, y);
                    }
                    Color sum, alphaSum;
                    for (int s = 0; s < n * n; ++s) {
                        const double sx = x + (s % n + 0.5) / n, sy = y + (s / n + 0.5) / n;
                        ScreenRay ray;
                        {
                            const Crossing plugin(!ownCamera);
                            if (!camera->getScreenRay(sx, sy, threadIndex, ray))
                                continue;
                        }
                        rc.rayType = RT_CAMERA;
                        rc.rayDepth = 0;
                        rc.rayMode = 0;
                        rc.visibility = 1;
                        rc.threadIndex = threadIndex;
                        rc.screenX = sx;
                        rc.screenY = sy;
                        rc.sampleIndex = static_cast<uint32_t>(s);
                        rc.seed = state.seed + static_cast<uint64_t>(s);
                        rc.dDdx = ray.dDirection[0];
                        rc.dDdy = ray.dDirection[1];
                        rc.traceRay(ray.origin, ray.direction, 0.0f, static_cast<float>(ray.maxDistance));
                        sum += mapColor(rc.result.color);
                        alphaSum += rc.result.alpha;
                    }
                    const float k = 1.0f / static_cast<float>(n * n);
                    if (region)
                        region->setPixel(x, y, AColor(sum.r * k, sum.g * k, sum.b * k, alphaSum.mean() * k));
                }
            {
                const Crossing plugin(true);
                // A server serialises the region before region done consumes it.
                if (region && host_.isServer() && !host_.sendRegion(*region)) {
                    host_.log().error("render server: cannot send a region to the client");
                    host_.abortRender();
                }
                if (region) {
                    regionDoneCallback->regionDone(region);
                    regionDoneCallback->releaseOutputRegion(region);
                }
            }
            std::lock_guard lock(progressMutex);
            QL::QvIncreaseprogress();
        }
    };
    threads = std::max(1, threads);
    std::vector<std::thread> pool;
    for (int t = 1; t < threads; ++t)
        pool.emplace_back(worker, t);
    worker(0);
    for (auto& t : pool)
        t.join();
    for (int server = 1; server < count && !host_.isServer() && !host_.aborted(); ++server)
        receiveRegions(server, [&] {
            std::vector<std::array<int, 4>> rects;
            for (int b = server; b < buckets; b += count) {
                int rect[4];
                bucketRect(b, rect);
                rects.push_back({rect[0], rect[1], rect[2], rect[3]});
            }
            return rects;
        }());
    QL::QvSetDoneProgression();
    return !host_.aborted();
}

namespace {

bool readFull(int fd, void* data, size_t size)
{
    auto* p = static_cast<uint8_t*>(data);
    while (size > 0) {
        const ssize_t n = ::read(fd, p, size);
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace

void Scene::receiveRegions(int server, std::vector<std::array<int, 4>> expected)
{
    // The server is another process: every field is checked before use.
    constexpr int64_t maxBuffer = int64_t(1) << 30;
    const int fd = host_.serverFd(server - 1);
    auto fail = [&](const char* what) {
        host_.log().error((std::string("render server ") + std::to_string(server) + ": " + what).c_str());
        host_.abortRender();
    };
    while (!expected.empty()) {
        uint8_t head[28];
        if (!readFull(fd, head, sizeof head))
            return fail("the connection closed before all regions arrived");
        if (std::memcmp(head, "QVRB", 4) != 0)
            return fail("not a region buffer");
        std::array<int, 4> rect;
        for (int i = 0; i < 4; ++i) {
            uint32_t v = 0;
            for (int b = 0; b < 4; ++b)
                v |= static_cast<uint32_t>(head[4 + 4 * i + b]) << (8 * b);
            rect[static_cast<size_t>(i)] = static_cast<int>(v);
        }
        uint64_t size = 0;
        for (int b = 0; b < 8; ++b)
            size |= static_cast<uint64_t>(head[20 + b]) << (8 * b);
        const auto it = std::find(expected.begin(), expected.end(), rect);
        if (it == expected.end())
            return fail("a region that was not the server's");
        if (size == 0 || size > static_cast<uint64_t>(maxBuffer))
            return fail("a region buffer of an impossible size");
        expected.erase(it);
        std::vector<uint8_t> buffer(static_cast<size_t>(size));
        if (!readFull(fd, buffer.data(), buffer.size()))
            return fail("the connection closed inside a region buffer");
        OutputRegion* region = regionDoneCallback->newOutputRegion(rect.data());
        if (!region)
            continue;
        const int taken = region->putBuffer(buffer.data(), static_cast<int64_t>(buffer.size()));
        if (taken)
            regionDoneCallback->regionDone(region);
        regionDoneCallback->releaseOutputRegion(region);
        if (!taken)
            return fail("a region buffer the frame buffer refused");
    }
}

uint64_t Scene::traceRaysOnly(int threads)
{
    std::atomic<int> nextRow{0};
    std::atomic<uint64_t> hits{0};
    auto worker = [&] {
        HostRayContext rc(*this);
        uint64_t local = 0;
        for (int y; (y = nextRow.fetch_add(1)) < height_;)
            for (int x = 0; x < width_; ++x) {
                ScreenRay ray;
                if (!camera->getScreenRay(x + 0.5, y + 0.5, 0, ray))
                    continue;
                local += intersect(rc, ray.origin, ray.direction, 0.0f, 1e30f) ? 1 : 0;
            }
        hits.fetch_add(local);
    };
    std::vector<std::thread> pool;
    for (int t = 1; t < threads; ++t)
        pool.emplace_back(worker);
    worker();
    for (auto& t : pool)
        t.join();
    return hits.load();
}

bool Scene::writeOutput(std::string& written)
{
    written.clear();
    if (output_.imgFile.empty())
        return true;
    const std::string name = expandFrameNumber(output_.imgFile, (output_.flags & OUTPUT_FRAME_NUMBERS) != 0,
                                               fdata_.frameNumber, output_.framePadding,
                                               settings2_.dotBeforeFrameNumber != 0);
    written = file_.resolvePath(joinPath(output_.imgDir, name));
    return writePng(written, image_, width_, height_);
}


} // namespace QuorvelHost
