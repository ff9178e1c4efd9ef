#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "analysis/KDPointLocation.h"
#include "camera/Plaque.h"
#include "camera/RenderingContext.h"
#include "foundation/Export.h"
#include "foundation/Types.h"
#include "foundation/Vekbin.h"
#include "io/AovFormat.h"
#include "io/RenderSampleRecords.h"
#include "samples/DetectPlaqueInfo.h"

class PlaqueCoverIndex;

// The plaques of one list with their geometry, and a spatial index of the
// centres of those that can cover others. Built once, then read: overlap
// queries may run on many threads, each with its own mark vector.
class QUORVEL_API PlaqueKDTree {
public:
    std::vector<bool> removed;          // one bit per plaque: decided redundant
    RenderingContext context;           // own copy, without lookups
    kdpl::KDPointLocation location;     // centres of the indexed plaques
    std::vector<Plaque> plaques;        // one per input record, same order
    // Priority of every camera, taken from the rendering context's camera set
    // at construction; a camera beyond the list counts as priority 0.
    std::vector<float> cameraPriorities;

    PlaqueKDTree(const RenderingContext& context, const std::vector<Quorvel::BinIO::DetectPlaqueInfo>& records,
                 float scale);
    PlaqueKDTree(const RenderingContext& context, const std::vector<Quorvel::BinIO::qvlRenderSample5_t>& records,
                 float scale);
    PlaqueKDTree(const RenderingContext& context, const std::vector<Quorvel::Binary::vekbin>& records, float scale,
                 bool keepAllQualities);

    // Plaques of other cameras than `excludedCamera`, not removed, not
    // grazing, whose normal is aligned with `normal` by at least
    // `minAlignment` (either side), within `radius` of `centre`; best
    // quality first.
    std::vector<int32_t> GetOverlapList(const VekPoint& centre, float radius, const VekPoint& normal,
                                        float minAlignment, int32_t excludedCamera) const;

    // The same into caller buffers, so that a removal run reuses them.
    void GetOverlapList(const VekPoint& centre, float radius, const VekPoint& normal, float minAlignment,
                        int32_t excludedCamera, std::vector<int32_t>& found, std::vector<int32_t>& out) const;

    float CameraPriority(uint32_t camera) const;

    // Sets a plaque's `removed` bit, keeping the removal runs' search index
    // current.
    void MarkRemoved(size_t plaque);

    // Cover searches walk a second index over the same centres whose nodes
    // carry the best quality below them, so that candidates come out best
    // first without gathering and sorting the whole overlap radius.
    const PlaqueCoverIndex& CoverIndex() const { return *coverIndex_; }
    PlaqueCoverIndex& CoverIndex() { return *coverIndex_; }

    PlaqueKDTree(PlaqueKDTree&&) noexcept;
    PlaqueKDTree& operator=(PlaqueKDTree&&) noexcept;
    ~PlaqueKDTree();

private:
    template <class Record, class QualityOverride>
    void build(const RenderingContext& source, const std::vector<Record>& records, float scale,
               QualityOverride zeroQuality);

    std::unique_ptr<PlaqueCoverIndex> coverIndex_;
};

enum OverlapAction : int32_t { Keep = 0, NoNormal = 1, Remove = 2, Defer = 3 };

struct DebugOverlapCounters {
    uint64_t indices = 0;
    uint64_t firstPass = 0;
    uint64_t deferredCount = 0;
    uint64_t laterPasses = 0;
    uint64_t noNormal = 0;
    uint64_t backFaces = 0;
    uint64_t fillHoles = 0;
    uint64_t hyperTangents = 0;
};

// Test-point mask bits: 0-3 the corners, 4 the centre, 5-12 the extended points.
inline constexpr uint16_t kAllOverlapTestPoints = 0x1FFF;

// Whether the plaque is fully covered by plaques of other cameras. With the
// quality check on, a plaque better than its covers is deferred instead of
// removed. A non-empty mark vector receives the covers of a removed plaque.
QUORVEL_API OverlapAction GetOverlapAction(const PlaqueKDTree& tree, const Plaque& plaque, uint16_t testPoints,
                                           bool qualityCheck, std::vector<bool>& marks);

// Overlap radius of a plaque in the tree's frame.
QUORVEL_API float OverlapRadius(const PlaqueKDTree& tree, const Plaque& plaque);

// Iterative removal over a whole list; sets the tree's `removed` bits.
QUORVEL_API void DectectOverlapsWithQualityCheck(PlaqueKDTree& tree,
                                                 const std::vector<Quorvel::BinIO::DetectPlaqueInfo>& records,
                                                 DebugOverlapCounters* counters);
QUORVEL_API void DectectOverlapSamplesWithQualityCheck(PlaqueKDTree& tree,
                                                       const std::vector<Quorvel::BinIO::qvlRenderSample5_t>& records,
                                                       DebugOverlapCounters* counters);
QUORVEL_API void DectectOverlapVekbinWithQualityCheck(PlaqueKDTree& tree,
                                                      const std::vector<Quorvel::Binary::vekbin>& records,
                                                      DebugOverlapCounters* counters);

// Removes plaques whose back faces a clearly better plaque of another camera
// nearby (the other side of a thin object).
QUORVEL_API void DectectBackfaceVekbin(PlaqueKDTree& tree, const std::vector<Quorvel::Binary::vekbin>& records,
                                       DebugOverlapCounters* counters);

// Drop the records whose bit is set, keeping the order of the others; a bit
// vector of another length leaves the list as it is.
QUORVEL_API void RemoveOverlapList(std::vector<Quorvel::BinIO::DetectPlaqueInfo>& records,
                                   const std::vector<bool>& removed);
// Moves each kept sample's `aovsPerSample` AOV entries with it. An AOV array
// shorter than the samples need leaves both lists as they are.
QUORVEL_API void RemoveOverlapSample5List(std::vector<Quorvel::BinIO::qvlRenderSample5_t>& records,
                                          std::vector<Quorvel::RenderSample::AOVData>& aovs, uint64_t aovsPerSample,
                                          const std::vector<bool>& removed);

QUORVEL_API void WriteDebugCounters(const std::string& path, const DebugOverlapCounters& counters);
