#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FinalViewReader.h"
#include "foundation/Types.h"

// Re-projects the samples of a final view file for a viewer inside the zone
// of view: every sample becomes the quad its plaque cuts out of its tangent
// plane, drawn with a depth test; transparent samples are blended over the
// opaque picture in file order (farthest first).
namespace Quorvel::FinalView {

// One sample ready to draw. Positions are in the file's units (100 scene
// units of the zone-of-view box), relative to the zone's centre.
struct ViewPlaque {
    VekPoint centre;
    std::array<VekPoint, 4> corners; // in order around the quad
    VekRGB left;                     // premultiplied by alpha
    VekRGB right;
    float alpha = 1.0f;
};

struct ViewScene {
    std::vector<ViewPlaque> plaques; // opaque first, then transparent far to near
    std::size_t opaqueCount = 0;
    VekPoint halfExtent{};           // of the zone of view, file units
    // Zone-of-view coordinates to world: world = local * rotation + translation,
    // local = (file position * 100 + zoneOffset) / renderScale.
    float renderScale = 1.0f;
    std::array<VekPoint, 3> rotation{VekPoint{1, 0, 0}, VekPoint{0, 1, 0}, VekPoint{0, 0, 1}};
    VekPoint translation{};
    VekPoint zoneOffset{};
    // Latitude-longitude RGBA picture shown where no sample lies.
    std::vector<uint8_t> background;
    uint32_t backgroundWidth = 0;
    uint32_t backgroundHeight = 0;
};

// footprintScale enlarges every quad around its centre, closing the hairline
// cracks between neighbours whose planes differ slightly.
ViewScene buildViewScene(const FinalViewData& file, float footprintScale = 1.0f, unsigned threads = 0);

// The plaque of sample `index` as buildViewScene places it; false when the
// sample cannot be placed (it is then left out of the scene).
bool placeSample(const FinalViewData& file, std::size_t index, float footprintScale, ViewPlaque& out);

// The unit normal a sample's code carries, (0, 0, 0) when it has none.
VekPoint sampleNormal(const FinalViewData& file, std::size_t index);

enum class ViewEye { Left, Right };

struct ViewRequest {
    VekPoint position{};    // head in the zone of view, each axis -1..1 (box faces)
    float yawDegrees = 0;   // positive turns right
    float pitchDegrees = 0; // positive looks up
    float rollDegrees = 0;
    float fovDegrees = 90;  // horizontal
    uint32_t width = 1024;
    uint32_t height = 1024;
    ViewEye eye = ViewEye::Left;
    float ipdMillimetres = 63.5f;
    bool panorama = false;  // equirectangular, full sphere
    uint32_t supersample = 1;
    // Opaque colours blended between neighbouring plaques over footprints
    // enlarged this much (2: up to the neighbours' centres); 0 draws every
    // plaque flat.
    float blend = 2.0f;
    unsigned threads = 0;   // 0: all hardware threads
};

// The eye's pinhole: position and axes in zone-of-view file units; the
// camera looks along -back.
struct ViewCamera {
    VekPoint position{};
    VekPoint right{1, 0, 0};
    VekPoint up{0, 1, 0};
    VekPoint back{0, 0, 1};
};

ViewCamera eyeCamera(const ViewScene& scene, const ViewRequest& request);

// The quorvel_host RenderView transform of the same eye: the world axes
// right, up, back and the position, twelve numbers as a JSON array.
std::string hostCameraTransform(const ViewScene& scene, const ViewRequest& request);

// Linear RGB, rows top to bottom.
struct LinearImage {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<float> rgb;
    double uncovered = 0; // share of the pixels no sample reached
};

LinearImage renderView(const ViewScene& scene, const ViewRequest& request);

// 8-bit RGBA with the sRGB transfer function, alpha 255.
std::vector<uint8_t> toSrgba8(const LinearImage& image);

} // namespace Quorvel::FinalView
