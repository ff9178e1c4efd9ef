// Loads a Maya plug-in into the stand-in host, creates one node, sets its
// attributes from the command line and writes a PNG of its viewport drawing.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "MayaHost.h"

#ifndef QUORVEL_MAYA_DEFAULT_PLUGIN
#define QUORVEL_MAYA_DEFAULT_PLUGIN ""
#endif

namespace {

void usage()
{
    std::fprintf(stderr,
                 "usage: quorvel_maya_preview [options] [attribute=value ...]\n"
                 "  --plugin PATH      plug-in library (default: the one built with this program)\n"
                 "  --node TYPE        node type to create (default: MayaQuorvel)\n"
                 "  --out FILE.png     picture to write (default: zov.png)\n"
                 "  --size WxH         picture size in pixels (default: 640x480)\n"
                 "  --view NAME        persp, front, side or top (default: persp)\n"
                 "  --eye X,Y,Z        camera position, world units\n"
                 "  --target X,Y,Z     point looked at\n"
                 "  --translate X,Y,Z  node position in the world\n"
                 "  --status active    draw the node as selected\n"
                 "attributes are given by long or short name, e.g. deep_Reflections=0 ce=1\n");
}

bool parseTriple(const char* text, MPoint& out)
{
    double x, y, z;
    char tail;
    if (std::sscanf(text, "%lf,%lf,%lf%c", &x, &y, &z, &tail) != 3)
        return false;
    out = MPoint(x, y, z);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    std::string pluginPath = QUORVEL_MAYA_DEFAULT_PLUGIN;
    std::string nodeType = "MayaQuorvel";
    std::string outPath = "zov.png";
    std::string viewName = "persp";
    QvMayaHost::View view;
    MPoint eye, target, translate;
    bool haveEye = false, haveTarget = false, haveTranslate = false, active = false;
    std::vector<std::pair<std::string, std::string>> attributes;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            usage();
            return 0;
        } else if (arg == "--plugin" && hasValue) {
            pluginPath = argv[++i];
        } else if (arg == "--node" && hasValue) {
            nodeType = argv[++i];
        } else if (arg == "--out" && hasValue) {
            outPath = argv[++i];
        } else if (arg == "--size" && hasValue) {
            char tail;
            if (std::sscanf(argv[++i], "%dx%d%c", &view.width, &view.height, &tail) != 2) {
                std::fprintf(stderr, "bad --size %s\n", argv[i]);
                return 2;
            }
        } else if (arg == "--view" && hasValue) {
            viewName = argv[++i];
        } else if (arg == "--eye" && hasValue) {
            haveEye = parseTriple(argv[++i], eye);
            if (!haveEye) {
                std::fprintf(stderr, "bad --eye %s\n", argv[i]);
                return 2;
            }
        } else if (arg == "--target" && hasValue) {
            haveTarget = parseTriple(argv[++i], target);
            if (!haveTarget) {
                std::fprintf(stderr, "bad --target %s\n", argv[i]);
                return 2;
            }
        } else if (arg == "--translate" && hasValue) {
            haveTranslate = parseTriple(argv[++i], translate);
            if (!haveTranslate) {
                std::fprintf(stderr, "bad --translate %s\n", argv[i]);
                return 2;
            }
        } else if (arg == "--status" && hasValue) {
            active = std::strcmp(argv[++i], "active") == 0;
        } else if (const auto eq = arg.find('='); eq != std::string::npos && eq > 0 && arg[0] != '-') {
            attributes.emplace_back(arg.substr(0, eq), arg.substr(eq + 1));
        } else {
            usage();
            return 2;
        }
    }

    if (viewName == "front") {
        view.eye = MPoint(0.0, -40.0, 1000.0);
        view.target = MPoint(0.0, -40.0, 0.0);
        view.orthoHeight = 300.0;
    } else if (viewName == "side") {
        view.eye = MPoint(1000.0, -40.0, 0.0);
        view.target = MPoint(0.0, -40.0, 0.0);
        view.orthoHeight = 300.0;
    } else if (viewName == "top") {
        view.eye = MPoint(0.0, 1000.0, 0.0);
        view.target = MPoint(0.0, 0.0, 0.0);
        view.up = MPoint(0.0, 0.0, -1.0);
        view.orthoHeight = 160.0;
    } else if (viewName != "persp") {
        std::fprintf(stderr, "unknown view %s\n", viewName.c_str());
        return 2;
    }
    if (haveEye)
        view.eye = eye;
    if (haveTarget)
        view.target = target;

    if (pluginPath.empty()) {
        std::fprintf(stderr, "no plug-in given (--plugin)\n");
        return 2;
    }
    std::string error;
    auto plugin = QvMayaHost::LoadedPlugin::open(pluginPath, error);
    if (!plugin) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    if (!plugin->initialize()) {
        std::fprintf(stderr, "the plug-in failed to initialise\n");
        return 1;
    }

    int result = 0;
    {
        MStatus status;
        MObject node = QvMayaHost::createNode(nodeType, &status);
        if (!status) {
            std::fprintf(stderr, "cannot create a %s node\n", nodeType.c_str());
            plugin->uninitialize();
            return 1;
        }
        for (const auto& [name, value] : attributes) {
            const MObject attribute = QvMayaHost::findAttribute(node, name);
            const auto* data = QvMayaHost::attributeData(attribute);
            if (!data) {
                std::fprintf(stderr, "no attribute %s on %s\n", name.c_str(), nodeType.c_str());
                result = 2;
                continue;
            }
            MStatus set;
            if (data->kind == QvMaya::AttributeData::Kind::Typed) {
                set = QvMayaHost::setAttribute(node, name, value);
            } else {
                char* end = nullptr;
                const double number = std::strtod(value.c_str(), &end);
                set = end != value.c_str() && *end == '\0' ? QvMayaHost::setAttribute(node, name, number)
                                                            : MStatus(MS::kInvalidParameter);
            }
            if (!set) {
                std::fprintf(stderr, "cannot set %s to %s\n", name.c_str(), value.c_str());
                result = 2;
            }
        }
        MMatrix world;
        if (haveTranslate) {
            world(3, 0) = translate.x;
            world(3, 1) = translate.y;
            world(3, 2) = translate.z;
        }
        QvMayaHost::setWorldMatrix(node, world);
        if (active) {
            QvMayaHost::setDisplayStatus(node, MHWRender::kLead);
            QvMayaHost::setWireframeColour(node, MColor(0.26f, 1.0f, 0.64f));
        }

        if (result == 0) {
            QvMayaHost::DrawSession session(node);
            if (!session.valid()) {
                std::fprintf(stderr, "no draw override for %s\n", nodeType.c_str());
                result = 1;
            } else {
                const auto drawing = session.draw();
                if (!QvMayaHost::renderLinesToPng(drawing, world, view, outPath, error)) {
                    std::fprintf(stderr, "%s\n", error.c_str());
                    result = 1;
                }
            }
        }
        QvMayaHost::deleteNode(node);
    }
    plugin->uninitialize();
    return result;
}
