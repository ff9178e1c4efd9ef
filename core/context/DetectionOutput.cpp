#include "context/DetectionOutput.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <iterator>
#include <tuple>

#include "analysis/RedundancyRemoval.h"
#include "camera/CameraSet.h"
#include "camera/CubeMap.h"
#include "context/QuorvelContext.h"

namespace Quorvel::Block::inline v2_0 {

using BinIO::DetectPlaqueInfo;

namespace {

constexpr float kMinimumDepth = 1.1920929e-7f;
constexpr uint32_t kEmptyCell = UINT32_MAX;

int32_t pixelFace(uint64_t x, uint64_t y, uint64_t width, uint64_t height)
{
    const float u = static_cast<float>(x) / static_cast<float>(width);
    const float v = static_cast<float>(y) / static_cast<float>(height);
    return Camera::cubeMapFace(2.0f * u - 1.0f, 2.0f * v - 1.0f);
}

bool orderedBefore(const DetectPlaqueInfo& a, const DetectPlaqueInfo& b)
{
    return std::make_tuple(a.transparent, a.cameraIndex, a.x, a.y, a.depth) <
           std::make_tuple(b.transparent, b.cameraIndex, b.x, b.y, b.depth);
}

void mergeInto(std::vector<DetectPlaqueInfo>& list, const std::vector<DetectPlaqueInfo>& other)
{
    if (other.empty())
        return;
    std::vector<DetectPlaqueInfo> merged;
    merged.reserve(list.size() + other.size());
    std::merge(list.begin(), list.end(), other.begin(), other.end(), std::back_inserter(merged), orderedBefore);
    list.swap(merged);
}

void promote(std::vector<DetectPlaqueInfo>& plaques, uint8_t level)
{
    const uint32_t factor = 1u << level;
    for (DetectPlaqueInfo& p : plaques) {
        p.level = level;
        p.x = static_cast<uint16_t>(p.x * factor);
        p.y = static_cast<uint16_t>(p.y * factor);
    }
}

void mergeLevels(std::vector<DetectPlaqueInfo>& list, uint64_t width, uint64_t height, float threshold)
{
    std::vector<DetectPlaqueInfo> levels[3];
    levels[0] = quadMerge(list, width, height, threshold);
    if (!levels[0].empty())
        levels[1] = quadMerge(levels[0], width / 2, height / 2, threshold);
    if (!levels[1].empty())
        levels[2] = quadMerge(levels[1], width / 4, height / 4, threshold);
    for (uint8_t level = 1; level <= 3; ++level) {
        promote(levels[level - 1], level);
        mergeInto(list, levels[level - 1]);
    }
}

} // namespace

std::vector<DetectPlaqueInfo> quadMerge(std::vector<DetectPlaqueInfo>& plaques, uint64_t width, uint64_t height,
                                        float threshold)
{
    std::vector<DetectPlaqueInfo> promoted;
    const uint64_t cells = width * height;
    // A face index needs two rows of faces; the grid holds 32-bit plaque indices.
    if (plaques.empty() || height < 2 || width == 0 || cells / width != height || cells >= kEmptyCell ||
        plaques.size() >= kEmptyCell)
        return promoted;

    const double sine = std::sin(static_cast<double>(6.2831855f) / static_cast<double>(width));
    const uint64_t faceSide = height / 2;
    auto faceIndex = [faceSide](const DetectPlaqueInfo& p) { return (p.y / faceSide) * 3 + p.x / faceSide; };

    std::vector<uint32_t> grid(cells, kEmptyCell);
    std::vector<bool> isPromoted(plaques.size(), false);
    std::vector<bool> isConsumed(plaques.size(), false);

    std::size_t begin = 0;
    while (begin < plaques.size()) {
        const uint8_t camera = plaques[begin].cameraIndex;
        std::size_t end = begin;
        while (end < plaques.size() && plaques[end].cameraIndex == camera)
            ++end;

        for (std::size_t i = begin; i < end; ++i) {
            const DetectPlaqueInfo& p = plaques[i];
            if (p.x >= width || p.y >= height)
                continue;
            const float u = (static_cast<float>(p.x) + 0.5f) / static_cast<float>(width);
            const float v = (static_cast<float>(p.y) + 0.5f) / static_cast<float>(height);
            const VekPoint d = Camera::cubeMapDirection(u, v);
            const float depth = std::max(p.depth, kMinimumDepth);
            const float facing = std::fabs(d.x * p.normal.x + d.y * p.normal.y + d.z * p.normal.z);
            if (static_cast<double>(threshold) > static_cast<double>(depth / facing) * sine)
                grid[p.y * width + p.x] = static_cast<uint32_t>(i);
        }

        for (std::size_t i = begin; i < end; ++i) {
            const DetectPlaqueInfo& p = plaques[i];
            if ((p.x & 1) || (p.y & 1) || isPromoted[i] || isConsumed[i])
                continue;
            // Partners right, below and below-right; a row that ends or a
            // below neighbour on another face leaves the quad incomplete.
            if (p.x + 1u >= width || p.y + 1u >= height ||
                pixelFace(p.x, p.y, width, height) != pixelFace(p.x, p.y + 1, width, height))
                continue;
            const uint64_t below = (p.y + 1) * width + p.x;
            const uint32_t partners[3] = {grid[p.y * width + p.x + 1], grid[below], grid[below + 1]};
            bool merges = true;
            for (uint32_t j : partners)
                merges = merges && j != kEmptyCell && j != i && !isPromoted[j] && !isConsumed[j] &&
                         faceIndex(plaques[j]) == faceIndex(p);
            if (!merges)
                continue;

            const DetectPlaqueInfo* quad[4] = {&p, &plaques[partners[0]], &plaques[partners[1]], &plaques[partners[2]]};
            float depths[4];
            for (int k = 0; k < 4; ++k)
                depths[k] = std::max(quad[k]->depth, kMinimumDepth);
            const float mean = (depths[0] + depths[1] + depths[2] + depths[3]) * 0.25f;
            for (float depth : depths)
                merges = merges && !Camera::depthsFarApart(mean, depth, 100.0, static_cast<float>(width));
            if (!merges)
                continue;

            DetectPlaqueInfo coarse = p;
            coarse.depth = mean;
            coarse.normal = {(quad[0]->normal.x + quad[1]->normal.x + quad[2]->normal.x + quad[3]->normal.x) * 0.25f,
                             (quad[0]->normal.y + quad[1]->normal.y + quad[2]->normal.y + quad[3]->normal.y) * 0.25f,
                             (quad[0]->normal.z + quad[1]->normal.z + quad[2]->normal.z + quad[3]->normal.z) * 0.25f};
            coarse.x = static_cast<uint16_t>(p.x / 2);
            coarse.y = static_cast<uint16_t>(p.y / 2);
            plaques[i] = coarse;
            isPromoted[i] = true;
            for (uint32_t j : partners)
                isConsumed[j] = true;
        }

        // Back to an empty grid for the next camera without clearing it whole.
        for (std::size_t i = begin; i < end; ++i) {
            const DetectPlaqueInfo& p = plaques[i];
            if (isPromoted[i]) {
                const uint64_t x = static_cast<uint64_t>(p.x) * 2, y = static_cast<uint64_t>(p.y) * 2;
                grid[y * width + x] = kEmptyCell;
            } else if (p.x < width && p.y < height) {
                grid[p.y * width + p.x] = kEmptyCell;
            }
        }
        begin = end;
    }

    std::size_t kept = 0;
    for (std::size_t i = 0; i < plaques.size(); ++i) {
        if (isPromoted[i])
            promoted.push_back(plaques[i]);
        else if (!isConsumed[i])
            plaques[kept++] = plaques[i];
    }
    plaques.resize(kept);
    return promoted;
}

void processFillHoleIndices(const RenderingContext& context, std::vector<DetectPlaqueInfo>& plaques, float renderScale)
{
    const bool transparencyPass = Phase::getQuorvelContext().transparencyMode.get() == Phase::TRANSP;
    BinIO::RemoveRedundancies(plaques, context, transparencyPass ? 1.0f : 0.475f);

    for (DetectPlaqueInfo& p : plaques)
        p.level = 0;
    const auto firstTransparent =
        std::stable_partition(plaques.begin(), plaques.end(), [](const DetectPlaqueInfo& p) { return !p.transparent; });
    std::vector<DetectPlaqueInfo> transparent(firstTransparent, plaques.end());
    plaques.erase(firstTransparent, plaques.end());

    const float threshold = 0.1f / (2.0f * renderScale);
    for (std::vector<DetectPlaqueInfo>* list : {&plaques, &transparent}) {
        if (list->empty())
            continue;
        // overlap removal joins here once the plaque tree is in
        (void)context;
        mergeLevels(*list, context.width, context.height, threshold);
    }
    plaques.insert(plaques.end(), transparent.begin(), transparent.end());
}

} // namespace Quorvel::Block::inline v2_0
