// The host's own plug-in types: settings, camera, lights, materials,
// geometry, nodes and render channels, with their parameters.

#include "Host.h"
#include "Scene.h"

namespace QuorvelHost {

using namespace VUtils;

class HostPlugin::Tags : public MaterialTagsInterface {
public:
    explicit Tags(HostPlugin& owner) : owner_(owner) {}
    const char* getTag(const VRayContext&, const char* name) const override
    {
        const auto& tags = owner_.tags();
        const auto it = tags.find(name ? name : "");
        return it == tags.end() ? nullptr : it->second.c_str();
    }

private:
    HostPlugin& owner_;
};

// Materials shade a hit of any object as if it were theirs.
class HostPlugin::Shading : public MaterialInterface {
public:
    explicit Shading(HostPlugin& owner) : owner_(owner) {}
    void shade(VRayContext& rc) override { static_cast<HostRayContext&>(rc).shadeWithMaterial(&owner_); }

private:
    HostPlugin& owner_;
};

HostPlugin::HostPlugin(std::string type, std::string name, const VRayParameterListDesc& desc)
    : type_(std::move(type)), name_(std::move(name)), params_(desc.newParameterList())
{
    // Render threads query these concurrently: made here, never lazily.
    if (params_->desc().find("tags"))
        tagsInterface_ = std::make_unique<Tags>(*this);
    if (type_ == "MtlSingleBRDF" || type_ == "BRDFVRayMtl")
        shadingInterface_ = std::make_unique<Shading>(*this);
}

HostPlugin::~HostPlugin()
{
    VRayParameterListDesc::deleteParameterList(params_);
}

int HostPlugin::setParameter(VRayPluginParameter* param)
{
    // Parameters are set between renders, so the tags are read once here.
    const int result = param ? params_->setParameter(*param) : 0;
    tagCache_.clear();
    if (VRayPluginParameter* p = params_->getParam("tags"))
        tagCache_ = p->getValue().tags;
    return result;
}

VRayPluginParameter* HostPlugin::getParameter(const char* name)
{
    return params_->getParam(name);
}

const std::map<std::string, std::string>& HostPlugin::tags()
{
    return tagCache_;
}

PluginInterface* HostPlugin::newInterface(InterfaceID id)
{
    if (id == EXT_MATERIAL_TAGS && tagsInterface_)
        return tagsInterface_.get();
    if (id == EXT_MATERIAL && shadingInterface_)
        return shadingInterface_.get();
    return VRayPlugin::newInterface(id);
}

const std::map<std::string, VRayParameterListDesc>& hostPluginTypes()
{
    static const std::map<std::string, VRayParameterListDesc> types = [] {
        std::map<std::string, VRayParameterListDesc> t;
        const AColor black(0, 0, 0, 1), white(1, 1, 1, 1), grey(0.5f, 0.5f, 0.5f, 1);
        {
            auto& d = t["SettingsOutput"];
            d.addParamString("img_file", "");
            d.addParamString("img_dir", "");
            d.addParamInt("img_width", 640);
            d.addParamInt("img_height", 480);
            d.addParamBool("img_file_needFrameNumber", false);
            d.addParamInt("anim_frame_padding", 4);
            d.addParamBool("frame_number_dot", false);
            d.addParamInt("frame_start", 0);
            d.addParamInt("frame_end", 0);
        }
        {
            auto& d = t["SettingsImageSampler"];
            d.addParamInt("type", SAMPLER_FIXED);
            d.addParamInt("fixed_subdivs", 1);
            d.addParamInt("dmc_minSubdivs", 1);
            d.addParamInt("dmc_maxSubdivs", 4);
            d.addParamInt("progressive_minSamples", 1);
            d.addParamString("filter", "");
        }
        {
            auto& d = t["SettingsGI"];
            d.addParamBool("on", false);
            d.addParamBool("dont_render_image", false);
        }
        t["SettingsCamera"].addParamInt("type", 0);
        {
            auto& d = t["SettingsRegionsGenerator"];
            d.addParamInt("xc", 32);
            d.addParamInt("yc", 32);
        }
        t["SettingsSystem"].addParamInt("num_threads", 0);
        t["SettingsUnitsInfo"].addParamVector("scene_upDir", Vector(0, 0, 1));
        t["SettingsColorMapping"].addParamFloat("multiplier", 1.0f);
        t["SettingsEnvironment"].addParamColor("bg_color", AColor(0, 0, 0, 0));
        {
            auto& d = t["RenderView"];
            d.addParamTransform("transform", Transform{});
            d.addParamFloat("fov", 60.0f);
            d.addParamVector("origin_offset", Vector(0, 0, 0));
        }
        {
            auto& d = t["LightOmni"];
            d.addParamVector("position", Vector(0, 0, 0));
            d.addParamColor("color", white);
            d.addParamFloat("intensity", 1.0f);
            d.addParamBool("shadows", true);
        }
        {
            auto& d = t["LightDirect"];
            d.addParamVector("direction", Vector(0, 0, -1));
            d.addParamColor("color", white);
            d.addParamFloat("intensity", 1.0f);
            d.addParamBool("shadows", true);
        }
        {
            auto& d = t["LightRectangle"];
            d.addParamTransform("transform", Transform{});
            d.addParamFloat("u_size", 1.0f);
            d.addParamFloat("v_size", 1.0f);
            d.addParamColor("color", white);
            d.addParamFloat("intensity", 1.0f);
            d.addParamInt("subdivs", 4);
            d.addParamBool("invisible", false);
            d.addParamBool("shadows", true);
        }
        {
            auto& d = t["BRDFVRayMtl"];
            d.addParamColor("diffuse", grey);
            d.addParamColor("reflect", black);
            d.addParamFloat("reflect_glossiness", 1.0f);
            d.addParamColor("refract", black);
            d.addParamFloat("refract_ior", 1.6f);
            d.addParamInt("fresnel", 0);
            d.addParamColor("opacity_color", white);
            d.addParamColor("self_illumination", black);
            d.addParamInt("option_reflect_on_back", 0);
            d.addParamTags("tags");
        }
        {
            auto& d = t["MtlSingleBRDF"];
            d.addParamPlugin("brdf");
            d.addParamTags("tags");
        }
        {
            auto& d = t["GeomMeshFile"];
            d.addParamString("file", "");
            // -1: every mesh of the file where its nodes place it; else the
            // one mesh of that index in its own coordinates.
            d.addParamInt("mesh_index", -1);
        }
        t["SettingsMeshFiles"].addParamBool("tag_glass", true);
        {
            auto& d = t["GeomSphere"];
            d.addParamFloat("radius", 1.0f);
            d.addParamInt("segments", 48);
        }
        t["GeomBox"].addParamVector("size", Vector(1, 1, 1));
        {
            auto& d = t["GeomPlane"];
            d.addParamFloat("size_x", 10.0f);
            d.addParamFloat("size_y", 10.0f);
        }
        {
            auto& d = t["Node"];
            d.addParamPlugin("geometry");
            d.addParamPlugin("material");
            d.addParamTransform("transform", Transform{});
            d.addParamBool("visible", true);
        }
        {
            auto& d = t["RenderChannelColor"];
            d.addParamString("name", "diffuse");
            d.addParamInt("alias", 101);
        }
        t["RenderChannelZDepth"].addParamString("name", "zdepth");
        t["RenderChannelVelocity"].addParamString("name", "velocity");
        return t;
    }();
    return types;
}

} // namespace QuorvelHost
