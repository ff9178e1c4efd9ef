#pragma once

#include <vector>

#include "foundation/Types.h"
#include "io/AovFormat.h"

namespace Quorvel::RenderSample::inline v2_0 {

// One shaded hit as the host fills it; the core copies it when routing.
struct QvRenderSample {
    VekPoint position{0.0f, 0.0f, 0.0f};
    VekPoint normal{0.0f, 0.0f, 0.0f};
    VekRGBA color{0.0f, 0.0f, 0.0f, 0.0f};
    float fracX = 0.0f;
    float fracY = 0.0f;
    double depth = 0.0;
    std::vector<AOVData> aovs;
};

} // namespace Quorvel::RenderSample::inline v2_0
