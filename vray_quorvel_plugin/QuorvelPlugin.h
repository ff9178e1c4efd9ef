#pragma once

// The "SettingsQuorvel" plug-in: one instance per scene drives the core for
// every frame the host renders.

#include <cstdint>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "QuorvelSettings.h"
#include "VRayContext.h"
#include "VRayInterfaces.h"

namespace QuorvelPlugin {

inline constexpr VUtils::PluginID QUORVEL_PLUGIN_ID = 0x781C5350;

class QuorvelPlugin;

class QuorvelPathSampler : public VUtils::PathSampler {
public:
    VUtils::PathSampler* wrapped = nullptr;
    void initPixel(VUtils::PixelSamplingState& state, int x, int y) override;
};

class QuorvelSubFrames : public VUtils::VRayCameraSubFrames {
public:
    struct Block {
        uint64_t index;
        uint64_t count;
    };

    QuorvelSubFrames(QuorvelPlugin& plugin, QuorvelSettings& settings) : plugin_(plugin), settings_(settings) {}
    int getNumSubFrames() override;
    int beginSubFrame(int index) override;
    void endSubFrame(int index) override;

    std::vector<Block> blocks;
    bool phaseBegun = false;
    // The core refused to begin the phase: no sub-frame may render.
    bool phaseRefused = false;

private:
    QuorvelPlugin& plugin_;
    QuorvelSettings& settings_;
};

class QuorvelCamera : public VUtils::VRayCamera {
public:
    QuorvelCamera(QuorvelPlugin& plugin, QuorvelSettings& settings)
        : plugin_(plugin), settings_(settings), subFrames_(plugin, settings)
    {
    }

    VUtils::PluginInterface* newInterface(VUtils::InterfaceID id) override;
    int getScreenRay(double x, double y, int threadIndex, VUtils::ScreenRay& ray) override;
    void frameBegin(VUtils::VRayFrameData& fdata) override;
    void frameEnd(VUtils::VRayFrameData& fdata) override;
    VUtils::AColor getRGBA() override;

    // Prepares the frame's blocks into the sub-frames object.
    void frameReset();

    VUtils::VRayCamera* wrapped = nullptr;
    VUtils::Vector matrix[4];
    QuorvelSubFrames& subFrames() { return subFrames_; }

private:
    QuorvelPlugin& plugin_;
    QuorvelSettings& settings_;
    QuorvelSubFrames subFrames_;
};

class QuorvelIntersectionShader : public VUtils::VRayIntersectionShader2 {
public:
    using Predicate = bool (*)(QuorvelIntersectionShader&, VUtils::VRayContext&);
    using Routine = void (*)(QuorvelIntersectionShader&, VUtils::VRayContext&);

    explicit QuorvelIntersectionShader(QuorvelSettings& settings) : settings_(settings) {}
    int shade(VUtils::VRayContext& rc) override;
    // Chooses the frame's routine and predicate lists.
    void prepareFrame();

    // Test rays of the detection phase pass over these hits.
    bool excludedFromTestRays(VUtils::VRayContext& rc);
    QuorvelSettings& settings() { return settings_; }

private:
    Routine mainRoutine_ = nullptr;
    std::vector<Predicate> cameraExclusion_;
    std::vector<Predicate> testRayExclusion_;
    std::vector<Predicate> inclusion_;
    QuorvelSettings& settings_;
};

class QuorvelRegionDoneCallback;

// The host's output region with the core's bucket of the same rectangle: on a
// render server the bucket's samples travel inside the region buffer.
class QuorvelRenderOutput : public VUtils::OutputRegion {
public:
    QuorvelRenderOutput(VUtils::OutputRegion* wrapped, QuorvelRegionDoneCallback& owner, int32_t pass)
        : wrapped(wrapped), owner(owner), pass(pass)
    {
    }
    void getRect(int rect[4]) const override;
    int64_t getBuffer(uint8_t* buffer, int64_t size) override;
    int putBuffer(const uint8_t* buffer, int64_t size) override;
    void setPixel(int x, int y, const VUtils::AColor& c) override;

    bool bucketOpen = false;
    VUtils::OutputRegion* wrapped;
    QuorvelRegionDoneCallback& owner;
    int32_t pass;
};

class QuorvelRegionDoneCallback : public VUtils::RegionDoneCallback {
public:
    explicit QuorvelRegionDoneCallback(QuorvelSettings& settings) : settings_(settings) {}

    VUtils::PluginInterface* newInterface(VUtils::InterfaceID id) override;
    void prePass(int pass) override;
    void imagePass() override;
    VUtils::OutputRegion* newOutputRegion(const int rect[4]) override;
    void releaseOutputRegion(VUtils::OutputRegion* region) override;
    void regionBegin(VUtils::OutputRegion* region, int threadIndex, int pass) override;
    void regionDone(VUtils::OutputRegion* region) override;

    std::mutex mutex;
    VUtils::RegionDoneCallback* wrapped = nullptr;

private:
    QuorvelSettings& settings_;
};

class QuorvelPlugin : public VUtils::VRayRenderSettings {
public:
    explicit QuorvelPlugin(VUtils::PluginDesc* desc);
    ~QuorvelPlugin() override;

    VUtils::PluginInterface* newInterface(VUtils::InterfaceID id) override;

    // Plug-in interface.
    void renderBegin(VUtils::VRayRenderer* renderer) override;
    void renderEnd(VUtils::VRayRenderer* renderer) override;
    void frameBegin(VUtils::VRayRenderer* renderer) override;
    void frameEnd(VUtils::VRayRenderer* renderer) override;
    int setParameter(VUtils::VRayPluginParameter* param) override;
    VUtils::VRayPluginParameter* getParameter(const char* name) override;

    // Render-settings interface.
    void setupSequence(VUtils::VRaySequenceData& sdata) override;
    void setupFrame(VUtils::VRayFrameData& fdata) override;

    // Frame and phase driver.
    uint64_t prepareBlocks();
    bool phaseBegin();
    void phaseTerminate();

    const QuorvelSettings& settings() const { return settings_; }

private:
    void initPhase(uint64_t width, uint64_t height);
    std::string renderOutputBasePath();
    bool transferDetectFile(const std::string& path);
    void registerAovs();
    void checkMinimumSampling();
    void createGlassPair(int pair, const char* materialName, const char* brdfName);
    template <class F> void forEachGlassPlugin(F f);

    VUtils::PluginDesc* desc_;
    VUtils::VRayParameterList* params_;
    QuorvelSettings settings_;
    QuorvelPathSampler pathSampler_;
    QuorvelCamera camera_;
    QuorvelIntersectionShader shader_;
    QuorvelRegionDoneCallback regionCallback_;
    std::unordered_set<VUtils::VRayPluginParameter*> ownedParams_;
};

// A number in a material tag: sign, digits, "," or "." fraction, "e"/"E"
// exponent; stops at the first character that does not fit, whatever the locale.
float parseTagNumber(const char* text);

// The library's plug-in descriptor and the parameters of "SettingsQuorvel".
VUtils::PluginDesc& quorvelPluginDesc();
VUtils::VRayParameterListDesc& quorvelParameterListDesc();

} // namespace QuorvelPlugin
