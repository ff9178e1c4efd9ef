#pragma once

#include <string>

namespace QuorvelTest {

// An emissive red ball before an emissive blue wall, no lights: every sample
// is one of two colours. Without the Quorvel settings the host renders a
// plain picture through the scene's camera.
inline std::string tinyEndToEndScene(bool withQuorvel = true)
{
    const std::string settings = R"(
    {"type": "SettingsQuorvel", "name": "quorvel", "params": {
      "render_scale": 100, "deep_reflection": true, "detect_file": "detect_#.qvl"}},)";
    std::string scene = R"({
  "plugins": [
    {"type": "SettingsOutput", "name": "output", "params": {
      "img_width": 312, "img_height": 208, "img_file_needFrameNumber": true, "frame_start": 1, "frame_end": 1}},
    {"type": "SettingsImageSampler", "name": "sampler", "params": {"type": 0, "fixed_subdivs": 2}},
    {"type": "SettingsRegionsGenerator", "name": "buckets", "params": {"xc": 32, "yc": 32}},
    {"type": "SettingsSystem", "name": "system", "params": {"num_threads": 2}},
    {"type": "SettingsUnitsInfo", "name": "units", "params": {"scene_upDir": [0, 0, 1]}},
    {"type": "RenderView", "name": "camera", "params": {"transform": [1, 0, 0,  0, 0, 1,  0, -1, 0,  0, 0, 0]}},
    {"type": "BRDFVRayMtl", "name": "red_brdf", "params": {"diffuse": [0, 0, 0], "self_illumination": [0.8, 0.1, 0.1, 1]}},
    {"type": "MtlSingleBRDF", "name": "red", "params": {"brdf": "red_brdf"}},
    {"type": "BRDFVRayMtl", "name": "blue_brdf", "params": {"diffuse": [0, 0, 0], "self_illumination": [0.1, 0.1, 0.8, 1]}},
    {"type": "MtlSingleBRDF", "name": "blue", "params": {"brdf": "blue_brdf"}},
    {"type": "GeomSphere", "name": "ball", "params": {"radius": 0.3, "segments": 16}},
    {"type": "GeomPlane", "name": "wall_plane", "params": {"size_x": 1.2, "size_y": 1.2}},
    {"type": "Node", "name": "ball_node", "params": {"geometry": "ball", "material": "red",
      "transform": {"translate": [0.2, 2, 0]}}},
    {"type": "Node", "name": "wall_node", "params": {"geometry": "wall_plane", "material": "blue",
      "transform": {"rotate": [90, 0, 0], "translate": [0, 3, 0]}}},
    {"type": "RenderChannelVelocity", "name": "velocity"}
  ]
})";
    if (withQuorvel)
        scene.insert(scene.find("[") + 1, settings);
    return scene;
}

} // namespace QuorvelTest
