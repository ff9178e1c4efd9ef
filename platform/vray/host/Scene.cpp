#include "Scene.h"

#include <assimp/cimport.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>

#include "FileNames.h"
#include "foundation/Logger.h"

namespace QuorvelHost {

using namespace VUtils;
namespace QL = Quorvel::Logger;

namespace {

uint64_t nowNs()
{
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

// 3x3 inverse transpose of a transform's axes, for normals.
Transform normalTransform(const Transform& t)
{
    const Vector& a = t.m[0];
    const Vector& b = t.m[1];
    const Vector& c = t.m[2];
    const Vector r0 = crossf(b, c), r1 = crossf(c, a), r2 = crossf(a, b);
    const float det = dotf(a, r0);
    Transform n;
    const float k = det != 0.0f ? 1.0f / det : 0.0f;
    n.m[0] = r0 * k;
    n.m[1] = r1 * k;
    n.m[2] = r2 * k;
    return n;
}

// Reading the clock costs about a fifth of a primary ray, so the time in
// Embree is measured on one call in 16, drawn at random per thread so that
// no pattern of calls is favoured, and counted 16 times.
constexpr uint64_t kTimedOneIn = 16;

bool timedCall()
{
    thread_local uint32_t state = 0x9E3779B9u;
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state % kTimedOneIn == 0;
}

uint64_t mix(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// Render-thread time split between the host's own work and the plug-ins'
// (with the core they call): every crossing of that boundary closes a slice.
struct ThreadClock {
    RenderStats* stats = nullptr;
    bool inPlugin = false;
    uint64_t since = 0;
};
thread_local ThreadClock threadClock;

void closeSlice()
{
    ThreadClock& c = threadClock;
    const uint64_t now = nowNs();
    (c.inPlugin ? c.stats->pluginNs : c.stats->hostNs).fetch_add(now - c.since, std::memory_order_relaxed);
    c.since = now;
}

class Crossing {
public:
    explicit Crossing(bool toPlugin) : previous_(threadClock.inPlugin)
    {
        active_ = threadClock.stats && previous_ != toPlugin;
        if (active_) {
            closeSlice();
            threadClock.inPlugin = toPlugin;
        }
    }
    ~Crossing()
    {
        if (active_) {
            closeSlice();
            threadClock.inPlugin = previous_;
        }
    }
    Crossing(const Crossing&) = delete;
    Crossing& operator=(const Crossing&) = delete;

private:
    bool previous_;
    bool active_ = false;
};

class ClockedThread {
public:
    explicit ClockedThread(RenderStats& stats) { threadClock = {&stats, false, nowNs()}; }
    ~ClockedThread()
    {
        closeSlice();
        threadClock.stats = nullptr;
    }
};

float unitRandom(uint64_t& state)
{
    state = mix(state);
    return static_cast<float>(state >> 40) * (1.0f / 16777216.0f);
}

Vector reflectDir(const Vector& d, const Vector& n) { return d - n * (2.0f * dotf(d, n)); }

Mesh sphereMesh(float radius, int segments)
{
    Mesh m;
    const int rings = std::max(segments / 2, 3), sectors = std::max(segments, 3);
    for (int r = 0; r <= rings; ++r) {
        const float theta = static_cast<float>(M_PI) * static_cast<float>(r) / static_cast<float>(rings);
        for (int s = 0; s <= sectors; ++s) {
            const float phi = 2.0f * static_cast<float>(M_PI) * static_cast<float>(s) / static_cast<float>(sectors);
            const Vector n(std::sin(theta) * std::cos(phi), std::sin(theta) * std::sin(phi), std::cos(theta));
            m.P.push_back(n * radius);
            m.N.push_back(n);
        }
    }
    const uint32_t row = static_cast<uint32_t>(sectors + 1);
    for (uint32_t r = 0; r < static_cast<uint32_t>(rings); ++r)
        for (uint32_t s = 0; s < static_cast<uint32_t>(sectors); ++s) {
            const uint32_t a = r * row + s, b = a + row;
            m.indices.insert(m.indices.end(), {a, b, a + 1, a + 1, b, b + 1});
        }
    return m;
}

void addQuad(Mesh& m, const Vector& c, const Vector& u, const Vector& v)
{
    const Vector n = normalize0(crossf(u, v));
    const uint32_t base = static_cast<uint32_t>(m.P.size());
    for (const Vector& p : {c - u - v, c + u - v, c + u + v, c - u + v}) {
        m.P.push_back(p);
        m.N.push_back(n);
    }
    m.indices.insert(m.indices.end(), {base, base + 1, base + 2, base, base + 2, base + 3});
}

Mesh boxMesh(const Vector& size)
{
    Mesh m;
    const Vector h = size * 0.5f;
    const Vector X(h.x, 0, 0), Y(0, h.y, 0), Z(0, 0, h.z);
    addQuad(m, X, Y, Z);
    addQuad(m, -X, Z, Y);
    addQuad(m, Y, Z, X);
    addQuad(m, -Y, X, Z);
    addQuad(m, Z, X, Y);
    addQuad(m, -Z, Y, X);
    return m;
}

} // namespace

// ---- Nodes --------------------------------------------------------------------

struct Node : PluginBase, VelocityInterface {
    HostPlugin* plugin = nullptr;
    std::shared_ptr<Mesh> mesh;
    Material* material = nullptr;
    bool visible = true;
    // This frame, in V-Ray space.
    std::vector<Vector> P, N, velocity;
    unsigned geomID = RTC_INVALID_GEOMETRY_ID;

    PluginInterface* newInterface(InterfaceID id) override
    {
        return id == EXT_VELOCITY ? static_cast<VelocityInterface*>(this) : nullptr;
    }

    Vector getVelocity(const VRayContext& rc) const override
    {
        const auto& hrc = static_cast<const HostRayContext&>(rc);
        const uint32_t* tri = &mesh->indices[3 * hrc.prim];
        const float w = 1.0f - hrc.u - hrc.v;
        return velocity[tri[0]] * w + velocity[tri[1]] * hrc.u + velocity[tri[2]] * hrc.v;
    }
};

// ---- Host-side defaults: pinhole camera, frame buffer, path sampler ---------

class PinholeCamera : public VRayCamera {
public:
    explicit PinholeCamera(const Scene& scene) : scene_(scene) {}
    int getScreenRay(double x, double y, int, ScreenRay& ray) override { return scene_.pinholeRay(x, y, ray); }

private:
    const Scene& scene_;
};

class HostOutputRegion : public OutputRegion {
public:
    explicit HostOutputRegion(const int rect[4])
    {
        std::copy(rect, rect + 4, rect_);
        pixels_.assign(static_cast<size_t>(width()) * static_cast<size_t>(height()) * 4, 0.0f);
    }
    void getRect(int rect[4]) const override { std::copy(rect_, rect_ + 4, rect); }
    int width() const { return rect_[2] - rect_[0]; }
    int height() const { return rect_[3] - rect_[1]; }

    int64_t getBuffer(uint8_t* buffer, int64_t size) override
    {
        const int64_t need = static_cast<int64_t>(pixels_.size() * sizeof(float));
        if (!buffer)
            return need;
        if (size < need)
            return 0;
        std::memcpy(buffer, pixels_.data(), static_cast<size_t>(need));
        return 1;
    }

    int putBuffer(const uint8_t* buffer, int64_t size) override
    {
        const int64_t need = static_cast<int64_t>(pixels_.size() * sizeof(float));
        if (!buffer || size < need)
            return 0;
        std::memcpy(pixels_.data(), buffer, static_cast<size_t>(need));
        return 1;
    }

    void setPixel(int x, int y, const AColor& c) override
    {
        if (x < rect_[0] || y < rect_[1] || x >= rect_[2] || y >= rect_[3])
            return;
        float* p = &pixels_[(static_cast<size_t>(y - rect_[1]) * static_cast<size_t>(width()) +
                             static_cast<size_t>(x - rect_[0])) * 4];
        p[0] = c.color.r;
        p[1] = c.color.g;
        p[2] = c.color.b;
        p[3] = c.alpha;
    }

    const std::vector<float>& pixels() const { return pixels_; }

private:
    int rect_[4];
    std::vector<float> pixels_;
};

class FrameBuffer : public RegionDoneCallback {
public:
    explicit FrameBuffer(Scene& scene) : scene_(scene) {}
    OutputRegion* newOutputRegion(const int rect[4]) override { return new HostOutputRegion(rect); }
    void releaseOutputRegion(OutputRegion* region) override { delete region; }
    void regionBegin(OutputRegion*, int, int) override {}
    void regionDone(OutputRegion* region) override
    {
        auto* r = static_cast<HostOutputRegion*>(region);
        int rect[4];
        r->getRect(rect);
        std::lock_guard lock(scene_.imageMutex_);
        const size_t w = static_cast<size_t>(scene_.width_);
        for (int y = rect[1]; y < rect[3]; ++y)
            std::memcpy(&scene_.image_[(static_cast<size_t>(y) * w + static_cast<size_t>(rect[0])) * 4],
                        &r->pixels()[static_cast<size_t>(y - rect[1]) * static_cast<size_t>(r->width()) * 4],
                        static_cast<size_t>(r->width()) * 4 * sizeof(float));
    }

private:
    Scene& scene_;
};

class HostPathSampler : public PathSampler {
public:
    void initPixel(PixelSamplingState& state, int x, int y) override
    {
        state.x = x;
        state.y = y;
        state.seed = mix((static_cast<uint64_t>(static_cast<uint32_t>(x)) << 32) | static_cast<uint32_t>(y));
    }
};

class NamedFilter : public ImageFilter {
public:
    explicit NamedFilter(std::string name) : name_(std::move(name)) {}
    const char* getName() const override { return name_.c_str(); }

private:
    std::string name_;
};

// ---- Scene set-up -------------------------------------------------------------

Scene::Scene(Host& host, SceneFile file, std::vector<HostPlugin*> instances) : host_(host), file_(std::move(file))
{
    // "QUORVEL_EMBREE_CONFIG" passes a device configuration to Embree, such
    // as "threads=1" to build acceleration structures on the calling thread.
    device_ = rtcNewDevice(std::getenv("QUORVEL_EMBREE_CONFIG"));
    if (!device_)
        throw SceneError("cannot create the ray-tracing device");
    renderer = &host_;
    progress = host_.getLog();
    imageSampler = &imageSamplerParams_;
    gi = &giParams_;
    regionGenerator = &regionParams_;
    pinhole_ = std::make_unique<PinholeCamera>(*this);
    frameBuffer_ = std::make_unique<FrameBuffer>(*this);
    pathSampler0_ = std::make_unique<HostPathSampler>();
    try {
        build(std::move(instances));
    } catch (...) {
        // No destructor runs for a constructor that throws.
        rtcReleaseDevice(device_);
        throw;
    }
}

Scene::~Scene()
{
    if (rtc_)
        rtcReleaseScene(rtc_);
    if (device_)
        rtcReleaseDevice(device_);
}

PluginInterface* Scene::getInterface(InterfaceID id)
{
    switch (id) {
    case EXT_SCENE_UP_VECTOR: return &upVector_;
    case EXT_OUTPUT_SETTINGS: return &output_;
    case EXT_SEQUENCE_SETTINGS2: return &settings2_;
    case EXT_RENDER_CHANNELS: return static_cast<RenderChannelsInterface*>(this);
    case EXT_PROGRESSIVE_SAMPLER_PARAMS: return &progressiveParams_;
    default: return nullptr;
    }
}

RenderChannel* Scene::getChannel(int index) const
{
    return index >= 0 && index < getNumChannels() ? channels_[static_cast<size_t>(index)].get() : nullptr;
}

const SceneInstance& Scene::instanceOf(const HostPlugin& p) const
{
    for (const SceneInstance& i : file_.instances)
        if (i.name == p.name())
            return i;
    return file_.instances.front();
}

Material* Scene::materialOf(PluginBase* base)
{
    auto* p = dynamic_cast<HostPlugin*>(base);
    if (!p)
        return nullptr;
    for (auto& m : materials_)
        if (m->material == p)
            return m.get();
    HostPlugin* brdf = p;
    if (p->type() == "MtlSingleBRDF") {
        brdf = dynamic_cast<HostPlugin*>(p->getPlugin("brdf"));
        if (!brdf || brdf->type() != "BRDFVRayMtl")
            return nullptr;
    } else if (p->type() != "BRDFVRayMtl") {
        return nullptr;
    }
    auto m = std::make_unique<Material>();
    m->material = p;
    m->brdf = brdf;
    m->diffuse = brdf->getColor("diffuse").color;
    m->reflect = brdf->getColor("reflect").color;
    m->refract = brdf->getColor("refract").color;
    m->opacity = brdf->getColor("opacity_color").color;
    m->selfIllumination = brdf->getColor("self_illumination").color;
    m->glossiness = std::clamp(brdf->getFloat("reflect_glossiness"), 0.0f, 1.0f);
    m->ior = brdf->getFloat("refract_ior");
    m->fresnel = brdf->getInt("fresnel") != 0;
    m->reflectOnBack = brdf->getInt("option_reflect_on_back") != 0;
    materials_.push_back(std::move(m));
    return materials_.back().get();
}

std::shared_ptr<Mesh> Scene::loadMesh(HostPlugin& geom, const SceneInstance& where)
{
    const std::string& type = geom.type();
    if (type == "GeomSphere")
        return std::make_shared<Mesh>(sphereMesh(geom.getFloat("radius"), std::clamp(geom.getInt("segments"), 3, 1024)));
    if (type == "GeomBox")
        return std::make_shared<Mesh>(boxMesh(geom.getVector("size")));
    if (type == "GeomPlane") {
        auto m = std::make_shared<Mesh>();
        addQuad(*m, Vector(0, 0, 0), Vector(geom.getFloat("size_x") * 0.5f, 0, 0),
                Vector(0, geom.getFloat("size_y") * 0.5f, 0));
        return m;
    }
    // GeomMeshFile through assimp.
    const std::string path = file_.resolvePath(geom.getString("file"));
    const aiScene* ai = aiImportFile(path.c_str(), aiProcess_Triangulate | aiProcess_GenSmoothNormals |
                                                       aiProcess_JoinIdenticalVertices | aiProcess_PreTransformVertices |
                                                       aiProcess_SortByPType);
    if (!ai)
        file_.fail(where, "file",
                   type + " \"" + geom.name() + "\": cannot load the mesh file \"" + path + "\": " + aiGetErrorString());
    auto m = std::make_shared<Mesh>();
    for (unsigned i = 0; i < ai->mNumMeshes; ++i) {
        const aiMesh* am = ai->mMeshes[i];
        if (!(am->mPrimitiveTypes & aiPrimitiveType_TRIANGLE))
            continue;
        const uint32_t base = static_cast<uint32_t>(m->P.size());
        for (unsigned v = 0; v < am->mNumVertices; ++v) {
            m->P.emplace_back(am->mVertices[v].x, am->mVertices[v].y, am->mVertices[v].z);
            m->N.push_back(am->mNormals ? Vector(am->mNormals[v].x, am->mNormals[v].y, am->mNormals[v].z)
                                        : Vector(0, 0, 1));
        }
        for (unsigned f = 0; f < am->mNumFaces; ++f) {
            const aiFace& face = am->mFaces[f];
            if (face.mNumIndices != 3)
                continue;
            bool ok = true;
            for (unsigned k = 0; k < 3; ++k)
                ok = ok && face.mIndices[k] < am->mNumVertices;
            if (ok)
                m->indices.insert(m->indices.end(),
                                  {base + face.mIndices[0], base + face.mIndices[1], base + face.mIndices[2]});
        }
    }
    aiReleaseImport(ai);
    if (m->indices.empty())
        file_.fail(where, "file", type + " \"" + geom.name() + "\": the mesh file \"" + path + "\" holds no triangles");
    return m;
}

void Scene::countTriangles(const Mesh& mesh, const SceneInstance& where, const char* key, const std::string& name)
{
    // Every Geom instance and every Node holds its own copy: a few lines of
    // a scene can ask for any number of triangles.
    triangles_ += mesh.indices.size() / 3;
    const uint64_t limit = host_.options().maxTriangles;
    if (triangles_ > limit)
        file_.fail(where, key, where.type + " \"" + name + "\": the scene would hold more than " +
                                   std::to_string(limit) + " triangles");
}

void Scene::build(std::vector<HostPlugin*> instances)
{
    std::map<HostPlugin*, std::shared_ptr<Mesh>> meshes;
    bool haveOutput = false;
    for (HostPlugin* p : instances) {
        const std::string& t = p->type();
        const SceneInstance& where = instanceOf(*p);
        if (t == "SettingsOutput") {
            haveOutput = true;
            output_.imgFile = p->getString("img_file");
            output_.imgDir = p->getString("img_dir");
            output_.flags = p->getBool("img_file_needFrameNumber") ? OUTPUT_FRAME_NUMBERS : 0u;
            output_.framePadding = p->getInt("anim_frame_padding");
            settings2_.dotBeforeFrameNumber = p->getBool("frame_number_dot") ? 1 : 0;
            width_ = p->getInt("img_width");
            height_ = p->getInt("img_height");
            frameStart_ = p->getInt("frame_start");
            frameEnd_ = std::max(frameStart_, p->getInt("frame_end"));
            if (width_ < 1 || height_ < 1 || width_ > 16384 || height_ > 16384)
                file_.fail(where, width_ < 1 || width_ > 16384 ? "img_width" : "img_height",
                           "SettingsOutput \"" + p->name() + "\": img_width and img_height: expected 1 to 16384 pixels");
            if (static_cast<int64_t>(frameEnd_) - frameStart_ > 100000)
                file_.fail(where, "frame_end", "SettingsOutput \"" + p->name() + "\": frame range: expected at most 100000 frames");
        } else if (t == "SettingsImageSampler") {
            imageSamplerParams_.type = p->getInt("type");
            imageSamplerParams_.fixedSubdivs = p->getInt("fixed_subdivs");
            imageSamplerParams_.adaptiveMinRate = p->getInt("dmc_minSubdivs");
            imageSamplerParams_.adaptiveMaxRate = p->getInt("dmc_maxSubdivs");
            progressiveParams_.minSamplesPerPixel = static_cast<unsigned>(std::max(1, p->getInt("progressive_minSamples")));
            const std::string filterName = p->getString("filter");
            if (!filterName.empty()) {
                filterObject_ = std::make_unique<NamedFilter>(filterName);
                filter = filterObject_.get();
                imageSamplerParams_.filterOn = 1;
            }
        } else if (t == "SettingsGI") {
            giParams_.on = p->getBool("on") ? 1 : 0;
            giParams_.dontRenderImage = p->getBool("dont_render_image") ? 1 : 0;
        } else if (t == "SettingsCamera") {
            cameraType = p->getInt("type");
        } else if (t == "SettingsRegionsGenerator") {
            regionParams_.xc = std::clamp(p->getInt("xc"), 1, 4096);
            regionParams_.yc = std::clamp(p->getInt("yc"), 1, 4096);
        } else if (t == "SettingsSystem") {
            numThreads = p->getInt("num_threads");
        } else if (t == "SettingsUnitsInfo") {
            upVector_.up = p->getVector("scene_upDir");
        } else if (t == "SettingsColorMapping") {
            colorMultiplier_ = p->getFloat("multiplier");
        } else if (t == "SettingsEnvironment") {
            background_ = p->getColor("bg_color");
        } else if (t == "RenderView") {
            renderView_ = p;
        } else if (t == "LightOmni" || t == "LightDirect" || t == "LightRectangle") {
            auto l = std::make_unique<Light>();
            l->plugin = p;
            l->kind = t == "LightOmni" ? Light::Point : t == "LightDirect" ? Light::Directional : Light::Rectangle;
            lights_.push_back(std::move(l));
        } else if (t == "GeomMeshFile" || t == "GeomSphere" || t == "GeomBox" || t == "GeomPlane") {
            meshes[p] = loadMesh(*p, where);
            countTriangles(*meshes[p], where, "", p->name());
        } else if (t == "RenderChannelColor" || t == "RenderChannelZDepth" || t == "RenderChannelVelocity") {
            auto c = std::make_unique<Channel>();
            c->name = p->getString("name");
            if (t == "RenderChannelColor") {
                c->alias = static_cast<uint32_t>(p->getInt("alias"));
                c->dataType = RC_TYPE_RGB;
                c->source = Channel::Diffuse;
            } else if (t == "RenderChannelZDepth") {
                c->alias = RENDER_CHANNEL_ZDEPTH;
                c->dataType = RC_TYPE_FLOAT;
                c->source = Channel::ZDepth;
            } else {
                c->alias = RENDER_CHANNEL_VELOCITY;
                c->dataType = RC_TYPE_VECTOR3;
                c->source = Channel::Velocity;
            }
            channels_.push_back(std::move(c));
        }
    }
    if (!haveOutput)
        throw SceneError(file_.path + ": no SettingsOutput instance: expected one with img_width and img_height");
    if (!renderView_)
        throw SceneError(file_.path + ": no RenderView instance: expected one camera with a transform");
    fovDegrees_ = renderView_->getFloat("fov");
    if (!(fovDegrees_ > 0.0f && fovDegrees_ < 180.0f))
        file_.fail(instanceOf(*renderView_), "fov", "RenderView \"" + renderView_->name() + "\": fov: expected degrees between 0 and 180");
    tanHalfFov_ = std::tan(fovDegrees_ * static_cast<float>(M_PI / 360.0));

    for (HostPlugin* p : instances) {
        if (p->type() != "Node")
            continue;
        const SceneInstance& where = instanceOf(*p);
        auto node = std::make_unique<Node>();
        node->plugin = p;
        node->visible = p->getBool("visible");
        auto* geom = dynamic_cast<HostPlugin*>(p->getPlugin("geometry"));
        auto it = geom ? meshes.find(geom) : meshes.end();
        if (it == meshes.end())
            file_.fail(where, "geometry", "Node \"" + p->name() + "\": geometry: expected the name of a Geom instance");
        node->mesh = it->second;
        countTriangles(*node->mesh, where, "geometry", p->name());
        if (p->getPlugin("material")) {
            node->material = materialOf(p->getPlugin("material"));
            if (!node->material)
                file_.fail(where, "material", "Node \"" + p->name() + "\": material: expected the name of a MtlSingleBRDF or BRDFVRayMtl instance");
        }
        nodes_.push_back(std::move(node));
    }
    camera = pinhole_.get();
    regionDoneCallback = frameBuffer_.get();
    pathSampler = pathSampler0_.get();
}

void Scene::setFrame(int frame)
{
    time_ = static_cast<double>(frame);
    const Vector offset = renderView_->getVector("origin_offset");
    fdata_ = VRayFrameData{};
    fdata_.frameNumber = frame;
    fdata_.t = time_;
    fdata_.imgWidth = width_;
    fdata_.imgHeight = height_;
    fdata_.rgnRight = width_;
    fdata_.rgnBottom = height_;
    fdata_.rgnWidth = width_;
    fdata_.rgnHeight = height_;
    fdata_.originOffset[0] = offset.x;
    fdata_.originOffset[1] = offset.y;
    fdata_.originOffset[2] = offset.z;
    fdata_.camToWorld = renderView_->getTransform("transform", time_);
    fdata_.camToWorld.offset = fdata_.camToWorld.offset - offset;

    for (auto& l : lights_) {
        HostPlugin& p = *l->plugin;
        l->color = p.getColor("color", time_).color;
        l->intensity = p.getFloat("intensity", time_);
        l->shadows = p.getBool("shadows");
        if (l->kind == Light::Point) {
            l->position = p.getVector("position", time_) - offset;
        } else if (l->kind == Light::Directional) {
            l->direction = normalize0(p.getVector("direction", time_));
        } else {
            l->transform = p.getTransform("transform", time_);
            l->transform.offset = l->transform.offset - offset;
            l->uSize = p.getFloat("u_size");
            l->vSize = p.getFloat("v_size");
            l->subdivs = std::clamp(p.getInt("subdivs"), 1, 64);
            l->invisible = p.getBool("invisible");
            l->normal = normalize0(crossf(l->transform.m[0], l->transform.m[1]));
        }
    }

    if (rtc_)
        rtcReleaseScene(rtc_);
    rtc_ = rtcNewScene(device_);
    for (auto& n : nodes_) {
        n->geomID = RTC_INVALID_GEOMETRY_ID;
        if (!n->visible)
            continue;
        Transform t = n->plugin->getTransform("transform", time_);
        const Transform next = n->plugin->getTransform("transform", time_ + 1.0);
        const Transform nt = normalTransform(t);
        const Mesh& m = *n->mesh;
        n->P.resize(m.P.size());
        n->N.resize(m.N.size());
        n->velocity.resize(m.P.size());
        for (size_t i = 0; i < m.P.size(); ++i) {
            const Vector p = t.point(m.P[i]);
            n->P[i] = p - offset;
            n->N[i] = normalize0(nt.direction(m.N[i]));
            n->velocity[i] = next.point(m.P[i]) - p;
        }
        RTCGeometry g = rtcNewGeometry(device_, RTC_GEOMETRY_TYPE_TRIANGLE);
        auto* vb = static_cast<float*>(rtcSetNewGeometryBuffer(g, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3,
                                                               3 * sizeof(float), n->P.size()));
        auto* ib = static_cast<unsigned*>(rtcSetNewGeometryBuffer(g, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3,
                                                                  3 * sizeof(unsigned), m.indices.size() / 3));
        for (size_t i = 0; i < n->P.size(); ++i) {
            vb[3 * i] = n->P[i].x;
            vb[3 * i + 1] = n->P[i].y;
            vb[3 * i + 2] = n->P[i].z;
        }
        std::copy(m.indices.begin(), m.indices.end(), ib);
        rtcCommitGeometry(g);
        n->geomID = rtcAttachGeometry(rtc_, g);
        rtcReleaseGeometry(g);
    }
    rtcCommitScene(rtc_);
    nodeOfGeometry_.clear();
    for (auto& n : nodes_)
        if (n->geomID != RTC_INVALID_GEOMETRY_ID) {
            if (nodeOfGeometry_.size() <= n->geomID)
                nodeOfGeometry_.resize(n->geomID + 1, nullptr);
            nodeOfGeometry_[n->geomID] = n.get();
        }
    std::lock_guard lock(imageMutex_);
    image_.assign(static_cast<size_t>(width_) * static_cast<size_t>(height_) * 4, 0.0f);
}

// ---- Rays ---------------------------------------------------------------------

int Scene::pinholeRay(double x, double y, ScreenRay& ray) const
{
    const Transform& c = fdata_.camToWorld;
    const float tanHalf = tanHalfFov_;
    const float w = static_cast<float>(width_), h = static_cast<float>(height_);
    const float sx = (2.0f * static_cast<float>(x) / w - 1.0f) * tanHalf;
    const float sy = (1.0f - 2.0f * static_cast<float>(y) / h) * tanHalf * h / w;
    ray.origin = c.offset;
    ray.direction = normalize0(c.m[0] * sx + c.m[1] * sy - c.m[2]);
    ray.dOrigin[0] = ray.dOrigin[1] = Vector{};
    ray.dDirection[0] = c.m[0] * (2.0f * tanHalf / w);
    ray.dDirection[1] = c.m[1] * (-2.0f * tanHalf / w);
    ray.flags = 0;
    ray.maxDistance = 1e18;
    ray.weight = AColor(1, 1, 1, 1);
    return 1;
}

bool Scene::intersect(HostRayContext& rc, const Vector& origin, const Vector& dir, float tmin, float tmax)
{
    const bool timed = timedCall();
    const uint64_t t0 = timed ? nowNs() : 0;
    RTCIntersectContext ctx;
    rtcInitIntersectContext(&ctx);
    RTCRayHit rh;
    rh.ray.org_x = origin.x;
    rh.ray.org_y = origin.y;
    rh.ray.org_z = origin.z;
    rh.ray.dir_x = dir.x;
    rh.ray.dir_y = dir.y;
    rh.ray.dir_z = dir.z;
    rh.ray.tnear = tmin;
    rh.ray.tfar = tmax;
    rh.ray.mask = 0xFFFFFFFFu;
    rh.ray.flags = 0;
    rh.ray.time = 0.0f;
    rh.ray.id = 0;
    rh.hit.geomID = RTC_INVALID_GEOMETRY_ID;
    rh.hit.instID[0] = RTC_INVALID_GEOMETRY_ID;
    rtcIntersect1(rtc_, &ctx, &rh);
    stats().rays.fetch_add(1, std::memory_order_relaxed);

    float best = rh.hit.geomID != RTC_INVALID_GEOMETRY_ID ? rh.ray.tfar : tmax;
    Light* hitLight = nullptr;
    Vector lightNormal;
    for (auto& l : lights_) {
        if (l->kind != Light::Rectangle || l->invisible)
            continue;
        const Vector n = l->normal;
        const float denom = dotf(dir, n);
        if (denom == 0.0f)
            continue;
        const float t = dotf(l->transform.offset - origin, n) / denom;
        if (!(t > tmin && t < best))
            continue;
        const Vector q = origin + dir * t - l->transform.offset;
        const Vector ux = l->transform.m[0], vy = l->transform.m[1];
        const float a = dotf(q, ux) / dotf(ux, ux), b = dotf(q, vy) / dotf(vy, vy);
        if (std::fabs(a) <= l->uSize * 0.5f && std::fabs(b) <= l->vSize * 0.5f) {
            best = t;
            hitLight = l.get();
            lightNormal = n;
        }
    }
    if (timed)
        stats().traceNs.fetch_add((nowNs() - t0) * kTimedOneIn, std::memory_order_relaxed);

    rc.origin = origin;
    rc.direction = dir;
    rc.minDistance = tmin;
    rc.maxDistance = tmax;
    rc.node = nullptr;
    rc.light = hitLight;
    rc.channels.clear();
    if (!hitLight && rh.hit.geomID == RTC_INVALID_GEOMETRY_ID) {
        rc.hit = false;
        return false;
    }
    rc.hit = true;
    rc.hitDistance = best;
    rc.rayDistance = best;
    rc.position = origin + dir * best;
    rc.surfaceKind = 0;
    if (hitLight) {
        rc.object = hitLight;
        rc.material = nullptr;
        rc.brdf = nullptr;
        rc.bendNormal = rc.surfaceNormal = lightNormal;
        return true;
    }
    Node* node = rh.hit.geomID < nodeOfGeometry_.size() ? nodeOfGeometry_[rh.hit.geomID] : nullptr;
    rc.node = node;
    rc.prim = rh.hit.primID;
    rc.u = rh.hit.u;
    rc.v = rh.hit.v;
    rc.object = node;
    rc.material = node && node->material ? static_cast<PluginBase*>(node->material->material) : nullptr;
    rc.brdf = node && node->material ? static_cast<PluginBase*>(node->material->brdf) : nullptr;
    rc.bendNormal = Vector(rh.hit.Ng_x, rh.hit.Ng_y, rh.hit.Ng_z);
    const uint32_t* tri = &node->mesh->indices[3 * rc.prim];
    const float w = 1.0f - rc.u - rc.v;
    rc.surfaceNormal = normalize0(node->N[tri[0]] * w + node->N[tri[1]] * rc.u + node->N[tri[2]] * rc.v);

    for (const auto& c : channels_) {
        ChannelValue value;
        value.alias = c->alias;
        value.dataType = c->dataType;
        if (c->source == Channel::ZDepth) {
            value.d[0] = best;
        } else if (c->source == Channel::Velocity) {
            const Vector vel = node->getVelocity(rc);
            value.v[0] = vel.x;
            value.v[1] = vel.y;
            value.v[2] = vel.z;
        } else if (node->material) {
            value.v[0] = node->material->diffuse.r;
            value.v[1] = node->material->diffuse.g;
            value.v[2] = node->material->diffuse.b;
        }
        rc.channels.push_back(value);
    }
    return true;
}

bool Scene::occluded(const Vector& from, const Vector& to)
{
    const Vector d = to - from;
    const float dist = lengthf(d);
    if (dist <= 0.0f)
        return false;
    const bool timed = timedCall();
    const uint64_t t0 = timed ? nowNs() : 0;
    RTCIntersectContext ctx;
    rtcInitIntersectContext(&ctx);
    RTCRay ray;
    ray.org_x = from.x;
    ray.org_y = from.y;
    ray.org_z = from.z;
    ray.dir_x = d.x / dist;
    ray.dir_y = d.y / dist;
    ray.dir_z = d.z / dist;
    ray.tnear = 0.0f;
    ray.tfar = dist * 0.999f;
    ray.mask = 0xFFFFFFFFu;
    ray.flags = 0;
    ray.time = 0.0f;
    ray.id = 0;
    rtcOccluded1(rtc_, &ctx, &ray);
    stats().rays.fetch_add(1, std::memory_order_relaxed);
    if (timed)
        stats().traceNs.fetch_add((nowNs() - t0) * kTimedOneIn, std::memory_order_relaxed);
    return ray.tfar < 0.0f;
}

// ---- Shading ------------------------------------------------------------------

Color Scene::directLight(HostRayContext& rc, const Material& m, const Vector& n, const Vector& view, float exponent)
{
    Color diffuseLight, specular;
    const Vector p = rc.position + n * 1e-3f;
    auto contribute = [&](const Vector& l, const Color& radiance) {
        const float ndl = dotf(n, l);
        if (ndl <= 0.0f)
            return;
        diffuseLight += radiance * ndl;
        if (exponent > 0.0f) {
            const Vector h = normalize0(l + view);
            specular += radiance * std::pow(std::max(0.0f, dotf(n, h)), exponent);
        }
    };
    for (auto& l : lights_) {
        const Color c = l->color * l->intensity;
        if (l->kind == Light::Point) {
            const Vector d = l->position - p;
            const float d2 = dotf(d, d);
            if (d2 <= 0.0f || (l->shadows && occluded(p, l->position)))
                continue;
            contribute(d * (1.0f / std::sqrt(d2)), c * (1.0f / d2));
        } else if (l->kind == Light::Directional) {
            const Vector dir = -l->direction;
            if (l->shadows && occluded(p, p + dir * 1e6f))
                continue;
            contribute(dir, c);
        } else {
            const Transform& t = l->transform;
            const Vector emit = -normalize0(crossf(t.m[0], t.m[1])); // emits along its local -z
            const float area = lengthf(crossf(t.m[0], t.m[1])) * l->uSize * l->vSize;
            const int n2 = l->subdivs * l->subdivs;
            for (int s = 0; s < n2; ++s) {
                const float a = ((static_cast<float>(s % l->subdivs) + 0.5f) / static_cast<float>(l->subdivs) - 0.5f) * l->uSize;
                const float b = ((static_cast<float>(s / l->subdivs) + 0.5f) / static_cast<float>(l->subdivs) - 0.5f) * l->vSize;
                const Vector q = t.offset + t.m[0] * a + t.m[1] * b;
                const Vector d = q - p;
                const float d2 = dotf(d, d);
                if (d2 <= 0.0f)
                    continue;
                const Vector dir = d * (1.0f / std::sqrt(d2));
                const float cosL = dotf(-dir, emit);
                if (cosL <= 0.0f || (l->shadows && occluded(p, q)))
                    continue;
                contribute(dir, c * (cosL * area / (d2 * static_cast<float>(n2))));
            }
        }
    }
    (void)m;
    rc.result.color = diffuseLight;
    return specular;
}

Color Scene::traceColor(HostRayContext& parent, uint64_t rayType, const Vector& origin, const Vector& dir,
                        Color* alphaOut)
{
    HostRayContext child(*this);
    child.rayType = rayType;
    child.rayDepth = parent.rayDepth + 1;
    child.threadIndex = parent.threadIndex;
    child.screenX = parent.screenX;
    child.screenY = parent.screenY;
    child.sampleIndex = parent.sampleIndex;
    child.seed = mix(parent.seed + static_cast<uint64_t>(child.rayDepth));
    child.dDdx = parent.dDdx;
    child.dDdy = parent.dDdy;
    child.traceRay(origin, dir, 1e-3f, 1e30f);
    if (alphaOut)
        *alphaOut = child.result.alpha;
    return child.result.color;
}

void Scene::shadeWithMaterial(HostRayContext& rc, PluginBase* material)
{
    const Crossing host(false);
    const Material* m = nullptr;
    {
        std::lock_guard lock(materialsMutex_);
        m = materialOf(material);
    }
    defaultShade(rc, m);
}

void Scene::defaultShade(HostRayContext& rc, const Material* override)
{
    ShadeResult& r = rc.result;
    if (rc.light) {
        r.color = rc.light->color * rc.light->intensity;
        r.transp = Color();
        r.alpha = Color(1, 1, 1);
        r.alphaTransp = Color();
        return;
    }
    const Material* m = override ? override : rc.node ? rc.node->material : nullptr;
    static const Material fallback;
    if (!m)
        m = &fallback;

    const Vector view = normalize0(-rc.direction);
    Vector ng = normalize0(rc.bendNormal), n = rc.surfaceNormal;
    const bool back = dotf(ng, view) < 0.0f;
    if (back) {
        ng = -ng;
        n = -n;
    }
    if (dotf(n, view) < 0.0f)
        n = ng;

    const float cosI = std::clamp(dotf(n, view), 0.0f, 1.0f);
    float fr = 1.0f;
    if (m->fresnel) {
        const float eta = back ? m->ior : 1.0f / m->ior;
        const float r0 = (1.0f - eta) / (1.0f + eta);
        fr = r0 * r0 + (1.0f - r0 * r0) * std::pow(1.0f - cosI, 5.0f);
    }
    const Color kr = m->reflect * fr;
    const Color rest(1.0f - kr.r, 1.0f - kr.g, 1.0f - kr.b);
    const Color kt = rest * m->refract;
    const Color kd = rest * Color(1.0f - m->refract.r, 1.0f - m->refract.g, 1.0f - m->refract.b) * m->diffuse;

    const float gloss = m->glossiness;
    const float exponent = gloss < 1.0f ? 2.0f / std::max(1e-4f, (1.0f - gloss) * (1.0f - gloss)) : 0.0f;
    const Color specular = directLight(rc, *m, n, view, exponent);
    Color color = kd * rc.result.color + kr * specular * (exponent > 0.0f ? 0.1f : 0.0f) + m->selfIllumination;

    constexpr int maxDepth = 5;
    const bool reflects = kr.mean() > 0.0f && rc.rayDepth < maxDepth && (!back || m->reflectOnBack);
    Color tir;
    if (kt.mean() > 0.0f && rc.rayDepth < maxDepth) {
        const float eta = back ? m->ior : 1.0f / m->ior;
        const float k = 1.0f - eta * eta * (1.0f - cosI * cosI);
        if (k < 0.0f) {
            tir = kt; // total internal reflection
        } else {
            const Vector t = normalize0(rc.direction * eta + n * (eta * cosI - std::sqrt(k)));
            color += kt * traceColor(rc, RT_REFRACT, rc.position - ng * 1e-3f, t);
        }
    }
    if (reflects || tir.mean() > 0.0f) {
        Vector dir = reflectDir(normalize0(rc.direction), n);
        if (gloss < 1.0f) {
            uint64_t s = rc.seed ^ (static_cast<uint64_t>(rc.sampleIndex) << 20);
            const float spread = (1.0f - gloss) * 0.5f;
            dir = normalize0(dir + Vector(unitRandom(s) - 0.5f, unitRandom(s) - 0.5f, unitRandom(s) - 0.5f) * spread);
            if (dotf(dir, ng) <= 0.0f)
                dir = reflectDir(normalize0(rc.direction), n);
        }
        color += (kr + tir) * traceColor(rc, RT_REFLECT, rc.position + ng * 1e-3f, dir);
    }

    const Color opacity = m->opacity;
    const Color transparency(1.0f - opacity.r, 1.0f - opacity.g, 1.0f - opacity.b);
    r.color = color * opacity;
    r.transp = transparency;
    r.alpha = opacity;
    r.alphaTransp = transparency;
}

void Scene::shade(HostRayContext& rc)
{
    rc.result = ShadeResult{};
    bool handled = false;
    for (VRayIntersectionShader2* shader : intersectionShaders) {
        stats().shaderCalls.fetch_add(1, std::memory_order_relaxed);
        int r = 1;
        {
            const Crossing plugin(true);
            r = shader->shade(rc);
        }
        if (r == 0) {
            handled = true;
            break;
        }
    }
    if (!handled)
        defaultShade(rc);
}

VRayContext* HostRayContext::newSpawnContext()
{
    auto* child = new HostRayContext(scene_);
    child->rayType = rayType;
    child->rayDepth = rayDepth + 1;
    child->threadIndex = threadIndex;
    child->screenX = screenX;
    child->screenY = screenY;
    child->sampleIndex = sampleIndex;
    child->seed = seed;
    return child;
}

void HostRayContext::releaseContext(VRayContext* child)
{
    delete static_cast<HostRayContext*>(child);
}

void HostRayContext::defShade()
{
    const Crossing host(false);
    scene_.defaultShade(*this);
}

bool HostRayContext::traceRay(const Vector& o, const Vector& dir, float mint, float maxt)
{
    const Crossing host(false);
    // Surfaces that let the ray through are composited front to back.
    Color color, alpha, weight(1, 1, 1), alphaWeight(1, 1, 1);
    float tmin = mint;
    bool anyHit = false;
    for (int layer = 0; layer < 32; ++layer) {
        if (!scene_.intersect(*this, o, dir, tmin, maxt)) {
            color += weight * scene_.background();
            break;
        }
        anyHit = true;
        const float at = hitDistance;
        scene_.shade(*this);
        color += weight * result.color;
        alpha += alphaWeight * result.alpha;
        weight = weight * result.transp;
        alphaWeight = alphaWeight * result.alphaTransp;
        if (weight.mean() <= 1e-4f && alphaWeight.mean() <= 1e-4f)
            break;
        tmin = at + 1e-3f;
    }
    result.color = color;
    result.alpha = alpha;
    result.transp = weight;
    result.alphaTransp = alphaWeight;
    return anyHit;
}

bool HostRayContext::findNextIntersection(const Vector& o, const Vector& dir, float mint, float maxt)
{
    const Crossing host(false);
    return scene_.intersect(*this, o, dir, mint, maxt);
}

// ---- Frame rendering ----------------------------------------------------------

bool Scene::renderImage(int threads)
{
    int n = 1;
    switch (imageSamplerParams_.type) {
    case SAMPLER_FIXED: n = imageSamplerParams_.fixedSubdivs; break;
    case SAMPLER_ADAPTIVE: n = imageSamplerParams_.adaptiveMinRate; break;
    case SAMPLER_PROGRESSIVE:
        n = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(progressiveParams_.minSamplesPerPixel))));
        break;
    default: n = 1; break;
    }
    n = std::clamp(n, 1, 64);
    const int bw = regionParams_.xc, bh = regionParams_.yc;
    const int bx = (width_ + bw - 1) / bw, by = (height_ + bh - 1) / bh;
    const int buckets = bx * by;
    // With render servers, process k of `count` renders every count-th bucket.
    const HostOptions& opt = host_.options();
    const int count = host_.isServer() ? opt.serverCount : opt.renderServers + 1;
    const int self = host_.isServer() ? opt.serverIndex : 0;
    auto bucketRect = [&](int b, int rect[4]) {
        rect[0] = (b % bx) * bw;
        rect[1] = (b / bx) * bh;
        rect[2] = std::min(width_, (b % bx + 1) * bw);
        rect[3] = std::min(height_, (b / bx + 1) * bh);
    };
    std::vector<int> mine;
    for (int b = self; b < buckets; b += std::max(count, 1))
        mine.push_back(b);
    std::atomic<int> next{0};
    std::mutex progressMutex;
    QL::QvResetprogress(static_cast<uint64_t>(buckets));
    const bool ownCamera = camera == pinhole_.get();
    const bool ownSampler = pathSampler == pathSampler0_.get();

    auto worker = [&](int threadIndex) {
        const ClockedThread clock(stats());
        HostRayContext rc(*this);
        for (;;) {
            const int k = next.fetch_add(1);
            if (k >= static_cast<int>(mine.size()) || host_.aborted())
                return;
            int rect[4];
            bucketRect(mine[static_cast<size_t>(k)], rect);
            OutputRegion* region = nullptr;
            {
                const Crossing plugin(true);
                region = regionDoneCallback->newOutputRegion(rect);
                if (region)
                    regionDoneCallback->regionBegin(region, threadIndex, 0);
            }
            for (int y = rect[1]; y < rect[3]; ++y)
                for (int x = rect[0]; x < rect[2]; ++x) {
                    PixelSamplingState state;
                    {
                        const Crossing plugin(!ownSampler);
                        pathSampler->initPixel(state, x, y);
                    }
                    Color sum, alphaSum;
                    for (int s = 0; s < n * n; ++s) {
                        const double sx = x + (s % n + 0.5) / n, sy = y + (s / n + 0.5) / n;
                        ScreenRay ray;
                        {
                            const Crossing plugin(!ownCamera);
                            if (!camera->getScreenRay(sx, sy, threadIndex, ray))
                                continue;
                        }
                        rc.rayType = RT_CAMERA;
                        rc.rayDepth = 0;
                        rc.rayMode = 0;
                        rc.visibility = 1;
                        rc.threadIndex = threadIndex;
                        rc.screenX = sx;
                        rc.screenY = sy;
                        rc.sampleIndex = static_cast<uint32_t>(s);
                        rc.seed = state.seed + static_cast<uint64_t>(s);
                        rc.dDdx = ray.dDirection[0];
                        rc.dDdy = ray.dDirection[1];
                        rc.traceRay(ray.origin, ray.direction, 0.0f, static_cast<float>(ray.maxDistance));
                        sum += mapColor(rc.result.color);
                        alphaSum += rc.result.alpha;
                    }
                    const float k = 1.0f / static_cast<float>(n * n);
                    if (region)
                        region->setPixel(x, y, AColor(sum.r * k, sum.g * k, sum.b * k, alphaSum.mean() * k));
                }
            {
                const Crossing plugin(true);
                // A server serialises the region before region done consumes it.
                if (region && host_.isServer() && !host_.sendRegion(*region)) {
                    host_.log().error("render server: cannot send a region to the client");
                    host_.abortRender();
                }
                if (region) {
                    regionDoneCallback->regionDone(region);
                    regionDoneCallback->releaseOutputRegion(region);
                }
            }
            std::lock_guard lock(progressMutex);
            QL::QvIncreaseprogress();
        }
    };
    threads = std::max(1, threads);
    std::vector<std::thread> pool;
    for (int t = 1; t < threads; ++t)
        pool.emplace_back(worker, t);
    worker(0);
    for (auto& t : pool)
        t.join();
    for (int server = 1; server < count && !host_.isServer() && !host_.aborted(); ++server)
        receiveRegions(server, [&] {
            std::vector<std::array<int, 4>> rects;
            for (int b = server; b < buckets; b += count) {
                int rect[4];
                bucketRect(b, rect);
                rects.push_back({rect[0], rect[1], rect[2], rect[3]});
            }
            return rects;
        }());
    QL::QvSetDoneProgression();
    return !host_.aborted();
}

namespace {

bool readFull(int fd, void* data, size_t size)
{
    auto* p = static_cast<uint8_t*>(data);
    while (size > 0) {
        const ssize_t n = ::read(fd, p, size);
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace

void Scene::receiveRegions(int server, std::vector<std::array<int, 4>> expected)
{
    // The server is another process: every field is checked before use.
    constexpr int64_t maxBuffer = int64_t(1) << 30;
    const int fd = host_.serverFd(server - 1);
    auto fail = [&](const char* what) {
        host_.log().error((std::string("render server ") + std::to_string(server) + ": " + what).c_str());
        host_.abortRender();
    };
    while (!expected.empty()) {
        uint8_t head[28];
        if (!readFull(fd, head, sizeof head))
            return fail("the connection closed before all regions arrived");
        if (std::memcmp(head, "QVRB", 4) != 0)
            return fail("not a region buffer");
        std::array<int, 4> rect;
        for (int i = 0; i < 4; ++i) {
            uint32_t v = 0;
            for (int b = 0; b < 4; ++b)
                v |= static_cast<uint32_t>(head[4 + 4 * i + b]) << (8 * b);
            rect[static_cast<size_t>(i)] = static_cast<int>(v);
        }
        uint64_t size = 0;
        for (int b = 0; b < 8; ++b)
            size |= static_cast<uint64_t>(head[20 + b]) << (8 * b);
        const auto it = std::find(expected.begin(), expected.end(), rect);
        if (it == expected.end())
            return fail("a region that was not the server's");
        if (size == 0 || size > static_cast<uint64_t>(maxBuffer))
            return fail("a region buffer of an impossible size");
        expected.erase(it);
        std::vector<uint8_t> buffer(static_cast<size_t>(size));
        if (!readFull(fd, buffer.data(), buffer.size()))
            return fail("the connection closed inside a region buffer");
        OutputRegion* region = regionDoneCallback->newOutputRegion(rect.data());
        if (!region)
            continue;
        const int taken = region->putBuffer(buffer.data(), static_cast<int64_t>(buffer.size()));
        if (taken)
            regionDoneCallback->regionDone(region);
        regionDoneCallback->releaseOutputRegion(region);
        if (!taken)
            return fail("a region buffer the frame buffer refused");
    }
}

uint64_t Scene::traceRaysOnly(int threads)
{
    std::atomic<int> nextRow{0};
    std::atomic<uint64_t> hits{0};
    auto worker = [&] {
        HostRayContext rc(*this);
        uint64_t local = 0;
        for (int y; (y = nextRow.fetch_add(1)) < height_;)
            for (int x = 0; x < width_; ++x) {
                ScreenRay ray;
                if (!camera->getScreenRay(x + 0.5, y + 0.5, 0, ray))
                    continue;
                local += intersect(rc, ray.origin, ray.direction, 0.0f, 1e30f) ? 1 : 0;
            }
        hits.fetch_add(local);
    };
    std::vector<std::thread> pool;
    for (int t = 1; t < threads; ++t)
        pool.emplace_back(worker);
    worker();
    for (auto& t : pool)
        t.join();
    return hits.load();
}

bool Scene::writeOutput(std::string& written)
{
    written.clear();
    if (output_.imgFile.empty())
        return true;
    const std::string name = expandFrameNumber(output_.imgFile, (output_.flags & OUTPUT_FRAME_NUMBERS) != 0,
                                               fdata_.frameNumber, output_.framePadding,
                                               settings2_.dotBeforeFrameNumber != 0);
    written = file_.resolvePath(joinPath(output_.imgDir, name));
    return writePng(written, image_, width_, height_);
}

} // namespace QuorvelHost
