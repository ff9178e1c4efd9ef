#include "analysis/PlaqueKDTree.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <fstream>
#include <limits>
#include <numeric>

#include "analysis/PixelSampleMerging.h"
#include "context/QuorvelContext.h"

using Quorvel::Binary::vekbin;
using Quorvel::BinIO::DetectPlaqueInfo;
using Quorvel::BinIO::qvlRenderSample5_t;
using Quorvel::RenderSample::AOVData;
using Quorvel::Utils::dot;

namespace {

constexpr float kGrazingCosine = 0.05f;
constexpr float kMinAlignment = 0.7f;
constexpr float kTestPointScale = 0.909f;
constexpr size_t kQueryReserve = 1024;

VekPoint sub(const VekPoint& a, const VekPoint& b)
{
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}

VekPoint add(const VekPoint& a, const VekPoint& b)
{
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}

VekPoint scaled(const VekPoint& a, float s)
{
    return {a.x * s, a.y * s, a.z * s};
}

VekPoint cross(const VekPoint& a, const VekPoint& b)
{
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

bool usableNormal(const VekPoint& n)
{
    if (!std::isfinite(n.x) || !std::isfinite(n.y) || !std::isfinite(n.z))
        return false;
    return n.x * n.x + n.y * n.y + n.z * n.z >= 9.999999e-9f;
}

// Barycentric test with a small tolerance, so that a point on an edge shared
// by two plaques belongs to both.
bool inTriangle(const VekPoint& a, const VekPoint& b, const VekPoint& e, const VekPoint& p)
{
    const VekPoint ab = sub(b, a);
    const VekPoint ae = sub(e, a);
    const VekPoint n = cross(ab, ae);
    const double n2 = double(n.x) * n.x + double(n.y) * n.y + double(n.z) * n.z;
    if (n2 < 1e-8)
        return Quorvel::Utils::length(sub(p, a)) < 0.0002f;
    // Drop the axis the triangle's normal is largest on.
    const float ax = std::fabs(n.x), ay = std::fabs(n.y), az = std::fabs(n.z);
    int u = 1, v = 2; // project onto yz
    if (ay >= ax && ay >= az) {
        u = 2;
        v = 0;
    } else if (az >= ax && az >= ay) {
        u = 0;
        v = 1;
    }
    auto c = [](const VekPoint& q, int axis) {
        return double(axis == 0 ? q.x : axis == 1 ? q.y : q.z);
    };
    const VekPoint ap = sub(p, a);
    const double d00 = c(ab, u), d01 = c(ae, u), d10 = c(ab, v), d11 = c(ae, v);
    const double det = d00 * d11 - d01 * d10;
    if (det == 0.0)
        return false;
    const double pu = c(ap, u), pv = c(ap, v);
    const double beta = (pu * d11 - d01 * pv) / det;
    const double gamma = (d00 * pv - d10 * pu) / det;
    const double alpha = 1.0 - beta - gamma;
    return beta >= -0.005 && alpha >= -0.005 && beta + alpha <= 1.005;
}

// The first candidate whose patch the line through the test point along the
// plaque's normal meets, not beyond the plaque's own reach.
template <class Candidates>
int32_t coveringPlaque(const PlaqueKDTree& tree, const Plaque& p, const VekPoint& t, Candidates& candidates)
{
    const float m = Quorvel::Utils::length(sub(t, p.center));
    const VekPoint l = add(t, scaled(p.normal, 10000.0f));
    const VekPoint tl = sub(t, l);
    for (size_t n = 0;; ++n) {
        const auto* candidate = candidates.at(tree, n);
        if (candidate == nullptr)
            break;
        // A hit in K's triangles lies within `reach` of its centre, and a
        // cover's hit within reach + m of t: most candidates fail these
        // before the triangle tests.
        const float reach = candidate->reach;
        const VekPoint tc = sub(t, candidate->center);
        const float far = 2.0f * reach + m;
        if (dot(tc, tc) > far * far)
            continue;
        const int32_t index = candidate->index;
        const Plaque& k = tree.plaques[static_cast<size_t>(index)];
        const float denom = dot(k.normal, tl);
        VekPoint hit = k.center;
        if (std::fabs(denom) > 1.1920929e-7f)
            hit = add(l, scaled(tl, dot(sub(k.center, l), k.normal) / denom));
        const float fromCentre = Quorvel::Utils::length(sub(hit, k.center));
        if (fromCentre > reach || !(Quorvel::Utils::length(sub(hit, t)) < fromCentre + m))
            continue;
        const auto& c = k.corners;
        if (inTriangle(c[0], c[1], c[2], hit) || inTriangle(c[2], c[3], c[1], hit))
            return index;
    }
    return -1;
}

bool indexable(const Plaque& p)
{
    return p.hasNormal && p.quality > 0.0 && p.cosine >= kGrazingCosine;
}

// A plaque carries the pixel of its own level's grid but not the level. The
// level is the one whose pixel-centre ray passes through the plaque centre.
RenderingContext plaqueGrid(const RenderingContext& context, const Plaque& p)
{
    const VekPoint camera = context.cameras != nullptr && p.cameraIndex < context.cameras->size()
                                ? (*context.cameras)[p.cameraIndex]
                                : VekPoint{0.0f, 0.0f, 0.0f};
    const VekPoint view = Quorvel::Utils::normalize(sub(p.center, camera));
    uint64_t best = 0;
    float bestDot = -2.0f;
    for (uint64_t level = 0; level < 8; ++level) {
        if ((context.width >> level) <= p.x || (context.height >> level) <= p.y)
            break;
        const float d = dot(view, ContextAtLevel(context, level).GetCenterDirection(p.x, p.y));
        if (d > bestDot) {
            bestDot = d;
            best = level;
        }
    }
    return ContextAtLevel(context, best);
}

// A plaque that may cover one of `camera` with the given normal.
bool eligible(const PlaqueKDTree& tree, size_t i, const VekPoint& normal, float minAlignment, int32_t camera)
{
    if (tree.removed[i])
        return false;
    const Plaque& k = tree.plaques[i];
    return static_cast<int32_t>(k.cameraIndex) != camera && k.cosine >= kGrazingCosine &&
           std::fabs(dot(k.normal, normal)) >= minAlignment;
}

// Candidates of one plaque in descending quality, ordered lazily: the cover
// of a test point is usually among the first few of thousands, so a heap
// that is popped on demand replaces a full sort. Buffers are reused.
class CandidateOrder {
public:
    CandidateOrder()
    {
        found_.reserve(kQueryReserve);
        heap_.reserve(kQueryReserve);
        ordered_.reserve(kQueryReserve);
    }

    CandidateOrder(const CandidateOrder&) = delete;
    CandidateOrder& operator=(const CandidateOrder&) = delete;

    // Render threads: the plaques and removal bits as they are.
    void collect(const PlaqueKDTree& tree, const Plaque& p, float radius)
    {
        tree.location.Locate({p.center.x, p.center.y, p.center.z}, radius, found_);
        reset();
        const auto own = static_cast<int32_t>(p.cameraIndex);
        for (int32_t index : found_)
            if (eligible(tree, static_cast<size_t>(index), p.normal, kMinAlignment, own))
                heap_.push_back({tree.plaques[static_cast<size_t>(index)].quality, index});
        std::make_heap(heap_.begin(), heap_.end(), less);
    }

    // Removal runs: the same filter on the slot-ordered copy.
    void collectFromSlots(const PlaqueKDTree& tree, const Plaque& p, float radius)
    {
        tree.location.LocateSlots({p.center.x, p.center.y, p.center.z}, radius, found_);
        reset();
        const auto& slots = tree.Slots();
        const auto own = static_cast<uint8_t>(p.cameraIndex);
        for (int32_t slot : found_) {
            const PlaqueKDTree::SlotInfo& k = slots[static_cast<size_t>(slot)];
            if (k.removed || k.camera == own || k.cosine < kGrazingCosine ||
                std::fabs(dot(k.normal, p.normal)) < kMinAlignment)
                continue;
            heap_.push_back({k.quality, k.plaque});
        }
        std::make_heap(heap_.begin(), heap_.end(), less);
    }

    bool empty() const { return heap_.empty() && ordered_.empty(); }

    void reset()
    {
        heap_.clear();
        ordered_.clear();
    }

    // What the cover search reads of a candidate before its triangles,
    // kept together so that rescanning the ordered prefix for each test
    // point reads memory in sequence.
    struct Ordered {
        VekPoint center;
        float reach;
        int32_t index;
    };

    // The i-th best candidate, null past the last.
    const Ordered* at(const PlaqueKDTree& tree, size_t i)
    {
        while (ordered_.size() <= i) {
            if (heap_.empty())
                return nullptr;
            std::pop_heap(heap_.begin(), heap_.end(), less);
            const int32_t index = heap_.back().index;
            heap_.pop_back();
            const auto k = static_cast<size_t>(index);
            ordered_.push_back({tree.plaques[k].center, tree.CoverReach(k), index});
        }
        return &ordered_[i];
    }

private:
    struct Entry {
        double quality;
        int32_t index;
    };
    static bool less(const Entry& a, const Entry& b) { return a.quality < b.quality; }

    std::vector<int32_t> found_;
    std::vector<Entry> heap_;
    std::vector<Ordered> ordered_;
};

using Scratch = CandidateOrder;

OverlapAction overlapAction(const PlaqueKDTree& tree, const Plaque& p, uint16_t mask, bool qualityCheck,
                            std::vector<bool>& marks, Scratch& scratch, bool fromSlots)
{
    if (!usableNormal(p.normal))
        return NoNormal;
    if (p.cosine <= kGrazingCosine)
        return Keep;
    CandidateOrder& candidates = scratch;
    if (fromSlots)
        candidates.collectFromSlots(tree, p, OverlapRadius(tree, p));
    else
        candidates.collect(tree, p, OverlapRadius(tree, p));
    if (candidates.empty())
        return Keep;

    std::array<int32_t, 12> covers; // the corners' and extended points' covers, for marking
    covers.fill(-1);
    uint32_t count = 0;
    double qualitySum = 0.0;
    double prioritySum = 0.0;
    for (int i = 0; i < 5; ++i) {
        if ((mask & (1u << i)) == 0)
            continue;
        const VekPoint t = i < 4 ? add(p.center, scaled(sub(p.corners[i], p.center), kTestPointScale)) : p.center;
        const int32_t cover = coveringPlaque(tree, p, t, candidates);
        if (cover < 0)
            return Keep;
        const Plaque& k = tree.plaques[static_cast<size_t>(cover)];
        if (p.facesCamera && !k.facesCamera)
            return Keep;
        ++count;
        qualitySum += k.quality;
        prioritySum += tree.CameraPriority(k.cameraIndex);
        if (i < 4)
            covers[static_cast<size_t>(i)] = cover;
    }
    if (qualityCheck && count > 0) {
        const double meanQuality = qualitySum / count;
        const double meanPriority = prioritySum / count;
        if ((1.0 - double(tree.context.tolerance)) * p.quality > meanQuality ||
            double(tree.CameraPriority(p.cameraIndex)) < meanPriority)
            return Defer;
    }
    if ((mask >> 5) != 0) {
        // On the plaque's own grid: a coarse plaque's pixel read on the full
        // grid would put these points elsewhere in the image.
        const std::array<VekPoint, 8> extended = GetExtendedPoints(plaqueGrid(tree.context, p), p, kTestPointScale);
        for (int i = 0; i < 8; ++i) {
            if ((mask & (1u << (5 + i))) == 0)
                continue;
            const int32_t cover = coveringPlaque(tree, p, extended[static_cast<size_t>(i)], candidates);
            if (cover < 0)
                return Keep;
            covers[static_cast<size_t>(4 + i)] = cover;
        }
    }
    if (!marks.empty())
        for (int32_t cover : covers)
            if (cover >= 0 && static_cast<size_t>(cover) < marks.size())
                marks[static_cast<size_t>(cover)] = true;
    return Remove;
}

// The removal passes over the plaques in the given order. `fillHole(i)` tells
// an estimated fill hole (examined without the quality check).
template <class FillHole>
void removeOverlaps(PlaqueKDTree& tree, const std::vector<uint32_t>& order, FillHole fillHole,
                    DebugOverlapCounters* counters)
{
    DebugOverlapCounters local;
    DebugOverlapCounters& c = counters != nullptr ? *counters : local;
    c = DebugOverlapCounters{};
    c.indices = tree.plaques.size();
    tree.RefreshSlots();
    Scratch scratch;

    std::vector<uint32_t> deferred;
    std::vector<bool> marks(tree.plaques.size(), false);
    for (uint32_t i : order) {
        const Plaque& p = tree.plaques[i];
        const bool hole = fillHole(i);
        c.backFaces += p.facesCamera ? 0 : 1;
        c.fillHoles += hole ? 1 : 0;
        c.hyperTangents += p.cosine < kGrazingCosine ? 1 : 0;
        if (marks[i]) {
            deferred.push_back(i);
            ++c.deferredCount;
            continue;
        }
        switch (overlapAction(tree, p, kAllOverlapTestPoints, !hole, marks, scratch, true)) {
        case NoNormal:
            ++c.noNormal;
            break;
        case Remove:
            tree.MarkRemoved(i);
            ++c.firstPass;
            break;
        case Defer:
            deferred.push_back(i);
            ++c.deferredCount;
            break;
        case Keep:
            break;
        }
    }

    std::vector<uint32_t> next;
    while (!deferred.empty()) {
        marks.assign(tree.plaques.size(), false);
        next.clear();
        for (uint32_t i : deferred) {
            if (marks[i]) {
                next.push_back(i);
                ++c.deferredCount;
                continue;
            }
            const OverlapAction action =
                overlapAction(tree, tree.plaques[i], kAllOverlapTestPoints, !fillHole(i), marks, scratch, true);
            if (action == Remove) {
                tree.MarkRemoved(i);
                ++c.laterPasses;
            } else if (action == Defer) {
                next.push_back(i);
            }
        }
        const bool stalled = next.size() == deferred.size();
        deferred.swap(next);
        if (stalled)
            break;
    }
}

// Worst plaques first: back faces before front faces, then by quality.
std::vector<uint32_t> backFacesThenQuality(const PlaqueKDTree& tree)
{
    std::vector<uint32_t> order(tree.plaques.size());
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(), [&tree](uint32_t a, uint32_t b) {
        const Plaque& pa = tree.plaques[a];
        const Plaque& pb = tree.plaques[b];
        if (pa.facesCamera != pb.facesCamera)
            return !pa.facesCamera;
        return pa.quality < pb.quality;
    });
    return order;
}

} // namespace

template <class Record, class QualityOverride>
void PlaqueKDTree::build(const RenderingContext& source, const std::vector<Record>& records, float scale,
                         QualityOverride zeroQuality)
{
    removed.assign(records.size(), false);
    context.cameras = source.cameras;
    context.width = source.width;
    context.height = source.height;
    context.renderScale = source.renderScale;
    context.tolerance = source.tolerance;
    cameraPriorities = Quorvel::Phase::getQuorvelContext().cameraPriorities;

    context.InitLookup();
    plaques.resize(records.size());
    for (size_t i = 0; i < records.size(); ++i) {
        plaques[i] = GetPlaqueInfo(context, records[i], scale);
        if (zeroQuality(records[i]))
            plaques[i].quality = 0.0;
    }
    context.ReleaseLookup();

    std::vector<kdpl::Point> centres;
    centres.reserve(plaques.size());
    for (size_t i = 0; i < plaques.size(); ++i)
        if (indexable(plaques[i]))
            centres.push_back({plaques[i].center.x, plaques[i].center.y, plaques[i].center.z, static_cast<int32_t>(i)});
    location.Init(centres);
    RefreshSlots();
}

float PlaqueKDTree::CoverReach(size_t plaque) const
{
    return plaque < coverReach_.size() ? coverReach_[plaque] : std::numeric_limits<float>::infinity();
}

void PlaqueKDTree::RefreshSlots()
{
    // Barycentric coordinates down to -0.005 reach 1.02 times the farthest
    // corner; a point of a degenerate triangle may lie 0.0002 off a corner.
    // The margin covers rounding of the hit off the plane.
    coverReach_.resize(plaques.size());
    for (size_t i = 0; i < plaques.size(); ++i) {
        float r = 0.0f;
        for (const VekPoint& c : plaques[i].corners)
            r = std::max(r, Quorvel::Utils::length(sub(c, plaques[i].center)));
        coverReach_[i] = 1.1f * r + 1e-3f;
    }
    slots_.assign(location.SlotCount(), SlotInfo{{0.0f, 0.0f, 0.0f}, 0.0f, 0.0, -1, 0, 1});
    slotOf_.assign(plaques.size(), -1);
    for (size_t slot = 0; slot < slots_.size(); ++slot) {
        const int32_t index = location.SlotIndex(slot);
        if (index < 0 || static_cast<size_t>(index) >= plaques.size())
            continue;
        const Plaque& p = plaques[static_cast<size_t>(index)];
        slots_[slot] = {p.normal, p.cosine, p.quality, index, static_cast<uint8_t>(p.cameraIndex),
                        static_cast<uint8_t>(removed[static_cast<size_t>(index)] ? 1 : 0)};
        slotOf_[static_cast<size_t>(index)] = static_cast<int32_t>(slot);
    }
}

void PlaqueKDTree::MarkRemoved(size_t plaque)
{
    removed[plaque] = true;
    if (plaque < slotOf_.size() && slotOf_[plaque] >= 0)
        slots_[static_cast<size_t>(slotOf_[plaque])].removed = 1;
}

PlaqueKDTree::PlaqueKDTree(const RenderingContext& source, const std::vector<DetectPlaqueInfo>& records, float scale)
{
    build(source, records, scale, [](const DetectPlaqueInfo& r) { return r.estimated != 0; });
}

PlaqueKDTree::PlaqueKDTree(const RenderingContext& source, const std::vector<qvlRenderSample5_t>& records,
                           float scale)
{
    build(source, records, scale,
          [](const qvlRenderSample5_t& r) { return std::fabs(static_cast<float>(r.colour[3]) - 1.0f) > 0.05f; });
}

PlaqueKDTree::PlaqueKDTree(const RenderingContext& source, const std::vector<vekbin>& records, float scale,
                           bool keepAllQualities)
{
    build(source, records, scale, [keepAllQualities](const vekbin& r) {
        return !keepAllQualities && std::fabs(r.colour.a - 1.0f) > 0.05f;
    });
}

float PlaqueKDTree::CameraPriority(uint32_t camera) const
{
    return camera < cameraPriorities.size() ? cameraPriorities[camera] : 0.0f;
}

void PlaqueKDTree::GetOverlapList(const VekPoint& centre, float radius, const VekPoint& normal, float minAlignment,
                                  int32_t excludedCamera, std::vector<int32_t>& found, std::vector<int32_t>& out) const
{
    location.Locate({centre.x, centre.y, centre.z}, radius, found);
    out.clear();
    for (int32_t index : found)
        if (eligible(*this, static_cast<size_t>(index), normal, minAlignment, excludedCamera))
            out.push_back(index);
    std::sort(out.begin(), out.end(),
              [this](int32_t a, int32_t b) { return plaques[size_t(a)].quality > plaques[size_t(b)].quality; });
}

std::vector<int32_t> PlaqueKDTree::GetOverlapList(const VekPoint& centre, float radius, const VekPoint& normal,
                                                  float minAlignment, int32_t excludedCamera) const
{
    std::vector<int32_t> found;
    found.reserve(kQueryReserve);
    std::vector<int32_t> out;
    GetOverlapList(centre, radius, normal, minAlignment, excludedCamera, found, out);
    return out;
}

float OverlapRadius(const PlaqueKDTree& tree, const Plaque& p)
{
    float reach = 0.0f;
    for (const VekPoint& c : p.corners)
        reach = std::max(reach, Quorvel::Utils::length(sub(c, p.center)));
    constexpr float twoPi = 2.0f * 3.1415927f;
    return std::min(4.0f * reach, p.depth * twoPi / static_cast<float>(tree.context.width) * 10.0f);
}

OverlapAction GetOverlapAction(const PlaqueKDTree& tree, const Plaque& plaque, uint16_t testPoints,
                               bool qualityCheck, std::vector<bool>& marks)
{
    // Render threads ask once per merged layer; keep their buffers.
    thread_local Scratch scratch;
    return overlapAction(tree, plaque, testPoints, qualityCheck, marks, scratch, false);
}

void DectectOverlapsWithQualityCheck(PlaqueKDTree& tree, const std::vector<DetectPlaqueInfo>& records,
                                     DebugOverlapCounters* counters)
{
    const size_t n = std::min(records.size(), tree.plaques.size());
    auto hole = [&records, n](uint32_t i) { return i < n && records[i].estimated != 0; };
    std::vector<uint32_t> order(tree.plaques.size());
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
        const bool ha = hole(a), hb = hole(b);
        if (ha != hb)
            return ha;
        const Plaque& pa = tree.plaques[a];
        const Plaque& pb = tree.plaques[b];
        if (pa.facesCamera != pb.facesCamera)
            return !pa.facesCamera;
        return pa.quality < pb.quality;
    });
    removeOverlaps(tree, order, hole, counters);
}

void DectectOverlapSamplesWithQualityCheck(PlaqueKDTree& tree, const std::vector<qvlRenderSample5_t>&,
                                           DebugOverlapCounters* counters)
{
    std::vector<uint32_t> order(tree.plaques.size());
    std::iota(order.begin(), order.end(), 0u);
    removeOverlaps(tree, order, [](uint32_t) { return false; }, counters);
}

void DectectOverlapVekbinWithQualityCheck(PlaqueKDTree& tree, const std::vector<vekbin>&,
                                          DebugOverlapCounters* counters)
{
    removeOverlaps(tree, backFacesThenQuality(tree), [](uint32_t) { return false; }, counters);
}

void DectectBackfaceVekbin(PlaqueKDTree& tree, const std::vector<vekbin>&, DebugOverlapCounters* counters)
{
    DebugOverlapCounters local;
    DebugOverlapCounters& c = counters != nullptr ? *counters : local;
    c = DebugOverlapCounters{};
    c.indices = tree.plaques.size();
    std::vector<int32_t> found;
    found.reserve(kQueryReserve);
    for (uint32_t i : backFacesThenQuality(tree)) {
        const Plaque& p = tree.plaques[i];
        if (tree.removed[i] || !usableNormal(p.normal) || !(p.cosine > kGrazingCosine))
            continue;
        tree.location.Locate({p.center.x, p.center.y, p.center.z}, OverlapRadius(tree, p) / 4.0f, found);
        const VekPoint back = scaled(p.normal, -1.0f);
        double sum = 0.0;
        size_t count = 0;
        for (int32_t index : found) {
            const auto k = static_cast<size_t>(index);
            const Plaque& q = tree.plaques[k];
            if (q.cameraIndex == p.cameraIndex || tree.removed[k] || q.cosine < kGrazingCosine ||
                dot(q.normal, back) < 0.25f)
                continue;
            sum += std::fabs(q.quality);
            ++count;
        }
        if (count > 0 && 2.0 * p.quality < sum / static_cast<double>(count)) {
            tree.MarkRemoved(i);
            ++c.backFaces;
        }
    }
}

void RemoveOverlapList(std::vector<DetectPlaqueInfo>& records, const std::vector<bool>& removed)
{
    if (removed.size() != records.size())
        return;
    size_t kept = 0;
    for (size_t i = 0; i < records.size(); ++i)
        if (!removed[i])
            records[kept++] = records[i];
    records.resize(kept);
}

void RemoveOverlapSample5List(std::vector<qvlRenderSample5_t>& records, std::vector<AOVData>& aovs,
                              uint64_t aovsPerSample, const std::vector<bool>& removed)
{
    if (removed.size() != records.size())
        return;
    if (aovsPerSample != 0 && aovs.size() / aovsPerSample < records.size())
        return;
    size_t kept = 0;
    for (size_t i = 0; i < records.size(); ++i) {
        if (removed[i])
            continue;
        if (kept != i) {
            records[kept] = records[i];
            std::copy_n(aovs.begin() + static_cast<std::ptrdiff_t>(i * aovsPerSample), aovsPerSample,
                        aovs.begin() + static_cast<std::ptrdiff_t>(kept * aovsPerSample));
        }
        ++kept;
    }
    records.resize(kept);
    aovs.resize(kept * aovsPerSample);
}

void WriteDebugCounters(const std::string& path, const DebugOverlapCounters& c)
{
    std::ofstream out(path);
    if (!out)
        return;
    const uint64_t total = c.firstPass + c.laterPasses;
    const double share = c.indices != 0 ? static_cast<double>(total) / static_cast<double>(c.indices) * 100.0 : 0.0;
    out << "Total indices: " << c.indices << "\n";
    out << "# of samples with null/inf normals: " << c.noNormal << "\n";
    out << "# identified in the first pass: " << c.firstPass << "\n";
    out << "# estimated fill holes: " << c.fillHoles << "\n";
    out << "# back faces: " << c.backFaces << "\n";
    out << "# hyper tangents (" << 0.05 << "): " << c.hyperTangents << "\n";
    out << "Total removed: " << total << " (" << share << "%)\n";
    out << "Final count: " << c.indices - total << "\n";
}
