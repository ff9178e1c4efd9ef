#include "context/PhaseSeams.h"

#include <utility>

#include "camera/CameraSet.h"
#include "camera/RenderingContext.h"
#include "camera/Sampling.h"
#include "io/QvlRenderHeader.h"

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

void readDetectionFile(QuorvelContext& /*context*/)
{
    // Filled by the render-phase intake of the detection file.
}

void flushThreadRegion(QuorvelContext& /*context*/, uint64_t /*regionIndex*/)
{
    // Filled by the bucket flush to the temporary file.
}

void finalizeDetectionPhase(QuorvelContext& /*context*/, std::FILE* temporaryFile)
{
    // The detection-file writer fills this; until then the samples are dropped.
    std::fclose(temporaryFile);
}

void finalizeRenderPhase(QuorvelContext& /*context*/, std::FILE* temporaryFile)
{
    // The render-file writer fills this; until then the samples are dropped.
    std::fclose(temporaryFile);
}

void buildHeaderDefaultCameraSet(BinIO::header_v09& header)
{
    Camera::CameraPlacement placement;
    placement.zovScaling = VekPoint{header.boxScaleX, header.boxScaleY, header.boxScaleZ};
    placement.renderScale = header.globalScale;
    placement.offsetRight = header.camOffsetX;
    placement.offsetTop = header.camOffsetY;
    placement.offsetBack = header.camOffsetZ;
    placement.draft = header.draft != 0;
    Camera::CameraSet set = Camera::makeCameraSetWithoutCentre(placement);
    header.cameraPositions = std::move(set.positions);
    header.cameraPriorities = std::move(set.priorities);
    header.cameraFaceMasks = std::move(set.faceMasks);
}

} // namespace Quorvel::Phase::inline v2_0
