#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "VRayInterfaces.h"
#include "foundation/Types.h"

namespace QuorvelPlugin {

class QuorvelIntersectionShader;

enum PhaseMode : int { PHASE_MODE_DETECT = 0, PHASE_MODE_RENDER = 1 };

// Everything the per-frame code needs, refreshed from the parameters.
struct QuorvelSettings {
    std::vector<uint32_t> channelAliases;
    int motionVectors = 1;
    int velocityPresent = 0;
    int viewMode = 0;
    int boxOffsetRight = 0, boxOffsetTop = 0, boxOffsetBack = 0;
    float scaleLength = 1.0f, scaleHeight = 0.5f, scaleDepth = 1.0f;
    VekPoint specularOffset{0.0f, 0.0f, 0.0f};
    float renderScale = 1.0f;
    int deepReflection = 1;
    float ipd = 63.5f;
    int draft = 0;
    int glassMode = 0;
    int lightVisibility = 0;
    float groundDistance = 1.6f;
    float tolerance = 0.25f;
    VUtils::CharString detectFile;
    std::string outputFileName, outputDirectory;
    bool outputCaptured = false;
    std::string localDetectFile;
    int phaseMode = PHASE_MODE_DETECT;
    bool imagePass = false;
    double width = 0.0, height = 0.0;
    VUtils::VRaySequenceData* sequence = nullptr;
    VUtils::VRayFrameData* frame = nullptr;
    VUtils::AssetTransferCallback* assetTransfer = nullptr;
    QuorvelIntersectionShader* shader = nullptr;
    std::vector<VUtils::VRayPlugin*> glassMaterials;
    std::vector<VUtils::VRayPlugin*> glassBrdfs;
    int clippingEnabled = 0;
    VUtils::Vector clippingCentre;
    float clippingRadius = 0.0f;
    int clippingInside = 0;
    VUtils::PathSampler* savedPathSampler = nullptr;

    bool isServer() const { return sequence && sequence->renderer && sequence->renderer->isServer(); }
};

} // namespace QuorvelPlugin
