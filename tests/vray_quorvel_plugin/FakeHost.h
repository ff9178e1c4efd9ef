#pragma once

// A scripted host for driving the settings plug-in call by call.

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "QuorvelPlugin.h"
#include "VRayInterfaces.h"

namespace PluginTest {

using namespace VUtils;

struct FakeLog : RendererLog {
    std::vector<std::pair<std::string, std::string>> lines; // (kind, text)
    int aborts = 0;
    int abortValue = -1;
    void error(const char* t) override { lines.push_back({"error", t}); }
    void warning(const char* t) override { lines.push_back({"warning", t}); }
    void info(const char* t) override { lines.push_back({"info", t}); }
    void debug(const char* t) override { lines.push_back({"debug", t}); }
    void abortRender(int v) override
    {
        ++aborts;
        abortValue = v;
    }
};

struct FakeCreated : VRayPlugin {
    std::string cls, name;
    std::map<std::string, ParamValue> params;
    int setParameter(VRayPluginParameter* p) override
    {
        params[p->getName()] = p->getValue();
        return 1;
    }
    VRayPluginParameter* getParameter(const char*) override { return nullptr; }
};

struct FakeTransfer : AssetTransferCallback {
    int result = 1;
    std::string local = "/cache/detect_0001.qvl";
    std::vector<std::string> asked;
    int transferAsset(const char* name, std::string& localPath) override
    {
        asked.push_back(name);
        if (result == 1)
            localPath = local;
        return result;
    }
};

struct FakeRenderer : VRayRenderer, PluginRendererInterface, PluginManager {
    FakeLog log;
    bool server = false;
    bool pluginRenderer = true;
    bool manager = true;
    bool failCreate = false;
    AssetTransferCallback* transfer = nullptr;
    std::vector<std::unique_ptr<FakeCreated>> created;

    PluginInterface* newInterface(InterfaceID id) override
    {
        return id == EXT_PLUGIN_RENDERER && pluginRenderer ? static_cast<PluginRendererInterface*>(this) : nullptr;
    }
    PluginManager* getPluginManager() override { return manager ? this : nullptr; }
    VRayPlugin* newPlugin(const char* cls, const char* name) override
    {
        if (failCreate)
            return nullptr;
        auto p = std::make_unique<FakeCreated>();
        p->cls = cls;
        p->name = name;
        created.push_back(std::move(p));
        return created.back().get();
    }
    RendererLog* getLog() override { return &log; }
    AssetTransferCallback* getAssetTransferCallback() override { return transfer; }
    bool isServer() const override { return server; }
};

struct FakeChannel : RenderChannel {
    uint32_t alias;
    int type;
    std::string name;
    FakeChannel(uint32_t a, int t, std::string n) : alias(a), type(t), name(std::move(n)) {}
    uint32_t getAlias() const override { return alias; }
    int getDataType() const override { return type; }
    const char* getName() const override { return name.c_str(); }
};

struct FakeChannels : RenderChannelsInterface {
    std::vector<FakeChannel> list;
    int getNumChannels() const override { return static_cast<int>(list.size()); }
    RenderChannel* getChannel(int i) const override { return const_cast<FakeChannel*>(&list[static_cast<size_t>(i)]); }
};

struct FakeCamera : VRayCamera {
    int getScreenRay(double, double, int, ScreenRay&) override { return 1; }
};

struct FakeFilter : ImageFilter {
    const char* getName() const override { return "lanczos"; }
};

struct FakeSequence : VRaySequenceData {
    FakeRenderer host;
    ImageSamplerParams samplerParams;
    ProgressiveSamplerParams progressive;
    GIParams giParams;
    RegionGeneratorParams regions;
    OutputSettings output;
    SequenceSettings2 settings2;
    SceneUpVectorSettings up;
    FakeChannels channels;
    FakeCamera hostCamera;
    FakeFilter hostFilter;
    GIEngine hostGI;
    bool hasUp = false, hasChannels = true, hasProgressive = true;

    FakeSequence()
    {
        renderer = &host;
        progress = &host.log;
        imageSampler = &samplerParams;
        gi = &giParams;
        regionGenerator = &regions;
        camera = &hostCamera;
        numThreads = 2;
        output.imgFile = "beauty.qvl";
        output.imgDir = "/out";
    }
    PluginInterface* getInterface(InterfaceID id) override
    {
        switch (id) {
        case EXT_SCENE_UP_VECTOR: return hasUp ? &up : nullptr;
        case EXT_OUTPUT_SETTINGS: return &output;
        case EXT_SEQUENCE_SETTINGS2: return &settings2;
        case EXT_RENDER_CHANNELS: return hasChannels ? &channels : nullptr;
        case EXT_PROGRESSIVE_SAMPLER_PARAMS: return hasProgressive ? &progressive : nullptr;
        default: return nullptr;
        }
    }
    Color mapColor(const Color& c) const override { return c; }
};

// One SettingsQuorvel instance, created as a host would.
struct Instance {
    QuorvelPlugin::QuorvelPlugin* plugin;
    Instance() : plugin(static_cast<QuorvelPlugin::QuorvelPlugin*>(QuorvelPlugin::quorvelPluginDesc().newPlugin(nullptr))) {}
    ~Instance() { QuorvelPlugin::quorvelPluginDesc().deletePlugin(plugin); }
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    void set(const char* name, const ParamValue& v)
    {
        VRayPluginParameter p(name, v);
        plugin->setParameter(&p);
    }
    QuorvelPlugin::QuorvelPlugin* operator->() { return plugin; }
};

} // namespace PluginTest
