#pragma once

// quorvel_host: a small renderer with V-Ray's plug-in interfaces, on Embree.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "SceneFile.h"
#include "VRayContext.h"
#include "VRayInterfaces.h"

namespace QuorvelHost {

class Scene;

// A plug-in instance of one of the host's own types.
class HostPlugin : public VUtils::VRayPlugin {
public:
    HostPlugin(std::string type, std::string name, const VUtils::VRayParameterListDesc& desc);
    ~HostPlugin() override;

    int setParameter(VUtils::VRayPluginParameter* param) override;
    VUtils::VRayPluginParameter* getParameter(const char* name) override;
    VUtils::PluginInterface* newInterface(VUtils::InterfaceID id) override;

    const std::string& type() const { return type_; }
    const std::string& name() const { return name_; }
    VUtils::VRayParameterList& params() { return *params_; }

    // Typed reads at a scene time.
    int getInt(const char* n, double t = 0.0) { return getParameter(n)->getInt(t); }
    float getFloat(const char* n, double t = 0.0) { return getParameter(n)->getFloat(t); }
    bool getBool(const char* n, double t = 0.0) { return getParameter(n)->getBool(t); }
    VUtils::Vector getVector(const char* n, double t = 0.0) { return getParameter(n)->getVector(t); }
    std::string getString(const char* n, double t = 0.0) { return getParameter(n)->getString(t); }
    VUtils::AColor getColor(const char* n, double t = 0.0) { return getParameter(n)->getColor(t); }
    VUtils::Transform getTransform(const char* n, double t = 0.0) { return getParameter(n)->getTransform(t); }
    VUtils::PluginBase* getPlugin(const char* n) { return getParameter(n)->getPlugin(0.0); }
    const std::map<std::string, std::string>& tags();

private:
    class Tags;
    class Shading;
    std::string type_, name_;
    VUtils::VRayParameterList* params_;
    std::unique_ptr<Tags> tagsInterface_;
    std::unique_ptr<Shading> shadingInterface_;
    std::map<std::string, std::string> tagCache_;
};

struct RenderStats {
    std::atomic<uint64_t> rays{0};          // rays traced through the scene
    std::atomic<uint64_t> shaderCalls{0};   // hits handed to installed shaders
    // Render-thread time: the host's own work (of which traceNs in Embree)
    // and the plug-ins' camera, shader, sampler and region calls with the
    // core calls they make, host services they call back excluded.
    std::atomic<uint64_t> traceNs{0};
    std::atomic<uint64_t> hostNs{0};
    std::atomic<uint64_t> pluginNs{0};

    void reset();
};

struct HostOptions {
    std::vector<std::string> pluginLibraries; // libraries to load besides the search path
    int threads = -1;                         // overrides the scene when >= 0
    bool quiet = false;
    // Parameter values that replace the scene file's: "INSTANCE.PARAM=JSON".
    std::vector<std::string> overrides;
    // Distributed rendering: a client starts `renderServers` copies of
    // `serverExecutable`, each rendering every (servers + 1)-th bucket and
    // sending its regions back as region buffers through a pipe.
    int renderServers = 0;
    std::string serverExecutable;
    // Set in a render server: its share of the buckets and the pipe.
    int serverIndex = 0;
    int serverCount = 1;
    int regionFd = -1;
    // Triangles a scene may build, counting each Geom's mesh and each Node's
    // copy of it; a scene that needs more is refused.
    uint64_t maxTriangles = uint64_t(1) << 24;
};

class Host : public VUtils::PluginHost, public VUtils::VRayRenderer {
public:
    explicit Host(HostOptions options = {});
    ~Host() override;

    // Loads a plug-in library through its getLibDesc export; false with a
    // message on failure.
    bool loadPluginLibrary(const std::string& path, std::string& error);
    // Registers an already-loaded library's descriptor.
    bool registerLibrary(VUtils::PluginLibDesc* lib, std::string& error);
    // Reads and sets up a scene; throws SceneError.
    void loadScene(const std::string& path);
    // Renders the frame range; false when the render failed or was aborted.
    bool render();

    // The last frame's image (RGBA, linear), its size, and statistics.
    const std::vector<float>& image() const;
    int imageWidth() const;
    int imageHeight() const;
    const RenderStats& stats() const { return stats_; }
    Scene& scene() { return *scene_; }
    // Traces primary rays of the current frame only (benchmarks).
    uint64_t tracePrimaryRays(int threads);

    // PluginHost.
    int registerPluginDesc(VUtils::PluginDesc* desc) override;
    void unregisterPluginDesc(VUtils::PluginDesc* desc) override;
    void registerParameterList(VUtils::PluginDesc* desc, VUtils::VRayParameterListDesc* params) override;

    // VRayRenderer.
    VUtils::PluginInterface* newInterface(VUtils::InterfaceID id) override;
    VUtils::RendererLog* getLog() override;
    VUtils::AssetTransferCallback* getAssetTransferCallback() override;
    bool isServer() const override { return options_.regionFd >= 0; }
    const HostOptions& options() const { return options_; }

    // Distributed rendering: a server sends a finished region; the client
    // receives the regions of one server for the current sub-frame.
    bool sendRegion(VUtils::OutputRegion& region);
    int serverFd(int server) const { return servers_[static_cast<size_t>(server)].fd; }
    VUtils::RendererLog& log();

    bool aborted() const { return aborted_.load(); }
    void abortRender() { aborted_.store(true); }

private:
    struct Type {
        std::string name;
        VUtils::PluginDesc* desc = nullptr; // null for the host's own types
        const VUtils::VRayParameterListDesc* params = nullptr;
    };
    struct Instance {
        std::string type, name;
        VUtils::PluginDesc* desc = nullptr;
        VUtils::Plugin* plugin = nullptr;
        HostPlugin* own = nullptr;
    };
    class Log;
    class PluginRenderer;
    class Assets;
    struct Server {
        int pid = -1;
        int fd = -1;
    };
    bool startServers(int threads);
    bool stopServers();

    VUtils::PluginBase* findInstance(const std::string& name);
    HostPlugin* newHostPlugin(const std::string& type, const std::string& name);

    HostOptions options_;
    std::vector<void*> libraries_;
    std::vector<VUtils::PluginLibDesc*> libDescs_;
    std::map<std::string, Type> types_;
    std::vector<Instance> instances_;
    std::vector<std::unique_ptr<HostPlugin>> created_; // through the plug-in manager
    std::unique_ptr<Scene> scene_;
    std::unique_ptr<Log> log_;
    std::unique_ptr<PluginRenderer> pluginRenderer_;
    std::unique_ptr<Assets> assets_;
    std::string scenePath_;
    std::vector<Server> servers_;
    RenderStats stats_;
    std::atomic<bool> aborted_{false};
    friend class Scene;
};

// The host's own plug-in types and their parameters.
const std::map<std::string, VUtils::VRayParameterListDesc>& hostPluginTypes();

// Writes 8-bit sRGB RGBA; false on failure.
bool writePng(const std::string& path, const std::vector<float>& rgba, int width, int height);

} // namespace QuorvelHost
