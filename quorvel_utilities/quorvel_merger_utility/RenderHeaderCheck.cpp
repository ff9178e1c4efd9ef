#include "RenderHeaderCheck.h"

#include <cstdint>
#include <cstring>

#include <json/json.h>

namespace Quorvel::Merger {

namespace {

enum class Kind { Int, UInt, Real, Bool, Array };

struct Key {
    const char* name;
    Kind kind;
};

constexpr Key kGroupKeys[] = {
    {"frame", Kind::Int},          {"camOffsetX", Kind::Int},    {"camOffsetY", Kind::Int},
    {"camOffsetZ", Kind::Int},     {"boxScaleX", Kind::Real},    {"boxScaleY", Kind::Real},
    {"boxScaleZ", Kind::Real},     {"globalScale", Kind::Real},  {"heightDisplay", Kind::Int},
    {"widthDisplay", Kind::Int},   {"zov_distance_to_ground", Kind::Real}, {"draft", Kind::Int},
    {"passMode", Kind::Int},
};

// Every version.
constexpr Key kSampleKeys[] = {
    {"stereoRender", Kind::Bool}, {"projection", Kind::Int}, {"sampleNums", Kind::UInt}, {"aovNums", Kind::UInt},
    {"AOVNames", Kind::Array},    {"AOVTypes", Kind::Array}, {"fileCode", Kind::Int},
};

// Version 8 on.
constexpr Key kPairingKeys[] = {
    {"eye", Kind::Int}, {"fillHoleCount", Kind::UInt}, {"ipd", Kind::Real}, {"tolerance", Kind::Real},
};

bool sound(const Json::Value& json, const char* name, Kind kind)
{
    const Json::Value* v = json.find(name, name + std::strlen(name));
    if (!v)
        return false;
    switch (kind) {
    case Kind::Int: return v->isInt();
    case Kind::UInt: return v->isUInt64();
    case Kind::Real: return v->isNumeric();
    case Kind::Bool: return v->isBool();
    case Kind::Array: return v->isArray();
    }
    return false;
}

template <std::size_t N>
const char* firstDamaged(const Json::Value& json, const Key (&keys)[N])
{
    for (const Key& key : keys)
        if (!sound(json, key.name, key.kind))
            return key.name;
    return nullptr;
}

} // namespace

std::string damagedHeaderKey(const BinIO::QVLRender_header& header)
{
    const Json::Value& json = header.json();
    if (!json.isObject())
        return "{";
    if (const char* key = firstDamaged(json, kGroupKeys))
        return key;
    if (const char* key = firstDamaged(json, kSampleKeys))
        return key;
    uint8_t major = 0;
    uint8_t minor = 0;
    header.getVersion(major, minor);
    if (major < 8)
        return {};
    if (const char* key = firstDamaged(json, kPairingKeys))
        return key;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) {
            const std::string key = "CamToWorld" + std::to_string(r) + std::to_string(c);
            if (!sound(json, key.c_str(), Kind::Real))
                return key;
        }
    if (major > 8 && minor != 0 && !sound(json, "cameras", Kind::Array))
        return "cameras";
    return {};
}

bool readGroupKey(const BinIO::QVLRender_header& header, BinIO::header_v09& key)
{
    const Json::Value& j = header.json();
    if (!j.isObject() || firstDamaged(j, kGroupKeys) != nullptr)
        return false;
    // The conversions of the core's header reader, for the values checked.
    key.frame = j["frame"].asInt();
    key.camOffsetX = j["camOffsetX"].asInt();
    key.camOffsetY = j["camOffsetY"].asInt();
    key.camOffsetZ = j["camOffsetZ"].asInt();
    key.boxScaleX = j["boxScaleX"].asFloat();
    key.boxScaleY = j["boxScaleY"].asFloat();
    key.boxScaleZ = j["boxScaleZ"].asFloat();
    key.globalScale = j["globalScale"].asFloat();
    if (!(key.globalScale > 0.0f))
        key.globalScale = 1.0f;
    key.heightDisplay = static_cast<uint16_t>(j["heightDisplay"].asInt());
    key.widthDisplay = static_cast<uint16_t>(j["widthDisplay"].asInt());
    key.zov_distance_to_ground = j["zov_distance_to_ground"].asFloat();
    key.draft = j["draft"].asInt();
    key.passMode = j["passMode"].asInt();
    return true;
}

} // namespace Quorvel::Merger
