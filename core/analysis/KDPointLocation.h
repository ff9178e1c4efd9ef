#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "foundation/Export.h"

// Static k-d tree over 3D points for radius queries. Leaves hold 16 points
// column-wise so that one leaf is tested four points per instruction. Built
// once, then queried read-only (concurrent queries are fine; Init is not).
namespace kdpl {

struct float3 {
    float x;
    float y;
    float z;
};

struct Point {
    float x;
    float y;
    float z;
    int32_t index;
};

class QUORVEL_API KDPointLocation {
public:
    static constexpr int LeafSlots = 16;

    // Builds over the vector, which is reordered in place. Points with a NaN
    // coordinate can match no query; they are moved to the back and left out,
    // the others keeping their order.
    void Init(std::vector<Point>& points);
    // Builds over the array; each point's index is its array position.
    void Init(const float3* points, size_t count);

    // Indices of every point with squared distance <= radius², in tree order
    // (left subtrees first, slot order within a leaf).
    void Locate(const float3& centre, float radius, std::vector<int32_t>& out) const;

    // Visits the leaves a box query around `centre` ± `radius` reaches and
    // keeps, in every one of them, the points q with t = dot(q - apex, axis)
    // in [slabNear, slabFar] and t / |q - apex| <= cosLimit.
    void Locate(const float3& centre, float radius, const float3& apex, const float3& axis,
                float cosLimit, float slabNear, float slabFar, std::vector<int32_t>& out) const;

    bool Empty() const { return nodes_.empty(); }

    // Column-wise leaf: 16 x, 16 y, 16 z, 16 indices. Unused slots hold the
    // largest float and index -1.
    struct alignas(64) LeafBlock {
        float x[LeafSlots];
        float y[LeafSlots];
        float z[LeafSlots];
        int32_t index[LeafSlots];
    };

private:
    struct alignas(16) Node {
        float boxMin[4];
        float boxMax[4];
        int32_t axis;  // -1 for a leaf
        float split;
        int32_t right; // internal node: right child (the left child follows the node)
        int32_t leaf;  // leaf: block number
        int32_t count; // leaf: occupied slots
    };

    int32_t build(Point* points, size_t lo, size_t hi);

    // Runs `test` on every leaf the box query centre ± radius reaches.
    template <class LeafTest>
    void search(const float3& centre, float radius, LeafTest& test) const;
    template <class LeafTest>
    void searchLeaves(const float3& centre, float radius, LeafTest& test) const;
    template <class LeafTest>
    void visit(int32_t node, const float* qmin, const float* qmax, LeafTest& test) const;

    std::vector<Node> nodes_; // depth-first; nodes_[0] is the root
    std::vector<LeafBlock> leaves_;
};

} // namespace kdpl
