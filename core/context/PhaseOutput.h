#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "context/DetectionOutput.h"
#include "context/QuorvelContext.h"

namespace Quorvel::Block::inline v2_0 {

// One level of the quad merge at a width x height image: removes the merged
// plaques from the list and returns the coarse ones (coordinates halved, level
// untouched).
std::vector<BinIO::DetectPlaqueInfo> quadMerge(std::vector<BinIO::DetectPlaqueInfo>& plaques, uint64_t width,
                                               uint64_t height, float threshold);

// The quad merge over levels 1 to 3 of one list at the output resolution: the
// coarse plaques, rescaled to full-resolution coordinates, join the list in
// key order.
void mergeLevels(std::vector<BinIO::DetectPlaqueInfo>& list, uint64_t width, uint64_t height, float threshold);

} // namespace Quorvel::Block::inline v2_0

namespace Quorvel::Phase::inline v2_0 {

// Terminate(Finalize) of a detection phase: the raw plaques of the temporary
// file become the detection file. Takes ownership of the file.
void writeDetectionOutput(QuorvelContext& context, std::FILE* temporaryFile);

// Terminate(Finalize) of a render phase: the samples of the temporary file
// become the render file. Takes ownership of the file.
void writeRenderOutput(QuorvelContext& context, std::FILE* temporaryFile);

// Render-phase begin: the detection file becomes the camera set, the plaque
// list and the completion mask. False, with the context untouched, when its
// header holds values the render phase cannot use; a file that cannot be
// read is logged and leaves an empty plaque list instead.
bool readDetectionInput(QuorvelContext& context);

// Where the data of a file that could not be written at `path` is saved,
// in order of preference: beside it, then in the system's temporary folder.
std::vector<std::string> recoveryPaths(const std::string& path);

} // namespace Quorvel::Phase::inline v2_0
