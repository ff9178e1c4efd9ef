#pragma once

// Mesh files through assimp: their triangles with texture coordinates, and
// their own materials mapped onto the host's BRDF, with their textures.

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Scene.h"
#include "Texture.h"

struct aiScene;
struct aiMaterial;

namespace QuorvelHost {

class MeshFiles {
public:
    MeshFiles();
    ~MeshFiles();
    MeshFiles(const MeshFiles&) = delete;
    MeshFiles& operator=(const MeshFiles&) = delete;

    // The file, imported once per scene and mode: every mesh moved to where
    // the file's nodes place it, or each mesh in its own coordinates. Null
    // with assimp's reason in `error`.
    const aiScene* import(const std::string& path, bool preTransform, std::string& error);

    // Appends the file's triangles to `mesh`: every mesh of the file when
    // `meshIndex` < 0, else that one. With `withMaterials` the file's
    // materials are made (once per file, into `materials`) and given to the
    // triangles; `geomName` names the Geom instance in messages. False when
    // `meshIndex` is not a mesh of the file.
    bool fill(Mesh& mesh, const std::string& path, const aiScene& scene, int meshIndex, bool withMaterials,
              bool tagGlass, const std::string& geomName, std::vector<std::unique_ptr<Material>>& materials);

private:
    const Material* material(const std::string& path, const aiScene& scene, unsigned index, bool tagGlass,
                             const std::string& geomName, std::vector<std::unique_ptr<Material>>& materials);
    const Texture* texture(const std::string& path, const aiScene& scene, const aiMaterial& m, int type,
                           const std::string& what);

    std::map<std::pair<std::string, bool>, const aiScene*> scenes_;
    std::map<std::string, std::shared_ptr<Texture>> textures_; // null: refused once, warned once
    std::map<std::pair<const aiScene*, unsigned>, const Material*> materials_;
    std::vector<std::unique_ptr<HostPlugin>> plugins_; // what file materials' hits report
};

// The mapping of one file material onto the host's, without its textures.
Material materialParameters(const aiMaterial& m);

} // namespace QuorvelHost
