#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "Host.h"
#include "Scene.h"
#include "foundation/Logger.h"

extern "C" VUtils::PluginLibDesc* getLibDesc();

// Feeds one input to quorvel_host as its scene file and does everything the
// host does with a scene before it renders: the file read, the instances of
// the host's and the settings plug-in's types made and their parameters
// converted, references resolved, geometry built (the one mesh file a scene
// may name is a fixed copy) and the scene placed at its first two frames.
namespace QuorvelFuzz {

// The only mesh files an input may load: small ones next to the scene.
inline const char* const kSceneMeshes[] = {"icosahedron.obj", "vase.obj"};

constexpr int64_t kFramedPixels = 1024 * 1024;
// Large scenes are refused sooner than the host's default, to keep each run
// fast and small; the refusal is the same path.
constexpr uint64_t kMaxTriangles = uint64_t(1) << 18;

enum class SceneOutcome { Loaded, Refused, Skipped };

// One directory per process holding the scene and the fixed meshes.
inline const std::filesystem::path& sceneDirectory(const std::filesystem::path& examples)
{
    static const std::filesystem::path dir = [&] {
        namespace fs = std::filesystem;
        Quorvel::Logger::QvSetConsoleLogLevel(-1);
        // Acceleration structures built on the calling thread: no pool per input.
        ::setenv("QUORVEL_EMBREE_CONFIG", "threads=1", 0);
        const fs::path root = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        const fs::path d = root / ("quorvel_fuzz_scene_" + std::to_string(::getpid()));
        fs::create_directories(d);
        std::error_code ec;
        fs::copy_file(examples / "room" / "icosahedron.obj", d / "icosahedron.obj",
                      fs::copy_options::overwrite_existing, ec);
        fs::copy_file(examples / "demo" / "vase.obj", d / "vase.obj", fs::copy_options::overwrite_existing, ec);
        return d;
    }();
    return dir;
}

// Mesh files are read by assimp from wherever the scene points; inputs that
// point anywhere but the fixed copies are left out.
inline bool meshFilesAreFixed(const QuorvelHost::SceneFile& file)
{
    for (const QuorvelHost::SceneInstance& si : file.instances) {
        if (si.type != "GeomMeshFile" || !si.params.isMember("file"))
            continue;
        const Json::Value& name = si.params["file"];
        if (!name.isString())
            continue; // refused by the conversion
        bool fixed = false;
        for (const char* mesh : kSceneMeshes)
            fixed = fixed || name.asString() == mesh;
        if (!fixed)
            return false;
    }
    return true;
}

// Refused: the host's own scene error, whose text is returned in `error`.
inline SceneOutcome runScene(const uint8_t* data, size_t size, const std::filesystem::path& examples,
                             std::string* error = nullptr)
{
    const std::string path = (sceneDirectory(examples) / "scene.json").string();
    if (std::FILE* out = std::fopen(path.c_str(), "wb")) {
        if (size != 0)
            std::fwrite(data, 1, size, out);
        std::fclose(out);
    }
    try {
        if (!meshFilesAreFixed(QuorvelHost::readSceneFile(path)))
            return SceneOutcome::Skipped;
        QuorvelHost::HostOptions options;
        options.quiet = true;
        options.threads = 1;
        options.maxTriangles = kMaxTriangles;
        QuorvelHost::Host host(options);
        std::string why;
        if (!host.registerLibrary(getLibDesc(), why))
            std::abort();
        host.loadScene(path);
        QuorvelHost::Scene& scene = host.scene();
        // Pictures up to the host's limit are valid but cost gigabytes: the
        // frames are placed for small ones only.
        if (static_cast<int64_t>(scene.width()) * scene.height() > kFramedPixels)
            return SceneOutcome::Loaded;
        const int64_t first = scene.frameStart(), last = scene.frameEnd();
        for (int64_t frame = first; frame <= last && frame <= first + 1; ++frame)
            scene.setFrame(static_cast<int>(frame));
    } catch (const QuorvelHost::SceneError& e) {
        if (error)
            *error = e.what();
        return SceneOutcome::Refused;
    }
    return SceneOutcome::Loaded;
}

} // namespace QuorvelFuzz
