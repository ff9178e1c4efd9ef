#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <OpenColorIO/OpenColorIO.h>

#include "CommandLine.h"

namespace Quorvel::Merger {

// The run configuration, filled once from the command line.
struct params {
    int32_t frameFirst = -2;
    int32_t frameLast = 1000000000;
    std::vector<float> lift{0.0f, 0.0f, 0.0f};
    std::vector<float> gain{1.0f, 1.0f, 1.0f};
    std::vector<float> pow{1.0f, 1.0f, 1.0f};
    std::vector<int32_t> zovOffset{0, 0, 0};
    float minDist = 0.0f;
    float maxDist = 1e30f;
    float colorTolerance = 2.3f;
    float normalTolerance = 0.95f;
    float planeTolerance = 0.2f;
    bool mergeHypertangent = true;
    bool overwrite = false;
    int32_t backgroundColor = 0;
    std::string backgroundImage;
    // Source-to-target colour-space conversion; null when none.
    OCIO_NAMESPACE::ConstCPUProcessorRcPtr ocioProcessor;
    std::string vfbPreset;
    std::string output;
};

// What main keeps besides params.
struct MergerInputs {
    std::string inputDirectory;
    std::string ocioConfig;
    std::string colorSpaceFrom = "linear";
    std::string colorSpaceTo = "linear";
    int32_t consoleLevel = 2;
};

// Declares every option of the merger, in help-text order.
void declareOptions(CommandLine& commandLine);

// Reads the parsed values; options left out keep their defaults.
void readOptions(const CommandLine& commandLine, params& run, MergerInputs& inputs);

// "0x" and at least one more character: hexadecimal; else decimal; empty or
// unreadable text gives 0 (black).
int32_t parseBackgroundColor(const std::string& text);

} // namespace Quorvel::Merger
