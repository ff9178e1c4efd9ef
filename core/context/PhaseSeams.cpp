#include "context/PhaseSeams.h"

#include "camera/RenderingContext.h"
#include "io/QvlRenderHeader.h"

namespace Quorvel::Phase::inline v2_0 {

void buildCameraSet(QuorvelContext& /*context*/)
{
    // Filled by the camera set construction.
}

void computeCameraWorldPositions(QuorvelContext& /*context*/)
{
    // Filled by the camera set construction.
}

void buildFetchMap(QuorvelContext& /*context*/)
{
    // Filled by the sampling positions and direction search.
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

void buildHeaderDefaultCameraSet(BinIO::header_v09& /*header*/)
{
    // Filled by the camera set construction (no centre camera, table priorities).
}

} // namespace Quorvel::Phase::inline v2_0
