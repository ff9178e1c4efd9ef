#pragma once

#include <json/json.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);

// Mutations of a parsed JSON header that keep it JSON: a value, a member or
// an array element changes, so that the readers get past the parser to the
// checks of each key.
namespace QuorvelFuzz {

using Rng = std::minstd_rand;

inline size_t pick(Rng& rng, size_t count)
{
    return count == 0 ? 0 : std::uniform_int_distribution<size_t>(0, count - 1)(rng);
}

// Keys of the detection and render headers and of the legacy headers.
inline const std::vector<std::string>& headerKeys()
{
    static const std::vector<std::string> keys = [] {
        std::vector<std::string> k = {
            "boxScaleX", "boxScaleY", "boxScaleZ", "globalScale", "camOffsetX", "camOffsetY", "camOffsetZ",
            "stereoRender", "rtype", "camId", "zov_distance_to_ground", "widthDisplay", "heightDisplay", "draft",
            "projection", "aovNums", "AOVNames", "AOVTypes", "sampleNums", "coordinates", "passMode", "fileCode",
            "frame", "eye", "ipd", "fillHoleCount", "tolerance", "cameras", "numAOVS"};
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c)
                k.push_back("CamToWorld" + std::to_string(r) + std::to_string(c));
        return k;
    }();
    return keys;
}

inline Json::Value interestingInteger(Rng& rng)
{
    static const int64_t values[] = {0,     1,     -1,     2,     3,      6,          7,          8,
                                     100,   208,   255,    256,   257,    312,        4000,       4001,
                                     6000,  6008,  32767,  32768, 65535,  65536,      65536 + 208, 65537,
                                     INT32_MAX, INT32_MIN, int64_t{UINT32_MAX}, int64_t{1} << 53,
                                     INT64_MAX, INT64_MIN};
    if (pick(rng, 8) == 0)
        return Json::Value(static_cast<Json::UInt64>(UINT64_MAX));
    return Json::Value(static_cast<Json::Int64>(values[pick(rng, std::size(values))]));
}

inline Json::Value interestingReal(Rng& rng)
{
    static const double values[] = {0.0,    -0.0,   0.5,   1.0,   -1.0,  1e-45, 1.1920929e-7,
                                    0.25,   63.5,   100.0, 1e-300, 1e38, 3.4028235e38, 1e39,
                                    1e300,  -1e300, 312.5, 207.9};
    return Json::Value(values[pick(rng, std::size(values))]);
}

inline Json::Value otherType(Rng& rng)
{
    switch (pick(rng, 6)) {
    case 0: return Json::Value("x");
    case 1: return Json::Value(pick(rng, 2) == 0);
    case 2: return Json::Value(Json::nullValue);
    case 3: return Json::Value(Json::arrayValue);
    case 4: return Json::Value(Json::objectValue);
    default: return Json::Value("312");
    }
}

inline Json::Value tweaked(const Json::Value& v, Rng& rng)
{
    if (v.isBool())
        return Json::Value(!v.asBool());
    if (v.isIntegral() && v.isInt64()) {
        const Json::Int64 x = v.asInt64();
        const Json::Int64 delta = static_cast<Json::Int64>(pick(rng, 16)) + 1;
        switch (pick(rng, 5)) {
        case 0: return Json::Value(x < INT64_MAX - delta ? x + delta : x);
        case 1: return Json::Value(x > INT64_MIN + delta ? x - delta : x);
        case 2: return Json::Value(x > INT64_MIN ? -x : x);
        case 3: return Json::Value(x < (INT64_C(1) << 40) && x > -(INT64_C(1) << 40) ? x * 65536 : x);
        default: return Json::Value(x < (INT64_C(1) << 60) && x > -(INT64_C(1) << 60) ? x * 2 : x);
        }
    }
    if (v.isNumeric()) {
        const double x = v.asDouble();
        switch (pick(rng, 4)) {
        case 0: return Json::Value(-x);
        case 1: return Json::Value(x * 2.0);
        case 2: return Json::Value(std::nextafter(x, 0.0));
        default: return Json::Value(std::floor(x) + 0.5);
        }
    }
    return interestingInteger(rng);
}

inline std::string mutatedString(const std::string& s)
{
    std::vector<uint8_t> bytes(s.begin(), s.end());
    bytes.resize(std::max<size_t>(bytes.size(), 1) + 16);
    const size_t size = LLVMFuzzerMutate(bytes.data(), s.size(), bytes.size());
    return std::string(bytes.begin(), bytes.begin() + static_cast<long>(size));
}

struct JsonNode {
    Json::Value* value;
    Json::Value* parent; // null for the root
    std::string key;     // member name when the parent is an object
    Json::ArrayIndex index = 0;
};

inline void collectNodes(Json::Value& v, Json::Value* parent, const std::string& key, Json::ArrayIndex index,
                         std::vector<JsonNode>& out, int depth)
{
    out.push_back({&v, parent, key, index});
    if (depth > 6)
        return;
    if (v.isObject()) {
        for (const std::string& name : v.getMemberNames())
            collectNodes(v[name], &v, name, 0, out, depth + 1);
    } else if (v.isArray()) {
        for (Json::ArrayIndex i = 0; i < v.size(); ++i)
            collectNodes(v[i], &v, std::string(), i, out, depth + 1);
    }
}

inline void removeNode(const JsonNode& node)
{
    if (!node.parent)
        return;
    if (node.parent->isObject()) {
        node.parent->removeMember(node.key);
    } else if (node.parent->isArray()) {
        Json::Value removed;
        node.parent->removeIndex(node.index, &removed);
    }
}

// One mutation of the tree; the root stays an object.
inline void mutateJson(Json::Value& root, Rng& rng)
{
    if (!root.isObject())
        root = Json::Value(Json::objectValue);
    // Adding a header key now and then brings back the ones removed.
    if (pick(rng, 8) == 0) {
        const std::string& key = headerKeys()[pick(rng, headerKeys().size())];
        root[key] = pick(rng, 2) == 0 ? interestingInteger(rng) : interestingReal(rng);
        return;
    }
    std::vector<JsonNode> nodes;
    collectNodes(root, nullptr, std::string(), 0, nodes, 0);
    const JsonNode node = nodes.size() > 1 ? nodes[1 + pick(rng, nodes.size() - 1)] : nodes[0];
    Json::Value& v = *node.value;
    if (v.isArray() && pick(rng, 2) == 0) {
        switch (pick(rng, 4)) {
        case 0: // one more element, a copy of one of them
            v.append(v.empty() ? interestingInteger(rng)
                               : Json::Value(v[static_cast<Json::ArrayIndex>(pick(rng, v.size()))]));
            break;
        case 1: { // the whole list twice, or far more often
            const Json::Value copy = v;
            const size_t times = pick(rng, 2) == 0 ? 1 : 39;
            for (size_t t = 0; t < times && v.size() < 20000; ++t)
                for (const Json::Value& e : copy)
                    v.append(e);
            break;
        }
        case 2: v.resize(static_cast<Json::ArrayIndex>(pick(rng, v.size() + 1))); break;
        default: {
            // Two elements swap places.
            if (v.size() >= 2) {
                const auto a = static_cast<Json::ArrayIndex>(pick(rng, v.size()));
                const auto b = static_cast<Json::ArrayIndex>(pick(rng, v.size()));
                std::swap(v[a], v[b]);
            }
        }
        }
        return;
    }
    if (v.isObject() && pick(rng, 3) == 0) {
        const std::string& key = headerKeys()[pick(rng, headerKeys().size())];
        v[key] = interestingInteger(rng);
        return;
    }
    switch (pick(rng, 8)) {
    case 0: v = interestingInteger(rng); break;
    case 1: v = interestingReal(rng); break;
    case 2:
    case 3: v = tweaked(v, rng); break;
    case 4: v = otherType(rng); break;
    case 5: removeNode(node); break;
    case 6:
        if (v.isString())
            v = mutatedString(v.asString());
        else
            v = tweaked(v, rng);
        break;
    default:
        if (v.isBool() || v.isNull())
            v = Json::Value(!v.asBool());
        else
            v = tweaked(v, rng);
    }
}

inline std::string compactText(const Json::Value& v)
{
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, v);
}

inline bool parseText(const char* begin, const char* end, Json::Value& out)
{
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    return reader->parse(begin, end, &out, &errors) && out.isObject();
}

} // namespace QuorvelFuzz
