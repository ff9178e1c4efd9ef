#include "Host.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <filesystem>
#include <thread>

#include <lodepng.h>

#include "Scene.h"
#include "SceneImport.h"
#include "foundation/FileReplace.h"

namespace QuorvelHost {

using namespace VUtils;

void RenderStats::reset()
{
    rays = 0;
    shaderCalls = 0;
    traceNs = 0;
    hostNs = 0;
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

// A render server fetches the client's files by name; client and servers of
// this host share a file system, so a copy from the scene's directory (or the
// working directory) into a cache stands in for the network transfer.
class Host::Assets : public AssetTransferCallback {
public:
    explicit Assets(Host& host) : host_(host) {}
    int transferAsset(const char* fileName, std::string& localPath) override
    {
        namespace fs = std::filesystem;
        if (!fileName || !*fileName || fs::path(fileName).has_parent_path())
            return 0;
        std::error_code ec;
        const fs::path cache = fs::temp_directory_path(ec) / ("quorvel_host_assets." + std::to_string(getpid()));
        for (const fs::path& dir : {fs::path(host_.scenePath_).parent_path(), fs::current_path(ec)}) {
            const fs::path source = dir / fileName;
            if (!fs::is_regular_file(source, ec))
                continue;
            fs::create_directories(cache, ec);
            fs::copy_file(source, cache / fileName, fs::copy_options::overwrite_existing, ec);
            if (ec)
                return 0;
            localPath = (cache / fileName).string();
            return 1;
        }
        return 0;
    }

private:
    Host& host_;
};

namespace {

bool writeFull(int fd, const void* data, size_t size)
{
    const auto* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace

Host::Host(HostOptions options)
    : options_(std::move(options)), log_(std::make_unique<Log>(*this)),
      pluginRenderer_(std::make_unique<PluginRenderer>(*this)), assets_(std::make_unique<Assets>(*this))
{
    for (const auto& [name, params] : hostPluginTypes())
        types_[name] = Type{name, nullptr, &params};
}

Host::~Host()
{
    stopServers();
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

RendererLog& Host::log()
{
    return *log_;
}

AssetTransferCallback* Host::getAssetTransferCallback()
{
    return isServer() ? assets_.get() : nullptr;
}

// Region packet: "QVRB", left, top, right, bottom (int32), size (int64), bytes.
bool Host::sendRegion(OutputRegion& region)
{
    const int64_t size = region.getBuffer(nullptr, 0);
    if (size <= 0)
        return false;
    std::vector<uint8_t> packet(4 + 16 + 8 + static_cast<size_t>(size));
    std::memcpy(packet.data(), "QVRB", 4);
    int rect[4];
    region.getRect(rect);
    for (int i = 0; i < 4; ++i)
        for (int b = 0; b < 4; ++b)
            packet[4 + 4 * i + b] = static_cast<uint8_t>(static_cast<uint32_t>(rect[i]) >> (8 * b));
    for (int b = 0; b < 8; ++b)
        packet[20 + b] = static_cast<uint8_t>(static_cast<uint64_t>(size) >> (8 * b));
    if (region.getBuffer(packet.data() + 28, size) != 1)
        return false;
    static std::mutex pipeMutex;
    std::lock_guard lock(pipeMutex);
    return writeFull(options_.regionFd, packet.data(), packet.size());
}

bool Host::startServers(int threads)
{
    const int count = options_.renderServers;
    if (count <= 0 || isServer())
        return true;
    if (options_.serverExecutable.empty()) {
        log_->error("render servers: no server executable");
        return false;
    }
    for (int i = 1; i <= count; ++i) {
        int fds[2];
        if (::pipe(fds) != 0) {
            log_->error("render servers: cannot create a pipe");
            return false;
        }
        std::vector<std::string> args = {options_.serverExecutable, "--serve-regions",
                                         std::to_string(i) + "/" + std::to_string(count + 1), "--region-fd",
                                         std::to_string(fds[1]), "--threads", std::to_string(threads), "--quiet"};
        for (const std::string& lib : options_.pluginLibraries) {
            args.push_back("--plugin");
            args.push_back(lib);
        }
        for (const std::string& o : options_.overrides) {
            args.push_back("--set");
            args.push_back(o);
        }
        args.push_back(scenePath_);
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(fds[0]);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        if (pid < 0) {
            ::close(fds[0]);
            log_->error("render servers: cannot start a server process");
            return false;
        }
        ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
        servers_.push_back({pid, fds[0]});
    }
    return true;
}

bool Host::stopServers()
{
    bool ok = true;
    for (Server& s : servers_) {
        if (s.fd >= 0)
            ::close(s.fd);
        int status = 0;
        if (s.pid > 0 && (::waitpid(s.pid, &status, 0) != s.pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0))
            ok = false;
    }
    servers_.clear();
    return ok;
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

namespace {

void relocate(Json::Value& value, ptrdiff_t offset)
{
    value.setOffsetStart(offset);
    value.setOffsetLimit(offset);
    if (value.isArray() || value.isObject())
        for (Json::Value& child : value)
            relocate(child, offset);
}

// "INSTANCE.PARAM=JSON" or "TYPE.PARAM=JSON": one parameter of the scene
// file replaced.
void applyOverride(SceneFile& file, const std::string& text)
{
    const size_t dot = text.find('.'), eq = text.find('=');
    if (dot == std::string::npos || eq == std::string::npos || dot == 0 || eq < dot + 2)
        throw SceneError("--set " + text + ": expected INSTANCE.PARAMETER=VALUE");
    const std::string name = text.substr(0, dot), key = text.substr(dot + 1, eq - dot - 1);
    Json::Value value;
    Json::CharReaderBuilder builder;
    std::string errors;
    const std::string json = text.substr(eq + 1);
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    if (!reader->parse(json.data(), json.data() + json.size(), &value, &errors))
        throw SceneError("--set " + text + ": the value is not JSON (strings need quotes)");
    // An instance by its name, else the first instance of a type by the type's name.
    for (const bool byType : {false, true})
        for (SceneInstance& si : file.instances)
            if ((byType ? si.type : si.name) == name) {
                // Offsets into the --set text would point at unrelated lines
                // of the scene file: errors name the instance's line instead.
                relocate(value, si.params.getOffsetStart());
                si.params[key] = value;
                return;
            }
    throw SceneError("--set " + text + ": the scene has no instance or plug-in type \"" + name + "\"");
}

} // namespace

void Host::loadScene(const std::string& path)
{
    SceneFile file = isModelFile(path) ? importScene(path, types_.count("SettingsQuorvel") != 0) : readSceneFile(path);
    scenePath_ = path;
    for (const std::string& o : options_.overrides)
        applyOverride(file, o);

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
    if (!startServers(threads)) {
        stopServers();
        abortRender();
    }

    // A picture that could not be written fails the render; the other frames
    // are still rendered.
    bool outputFailed = false;
    // 64 bits: a range ending at the largest int must not wrap.
    for (int64_t frame64 = s.frameStart(); frame64 <= s.frameEnd() && !aborted(); ++frame64) {
        const int frame = static_cast<int>(frame64);
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
                // A sub-frame that could not begin, or an error while it
                // began, renders nothing.
                if (sub->beginSubFrame(i) != 0 && !aborted())
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
        if (!aborted() && !isServer() && !s.writeOutput(written)) {
            log_->error(("cannot write the image \"" + written + "\"").c_str());
            written.clear();
            outputFailed = true;
        }
        const double trace = static_cast<double>(stats_.traceNs) * 1e-9;
        const double host = static_cast<double>(stats_.hostNs) * 1e-9;
        const double plugin = static_cast<double>(stats_.pluginNs) * 1e-9;
        const double busy = std::max(host + plugin, 1e-9);
        const double shading = std::max(0.0, host - trace);
        const auto rays = static_cast<unsigned long long>(stats_.rays.load());
        char summary[640];
        std::snprintf(summary, sizeof summary,
                      "frame %d: %llu rays traced (%.0f per second), %llu hits to plug-in shaders, %.3f s on %d "
                      "threads; thread time: ray tracing %.3f s (%.0f%%), shading %.3f s (%.0f%%), plug-in and core "
                      "calls %.3f s (%.0f%%)%s%s",
                      frame, rays, static_cast<double>(rays) / std::max(seconds, 1e-9),
                      static_cast<unsigned long long>(stats_.shaderCalls.load()), seconds, threads, trace,
                      100.0 * trace / busy, shading, 100.0 * shading / busy, plugin, 100.0 * plugin / busy,
                      written.empty() ? "" : ", wrote ", written.c_str());
        log_->info(summary);
    }

    for (VRayPluginInterface* p : plugins)
        p->renderEnd(this);
    if (!stopServers()) {
        log_->error("a render server failed");
        abortRender();
    }
    return !aborted() && !outputFailed;
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
    return Quorvel::Utils::ReplaceFileContents(path, png.data(), png.size());
}

} // namespace QuorvelHost
