#pragma once

#include <cstdint>
#include <vector>

#include "foundation/Types.h"
#include "io/AovFormat.h"
#include "samples/DetectPlaqueInfo.h"
#include "samples/QvRenderSample.h"

namespace Quorvel::BinIO::inline v2_0 {

// One processed render sample; its first 53 bytes plus 3 padding bytes are the
// 56-byte record image of buffers and the temporary file.
struct OutSample {
    double depth = 0.0;
    VekPoint normal{0.0f, 0.0f, 0.0f};
    VekRGBA color{0.0f, 0.0f, 0.0f, 0.0f};
    int32_t x = 0;
    int32_t y = 0;
    uint32_t cameraIndex = 0;
    int32_t level = 0;
    uint8_t backFacing = 0;
    std::vector<RenderSample::AOVData> aovs;
};

// The samples of one pixel, grouped by key in ascending key order. Emptied
// groups and samples keep their storage, so a bucket that has grown once
// routes without allocating.
class PixelCell {
public:
    struct Group {
        uint64_t key = 0;
        std::vector<RenderSample::QvRenderSample> samples; // empty: an unused group
    };

    // Appends a copy of the sample to the group of key; `spare` lends
    // recycled samples whose AOV storage is reused.
    void add(uint64_t key, const RenderSample::QvRenderSample& sample,
             std::vector<RenderSample::QvRenderSample>& spare);

    // Empties every group, handing its samples to `spare`.
    void clear(std::vector<RenderSample::QvRenderSample>& spare);

    bool empty() const;

    // Calls f(key, samples) for every non-empty group, by ascending key.
    template <typename F>
    void forEachGroup(F&& f) const
    {
        for (const Group& group : groups_)
            if (!group.samples.empty())
                f(group.key, group.samples);
    }

private:
    std::vector<Group> groups_; // sorted by key
};

// How a detection bucket stands to the buckets of the other threads. The
// buckets' raster order is the order the host's sample sequence gives, and
// where two hits race for one camera pixel the earlier one in it wins.
enum class BucketMode : uint8_t {
    Unordered,   // no place in the bucket grid: hits are decided as they arrive
    Exact,       // every earlier bucket is written: hits are decided as they arrive
    Speculative, // earlier buckets are still open: hits are kept and decided at the flush
};

// A detection hit of a speculative bucket, kept until the earlier buckets are
// written and the claims it depends on are known.
struct DetectCandidate {
    DetectPlaqueInfo record;
    int32_t x = 0;       // host pixel of the hit
    int32_t y = 0;
    uint16_t camera = 0; // the hit's camera, 256 when it names none
    uint8_t path = 0;    // DetectCandidate::None, Opaque, Transparent or Hair
    uint8_t counted = 0; // the hit counts as a received sample of its pixel
    enum : uint8_t { None, Opaque, Transparent, Hair };
};

// What one render thread collects for the bucket it has open.
struct ThreadRegion {
    std::vector<DetectPlaqueInfo> detectRecords;
    std::vector<OutSample> outSamples;
    uint64_t x0 = 0;
    uint64_t y0 = 0;
    uint64_t x1 = 0;
    uint64_t y1 = 0;
    uint64_t bucketWidth = 0;
    uint64_t bucketHeight = 0;
    uint64_t sampleCount = 0;
    bool active = false;
    std::vector<PixelCell> pixels; // bucketWidth columns x bucketHeight rows, row-major
    std::vector<RenderSample::QvRenderSample> spareSamples; // storage of released samples
    BucketMode mode = BucketMode::Unordered;
    uint64_t rank = 0; // place of the open bucket in the grid's raster order
    std::vector<DetectCandidate> candidates;

    // Cell of pixel (x, y) of the open bucket, or null outside the bucket or
    // the grid.
    PixelCell* cell(int64_t x, int64_t y);

    ThreadRegion() = default;
    ThreadRegion(uint64_t width, uint64_t height);
};

} // namespace Quorvel::BinIO::inline v2_0
