#pragma once

#include <cstdint>
#include <cstdio>

#include "context/QuorvelContext.h"

// Steps of the phase lifecycle whose work belongs to the camera, plaque,
// bucket and file subsystems. The lifecycle calls them at the right moment;
// each subsystem fills its own.
namespace Quorvel::Phase::inline v2_0 {

// Builds the camera positions, priorities and face masks of the context.
void buildCameraSet(QuorvelContext& context);

// Fills cameraWorldPositions from the camera set and cameraToWorld.
void computeCameraWorldPositions(QuorvelContext& context);

// Fills fetchMap for the output resolution.
void buildFetchMap(QuorvelContext& context);

// Loads the shared RenderingContext with the context's output resolution,
// render scale and tolerance.
void loadSharedRenderingContext(QuorvelContext& context);

// Returns the shared RenderingContext to its load values.
void resetSharedRenderingContext();

// Render-phase begin: reads the detection file into the camera set, the
// plaque list and the completion mask; false when the phase must not begin.
bool readDetectionFile(QuorvelContext& context);

// Flushes the open bucket of one thread region to the temporary file.
void flushThreadRegion(QuorvelContext& context, uint64_t regionIndex);

// Phase end: takes ownership of the detached temporary file, writes the
// detection or render file and closes the temporary file.
void finalizeDetectionPhase(QuorvelContext& context, std::FILE* temporaryFile);
void finalizeRenderPhase(QuorvelContext& context, std::FILE* temporaryFile);

} // namespace Quorvel::Phase::inline v2_0
