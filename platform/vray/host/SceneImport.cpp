#include "SceneImport.h"

#include <assimp/cimport.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>

#include "foundation/Logger.h"

namespace QuorvelHost {

namespace fs = std::filesystem;

namespace {

void info(const std::string& text)
{
    Quorvel::Logger::QvOutputLogCStr(Quorvel::Logger::INFO, (text + "\n").c_str());
}

std::string lower(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Metadata numbers come as whatever type the reader chose.
bool metaNumber(const aiMetadata* meta, const char* key, double& out)
{
    if (!meta)
        return false;
    int32_t i = 0;
    float f = 0;
    double d = 0;
    uint64_t u = 0;
    if (meta->Get(key, d))
        out = d;
    else if (meta->Get(key, f))
        out = f;
    else if (meta->Get(key, i))
        out = i;
    else if (meta->Get(key, u))
        out = static_cast<double>(u);
    else
        return false;
    return std::isfinite(out);
}

Json::Value transformJson(const aiMatrix4x4& m)
{
    // The host's transforms act on row vectors: the rows are the images of
    // the axes, that is the columns of assimp's matrix.
    Json::Value v(Json::arrayValue);
    const double cols[4][3] = {{m.a1, m.b1, m.c1}, {m.a2, m.b2, m.c2}, {m.a3, m.b3, m.c3}, {m.a4, m.b4, m.c4}};
    for (const auto& c : cols)
        for (double x : c)
            v.append(std::isfinite(x) ? x : 0.0);
    return v;
}

Json::Value colorJson(double r, double g, double b)
{
    Json::Value v(Json::arrayValue);
    v.append(r);
    v.append(g);
    v.append(b);
    return v;
}

Json::Value instance(const std::string& type, const std::string& name, Json::Value params = Json::objectValue)
{
    Json::Value v;
    v["type"] = type;
    v["name"] = name;
    v["params"] = std::move(params);
    return v;
}

template <class Key>
unsigned keyBefore(const Key* keys, unsigned n, double t)
{
    unsigned k = 0;
    while (k + 1 < n && keys[k + 1].mTime <= t)
        ++k;
    return k;
}

// One node's local transform at `ticks` from its channel.
aiMatrix4x4 channelAt(const aiNodeAnim& ch, double ticks, const aiMatrix4x4& rest)
{
    aiVector3D restScale, restPos;
    aiQuaternion restRot;
    rest.Decompose(restScale, restRot, restPos);
    auto lerpKey = [&](const aiVectorKey* keys, unsigned n, const aiVector3D& fallback) {
        if (!keys || n == 0)
            return fallback;
        const unsigned k = keyBefore(keys, n, ticks);
        if (k + 1 >= n || keys[k + 1].mTime <= keys[k].mTime || ticks <= keys[k].mTime)
            return keys[k].mValue;
        const double f = (ticks - keys[k].mTime) / (keys[k + 1].mTime - keys[k].mTime);
        return keys[k].mValue + (keys[k + 1].mValue - keys[k].mValue) * static_cast<ai_real>(f);
    };
    const aiVector3D pos = lerpKey(ch.mPositionKeys, ch.mNumPositionKeys, restPos);
    const aiVector3D scale = lerpKey(ch.mScalingKeys, ch.mNumScalingKeys, restScale);
    aiQuaternion rot = restRot;
    if (ch.mRotationKeys && ch.mNumRotationKeys > 0) {
        const aiQuatKey* keys = ch.mRotationKeys;
        const unsigned n = ch.mNumRotationKeys;
        const unsigned k = keyBefore(keys, n, ticks);
        if (k + 1 >= n || keys[k + 1].mTime <= keys[k].mTime || ticks <= keys[k].mTime) {
            rot = keys[k].mValue;
        } else {
            const double f = (ticks - keys[k].mTime) / (keys[k + 1].mTime - keys[k].mTime);
            aiQuaternion::Interpolate(rot, keys[k].mValue, keys[k + 1].mValue, static_cast<ai_real>(f));
        }
        rot.Normalize();
    }
    return aiMatrix4x4(scale, rot, pos);
}

struct Importer {
    explicit Importer(const aiScene& scene) : ai(scene) {}
    const aiScene& ai;
    const aiAnimation* anim = nullptr;
    std::map<std::string, const aiNodeAnim*> channels;
    aiMatrix4x4 toHost; // the file's axes to the host's, z up

    // Every node's world transform at `ticks`, in the host's axes.
    void world(double ticks, std::map<const aiNode*, aiMatrix4x4>& out) const
    {
        std::function<void(const aiNode*, const aiMatrix4x4&)> walk = [&](const aiNode* n, const aiMatrix4x4& parent) {
            aiMatrix4x4 local = n->mTransformation;
            if (const auto it = channels.find(n->mName.C_Str()); it != channels.end())
                local = channelAt(*it->second, ticks, local);
            const aiMatrix4x4 w = parent * local;
            out[n] = w;
            for (unsigned i = 0; i < n->mNumChildren; ++i)
                if (n->mChildren[i])
                    walk(n->mChildren[i], w);
        };
        walk(ai.mRootNode, toHost);
    }
};

const aiNode* findNode(const aiNode* n, const aiString& name)
{
    if (!n)
        return nullptr;
    if (n->mName == name)
        return n;
    for (unsigned i = 0; i < n->mNumChildren; ++i)
        if (const aiNode* f = findNode(n->mChildren[i], name))
            return f;
    return nullptr;
}

} // namespace

bool isModelFile(const std::string& path)
{
    const std::string ext = lower(fs::path(path).extension().string());
    return ext == ".glb" || ext == ".gltf" || ext == ".obj" || ext == ".dae" || ext == ".fbx";
}

SceneFile importScene(const std::string& path, bool withQuorvel)
{
    std::error_code ec;
    if (fs::is_directory(path, ec))
        throw SceneError(path + ": a directory, not a scene file");
    if (!fs::exists(path, ec))
        throw SceneError(path + ": cannot open the scene file");
    const aiScene* scene = aiImportFile(path.c_str(), aiProcess_Triangulate | aiProcess_SortByPType);
    if (!scene || !scene->mRootNode)
        throw SceneError(path + ": cannot read the scene file: " + (scene ? "it has no nodes" : aiGetErrorString()));
    struct Release {
        const aiScene* s;
        ~Release() { aiReleaseImport(s); }
    } release{scene};
    const aiScene& ai = *scene;
    const std::string ext = lower(fs::path(path).extension().string());
    const std::string absolute = fs::absolute(path).lexically_normal().string();
    const std::string stem = fs::path(path).stem().string();

    // Units and up axis. glTF is in metres, y up; assimp turns Collada into
    // metres and y up; OBJ says nothing and is taken as metres, y up; FBX
    // carries its unit in centimetres and its up axis.
    double metresPerUnit = 1.0;
    bool zUp = false;
    double value = 0;
    if (ext == ".fbx") {
        if (metaNumber(ai.mMetaData, "UnitScaleFactor", value) && value > 0)
            metresPerUnit = value / 100.0;
        if (metaNumber(ai.mMetaData, "UpAxis", value))
            zUp = value == 2;
    }
    Importer im(ai);
    if (zUp)
        im.toHost = aiMatrix4x4();
    else // y up to z up: (x, y, z) -> (x, -z, y)
        im.toHost = aiMatrix4x4(1, 0, 0, 0, 0, 0, -1, 0, 0, 1, 0, 0, 0, 0, 0, 1);

    // The first animation gives the frames, at the file's frame rate.
    double fps = kDefaultFrameRate;
    if (metaNumber(ai.mMetaData, "CustomFrameRate", value) && value > 0 && value <= 1000)
        fps = value;
    int frameStart = 1, frameEnd = 1;
    double ticksPerSecond = 25.0;
    if (ai.mNumAnimations > 0 && ai.mAnimations[0]) {
        im.anim = ai.mAnimations[0];
        ticksPerSecond = im.anim->mTicksPerSecond > 0 ? im.anim->mTicksPerSecond : 25.0;
        for (unsigned c = 0; c < im.anim->mNumChannels; ++c)
            if (const aiNodeAnim* ch = im.anim->mChannels[c])
                im.channels[ch->mNodeName.C_Str()] = ch;
        const double seconds = im.anim->mDuration / ticksPerSecond;
        if (!(seconds >= 0 && seconds * fps <= 100000))
            throw SceneError(path + ": the animation lasts " + std::to_string(seconds) +
                             " s: expected at most 100000 frames");
        frameEnd = frameStart + static_cast<int>(std::lround(seconds * fps));
    }
    const double durationTicks = im.anim ? im.anim->mDuration : 0.0;
    auto ticksAt = [&](int frame) {
        return std::clamp((frame - frameStart) / fps * ticksPerSecond, 0.0, durationTicks);
    };
    // Keys for every frame and the one after the last (motion to the next frame).
    std::vector<std::map<const aiNode*, aiMatrix4x4>> frames;
    for (int f = frameStart; f <= (im.anim ? frameEnd + 1 : frameStart); ++f) {
        frames.emplace_back();
        im.world(ticksAt(f), frames.back());
    }
    auto animatedTransform = [&](const aiNode* n, const aiMatrix4x4& local) {
        bool moves = false;
        for (const auto& w : frames)
            moves = moves || !(w.at(n) * local).Equal(frames.front().at(n) * local, 1e-6f);
        if (!moves)
            return transformJson(frames.front().at(n) * local);
        Json::Value keys(Json::arrayValue);
        for (size_t i = 0; i < frames.size(); ++i) {
            Json::Value k(Json::arrayValue);
            k.append(frameStart + static_cast<int>(i));
            k.append(transformJson(frames[i].at(n) * local));
            keys.append(k);
        }
        Json::Value v;
        v["keys"] = keys;
        return v;
    };

    Json::Value plugins(Json::arrayValue);
    const double renderScale = 100.0 * metresPerUnit;
    if (withQuorvel) {
        Json::Value q;
        q["phase_mode"] = 0;
        q["render_scale"] = renderScale;
        q["IPD"] = 63.5;
        q["deep_reflection"] = true;
        q["motion_vectors"] = 1;
        q["render_quorvel_glass_mode"] = 0;
        q["detect_file"] = "detect/" + stem + "_detect_#.qvl";
        plugins.append(instance("SettingsQuorvel", "quorvel", q));
    }
    {
        Json::Value o;
        o["img_width"] = 312;
        o["img_height"] = 208;
        o["img_file"] = stem + (withQuorvel ? "_#.qvl" : "_#.png");
        o["img_dir"] = withQuorvel ? "render" : ".";
        o["img_file_needFrameNumber"] = true;
        o["anim_frame_padding"] = 4;
        o["frame_start"] = frameStart;
        o["frame_end"] = frameEnd;
        plugins.append(instance("SettingsOutput", "output", o));
    }
    {
        Json::Value s;
        s["type"] = 0;
        s["fixed_subdivs"] = 2;
        plugins.append(instance("SettingsImageSampler", "sampler", s));
        Json::Value b;
        b["xc"] = 16;
        b["yc"] = 16;
        plugins.append(instance("SettingsRegionsGenerator", "buckets", b));
        Json::Value t;
        t["num_threads"] = 2;
        plugins.append(instance("SettingsSystem", "system", t));
        Json::Value u;
        u["scene_upDir"] = colorJson(0, 0, 1);
        plugins.append(instance("SettingsUnitsInfo", "units", u));
        Json::Value m;
        m["tag_glass"] = true;
        plugins.append(instance("SettingsMeshFiles", "mesh_files", m));
    }

    // Meshes: one Geom per mesh of the file, one Node per use of it.
    aiVector3D lo(std::numeric_limits<float>::max()), hi(-std::numeric_limits<float>::max());
    std::vector<bool> geomMade(ai.mNumMeshes, false);
    int nodeCount = 0;
    std::function<void(const aiNode*)> walk = [&](const aiNode* n) {
        for (unsigned i = 0; i < n->mNumMeshes; ++i) {
            const unsigned k = n->mMeshes[i];
            if (k >= ai.mNumMeshes || !ai.mMeshes[k])
                continue;
            const aiMesh& mesh = *ai.mMeshes[k];
            if (!(mesh.mPrimitiveTypes & aiPrimitiveType_TRIANGLE))
                continue;
            const std::string geom = "mesh" + std::to_string(k);
            if (!geomMade[k]) {
                Json::Value g;
                g["file"] = absolute;
                g["mesh_index"] = static_cast<int>(k);
                plugins.append(instance("GeomMeshFile", geom, g));
                geomMade[k] = true;
            }
            const aiMatrix4x4& w = frames.front().at(n);
            for (unsigned v = 0; v < mesh.mNumVertices; ++v) {
                const aiVector3D p = w * mesh.mVertices[v];
                if (std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z)) {
                    lo = aiVector3D(std::min(lo.x, p.x), std::min(lo.y, p.y), std::min(lo.z, p.z));
                    hi = aiVector3D(std::max(hi.x, p.x), std::max(hi.y, p.y), std::max(hi.z, p.z));
                }
            }
            Json::Value node;
            node["geometry"] = geom;
            node["transform"] = animatedTransform(n, aiMatrix4x4());
            plugins.append(instance("Node", "node" + std::to_string(nodeCount++) + ":" + n->mName.C_Str(), node));
        }
        for (unsigned i = 0; i < n->mNumChildren; ++i)
            if (n->mChildren[i])
                walk(n->mChildren[i]);
    };
    walk(ai.mRootNode);
    if (nodeCount == 0)
        throw SceneError(path + ": the scene file holds no triangles");

    // The camera: the file's first, else the middle of the scene at eye height.
    {
        Json::Value view;
        const aiCamera* cam = ai.mNumCameras > 0 ? ai.mCameras[0] : nullptr;
        const aiNode* camNode = cam ? findNode(ai.mRootNode, cam->mName) : nullptr;
        if (cam && camNode) {
            aiVector3D look = cam->mLookAt, up = cam->mUp;
            look.Normalize();
            up = (up - look * (up * look));
            up.Normalize();
            const aiVector3D right = look ^ up;
            // assimp's glTF reader repeats the node's translation as the
            // camera's position and gives the whole horizontal angle, where
            // the other readers give a position in the node and half the angle.
            const bool gltf = ext == ".gltf" || ext == ".glb";
            const aiVector3D at = gltf ? aiVector3D() : cam->mPosition;
            // The camera looks along its -z with y up.
            const aiMatrix4x4 local(right.x, up.x, -look.x, at.x, right.y, up.y, -look.y, at.y, right.z, up.z, -look.z,
                                    at.z, 0, 0, 0, 1);
            view["transform"] = animatedTransform(camNode, local);
            const double fov = (gltf ? 1.0 : 2.0) * cam->mHorizontalFOV * 180.0 / M_PI;
            view["fov"] = fov > 1.0 && fov < 179.0 ? fov : 60.0;
            info(path + ": the zone of view is placed at the camera \"" + std::string(cam->mName.C_Str()) + "\"");
        } else {
            const double eye = kEyeHeight / metresPerUnit;
            const double x = 0.5 * (lo.x + hi.x), y = 0.5 * (lo.y + hi.y), z = lo.z + eye;
            // Looking along +y, z up.
            const aiMatrix4x4 m(1, 0, 0, x, 0, 0, -1, y, 0, 1, 0, z, 0, 0, 0, 1);
            view["transform"] = transformJson(m);
            view["fov"] = 90.0;
            char where[160];
            std::snprintf(where, sizeof where, "(%g, %g, %g)", x, y, z);
            info(path + ": no camera in the scene file: the zone of view is placed at the centre of its bounding box, " +
                 std::to_string(kEyeHeight).substr(0, 3) + " m above its lowest point " + where);
        }
        plugins.append(instance("RenderView", "camera", view));
    }

    // Lights: the file's, else a sun, a sky of soft light from above and
    // light from the ground.
    int lights = 0;
    for (unsigned i = 0; i < ai.mNumLights; ++i) {
        const aiLight* l = ai.mLights[i];
        const aiNode* n = l ? findNode(ai.mRootNode, l->mName) : nullptr;
        if (!l || !n)
            continue;
        const aiMatrix4x4& w = frames.front().at(n);
        const aiColor3D c = l->mColorDiffuse;
        const double peak = std::max({static_cast<double>(c.r), static_cast<double>(c.g), static_cast<double>(c.b)});
        if (!(peak > 0) || !std::isfinite(peak))
            continue;
        Json::Value p;
        p["color"] = colorJson(c.r / peak, c.g / peak, c.b / peak);
        const std::string name = "light" + std::to_string(lights) + ":" + l->mName.C_Str();
        if (l->mType == aiLightSource_DIRECTIONAL) {
            aiMatrix3x3 r(w);
            const aiVector3D d = r * l->mDirection;
            p["direction"] = colorJson(d.x, d.y, d.z);
            p["intensity"] = peak;
            plugins.append(instance("LightDirect", name, p));
        } else if (l->mType == aiLightSource_POINT || l->mType == aiLightSource_SPOT) {
            const aiVector3D at = w * l->mPosition;
            p["position"] = colorJson(at.x, at.y, at.z);
            // Watts-like intensities per square metre, in the file's units.
            p["intensity"] = peak / (metresPerUnit * metresPerUnit);
            plugins.append(instance("LightOmni", name, p));
        } else {
            continue;
        }
        ++lights;
    }
    Json::Value environment;
    environment["bg_color"] = colorJson(0.1, 0.1, 0.15);
    if (lights == 0) {
        info(path + ": no lights in the scene file: lit by the default sun and sky");
        environment["bg_color"] = colorJson(0.45, 0.6, 0.85);
        Json::Value sun;
        sun["direction"] = colorJson(0.35, 0.55, -0.76);
        sun["color"] = colorJson(1.0, 0.95, 0.85);
        sun["intensity"] = 2.2;
        plugins.append(instance("LightDirect", "sun", sun));
        // The sky: light from the zenith and four directions 45 degrees up,
        // without shadows.
        const double s = std::sqrt(0.5);
        const double dirs[5][3] = {{0, 0, -1}, {s, 0, -s}, {-s, 0, -s}, {0, s, -s}, {0, -s, -s}};
        for (int i = 0; i < 5; ++i) {
            Json::Value sky;
            sky["direction"] = colorJson(dirs[i][0], dirs[i][1], dirs[i][2]);
            sky["color"] = colorJson(0.6, 0.7, 0.9);
            sky["intensity"] = i == 0 ? 0.45 : 0.2;
            sky["shadows"] = false;
            plugins.append(instance("LightDirect", "sky" + std::to_string(i), sky));
        }
        // Light thrown back by the ground, so that undersides are not black.
        Json::Value ground;
        ground["direction"] = colorJson(0, 0, 1);
        ground["color"] = colorJson(0.8, 0.75, 0.65);
        ground["intensity"] = 0.25;
        ground["shadows"] = false;
        plugins.append(instance("LightDirect", "ground", ground));
    }
    plugins.append(instance("SettingsEnvironment", "environment", environment));
    {
        Json::Value d;
        d["name"] = "diffuse";
        d["alias"] = 101;
        plugins.append(instance("RenderChannelColor", "diffuse_channel", d));
        plugins.append(instance("RenderChannelVelocity", "velocity_channel"));
    }
    char units[200];
    std::snprintf(units, sizeof units, ": %g m per unit, %s up, frames %d to %d at %g per second", metresPerUnit,
                  zUp ? "z" : "y", frameStart, frameEnd, fps);
    info(path + units);

    Json::Value root;
    root["plugins"] = plugins;
    Json::StreamWriterBuilder writer;
    writer["indentation"] = " ";
    return parseSceneText(path, fs::current_path(ec).string(), Json::writeString(writer, root));
}

} // namespace QuorvelHost
