#include "Host.h"

#include <dlfcn.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <thread>

#include <lodepng.h>

#include "Scene.h"

namespace QuorvelHost {

using namespace VUtils;

void RenderStats::reset()
{
    rays = 0;
    shaderCalls = 0;
    traceNs = 0;
    pluginNs = 0;
}

class Host::Log : public RendererLog {
public:
    explicit Log(Host& host) : host_(host) {}
    void error(const char* text) override { print(stderr, "error: ", text); }
    void warning(const char* text) override { print(stderr, "warning: ", text); }
    void info(const char* text) override
    {
        if (!host_.options_.quiet)
            print(stdout, "", text);
    }
    void debug(const char*) override {}
    void abortRender(int) override { host_.abortRender(); }

private:
    static void print(FILE* out, const char* prefix, const char* text)
    {
        std::string s = text ? text : "";
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
            s.pop_back();
        // The progress bar arrives in pieces (" |", dashes, "| Done") that
        // belong on one line.
        const bool progressPiece = s == " |" || (!s.empty() && s.find_first_not_of('-') == std::string::npos);
        std::fprintf(out, "%s%s%s", progressPiece ? "" : prefix, s.c_str(), progressPiece ? "" : "\n");
        std::fflush(out);
    }
    Host& host_;
};

// Creates the host's own plug-ins on request (the settings plug-in's glass).
class Host::PluginRenderer : public PluginRendererInterface, public PluginManager {
public:
    explicit PluginRenderer(Host& host) : host_(host) {}
    PluginManager* getPluginManager() override { return this; }
    VRayPlugin* newPlugin(const char* className, const char* instanceName) override
    {
        if (!className || !hostPluginTypes().count(className))
            return nullptr;
        return host_.newHostPlugin(className, instanceName ? instanceName : className);
    }

private:
    Host& host_;
};

Host::Host(HostOptions options)
    : options_(std::move(options)), log_(std::make_unique<Log>(*this)),
      pluginRenderer_(std::make_unique<PluginRenderer>(*this))
{
    for (const auto& [name, params] : hostPluginTypes())
        types_[name] = Type{name, nullptr, &params};
}

Host::~Host()
{
    scene_.reset();
    for (Instance& i : instances_)
        if (i.desc && i.plugin)
            i.desc->deletePlugin(i.plugin);
    for (Instance& i : instances_)
        delete i.own;
    created_.clear();
    for (PluginLibDesc* lib : libDescs_)
        lib->unregisterPlugins(this);
    for (void* handle : libraries_)
        dlclose(handle);
}

HostPlugin* Host::newHostPlugin(const std::string& type, const std::string& name)
{
    created_.push_back(std::make_unique<HostPlugin>(type, name, hostPluginTypes().at(type)));
    return created_.back().get();
}

bool Host::loadPluginLibrary(const std::string& path, std::string& error)
{
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = dlerror();
        error = "cannot load the plug-in library \"" + path + "\": " + (why ? why : "unknown error");
        return false;
    }
    auto entry = reinterpret_cast<GetLibDescFunc>(dlsym(handle, GET_LIB_DESC_SYMBOL));
    if (!entry) {
        dlclose(handle);
        error = "\"" + path + "\" is not a plug-in library: no getLibDesc export";
        return false;
    }
    libraries_.push_back(handle);
    return registerLibrary(entry(), error);
}

bool Host::registerLibrary(PluginLibDesc* lib, std::string& error)
{
    if (!lib || lib->registerPlugins(this) != 1) {
        error = "a plug-in library failed to register its plug-ins";
        return false;
    }
    libDescs_.push_back(lib);
    return true;
}

int Host::registerPluginDesc(PluginDesc* desc)
{
    if (!desc || !desc->getName())
        return 0;
    Type& t = types_[desc->getName()];
    t.name = desc->getName();
    t.desc = desc;
    return 1;
}

void Host::unregisterPluginDesc(PluginDesc* desc)
{
    for (auto it = types_.begin(); it != types_.end();)
        it = it->second.desc == desc ? types_.erase(it) : std::next(it);
}

void Host::registerParameterList(PluginDesc* desc, VRayParameterListDesc* params)
{
    for (auto& [name, t] : types_)
        if (t.desc == desc)
            t.params = params;
}

PluginInterface* Host::newInterface(InterfaceID id)
{
    return id == EXT_PLUGIN_RENDERER ? pluginRenderer_.get() : nullptr;
}

RendererLog* Host::getLog()
{
    return log_.get();
}

PluginBase* Host::findInstance(const std::string& name)
{
    for (Instance& i : instances_)
        if (i.name == name)
            return i.own ? static_cast<PluginBase*>(i.own) : i.plugin;
    return nullptr;
}

void Host::loadScene(const std::string& path)
{
    SceneFile file = readSceneFile(path);

    for (const SceneInstance& si : file.instances) {
        const auto it = types_.find(si.type);
        if (it == types_.end() || !it->second.params)
            throw SceneError(file.path + ":" + std::to_string(si.line) + ": unknown plug-in type \"" + si.type +
                             "\" (instance \"" + si.name + "\")");
        Instance inst{si.type, si.name, it->second.desc, nullptr, nullptr};
        if (inst.desc) {
            inst.plugin = inst.desc->newPlugin(this);
            if (!inst.plugin)
                throw SceneError(file.path + ":" + std::to_string(si.line) + ": the plug-in \"" + si.type +
                                 "\" could not create the instance \"" + si.name + "\"");
        } else {
            inst.own = new HostPlugin(si.type, si.name, *it->second.params);
        }
        instances_.push_back(inst);
    }

    auto resolve = [](const std::string& name, void* self) { return static_cast<Host*>(self)->findInstance(name); };
    for (size_t k = 0; k < instances_.size(); ++k) {
        const SceneInstance& si = file.instances[k];
        Instance& inst = instances_[k];
        const VRayParameterListDesc& params = *types_.at(si.type).params;
        VRayPluginInterface* target = inst.own ? inst.own
                                               : static_cast<VRayPluginInterface*>(inst.plugin->newInterface(EXT_VRAY_PLUGIN));
        for (const std::string& key : si.params.getMemberNames()) {
            const ParamDesc* desc = params.find(key);
            if (!desc)
                file.fail(si.params[key], si.type + " \"" + si.name + "\": unknown parameter \"" + key + "\"");
            VRayPluginParameter value = convertParameter(file, si, key, si.params[key], *desc, resolve, this);
            if (!target || target->setParameter(&value) != 1)
                file.fail(si.params[key], si.type + " \"" + si.name + "\": the parameter \"" + key + "\" was refused");
        }
    }

    std::vector<HostPlugin*> own;
    for (Instance& i : instances_)
        if (i.own)
            own.push_back(i.own);
    scene_ = std::make_unique<Scene>(*this, std::move(file), own);
    for (Instance& i : instances_)
        if (i.desc && i.desc->supportsInterface(EXT_RENDER_SETTINGS))
            scene_->settingsPlugins().push_back(static_cast<VRayPlugin*>(static_cast<VRayPluginInterface*>(
                i.plugin->newInterface(EXT_VRAY_PLUGIN))));
}

bool Host::render()
{
    if (!scene_)
        return false;
    aborted_ = false;
    Scene& s = *scene_;

    std::vector<RenderSettingsInterface*> settings;
    std::vector<VRayPluginInterface*> plugins;
    for (Instance& i : instances_) {
        PluginBase* base = i.own ? static_cast<PluginBase*>(i.own) : i.plugin;
        if (auto* rs = static_cast<RenderSettingsInterface*>(base->newInterface(EXT_RENDER_SETTINGS)))
            settings.push_back(rs);
        if (auto* vp = static_cast<VRayPluginInterface*>(base->newInterface(EXT_VRAY_PLUGIN)))
            plugins.push_back(vp);
    }

    for (RenderSettingsInterface* rs : settings)
        rs->setupSequence(s);
    for (VRayPluginInterface* p : plugins)
        p->renderBegin(this);

    int threads = options_.threads >= 0 ? options_.threads : s.numThreads;
    if (threads <= 0)
        threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    s.numThreads = threads;

    for (int frame = s.frameStart(); frame <= s.frameEnd() && !aborted(); ++frame) {
        s.setFrame(frame);
        VRayFrameData& fdata = s.frameData();
        for (RenderSettingsInterface* rs : settings)
            rs->setupFrame(fdata);
        for (VRayPluginInterface* p : plugins)
            p->frameBegin(this);
        s.camera->frameBegin(fdata);

        stats_.reset();
        const auto start = std::chrono::steady_clock::now();
        s.regionDoneCallback->imagePass();
        if (auto* sub = static_cast<VRayCameraSubFrames*>(s.camera->newInterface(EXT_CAMERA_SUBFRAMES))) {
            const int count = sub->getNumSubFrames();
            for (int i = 0; i < count && !aborted(); ++i) {
                sub->beginSubFrame(i);
                s.renderImage(threads);
                sub->endSubFrame(i);
            }
        } else {
            s.renderImage(threads);
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

        s.camera->frameEnd(fdata);
        for (VRayPluginInterface* p : plugins)
            p->frameEnd(this);

        std::string written;
        if (!aborted() && !s.writeOutput(written))
            log_->error(("cannot write the image \"" + written + "\"").c_str());
        const double trace = static_cast<double>(stats_.traceNs) * 1e-9;
        const double plugin = static_cast<double>(stats_.pluginNs) * 1e-9;
        const double busy = seconds * threads;
        char summary[512];
        std::snprintf(summary, sizeof summary,
                      "frame %d: %llu rays traced, %llu hits to plug-in shaders, %.3f s on %d threads "
                      "(thread time: ray tracing %.3f s, shading %.3f s, plug-in calls %.3f s)%s%s",
                      frame, static_cast<unsigned long long>(stats_.rays.load()),
                      static_cast<unsigned long long>(stats_.shaderCalls.load()), seconds, threads, trace,
                      std::max(0.0, busy - trace - plugin), plugin, written.empty() ? "" : ", wrote ",
                      written.c_str());
        log_->info(summary);
    }

    for (VRayPluginInterface* p : plugins)
        p->renderEnd(this);
    return !aborted();
}

uint64_t Host::tracePrimaryRays(int threads)
{
    return scene_ ? scene_->traceRaysOnly(std::max(1, threads)) : 0;
}

const std::vector<float>& Host::image() const
{
    return scene_->image();
}

int Host::imageWidth() const
{
    return scene_->width();
}

int Host::imageHeight() const
{
    return scene_->height();
}

bool writePng(const std::string& path, const std::vector<float>& rgba, int width, int height)
{
    if (width <= 0 || height <= 0 || rgba.size() != static_cast<size_t>(width) * static_cast<size_t>(height) * 4)
        return false;
    auto encode = [](float linear) {
        const float c = std::clamp(linear, 0.0f, 1.0f);
        const float s = c <= 0.0031308f ? c * 12.92f : 1.055f * std::pow(c, 1.0f / 2.4f) - 0.055f;
        return static_cast<unsigned char>(std::lround(s * 255.0f));
    };
    std::vector<unsigned char> bytes(rgba.size());
    for (size_t i = 0; i < rgba.size(); i += 4) {
        for (size_t k = 0; k < 3; ++k)
            bytes[i + k] = encode(rgba[i + k]);
        bytes[i + 3] = static_cast<unsigned char>(std::lround(std::clamp(rgba[i + 3], 0.0f, 1.0f) * 255.0f));
    }
    std::error_code ec;
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (!parent.empty())
        std::filesystem::create_directories(parent, ec);
    // Always 8-bit RGBA, whatever the picture holds, so readers see one layout.
    lodepng::State state;
    state.encoder.auto_convert = 0;
    state.info_raw.colortype = LCT_RGBA;
    state.info_raw.bitdepth = 8;
    state.info_png.color.colortype = LCT_RGBA;
    state.info_png.color.bitdepth = 8;
    std::vector<unsigned char> png;
    if (lodepng::encode(png, bytes, static_cast<unsigned>(width), static_cast<unsigned>(height), state) != 0)
        return false;
    return lodepng::save_file(png, path) == 0;
}

} // namespace QuorvelHost
