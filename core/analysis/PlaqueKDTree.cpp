#include "analysis/PlaqueKDTree.h"

#include <algorithm>
#include <array>
#include <bit>
#include <bitset>
#include <cmath>
#include <cstddef>
#include <fstream>
#include <limits>
#include <numeric>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "analysis/MedianSelect.h"
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

// Distance from a plaque's centre to its farthest corner.
float farthestCorner(const Plaque& p)
{
    float reach = 0.0f;
    for (const VekPoint& c : p.corners)
        reach = std::max(reach, Quorvel::Utils::length(sub(c, p.center)));
    return reach;
}

float overlapRadius(float farthestCorner, float depth, uint64_t width)
{
    constexpr float twoPi = 2.0f * 3.1415927f;
    return std::min(4.0f * farthestCorner, depth * twoPi / static_cast<float>(width) * 10.0f);
}

// Overlap lists order equal qualities by plaque number, so that every test
// point of a plaque reads the same order.
bool better(double qa, int32_t a, double qb, int32_t b)
{
    return qa > qb || (qa == qb && a < b);
}

float squaredDistanceToBox(const VekPoint& q, const float* lo, const float* hi)
{
    const float c[3] = {q.x, q.y, q.z};
    float d2 = 0.0f;
    for (int a = 0; a < 3; ++a) {
        const float d = c[a] < lo[a] ? lo[a] - c[a] : c[a] > hi[a] ? c[a] - hi[a] : 0.0f;
        d2 += d * d;
    }
    return d2;
}

// Pruning of whole boxes must never drop a point that the exact per-point
// test in single precision would keep.
constexpr float kPruneSlack = 1.0001f;

} // namespace

class PlaqueCoverIndex {
public:
    struct Key {
        double quality;
        int32_t plaque;
    };

    struct Entry {
        Key key;
        int32_t id;         // node number, or -1 - point number
        uint16_t open = 0;  // the test points still open when a node was found worth opening
    };

    static constexpr size_t kMaxTargets = 8;

    // Test points of one plaque, searched together.
    struct Probe {
        const Plaque* plaque;
        float overlapRadius;
        bool live;                 // removal run: read the index's own removal flags
        bool anyCandidate = false; // the first candidate at all, not covers
        const VekPoint* points = nullptr;
        size_t count = 0; // at most kMaxTargets
        // The plaque's candidates at the start of the run, best first, when
        // the run listed them: read instead of the index.
        const int32_t* list = nullptr;
        size_t listLength = 0;
    };

    // Every candidate of a plaque at the start of a removal run, by point
    // number, best first; kept for plaques with a few only. Removals only
    // take candidates away, so a list stays complete through the run.
    struct CandidateLists {
        static constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();
        std::vector<uint32_t> first; // per plaque, kNone without a list
        std::vector<uint8_t> length;
        std::vector<int32_t> points;
    };

    // Over the centres as the tree's location index left them, in the order
    // of its leaves: this index splits at the same medians and so finds them
    // partitioned already (were they not, it would only be slower).
    void Build(const PlaqueKDTree& tree, const std::vector<kdpl::Point>& located);
    // Takes the removal flags of a run from `removed`.
    void Refresh(const std::vector<bool>& removed);
    void Remove(size_t plaque);

    // For every test point, the first candidate in overlap-list order whose
    // patch covers it, -1 when none does (from a list, the points after the
    // first without a cover are left at -1 unsearched); with `anyCandidate`,
    // the first candidate into found[0].
    void FindCovers(const PlaqueKDTree& tree, const Probe& probe, int32_t* found, std::vector<Entry>& heap) const;

    // Sets the bit of every indexed plaque that has no candidate at all:
    // no plaque of another camera, still live and not grazing, within its
    // overlap radius; and lists the candidates of those with a few.
    void FindLonelyPlaques(const PlaqueKDTree& tree, std::vector<bool>& alone, CandidateLists& lists,
                           std::vector<Entry>& heap) const;

private:
    struct Point {
        VekPoint center;
        float reach;
        VekPoint normal;
        float cosine;
        double quality;
        int32_t plaque;
        uint32_t camera;
    };

    // Points side by side, for tests four at a time; padded to a multiple
    // of four with points that pass no test (NaN centres).
    struct NearLanes {
        std::vector<float> x, y, z, nx, ny, nz;
        std::vector<int32_t> camera;
        void Fill(const std::vector<Point>& points, const std::vector<int32_t>& near);
    };

    struct Node {
        float lo[3];
        float hi[3];
        float maxReach;
        float normalLo[3]; // bounds of the normals below, to skip unaligned surfaces
        float normalHi[3];
        int32_t first;
        int32_t count;
        int32_t left; // -1 for a leaf
        int32_t right;
        int32_t parent;
        // Cameras below: a search skips the plaque's own camera's stretch of
        // surface without opening it.
        uint8_t cameraLo;
        uint8_t cameraHi;
    };

    static constexpr size_t kLeafSize = 16;
    static constexpr size_t kNearLimit = 1024;
    static constexpr size_t kListLimit = 128;
    static_assert(kListLimit <= std::numeric_limits<uint8_t>::max(), "a list's length is a byte");
    // A node whose centres span less than this many reaches holds layers of
    // one patch rather than a stretch of surface.
    static constexpr float kLayerExtent = 2.0f;
    static constexpr size_t kLayerCameras = 3;

    struct Slot {
        float c[3];
        float reach;
        uint32_t point;
    };
    // Bounds of a range of slots: centres, then the largest reach.
    struct RangeBox {
        float lo[3];
        float hi[3];
        float reach;
    };
    size_t rangeBoxes(const std::vector<Slot>& slots, size_t lo, size_t hi, std::vector<RangeBox>& boxes) const;
    int32_t build(std::vector<Slot>& slots, size_t lo, size_t hi, int32_t parent, bool partitioned,
                  const std::vector<RangeBox>& boxes);
    bool manyCameras(const std::vector<Slot>& slots, size_t lo, size_t hi) const;
    // Bottom-up: the bounds of normals, reaches and cameras, each point's
    // leaf, and the best key below every node, in one pass over the points.
    void gather();
    Key leafKey(const Node& node) const;
    static const Key& best(const Key& a, const Key& b)
    {
        return better(a.quality, a.plaque, b.quality, b.plaque) ? a : b;
    }
    struct Before { // heap order: worse below
        bool operator()(const Entry& a, const Entry& b) const
        {
            return better(b.key.quality, b.key.plaque, a.key.quality, a.key.plaque);
        }
    };
    struct Line {
        VekPoint point;     // the test point
        VekPoint direction; // the plaque's normal, unit length
        float m;            // distance of the test point from the plaque's centre
        float slack;
    };
    struct Target {
        Line line;
        VekPoint l;  // the far end of the line
        VekPoint tl; // test point - l
    };
    bool covers(const PlaqueKDTree& tree, const Target& target, const Point& candidate) const;
    static bool candidate(const Point& k, uint32_t camera, const VekPoint& centre, const VekPoint& normal, float r2);
    static bool nearLine(const Line& line, const Point& candidate);

    std::vector<Point> points_;
    std::vector<Node> nodes_;
    std::vector<Key> fixedKey_; // best over every point below: right whatever `removed` holds
    std::vector<Key> liveKey_;  // best over the points a removal run still has
    std::vector<uint8_t> live_;
    std::vector<int32_t> leafOf_;  // point -> its leaf
    std::vector<int32_t> pointOf_; // plaque -> point, -1 when not indexed
    std::vector<float> radius_;    // point -> its plaque's overlap radius
};

namespace {
constexpr PlaqueCoverIndex::Key kNoKey{-std::numeric_limits<double>::infinity(), std::numeric_limits<int32_t>::max()};
} // namespace

void PlaqueCoverIndex::Build(const PlaqueKDTree& tree, const std::vector<kdpl::Point>& located)
{
    const std::vector<Plaque>& plaques = tree.plaques;
    points_.clear();
    nodes_.clear();
    radius_.clear();
    pointOf_.assign(plaques.size(), -1);
    points_.reserve(located.size());
    radius_.reserve(located.size());
    std::vector<Slot> slots;
    slots.reserve(located.size());
    // The index's order scatters the plaques over memory: fetch ahead.
    constexpr size_t kAhead = 16;
    for (size_t k = 0; k < located.size(); ++k) {
        if (k + kAhead < located.size()) {
            const auto* ahead = reinterpret_cast<const char*>(&plaques[static_cast<size_t>(located[k + kAhead].index)]);
            __builtin_prefetch(ahead);
            __builtin_prefetch(ahead + sizeof(Plaque) - 1);
        }
        const auto i = located[k].index;
        const Plaque& p = plaques[static_cast<size_t>(i)];
        if (std::isnan(p.center.x) || std::isnan(p.center.y) || std::isnan(p.center.z))
            continue; // matches no radius query
        // Barycentric coordinates down to -0.005 reach 1.02 times the
        // farthest corner; a point of a degenerate triangle may lie 0.0002
        // off a corner. The margin covers rounding of the hit off the plane.
        const float farthest = farthestCorner(p);
        const float reach = 1.1f * farthest + 1e-3f;
        slots.push_back({{p.center.x, p.center.y, p.center.z}, reach, static_cast<uint32_t>(points_.size())});
        points_.push_back({p.center, reach, p.normal, p.cosine, p.quality, i, p.cameraIndex});
        radius_.push_back(overlapRadius(farthest, p.depth, tree.context.width));
    }
    if (points_.empty())
        return;
    nodes_.reserve(2 * (points_.size() / (kLeafSize / 2) + 1));
    std::vector<RangeBox> boxes;
    boxes.reserve(nodes_.capacity());
    rangeBoxes(slots, 0, slots.size(), boxes);
    build(slots, 0, points_.size(), -1, true, boxes);
    // Splits by quality move points, a few in a thousand; the spatial ones
    // find them in place. The slots are a permutation, so the moved points
    // are all read before any is written.
    struct Moved {
        uint32_t to;
        Point point;
        float radius;
    };
    std::vector<Moved> moved;
    for (uint32_t k = 0; k < slots.size(); ++k)
        if (const uint32_t from = slots[k].point; from != k)
            moved.push_back({k, points_[from], radius_[from]});
    for (const Moved& m : moved) {
        points_[m.to] = m.point;
        radius_[m.to] = m.radius;
    }
    live_.assign(points_.size(), 1);
    gather();
    liveKey_ = fixedKey_;
}

namespace {

// Box of the centres [lo, hi) and their largest reach. A slot is its centre
// followed by its reach, so one four-wide min and max per slot do it.
template <class Slot>
void slotBounds(const std::vector<Slot>& slots, size_t lo, size_t hi, float* boxLo, float* boxHi, float& reach)
{
#if defined(__SSE2__)
    static_assert(offsetof(Slot, reach) == 3 * sizeof(float));
    __m128 mn = _mm_set1_ps(std::numeric_limits<float>::infinity());
    __m128 mx = _mm_set1_ps(-std::numeric_limits<float>::infinity());
    for (size_t i = lo; i < hi; ++i) {
        const __m128 v = _mm_loadu_ps(slots[i].c);
        mn = _mm_min_ps(mn, v);
        mx = _mm_max_ps(mx, v);
    }
    alignas(16) float a[4], b[4];
    _mm_store_ps(a, mn);
    _mm_store_ps(b, mx);
    std::copy_n(a, 3, boxLo);
    std::copy_n(b, 3, boxHi);
    reach = std::max(0.0f, b[3]);
#else
    for (int a = 0; a < 3; ++a) {
        boxLo[a] = std::numeric_limits<float>::infinity();
        boxHi[a] = -std::numeric_limits<float>::infinity();
    }
    reach = 0.0f;
    for (size_t i = lo; i < hi; ++i) {
        for (int a = 0; a < 3; ++a) {
            boxLo[a] = std::min(boxLo[a], slots[i].c[a]);
            boxHi[a] = std::max(boxHi[a], slots[i].c[a]);
        }
        reach = std::max(reach, slots[i].reach);
    }
#endif
}

} // namespace

// Layers of one camera (several depths of a pixel) are no candidates for one
// another and gain nothing from an order by quality.
bool PlaqueCoverIndex::manyCameras(const std::vector<Slot>& slots, size_t lo, size_t hi) const
{
    std::bitset<256> seen;
    size_t count = 0;
    for (size_t i = lo; i < hi && count < kLayerCameras; ++i) {
        const uint32_t camera = std::min<uint32_t>(points_[slots[i].point].camera, 255);
        count += seen[camera] ? 0 : 1;
        seen.set(camera);
    }
    return count >= kLayerCameras;
}

// The ranges of the tree follow from the counts alone, whatever a node
// splits by, so node n of the tree is box n here (both number depth-first).
// Bottom-up, each slot is read once instead of once a level.
size_t PlaqueCoverIndex::rangeBoxes(const std::vector<Slot>& slots, size_t lo, size_t hi,
                                    std::vector<RangeBox>& boxes) const
{
    const size_t id = boxes.size();
    boxes.emplace_back();
    if (hi - lo <= kLeafSize) {
        RangeBox& box = boxes[id];
        slotBounds(slots, lo, hi, box.lo, box.hi, box.reach);
        return id;
    }
    const size_t mid = lo + (hi - lo + 1) / 2;
    const size_t leftId = rangeBoxes(slots, lo, mid, boxes);
    const size_t rightId = rangeBoxes(slots, mid, hi, boxes);
    const RangeBox& left = boxes[leftId];
    const RangeBox& right = boxes[rightId];
    RangeBox& box = boxes[id];
    for (int a = 0; a < 3; ++a) {
        box.lo[a] = std::min(left.lo[a], right.lo[a]);
        box.hi[a] = std::max(left.hi[a], right.hi[a]);
    }
    box.reach = std::max(left.reach, right.reach);
    return id;
}

// Splits on the centres alone, in a compact copy of them; the bounds of the
// normals, reaches and cameras are gathered afterwards, bottom-up. While
// `partitioned`, each range already holds its halves in place and its box
// is the one `rangeBoxes` found.
int32_t PlaqueCoverIndex::build(std::vector<Slot>& slots, size_t lo, size_t hi, int32_t parent, bool partitioned,
                                const std::vector<RangeBox>& boxes)
{
    Node node{};
    float reach = 0.0f;
    const auto id = static_cast<int32_t>(nodes_.size());
    if (partitioned) {
        const RangeBox& box = boxes[static_cast<size_t>(id)];
        std::copy_n(box.lo, 3, node.lo);
        std::copy_n(box.hi, 3, node.hi);
        reach = box.reach;
    } else {
        slotBounds(slots, lo, hi, node.lo, node.hi, reach);
    }
    node.parent = parent;
    node.left = node.right = -1;
    node.first = static_cast<int32_t>(lo);
    node.count = static_cast<int32_t>(hi - lo);
    nodes_.push_back(node);
    if (hi - lo <= kLeafSize)
        return id;

    int axis = 0;
    for (int a = 1; a < 3; ++a)
        if (node.hi[a] - node.lo[a] > node.hi[axis] - node.lo[axis])
            axis = a;
    // The left part takes the middle point, as in the location index.
    const size_t mid = lo + (hi - lo + 1) / 2;
    if (node.hi[axis] - node.lo[axis] < kLayerExtent * reach && manyCameras(slots, lo, hi)) {
        partitioned = false;
        // Too many centres for a patch this small: surfaces seen by many
        // cameras. Splitting by quality lets a search open the better layers
        // first and leave the rest shut once every test point has its cover.
        const auto begin = slots.begin() + static_cast<std::ptrdiff_t>(lo);
        std::nth_element(begin, begin + static_cast<std::ptrdiff_t>(mid - lo),
                         begin + static_cast<std::ptrdiff_t>(hi - lo), [this](const Slot& a, const Slot& b) {
            const Point& p = points_[a.point];
            const Point& q = points_[b.point];
            return better(p.quality, p.plaque, q.quality, q.plaque);
        });
    } else if (!partitioned) {
        Slot* p = slots.data();
        if (axis == 0)
            kdpl::detail::selectMedian(p, lo, hi - 1, mid - 1, [](const Slot& q) { return q.c[0]; });
        else if (axis == 1)
            kdpl::detail::selectMedian(p, lo, hi - 1, mid - 1, [](const Slot& q) { return q.c[1]; });
        else
            kdpl::detail::selectMedian(p, lo, hi - 1, mid - 1, [](const Slot& q) { return q.c[2]; });
    }
    const int32_t left = build(slots, lo, mid, id, partitioned, boxes);
    const int32_t right = build(slots, mid, hi, id, partitioned, boxes);
    nodes_[static_cast<size_t>(id)].left = left;
    nodes_[static_cast<size_t>(id)].right = right;
    return id;
}

void PlaqueCoverIndex::gather()
{
    leafOf_.assign(points_.size(), -1);
    fixedKey_.assign(nodes_.size(), kNoKey);
    // Children come after their parent.
    for (size_t n = nodes_.size(); n-- > 0;) {
        Node& node = nodes_[n];
        node.cameraLo = 255;
        node.cameraHi = 0;
        node.maxReach = 0.0f;
        for (int a = 0; a < 3; ++a) {
            node.normalLo[a] = std::numeric_limits<float>::infinity();
            node.normalHi[a] = -std::numeric_limits<float>::infinity();
        }
        auto take = [&node](const float* lo, const float* hi, float reach, uint8_t cameraLo, uint8_t cameraHi) {
            for (int a = 0; a < 3; ++a) {
                node.normalLo[a] = std::min(node.normalLo[a], lo[a]);
                node.normalHi[a] = std::max(node.normalHi[a], hi[a]);
            }
            node.maxReach = std::max(node.maxReach, reach);
            node.cameraLo = std::min(node.cameraLo, cameraLo);
            node.cameraHi = std::max(node.cameraHi, cameraHi);
        };
        if (node.left >= 0) {
            for (int32_t child : {node.left, node.right}) {
                const Node& c = nodes_[static_cast<size_t>(child)];
                take(c.normalLo, c.normalHi, c.maxReach, c.cameraLo, c.cameraHi);
            }
            fixedKey_[n] =
                best(fixedKey_[static_cast<size_t>(node.left)], fixedKey_[static_cast<size_t>(node.right)]);
            continue;
        }
        Key key = kNoKey;
        for (int32_t k = node.first; k < node.first + node.count; ++k) {
            const Point& p = points_[static_cast<size_t>(k)];
            const float normal[3] = {p.normal.x, p.normal.y, p.normal.z};
            const auto camera = static_cast<uint8_t>(std::min<uint32_t>(p.camera, 255));
            take(normal, normal, p.reach, camera, camera);
            key = best(key, {p.quality, p.plaque});
            leafOf_[static_cast<size_t>(k)] = static_cast<int32_t>(n);
            pointOf_[static_cast<size_t>(p.plaque)] = k;
        }
        fixedKey_[n] = key;
    }
}

PlaqueCoverIndex::Key PlaqueCoverIndex::leafKey(const Node& node) const
{
    Key key = kNoKey;
    for (int32_t k = node.first; k < node.first + node.count; ++k) {
        const Point& p = points_[static_cast<size_t>(k)];
        if (live_[static_cast<size_t>(k)] != 0)
            key = best(key, {p.quality, p.plaque});
    }
    return key;
}

void PlaqueCoverIndex::Refresh(const std::vector<bool>& removed)
{
    for (size_t k = 0; k < points_.size(); ++k) {
        const auto plaque = static_cast<size_t>(points_[k].plaque);
        live_[k] = plaque < removed.size() && removed[plaque] ? 0 : 1;
    }
    for (size_t n = nodes_.size(); n-- > 0;) {
        const Node& node = nodes_[n];
        liveKey_[n] = node.left < 0 ? leafKey(node)
                                    : best(liveKey_[static_cast<size_t>(node.left)],
                                           liveKey_[static_cast<size_t>(node.right)]);
    }
}

void PlaqueCoverIndex::Remove(size_t plaque)
{
    if (plaque >= pointOf_.size() || pointOf_[plaque] < 0)
        return;
    const auto k = static_cast<size_t>(pointOf_[plaque]);
    if (live_[k] == 0)
        return;
    live_[k] = 0;
    auto n = leafOf_[k];
    Key key = leafKey(nodes_[static_cast<size_t>(n)]);
    // Upwards only as far as the best quality below a node changes.
    while (n >= 0) {
        Key& stored = liveKey_[static_cast<size_t>(n)];
        if (stored.quality == key.quality && stored.plaque == key.plaque)
            break;
        stored = key;
        n = nodes_[static_cast<size_t>(n)].parent;
        if (n < 0)
            break;
        const Node& parent = nodes_[static_cast<size_t>(n)];
        key = best(liveKey_[static_cast<size_t>(parent.left)], liveKey_[static_cast<size_t>(parent.right)]);
    }
}

// The line through the test point along the plaque's normal meets K's patch,
// not beyond the plaque's own reach.
bool PlaqueCoverIndex::covers(const PlaqueKDTree& tree, const Target& target, const Point& candidate) const
{
    const VekPoint& t = target.line.point;
    const float reach = candidate.reach;
    const Plaque& k = tree.plaques[static_cast<size_t>(candidate.plaque)];
    const float denom = dot(k.normal, target.tl);
    VekPoint hit = k.center;
    if (std::fabs(denom) > 1.1920929e-7f)
        hit = add(target.l, scaled(target.tl, dot(sub(k.center, target.l), k.normal) / denom));
    const float fromCentre = Quorvel::Utils::length(sub(hit, k.center));
    if (fromCentre > reach || !(Quorvel::Utils::length(sub(hit, t)) < fromCentre + target.line.m))
        return false;
    const auto& c = k.corners;
    return inTriangle(c[0], c[1], c[2], hit) || inTriangle(c[2], c[3], c[1], hit);
}

// Whether live plaque K may cover one of `camera` with the given centre and
// normal: another camera's, not grazing, aligned, within the overlap radius
// exactly as the radius query computes it.
bool PlaqueCoverIndex::candidate(const Point& k, uint32_t camera, const VekPoint& centre, const VekPoint& normal,
                                 float r2)
{
    if (k.camera == camera || k.cosine < kGrazingCosine || std::fabs(dot(k.normal, normal)) < kMinAlignment)
        return false;
    const float dx = k.center.x - centre.x;
    const float dy = k.center.y - centre.y;
    const float dz = k.center.z - centre.z;
    return dx * dx + dy * dy + dz * dz <= r2;
}

// A cover's hit lies within `reach` of its centre and, on the line through the
// test point along the plaque's normal, within reach + m of the test point:
// the candidate's centre lies in that capsule. `slack` absorbs the rounding of
// the hit, which is computed from a point 10000 normals away.
bool PlaqueCoverIndex::nearLine(const Line& line, const Point& candidate)
{
    const VekPoint v = sub(candidate.center, line.point);
    const float h = candidate.reach + line.m + line.slack;
    const float s = std::clamp(dot(v, line.direction), -h, h);
    const VekPoint w = sub(v, scaled(line.direction, s));
    const float r = candidate.reach + line.slack;
    return dot(w, w) <= r * r;
}

void PlaqueCoverIndex::FindCovers(const PlaqueKDTree& tree, const Probe& probe, int32_t* found,
                                  std::vector<Entry>& heap) const
{
    const size_t count = probe.anyCandidate ? 1 : std::min(probe.count, kMaxTargets);
    std::fill(found, found + count, -1);
    if (nodes_.empty() || count == 0 || !(probe.overlapRadius >= 0.0f))
        return;
    const Plaque& p = *probe.plaque;
    const std::vector<Key>& keys = probe.live ? liveKey_ : fixedKey_;
    const float r2 = probe.overlapRadius * probe.overlapRadius;
    const uint32_t own = p.cameraIndex;
    const float normalLength = Quorvel::Utils::length(p.normal);
    const VekPoint direction = scaled(p.normal, 1.0f / normalLength);

    std::array<Target, kMaxTargets> targets;
    uint32_t open = 0; // bit per test point still without its cover
    for (size_t i = 0; i < count && !probe.anyCandidate; ++i) {
        const VekPoint& t = probe.points[i];
        Target& target = targets[i];
        target.line.point = t;
        target.line.direction = direction;
        target.line.m = Quorvel::Utils::length(sub(t, p.center));
        const float extent = std::max({std::fabs(t.x), std::fabs(t.y), std::fabs(t.z)});
        target.line.slack = 1e-6f * (10000.0f * normalLength + extent) + 1e-4f;
        target.l = add(t, scaled(p.normal, 10000.0f));
        target.tl = sub(t, target.l);
        open |= 1u << i;
    }

    // A candidate's turn: it takes the open test points it covers. True
    // once the search is over.
    auto take = [&](const Point& k) {
        if (probe.anyCandidate) {
            found[0] = k.plaque;
            return true;
        }
        for (uint32_t bits = open; bits != 0; bits &= bits - 1) {
            const auto i = static_cast<size_t>(std::countr_zero(bits));
            if (nearLine(targets[i].line, k) && covers(tree, targets[i], k)) {
                found[i] = k.plaque;
                open &= ~(1u << i);
            }
        }
        return open == 0;
    };

    if (probe.list != nullptr) {
        // The same candidates in the same order as the search below, one
        // test point at a time: a point without a cover settles the plaque,
        // so the search stops there and leaves the later points at -1.
        auto gone = [&](size_t n) {
            return probe.live ? live_[n] == 0 : tree.removed[static_cast<size_t>(points_[n].plaque)];
        };
        if (probe.anyCandidate) {
            for (size_t j = 0; j < probe.listLength; ++j) {
                const auto n = static_cast<size_t>(probe.list[j]);
                if (!gone(n) && take(points_[n]))
                    return;
            }
            return;
        }
        for (size_t i = 0; i < count; ++i) {
            for (size_t j = 0; j < probe.listLength && found[i] < 0; ++j) {
                const auto n = static_cast<size_t>(probe.list[j]);
                const Point& k = points_[n];
                if (!gone(n) && nearLine(targets[i].line, k) && covers(tree, targets[i], k))
                    found[i] = k.plaque;
            }
            if (found[i] < 0)
                return;
        }
        return;
    }

    // A box is worth opening when it meets the overlap radius, holds normals
    // that can be aligned with the plaque's and, unless any candidate will
    // do, meets the box around a capsule from which its patches could cover
    // a test point still open.
    const float normal[3] = {p.normal.x, p.normal.y, p.normal.z};
    auto worthOpening = [&](const Node& node) {
        if (node.cameraLo == node.cameraHi && node.cameraLo == own)
            return false;
        if (squaredDistanceToBox(p.center, node.lo, node.hi) > r2 * kPruneSlack)
            return false;
        // The bound is summed in double and loosened so that it stays above
        // every single-precision dot product it stands for.
        double alignment = 0.0;
        for (int a = 0; a < 3; ++a)
            alignment += std::max(std::fabs(double(node.normalLo[a])), std::fabs(double(node.normalHi[a]))) *
                         std::fabs(double(normal[a]));
        if (alignment * 1.0001 + 1e-6 < double(kMinAlignment))
            return false;
        if (probe.anyCandidate)
            return true;
        for (uint32_t bits = open; bits != 0; bits &= bits - 1) {
            const Line& line = targets[static_cast<size_t>(std::countr_zero(bits))].line;
            const float h = node.maxReach + line.m + line.slack;
            const float r = node.maxReach + line.slack;
            const float t[3] = {line.point.x, line.point.y, line.point.z};
            const float d[3] = {line.direction.x, line.direction.y, line.direction.z};
            bool meets = true;
            for (int a = 0; a < 3 && meets; ++a) {
                const float e = std::fabs(d[a]) * h + r;
                meets = !(node.lo[a] > t[a] + e || node.hi[a] < t[a] - e);
            }
            if (meets)
                return true;
        }
        return false;
    };
    auto push = [&](const Entry& e) {
        heap.push_back(e);
        std::push_heap(heap.begin(), heap.end(), Before{});
    };

    // Candidates come out in overlap-list order; each test point takes the
    // first one that covers it. A child at least as good as everything
    // waiting is taken straight away: most searches end in one descent
    // without the heap.
    heap.clear();
    Entry e{keys[0], 0};
    bool next = keys[0].plaque != kNoKey.plaque && worthOpening(nodes_[0]);
    bool checked = true; // `e` was checked against the test points still open
    for (;;) {
        if (!next) {
            if (heap.empty())
                return;
            std::pop_heap(heap.begin(), heap.end(), Before{});
            e = heap.back();
            heap.pop_back();
            checked = false;
        }
        next = false;
        if (e.id < 0) {
            if (take(points_[static_cast<size_t>(-1 - e.id)]))
                return;
            continue;
        }
        const Node& node = nodes_[static_cast<size_t>(e.id)];
        // Worth it when pushed; unless its test points found their covers
        // meanwhile.
        if (!checked && e.open != open && !worthOpening(node))
            continue;
        if (node.left >= 0) {
            auto worth = [&](int32_t child) {
                return keys[static_cast<size_t>(child)].plaque != kNoKey.plaque &&
                       worthOpening(nodes_[static_cast<size_t>(child)]);
            };
            const bool leftOpen = worth(node.left);
            const bool rightOpen = worth(node.right);
            if (!leftOpen && !rightOpen)
                continue;
            const auto openNow = static_cast<uint16_t>(open);
            Entry first{keys[static_cast<size_t>(node.left)], node.left, openNow};
            const Entry right{keys[static_cast<size_t>(node.right)], node.right, openNow};
            if (!leftOpen) {
                first = right;
            } else if (rightOpen) {
                if (Before{}(first, right)) {
                    push(first);
                    first = right;
                } else {
                    push(right);
                }
            }
            if (heap.empty() || !Before{}(first, heap.front())) {
                e = first;
                next = checked = true;
            } else {
                push(first);
            }
            continue;
        }
        for (int32_t i = node.first; i < node.first + node.count; ++i) {
            const Point& k = points_[static_cast<size_t>(i)];
            const bool gone = probe.live ? live_[static_cast<size_t>(i)] == 0
                                         : tree.removed[static_cast<size_t>(k.plaque)];
            if (gone || !candidate(k, own, p.center, p.normal, r2))
                continue;
            bool near = probe.anyCandidate;
            for (uint32_t bits = open; bits != 0 && !near; bits &= bits - 1)
                near = nearLine(targets[static_cast<size_t>(std::countr_zero(bits))].line, k);
            if (near)
                push({{k.quality, k.plaque}, -1 - i});
        }
    }
}

void PlaqueCoverIndex::NearLanes::Fill(const std::vector<Point>& points, const std::vector<int32_t>& near)
{
    const size_t padded = (near.size() + 3) / 4 * 4;
    for (auto* v : {&x, &y, &z, &nx, &ny, &nz})
        v->assign(padded, std::numeric_limits<float>::quiet_NaN());
    camera.assign(padded, -1);
    for (size_t j = 0; j < near.size(); ++j) {
        const Point& q = points[static_cast<size_t>(near[j])];
        x[j] = q.center.x;
        y[j] = q.center.y;
        z[j] = q.center.z;
        nx[j] = q.normal.x;
        ny[j] = q.normal.y;
        nz[j] = q.normal.z;
        camera[j] = static_cast<int32_t>(q.camera);
    }
}

// Most plaques lie inside their own camera's stretch of surface. One search
// per leaf lists the plaques that may be candidates for any of its plaques,
// within the largest overlap radius among them; each plaque is then settled
// from that short list. Leaves amid many candidates ask plaque by plaque.
void PlaqueCoverIndex::FindLonelyPlaques(const PlaqueKDTree& tree, std::vector<bool>& alone, CandidateLists& lists,
                                         std::vector<Entry>& heap) const
{
    lists.first.assign(tree.plaques.size(), CandidateLists::kNone);
    lists.length.assign(tree.plaques.size(), 0);
    lists.points.clear();
    auto askable = [this](int32_t k) {
        const Point& p = points_[static_cast<size_t>(k)];
        return usableNormal(p.normal) && p.cosine > kGrazingCosine;
    };
    auto askOne = [&](int32_t plaque, size_t k) {
        const Plaque& p = tree.plaques[static_cast<size_t>(plaque)];
        Probe probe{&p, radius_[k], true};
        probe.anyCandidate = true;
        int32_t found = -1;
        FindCovers(tree, probe, &found, heap);
        alone[static_cast<size_t>(plaque)] = found < 0;
    };
    auto distance2 = [](const Node& a, const float* lo, const float* hi) {
        double d2 = 0.0;
        for (int k = 0; k < 3; ++k) {
            const double d = std::max(std::max(0.0, double(lo[k]) - a.hi[k]), double(a.lo[k]) - hi[k]);
            d2 += d * d;
        }
        return d2;
    };
    // The live plaques of other cameras in `near` within the overlap radius
    // of point k with an aligned normal: exactly the candidates a search
    // would accept. Past the list limit, only that there are more counts.
    // `lanes` holds `near` side by side, four to a step, padded with points
    // that fail.
    NearLanes lanes;
    auto candidatesOf = [this, &lanes](size_t k, const std::vector<int32_t>& near, std::vector<int32_t>& out) {
        out.clear();
        const Point& p = points_[k];
        const float radius = radius_[k];
        if (!(radius >= 0.0f))
            return;
        const float r2 = radius * radius;
#if defined(__SSE2__)
        // `candidate` four at a time, operation for operation; the cosine
        // was checked when `near` was gathered.
        const __m128 px = _mm_set1_ps(p.center.x), py = _mm_set1_ps(p.center.y), pz = _mm_set1_ps(p.center.z);
        const __m128 qx = _mm_set1_ps(p.normal.x), qy = _mm_set1_ps(p.normal.y), qz = _mm_set1_ps(p.normal.z);
        const __m128 limit = _mm_set1_ps(r2);
        const __m128 alignment = _mm_set1_ps(kMinAlignment);
        const __m128 sign = _mm_set1_ps(-0.0f);
        const __m128i own = _mm_set1_epi32(static_cast<int32_t>(p.camera));
        for (size_t j = 0; j < near.size(); j += 4) {
            const __m128 dx = _mm_sub_ps(_mm_loadu_ps(&lanes.x[j]), px);
            const __m128 dy = _mm_sub_ps(_mm_loadu_ps(&lanes.y[j]), py);
            const __m128 dz = _mm_sub_ps(_mm_loadu_ps(&lanes.z[j]), pz);
            const __m128 d2 = _mm_add_ps(_mm_add_ps(_mm_mul_ps(dx, dx), _mm_mul_ps(dy, dy)), _mm_mul_ps(dz, dz));
            const __m128 dot = _mm_add_ps(_mm_add_ps(_mm_mul_ps(_mm_loadu_ps(&lanes.nx[j]), qx),
                                                     _mm_mul_ps(_mm_loadu_ps(&lanes.ny[j]), qy)),
                                          _mm_mul_ps(_mm_loadu_ps(&lanes.nz[j]), qz));
            const __m128 other = _mm_castsi128_ps(_mm_xor_si128(
                _mm_cmpeq_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(&lanes.camera[j])), own),
                _mm_set1_epi32(-1)));
            const __m128 aligned = _mm_cmpnlt_ps(_mm_andnot_ps(sign, dot), alignment);
            int hits = _mm_movemask_ps(_mm_and_ps(_mm_and_ps(other, aligned), _mm_cmple_ps(d2, limit)));
            for (; hits != 0; hits &= hits - 1) {
                out.push_back(near[j + static_cast<size_t>(std::countr_zero(static_cast<unsigned>(hits)))]);
                if (out.size() > kListLimit)
                    return;
            }
        }
#else
        for (int32_t n : near) {
            if (!candidate(points_[static_cast<size_t>(n)], p.camera, p.center, p.normal, r2))
                continue;
            out.push_back(n);
            if (out.size() > kListLimit)
                return;
        }
#endif
    };
    auto bestFirst = [this](int32_t a, int32_t b) {
        const Point& p = points_[static_cast<size_t>(a)];
        const Point& q = points_[static_cast<size_t>(b)];
        return better(p.quality, p.plaque, q.quality, q.plaque);
    };
    std::vector<int32_t> candidates;
    std::vector<int32_t> stack;
    std::vector<int32_t> near; // live plaques within the leaf's reach that may be candidates
    for (const Node& leaf : nodes_) {
        if (leaf.left >= 0)
            continue;
        double reach = 0.0;
        bool listed = true; // `near` holds every candidate of the leaf's plaques
        for (int32_t k = leaf.first; k < leaf.first + leaf.count && listed; ++k) {
            const float radius = radius_[static_cast<size_t>(k)];
            listed = std::isfinite(radius);
            reach = std::max(reach, double(radius));
        }
        const double reach2 = reach * reach * kPruneSlack + 1e-12;
        const bool single = leaf.cameraLo == leaf.cameraHi;
        const uint8_t own = leaf.cameraLo;
        near.clear();
        stack.assign(1, 0);
        while (listed && !stack.empty()) {
            const Node& node = nodes_[static_cast<size_t>(stack.back())];
            stack.pop_back();
            if ((single && node.cameraLo == own && node.cameraHi == own) || distance2(node, leaf.lo, leaf.hi) > reach2)
                continue;
            if (node.left >= 0) {
                stack.push_back(node.left);
                stack.push_back(node.right);
                continue;
            }
            for (int32_t k = node.first; k < node.first + node.count && listed; ++k) {
                const Point& q = points_[static_cast<size_t>(k)];
                if (live_[static_cast<size_t>(k)] == 0 || (single && q.camera == own) || q.cosine < kGrazingCosine)
                    continue;
                double d2 = 0.0;
                const float c[3] = {q.center.x, q.center.y, q.center.z};
                for (int a = 0; a < 3; ++a) {
                    const double d = std::max(std::max(0.0, double(leaf.lo[a]) - c[a]), double(c[a]) - leaf.hi[a]);
                    d2 += d * d;
                }
                if (d2 > reach2)
                    continue;
                // Amid very many, a search per plaque is cheaper than the list.
                listed = near.size() < kNearLimit;
                near.push_back(k);
            }
        }
        if (listed)
            lanes.Fill(points_, near);
        for (int32_t k = leaf.first; k < leaf.first + leaf.count; ++k) {
            const int32_t plaque = points_[static_cast<size_t>(k)].plaque;
            if (!askable(k))
                continue;
            if (!listed) {
                askOne(plaque, static_cast<size_t>(k));
                continue;
            }
            candidatesOf(static_cast<size_t>(k), near, candidates);
            alone[static_cast<size_t>(plaque)] = candidates.empty();
            if (candidates.empty() || candidates.size() > kListLimit)
                continue;
            std::sort(candidates.begin(), candidates.end(), bestFirst);
            lists.first[static_cast<size_t>(plaque)] = static_cast<uint32_t>(lists.points.size());
            lists.length[static_cast<size_t>(plaque)] = static_cast<uint8_t>(candidates.size());
            lists.points.insert(lists.points.end(), candidates.begin(), candidates.end());
        }
    }
}

namespace {

using Heap = std::vector<PlaqueCoverIndex::Entry>;

// The covers an action was decided on: while none of them is removed, the
// same plaque gets the same action again.
struct Covers {
    std::array<int32_t, 13> plaque;
    uint8_t count = 0;
};

// The plaque's candidate list of the run, if it has one.
struct ListOf {
    const int32_t* points = nullptr;
    size_t length = 0;
};

OverlapAction overlapAction(const PlaqueKDTree& tree, const Plaque& p, uint16_t mask, bool qualityCheck,
                            std::vector<bool>& marks, Heap& heap, bool live, Covers* seen, ListOf list = {})
{
    if (seen != nullptr)
        seen->count = 0;
    if (!usableNormal(p.normal))
        return NoNormal;
    if (p.cosine <= kGrazingCosine)
        return Keep;
    PlaqueCoverIndex::Probe probe{&p, OverlapRadius(tree, p), live};
    probe.list = list.points;
    probe.listLength = list.length;
    std::array<int32_t, PlaqueCoverIndex::kMaxTargets> found;
    if ((mask & kAllOverlapTestPoints) == 0) {
        // No test point to fail: only an empty overlap list keeps the plaque.
        probe.anyCandidate = true;
        tree.CoverIndex().FindCovers(tree, probe, found.data(), heap);
        return found[0] < 0 ? Keep : Remove;
    }
    // The covers of a group of test points, searched together: `slot[i]` is
    // where test point i of the group landed, -1 when its mask bit is clear.
    std::array<VekPoint, PlaqueCoverIndex::kMaxTargets> points;
    std::array<int, PlaqueCoverIndex::kMaxTargets> slot;
    auto search = [&](const VekPoint* group, int n, int firstBit) {
        probe.count = 0;
        for (int i = 0; i < n; ++i) {
            slot[static_cast<size_t>(i)] = -1;
            if ((mask & (1u << (firstBit + i))) == 0)
                continue;
            slot[static_cast<size_t>(i)] = static_cast<int>(probe.count);
            points[probe.count++] = group[i];
        }
        probe.points = points.data();
        tree.CoverIndex().FindCovers(tree, probe, found.data(), heap);
        if (seen != nullptr)
            for (size_t i = 0; i < probe.count; ++i)
                if (found[i] >= 0)
                    seen->plaque[seen->count++] = found[i];
    };

    std::array<int32_t, 12> covers; // the corners' and extended points' covers, for marking
    covers.fill(-1);
    std::array<VekPoint, 5> own;
    for (int i = 0; i < 4; ++i)
        own[static_cast<size_t>(i)] = add(p.center, scaled(sub(p.corners[static_cast<size_t>(i)], p.center), kTestPointScale));
    own[4] = p.center;
    search(own.data(), 5, 0);
    uint32_t count = 0;
    double qualitySum = 0.0;
    double prioritySum = 0.0;
    for (int i = 0; i < 5; ++i) {
        if (slot[static_cast<size_t>(i)] < 0)
            continue;
        const int32_t cover = found[static_cast<size_t>(slot[static_cast<size_t>(i)])];
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
        search(extended.data(), 8, 5);
        for (int i = 0; i < 8; ++i) {
            if (slot[static_cast<size_t>(i)] < 0)
                continue;
            const int32_t cover = found[static_cast<size_t>(slot[static_cast<size_t>(i)])];
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

// A plaque waiting for a later pass, with the covers of its last decision
// when it had one.
struct Waiting {
    uint32_t plaque;
    Covers covers;
    bool decided;
};

bool unchanged(const PlaqueKDTree& tree, const Waiting& w)
{
    if (!w.decided)
        return false;
    for (uint8_t i = 0; i < w.covers.count; ++i)
        if (tree.removed[static_cast<size_t>(w.covers.plaque[i])])
            return false;
    return true;
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
    tree.CoverIndex().Refresh(tree.removed);
    Heap heap;
    heap.reserve(kQueryReserve);

    // A plaque without any candidate now never gets one, as removals only
    // take candidates away: it keeps.
    std::vector<bool> alone(tree.plaques.size(), false);
    PlaqueCoverIndex::CandidateLists lists;
    tree.CoverIndex().FindLonelyPlaques(tree, alone, lists, heap);
    auto listOf = [&lists](size_t plaque) {
        const uint32_t first = lists.first[plaque];
        return first == PlaqueCoverIndex::CandidateLists::kNone ? ListOf{}
                                                                : ListOf{lists.points.data() + first, lists.length[plaque]};
    };

    std::vector<Waiting> deferred;
    std::vector<bool> marks(tree.plaques.size(), false);
    Covers seen;
    // Counted in plaque order: the pass below goes in quality order, where a
    // plaque read is a cache miss, and settles most plaques from bits alone.
    for (uint32_t i = 0; i < tree.plaques.size(); ++i) {
        const Plaque& p = tree.plaques[i];
        c.backFaces += p.facesCamera ? 0 : 1;
        c.fillHoles += fillHole(i) ? 1 : 0;
        c.hyperTangents += p.cosine < kGrazingCosine ? 1 : 0;
    }
    for (uint32_t i : order) {
        if (marks[i]) {
            deferred.push_back({i, {}, false});
            ++c.deferredCount;
            continue;
        }
        if (alone[i])
            continue;
        switch (overlapAction(tree, tree.plaques[i], kAllOverlapTestPoints, !fillHole(i), marks, heap, true, &seen,
                              listOf(i))) {
        case NoNormal:
            ++c.noNormal;
            break;
        case Remove:
            tree.MarkRemoved(i);
            ++c.firstPass;
            break;
        case Defer:
            deferred.push_back({i, seen, true});
            ++c.deferredCount;
            break;
        case Keep:
            break;
        }
    }

    // A deferred plaque none of whose covers has gone since its last
    // decision would be deferred again: only the others are examined anew.
    std::vector<Waiting> next;
    while (!deferred.empty()) {
        marks.assign(tree.plaques.size(), false);
        next.clear();
        for (Waiting& w : deferred) {
            if (marks[w.plaque]) {
                next.push_back(w);
                ++c.deferredCount;
                continue;
            }
            if (unchanged(tree, w)) {
                next.push_back(w);
                continue;
            }
            const OverlapAction action = overlapAction(tree, tree.plaques[w.plaque], kAllOverlapTestPoints,
                                                       !fillHole(w.plaque), marks, heap, true, &seen, listOf(w.plaque));
            if (action == Remove) {
                tree.MarkRemoved(w.plaque);
                ++c.laterPasses;
            } else if (action == Defer) {
                next.push_back({w.plaque, seen, true});
            }
        }
        const bool stalled = next.size() == deferred.size();
        deferred.swap(next);
        if (stalled)
            break;
    }
}

// Worst plaques first: estimated fill holes, then back faces before front
// faces, then by quality; equal plaques keep their order. A radix sort on
// the quality's bits, then the group: each pass is stable, so equal keys
// stay in plaque order.
template <class FillHole>
std::vector<uint32_t> worstFirst(const PlaqueKDTree& tree, FillHole fillHole)
{
    struct Rank {
        uint64_t quality; // ordered as the doubles are
        uint32_t plaque;
        uint32_t group;
    };
    std::vector<Rank> ranks(tree.plaques.size());
    for (uint32_t i = 0; i < ranks.size(); ++i) {
        const Plaque& p = tree.plaques[i];
        const uint64_t bits = std::bit_cast<uint64_t>(p.quality);
        const uint64_t ordered = (bits >> 63) != 0 ? ~bits : bits | (uint64_t(1) << 63);
        ranks[i] = {p.quality == 0.0 ? uint64_t(1) << 63 : ordered, i,
                    (fillHole(i) ? 0u : 2u) + (p.facesCamera ? 1u : 0u)};
    }
    // One counting pass for all seven digits: six of 11 bits of the
    // quality, then the group.
    constexpr int kDigits = 7;
    constexpr int kBits = 11;
    auto digit = [](const Rank& r, int d) {
        return static_cast<size_t>(d < kDigits - 1 ? (r.quality >> (kBits * d)) & ((1u << kBits) - 1) : r.group);
    };
    using Counts = std::array<size_t, size_t(1) << kBits>;
    std::vector<Counts> start(kDigits);
    for (const Rank& r : ranks)
        for (int d = 0; d < kDigits; ++d)
            ++start[static_cast<size_t>(d)][digit(r, d)];
    std::vector<Rank> sorted(ranks.size());
    for (int d = 0; d < kDigits; ++d) {
        Counts& at = start[static_cast<size_t>(d)];
        if (std::find(at.begin(), at.end(), ranks.size()) != at.end())
            continue; // one value for all: the order stays
        size_t sum = 0;
        for (size_t& s : at)
            sum += std::exchange(s, sum);
        for (const Rank& r : ranks)
            sorted[at[digit(r, d)]++] = r;
        ranks.swap(sorted);
    }
    std::vector<uint32_t> order(ranks.size());
    for (size_t i = 0; i < ranks.size(); ++i)
        order[i] = ranks[i].plaque;
    return order;
}

std::vector<uint32_t> backFacesThenQuality(const PlaqueKDTree& tree)
{
    return worstFirst(tree, [](uint32_t) { return false; });
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

    // No direction tables: the lists come sorted by camera and column, so
    // reading them would step down the tables' columns, a cache miss a
    // corner, slower than computing each direction afresh.
    plaques.clear();
    plaques.reserve(records.size());
    std::vector<kdpl::Point> centres;
    centres.reserve(records.size());
    for (const Record& record : records) {
        Plaque& p = plaques.emplace_back(GetPlaqueInfo(context, record, scale));
        if (zeroQuality(record))
            p.quality = 0.0;
        if (indexable(p))
            centres.push_back({p.center.x, p.center.y, p.center.z, static_cast<int32_t>(plaques.size() - 1)});
    }
    location.Init(centres);
    coverIndex_ = std::make_unique<PlaqueCoverIndex>();
    coverIndex_->Build(*this, centres); // in the order the location index left them
}

void PlaqueKDTree::MarkRemoved(size_t plaque)
{
    removed[plaque] = true;
    coverIndex_->Remove(plaque);
}

PlaqueKDTree::PlaqueKDTree(PlaqueKDTree&&) noexcept = default;
PlaqueKDTree& PlaqueKDTree::operator=(PlaqueKDTree&&) noexcept = default;
PlaqueKDTree::~PlaqueKDTree() = default;

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
    std::sort(out.begin(), out.end(), [this](int32_t a, int32_t b) {
        return better(plaques[size_t(a)].quality, a, plaques[size_t(b)].quality, b);
    });
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
    return overlapRadius(farthestCorner(p), p.depth, tree.context.width);
}

OverlapAction GetOverlapAction(const PlaqueKDTree& tree, const Plaque& plaque, uint16_t testPoints,
                               bool qualityCheck, std::vector<bool>& marks)
{
    // Render threads ask once per merged layer; keep their buffers.
    thread_local Heap heap;
    return overlapAction(tree, plaque, testPoints, qualityCheck, marks, heap, false, nullptr);
}

void DectectOverlapsWithQualityCheck(PlaqueKDTree& tree, const std::vector<DetectPlaqueInfo>& records,
                                     DebugOverlapCounters* counters)
{
    const size_t n = std::min(records.size(), tree.plaques.size());
    auto hole = [&records, n](uint32_t i) { return i < n && records[i].estimated != 0; };
    const std::vector<uint32_t> order = worstFirst(tree, hole);
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
