#include "QuorvelPlugin.h"

#include <algorithm>

#include "CoreCalls.h"
#include "foundation/Catalogue.h"
#include "foundation/Logger.h"

namespace QuorvelPlugin {

using namespace VUtils;
using Quorvel::TXT::Core;
using Quorvel::TXT::Vray;
using Quorvel::Logger::QvOutputLogCStr;
using Quorvel::Logger::QvOutputLogString;
namespace QL = Quorvel::Logger;

namespace {

// V-Ray's plug-in manager while a render runs.
PluginManager* pluginManager = nullptr;

// Forwards the core's messages to the renderer's log; an error stops the render.
void logToRenderer(const QL::LogLevel& level, const char* text, void* userData)
{
    auto* log = static_cast<RendererLog*>(userData);
    if (!log)
        return;
    switch (level) {
    case QL::ERROR:
        log->error(text);
        log->abortRender(1);
        break;
    case QL::WARNING: log->warning(text); break;
    case QL::INFO: log->info(text); break;
    case QL::DEBUG:
    case QL::TRACE: log->debug(text); break;
    default: break;
    }
}

} // namespace

QuorvelPlugin::QuorvelPlugin(PluginDesc* desc)
    : desc_(desc),
      params_(nullptr),
      camera_(*this, settings_),
      shader_(settings_),
      regionCallback_(settings_)
{
    params_ = quorvelParameterListDesc().newParameterList();
    settings_.shader = &shader_;

    params_->setParamCache(Core::param_motionvectors, &settings_.motionVectors);
    params_->setParamCache(Core::param_phaseMode, &settings_.phaseMode);
    params_->setParamCache(Core::param_viewMode, &settings_.viewMode);
    params_->setParamCache(Core::param_boxOffsetRight, &settings_.boxOffsetRight);
    params_->setParamCache(Core::param_boxOffsetTop, &settings_.boxOffsetTop);
    params_->setParamCache(Core::param_boxOffsetBack, &settings_.boxOffsetBack);
    params_->setParamCache(Core::param_viewScaleLength, &settings_.scaleLength);
    params_->setParamCache(Core::param_viewScaleHeight, &settings_.scaleHeight);
    params_->setParamCache(Core::param_viewScaleDepth, &settings_.scaleDepth);
    params_->setParamCache(Core::param_IPD, &settings_.ipd);
    params_->setParamCache(Core::param_draft, &settings_.draft);
    params_->setParamCache(Core::param_lightVisibility, &settings_.lightVisibility);
    params_->setParamCache(Core::param_specOffsetRight, &settings_.specularOffset.x);
    params_->setParamCache(Core::param_specOffsetTop, &settings_.specularOffset.y);
    params_->setParamCache(Core::param_specOffsetBack, &settings_.specularOffset.z);
    params_->setParamCache(Core::param_renderScale, &settings_.renderScale);
    params_->setParamCache(Core::param_deepReflection, &settings_.deepReflection);
    params_->setParamCache(Core::param_glassMode, &settings_.glassMode);
    params_->setParamCache(Core::param_groundDistance, &settings_.groundDistance);
    params_->setParamCache(Core::param_detectFile, &settings_.detectFile);
    params_->setParamCache(Core::param_clipping_enable, &settings_.clippingEnabled);
    params_->setParamCache(Core::param_clipping_position, &settings_.clippingCentre);
    params_->setParamCache(Core::param_clipping_radius, &settings_.clippingRadius);
    params_->setParamCache(Core::param_clipping_inside, &settings_.clippingInside);
    params_->setParamCache(Core::param_tolerance, &settings_.tolerance);

    pluginManager = nullptr;
    settings_.imagePass = false;
    settings_.clippingEnabled = 0;
    settings_.clippingCentre = Vector{};
    settings_.clippingRadius = 0.0f;
    settings_.clippingInside = 0;
}

QuorvelPlugin::~QuorvelPlugin()
{
    VRayParameterListDesc::deleteParameterList(params_);
    for (VRayPluginParameter* p : ownedParams_)
        delete p;
}

PluginInterface* QuorvelPlugin::newInterface(InterfaceID id)
{
    if (id == EXT_RENDER_SETTINGS)
        return static_cast<RenderSettingsInterface*>(this);
    if (id == EXT_TOP_LEVEL_PLUGIN)
        return static_cast<TopLevelPluginInterface*>(this);
    if (id == EXT_VRAY_PLUGIN)
        return static_cast<VRayPluginInterface*>(this);
    return VRayRenderSettings::newInterface(id);
}

int QuorvelPlugin::setParameter(VRayPluginParameter* param)
{
    return params_ && param ? params_->setParameter(*param) : 0;
}

VRayPluginParameter* QuorvelPlugin::getParameter(const char* name)
{
    return params_ ? params_->getParam(name) : nullptr;
}

void QuorvelPlugin::checkMinimumSampling()
{
    ImageSamplerParams* sampler = settings_.sequence->imageSampler;
    if (!sampler)
        return;
    if (sampler->type == SAMPLER_ADAPTIVE && sampler->adaptiveMinRate < 4) {
        QvOutputLogCStr(QL::WARNING, Vray::warn_increaseAdaptativeMinSubdiv);
        sampler->adaptiveMinRate = 4;
    } else if (sampler->type == SAMPLER_PROGRESSIVE) {
        auto* progressive = static_cast<ProgressiveSamplerParams*>(
            settings_.sequence->getInterface(EXT_PROGRESSIVE_SAMPLER_PARAMS));
        if (progressive && progressive->minSamplesPerPixel < 4) {
            progressive->minSamplesPerPixel = 4;
            QvOutputLogCStr(QL::WARNING, Vray::warn_increaseProgressiveMinSubdiv);
        }
    }
}

void QuorvelPlugin::setupSequence(VRaySequenceData& sdata)
{
    params_->cacheParams(0.0, nullptr);
    settings_.sequence = &sdata;

    core().QvSetDateHeader(false);
    core().QvSetLogLevelHeader(false);
    core().QvSetConsole(false);
    core().QvSetCallBackLogLevel(QL::TRACE, logToRenderer, sdata.progress);
    core().QvSetCallbackCarriageReturnMode(QL::StripTrailingNewline);

    ImageSamplerParams* sampler = sdata.imageSampler;
    if (sdata.filter) {
        QvOutputLogCStr(QL::WARNING, Vray::warn_removePixelFiltering);
        if (sampler)
            sampler->filterOn = 0;
        sdata.filter = nullptr;
    }
    if (sdata.cameraType != 0) {
        QvOutputLogCStr(QL::INFO, Vray::warn_setDefaultCamType);
        sdata.cameraType = 0;
    }
    if (sampler && sampler->type == SAMPLER_PROGRESSIVE)
        QvOutputLogCStr(QL::ERROR, Vray::err_progressiveNotSupported);
    else if (sampler && sampler->type == SAMPLER_ADAPTIVE_SUBDIVISION)
        QvOutputLogCStr(QL::ERROR, Vray::err_adaptativeSubdivNotSupported);

    if (settings_.phaseMode != PHASE_MODE_DETECT && sampler) {
        if (sampler->type == SAMPLER_FIXED && sampler->fixedSubdivs < 4) {
            QvOutputLogCStr(QL::WARNING, Vray::warn_increaseFixSubdiv);
            sampler->fixedSubdivs = 4;
        } else {
            checkMinimumSampling();
        }
    }
    if (settings_.phaseMode == PHASE_MODE_DETECT) {
        QvOutputLogCStr(QL::WARNING, Vray::warn_setFixedSubdiv);
        if (sampler) {
            sampler->type = SAMPLER_FIXED;
            sampler->fixedSubdivs = 16; // one sample for each of the 256 cameras
        }
        if (sdata.gi)
            sdata.gi->on = 0;
        sdata.giEngine = nullptr;
    }

    camera_.wrapped = sdata.camera;
    sdata.camera = &camera_;
    sdata.intersectionShaders.push_back(&shader_);
    regionCallback_.wrapped = sdata.regionDoneCallback;
    sdata.regionDoneCallback = &regionCallback_;

    checkMinimumSampling();
}

template <class F> void QuorvelPlugin::forEachGlassPlugin(F f)
{
    const size_t n = std::max(settings_.glassMaterials.size(), settings_.glassBrdfs.size());
    for (size_t i = 0; i < n; ++i) {
        if (i < settings_.glassBrdfs.size() && settings_.glassBrdfs[i])
            f(settings_.glassBrdfs[i]);
        if (i < settings_.glassMaterials.size() && settings_.glassMaterials[i])
            f(settings_.glassMaterials[i]);
    }
}

void QuorvelPlugin::createGlassPair(int pair, const char* materialName, const char* brdfName)
{
    VRayPlugin* material = pluginManager->newPlugin("MtlSingleBRDF", materialName);
    settings_.glassMaterials.push_back(material);
    if (!material)
        QvOutputLogString(QL::ERROR, Vray::err_createMaterial, pair == 1 ? 0 : 2);
    VRayPlugin* brdf = pluginManager->newPlugin("BRDFVRayMtl", brdfName);
    settings_.glassBrdfs.push_back(brdf);
    if (!brdf)
        QvOutputLogString(QL::ERROR, Vray::err_createBrdf, pair == 1 ? 1 : 2);

    auto give = [this](VRayPlugin* target, VRayPluginParameter* param) {
        ownedParams_.insert(param);
        if (target)
            target->setParameter(param);
    };
    const AColor white(1, 1, 1, 1), black(0, 0, 0, 1);
    give(material, new VRayPluginParameter("brdf", ParamValue::ofPlugin(brdf)));
    give(brdf, new VRayPluginParameter("opacity_color", ParamValue::ofColor(white)));
    give(brdf, new VRayPluginParameter("self_illumination", ParamValue::ofColor(black)));
    give(brdf, new VRayPluginParameter("diffuse", ParamValue::ofColor(black)));
    give(brdf, new VRayPluginParameter("reflect", ParamValue::ofColor(white)));
    give(brdf, new VRayPluginParameter("fresnel", ParamValue::ofInt(pair == 1 ? 0 : 1)));
    give(brdf, new VRayPluginParameter("refract", ParamValue::ofColor(pair == 1 ? black : white)));
    give(brdf, new VRayPluginParameter("option_reflect_on_back", ParamValue::ofInt(1)));
}

void QuorvelPlugin::renderBegin(VRayRenderer* renderer)
{
    settings_.assetTransfer = getVRayAssetManager(renderer);
    pluginManager = nullptr;
    forEachGlassPlugin([renderer](VRayPlugin* p) { p->renderBegin(renderer); });

    auto* pluginRenderer =
        renderer ? static_cast<PluginRendererInterface*>(renderer->newInterface(EXT_PLUGIN_RENDERER)) : nullptr;
    if (!pluginRenderer) {
        QvOutputLogCStr(QL::ERROR, Vray::err_vrayRendererInterface);
        return;
    }
    pluginManager = pluginRenderer->getPluginManager();
    if (!pluginManager) {
        QvOutputLogCStr(QL::ERROR, Vray::err_vrayPluginManager);
        return;
    }
    createGlassPair(1, "QuorvelGlassMirror", "QuorvelGlassMirrorBRDF");
    createGlassPair(2, "QuorvelGlassClear", "QuorvelGlassClearBRDF");
}

void QuorvelPlugin::frameBegin(VRayRenderer* renderer)
{
    VRayRenderSettings::frameBegin(renderer);
    forEachGlassPlugin([renderer](VRayPlugin* p) { p->frameBegin(renderer); });
}

void QuorvelPlugin::frameEnd(VRayRenderer* renderer)
{
    phaseTerminate();
    forEachGlassPlugin([renderer](VRayPlugin* p) { p->frameEnd(renderer); });
}

void QuorvelPlugin::renderEnd(VRayRenderer* renderer)
{
    forEachGlassPlugin([renderer](VRayPlugin* p) { p->renderEnd(renderer); });
    settings_.glassMaterials.clear();
    settings_.glassBrdfs.clear();
    settings_.assetTransfer = nullptr;
    settings_.outputCaptured = false;
}

} // namespace QuorvelPlugin
