#pragma once

#include <vector>

#include "MergerParams.h"
#include "foundation/Types.h"
#include "foundation/Vekbin.h"

namespace Quorvel::Merger {

// Lift, gain and power per channel: powf((v + lift) * gain, pow). Alpha is
// passed through.
VekRGBA gradeColour(const VekRGBA& colour, const std::vector<float>& lift, const std::vector<float>& gain,
                    const std::vector<float>& pow);

// Loads the OCIO configuration and creates the processor from `from` to
// `to` in params.ocioProcessor. Nothing is loaded when both names are
// "linear". False (after logging why) when the run cannot go on.
bool setupColorManagement(const MergerInputs& inputs, params& run);

// Converts every colour of both lists once: colour as RGBA, right colour as
// RGB.
void convertColourSpace(const OCIO_NAMESPACE::CPUProcessor& processor, std::vector<Binary::vekbin>& opaque,
                        std::vector<Binary::vekbin>& transparent);

} // namespace Quorvel::Merger
