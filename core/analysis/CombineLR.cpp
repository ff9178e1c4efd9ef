#include "analysis/CombineLR.h"

#include <cmath>

#include "analysis/KDPointLocation.h"
#include "camera/CameraSet.h"
#include "foundation/Logger.h"

namespace Quorvel::BinIO::inline v2_0 {

namespace {

using Binary::vekbin;

// Reference length of the depth consistency test.
constexpr double kDepthTestDistance = 100.0;

void takeRightColour(vekbin& sample, const VekRGBA& colour)
{
    sample.rightColour = {colour.r, colour.g, colour.b};
}

float distanceBetween(const VekPoint& a, const VekPoint& b)
{
    return Utils::length({a.x - b.x, a.y - b.y, a.z - b.z});
}

size_t runEnd(const std::vector<vekbin>& samples, size_t begin)
{
    size_t end = begin + 1;
    while (end < samples.size() && samples[end].key == samples[begin].key)
        ++end;
    return end;
}

} // namespace

void combineL_R(const std::vector<vekbin>& left, const std::vector<vekbin>& right, const combineLRGlobal& global,
                std::vector<vekbin>& result, std::vector<vekbin>& noMatch)
{
    const float width = static_cast<float>(global.width);
    const float shift = static_cast<float>(-(static_cast<double>(global.ipd) / 20.0 / global.globalScale));
    size_t i = 0;
    size_t k = 0;
    while (i < left.size()) {
        const size_t leftEnd = runEnd(left, i);
        const uint64_t key = left[i].key;
        while (k < right.size() && right[k].key < key)
            ++k;
        if (k == right.size()) {
            result.insert(result.end(), left.begin() + i, left.begin() + leftEnd);
        } else if (right[k].key > key) {
            noMatch.insert(noMatch.end(), left.begin() + i, left.begin() + leftEnd);
        } else {
            const size_t rightEnd = runEnd(right, k);
            for (size_t p = i; p < leftEnd; ++p) {
                vekbin sample = left[p];
                const float factor = Camera::getEyeShiftFactor(static_cast<float>(sample.depth), shift);
                if (shift * factor == 0.0f || global.ipd == 0.0f) {
                    takeRightColour(sample, sample.colour);
                    result.push_back(sample);
                    continue;
                }
                size_t chosen = k;
                for (size_t r = k + 1; r < rightEnd; ++r)
                    if (std::fabs(right[r].depth - sample.depth) < std::fabs(right[chosen].depth - sample.depth))
                        chosen = r;
                if (Camera::depthsFarApart(sample.depth, right[chosen].depth, kDepthTestDistance, width)) {
                    noMatch.push_back(sample);
                } else {
                    takeRightColour(sample, right[chosen].colour);
                    result.push_back(sample);
                }
            }
            k = rightEnd;
        }
        i = leftEnd;
    }
}

void processNoMatch(const std::vector<VekPoint>&, std::vector<vekbin>& result, const std::vector<vekbin>& noMatch,
                    std::vector<vekbin> right, const combineLRGlobal& global)
{
    std::vector<kdpl::Point> points(right.size());
    for (size_t i = 0; i < right.size(); ++i) {
        const VekPoint& p = right[i].position;
        points[i] = {p.x, p.y, p.z, static_cast<int32_t>(i)};
    }
    kdpl::KDPointLocation index;
    index.Init(points);

    std::vector<int32_t> located;
    for (vekbin sample : noMatch) {
        // Length of one pixel column's arc at the sample's depth.
        const float arc = static_cast<float>(sample.depth * 3.1415927410125732 * 2 / global.width);
        const kdpl::float3 centre{sample.position.x, sample.position.y, sample.position.z};
        index.Locate(centre, 2.0f * arc, located);
        if (located.empty())
            index.Locate(centre, 5.0f * arc, located);
        if (located.empty()) {
            Logger::QvOutputLogString(Logger::INFO, "NO NEIGHBOUR distance: %f coordinates : %d, %d \n",
                                      static_cast<double>(arc), sample.x, sample.y);
            result.push_back(sample);
            continue;
        }
        size_t nearest = static_cast<size_t>(located.front());
        float nearestDistance = distanceBetween(right[nearest].position, sample.position);
        for (size_t j = 1; j < located.size(); ++j) {
            const size_t candidate = static_cast<size_t>(located[j]);
            const float d = distanceBetween(right[candidate].position, sample.position);
            if (d < nearestDistance) {
                nearest = candidate;
                nearestDistance = d;
            }
        }
        if (Camera::depthsFarApart(Utils::length(sample.position), Utils::length(right[nearest].position),
                                   kDepthTestDistance, static_cast<float>(global.width)))
            Logger::QvOutputLogString(Logger::INFO,
                                      "NO MATCH distance: %f coordinates : %d, %d , TAKING CLOSEST NEIGHBOUR",
                                      static_cast<double>(arc), sample.x, sample.y);
        takeRightColour(sample, right[nearest].colour);
        result.push_back(sample);
    }
}

} // namespace Quorvel::BinIO::inline v2_0
