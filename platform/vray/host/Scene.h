#pragma once

// The render scene of quorvel_host: geometry on Embree, materials, lights,
// render channels, and the frame loop that drives the installed plug-ins.

#include <embree3/rtcore.h>

#include <array>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "Host.h"

namespace QuorvelHost {

struct Texture;

struct Material {
    HostPlugin* material = nullptr; // what hits report as their material
    HostPlugin* brdf = nullptr;
    VUtils::Color diffuse{0.5f, 0.5f, 0.5f}, reflect, refract, opacity{1, 1, 1}, selfIllumination;
    float glossiness = 1.0f, ior = 1.6f;
    bool fresnel = false, reflectOnBack = false;
    // A mesh file's maps, owned by the scene: the diffuse map multiplies the
    // diffuse colour (and its alpha the opacity when `diffuseAlpha`), the
    // emission map the self-illumination, the opacity map's red the opacity.
    const Texture* diffuseMap = nullptr;
    const Texture* emissionMap = nullptr;
    const Texture* opacityMap = nullptr;
    bool diffuseAlpha = false;

    bool hasMaps() const { return diffuseMap || emissionMap || opacityMap; }
};

struct Mesh {
    std::vector<VUtils::Vector> P, N;
    std::vector<uint32_t> indices; // three per triangle
    std::vector<float> uv;         // two per vertex, or none
    // A mesh file's own materials and the one of each triangle; used when
    // the node names no material.
    std::vector<const Material*> materials;
    std::vector<uint32_t> triangleMaterial;

    const Material* materialOf(uint32_t triangle) const
    {
        if (materials.empty())
            return nullptr;
        const uint32_t k = triangle < triangleMaterial.size() ? triangleMaterial[triangle] : 0;
        return materials[k < materials.size() ? k : 0];
    }
};

struct Light : VUtils::PluginBase, VUtils::PluginInterface {
    enum Kind { Point, Directional, Rectangle } kind = Point;
    HostPlugin* plugin = nullptr;
    VUtils::Color color{1, 1, 1};
    float intensity = 1.0f;
    VUtils::Vector position, direction{0, 0, -1};
    VUtils::Transform transform; // rectangle: centre and axes in V-Ray space
    VUtils::Vector normal;       // rectangle: unit normal of the axes
    float uSize = 1.0f, vSize = 1.0f;
    int subdivs = 4;
    bool invisible = false, shadows = true;

    VUtils::PluginInterface* newInterface(VUtils::InterfaceID id) override
    {
        return id == VUtils::EXT_LIGHT ? this : nullptr;
    }
};

struct Node;

struct Channel : VUtils::RenderChannel {
    std::string name;
    uint32_t alias = 0;
    int dataType = VUtils::RC_TYPE_RGB;
    enum Source { Diffuse, ZDepth, Velocity } source = Diffuse;

    uint32_t getAlias() const override { return alias; }
    int getDataType() const override { return dataType; }
    const char* getName() const override { return name.c_str(); }
};

class HostRayContext;
class MeshFiles;

class Scene : public VUtils::VRaySequenceData, public VUtils::RenderChannelsInterface {
public:
    Scene(Host& host, SceneFile file, std::vector<HostPlugin*> instances);
    ~Scene() override;

    // VRaySequenceData.
    VUtils::PluginInterface* getInterface(VUtils::InterfaceID id) override;
    VUtils::Color mapColor(const VUtils::Color& c) const override { return c * colorMultiplier_; }
    // RenderChannelsInterface.
    int getNumChannels() const override { return static_cast<int>(channels_.size()); }
    VUtils::RenderChannel* getChannel(int index) const override;

    int frameStart() const { return frameStart_; }
    int frameEnd() const { return frameEnd_; }
    // Places the geometry, lights and camera at a frame.
    void setFrame(int frame);
    VUtils::VRayFrameData& frameData() { return fdata_; }
    std::vector<VUtils::VRayPlugin*>& settingsPlugins() { return settingsPlugins_; }

    // Samples every pixel of the image through the installed camera,
    // shaders and region callback; false when aborted.
    bool renderImage(int threads);
    // The regions a render server rendered for this sub-frame.
    void receiveRegions(int server, std::vector<std::array<int, 4>> expected);
    // The frame's PNG when the output settings still name one.
    bool writeOutput(std::string& written);

    const std::vector<float>& image() const { return image_; }

    // Ray services.
    bool intersect(HostRayContext& rc, const VUtils::Vector& origin, const VUtils::Vector& dir, float tmin,
                   float tmax);
    void shade(HostRayContext& rc);
    void defaultShade(HostRayContext& rc, const Material* override = nullptr);
    // Shading with another material than the hit's (a MtlSingleBRDF or BRDFVRayMtl).
    void shadeWithMaterial(HostRayContext& rc, VUtils::PluginBase* material);
    VUtils::Color traceColor(HostRayContext& parent, uint64_t rayType, const VUtils::Vector& origin,
                             const VUtils::Vector& dir, VUtils::Color* alphaOut = nullptr);
    VUtils::Color background() const { return background_.color; }

    // The pinhole camera of the scene's render view.
    int pinholeRay(double x, double y, VUtils::ScreenRay& ray) const;
    uint64_t traceRaysOnly(int threads);
    RTCScene rtcScene() const { return rtc_; }
    int width() const { return width_; }
    int height() const { return height_; }

    Host& host() { return host_; }
    RenderStats& stats() { return host_.stats_; }

private:
    void build(std::vector<HostPlugin*> instances);
    std::shared_ptr<Mesh> loadMesh(HostPlugin& geom, const SceneInstance& where);
    std::shared_ptr<Mesh> loadMeshFile(HostPlugin& geom, const SceneInstance& where);
    void countTriangles(const Mesh& mesh, const SceneInstance& where, const char* key, const std::string& name);
    const SceneInstance& instanceOf(const HostPlugin& p) const;
    Material* materialOf(VUtils::PluginBase* p);
    VUtils::Color directLight(HostRayContext& rc, const Material& m, const VUtils::Vector& n,
                              const VUtils::Vector& view, float exponent);
    bool occluded(const VUtils::Vector& from, const VUtils::Vector& to);
    // The hit's texture coordinates and the width of its ray footprint in
    // texture space, from the ray differentials; false without coordinates.
    bool hitUv(const HostRayContext& rc, float uv[2], float& footprint) const;
    // The material with its maps looked up at the hit.
    Material mapped(const HostRayContext& rc, const Material& m) const;
    VUtils::Color mappedDiffuse(const HostRayContext& rc, const Material& m) const;

    Host& host_;
    SceneFile file_;
    RTCDevice device_ = nullptr;
    RTCScene rtc_ = nullptr;

    std::vector<std::unique_ptr<Node>> nodes_;
    std::vector<Node*> nodeOfGeometry_; // by Embree geometry ID, this frame
    std::vector<std::unique_ptr<Material>> materials_;
    std::unique_ptr<MeshFiles> meshFiles_; // imported files, their materials and textures
    std::set<const HostPlugin*> bareGeoms_;  // Geoms that some node shows without a material
    bool tagGlass_ = true;                   // transmissive file materials carry the glass tag
    bool geomUsesFileMaterials(const HostPlugin& geom) const { return bareGeoms_.count(&geom) != 0; }
    std::vector<std::unique_ptr<Light>> lights_;
    std::vector<std::unique_ptr<Channel>> channels_;
    std::vector<VUtils::VRayPlugin*> settingsPlugins_;

    // Settings.
    VUtils::ImageSamplerParams imageSamplerParams_;
    VUtils::ProgressiveSamplerParams progressiveParams_;
    VUtils::GIParams giParams_;
    VUtils::RegionGeneratorParams regionParams_;
    VUtils::SceneUpVectorSettings upVector_;
    VUtils::OutputSettings output_;
    VUtils::SequenceSettings2 settings2_;
    std::unique_ptr<VUtils::ImageFilter> filterObject_;
    std::unique_ptr<VUtils::VRayCamera> pinhole_;
    std::unique_ptr<VUtils::RegionDoneCallback> frameBuffer_;
    std::unique_ptr<VUtils::PathSampler> pathSampler0_;
    HostPlugin* renderView_ = nullptr;
    float fovDegrees_ = 60.0f;
    float tanHalfFov_ = 0.57735026f;
    float colorMultiplier_ = 1.0f;
    VUtils::AColor background_{0, 0, 0, 0};
    int frameStart_ = 0, frameEnd_ = 0;
    int width_ = 0, height_ = 0;
    uint64_t triangles_ = 0; // geometry and node copies built so far
    double time_ = 0.0;
    VUtils::VRayFrameData fdata_;

    std::mutex imageMutex_;
    std::mutex materialsMutex_; // materials made at render time
    std::vector<float> image_;
    friend class FrameBuffer;
};

// A hit and its ray in the host.
class HostRayContext : public VUtils::VRayContext {
public:
    HostRayContext(Scene& scene) : scene_(scene) {}

    void defShade() override;
    void shadeWithMaterial(VUtils::PluginBase* material) { scene_.shadeWithMaterial(*this, material); }
    VUtils::VRayContext* newSpawnContext() override;
    void releaseContext(VUtils::VRayContext* child) override;
    bool traceRay(const VUtils::Vector& origin, const VUtils::Vector& dir, float mint, float maxt) override;
    bool findNextIntersection(const VUtils::Vector& origin, const VUtils::Vector& dir, float mint,
                              float maxt) override;

    Node* node = nullptr;
    Light* light = nullptr;
    uint32_t prim = 0;
    float u = 0.0f, v = 0.0f;
    uint64_t seed = 0;

private:
    Scene& scene_;
};

} // namespace QuorvelHost
