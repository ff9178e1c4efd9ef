#pragma once

// Wrappers that stand between our host and the settings plug-in and record
// every call either side makes to the other, into the same list as the core
// calls.

#include <memory>
#include <string>
#include <vector>

#include "QuorvelPlugin.h"
#include "RecordingCore.h"
#include "VRayInterfaces.h"

namespace PluginTest {

using namespace VUtils;

inline void note(const std::string& e)
{
    Recording::get().add(e);
}

class SpyManager;

// A plug-in the settings plug-in created through the host.
class SpyGlass : public VRayPlugin {
public:
    SpyGlass(VRayPlugin* real, std::string name, SpyManager& manager) : real_(real), name_(std::move(name)), manager_(manager) {}
    void renderBegin(VRayRenderer* r) override { note(name_ + ".renderBegin"); real_->renderBegin(r); }
    void renderEnd(VRayRenderer* r) override { note(name_ + ".renderEnd"); real_->renderEnd(r); }
    void frameBegin(VRayRenderer* r) override { note(name_ + ".frameBegin"); real_->frameBegin(r); }
    void frameEnd(VRayRenderer* r) override { note(name_ + ".frameEnd"); real_->frameEnd(r); }
    int setParameter(VRayPluginParameter* p) override;
    VRayPluginParameter* getParameter(const char* name) override { return real_->getParameter(name); }
    const std::string& name() const { return name_; }
    VRayPlugin* real() const { return real_; }

private:
    VRayPlugin* real_;
    std::string name_;
    SpyManager& manager_;
};

class SpyManager : public PluginManager {
public:
    PluginManager* real = nullptr;
    bool failAll = false;
    std::vector<std::unique_ptr<SpyGlass>> made;

    VRayPlugin* newPlugin(const char* cls, const char* name) override
    {
        note(std::string("newPlugin(") + cls + ", " + name + ")");
        VRayPlugin* p = failAll || !real ? nullptr : real->newPlugin(cls, name);
        if (!p)
            return nullptr;
        made.push_back(std::make_unique<SpyGlass>(p, name, *this));
        return made.back().get();
    }

    std::string nameOf(PluginBase* p) const
    {
        for (const auto& m : made)
            if (m.get() == p)
                return m->name();
        return p ? "?" : "null";
    }
};

inline int SpyGlass::setParameter(VRayPluginParameter* p)
{
    const ParamValue v = p->getValue();
    std::string value;
    switch (v.type) {
    case TYPE_INT: value = num(v.i); break;
    case TYPE_ACOLOR:
        value = "(" + num(v.c.color.r) + ", " + num(v.c.color.g) + ", " + num(v.c.color.b) + ", " + num(v.c.alpha) + ")";
        break;
    case TYPE_PLUGIN: value = manager_.nameOf(v.plugin); break;
    default: value = "?"; break;
    }
    note(name_ + "." + p->getName() + " = " + value);
    // The host's plug-in takes the real plug-in, not its wrapper.
    if (v.type == TYPE_PLUGIN)
        for (const auto& m : manager_.made)
            if (m.get() == v.plugin) {
                VRayPluginParameter real(p->getName(), ParamValue::ofPlugin(m->real()));
                return real_->setParameter(&real);
            }
    return real_->setParameter(p);
}

class SpyRenderer : public VRayRenderer, public PluginRendererInterface {
public:
    VRayRenderer* real = nullptr;
    SpyManager manager;
    bool noPluginRenderer = false;
    bool noManager = false;

    PluginInterface* newInterface(InterfaceID id) override
    {
        if (id != EXT_PLUGIN_RENDERER)
            return real ? real->newInterface(id) : nullptr;
        if (noPluginRenderer)
            return nullptr;
        if (real && !manager.real)
            manager.real = static_cast<PluginRendererInterface*>(real->newInterface(id))->getPluginManager();
        return static_cast<PluginRendererInterface*>(this);
    }
    PluginManager* getPluginManager() override { return noManager ? nullptr : &manager; }
    RendererLog* getLog() override { return real ? real->getLog() : nullptr; }
    AssetTransferCallback* getAssetTransferCallback() override { return real ? real->getAssetTransferCallback() : nullptr; }
    bool isServer() const override { return real && real->isServer(); }
};

class SpyCamera : public VRayCamera, public VRayCameraSubFrames {
public:
    VRayCamera* real = nullptr;

    PluginInterface* newInterface(InterfaceID id) override
    {
        return id == EXT_CAMERA_SUBFRAMES && sub() ? static_cast<VRayCameraSubFrames*>(this) : nullptr;
    }
    int getScreenRay(double x, double y, int t, ScreenRay& ray) override { return real->getScreenRay(x, y, t, ray); }
    void frameBegin(VRayFrameData& f) override { note("host: camera.frameBegin"); real->frameBegin(f); }
    void frameEnd(VRayFrameData& f) override { note("host: camera.frameEnd"); real->frameEnd(f); }
    int getNumSubFrames() override
    {
        const int n = sub()->getNumSubFrames();
        note("host: getNumSubFrames = " + num(n));
        return n;
    }
    int beginSubFrame(int i) override
    {
        note("host: beginSubFrame(" + num(i) + ")");
        return sub()->beginSubFrame(i);
    }
    void endSubFrame(int i) override
    {
        note("host: endSubFrame(" + num(i) + ")");
        sub()->endSubFrame(i);
    }

private:
    VRayCameraSubFrames* sub() const
    {
        return static_cast<VRayCameraSubFrames*>(real->newInterface(EXT_CAMERA_SUBFRAMES));
    }
};

class SpyPlugin : public VRayRenderSettings {
public:
    explicit SpyPlugin(Plugin* real)
        : real_(real),
          plugin_(static_cast<VRayPluginInterface*>(real->newInterface(EXT_VRAY_PLUGIN))),
          settings_(static_cast<RenderSettingsInterface*>(real->newInterface(EXT_RENDER_SETTINGS)))
    {
    }
    Plugin* real() const { return real_; }
    SpyRenderer renderer;

    int setParameter(VRayPluginParameter* p) override
    {
        note(std::string("host: setParameter(") + p->getName() + ")");
        return plugin_->setParameter(p);
    }
    VRayPluginParameter* getParameter(const char* name) override { return plugin_->getParameter(name); }
    void setupSequence(VRaySequenceData& s) override
    {
        note("host: setupSequence");
        settings_->setupSequence(s);
        camera_.real = s.camera;
        s.camera = &camera_;
    }
    void setupFrame(VRayFrameData& f) override
    {
        note("host: setupFrame(" + num(f.frameNumber) + ")");
        settings_->setupFrame(f);
    }
    void renderBegin(VRayRenderer* r) override
    {
        note("host: renderBegin");
        renderer.real = r;
        plugin_->renderBegin(&renderer);
    }
    void renderEnd(VRayRenderer*) override
    {
        note("host: renderEnd");
        plugin_->renderEnd(&renderer);
    }
    void frameBegin(VRayRenderer*) override
    {
        note("host: frameBegin");
        plugin_->frameBegin(&renderer);
    }
    void frameEnd(VRayRenderer*) override
    {
        note("host: frameEnd");
        plugin_->frameEnd(&renderer);
    }

private:
    Plugin* real_;
    VRayPluginInterface* plugin_;
    RenderSettingsInterface* settings_;
    SpyCamera camera_;
};

class SpyDesc : public PluginDesc {
public:
    PluginDesc& real = QuorvelPlugin::quorvelPluginDesc();
    SpyPlugin* last = nullptr;

    PluginID getPluginID() const override { return real.getPluginID(); }
    const char* getName() const override { return real.getName(); }
    const char* getCopyright() const override { return real.getCopyright(); }
    bool supportsInterface(InterfaceID id) const override { return real.supportsInterface(id); }
    Plugin* newPlugin(PluginHost* host) override { return last = new SpyPlugin(real.newPlugin(host)); }
    void deletePlugin(Plugin* p) override
    {
        auto* spy = static_cast<SpyPlugin*>(p);
        real.deletePlugin(spy->real());
        delete spy;
    }
    int registerPlugin(PluginHost* host) override
    {
        const int r = host->registerPluginDesc(this);
        QuorvelPlugin::quorvelParameterListDesc().registerParameters(host, this);
        return r;
    }
    void unregisterPlugin(PluginHost* host) override { host->unregisterPluginDesc(this); }
};

class SpyLib : public PluginLibDesc {
public:
    SpyDesc desc;
    const char* getDescription() const override { return "spy"; }
    int registerPlugins(PluginHost* host) override { return desc.registerPlugin(host); }
    void unregisterPlugins(PluginHost* host) override { desc.unregisterPlugin(host); }
};

} // namespace PluginTest
