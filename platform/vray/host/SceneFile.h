#pragma once

// The JSON scene file: a list of plug-in instances with their parameters.

#include <stdexcept>
#include <string>
#include <vector>

#include <json/json.h>

#include "VRayParameters.h"

namespace QuorvelHost {

// A scene that cannot be rendered; the text names the file, the line or key
// and what was expected.
class SceneError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct SceneInstance {
    std::string type;
    std::string name;
    Json::Value params;
    int line = 0;
};

struct SceneFile {
    std::string path;
    std::string directory; // relative file names are taken from here
    std::string text;
    std::vector<SceneInstance> instances;

    int lineOf(const Json::Value& v) const;
    // "file:line: what" for a value of the file.
    [[noreturn]] void fail(const Json::Value& at, const std::string& what) const;
    // At an instance's parameter, or at the instance when the key is absent.
    [[noreturn]] void fail(const SceneInstance& instance, const std::string& key, const std::string& what) const;
    std::string resolvePath(const std::string& file) const;
};

SceneFile readSceneFile(const std::string& path);
// The same from text in memory; relative file names are taken from `directory`.
SceneFile parseSceneText(const std::string& path, const std::string& directory, std::string text);

// Resolves a plug-in reference by instance name; null when there is none.
using PluginResolver = VUtils::PluginBase* (*)(const std::string& name, void* user);

// One parameter of an instance, converted to the declared type; animated
// values are written {"keys": [[frame, value], ...]}.
VUtils::VRayPluginParameter convertParameter(const SceneFile& file, const SceneInstance& instance,
                                             const std::string& key, const Json::Value& value,
                                             const VUtils::ParamDesc& desc, PluginResolver resolve, void* user);

} // namespace QuorvelHost
