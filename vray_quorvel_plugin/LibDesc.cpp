// The library entry: one plug-in type, "SettingsQuorvel".

#include <new>

#include "QuorvelPlugin.h"
#include "foundation/Catalogue.h"

namespace QuorvelPlugin {

using namespace VUtils;
using Quorvel::TXT::Core;
using Quorvel::TXT::Vray;

VRayParameterListDesc& quorvelParameterListDesc()
{
    static VRayParameterListDesc desc = [] {
        VRayParameterListDesc d;
        d.addParamInt(Core::param_subframe, 1, -1, Core::param_subframe_desc);
        d.addParamInt(Core::param_motionvectors, 1, -1, Core::param_motionvectors_desc);
        d.addParamInt(Core::param_camId, 0, -1, Core::param_camId_desc);
        d.addParamInt(Core::param_phaseMode, 0, -1, Core::param_phaseMode_desc);
        d.addParamInt(Core::param_viewMode, 0, -1, Core::param_viewMode_desc);
        d.addParamInt(Core::param_boxOffsetRight, 0, -1, Core::param_boxOffsetRight_desc);
        d.addParamInt(Core::param_boxOffsetTop, 0, -1, Core::param_boxOffsetTop_desc);
        d.addParamInt(Core::param_boxOffsetBack, 0, -1, Core::param_boxOffsetBack_desc);
        d.addParamFloat(Core::param_viewScaleLength, 1.0f, -1, Core::param_viewScaleLength_desc);
        d.addParamFloat(Core::param_viewScaleHeight, 0.5f, -1, Core::param_viewScaleHeight_desc);
        d.addParamFloat(Core::param_viewScaleDepth, 1.0f, -1, Core::param_viewScaleDepth_desc);
        d.addParamFloat(Core::param_IPD, 63.5f, -1, Core::param_IPD_desc);
        d.addParamBool(Core::param_draft, false, -1, Core::param_draft_desc);
        d.addParamInt(Core::param_lightVisibility, 0, -1, Core::param_lightVisibility_desc);
        d.addParamFloat(Core::param_specOffsetRight, 0.0f, -1, Core::param_specOffsetRight_desc);
        d.addParamFloat(Core::param_specOffsetTop, 0.0f, -1, Core::param_specOffsetTop_desc);
        d.addParamFloat(Core::param_specOffsetBack, 0.0f, -1, Core::param_specOffsetBack_desc);
        d.addParamFloat(Core::param_renderScale, 1.0f, -1, Core::param_renderScale_desc);
        d.addParamBool(Core::param_deepReflection, true, -1, Core::param_deepReflection_desc);
        d.addParamInt(Core::param_glassMode, 0, -1, Core::param_glassMode_desc);
        d.addParamFloat(Core::param_groundDistance, 1.6f, -1, Core::param_groundDistance_desc);
        d.addParamString(Core::param_detectFile, "", -1, Core::param_detectFile_desc);
        d.addParamInt(Core::param_clipping_enable, 0, -1, Core::param_clipping_enable_desc);
        d.addParamVector(Core::param_clipping_position, Vector(0, 0, 0), -1, Core::param_clipping_position_desc);
        d.addParamFloat(Core::param_clipping_radius, 0.0f, -1, Core::param_clipping_radius_desc);
        d.addParamInt(Core::param_clipping_inside, 0, -1, Core::param_clipping_inside_desc);
        d.addParamFloat(Core::param_tolerance, 0.25f, -1, Core::param_tolerance_desc);
        return d;
    }();
    return desc;
}

namespace {

class UserPluginDesc : public PluginDesc {
public:
    PluginID getPluginID() const override { return QUORVEL_PLUGIN_ID; }
    const char* getName() const override { return Vray::Quorvel_stdPluginName; }
    const char* getCopyright() const override { return Vray::Quorvel_stdPluginCopyright; }
    bool supportsInterface(InterfaceID id) const override
    {
        return id == EXT_VRAY_PLUGIN || id == EXT_RENDER_SETTINGS;
    }

    Plugin* newPlugin(PluginHost*) override
    {
        void* memory = vmalloc(sizeof(QuorvelPlugin));
        return new (memory) QuorvelPlugin(this);
    }

    void deletePlugin(Plugin* plugin) override
    {
        if (!plugin)
            return;
        plugin->~Plugin();
        vfree(plugin);
    }

    int registerPlugin(PluginHost* host) override
    {
        if (!host)
            return 0;
        const int result = host->registerPluginDesc(this);
        quorvelParameterListDesc().registerParameters(host, this);
        return result;
    }

    void unregisterPlugin(PluginHost* host) override
    {
        if (host)
            host->unregisterPluginDesc(this);
    }
};

class LibDesc : public PluginLibDesc {
public:
    const char* getDescription() const override { return Vray::Quorvel_stdPluginLibtext; }
    int registerPlugins(PluginHost* host) override
    {
        quorvelPluginDesc().registerPlugin(host);
        return 1;
    }
    void unregisterPlugins(PluginHost* host) override { quorvelPluginDesc().unregisterPlugin(host); }
};

} // namespace

PluginDesc& quorvelPluginDesc()
{
    static UserPluginDesc desc;
    return desc;
}

} // namespace QuorvelPlugin

extern "C" __attribute__((visibility("default"))) VUtils::PluginLibDesc* getLibDesc()
{
    static QuorvelPlugin::LibDesc libDesc;
    return &libDesc;
}
