#include "context/PhaseSeams.h"

#include <utility>

#include "camera/CameraSet.h"
#include "camera/RenderingContext.h"
#include "camera/Sampling.h"
#include "context/PhaseOutput.h"
#include "foundation/Logger.h"
#include "samples/BucketInternal.h"
#include "samples/BucketOrder.h"

namespace Quorvel::Phase::inline v2_0 {

void buildCameraSet(QuorvelContext& context)
{
    Camera::CameraPlacement placement;
    placement.zovScaling = context.zovScaling;
    placement.renderScale = context.renderScale.get();
    placement.offsetRight = context.zovOffsetRight.get();
    placement.offsetTop = context.zovOffsetTop.get();
    placement.offsetBack = context.zovOffsetBack.get();
    placement.draft = context.draft.get();
    placement.allDirections = context.renderInsideBox;
    Camera::CameraSet set = Camera::makeCameraSet(placement);
    context.cameraPositions = std::move(set.positions);
    context.cameraPriorities = std::move(set.priorities);
    context.cameraFaceMasks = std::move(set.faceMasks);
}

void computeCameraWorldPositions(QuorvelContext& context)
{
    context.cameraWorldPositions = Camera::cameraWorldPositions(context.cameraPositions, context.cameraToWorld);
}

void buildFetchMap(QuorvelContext& context)
{
    context.fetchMap = Camera::generateFetchMap(static_cast<uint64_t>(context.outputResolutionX.get()),
                                                static_cast<uint64_t>(context.outputResolutionY.get()));
}

void loadSharedRenderingContext(QuorvelContext& context)
{
    RenderingContext& shared = GetSharedRenderingContext();
    shared.cameras = &context.cameraPositions;
    shared.width = static_cast<uint64_t>(context.outputResolutionX.get());
    shared.height = static_cast<uint64_t>(context.outputResolutionY.get());
    shared.renderScale = context.renderScale.get();
    shared.tolerance = static_cast<float>(context.tolerance);
}

void resetSharedRenderingContext()
{
    GetSharedRenderingContext().Reset();
}

bool readDetectionFile(QuorvelContext& context)
{
    return readDetectionInput(context);
}

void flushThreadRegion(QuorvelContext& context, uint64_t regionIndex)
{
    BinIO::flushRegionToFile(context, regionIndex);
}

void finalizeDetectionPhase(QuorvelContext& context, std::FILE* temporaryFile)
{
    // Buckets still waiting for an earlier one that never came.
    BinIO::drainPendingBuckets(context, temporaryFile);
    writeDetectionOutput(context, temporaryFile);
}

void finalizeRenderPhase(QuorvelContext& context, std::FILE* temporaryFile)
{
    writeRenderOutput(context, temporaryFile);
}

} // namespace Quorvel::Phase::inline v2_0
