#pragma once

#include <cstdint>
#include <vector>

#include "foundation/Export.h"
#include "foundation/Types.h"
#include "foundation/Vekbin.h"

// Gives every left-eye sample of a stereo pair its right-eye colour.
namespace Quorvel::BinIO::inline v2_0 {

// Values of one render group, taken from its header.
struct combineLRGlobal {
    uint16_t width = 0;
    uint16_t height = 0;
    float ipd = 0.0f;
    float globalScale = 1.0f;
    int32_t camOffset[3] = {0, 0, 0};
    float boxScale[3] = {1.0f, 1.0f, 1.0f};
    float tolerance = 0.0f;
};

// Pairs left and right samples of the same camera pixel with compatible
// depths. Both lists must be in key order (Binary::sortByKey). Matched left
// samples take the right sample's colour and go to `result`; left samples
// without a usable partner go to `noMatch`. Both outputs are appended to.
QUORVEL_API void combineL_R(const std::vector<Binary::vekbin>& left, const std::vector<Binary::vekbin>& right,
                            const combineLRGlobal& global, std::vector<Binary::vekbin>& result,
                            std::vector<Binary::vekbin>& noMatch);

// Gives every sample of `noMatch` the colour of the right sample nearest in
// space and appends it to `result`; a sample with no right sample nearby
// keeps its right colour. The camera positions are not needed.
QUORVEL_API void processNoMatch(const std::vector<VekPoint>& cameras, std::vector<Binary::vekbin>& result,
                                const std::vector<Binary::vekbin>& noMatch, std::vector<Binary::vekbin> right,
                                const combineLRGlobal& global);

} // namespace Quorvel::BinIO::inline v2_0
