#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "camera/RenderingContext.h"
#include "foundation/Export.h"
#include "foundation/Types.h"
#include "io/RenderSampleRecords.h"
#include "samples/DetectPlaqueInfo.h"

namespace Quorvel::BinIO::inline v2_0 {

struct header_v09;

// Sorts the plaques into the canonical order (transparent, camera, x, y,
// depth) and drops every plaque that repeats the last kept one of its camera
// and pixel within the proximity tolerance t.
QUORVEL_API void RemoveRedundancies(std::vector<DetectPlaqueInfo>& plaques, const RenderingContext& context,
                                    float tolerance);

// Fixed debug colour of a camera: the eight box corners have their own, the
// others a hue and value spread over the indices.
QUORVEL_API VekRGB GetColorCodeForCamera(uint32_t cameraIndex);

// Colouring of a plaque written as a render sample. The variants reference
// tables the caller prepares and keeps alive during the write; [x][y * 256 +
// camera] is the layout of every per-pixel table.
class QUORVEL_API FillHoleShader {
public:
    virtual VekRGBA GetColor(const qvlRenderSample5_t& sample, uint64_t plaqueIndex, VekRGBA color,
                             uint32_t estimated) const = 0;
    virtual ~FillHoleShader() = default;
};

using PixelByteTable = std::vector<std::vector<uint8_t>>;
using PixelFloatTable = std::vector<std::vector<float>>;

class QUORVEL_API FillHoleShaderCheckInBoolImage : public FillHoleShader {
public:
    explicit FillHoleShaderCheckInBoolImage(const PixelByteTable& flags) : flags(flags) {}
    VekRGBA GetColor(const qvlRenderSample5_t& sample, uint64_t plaqueIndex, VekRGBA color,
                     uint32_t estimated) const override;
    const PixelByteTable& flags;
};

class QUORVEL_API FillHoleShaderCheckInList : public FillHoleShader {
public:
    explicit FillHoleShaderCheckInList(const std::vector<bool>& marks) : marks(marks) {}
    VekRGBA GetColor(const qvlRenderSample5_t& sample, uint64_t plaqueIndex, VekRGBA color,
                     uint32_t estimated) const override;
    const std::vector<bool>& marks;
};

class QUORVEL_API FillHoleShaderCheckInDevImageRed : public FillHoleShader {
public:
    explicit FillHoleShaderCheckInDevImageRed(const PixelFloatTable& values) : values(values) {}
    VekRGBA GetColor(const qvlRenderSample5_t& sample, uint64_t plaqueIndex, VekRGBA color,
                     uint32_t estimated) const override;
    const PixelFloatTable& values;
};

class QUORVEL_API FillHoleShaderCheckInDevImageGreen : public FillHoleShader {
public:
    explicit FillHoleShaderCheckInDevImageGreen(const PixelFloatTable& values) : values(values) {}
    VekRGBA GetColor(const qvlRenderSample5_t& sample, uint64_t plaqueIndex, VekRGBA color,
                     uint32_t estimated) const override;
    const PixelFloatTable& values;
};

class QUORVEL_API FillHoleShaderCheckInDevImageBlue : public FillHoleShader {
public:
    explicit FillHoleShaderCheckInDevImageBlue(const PixelFloatTable& values) : values(values) {}
    VekRGBA GetColor(const qvlRenderSample5_t& sample, uint64_t plaqueIndex, VekRGBA color,
                     uint32_t estimated) const override;
    const PixelFloatTable& values;
};

class QUORVEL_API FillHoleShaderCheckInDevImageGreenRed : public FillHoleShader {
public:
    FillHoleShaderCheckInDevImageGreenRed(const PixelFloatTable& redValues, const PixelFloatTable& greenValues)
        : redValues(redValues), greenValues(greenValues)
    {
    }
    VekRGBA GetColor(const qvlRenderSample5_t& sample, uint64_t plaqueIndex, VekRGBA color,
                     uint32_t estimated) const override;
    const PixelFloatTable& redValues;
    const PixelFloatTable& greenValues;
};

class QUORVEL_API FillHoleShaderEstimated : public FillHoleShader {
public:
    VekRGBA GetColor(const qvlRenderSample5_t& sample, uint64_t plaqueIndex, VekRGBA color,
                     uint32_t estimated) const override;
};

class QUORVEL_API FillHoleShaderZDepth : public FillHoleShader {
public:
    VekRGBA GetColor(const qvlRenderSample5_t& sample, uint64_t plaqueIndex, VekRGBA color,
                     uint32_t estimated) const override;
};

class QUORVEL_API FillHoleShaderQuality : public FillHoleShader {
public:
    FillHoleShaderQuality(uint64_t width, uint64_t height) : width(width), height(height) {}
    VekRGBA GetColor(const qvlRenderSample5_t& sample, uint64_t plaqueIndex, VekRGBA color,
                     uint32_t estimated) const override;
    uint64_t width;
    uint64_t height;
};

class QUORVEL_API FillHoleShaderTangency : public FillHoleShader {
public:
    FillHoleShaderTangency(float limit, uint64_t width, uint64_t height) : limit(limit), width(width), height(height)
    {
    }
    VekRGBA GetColor(const qvlRenderSample5_t& sample, uint64_t plaqueIndex, VekRGBA color,
                     uint32_t estimated) const override;
    float limit;
    uint64_t width;
    uint64_t height;
};

class QUORVEL_API FillHoleShaderHyperTangency : public FillHoleShader {
public:
    FillHoleShaderHyperTangency(float redBelow, float greenBelow, float blueBelow, uint64_t width, uint64_t height)
        : redBelow(redBelow), greenBelow(greenBelow), blueBelow(blueBelow), width(width), height(height)
    {
    }
    VekRGBA GetColor(const qvlRenderSample5_t& sample, uint64_t plaqueIndex, VekRGBA color,
                     uint32_t estimated) const override;
    float redBelow;
    float greenBelow;
    float blueBelow;
    uint64_t width;
    uint64_t height;
};

// Writes a plaque list as a render file (engine id 50) so that detection
// results can be merged and viewed like rendered ones; each plaque becomes
// one sample coloured by its camera, or by the shader when one is given.
// Writer errors are not reported.
QUORVEL_API void QvlWriteDetectAsRender(const std::string& path, const header_v09& header,
                                        const std::vector<DetectPlaqueInfo>& plaques, const FillHoleShader* shader);

} // namespace Quorvel::BinIO::inline v2_0
