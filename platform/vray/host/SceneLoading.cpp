// quorvel_host: building the scene from its plug-in instances and placing it at a frame.

#include "Scene.h"
#include "SceneInternal.h"

#include <assimp/scene.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>

#include "MeshFile.h"

namespace QuorvelHost {

using namespace VUtils;

namespace {

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
    meshFiles_ = std::make_unique<MeshFiles>();
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
    return loadMeshFile(geom, where);
}

std::shared_ptr<Mesh> Scene::loadMeshFile(HostPlugin& geom, const SceneInstance& where)
{
    const std::string& type = geom.type();
    const std::string path = file_.resolvePath(geom.getString("file"));
    const int meshIndex = geom.getInt("mesh_index");
    std::string error;
    const aiScene* ai = meshFiles_->import(path, meshIndex < 0, error);
    if (!ai)
        file_.fail(where, "file", type + " \"" + geom.name() + "\": cannot load the mesh file \"" + path + "\": " + error);
    auto m = std::make_shared<Mesh>();
    if (!meshFiles_->fill(*m, path, *ai, meshIndex, geomUsesFileMaterials(geom), tagGlass_, geom.name(), materials_))
        file_.fail(where, "mesh_index", type + " \"" + geom.name() + "\": mesh_index: the mesh file \"" + path +
                                            "\" holds " + std::to_string(ai->mNumMeshes) + " meshes");
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
    // A mesh file's own materials are made only for Geoms that some node
    // shows without a material of its own.
    for (HostPlugin* p : instances) {
        if (p->type() == "SettingsMeshFiles")
            tagGlass_ = p->getBool("tag_glass");
        if (p->type() == "Node" && !p->getPlugin("material"))
            if (auto* g = dynamic_cast<HostPlugin*>(p->getPlugin("geometry")))
                bareGeoms_.insert(g);
    }
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


} // namespace QuorvelHost
