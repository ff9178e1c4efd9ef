#pragma once

#include <array>
#include <atomic>
#include <cfloat>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/Types.h"
#include "io/AovFormat.h"
#include "samples/BucketOrder.h"
#include "samples/DetectPlaqueInfo.h"
#include "samples/ThreadRegion.h"

class PlaqueKDTree;

namespace Quorvel::Phase::inline v2_0 {

// Logs the unset-read message at TRACE and throws an empty std::exception.
[[noreturn]] void throwUnsetValue();

// A setting with an is-set flag. Reading an unset value is a caller bug.
template <typename T>
class QvOptional {
public:
    constexpr QvOptional() = default;
    constexpr explicit QvOptional(const T& initial) : value_(initial) {}

    const T& get() const
    {
        if (!isSet_)
            throwUnsetValue();
        return value_;
    }

    void set(const T& value)
    {
        value_ = value;
        isSet_ = true;
    }

    bool isSet() const { return isSet_; }

    // The stored value whether or not it was set; only for reports and resets.
    const T& peek() const { return value_; }

private:
    T value_{};
    bool isSet_ = false;
};

// Every setting QvInitPhase restores; the values here are the initial ones.
struct QuorvelSettings {
    int32_t phase = -1; // -1 while no phase is initialised
    bool initialised = false;
    Util::RenderingEngineId renderingEngineId = Util::RE_Unknown;
    QvOptional<bool> draft{false};
    VekPoint zovScaling{1.0f, 0.5f, 1.0f};
    QvOptional<float> renderScale{1.0f};
    VekMatrix4 cameraToWorld = Utils::identityMatrix();
    VekMatrix4 worldToCamera = Utils::identityMatrix();
    float distanceToGround = 1.6f;
    bool renderInsideBox = false;
    QvOptional<int32_t> frame{-1};
    int32_t framePadding = 0;
    char frameSeparator = '.';
    QvOptional<float> ipd{63.5f};
    QvOptional<Eye> eye{RC_LeftAndRight};
    QvOptional<VekPoint> specularPointOffset{VekPoint{0.0f, 0.0f, 0.0f}};
    QvOptional<VekPoint> specularPointWorld;
    QvOptional<VekPoint> specularPointLocal;
    QvOptional<VekPoint> sceneUp;
    std::array<float, 3> shadingConstants{0.5235988f, 0.8660254f, 1.0f};
    std::string detectFilePath;
    std::string detectPhaseOverride;
    std::string outFilePath;
    QvOptional<double> renderingResolutionX;
    QvOptional<double> renderingResolutionY;
    double renderingAspect = 0.0;
    QvOptional<uint64_t> bucketSizeX;
    QvOptional<uint64_t> bucketSizeY;
    uint64_t threadCount = 0;
    QvOptional<TransparencyRenderingType> transparencyMode;
    bool motionVectors = true;
    double tolerance = 0.25;
    double maxDistance = static_cast<double>(FLT_MAX);
    QvOptional<int32_t> zovOffsetRight;
    QvOptional<int32_t> zovOffsetTop;
    QvOptional<int32_t> zovOffsetBack;
    QvOptional<double> outputResolutionX;
    QvOptional<double> outputResolutionY;
    double outputAspect = 0.0;
    QvOptional<uint64_t> blockCount;
    QvOptional<uint64_t> currentBlock;
};

// The one rendering context of the process.
struct QuorvelContext : QuorvelSettings {
    // Clipping sphere: set at load time only, QvInitPhase keeps it.
    bool clipEnabled = false;
    bool clipInside = false;
    VekPoint clipCentreWorld{0.0f, 0.0f, 0.0f};
    VekPoint clipCentreCamera{0.0f, 0.0f, 0.0f};
    float clipRadius = 0.0f;

    // Camera set: three parallel arrays, plus the world positions that every
    // begin recomputes.
    std::vector<VekPoint> cameraPositions;
    std::vector<float> cameraPriorities;
    std::vector<uint32_t> cameraFaceMasks;
    std::vector<VekPoint> cameraWorldPositions;

    // Cube-map direction of every output pixel centre, row-major.
    std::vector<VekPoint> fetchMap;

    // Per pixel of the rendering resolution, row-major.
    std::vector<uint16_t> sampleIndexCounters;
    std::vector<uint16_t> raysShot;
    std::vector<uint16_t> samplesReceived;

    // Detection phase: 256 camera bits per rendering pixel, four words per
    // pixel (bit c of word c / 64); written by several threads, hence atomic.
    std::vector<std::atomic<uint64_t>> cameraCoverage;

    // Detection phase: per camera, pixel key (y * 65536 + x) -> depths of the
    // hair and transparent plaques accepted there, each map under its lock.
    std::array<std::map<uint32_t, std::vector<float>>, 256> cameraDepthLists;
    std::array<std::mutex, 256> cameraDepthLocks;

    // Render phase: the plaques of the detection file and its completion mask.
    std::vector<BinIO::DetectPlaqueInfo> plaques;
    std::vector<uint8_t> completionMask;

    // Overlap queries during render-phase shading.
    std::shared_ptr<PlaqueKDTree> plaqueTree;

    std::vector<BinIO::ThreadRegion> threadRegions;
    BinIO::BucketOrder bucketOrder; // detection phase
    BinIO::AovFormat aovFormat;

    // Temporary sample file: bucket flushes append under tempFileMutex and
    // terminate detaches it under the same lock.
    std::FILE* tempFile = nullptr;
    uint64_t tempRecordCount = 0;
    // Set when samples of this phase could not be kept (a failed append, an
    // unreadable detection file): its file must not look complete.
    bool samplesIncomplete = false;
    std::mutex tempFileMutex;
};

QuorvelContext& getQuorvelContext();

} // namespace Quorvel::Phase::inline v2_0
