#pragma once

// nanoflann, the peer of our spatial indexes, over a vector of points with
// x, y and z members, searched with the point-location tree's criterion.

#include <nanoflann.hpp>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace QuorvelBench {

template <class P>
struct Cloud {
    const std::vector<P>* pts;
    size_t kdtree_get_point_count() const { return pts->size(); }
    float kdtree_get_pt(size_t i, size_t dim) const
    {
        const P& p = (*pts)[i];
        return dim == 0 ? p.x : dim == 1 ? p.y : p.z;
    }
    template <class BBox>
    bool kdtree_get_bbox(BBox&) const
    {
        return false;
    }
};

template <class P>
using Flann = nanoflann::KDTreeSingleIndexAdaptor<nanoflann::L2_Simple_Adaptor<float, Cloud<P>>, Cloud<P>, 3, uint32_t>;

// Hands `take` the index of every point with squared distance <= r², the
// tree's own criterion. nanoflann offers a point only when its distance is
// < worstDist(), so that reports the next float above r².
template <class Take>
struct InclusiveResult {
    float r2;
    float above;
    Take& take;
    size_t count = 0;
    void init() { count = 0; }
    void clear() { count = 0; }
    size_t size() const { return count; }
    bool full() const { return true; }
    bool addPoint(float dist, uint32_t index)
    {
        if (dist <= r2) {
            take(index);
            ++count;
        }
        return true;
    }
    float worstDist() const { return above; }
};

template <class P, class Take>
void radiusSearch(const Flann<P>& index, const P& centre, float radius, Take&& take)
{
    const float r2 = radius * radius;
    InclusiveResult<Take> result{r2, std::nextafter(r2, HUGE_VALF), take};
    const float query[3] = {centre.x, centre.y, centre.z};
    index.radiusSearchCustomCallback(query, result, nanoflann::SearchParams(32, 0.0f, false));
}

} // namespace QuorvelBench
