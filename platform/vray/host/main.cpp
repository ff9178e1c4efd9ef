// quorvel_host: renders a JSON scene or a model file, loading plug-in libraries as V-Ray would.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "Host.h"
#include "Scene.h"
#include "foundation/Logger.h"

namespace {

// Asked for, it goes to standard output; after a mistake, to standard error.
void usage(std::FILE* to = stderr)
{
    std::fprintf(to,
                 "usage: quorvel_host [--plugin LIBRARY]... [--threads N] [--render-servers N] [--set INSTANCE.PARAM=JSON]...\n"
                 "                    [--quiet] [--print-frames] SCENE.json|MODEL.glb|.gltf|.obj|.dae|.fbx\n"
                 "A model file is taken as a whole scene: its camera, lights, materials and animation.\n"
                 "--print-frames prints the scene's first and last frame (after --set) and exits.\n"
                 "Plug-in libraries are also loaded from every directory in QUORVEL_PLUGIN_PATH\n"
                 "(colon-separated) and from the build's plug-in directory.\n");
}

// A whole decimal number from 0 to `most`; empty and partly numeric text is
// refused.
bool parseCount(const char* text, long most, int& value)
{
    char* end = nullptr;
    const long n = std::strtol(text, &end, 10);
    if (end == text || *end || n < 0 || n > most)
        return false;
    value = static_cast<int>(n);
    return true;
}

bool isLibrary(const std::filesystem::path& p)
{
    return p.extension() == ".so";
}

} // namespace

int main(int argc, char** argv)
{
    QuorvelHost::HostOptions options;
    std::string scenePath;
    bool printFrames = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--plugin" && i + 1 < argc) {
            options.pluginLibraries.push_back(argv[++i]);
        } else if (arg == "--threads" && i + 1 < argc) {
            if (!parseCount(argv[++i], 1024, options.threads)) {
                std::fprintf(stderr, "error: --threads: expected a number from 0 to 1024\n");
                return 2;
            }
        } else if (arg == "--render-servers" && i + 1 < argc) {
            if (!parseCount(argv[++i], 64, options.renderServers)) {
                std::fprintf(stderr, "error: --render-servers: expected a number from 0 to 64\n");
                return 2;
            }
        } else if (arg == "--serve-regions" && i + 1 < argc) {
            // Started by a client: "INDEX/COUNT".
            if (std::sscanf(argv[++i], "%d/%d", &options.serverIndex, &options.serverCount) != 2 ||
                options.serverCount < 2 || options.serverIndex < 1 || options.serverIndex >= options.serverCount)
                return 2;
        } else if (arg == "--region-fd" && i + 1 < argc) {
            options.regionFd = std::atoi(argv[++i]);
            if (options.regionFd < 0)
                return 2;
        } else if (arg == "--set" && i + 1 < argc) {
            options.overrides.push_back(argv[++i]);
        } else if (arg == "--quiet") {
            options.quiet = true;
        } else if (arg == "--print-frames") {
            printFrames = true;
        } else if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 0;
        } else if (!arg.empty() && arg[0] != '-' && scenePath.empty()) {
            scenePath = arg;
        } else {
            const bool takesValue = arg == "--plugin" || arg == "--threads" || arg == "--render-servers" ||
                                    arg == "--serve-regions" || arg == "--region-fd" || arg == "--set";
            if (takesValue)
                std::fprintf(stderr, "error: %s needs a value\n", arg.c_str());
            else if (!arg.empty() && arg[0] == '-')
                std::fprintf(stderr, "error: unknown option '%s'\n", arg.c_str());
            else
                std::fprintf(stderr, "error: one scene file is taken; '%s' is a second\n", arg.c_str());
            usage();
            return 2;
        }
    }
    if (scenePath.empty()) {
        usage();
        return 2;
    }

    std::vector<std::string> libraries = options.pluginLibraries;
    std::vector<std::string> dirs;
    if (const char* env = std::getenv("QUORVEL_PLUGIN_PATH")) {
        std::string list = env;
        for (size_t start = 0; start <= list.size();) {
            const size_t end = std::min(list.find(':', start), list.size());
            if (end > start)
                dirs.push_back(list.substr(start, end - start));
            start = end + 1;
        }
    }
#ifdef QUORVEL_HOST_PLUGIN_DIR
    if (options.pluginLibraries.empty())
        dirs.push_back(QUORVEL_HOST_PLUGIN_DIR);
#endif
    for (const std::string& dir : dirs) {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
            if (entry.is_regular_file() && isLibrary(entry.path()))
                libraries.push_back(entry.path().string());
    }

    if (options.quiet)
        Quorvel::Logger::QvSetConsoleLogLevel(Quorvel::Logger::WARNING);
    std::error_code ec;
    options.serverExecutable = std::filesystem::read_symlink("/proc/self/exe", ec).string();
    QuorvelHost::Host host(options);
    for (const std::string& lib : libraries) {
        std::string error;
        if (!host.loadPluginLibrary(lib, error)) {
            std::fprintf(stderr, "error: %s\n", error.c_str());
            return 2;
        }
    }
    try {
        host.loadScene(scenePath);
    } catch (const QuorvelHost::SceneError& e) {
        std::fprintf(stderr, "error: %s\n", e.what());
        return 1;
    }
    // Lets scripts that split a shot into per-frame jobs read the range
    // without parsing the scene file themselves.
    if (printFrames) {
        std::printf("%d %d\n", host.scene().frameStart(), host.scene().frameEnd());
        return 0;
    }
    return host.render() ? 0 : 3;
}
