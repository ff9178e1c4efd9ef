#pragma once

// Everything the core library offers, in one include.

// Foundation: value types, logger, catalogue, utilities, merged sample record.
#include "foundation/Export.h"
#include "foundation/Types.h"
#include "foundation/Half.h"
#include "foundation/Logger.h"
#include "foundation/Catalogue.h"
#include "foundation/GeometryUtils.h"
#include "foundation/Vekbin.h"
#include "foundation/FileReplace.h"

// Rendering context: phase lifecycle, resolutions and blocks.
#include "context/Phase.h"
#include "context/Resolution.h"
#include "context/DetectionOutput.h"

// Cameras: cube map, camera set, rays, sampling, plaque geometry.
#include "camera/CubeMap.h"
#include "camera/CameraSet.h"
#include "camera/CameraRays.h"
#include "camera/Sampling.h"
#include "camera/RenderingContext.h"
#include "camera/Plaque.h"

// Samples.
#include "samples/DetectPlaqueInfo.h"
#include "samples/QvRenderSample.h"
#include "samples/DetectSample.h"
#include "samples/RenderSample.h"
#include "samples/Buckets.h"
#include "samples/Shading.h"

// Files: AOV registry, file header, sample records.
#include "io/AovFormat.h"
#include "io/HalfConversion.h"
#include "io/QvlRenderFile.h"
#include "io/QvlRenderHeader.h"
#include "io/RenderSampleRecords.h"
#include "io/LegacyReaders.h"

// Spatial indexes.
#include "analysis/KDPointLocation.h"
#include "analysis/PixelSampleMerging.h"
#include "analysis/PlaqueKDTree.h"
#include "analysis/RedundancyRemoval.h"
#include "analysis/Froxelize.h"

// Left/right combination of stereo samples.
#include "analysis/CombineLR.h"

// Diagnostics.
#include "analysis/MayaDebugScript.h"
#include "analysis/DepthCode.h"
