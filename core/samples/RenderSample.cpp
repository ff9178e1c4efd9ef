#include "samples/RenderSample.h"

#include <atomic>
#include <cmath>
#include <cstring>

#include "context/QuorvelContext.h"
#include "samples/SampleInternal.h"

namespace Quorvel::RenderSample::inline v2_0 {

namespace {

using Phase::QuorvelContext;
using SampleIntake::misuse;

// Each warning of the intake is given once per process.
void warnOnce(std::atomic<bool>& warned, const char* message)
{
    if (!warned.exchange(true, std::memory_order_relaxed))
        Logger::QvOutputLogCStr(Logger::WARNING, message);
}

std::atomic<bool> cockpitMissingWarned{false};
std::atomic<bool> velocityMissingWarned{false};
std::atomic<bool> velocityInvalidWarned{false};

// Slot of a registered alias, or null (the registry has said why).
AOVData* slotOf(QvRenderSample& sample, const int32_t& alias)
{
    const uint64_t index = Phase::getQuorvelContext().aovFormat.getIndex(alias);
    if (index >= sample.aovs.size())
        return nullptr;
    return &sample.aovs[index];
}

} // namespace

void QvInitSampleAov(QvRenderSample& sample)
{
    sample.aovs.resize(Phase::getQuorvelContext().aovFormat.types.size());
    if (!sample.aovs.empty())
        std::memset(static_cast<void*>(sample.aovs.data()), 0, sample.aovs.size() * sizeof(AOVData));
}

void QvSetSamplePosition(QvRenderSample& sample, const VekPoint& worldPoint)
{
    sample.position = Utils::transformPoint(worldPoint, Phase::getQuorvelContext().worldToCamera);
}

void QvSetSampleNormal(QvRenderSample& sample, const VekPoint& worldNormal)
{
    sample.normal = Utils::transformDirection(worldNormal, Phase::getQuorvelContext().worldToCamera);
}

void QvSetSampleColor(QvRenderSample& sample, const VekRGBA& color)
{
    sample.color = color;
}

void QvSetSamplePosXY(QvRenderSample& sample, const double& x, const double& y)
{
    double whole = 0.0;
    sample.fracX = static_cast<float>(std::modf(x, &whole));
    sample.fracY = static_cast<float>(std::modf(y, &whole));
}

void QvSetSampleZ(QvRenderSample& sample, double z)
{
    sample.depth = z;
}

void QvAddSampleAov(QvRenderSample& sample, const void* data, const int32_t& alias)
{
    if (AOVData* slot = slotOf(sample, alias))
        std::memcpy(slot->bytes, data, sizeof(AOVData));
}

void QvAddRightColorSampleAov(QvRenderSample& sample, const VekRGB& color)
{
    if (Phase::getQuorvelContext().eye.peek() != Phase::RC_LeftAndRight)
        misuse("rightColor AOV can only be added when rendering RC_LeftAndRight.\n");
    if (AOVData* slot = slotOf(sample, BinIO::kAliasRightColor)) {
        slot->asVec3[0] = color.r;
        slot->asVec3[1] = color.g;
        slot->asVec3[2] = color.b;
    }
}

void QvAddGlassSampleAov(QvRenderSample& sample, int32_t value)
{
    if (Phase::getQuorvelContext().transparencyMode.get() == Phase::IGNORE)
        misuse("Glass AOV can only be added for OPAQUE, TRANSP ot BOTH rendering.\n");
    if (AOVData* slot = slotOf(sample, BinIO::kAliasTransparency))
        slot->asInt = value;
}

void QvAddWSVelocitySampleAov(QvRenderSample& sample, const VekPoint& worldVelocity)
{
    const QuorvelContext& c = Phase::getQuorvelContext();
    if (!c.motionVectors)
        return;
    if (!c.aovFormat.HasAOV(BinIO::kAliasVelocity)) {
        warnOnce(velocityMissingWarned, "Adding velocity AOV while the AOV hasn't been registered");
        return;
    }
    VekPoint v = Utils::transformDirection(worldVelocity, c.worldToCamera);
    const float scale = c.renderScale.get();
    v = {v.x * scale, v.y * scale, v.z * scale};
    if (!std::isfinite(v.x) || !std::isfinite(v.y) || !std::isfinite(v.z)) {
        warnOnce(velocityInvalidWarned, "Invalid velocity AOV registered\n");
        v = {0.0f, 0.0f, 0.0f};
    }
    if (AOVData* slot = slotOf(sample, BinIO::kAliasVelocity)) {
        slot->asVec3[0] = v.x;
        slot->asVec3[1] = v.y;
        slot->asVec3[2] = v.z;
    }
}

void QvAddCockpitSampleAov(QvRenderSample& sample, const bool& cockpit)
{
    if (!Phase::getQuorvelContext().aovFormat.HasAOV(BinIO::kAliasCockpit)) {
        warnOnce(cockpitMissingWarned, "Adding cockpit AOV while the AOV hasn't been registered");
        return;
    }
    if (AOVData* slot = slotOf(sample, BinIO::kAliasCockpit))
        slot->bytes[0] = cockpit ? 1 : 0;
}

void QvProcessRenderSample(const uint64_t& threadIndex, const int32_t& x, const int32_t& y, uint64_t groupKey,
                           const QvRenderSample& sample)
{
    QuorvelContext& c = Phase::getQuorvelContext();
    if (threadIndex >= c.threadRegions.size()) {
        Logger::QvOutputLogString(Logger::TRACE, "[Quorvel] there's no Quorvel region for this threadId %d\n",
                                  static_cast<int>(threadIndex));
        throw std::exception();
    }
    if (c.clipEnabled &&
        !SampleIntake::passesClippingSphere(sample.position, c.clipCentreCamera, c.clipRadius, c.clipInside))
        return;

    BinIO::ThreadRegion& region = c.threadRegions[threadIndex];
    BinIO::PixelCell* cell = region.cell(x, y);
    if (cell == nullptr) {
        Logger::QvOutputLogString(Logger::TRACE,
                                  "Registering a pixel at %d %d that is outside the bucket bounds ([%d,%d] [%d,%d])].",
                                  x, y, static_cast<int>(region.x0), static_cast<int>(region.x1),
                                  static_cast<int>(region.y0), static_cast<int>(region.y1));
        throw std::exception();
    }
    cell->add(groupKey, sample, region.spareSamples);
    ++region.sampleCount;
}

} // namespace Quorvel::RenderSample::inline v2_0
