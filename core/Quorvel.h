#pragma once

// Everything the core library offers, in one include.

#include "foundation/Export.h"
#include "foundation/Types.h"
#include "foundation/Half.h"
#include "foundation/Logger.h"
#include "foundation/Catalogue.h"
#include "analysis/KDPointLocation.h"
#include "context/Phase.h"
#include "context/Resolution.h"
#include "io/AovFormat.h"
#include "io/QvlRenderHeader.h"
#include "samples/DetectPlaqueInfo.h"
#include "samples/QvRenderSample.h"
#include "camera/CubeMap.h"
#include "camera/CameraSet.h"
#include "foundation/GeometryUtils.h"
#include "foundation/Vekbin.h"
#include "camera/RenderingContext.h"
#include "camera/Plaque.h"
#include "io/RenderSampleRecords.h"
