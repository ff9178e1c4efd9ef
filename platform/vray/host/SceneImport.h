#pragma once

// A scene file of a modelling package (glTF, OBJ, Collada, FBX) taken as a
// whole scene: its meshes, camera, lights and node animation become the
// host's instances, with the demo's settings for the rest.

#include <string>

#include "SceneFile.h"

namespace QuorvelHost {

// True for the file names importScene takes (by extension).
bool isModelFile(const std::string& path);

// The scene of a model file as if written in JSON; `withQuorvel` adds the
// settings plug-in's instance. Throws SceneError naming the file.
SceneFile importScene(const std::string& path, bool withQuorvel);

// Frames per second of an imported animation when the file does not say.
inline constexpr double kDefaultFrameRate = 24.0;
// Eye height above the lowest point of a scene without a camera, in metres.
inline constexpr double kEyeHeight = 1.6;

} // namespace QuorvelHost
