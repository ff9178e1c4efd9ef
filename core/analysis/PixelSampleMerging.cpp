#include "analysis/PixelSampleMerging.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <span>

#include "camera/Plaque.h"
#include "foundation/GeometryUtils.h"

using Quorvel::BinIO::AovFormat;
using Quorvel::BinIO::DetectPlaqueInfo;
using Quorvel::RenderSample::AOVData;
using Quorvel::RenderSample::QvRenderSample;

namespace {

constexpr float kSinglePi = 3.1415927f;
constexpr int kClusterRounds = 5;

struct Vec3 {
    double x = 0.0, y = 0.0, z = 0.0;
};

Vec3 toVec(const VekPoint& p)
{
    return {p.x, p.y, p.z};
}

Vec3 sub(const Vec3& a, const Vec3& b)
{
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}

double dot(const Vec3& a, const Vec3& b)
{
    return a.x * b.x + a.y * b.y + a.z * b.z;
}

double norm(const Vec3& a)
{
    return std::sqrt(dot(a, a));
}

Vec3 along(const Vec3& o, const Vec3& d, double t)
{
    return {o.x + d.x * t, o.y + d.y * t, o.z + d.z * t};
}

Vec3 normalised(const Vec3& a)
{
    const double l = norm(a);
    return l > 0.0 ? Vec3{a.x / l, a.y / l, a.z / l} : Vec3{};
}

// Two depths that cannot lie on one surface seen at this resolution.
bool depthsDiffer(double a, double b, uint64_t width)
{
    const double k = static_cast<double>(kSinglePi) / static_cast<double>(width);
    const double m = std::min(a, b);
    const double limit = ((100.0 * k + m) * 100.0 / std::max(1.0, 100.0 - m * k) - m) * 0.5 + m;
    return std::max(a, b) > limit;
}

bool near(const RenderingContext& context, double a, double b)
{
    return context.isAtProximity(static_cast<float>(a), static_cast<float>(b), 1.0f);
}

struct PlaneFit {
    bool ok = false;
    Vec3 centroid;
    Vec3 normal; // unit
};

// Least-squares plane through the sample positions, from running sums.
PlaneFit fitPlane(const std::vector<QvRenderSample>& samples, std::span<const uint32_t> members)
{
    PlaneFit fit;
    if (members.size() < 3)
        return fit;
    Vec3 o;
    for (uint32_t i : members) {
        const VekPoint& p = samples[i].position;
        o.x += p.x;
        o.y += p.y;
        o.z += p.z;
    }
    const double inv = 1.0 / static_cast<double>(members.size());
    o = {o.x * inv, o.y * inv, o.z * inv};
    double xx = 0, xy = 0, xz = 0, yy = 0, yz = 0, zz = 0;
    for (uint32_t i : members) {
        const Vec3 d = sub(toVec(samples[i].position), o);
        xx += d.x * d.x;
        xy += d.x * d.y;
        xz += d.x * d.z;
        yy += d.y * d.y;
        yz += d.y * d.z;
        zz += d.z * d.z;
    }
    const double dx = yy * zz - yz * yz;
    const double dy = xx * zz - xz * xz;
    const double dz = xx * yy - xy * xy;
    const double largest = std::max({dx, dy, dz});
    if (!(largest > 0.0))
        return fit;
    // Ties go to the first axis: dividing by a smaller, possibly zero,
    // determinant would wreck the normal.
    Vec3 n;
    if (dx == largest)
        n = {1.0, (xz * yz - xy * zz) / dx, (xy * yz - xz * yy) / dx};
    else if (dy == largest)
        n = {(yz * xz - xy * zz) / dy, 1.0, (xy * xz - yz * xx) / dy};
    else
        n = {(yz * xy - xz * yy) / dz, (xz * xy - yz * xx) / dz, 1.0};
    fit.ok = true;
    fit.centroid = o;
    fit.normal = normalised(n);
    return fit;
}

// A cluster is coherent when every sample, pulled along its viewing ray onto
// the fitted plane, stays at the same depth.
bool coherent(const std::vector<QvRenderSample>& samples, std::span<const uint32_t> members,
              const RenderingContext& context, const ViewPointInfo& view, PlaneFit* fitOut = nullptr)
{
    const PlaneFit fit = fitPlane(samples, members);
    if (fitOut != nullptr)
        *fitOut = fit;
    if (!fit.ok)
        return false;
    const Vec3 v = toVec(view.position);
    const double r = context.renderScale;
    for (uint32_t i : members) {
        const Vec3 p = toVec(samples[i].position);
        const Vec3 ray = sub(p, v);
        const double h = dot(fit.normal, ray);
        Vec3 q = fit.centroid;
        if (std::fabs(h) > 1.1920928955078125e-07)
            q = along(v, ray, dot(fit.normal, sub(fit.centroid, v)) / h);
        if (depthsDiffer(norm(sub(q, v)) * r, norm(ray) * r, view.width))
            return false;
    }
    return true;
}

Vec3 centroidOf(const std::vector<QvRenderSample>& samples, std::span<const uint32_t> members)
{
    Vec3 c;
    for (uint32_t i : members) {
        c.x += samples[i].position.x;
        c.y += samples[i].position.y;
        c.z += samples[i].position.z;
    }
    const double inv = 1.0 / static_cast<double>(members.size());
    return {c.x * inv, c.y * inv, c.z * inv};
}

using Cluster = std::vector<uint32_t>; // sample indices in ascending depth

// Per-thread scratch of the layer merge: bucket flushes merge millions of
// pixels and should not allocate for each.
std::vector<Vec3>& orientedScratch()
{
    thread_local std::vector<Vec3> scratch;
    return scratch;
}

class Clusterer {
public:
    Clusterer(const std::vector<QvRenderSample>& samples, const RenderingContext& context, const ViewPointInfo& view)
        : samples_(samples), context_(context), view_(view)
    {
    }

    std::vector<Cluster> run(Cluster all)
    {
        std::vector<Cluster> pending;
        pending.push_back(std::move(all));
        for (int round = 0; round < kClusterRounds && !pending.empty(); ++round) {
            std::vector<Cluster> next;
            for (Cluster& k : pending) {
                if (accepted(k)) {
                    add(std::move(k));
                    continue;
                }
                const size_t cut = splitPoint(k);
                next.emplace_back(k.begin(), k.begin() + static_cast<std::ptrdiff_t>(cut));
                next.emplace_back(k.begin() + static_cast<std::ptrdiff_t>(cut), k.end());
            }
            pending = std::move(next);
        }
        for (Cluster& k : pending)
            add(std::move(k));
        return std::move(result_);
    }

private:
    double depth(uint32_t i) const { return samples_[i].depth; }

    bool accepted(const Cluster& k) const
    {
        return k.size() < 2 || near(context_, depth(k.front()), depth(k.back())) ||
               coherent(samples_, k, context_, view_);
    }

    // Size of the first class of the two-class natural-breaks split.
    size_t splitPoint(const Cluster& k)
    {
        depths_.resize(k.size());
        for (size_t i = 0; i < k.size(); ++i)
            depths_[i] = depth(k[i]);
        Quorvel::Utils::naturalBreaks(depths_, 2, breaks_);
        // Always two non-empty halves, so every round makes progress.
        const int64_t last = breaks_.size() > 1 ? breaks_[1] : -1;
        return static_cast<size_t>(std::clamp<int64_t>(last + 1, 1, static_cast<int64_t>(k.size()) - 1));
    }

    void add(Cluster a)
    {
        if (a.empty())
            return;
        const Vec3 v = toVec(view_.position);
        const double da = norm(sub(v, centroidOf(samples_, a)));
        for (Cluster& b : result_) {
            Cluster u;
            u.reserve(a.size() + b.size());
            std::merge(b.begin(), b.end(), a.begin(), a.end(), std::back_inserter(u),
                       [this](uint32_t l, uint32_t r) { return depth(l) < depth(r); });
            bool joins = near(context_, depth(u.front()), depth(u.back()));
            if (!joins) {
                PlaneFit fit;
                joins = coherent(samples_, u, context_, view_, &fit) &&
                        near(context_, norm(sub(v, fit.centroid)), da);
            }
            if (joins) {
                b = std::move(u);
                return;
            }
        }
        result_.push_back(std::move(a));
    }

    const std::vector<QvRenderSample>& samples_;
    const RenderingContext& context_;
    const ViewPointInfo& view_;
    std::vector<Cluster> result_;
    std::vector<double> depths_;
    std::vector<int32_t> breaks_;
};

void mergeAovs(const AovFormat& registry, const std::vector<QvRenderSample>& samples, const Cluster& layer,
               std::vector<AOVData>& out)
{
    using namespace Quorvel::Phase;
    const size_t slots = registry.types.size();
    out.assign(slots, AOVData{});
    const double count = static_cast<double>(layer.size());
    for (size_t s = 0; s < slots; ++s) {
        AOVData& merged = out[s];
        auto slot = [&](uint32_t i) -> const AOVData* {
            return s < samples[i].aovs.size() ? &samples[i].aovs[s] : nullptr;
        };
        auto meanFloats = [&](int components) {
            for (int c = 0; c < components; ++c) {
                double sum = 0.0;
                for (uint32_t i : layer)
                    if (const AOVData* a = slot(i))
                        sum += a->asVec4[c];
                merged.asVec4[c] = static_cast<float>(sum / count);
            }
        };
        switch (registry.types[s]) {
        case AOV_Byte: {
            size_t set = 0;
            for (uint32_t i : layer)
                if (const AOVData* a = slot(i); a && a->asByte != 0)
                    ++set;
            merged.asByte = 2 * set >= layer.size() ? 1 : 0;
            break;
        }
        case AOV_Int: {
            int64_t sum = 0;
            for (uint32_t i : layer)
                if (const AOVData* a = slot(i))
                    sum += a->asInt;
            merged.asInt = static_cast<int32_t>(sum / static_cast<int64_t>(layer.size()));
            break;
        }
        case AOV_Double: {
            double sum = 0.0;
            for (uint32_t i : layer)
                if (const AOVData* a = slot(i))
                    sum += a->asDouble;
            merged.asDouble = sum / count;
            break;
        }
        case AOV_RGB:
        case AOV_Vector3:
            meanFloats(3);
            break;
        case AOV_RGBA:
            meanFloats(4);
            break;
        case AOV_Vector2:
            meanFloats(2);
            break;
        default:
            break;
        }
    }
}

// The depth where the viewing ray meets the plane, unless the plane is seen
// so obliquely that the hit drifts off the samples.
double planeDepth(const Vec3& point, const Vec3& normal, const ViewPointInfo& view, const RenderingContext& levelContext,
                  double meanDepth)
{
    const Vec3 v = toVec(view.position);
    const Vec3 d = toVec(view.direction);
    const double h = dot(normal, d);
    Vec3 q = point;
    if (std::fabs(h) > 9.999999747378752e-05)
        q = along(v, d, dot(normal, sub(point, v)) / h);
    const double hitDepth = norm(sub(q, v));
    if (std::fabs(h) <= 0.75 && !near(levelContext, hitDepth, meanDepth))
        return meanDepth;
    return hitDepth;
}

TOutPixelData mergeLayer(const DetectPlaqueInfo& plaque, const AovFormat& registry,
                         const std::vector<QvRenderSample>& samples, const Cluster& layer,
                         const RenderingContext& context, const RenderingContext& levelContext,
                         const ViewPointInfo& view)
{
    TOutPixelData out;
    out.x = plaque.x;
    out.y = plaque.y;
    out.cameraIndex = plaque.cameraIndex;
    out.level = plaque.level;
    out.sampleCount = layer.size();

    const double count = static_cast<double>(layer.size());
    const Vec3 v = toVec(view.position);
    double meanDepth = 0.0;
    Vec3 meanPos, meanNormal;
    double colour[4] = {0, 0, 0, 0};
    size_t awayCount = 0;
    std::vector<Vec3>& oriented = orientedScratch();
    oriented.clear();
    for (uint32_t i : layer) {
        const QvRenderSample& s = samples[i];
        meanDepth += s.depth;
        const Vec3 p = toVec(s.position);
        meanPos = {meanPos.x + p.x, meanPos.y + p.y, meanPos.z + p.z};
        // Every normal turned towards the camera before averaging, so that
        // front and back samples of one surface agree.
        Vec3 n = toVec(s.normal);
        const double facing = dot(sub(p, v), n);
        if (facing > 0.0) {
            n = {-n.x, -n.y, -n.z};
            ++awayCount;
        }
        oriented.push_back(n);
        meanNormal = {meanNormal.x + n.x, meanNormal.y + n.y, meanNormal.z + n.z};
        colour[0] += s.color.r;
        colour[1] += s.color.g;
        colour[2] += s.color.b;
        colour[3] += s.color.a;
        out.coverage |= CoverageBit(s.fracX, s.fracY);
    }
    meanDepth /= count;
    meanPos = {meanPos.x / count, meanPos.y / count, meanPos.z / count};
    meanNormal = {meanNormal.x / count, meanNormal.y / count, meanNormal.z / count};
    out.position = {static_cast<float>(meanPos.x), static_cast<float>(meanPos.y), static_cast<float>(meanPos.z)};
    out.color = {static_cast<float>(colour[0] / count), static_cast<float>(colour[1] / count),
                 static_cast<float>(colour[2] / count), static_cast<float>(colour[3] / count)};

    const bool noNormal =
        std::fabs(meanNormal.x) < 1e-4 && std::fabs(meanNormal.y) < 1e-4 && std::fabs(meanNormal.z) < 1e-4;
    Vec3 n = noNormal ? Vec3{} : normalised(meanNormal);
    if (2 * awayCount > layer.size()) {
        n = {-n.x, -n.y, -n.z};
        out.backFacing = 1;
    }

    mergeAovs(registry, samples, layer, out.aovs);

    out.depth = meanDepth;
    if (!noNormal) {
        double spread = 0.0;
        for (const Vec3& ni : oriented) {
            const double e = std::fabs(dot(n, ni)) - 1.0;
            spread += e * e;
        }
        const double sigma = std::sqrt(spread) / count;
        if (sigma < 0.2) {
            out.depth = planeDepth(meanPos, n, view, levelContext, meanDepth);
        } else {
            PlaneFit fit;
            if (coherent(samples, layer, context, view, &fit)) {
                // A fitted plane has no side; keep the one the samples chose.
                n = dot(fit.normal, n) < 0.0 ? Vec3{-fit.normal.x, -fit.normal.y, -fit.normal.z} : fit.normal;
                out.depth = planeDepth(fit.centroid, n, view, levelContext, meanDepth);
            }
        }
    }
    out.normal = {static_cast<float>(n.x), static_cast<float>(n.y), static_cast<float>(n.z)};
    return out;
}

} // namespace

std::array<VekPoint2, 13> GetCoveragePointsPos2D()
{
    const std::array<VekPoint2, 4> corners = GetMainPointsPos2D();
    const std::array<VekPoint2, 8> extended = GetExtendedPointsPos2D();
    std::array<VekPoint2, 13> points{};
    std::copy(corners.begin(), corners.end(), points.begin());
    points[4] = {0.5f, 0.5f};
    std::copy(extended.begin(), extended.end(), points.begin() + 5);
    return points;
}

uint16_t CoverageBit(float fracX, float fracY)
{
    static const std::array<VekPoint2, 13> points = GetCoveragePointsPos2D();
    int best = 0;
    float bestDistance = 0.0f;
    for (int i = 0; i < 13; ++i) {
        const float dx = fracX - points[i].x;
        const float dy = fracY - points[i].y;
        const float d = dx * dx + dy * dy;
        if (i == 0 || d < bestDistance) {
            best = i;
            bestDistance = d;
        }
    }
    return static_cast<uint16_t>(1u << best);
}

RenderingContext ContextAtLevel(const RenderingContext& context, uint64_t level)
{
    RenderingContext coarse;
    coarse.cameras = context.cameras;
    coarse.renderScale = context.renderScale;
    coarse.tolerance = context.tolerance;
    coarse.width = level >= 64 ? 0 : context.width >> level;
    coarse.height = level >= 64 ? 0 : context.height >> level;
    return coarse;
}

std::vector<TOutPixelData> MergePixelSamples(const DetectPlaqueInfo& plaque, const AovFormat& registry,
                                             const std::vector<QvRenderSample>& samples,
                                             const RenderingContext& context, const ViewPointInfo& viewPoint,
                                             const uint64_t& shotRays, bool opaque)
{
    Cluster valid;
    valid.reserve(samples.size());
    int64_t misses = 0;
    for (size_t i = 0; i < samples.size(); ++i) {
        if (std::fabs(samples[i].depth) >= kMissDepth)
            ++misses;
        else if (samples[i].color.a > 1e-4f)
            valid.push_back(static_cast<uint32_t>(i));
    }
    if (opaque) {
        // Rays that returned nothing are misses too. More samples than rays
        // (a host that splits rays) must not wrap the count around.
        misses = std::max<int64_t>(0, static_cast<int64_t>(shotRays) + misses - static_cast<int64_t>(samples.size()));
    }
    if (valid.empty())
        return {};
    std::stable_sort(valid.begin(), valid.end(),
                     [&samples](uint32_t a, uint32_t b) { return samples[a].depth < samples[b].depth; });

    const size_t validCount = valid.size();
    Clusterer clusterer(samples, context, viewPoint);
    std::vector<Cluster> layers = clusterer.run(std::move(valid));

    const RenderingContext levelContext = ContextAtLevel(context, plaque.level);
    std::vector<std::pair<TOutPixelData, const Cluster*>> merged;
    merged.reserve(layers.size());
    for (const Cluster& layer : layers)
        merged.emplace_back(mergeLayer(plaque, registry, samples, layer, context, levelContext, viewPoint), &layer);
    std::stable_sort(merged.begin(), merged.end(),
                     [](const auto& a, const auto& b) { return a.first.depth < b.first.depth; });

    if (opaque) {
        size_t deepest = 0;
        for (size_t i = 1; i < merged.size(); ++i)
            if (merged[i].first.depth > merged[deepest].first.depth)
                deepest = i;
        const double denominator = static_cast<double>(misses) + static_cast<double>(validCount);
        for (size_t i = 0; i < merged.size(); ++i) {
            if (i == deepest && misses == 0)
                continue;
            merged[i].first.color.a = static_cast<float>(static_cast<double>(merged[i].first.sampleCount) / denominator);
        }
    } else {
        const bool hasGlass = registry.HasAOV(Quorvel::BinIO::kAliasTransparency);
        const uint64_t glass = hasGlass ? registry.getIndex(Quorvel::BinIO::kAliasTransparency) : 0;
        const bool hasRight = registry.HasAOV(Quorvel::BinIO::kAliasRightColor);
        const uint64_t right = hasRight ? registry.getIndex(Quorvel::BinIO::kAliasRightColor) : 0;
        int64_t remaining = static_cast<int64_t>(shotRays);
        for (auto& [layer, members] : merged) {
            int64_t passed = 0;
            if (hasGlass)
                for (uint32_t i : *members)
                    if (glass < samples[i].aovs.size())
                        passed += samples[i].aovs[glass].asInt;
            // No ray left to pass through: the layer gets nothing rather
            // than an infinite or undefined weight.
            const float f = remaining > 0 ? static_cast<float>(passed) / static_cast<float>(remaining) : 0.0f;
            layer.color = {layer.color.r * f, layer.color.g * f, layer.color.b * f, layer.color.a * f};
            if (hasRight && right < layer.aovs.size())
                for (int c = 0; c < 3; ++c)
                    layer.aovs[right].asVec3[c] *= f;
            remaining += passed - static_cast<int64_t>(members->size());
        }
    }

    std::vector<TOutPixelData> out;
    out.reserve(merged.size());
    for (auto& entry : merged)
        out.push_back(std::move(entry.first));
    return out;
}

bool IsPlaqueMeaningful(const RenderingContext& context, uint64_t sampleCount, const TOutPixelData& layer)
{
    const VekPoint& n = layer.normal;
    if (std::fabs(n.x) < 1e-4f && std::fabs(n.y) < 1e-4f && std::fabs(n.z) < 1e-4f)
        return true;
    const auto depth = static_cast<float>(layer.depth);
    const Plaque q = GetPlaqueInfo(context, layer.cameraIndex, static_cast<uint64_t>(layer.x),
                                   static_cast<uint64_t>(layer.y), n, depth, static_cast<uint64_t>(layer.level), 1.0f);
    const RenderingContext levelContext = ContextAtLevel(context, static_cast<uint64_t>(layer.level));
    const VekPoint offset{layer.position.x - q.center.x, layer.position.y - q.center.y, layer.position.z - q.center.z};
    const float t = 2.0f * std::fabs(Quorvel::Utils::dot(offset, n));
    if (!levelContext.isAtProximity(depth - t, depth + t, 1.0f))
        return false;
    float reach = 0.0f;
    for (const VekPoint& c : q.corners)
        reach = std::max(reach, Quorvel::Utils::length({c.x - q.center.x, c.y - q.center.y, c.z - q.center.z}));
    if (!levelContext.isAtProximity(depth, depth + 0.1f * reach, 1.0f))
        return false;
    if (levelContext.isAtProximity(depth, depth + 0.5f * reach, 1.0f))
        return true;
    return sampleCount != 0 && static_cast<double>(layer.sampleCount) / static_cast<double>(sampleCount) >= 0.75;
}
