#include "analysis/KDPointLocation.h"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <map>
#include <utility>

#include "analysis/KDPointLocationKernels.h"

namespace kdpl {

namespace {

constexpr size_t SmallRange = 32;

constexpr float Point::*const Component[3] = {&Point::x, &Point::y, &Point::z};

// Sorts the short range [lo, hi] on one coordinate.
void insertionSort(Point* p, size_t lo, size_t hi, float Point::*key)
{
    for (size_t i = lo + 1; i <= hi; ++i) {
        const Point v = p[i];
        size_t j = i;
        while (j > lo && v.*key < p[j - 1].*key) {
            p[j] = p[j - 1];
            --j;
        }
        p[j] = v;
    }
}

// Introselect: afterwards p[m] holds the element a full sort on `key` would
// put there, with nothing larger before it and nothing smaller after it.
void select(Point* p, size_t lo, size_t hi, size_t m, float Point::*key)
{
    int depthBudget = 2 * static_cast<int>(std::bit_width(hi - lo + 1));
    while (hi - lo + 1 > SmallRange) {
        if (depthBudget-- == 0) {
            // Quickselect keeps drawing poor pivots; heap selection bounds the cost.
            std::partial_sort(p + lo, p + m + 1, p + hi + 1,
                              [key](const Point& a, const Point& b) { return a.*key < b.*key; });
            return;
        }
        // Median of three to the front as the pivot.
        const size_t mid = lo + (hi - lo) / 2;
        if (p[mid].*key < p[lo].*key)
            std::swap(p[mid], p[lo]);
        if (p[hi].*key < p[lo].*key)
            std::swap(p[hi], p[lo]);
        if (p[hi].*key < p[mid].*key)
            std::swap(p[hi], p[mid]);
        std::swap(p[lo], p[mid]);
        const float pivot = p[lo].*key;

        // Hoare partition; stopping on equal keys keeps runs of duplicates balanced.
        size_t i = lo;
        size_t j = hi + 1;
        for (;;) {
            do
                ++i;
            while (i <= hi && p[i].*key < pivot);
            do
                --j;
            while (pivot < p[j].*key); // p[lo] is the pivot itself, so j stops there
            if (i >= j)
                break;
            std::swap(p[i], p[j]);
        }
        std::swap(p[lo], p[j]);

        if (m == j)
            return;
        if (m < j)
            hi = j - 1;
        else
            lo = j + 1;
    }
    insertionSort(p, lo, hi, key);
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
    const auto usable = std::stable_partition(points.begin(), points.end(), [](const Point& p) {
        return !std::isnan(p.x) && !std::isnan(p.y) && !std::isnan(p.z);
    });
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
    node.boxMin[0] = node.boxMax[0] = points[lo].x;
    node.boxMin[1] = node.boxMax[1] = points[lo].y;
    node.boxMin[2] = node.boxMax[2] = points[lo].z;
    for (size_t i = lo + 1; i <= hi; ++i) {
        const float c[3] = {points[i].x, points[i].y, points[i].z};
        for (int a = 0; a < 3; ++a) {
            node.boxMin[a] = std::min(node.boxMin[a], c[a]);
            node.boxMax[a] = std::max(node.boxMax[a], c[a]);
        }
    }

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
    float Point::*const key = Component[node.axis];
    select(points, lo, hi, m, key);
    node.split = points[m].*key;
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
            test(leaves_[n.leaf], n.count);
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
