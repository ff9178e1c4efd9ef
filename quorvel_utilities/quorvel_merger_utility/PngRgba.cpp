#include "PngRgba.h"

#include <lodepng.h>

namespace Quorvel::FinalView {

std::optional<std::vector<uint8_t>> encodeRgbaPng(const std::vector<uint8_t>& rgba, unsigned width, unsigned height)
{
    if (rgba.size() / 4 / (width ? width : 1) < height)
        return std::nullopt;
    lodepng::State state;
    // Left on, the encoder picks the smallest type that holds the colours:
    // palette or grey for pictures of few colours.
    state.encoder.auto_convert = 0;
    state.info_raw.colortype = LCT_RGBA;
    state.info_raw.bitdepth = 8;
    state.info_png.color.colortype = LCT_RGBA;
    state.info_png.color.bitdepth = 8;
    std::vector<unsigned char> png;
    if (lodepng::encode(png, rgba.data(), width, height, state) != 0)
        return std::nullopt;
    return png;
}

} // namespace Quorvel::FinalView
