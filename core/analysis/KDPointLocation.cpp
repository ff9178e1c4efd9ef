#include "analysis/KDPointLocation.h"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <map>

#include "analysis/KDPointLocationKernels.h"
#include "analysis/MedianSelect.h"

namespace kdpl {

namespace {

void selectOnAxis(Point* p, size_t lo, size_t hi, size_t m, int axis)
{
    if (axis == 0)
        detail::selectMedian(p, lo, hi, m, [](const Point& q) { return q.x; });
    else if (axis == 1)
        detail::selectMedian(p, lo, hi, m, [](const Point& q) { return q.y; });
    else
        detail::selectMedian(p, lo, hi, m, [](const Point& q) { return q.z; });
}

float coordinate(const Point& p, int axis)
{
    return axis == 0 ? p.x : axis == 1 ? p.y : p.z;
}

// Component-wise bounds of the points [lo, hi].
void bounds(const Point* points, size_t lo, size_t hi, float* boxMin, float* boxMax)
{
#if defined(__SSE2__)
    static_assert(sizeof(Point) == 16);
    __m128 mn = _mm_loadu_ps(&points[lo].x);
    __m128 mx = mn;
    for (size_t i = lo + 1; i <= hi; ++i) {
        const __m128 v = _mm_loadu_ps(&points[i].x); // the fourth lane (index) is ignored
        mn = _mm_min_ps(mn, v);
        mx = _mm_max_ps(mx, v);
    }
    alignas(16) float a[4], b[4];
    _mm_store_ps(a, mn);
    _mm_store_ps(b, mx);
    for (int k = 0; k < 3; ++k) {
        boxMin[k] = a[k];
        boxMax[k] = b[k];
    }
#else
    boxMin[0] = boxMax[0] = points[lo].x;
    boxMin[1] = boxMax[1] = points[lo].y;
    boxMin[2] = boxMax[2] = points[lo].z;
    for (size_t i = lo + 1; i <= hi; ++i) {
        const float c[3] = {points[i].x, points[i].y, points[i].z};
        for (int a = 0; a < 3; ++a) {
            boxMin[a] = std::min(boxMin[a], c[a]);
            boxMax[a] = std::max(boxMax[a], c[a]);
        }
    }
#endif
}

// Leaves a build over `count` points produces, for reserving exactly.
size_t leafCount(size_t count, std::map<size_t, size_t>& memo)
{
    if (count <= static_cast<size_t>(KDPointLocation::LeafSlots))
        return 1;
    if (auto it = memo.find(count); it != memo.end())
        return it->second;
    const size_t n = leafCount((count + 1) / 2, memo) + leafCount(count / 2, memo);
    memo.emplace(count, n);
    return n;
}

} // namespace

void KDPointLocation::Init(std::vector<Point>& points)
{
    nodes_ = {};
    leaves_ = {};
    // A point with a NaN coordinate fails every distance and slab test, and
    // its unordered keys would break the median partition for the others, so
    // it stays out of the tree (at the back of the vector). The others keep
    // their order: it decides slot order, and callers break ties by it.
    auto isUsable = [](const Point& p) { return !std::isnan(p.x) && !std::isnan(p.y) && !std::isnan(p.z); };
    auto usable = points.end();
    if (!std::all_of(points.begin(), points.end(), isUsable)) // spares the buffer in the common case
        usable = std::stable_partition(points.begin(), points.end(), isUsable);
    const auto count = static_cast<size_t>(usable - points.begin());
    if (count == 0)
        return;
    std::map<size_t, size_t> memo;
    const size_t leaves = leafCount(count, memo);
    leaves_.reserve(leaves);
    nodes_.reserve(2 * leaves - 1);
    build(points.data(), 0, count - 1);
}

void KDPointLocation::Init(const float3* points, size_t count)
{
    std::vector<Point> list(count);
    for (size_t i = 0; i < count; ++i)
        list[i] = {points[i].x, points[i].y, points[i].z, static_cast<int32_t>(i)};
    Init(list);
}

int32_t KDPointLocation::build(Point* points, size_t lo, size_t hi)
{
    Node node{};
    bounds(points, lo, hi, node.boxMin, node.boxMax);

    const auto id = static_cast<int32_t>(nodes_.size());
    const size_t count = hi - lo + 1;
    if (count <= static_cast<size_t>(LeafSlots)) {
        LeafBlock block;
        for (int s = 0; s < LeafSlots; ++s) {
            block.x[s] = block.y[s] = block.z[s] = FLT_MAX;
            block.index[s] = -1;
        }
        for (size_t s = 0; s < count; ++s) {
            const Point& p = points[lo + s];
            block.x[s] = p.x;
            block.y[s] = p.y;
            block.z[s] = p.z;
            block.index[s] = p.index;
        }
        node.axis = -1;
        node.leaf = static_cast<int32_t>(leaves_.size());
        node.count = static_cast<int32_t>(count);
        leaves_.push_back(block);
        nodes_.push_back(node);
        return id;
    }

    const float ex = node.boxMax[0] - node.boxMin[0];
    const float ey = node.boxMax[1] - node.boxMin[1];
    const float ez = node.boxMax[2] - node.boxMin[2];
    if (ex >= ey && ex >= ez)
        node.axis = 0;
    else if (ey >= ex && ey >= ez)
        node.axis = 1;
    else
        node.axis = 2;

    const size_t m = (lo + hi) / 2;
    selectOnAxis(points, lo, hi, m, node.axis);
    node.split = coordinate(points[m], node.axis);
    node.leaf = -1;
    nodes_.push_back(node);

    build(points, lo, m); // lands at id + 1
    const int32_t right = build(points, m + 1, hi);
    nodes_[id].right = right;
    return id;
}

template <class LeafTest>
void KDPointLocation::visit(int32_t id, const float* qmin, const float* qmax, LeafTest& test) const
{
    for (;;) {
        const Node& n = nodes_[id];
#if defined(__SSE2__)
        const __m128 beyond = _mm_or_ps(_mm_cmpgt_ps(_mm_load_ps(n.boxMin), _mm_load_ps(qmax)),
                                        _mm_cmplt_ps(_mm_load_ps(n.boxMax), _mm_load_ps(qmin)));
        if (_mm_movemask_ps(beyond) & 7)
            return;
#else
        for (int a = 0; a < 3; ++a)
            if (n.boxMin[a] > qmax[a] || n.boxMax[a] < qmin[a])
                return;
#endif
        if (n.axis < 0) {
            test(n.leaf, n.count);
            return;
        }
        if (!(n.split < qmin[n.axis]))
            visit(id + 1, qmin, qmax, test);
        if (n.split > qmax[n.axis])
            return;
        id = n.right;
    }
}

template <class LeafTest>
void KDPointLocation::search(const float3& centre, float radius, LeafTest& test) const
{
    auto byBlock = [&](int32_t leaf, int count) { test(leaves_[static_cast<size_t>(leaf)], count); };
    searchLeaves(centre, radius, byBlock);
}

template <class LeafTest>
void KDPointLocation::searchLeaves(const float3& centre, float radius, LeafTest& test) const
{
    // A negative or NaN radius encloses nothing; without this the pruning
    // would still reach some leaves and return an arbitrary subset.
    if (nodes_.empty() || !(radius >= 0.0f))
        return;
    alignas(16) const float qmin[4] = {centre.x - radius, centre.y - radius, centre.z - radius, 0.0f};
    alignas(16) const float qmax[4] = {centre.x + radius, centre.y + radius, centre.z + radius, 0.0f};
    visit(0, qmin, qmax, test);
}

namespace {

void appendSlots(const KDPointLocation::LeafBlock& block, uint32_t mask, std::vector<int32_t>& out)
{
    while (mask != 0) {
        out.push_back(block.index[std::countr_zero(mask)]);
        mask &= mask - 1;
    }
}

} // namespace

void KDPointLocation::Locate(const float3& centre, float radius, std::vector<int32_t>& out) const
{
    out.clear();
    const float r2 = radius * radius;
    auto test = [&](const LeafBlock& block, int count) {
        appendSlots(block, kernels::within(block, count, centre, r2), out);
    };
    search(centre, radius, test);
}

void KDPointLocation::Locate(const float3& centre, float radius, const float3& apex,
                             const float3& axis, float cosLimit, float slabNear, float slabFar,
                             std::vector<int32_t>& out) const
{
    out.clear();
    auto test = [&](const LeafBlock& block, int count) {
        appendSlots(block, kernels::cone(block, count, apex, axis, cosLimit, slabNear, slabFar), out);
    };
    search(centre, radius, test);
}

} // namespace kdpl
