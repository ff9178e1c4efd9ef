#include "analysis/Froxelize.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <thread>

#include "analysis/RedundancyRemoval.h"
#include "camera/Plaque.h"
#include "camera/Sampling.h"
#include "foundation/Logger.h"

using Quorvel::Binary::vekbin;

namespace {

constexpr float kPi = 3.1415927f;
constexpr uint32_t kSlices = 512;

struct Entry {
    uint32_t nearSlice;
    uint32_t farSlice;
    uint64_t sample;
};

using Grid = std::vector<std::vector<Entry>>; // 3200 cells, row-major

VekPoint cameraAt(const RenderingContext& context, uint64_t index)
{
    if (context.cameras && index < context.cameras->size())
        return (*context.cameras)[index];
    return {0.0f, 0.0f, 0.0f};
}

VekPoint direction(const VekPoint& from, const VekPoint& to)
{
    return Quorvel::Utils::normalize({to.x - from.x, to.y - from.y, to.z - from.z});
}

void fillGrid(const RenderingContext& context, const std::vector<vekbin>& samples,
              const std::vector<uint64_t>& list, uint64_t begin, uint64_t end, const VekPoint& P,
              const std::vector<VekPoint>& map, Grid& grid)
{
    for (uint64_t n = begin; n < end; ++n) {
        const uint64_t index = list[n];
        const Plaque plaque = GetPlaqueInfo(context, samples[index], 1.0f);
        int32_t x0 = 0, x1 = 0, y0 = 0, y1 = 0;
        float nearest = 0.0f, farthest = 0.0f;
        for (int c = 0; c < 4; ++c) {
            const VekPoint& corner = plaque.corners[c];
            VekPoint found;
            int32_t cx = 0, cy = 0;
            Quorvel::Camera::getClosestCamDirXYWithFetchMap(direction(P, corner), kFroxelGridWidth,
                                                            kFroxelGridHeight, map, found, cx, cy, 2);
            const float d = Quorvel::Utils::length({corner.x - P.x, corner.y - P.y, corner.z - P.z});
            if (c == 0) {
                x0 = x1 = cx;
                y0 = y1 = cy;
                nearest = farthest = d;
            } else {
                x0 = std::min(x0, cx);
                x1 = std::max(x1, cx);
                y0 = std::min(y0, cy);
                y1 = std::max(y1, cy);
                nearest = std::min(nearest, d);
                farthest = std::max(farthest, d);
            }
        }
        const Entry entry{encodeDepth(nearest) >> 6, encodeDepth(farthest) >> 6, index};
        y0 = std::max(y0, 0);
        y1 = std::min(y1, static_cast<int32_t>(kFroxelGridHeight) - 1);
        for (int32_t r = y0; r <= y1; ++r) {
            const int32_t L = static_cast<int32_t>(
                                  std::floor(80.0f * std::sin((static_cast<float>(r) + 0.5f) / 40.0f * kPi))) +
                              1;
            int32_t from = x0, to = x1;
            // A footprint across the seam of its ring goes round the other way.
            if (x1 >= 3 * L / 4 && L / 4 >= x0) {
                from = x1;
                to = x0 + L;
            }
            for (int32_t k = from; k <= to; ++k) {
                const int32_t column = ((k % L) + L) % L;
                grid[static_cast<std::size_t>(r) * kFroxelGridWidth + static_cast<std::size_t>(column)].push_back(
                    entry);
            }
        }
    }
}

} // namespace

const FroxelGroup (&froxelGroups())[6]
{
    static const FroxelGroup groups[6] = {{12, {0, 0, -1}},  {44, {1, 0, 0}},   {155, {0, 1, 0}},
                                          {76, {0, 0, 1}},   {108, {-1, 0, 0}}, {219, {0, -1, 0}}};
    return groups;
}

uint32_t froxelGroupOf(const VekPoint& position)
{
    const VekPoint p = Quorvel::Utils::normalize(position);
    uint32_t best = 0;
    float bestDot = Quorvel::Utils::dot(froxelGroups()[0].axis, p);
    for (uint32_t g = 1; g < 6; ++g) {
        const float d = Quorvel::Utils::dot(froxelGroups()[g].axis, p);
        if (d > bestDot) {
            bestDot = d;
            best = g;
        }
    }
    return best;
}

std::vector<VoxTrum> Froxelize(const RenderingContext& context, std::vector<vekbin>& samples)
{
    std::array<std::vector<uint64_t>, 6> groups;
    for (uint64_t i = 0; i < samples.size(); ++i)
        groups[froxelGroupOf(samples[i].position)].push_back(i);

    const std::vector<VekPoint> map = Quorvel::Camera::generateFetchMap(kFroxelGridWidth, kFroxelGridHeight);
    const uint64_t threads = std::max(1u, std::thread::hardware_concurrency());
    std::vector<VoxTrum> result;

    for (uint32_t g = 0; g < 6; ++g) {
        const std::vector<uint64_t>& list = groups[g];
        const uint8_t camera = froxelGroups()[g].camera;
        const VekPoint P = cameraAt(context, camera);
        std::vector<Grid> grids(threads, Grid(kFroxelGridWidth * kFroxelGridHeight));
        std::vector<std::thread> pool;
        const float len = static_cast<float>(list.size());
        const float n = static_cast<float>(threads);
        for (uint64_t t = 0; t < threads; ++t) {
            const auto begin = static_cast<uint64_t>(std::floor(static_cast<float>(t) * len / n));
            const auto end = std::min<uint64_t>(
                list.size(), static_cast<uint64_t>(std::floor(static_cast<float>(t + 1) * len / n)));
            pool.emplace_back(fillGrid, std::cref(context), std::cref(samples), std::cref(list), begin,
                              t + 1 == threads ? list.size() : end, P, std::cref(map), std::ref(grids[t]));
        }
        for (auto& t : pool)
            t.join();

        std::vector<std::vector<uint64_t>> bins(kSlices);
        for (const Grid& grid : grids) {
            for (uint64_t cell = 0; cell < grid.size(); ++cell) {
                if (grid[cell].empty())
                    continue;
                for (const Entry& e : grid[cell])
                    for (uint32_t j = std::max(e.nearSlice, kFroxelNearSlice + 1); j <= e.farSlice && j < kSlices;
                         ++j)
                        bins[j].push_back(e.sample);
                for (uint32_t j = 0; j < kSlices; ++j) {
                    if (bins[j].empty())
                        continue;
                    VoxTrum v;
                    v.cameraIndex = camera;
                    v.x = cell % kFroxelGridWidth;
                    v.y = cell / kFroxelGridWidth;
                    v.depthCode = static_cast<uint64_t>(j) * 64;
                    v.members = std::move(bins[j]);
                    bins[j].clear();
                    result.push_back(std::move(v));
                }
            }
        }
    }

    Quorvel::Logger::QvOutputLogString(Quorvel::Logger::DEBUG, "Total %d number of voxtrums to renders\n",
                                       static_cast<int>(result.size()));

    const uint64_t W = context.width;
    const uint64_t H = context.height;
    const std::vector<VekPoint> fullMap = Quorvel::Camera::generateFetchMap(W, H);
    const std::vector<VekPoint> cameras = context.cameras ? *context.cameras : std::vector<VekPoint>{};
    for (const VoxTrum& v : result) {
        const VekPoint origin = cameraAt(context, v.cameraIndex);
        const float depth = decodeDepth(static_cast<uint32_t>(v.depthCode));
        const VekRGB colour = Quorvel::BinIO::GetColorCodeForCamera(static_cast<uint32_t>((v.y * 80 + v.x) % 256));
        for (uint64_t m : v.members) {
            vekbin& s = samples[m];
            VekPoint found;
            int32_t px = 0, py = 0;
            Quorvel::Camera::getClosestCamDirXYWithFetchMap(direction(origin, s.position), W, H, fullMap, found, px,
                                                            py, 2);
            s.camera = v.cameraIndex;
            s.x = static_cast<uint16_t>(px);
            s.y = static_cast<uint16_t>(py);
            s.depth = depth;
            s.colour = {colour.r, colour.g, colour.b, s.colour.a};
            s.width = static_cast<int32_t>(W);
            s.height = static_cast<int32_t>(H);
            s.updateDerived(cameras, 1);
        }
    }
    return result;
}
