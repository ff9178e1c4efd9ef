#include "samples/DetectSample.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cfloat>
#include <cmath>
#include <mutex>

#include "camera/CameraRays.h"
#include "camera/CameraSet.h"
#include "camera/DetectRayInternal.h"
#include "camera/Sampling.h"
#include "context/QuorvelContext.h"
#include "samples/DetectReplay.h"
#include "samples/SampleInternal.h"

namespace Quorvel::DetectSample::inline v2_0 {

namespace {

using BinIO::DetectPlaqueInfo;
using Phase::QuorvelContext;
using SampleIntake::misuse;

constexpr VekRGBA kNothing{0.0f, 0.0f, 0.0f, 0.0f};
constexpr VekRGBA kBlack{0.0f, 0.0f, 0.0f, 1.0f};
constexpr float kFilterOff = 1.1920929e-7f;
constexpr float kDirectionDeadZone = 1e-4f;
constexpr float kGrazingCosine = 0.05f;
constexpr float kFarAway = 1e12f;
constexpr uint64_t kCoverageWordsPerPixel = 4;

enum class Path { Opaque, Transparent, Hair };

bool validNormal(const VekPoint& n)
{
    if (!std::isfinite(n.x) || !std::isfinite(n.y) || !std::isfinite(n.z))
        return false;
    return n.x * n.x + n.y * n.y + n.z * n.z >= 9.999999e-9f;
}

VekPoint sub(const VekPoint& a, const VekPoint& b)
{
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}

float distance(const VekPoint& a, const VekPoint& b)
{
    return Utils::length(sub(a, b));
}

// A camera's place in order A as one integer, larger first: front-facing
// first, then the larger score (a non-negative float, so its bits order like
// its value), then the lower index.
using OrderKey = uint64_t;
constexpr uint32_t kFrontBit = 0x80000000u;
constexpr int kIndexBits = 8;

uint8_t keyIndex(OrderKey key)
{
    return static_cast<uint8_t>(255 - (key & 0xFF));
}

uint32_t keyFacing(OrderKey key)
{
    return static_cast<uint32_t>(key >> kIndexBits);
}

bool keyFront(OrderKey key)
{
    return (keyFacing(key) & kFrontBit) != 0;
}

float keyScore(OrderKey key)
{
    return std::bit_cast<float>(keyFacing(key) & ~kFrontBit);
}

// Everything one sample needs while its candidates are walked.
struct Probe {
    const QuorvelContext& c;
    const RayTestInterface* rayTest;
    const QvDetectSample& sample;
    VekPoint p;        // hit point in zone-of-view coordinates
    VekPoint n;        // camera-space normal, meaningful when normalValid
    bool normalValid;
};

VekPoint cameraSpaceNormal(const QuorvelContext& c, const VekPoint& worldNormal)
{
    if (!validNormal(worldNormal))
        return worldNormal;
    return Utils::transformDirection(Utils::normalize(worldNormal), c.worldToCamera);
}

DetectPlaqueInfo makeRecord(const QuorvelContext& c, uint64_t camera, int32_t x, int32_t y,
                            const VekPoint& worldPoint, const VekPoint& worldNormal)
{
    DetectPlaqueInfo record;
    record.cameraIndex = static_cast<uint8_t>(camera);
    record.x = static_cast<uint16_t>(x);
    record.y = static_cast<uint16_t>(y);
    record.depth = distance(worldPoint, c.cameraWorldPositions[camera]);
    record.normal = cameraSpaceNormal(c, worldNormal);
    return record;
}

bool trace(const Probe& probe, const VekPoint& origin, const VekPoint& direction, double maxDistance, RayHit& hit)
{
    hit = RayHit{};
    if (probe.rayTest == nullptr || probe.rayTest->trace == nullptr)
        return false;
    hit.hit = probe.rayTest->trace(origin, direction, maxDistance, &hit.point, probe.rayTest->userData);
    return hit.hit;
}

bool atProximity(float a, float b, float h)
{
    return Camera::QvIsAtProximity(a, b, h);
}

// Traces from camera j towards the world target; `travelled` is the target's
// distance and hitDistance that of the hit, when there is one.
struct TestRay {
    RayHit hit;
    float travelled = 0.0f;
    float hitDistance = 0.0f;
};

TestRay castTowards(const Probe& probe, uint64_t camera, const VekPoint& target)
{
    TestRay ray;
    const VekPoint& o = probe.c.cameraWorldPositions[camera];
    const VekPoint toTarget = sub(target, o);
    ray.travelled = Utils::length(toTarget);
    trace(probe, o, Utils::normalize(toTarget), 1.2 * ray.travelled, ray.hit);
    if (ray.hit.hit)
        ray.hitDistance = distance(ray.hit.point, o);
    return ray;
}

bool visible(const TestRay& ray)
{
    return ray.hit.hit && atProximity(ray.hitDistance, ray.travelled, 1.0f);
}

bool unoccluded(const TestRay& ray)
{
    return !ray.hit.hit || ray.hitDistance >= ray.travelled || atProximity(ray.hitDistance, ray.travelled, 1.0f);
}

bool passesDirectionTest(const Probe& probe, uint64_t camera)
{
    const VekPoint u = sub(probe.p, probe.c.cameraPositions[camera]);
    const uint32_t faces = probe.c.cameraFaceMasks[camera];
    constexpr float e = kDirectionDeadZone;
    return ((faces & Camera::kFaceMinusZ) && u.z < e) || ((faces & Camera::kFacePlusX) && u.x > -e) ||
           ((faces & Camera::kFacePlusZ) && u.z > -e) || ((faces & Camera::kFaceMinusX) && u.x < e) ||
           ((faces & Camera::kFacePlusY) && u.y > -e) || ((faces & Camera::kFaceMinusY) && u.y < e);
}

// Hands out keys largest first. Most walks stop after a candidate or two, so
// those come from a linear scan; a longer walk pays for a heap once.
class LargestFirst {
public:
    // Takes the first `size` keys as written through data().
    void assign(size_t size)
    {
        size_ = size;
        scans_ = 0;
        heap_ = false;
    }
    OrderKey* data() { return keys_.data(); }
    size_t size() const { return size_; }
    OrderKey operator[](size_t i) const { return keys_[i]; }

    OrderKey pop()
    {
        if (!heap_ && ++scans_ > kScansBeforeHeap) {
            std::make_heap(keys_.begin(), keys_.begin() + static_cast<std::ptrdiff_t>(size_));
            heap_ = true;
        }
        if (heap_) {
            std::pop_heap(keys_.begin(), keys_.begin() + static_cast<std::ptrdiff_t>(size_));
            return keys_[--size_];
        }
        size_t best = 0;
        OrderKey key = keys_[0];
        for (size_t i = 1; i < size_; ++i)
            if (keys_[i] > key) {
                key = keys_[i];
                best = i;
            }
        keys_[best] = keys_[--size_];
        return key;
    }

private:
    static constexpr int kScansBeforeHeap = 4;
    // Left uninitialised: only the first size_ are ever read, and clearing
    // them would cost as much as a scan on every hit.
    std::array<OrderKey, Camera::kCameraCount> keys_;
    size_t size_ = 0;
    int scans_ = 0;
    bool heap_ = false;
};

// The cameras in the order the path visits them: order A, or the tolerance
// filter's survivors by ascending priority byte, order A within one.
class CandidateWalk {
public:
    // Plain loops over all cameras, split so that the compiler can vectorise them.
    explicit CandidateWalk(const Probe& probe)
    {
        const QuorvelContext& c = probe.c;
        const size_t count = std::min<size_t>(c.cameraPositions.size(), Camera::kCameraCount);
        const VekPoint* cameras = c.cameraPositions.data();
        std::array<uint32_t, Camera::kCameraCount> facing;
        if (probe.normalValid) {
            const VekPoint p = probe.p;
            const VekPoint n = probe.n;
            for (size_t j = 0; j < count; ++j) {
                const VekPoint v = sub(p, cameras[j]);
                const float vn = Utils::dot(v, n);
                facing[j] = std::bit_cast<uint32_t>(std::fabs(vn) / Utils::dot(v, v)) | (vn < 0.0f ? kFrontBit : 0u);
            }
        } else {
            for (size_t j = 0; j < count; ++j) {
                const VekPoint v = sub(probe.p, cameras[j]);
                facing[j] = std::bit_cast<uint32_t>(1.0f / Utils::dot(v, v)) | kFrontBit;
            }
        }
        OrderKey* keys = order_.data();
        for (size_t j = 0; j < count; ++j)
            keys[j] = (OrderKey{facing[j]} << kIndexBits) | (255 - j);
        const float* priorities = c.cameraPriorities.data();
        for (size_t j = 0; j < count; ++j)
            priority_[j] = static_cast<uint8_t>(static_cast<int32_t>(priorities[j]) & 0xFF);
        order_.assign(count);
    }

    // Keeps the first candidate (in order A) that passes `reference`, and
    // after it those facing the same way whose score is within the tolerance.
    template <typename Test>
    void applyTolerance(float tolerance, Test reference)
    {
        filteredMode_ = true;
        filtered_.assign(0);
        OrderKey last = 0;
        bool any = false;
        while (order_.size() > 0) {
            last = order_.pop();
            any = true;
            if (reference(keyIndex(last))) {
                // Both conditions only ever turn false along order A, so the
                // survivors are exactly the rest that meets them. Written
                // branch-free, with the count in a register: which cameras
                // survive is unpredictable.
                const bool front = keyFront(last);
                const float threshold = (1.0f - tolerance) * keyScore(last);
                OrderKey* out = filtered_.data();
                size_t kept = 0;
                out[kept++] = survivorKey(last);
                for (size_t i = 0; i < order_.size(); ++i) {
                    const OrderKey key = order_[i];
                    out[kept] = survivorKey(key);
                    kept += keyFront(key) == front && !(keyScore(key) < threshold);
                }
                filtered_.assign(kept);
                return;
            }
        }
        if (any) {
            filtered_.data()[0] = survivorKey(last);
            filtered_.assign(1);
        }
    }

    bool next(uint64_t& camera)
    {
        LargestFirst& source = filteredMode_ ? filtered_ : order_;
        if (source.size() == 0)
            return false;
        camera = keyIndex(source.pop());
        return true;
    }

private:
    // A lower priority byte first, then order A: the byte goes above the key.
    OrderKey survivorKey(OrderKey key) const
    {
        return (OrderKey{255u - priority_[keyIndex(key)]} << (32 + kIndexBits)) | key;
    }

    LargestFirst order_;
    LargestFirst filtered_;
    std::array<uint8_t, Camera::kCameraCount> priority_;
    bool filteredMode_ = false;
};

// Camera k's pixel for the hit and the exact direction through it.
struct PixelOfCamera {
    VekPoint viewDirection; // from camera k towards the hit, zone-of-view space
    VekPoint pixelDirection;
    int32_t x = 0;
    int32_t y = 0;
};

bool findPixel(const Probe& probe, uint64_t camera, PixelOfCamera& pixel)
{
    pixel.viewDirection = Utils::normalize(sub(probe.p, probe.c.cameraPositions[camera]));
    return Camera::getClosestCamDirXY(pixel.viewDirection, pixel.pixelDirection, pixel.x, pixel.y);
}

// Step 5 of the re-projection: no reliable tangent plane to project onto.
bool keepsHitAsIs(const Probe& probe, const PixelOfCamera& pixel, float hitDistance)
{
    return !probe.normalValid || hitDistance > kFarAway ||
           std::fabs(Utils::dot(pixel.viewDirection, probe.n)) < kGrazingCosine;
}

// Where camera k's pixel ray meets the tangent plane of the hit, in world
// space; the hit itself when the ray runs nearly along the plane.
VekPoint tangentPlanePoint(const Probe& probe, uint64_t camera, const PixelOfCamera& pixel)
{
    const VekPoint& e = probe.c.cameraPositions[camera];
    const float denominator = Utils::dot(pixel.pixelDirection, probe.n);
    VekPoint q = probe.p;
    if (std::fabs(denominator) >= kGrazingCosine && std::fabs(denominator) >= 2.220446049250313e-16f) {
        const float t = Utils::dot(sub(probe.p, e), probe.n) / denominator;
        q = {e.x + pixel.pixelDirection.x * t, e.y + pixel.pixelDirection.y * t, e.z + pixel.pixelDirection.z * t};
    }
    return Utils::transformPoint(q, probe.c.cameraToWorld);
}

VekPoint worldDirection(const Probe& probe, const VekPoint& direction)
{
    return Utils::normalize(Utils::transformDirection(direction, probe.c.cameraToWorld));
}

DetectPlaqueInfo initialRecord(const Probe& probe)
{
    const QvDetectSample& s = probe.sample;
    return makeRecord(probe.c, s.cameraIndex, s.x, s.y, s.position, s.normal);
}

DetectPlaqueInfo opaqueResult(const Probe& probe)
{
    CandidateWalk walk(probe);
    const QvDetectSample& s = probe.sample;
    if (probe.c.tolerance >= kFilterOff)
        walk.applyTolerance(static_cast<float>(probe.c.tolerance), [&](uint64_t j) {
            return passesDirectionTest(probe, j) && visible(castTowards(probe, j, s.position));
        });

    uint64_t k = 0;
    while (walk.next(k)) {
        if (!passesDirectionTest(probe, k))
            continue;
        const TestRay seen = castTowards(probe, k, s.position);
        if (!visible(seen))
            continue;
        if (k == s.cameraIndex)
            return initialRecord(probe);
        PixelOfCamera pixel;
        if (!findPixel(probe, k, pixel))
            continue;
        const float X = seen.travelled;
        if (keepsHitAsIs(probe, pixel, X))
            return makeRecord(probe.c, k, pixel.x, pixel.y, seen.hit.point, s.normal);
        const VekPoint q = tangentPlanePoint(probe, k, pixel);
        const VekPoint& o = probe.c.cameraWorldPositions[k];
        const float G = distance(q, o);
        if (!atProximity(G, X, 0.5f))
            continue;
        RayHit recast;
        if (!trace(probe, o, worldDirection(probe, pixel.pixelDirection), DBL_MAX, recast))
            continue;
        if (atProximity(distance(recast.point, o), G, 0.5f))
            return makeRecord(probe.c, k, pixel.x, pixel.y, recast.point, recast.normal);
        DetectPlaqueInfo estimated = makeRecord(probe.c, k, pixel.x, pixel.y, q, s.normal);
        estimated.estimated = 1;
        return estimated;
    }
    return initialRecord(probe);
}

DetectPlaqueInfo transparentResult(const Probe& probe)
{
    CandidateWalk walk(probe);
    const QvDetectSample& s = probe.sample;
    if (probe.c.tolerance >= kFilterOff)
        walk.applyTolerance(static_cast<float>(probe.c.tolerance), [&](uint64_t j) {
            return passesDirectionTest(probe, j) && unoccluded(castTowards(probe, j, s.position));
        });

    uint64_t k = 0;
    while (walk.next(k)) {
        if (!passesDirectionTest(probe, k))
            continue;
        const TestRay seen = castTowards(probe, k, s.position);
        if (!unoccluded(seen))
            continue;
        if (k == s.cameraIndex)
            return initialRecord(probe);
        PixelOfCamera pixel;
        if (!findPixel(probe, k, pixel))
            continue;
        const float X = seen.travelled;
        if (keepsHitAsIs(probe, pixel, X))
            return makeRecord(probe.c, k, pixel.x, pixel.y, s.position, s.normal);
        const VekPoint q = tangentPlanePoint(probe, k, pixel);
        const VekPoint& o = probe.c.cameraWorldPositions[k];
        const float G = distance(q, o);
        if (!atProximity(G, X, 0.5f))
            continue;
        TestRay recast;
        recast.travelled = G;
        if (trace(probe, o, worldDirection(probe, pixel.pixelDirection), 1.2 * G, recast.hit))
            recast.hitDistance = distance(recast.hit.point, o);
        if (!recast.hit.hit)
            return makeRecord(probe.c, k, pixel.x, pixel.y, s.position, s.normal);
        if (unoccluded(recast))
            return makeRecord(probe.c, k, pixel.x, pixel.y, recast.hit.point, recast.hit.normal);
        if (!atProximity(recast.hitDistance, G, 0.5f)) {
            DetectPlaqueInfo estimated = makeRecord(probe.c, k, pixel.x, pixel.y, q, s.normal);
            estimated.estimated = 1;
            return estimated;
        }
    }
    return initialRecord(probe);
}

DetectPlaqueInfo hairResult(const Probe& probe)
{
    CandidateWalk walk(probe);
    const QvDetectSample& s = probe.sample;
    uint64_t k = 0;
    while (walk.next(k)) {
        if (!passesDirectionTest(probe, k))
            continue;
        const TestRay seen = castTowards(probe, k, s.position);
        if (!visible(seen))
            continue;
        if (k == s.cameraIndex)
            return initialRecord(probe);
        PixelOfCamera pixel;
        if (!findPixel(probe, k, pixel))
            continue;
        return makeRecord(probe.c, k, pixel.x, pixel.y, seen.hit.point, s.normal);
    }
    return initialRecord(probe);
}

// Index of a pixel of the rendering image, or false outside it.
bool pixelIndex(const QuorvelContext& c, int64_t x, int64_t y, uint64_t pixelCount, uint64_t& index)
{
    const auto width = static_cast<int64_t>(c.renderingResolutionX.get());
    const int64_t i = y * width + x;
    if (i < 0 || static_cast<uint64_t>(i) >= pixelCount)
        return false;
    index = static_cast<uint64_t>(i);
    return true;
}

std::atomic<uint64_t>* coverageWord(QuorvelContext& c, int64_t x, int64_t y, uint64_t camera, uint64_t& bit)
{
    uint64_t pixel = 0;
    if (x < 0 || x >= static_cast<int64_t>(c.renderingResolutionX.get()) ||
        !pixelIndex(c, x, y, c.cameraCoverage.size() / kCoverageWordsPerPixel, pixel))
        return nullptr;
    bit = uint64_t{1} << (camera % 64);
    return &c.cameraCoverage[pixel * kCoverageWordsPerPixel + camera / 64];
}

bool hasCoverage(QuorvelContext& c, int64_t x, int64_t y, uint64_t camera)
{
    uint64_t bit = 0;
    const std::atomic<uint64_t>* word = coverageWord(c, x, y, camera, bit);
    return word != nullptr && (word->load(std::memory_order_relaxed) & bit) != 0;
}

// Sets the bit and tells whether this call set it: the one test-and-set that
// keeps one opaque plaque per camera and pixel across threads.
bool claimCoverage(QuorvelContext& c, int64_t x, int64_t y, uint64_t camera)
{
    uint64_t bit = 0;
    std::atomic<uint64_t>* word = coverageWord(c, x, y, camera, bit);
    if (word == nullptr)
        return true; // off the grid: nothing to guard
    return (word->fetch_or(bit, std::memory_order_relaxed) & bit) == 0;
}

void append(BinIO::ThreadRegion& region, const DetectPlaqueInfo& record)
{
    region.detectRecords.push_back(record);
    ++region.sampleCount;
}

// Hair and transparent plaques: one per camera, pixel and distinct depth.
bool claimDepth(QuorvelContext& c, const DetectPlaqueInfo& record)
{
    const uint32_t key = static_cast<uint32_t>(record.y) * 65536u + record.x;
    std::lock_guard lock(c.cameraDepthLocks[record.cameraIndex]);
    std::vector<float>& depths = c.cameraDepthLists[record.cameraIndex][key];
    for (float listed : depths)
        if (atProximity(listed, record.depth, 1.0f))
            return false;
    depths.push_back(record.depth);
    return true;
}

using BinIO::DetectCandidate;

void keep(BinIO::ThreadRegion& region, const DetectCandidate& candidate)
{
    region.candidates.push_back(candidate);
    ++region.sampleCount;
}

// A hit of a speculative bucket: everything that does not depend on the
// claims of the earlier buckets is done now, the claims themselves at the
// flush (replayDetectCandidates). Claims already written are final, so a hit
// they refuse is refused here as it would be there.
VekRGBA speculativeSample(QuorvelContext& c, const Probe& probe, Path path, bool counted, BinIO::ThreadRegion& region)
{
    const QvDetectSample& sample = probe.sample;
    DetectCandidate candidate;
    candidate.x = sample.x;
    candidate.y = sample.y;
    candidate.camera = static_cast<uint16_t>(sample.cameraIndex);
    candidate.counted = counted ? 1 : 0;

    if (path == Path::Opaque) {
        if (hasCoverage(c, sample.x, sample.y, sample.cameraIndex)) {
            if (counted)
                keep(region, candidate);
            return kBlack;
        }
        DetectPlaqueInfo result = opaqueResult(probe);
        if (result.transparent || sample.transparent)
            misuse("opaque probe should not have transparent flag");
        if (!result.estimated && hasCoverage(c, result.x, result.y, result.cameraIndex)) {
            if (counted)
                keep(region, candidate);
        } else {
            candidate.path = DetectCandidate::Opaque;
            candidate.record = result;
            keep(region, candidate);
        }
        return plaqueDebugColor(result.cameraIndex);
    }

    if (path == Path::Transparent) {
        if (!sample.transparent)
            misuse("transparent probe should have transparent flag");
        candidate.record = transparentResult(probe);
        candidate.record.transparent = 1;
        candidate.path = DetectCandidate::Transparent;
        keep(region, candidate);
        return kNothing;
    }

    if (!sample.hair)
        misuse("processing a sample that is not from hair");
    candidate.record = hairResult(probe);
    candidate.record.hair = 1;
    candidate.path = DetectCandidate::Hair;
    keep(region, candidate);
    return plaqueDebugColor(candidate.record.cameraIndex);
}

// The decision QvProcessDetectSample makes on arrival, for a kept hit.
void decide(QuorvelContext& c, const DetectCandidate& k, std::vector<DetectPlaqueInfo>& out)
{
    if (k.counted) {
        uint64_t pixel = 0;
        if (pixelIndex(c, k.x, k.y, c.samplesReceived.size(), pixel))
            ++c.samplesReceived[pixel];
    }
    DetectPlaqueInfo record = k.record;
    switch (k.path) {
    case DetectCandidate::Opaque:
        if (hasCoverage(c, k.x, k.y, k.camera))
            return;
        if (record.estimated) {
            record.transparent = 0;
            out.push_back(record);
        } else if (claimCoverage(c, record.x, record.y, record.cameraIndex)) {
            out.push_back(record);
        }
        return;
    case DetectCandidate::Transparent:
    case DetectCandidate::Hair:
        if (claimDepth(c, record))
            out.push_back(record);
        return;
    default: return;
    }
}

} // namespace

void replayDetectCandidates(QuorvelContext& c, uint64_t x0, uint64_t y0, uint64_t x1, uint64_t y1,
                            std::vector<DetectCandidate>& candidates, std::vector<DetectPlaqueInfo>& out)
{
    const auto W = static_cast<int64_t>(c.renderingResolutionX.get());
    const auto H = static_cast<int64_t>(c.renderingResolutionY.get());
    // Hits outside the image go last, in arrival order.
    auto rank = [&](const DetectCandidate& k) {
        if (k.x < 0 || k.y < 0 || k.x >= W || k.y >= H)
            return INT64_MAX;
        return static_cast<int64_t>(k.y) * W + k.x;
    };
    std::stable_sort(candidates.begin(), candidates.end(), [&](const DetectCandidate& a, const DetectCandidate& b) {
        const int64_t ra = rank(a), rb = rank(b);
        return ra != rb ? ra < rb : a.camera < b.camera;
    });
    const Phase::TransparencyRenderingType mode = c.transparencyMode.get();
    const bool raysStop = mode != Phase::TRANSP && mode != Phase::BOTH;
    const size_t n = candidates.size();
    size_t i = 0;
    for (auto y = static_cast<int64_t>(y0); y < static_cast<int64_t>(y1) && y < H; ++y)
        for (auto x = static_cast<int64_t>(x0); x < static_cast<int64_t>(x1) && x < W; ++x) {
            const int64_t p = y * W + x;
            while (i < n && rank(candidates[i]) < p)
                decide(c, candidates[i++], out);
            const auto pixel = static_cast<uint64_t>(p);
            const uint64_t requests = pixel < c.sampleIndexCounters.size() ? c.sampleIndexCounters[pixel] : 0;
            for (uint64_t camera = 0; camera <= Camera::kCameraCount; ++camera) {
                const bool more = i < n && rank(candidates[i]) == p;
                if (camera >= requests && !more)
                    break;
                // The k-th ray of the pixel is camera k's; on arrival it was
                // not shot when its camera pixel was already taken.
                bool stopped = false;
                if (camera < requests && camera < Camera::kCameraCount && raysStop && hasCoverage(c, x, y, camera)) {
                    stopped = true;
                    if (Camera::detectRayCounts(c, camera, static_cast<uint64_t>(x), static_cast<uint64_t>(y)) &&
                        pixel < c.raysShot.size() && c.raysShot[pixel] > 0)
                        --c.raysShot[pixel];
                }
                for (; i < n && rank(candidates[i]) == p && candidates[i].camera == camera; ++i)
                    if (!stopped)
                        decide(c, candidates[i], out);
            }
        }
    for (; i < n; ++i)
        decide(c, candidates[i], out);
    candidates.clear();
}

VekRGBA plaqueDebugColor(uint64_t cameraIndex)
{
    float h = static_cast<float>(cameraIndex);
    if (h >= 360.0f)
        h = 0.0f;
    const float sector = std::floor(h / 60.0f);
    const float f = h / 60.0f - sector;
    switch (static_cast<int>(sector)) {
    case 0: return {1.0f, f, 0.0f, 1.0f};
    case 1: return {1.0f - f, 1.0f, 0.0f, 1.0f};
    case 2: return {0.0f, 1.0f, f, 1.0f};
    case 3: return {0.0f, 1.0f - f, 1.0f, 1.0f};
    case 4: return {f, 0.0f, 1.0f, 1.0f};
    default: return {1.0f, 0.0f, 1.0f - f, 1.0f};
    }
}

VekRGBA QvProcessDetectSample(RayTestInterface* rayTest, const QvDetectSample& sample, const uint64_t& threadIndex)
{
    QuorvelContext& c = Phase::getQuorvelContext();
    if (threadIndex >= c.threadCount)
        misuse("[Quorvel] You are trying to write to thread while only threads are declared with "
               "QvSetThreadNumber().");
    if (!c.initialised)
        misuse("[Quorvel] Probecasting can only be invoked once Quorvel is initialized.");
    if (c.phase != Phase::Detect)
        misuse("[Quorvel] ProbeCasting is only designed for the detection phase.");
    if (threadIndex >= c.threadRegions.size())
        misuse("[Quorvel] You are trying to write to thread while only threads are declared with "
               "QvSetThreadNumber().");

    if (c.clipEnabled &&
        !SampleIntake::passesClippingSphere(sample.position, c.clipCentreWorld, c.clipRadius, c.clipInside))
        return kNothing;

    BinIO::ThreadRegion& region = c.threadRegions[threadIndex];
    const bool speculative = region.mode == BinIO::BucketMode::Speculative;
    bool counted = false;
    if (!sample.transparent && c.transparencyMode.get() != Phase::TRANSP) {
        uint64_t pixel = 0;
        if (pixelIndex(c, sample.x, sample.y, c.samplesReceived.size(), pixel)) {
            counted = true;
            if (!speculative)
                ++c.samplesReceived[pixel];
        }
    }

    if (sample.cameraIndex >= c.cameraPositions.size() || sample.cameraIndex >= c.cameraWorldPositions.size() ||
        c.cameraPriorities[sample.cameraIndex] < 0.0f) {
        if (speculative && counted) {
            BinIO::DetectCandidate candidate;
            candidate.x = sample.x;
            candidate.y = sample.y;
            candidate.camera = Camera::kCameraCount;
            candidate.counted = 1;
            keep(region, candidate);
        }
        return kBlack;
    }

    Path path = Path::Opaque;
    if (sample.hair)
        path = Path::Hair;
    else if (sample.transparent || c.transparencyMode.get() == Phase::TRANSP)
        path = Path::Transparent;

    const VekPoint p = Utils::transformPoint(sample.position, c.worldToCamera);
    const bool normalValid = validNormal(sample.normal);
    const Probe probe{c, rayTest, sample, p, cameraSpaceNormal(c, sample.normal), normalValid};
    if (speculative)
        return speculativeSample(c, probe, path, counted, region);

    if (path == Path::Opaque) {
        if (hasCoverage(c, sample.x, sample.y, sample.cameraIndex))
            return kBlack;
        DetectPlaqueInfo result = opaqueResult(probe);
        if (result.transparent || sample.transparent)
            misuse("opaque probe should not have transparent flag");
        if (result.estimated) {
            result.transparent = 0;
            append(region, result);
        } else if (claimCoverage(c, result.x, result.y, result.cameraIndex)) {
            append(region, result);
        }
        return plaqueDebugColor(result.cameraIndex);
    }

    if (path == Path::Transparent) {
        if (!sample.transparent)
            misuse("transparent probe should have transparent flag");
        DetectPlaqueInfo result = transparentResult(probe);
        result.transparent = 1;
        if (claimDepth(c, result))
            append(region, result);
        return kNothing;
    }

    if (!sample.hair)
        misuse("processing a sample that is not from hair");
    DetectPlaqueInfo result = hairResult(probe);
    result.hair = 1;
    if (claimDepth(c, result))
        append(region, result);
    return plaqueDebugColor(result.cameraIndex);
}

void QvMatchSampleIndex(QvDetectSample& sample, const VekPoint& worldPoint)
{
    const QuorvelContext& c = Phase::getQuorvelContext();
    float best = 0.0f;
    for (size_t j = 0; j < c.cameraWorldPositions.size(); ++j) {
        const VekPoint v = sub(worldPoint, c.cameraWorldPositions[j]);
        const float d2 = Utils::dot(v, v);
        if (j == 0 || d2 < best) {
            best = d2;
            sample.cameraIndex = j;
        }
    }
}

} // namespace Quorvel::DetectSample::inline v2_0
