#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "foundation/Types.h"
#include "foundation/Vekbin.h"

// Reduces the samples of a render group before they are written: small
// plaques are promoted to coarser levels in 2 x 2 blocks, and similar
// neighbours of one camera are grouped into plaques of up to 3 x 3 cells.
namespace Quorvel::Filtering {

using Binary::vekbin;

struct FilterParams {
    float normalTolerance = 0.95f;
    float colorTolerance = 2.3f;
    float alphaTolerance = 0.0f;
    float planeTolerance = 0.2f;
    uint64_t width = 0;
    uint64_t height = 0;
    uint64_t maxPlaqueWidth = 3;
    uint64_t maxPlaqueHeight = 3;
    float grazingThreshold = 0.0f;
    bool mergeHypertangent = true;
};

// One contiguous run of samples in a list.
struct CamData {
    uint64_t first = 0;
    uint64_t count = 0;
};

inline constexpr int32_t kNoPattern = 15;

struct NeighbourInfo {
    std::array<uint64_t, 8> neighbour{};
    std::array<bool, 8> found{};
    uint8_t mask = 0;
    bool head = false;
    bool taken = false;
    bool grazing = false;
    int32_t pattern = kNoPattern;
};

struct GroupPattern {
    uint8_t mask;
    uint8_t width;
    uint8_t height;
    int8_t anchor; // slot lending its pixel, -1 for the sample itself
};
const std::array<GroupPattern, 15>& groupPatterns();

// 124 unit directions in 10 rings; samples are grouped by the closest one.
const std::array<VekPoint, 124>& directionBuckets();
// 124 for semi-transparent samples without the flag and for the origin.
uint32_t directionBucket(const vekbin& sample);

// CIE-based distance of two linear colours; c1 is the reference.
float colourDistance(const VekRGB& c1, const VekRGB& c2);
// Largest group width and height a sample may carry, from its slope.
std::pair<uint32_t, uint32_t> slopeLimits(const VekPoint& position, const VekPoint& normal, bool transparencyFlag);
bool isSimilar(const vekbin& i, const vekbin& j, const VekPoint& camera, const FilterParams& params,
               int32_t projection);

// Level resizing by a factor of 2, 4 or 8.
void resizeDown(const std::vector<VekPoint>& cameras, std::vector<vekbin>& samples, uint64_t width, uint64_t height,
                uint32_t factor, int32_t projection);
void resizeUp(const std::vector<VekPoint>& cameras, std::vector<vekbin>& samples, uint64_t width, uint64_t height,
              uint32_t factor, int32_t projection);

// Stable merge in key order; on ties the first list's sample comes first.
std::vector<vekbin> mergeKeyOrder(std::vector<vekbin>&& first, std::vector<vekbin>&& second);

void promoteSmallPlaques(const std::vector<VekPoint>& cameras, std::vector<vekbin>& samples,
                         const FilterParams& params, float threshold, std::vector<vekbin>& promoted,
                         int32_t projection);

// The shared state of one grouping pass over one list; the call operator
// groups one run of one camera. Runs are disjoint, so workers may call it
// concurrently on different runs.
class filterGetBiggerPart {
public:
    filterGetBiggerPart(const std::vector<VekPoint>& cameras, int32_t projection, std::vector<vekbin>& samples,
                        const FilterParams& params);
    void operator()(uint64_t first, uint64_t end);
    // Drops the samples whose keep flag is clear.
    void compact();

private:
    // Pixel of the row below (down = true) or above that pixel (x, y) maps
    // to, or -1 when there is none.
    int64_t mappedColumn(uint64_t x, uint64_t y, bool down) const;

    std::vector<VekPoint> cameras_;
    int32_t projection_;
    std::vector<vekbin>& samples_;
    std::vector<uint8_t> keep_; // one byte per sample: workers never share a word
    FilterParams params_;
    std::vector<float> ratioBelow_; // latitude-longitude column ratios per row
    std::vector<float> ratioAbove_;
};

void clusterSimilarPlaques(const std::vector<VekPoint>& cameras, std::vector<vekbin>& samples,
                           const FilterParams& params, int32_t projection);

// The list must be in key order; it afterwards holds the filtered samples.
void filterSamples(std::vector<vekbin>& samples, float threshold, const FilterParams& params,
                   const std::vector<VekPoint>& cameras, int32_t projection);

// Hardware threads, at least 1.
unsigned workerCount();

} // namespace Quorvel::Filtering
