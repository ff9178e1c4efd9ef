#include "samples/ThreadRegion.h"

#include <algorithm>

namespace Quorvel::BinIO::inline v2_0 {

using RenderSample::QvRenderSample;

void PixelCell::add(uint64_t key, const QvRenderSample& sample, std::vector<QvRenderSample>& spare)
{
    const auto byKey = [](const Group& g, uint64_t k) { return g.key < k; };
    auto it = std::lower_bound(groups_.begin(), groups_.end(), key, byKey);
    if (it == groups_.end() || it->key != key) {
        auto unused = std::find_if(groups_.begin(), groups_.end(), [](const Group& g) { return g.samples.empty(); });
        if (unused != groups_.end())
            unused->key = key;
        else
            groups_.push_back(Group{key, {}});
        std::sort(groups_.begin(), groups_.end(), [](const Group& a, const Group& b) { return a.key < b.key; });
        it = std::lower_bound(groups_.begin(), groups_.end(), key, byKey);
    }
    std::vector<QvRenderSample>& samples = it->samples;
    if (spare.empty()) {
        samples.push_back(sample);
        return;
    }
    samples.push_back(std::move(spare.back()));
    spare.pop_back();
    samples.back() = sample;
}

void PixelCell::clear(std::vector<QvRenderSample>& spare)
{
    for (Group& group : groups_) {
        for (QvRenderSample& sample : group.samples)
            spare.push_back(std::move(sample));
        group.samples.clear();
    }
}

bool PixelCell::empty() const
{
    return std::all_of(groups_.begin(), groups_.end(), [](const Group& g) { return g.samples.empty(); });
}

ThreadRegion::ThreadRegion(uint64_t width, uint64_t height)
    : x1(width), y1(height), bucketWidth(width), bucketHeight(height), pixels(width * height)
{
    // A pixel rarely yields more than 32 records, so a bucket seldom regrows.
    detectRecords.reserve(width * height * 32);
}

PixelCell* ThreadRegion::cell(int64_t x, int64_t y)
{
    if (x < 0 || y < 0 || static_cast<uint64_t>(x) < x0 || static_cast<uint64_t>(x) >= x1 ||
        static_cast<uint64_t>(y) < y0 || static_cast<uint64_t>(y) >= y1)
        return nullptr;
    const uint64_t column = static_cast<uint64_t>(x) - x0;
    const uint64_t row = static_cast<uint64_t>(y) - y0;
    if (column >= bucketWidth || row >= bucketHeight)
        return nullptr;
    return &pixels[row * bucketWidth + column];
}

} // namespace Quorvel::BinIO::inline v2_0
