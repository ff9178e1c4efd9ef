#include "SceneFile.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace QuorvelHost {

using namespace VUtils;

int SceneFile::lineOf(const Json::Value& v) const
{
    const ptrdiff_t offset = v.getOffsetStart();
    if (offset <= 0 || static_cast<size_t>(offset) > text.size())
        return 1;
    int line = 1;
    for (ptrdiff_t i = 0; i < offset; ++i)
        if (text[static_cast<size_t>(i)] == '\n')
            ++line;
    return line;
}

void SceneFile::fail(const Json::Value& at, const std::string& what) const
{
    throw SceneError(path + ":" + std::to_string(lineOf(at)) + ": " + what);
}

void SceneFile::fail(const SceneInstance& instance, const std::string& key, const std::string& what) const
{
    if (instance.params.isMember(key))
        fail(instance.params[key], what);
    throw SceneError(path + ":" + std::to_string(instance.line) + ": " + what);
}

std::string SceneFile::resolvePath(const std::string& file) const
{
    std::string f = file;
    for (char& c : f)
        if (c == '\\')
            c = '/';
    const std::filesystem::path p(f);
    if (p.is_absolute() || directory.empty())
        return p.string();
    return (std::filesystem::path(directory) / p).string();
}

SceneFile readSceneFile(const std::string& path)
{
    SceneFile file;
    file.path = path;
    file.directory = std::filesystem::path(path).parent_path().string();
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec))
        throw SceneError(path + ": a directory, not a scene file");
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw SceneError(path + ": cannot open the scene file");
    std::ostringstream text;
    text << in.rdbuf();
    return parseSceneText(path, file.directory, text.str());
}

SceneFile parseSceneText(const std::string& path, const std::string& directory, std::string text)
{
    SceneFile file;
    file.path = path;
    file.directory = directory;
    file.text = std::move(text);

    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    builder["rejectDupKeys"] = true;
    builder["allowTrailingCommas"] = false;
    Json::Value root;
    std::string errors;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    if (!reader->parse(file.text.data(), file.text.data() + file.text.size(), &root, &errors)) {
        // jsoncpp reports "* Line L, Column C\n  message"; keep its first report.
        std::string first = errors;
        if (const size_t cut = first.find("\n* ", 1); cut != std::string::npos)
            first.resize(cut);
        while (!first.empty() && (first.back() == '\n' || first.back() == ' '))
            first.pop_back();
        if (first.rfind("* ", 0) == 0)
            first.erase(0, 2);
        for (char& c : first)
            if (c == '\n')
                c = ' ';
        throw SceneError(path + ": not valid JSON: " + first);
    }
    if (!root.isObject())
        file.fail(root, "expected an object with the key \"plugins\"");
    for (const std::string& key : root.getMemberNames())
        if (key != "plugins")
            file.fail(root[key], "unknown key \"" + key + "\" (expected \"plugins\")");
    const Json::Value& plugins = root["plugins"];
    if (!plugins.isArray())
        file.fail(plugins.isNull() ? root : plugins, "\"plugins\": expected an array of plug-in instances");

    for (Json::ArrayIndex i = 0; i < plugins.size(); ++i) {
        const Json::Value& entry = plugins[i];
        const std::string where = "plugins[" + std::to_string(i) + "]";
        if (!entry.isObject())
            file.fail(entry, where + ": expected an object with \"type\", \"name\" and \"params\"");
        for (const std::string& key : entry.getMemberNames())
            if (key != "type" && key != "name" && key != "params")
                file.fail(entry[key], where + ": unknown key \"" + key + "\" (expected \"type\", \"name\" or \"params\")");
        SceneInstance instance;
        instance.line = file.lineOf(entry);
        if (!entry["type"].isString())
            file.fail(entry, where + ".type: expected the plug-in type as a string");
        instance.type = entry["type"].asString();
        if (entry.isMember("name") && !entry["name"].isString())
            file.fail(entry["name"], where + ".name: expected a string");
        instance.name = entry.isMember("name") ? entry["name"].asString() : instance.type + "@" + std::to_string(i);
        for (const SceneInstance& other : file.instances)
            if (other.name == instance.name)
                file.fail(entry, where + ".name: \"" + instance.name + "\" is already used");
        if (entry.isMember("params") && !entry["params"].isObject())
            file.fail(entry["params"], where + ".params: expected an object");
        instance.params = entry.isMember("params") ? entry["params"] : Json::Value(Json::objectValue);
        file.instances.push_back(std::move(instance));
    }
    return file;
}

namespace {

bool isNumber(const Json::Value& v) { return v.isNumeric() && !v.isBool(); }

bool numbers(const Json::Value& v, Json::ArrayIndex n, float* out)
{
    if (!v.isArray() || v.size() != n)
        return false;
    for (Json::ArrayIndex i = 0; i < n; ++i) {
        if (!isNumber(v[i]))
            return false;
        out[i] = v[i].asFloat();
    }
    return true;
}

Transform rotation(float degX, float degY, float degZ)
{
    // Rotations about x, then y, then z, applied to row vectors.
    const float k = static_cast<float>(M_PI / 180.0);
    auto rot = [](int axis, float a) {
        Transform t;
        const float c = std::cos(a), s = std::sin(a);
        const int i = (axis + 1) % 3, j = (axis + 2) % 3;
        float m[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
        m[i][i] = c;
        m[i][j] = s;
        m[j][i] = -s;
        m[j][j] = c;
        for (int r = 0; r < 3; ++r)
            t.m[r] = {m[r][0], m[r][1], m[r][2]};
        return t;
    };
    auto mul = [](const Transform& a, const Transform& b) {
        Transform r;
        for (int i = 0; i < 3; ++i)
            r.m[i] = b.direction(a.m[i]);
        return r;
    };
    return mul(mul(rot(0, degX * k), rot(1, degY * k)), rot(2, degZ * k));
}

bool toTransform(const Json::Value& v, Transform& t)
{
    float f[12];
    if (numbers(v, 12, f)) {
        for (int r = 0; r < 3; ++r)
            t.m[r] = {f[r * 3], f[r * 3 + 1], f[r * 3 + 2]};
        t.offset = {f[9], f[10], f[11]};
        return true;
    }
    if (!v.isObject())
        return false;
    float translate[3] = {0, 0, 0}, rotate[3] = {0, 0, 0}, scale[3] = {1, 1, 1};
    for (const std::string& key : v.getMemberNames()) {
        float* target = key == "translate" ? translate : key == "rotate" ? rotate : key == "scale" ? scale : nullptr;
        if (!target)
            return false;
        if (key == "scale" && isNumber(v[key])) {
            scale[0] = scale[1] = scale[2] = v[key].asFloat();
            continue;
        }
        if (!numbers(v[key], 3, target))
            return false;
    }
    t = rotation(rotate[0], rotate[1], rotate[2]);
    for (int r = 0; r < 3; ++r)
        t.m[r] = t.m[r] * scale[r];
    t.offset = {translate[0], translate[1], translate[2]};
    return true;
}

} // namespace

VRayPluginParameter convertParameter(const SceneFile& file, const SceneInstance& instance, const std::string& key,
                                     const Json::Value& value, const ParamDesc& desc, PluginResolver resolve,
                                     void* user)
{
    const std::string where = instance.type + " \"" + instance.name + "\": parameter \"" + key + "\"";
    auto convert = [&](const Json::Value& v) -> ParamValue {
        ParamValue out;
        out.type = desc.defaultValue.type;
        bool ok = false;
        switch (out.type) {
        case TYPE_INT:
            ok = (v.isInt() && !v.isBool()) || v.isBool();
            if (ok)
                out.i = v.isBool() ? (v.asBool() ? 1 : 0) : v.asInt();
            break;
        case TYPE_FLOAT:
            ok = isNumber(v);
            if (ok)
                out.f = v.asFloat();
            break;
        case TYPE_BOOL:
            ok = v.isBool() || (v.isInt() && !v.isBool());
            if (ok)
                out.i = v.isBool() ? (v.asBool() ? 1 : 0) : (v.asInt() != 0 ? 1 : 0);
            break;
        case TYPE_VECTOR: {
            float f[3];
            ok = numbers(v, 3, f);
            if (ok)
                out.v = {f[0], f[1], f[2]};
            break;
        }
        case TYPE_STRING:
            ok = v.isString();
            if (ok)
                out.s = v.asString();
            break;
        case TYPE_ACOLOR: {
            float f[4] = {0, 0, 0, 1};
            ok = numbers(v, 3, f) || numbers(v, 4, f);
            if (ok)
                out.c = AColor(f[0], f[1], f[2], f[3]);
            break;
        }
        case TYPE_PLUGIN:
            ok = v.isString();
            if (ok) {
                out.plugin = resolve ? resolve(v.asString(), user) : nullptr;
                if (!out.plugin)
                    file.fail(v, where + ": no plug-in instance named \"" + v.asString() + "\"");
            }
            break;
        case TYPE_TRANSFORM: ok = toTransform(v, out.t); break;
        case TYPE_FLOAT_LIST:
            ok = v.isArray();
            for (Json::ArrayIndex i = 0; ok && i < v.size(); ++i) {
                ok = isNumber(v[i]);
                if (ok)
                    out.list.push_back(v[i].asFloat());
            }
            break;
        case TYPE_TAGS:
            ok = v.isObject();
            if (ok)
                for (const std::string& tag : v.getMemberNames()) {
                    if (!v[tag].isString())
                        file.fail(v[tag], where + ": tag \"" + tag + "\": expected a string");
                    out.tags[tag] = v[tag].asString();
                }
            break;
        }
        if (!ok)
            file.fail(v, where + ": expected " + paramTypeName(out.type));
        return out;
    };

    if (value.isObject() && value.size() == 1 && value.isMember("keys")) {
        const Json::Value& keys = value["keys"];
        if (!keys.isArray() || keys.empty())
            file.fail(keys, where + ": \"keys\": expected an array of [frame, value] pairs");
        std::vector<std::pair<double, ParamValue>> out;
        for (const Json::Value& k : keys) {
            if (!k.isArray() || k.size() != 2 || !isNumber(k[0]))
                file.fail(k, where + ": \"keys\": expected an array of [frame, value] pairs");
            out.push_back({k[0].asDouble(), convert(k[1])});
        }
        return VRayPluginParameter(key, std::move(out));
    }
    return VRayPluginParameter(key, convert(value));
}

} // namespace QuorvelHost
