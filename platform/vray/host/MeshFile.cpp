#include "MeshFile.h"

#include <assimp/GltfMaterial.h>
#include <assimp/cimport.h>
#include <assimp/material.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "foundation/Logger.h"

namespace QuorvelHost {

using namespace VUtils;
namespace fs = std::filesystem;

namespace {

Color clamp01(const Color& c)
{
    return {std::clamp(c.r, 0.0f, 1.0f), std::clamp(c.g, 0.0f, 1.0f), std::clamp(c.b, 0.0f, 1.0f)};
}

bool finiteColor(const aiColor4D& c) { return std::isfinite(c.r) && std::isfinite(c.g) && std::isfinite(c.b) && std::isfinite(c.a); }

bool getColor(const aiMaterial& m, const char* key, unsigned type, unsigned index, aiColor4D& out)
{
    return aiGetMaterialColor(&m, key, type, index, &out) == AI_SUCCESS && finiteColor(out);
}

bool getFloat(const aiMaterial& m, const char* key, unsigned type, unsigned index, float& out)
{
    ai_real v = 0;
    if (aiGetMaterialFloat(&m, key, type, index, &v) != AI_SUCCESS || !std::isfinite(v))
        return false;
    out = static_cast<float>(v);
    return true;
}

std::string materialName(const aiMaterial& m, unsigned index)
{
    aiString name;
    if (aiGetMaterialString(&m, AI_MATKEY_NAME, &name) == AI_SUCCESS && name.length > 0)
        return name.C_Str();
    return "material " + std::to_string(index);
}

void warn(const std::string& text)
{
    Quorvel::Logger::QvOutputLogCStr(Quorvel::Logger::WARNING, (text + "\n").c_str());
}

bool insideFolder(const fs::path& file, const fs::path& folder)
{
    std::error_code ec;
    const fs::path f = fs::weakly_canonical(file, ec);
    if (ec)
        return false;
    const fs::path d = fs::weakly_canonical(folder, ec);
    if (ec)
        return false;
    const fs::path rel = f.lexically_relative(d);
    return !rel.empty() && *rel.begin() != "..";
}

} // namespace

Material materialParameters(const aiMaterial& m)
{
    Material out;
    aiColor4D c;
    aiString alphaMode;
    const bool gltf = aiGetMaterialString(&m, AI_MATKEY_GLTF_ALPHAMODE, &alphaMode) == AI_SUCCESS;
    const bool baseColour = getColor(m, AI_MATKEY_BASE_COLOR, c);
    if (!baseColour && !getColor(m, AI_MATKEY_COLOR_DIFFUSE, c))
        c = aiColor4D(0.8f, 0.8f, 0.8f, 1.0f);
    const Color base = clamp01(Color(c.r, c.g, c.b));
    float alpha = std::clamp(c.a, 0.0f, 1.0f);

    float metallic = 0, roughness = 1, glossiness = 0, shininess = 0, ior = 1.5f;
    getFloat(m, AI_MATKEY_REFRACTI, ior);
    if (!(ior >= 1.0f && ior <= 4.0f))
        ior = 1.5f;
    out.ior = ior;
    aiColor4D spec;
    if (getFloat(m, AI_MATKEY_METALLIC_FACTOR, metallic)) {
        // Metallic-roughness: metals tint their reflection and lose their
        // diffuse; dielectrics reflect white, by Fresnel, less when rough.
        metallic = std::clamp(metallic, 0.0f, 1.0f);
        getFloat(m, AI_MATKEY_ROUGHNESS_FACTOR, roughness);
        roughness = std::clamp(roughness, 0.0f, 1.0f);
        const float smooth = (1.0f - roughness) * (1.0f - roughness);
        out.diffuse = base * (1.0f - metallic);
        out.reflect = Color(smooth, smooth, smooth) * (1.0f - metallic) + base * metallic;
        out.fresnel = metallic < 0.5f;
        out.glossiness = 1.0f - roughness;
    } else if (getFloat(m, AI_MATKEY_GLOSSINESS_FACTOR, glossiness)) {
        // Specular-glossiness: the specular colour is the reflection at
        // normal incidence.
        out.diffuse = base;
        if (getColor(m, AI_MATKEY_COLOR_SPECULAR, spec))
            out.reflect = clamp01(Color(spec.r, spec.g, spec.b));
        out.glossiness = std::clamp(glossiness, 0.0f, 1.0f);
    } else {
        // Phong (OBJ, Collada, FBX): the specular colour reflects by Fresnel,
        // its exponent gives the glossiness of the same highlight.
        out.diffuse = base;
        if (getColor(m, AI_MATKEY_COLOR_SPECULAR, spec)) {
            float strength = 1.0f;
            getFloat(m, AI_MATKEY_SHININESS_STRENGTH, strength);
            out.reflect = clamp01(Color(spec.r, spec.g, spec.b) * std::clamp(strength, 0.0f, 1.0f));
            out.fresnel = true;
        }
        getFloat(m, AI_MATKEY_SHININESS, shininess);
        out.glossiness = shininess > 2.0f ? std::clamp(1.0f - std::sqrt(2.0f / shininess), 0.0f, 0.99f) : 0.0f;
    }
    if (out.reflect.mean() > 0.0f && out.glossiness <= 0.0f)
        out.reflect = Color(); // a fully rough reflection is already in the diffuse

    aiColor4D emissive;
    if (getColor(m, AI_MATKEY_COLOR_EMISSIVE, emissive)) {
        float intensity = 1.0f;
        getFloat(m, AI_MATKEY_EMISSIVE_INTENSITY, intensity);
        intensity = std::clamp(intensity, 0.0f, 1e4f);
        out.selfIllumination = Color(std::max(0.0f, emissive.r), std::max(0.0f, emissive.g), std::max(0.0f, emissive.b)) * intensity;
    }

    float transmission = 0;
    if (getFloat(m, AI_MATKEY_TRANSMISSION_FACTOR, transmission) && transmission > 0.0f) {
        const float t = std::min(transmission, 1.0f);
        out.refract = Color(t, t, t);
        out.reflect = Color(1, 1, 1);
        out.fresnel = true;
        out.reflectOnBack = true;
    }
    // glTF keeps the base alpha unless the material blends or masks.
    float opacity = 1.0f;
    if (gltf)
        opacity = std::string(alphaMode.C_Str()) == "OPAQUE" ? 1.0f : alpha;
    else if (!getFloat(m, AI_MATKEY_OPACITY, opacity))
        opacity = 1.0f;
    opacity = std::clamp(opacity, 0.0f, 1.0f);
    out.opacity = Color(opacity, opacity, opacity);
    out.diffuseAlpha = gltf && std::string(alphaMode.C_Str()) != "OPAQUE";
    return out;
}

MeshFiles::MeshFiles() = default;

MeshFiles::~MeshFiles()
{
    for (auto& [key, scene] : scenes_)
        aiReleaseImport(scene);
}

const aiScene* MeshFiles::import(const std::string& path, bool preTransform, std::string& error)
{
    const auto key = std::make_pair(path, preTransform);
    if (const auto it = scenes_.find(key); it != scenes_.end())
        return it->second;
    unsigned flags = aiProcess_Triangulate | aiProcess_GenSmoothNormals | aiProcess_JoinIdenticalVertices |
                     aiProcess_SortByPType;
    if (preTransform)
        flags |= aiProcess_PreTransformVertices;
    const aiScene* ai = aiImportFile(path.c_str(), flags);
    if (!ai) {
        error = aiGetErrorString();
        return nullptr;
    }
    scenes_[key] = ai;
    return ai;
}

const Texture* MeshFiles::texture(const std::string& path, const aiScene& scene, const aiMaterial& m, int type,
                                  const std::string& what)
{
    aiString name;
    unsigned uvIndex = 0;
    if (aiGetMaterialTexture(&m, static_cast<aiTextureType>(type), 0, &name, nullptr, &uvIndex) != AI_SUCCESS ||
        name.length == 0)
        return nullptr;
    std::string ref = name.C_Str();
    std::error_code ec;
    const fs::path folder = fs::absolute(path, ec).parent_path();
    std::string key, error, shown = ref;
    const aiTexture* embedded = scene.GetEmbeddedTexture(ref.c_str());
    if (embedded) {
        key = path + ref;
        shown = path + " (embedded " + ref + ")";
    } else {
        std::replace(ref.begin(), ref.end(), '\\', '/');
        fs::path file = fs::path(ref).is_absolute() ? fs::path(ref) : folder / ref;
        // Exporters often keep the path of the machine the model was made
        // on: a texture of that name beside the mesh file stands in.
        const fs::path beside = folder / fs::path(ref).filename();
        if (!fs::exists(file, ec) && fs::path(ref).has_filename() && fs::exists(beside, ec))
            file = beside;
        key = shown = file.lexically_normal().string();
    }
    if (const auto it = textures_.find(key); it != textures_.end())
        return it->second.get();

    std::shared_ptr<Texture> t;
    if (embedded) {
        if (embedded->mHeight == 0) {
            t = decodeTexture(reinterpret_cast<const uint8_t*>(embedded->pcData), embedded->mWidth, error);
        } else if (embedded->mWidth > static_cast<unsigned>(kMaxTextureSide) ||
                   embedded->mHeight > static_cast<unsigned>(kMaxTextureSide)) {
            error = std::to_string(embedded->mWidth) + " x " + std::to_string(embedded->mHeight) +
                    " pixels: expected 1 to " + std::to_string(kMaxTextureSide) + " on a side";
        } else {
            const size_t n = static_cast<size_t>(embedded->mWidth) * embedded->mHeight;
            std::vector<uint8_t> rgba(n * 4);
            for (size_t i = 0; i < n; ++i) {
                const aiTexel& p = embedded->pcData[i];
                rgba[4 * i] = p.r;
                rgba[4 * i + 1] = p.g;
                rgba[4 * i + 2] = p.b;
                rgba[4 * i + 3] = p.a;
            }
            t = textureFromRgba(std::move(rgba), static_cast<int>(embedded->mWidth), static_cast<int>(embedded->mHeight),
                                error);
        }
    } else if (!insideFolder(key, folder)) {
        // A mesh file from elsewhere must not make the host read any file
        // of the machine.
        error = "outside the folder of the mesh file, not read";
    } else {
        t = readTexture(key, error);
    }
    if (!t)
        warn("texture \"" + shown + "\" of " + what + ": " + error + "; rendering with the base colour");
    textures_[key] = t;
    return t.get();
}

const Material* MeshFiles::material(const std::string& path, const aiScene& scene, unsigned index, bool tagGlass,
                                    const std::string& geomName, std::vector<std::unique_ptr<Material>>& materials)
{
    const auto key = std::make_pair(&scene, index);
    if (const auto it = materials_.find(key); it != materials_.end())
        return it->second;
    const aiMaterial& am = *scene.mMaterials[index];
    const std::string name = materialName(am, index);
    auto m = std::make_unique<Material>(materialParameters(am));
    const std::string what = "material \"" + name + "\" (mesh file \"" + path + "\")";
    m->diffuseMap = texture(path, scene, am, aiTextureType_BASE_COLOR, what);
    if (!m->diffuseMap)
        m->diffuseMap = texture(path, scene, am, aiTextureType_DIFFUSE, what);
    if (m->diffuseMap) {
        // A base colour map replaces the colour in glTF and OBJ alike; a
        // factor other than white tints it.
        m->diffuseAlpha = m->diffuseAlpha && m->diffuseMap->hasAlpha;
    } else {
        m->diffuseAlpha = false;
    }
    m->emissionMap = texture(path, scene, am, aiTextureType_EMISSIVE, what);
    if (m->emissionMap && m->selfIllumination.mean() <= 0.0f)
        m->selfIllumination = Color(1, 1, 1);
    m->opacityMap = texture(path, scene, am, aiTextureType_OPACITY, what);

    const auto& types = hostPluginTypes();
    auto mtl = std::make_unique<HostPlugin>("MtlSingleBRDF", geomName + "/" + name, types.at("MtlSingleBRDF"));
    auto brdf = std::make_unique<HostPlugin>("BRDFVRayMtl", geomName + "/" + name + "/brdf", types.at("BRDFVRayMtl"));
    if (tagGlass && m->refract.mean() > 0.0f) {
        char ior[32];
        std::snprintf(ior, sizeof ior, "%g", static_cast<double>(m->ior));
        ParamValue tags;
        tags.type = TYPE_TAGS;
        tags.tags["qvl_glass_IOR"] = ior;
        VRayPluginParameter p("tags", tags);
        mtl->setParameter(&p);
    }
    m->material = mtl.get();
    m->brdf = brdf.get();
    plugins_.push_back(std::move(mtl));
    plugins_.push_back(std::move(brdf));
    materials.push_back(std::move(m));
    materials_[key] = materials.back().get();
    return materials.back().get();
}

bool MeshFiles::fill(Mesh& mesh, const std::string& path, const aiScene& scene, int meshIndex, bool withMaterials,
                     bool tagGlass, const std::string& geomName, std::vector<std::unique_ptr<Material>>& materials)
{
    if (meshIndex >= 0 && static_cast<unsigned>(meshIndex) >= scene.mNumMeshes)
        return false;
    const unsigned first = meshIndex < 0 ? 0 : static_cast<unsigned>(meshIndex);
    const unsigned last = meshIndex < 0 ? scene.mNumMeshes : first + 1;
    std::map<const Material*, uint32_t> slot;
    bool anyUv = false;
    for (unsigned i = first; i < last; ++i) {
        const aiMesh* am = scene.mMeshes[i];
        if (!am || !(am->mPrimitiveTypes & aiPrimitiveType_TRIANGLE) || !am->mVertices)
            continue;
        uint32_t materialSlot = 0;
        if (withMaterials && am->mMaterialIndex < scene.mNumMaterials && scene.mMaterials[am->mMaterialIndex]) {
            const Material* m = material(path, scene, am->mMaterialIndex, tagGlass, geomName, materials);
            const auto [it, added] = slot.emplace(m, static_cast<uint32_t>(mesh.materials.size()));
            if (added)
                mesh.materials.push_back(m);
            materialSlot = it->second;
        }
        const uint32_t base = static_cast<uint32_t>(mesh.P.size());
        const aiVector3D* uv = am->mTextureCoords[0];
        if (uv && !anyUv) {
            mesh.uv.assign(2 * static_cast<size_t>(base), 0.0f);
            anyUv = true;
        }
        for (unsigned v = 0; v < am->mNumVertices; ++v) {
            mesh.P.emplace_back(am->mVertices[v].x, am->mVertices[v].y, am->mVertices[v].z);
            mesh.N.push_back(am->mNormals ? Vector(am->mNormals[v].x, am->mNormals[v].y, am->mNormals[v].z)
                                          : Vector(0, 0, 1));
            if (anyUv) {
                mesh.uv.push_back(uv ? uv[v].x : 0.0f);
                mesh.uv.push_back(uv ? uv[v].y : 0.0f);
            }
        }
        for (unsigned f = 0; f < am->mNumFaces; ++f) {
            const aiFace& face = am->mFaces[f];
            if (face.mNumIndices != 3 || !face.mIndices)
                continue;
            bool ok = true;
            for (unsigned k = 0; k < 3; ++k)
                ok = ok && face.mIndices[k] < am->mNumVertices;
            if (!ok)
                continue;
            mesh.indices.insert(mesh.indices.end(),
                                {base + face.mIndices[0], base + face.mIndices[1], base + face.mIndices[2]});
            if (withMaterials)
                mesh.triangleMaterial.push_back(materialSlot);
        }
    }
    return true;
}

} // namespace QuorvelHost
