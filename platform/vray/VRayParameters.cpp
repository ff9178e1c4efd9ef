#include "VRayParameters.h"

#include <algorithm>
#include <cstdlib>

#include "VRayInterfaces.h"

namespace VUtils {

const char* paramTypeName(ParamType type)
{
    switch (type) {
    case TYPE_INT: return "an integer";
    case TYPE_FLOAT: return "a number";
    case TYPE_BOOL: return "a boolean";
    case TYPE_VECTOR: return "an array of 3 numbers";
    case TYPE_STRING: return "a string";
    case TYPE_ACOLOR: return "an array of 3 or 4 numbers";
    case TYPE_PLUGIN: return "the name of a plug-in instance";
    case TYPE_TRANSFORM: return "a transform (12 numbers, or an object with translate/rotate/scale)";
    case TYPE_FLOAT_LIST: return "an array of numbers";
    case TYPE_TAGS: return "an object of text properties";
    }
    return "a value";
}

namespace {

ParamValue blend(const ParamValue& a, const ParamValue& b, float w)
{
    ParamValue r = a;
    const float u = 1.0f - w;
    switch (a.type) {
    case TYPE_FLOAT: r.f = a.f * u + b.f * w; break;
    case TYPE_VECTOR: r.v = a.v * u + b.v * w; break;
    case TYPE_ACOLOR:
        r.c.color = a.c.color * u + b.c.color * w;
        r.c.alpha = a.c.alpha * u + b.c.alpha * w;
        break;
    case TYPE_TRANSFORM:
        for (int i = 0; i < 3; ++i)
            r.t.m[i] = a.t.m[i] * u + b.t.m[i] * w;
        r.t.offset = a.t.offset * u + b.t.offset * w;
        break;
    default: break; // stepped
    }
    return r;
}

} // namespace

VRayPluginParameter::VRayPluginParameter(std::string name, const ParamValue& value)
    : name_(std::move(name)), keys_{{0.0, value}}
{
}

VRayPluginParameter::VRayPluginParameter(std::string name, std::vector<std::pair<double, ParamValue>> keys)
    : name_(std::move(name)), keys_(std::move(keys))
{
    if (keys_.empty())
        keys_.push_back({0.0, ParamValue{}});
    std::stable_sort(keys_.begin(), keys_.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
}

ParamValue VRayPluginParameter::getValue(double time) const
{
    if (keys_.size() == 1 || time <= keys_.front().first)
        return keys_.front().second;
    if (time >= keys_.back().first)
        return keys_.back().second;
    for (size_t k = 1; k < keys_.size(); ++k) {
        if (time < keys_[k].first) {
            const auto& [t0, v0] = keys_[k - 1];
            const auto& [t1, v1] = keys_[k];
            return blend(v0, v1, static_cast<float>((time - t0) / (t1 - t0)));
        }
    }
    return keys_.back().second;
}

float VRayPluginParameter::getFloat(double time) const
{
    const ParamValue v = getValue(time);
    return v.type == TYPE_FLOAT ? v.f : static_cast<float>(v.i);
}

void VRayParameterListDesc::add(const char* name, const ParamValue& value, int count, const char* description)
{
    params_.push_back({name, value, count, description ? description : ""});
}

void VRayParameterListDesc::addParamInt(const char* name, int v, int count, const char* d) { add(name, ParamValue::ofInt(v), count, d); }
void VRayParameterListDesc::addParamFloat(const char* name, float v, int count, const char* d) { add(name, ParamValue::ofFloat(v), count, d); }
void VRayParameterListDesc::addParamBool(const char* name, bool v, int count, const char* d) { add(name, ParamValue::ofBool(v), count, d); }
void VRayParameterListDesc::addParamVector(const char* name, const Vector& v, int count, const char* d) { add(name, ParamValue::ofVector(v), count, d); }
void VRayParameterListDesc::addParamString(const char* name, const char* v, int count, const char* d) { add(name, ParamValue::ofString(v ? v : ""), count, d); }
void VRayParameterListDesc::addParamColor(const char* name, const AColor& v, const char* d) { add(name, ParamValue::ofColor(v), -1, d); }
void VRayParameterListDesc::addParamPlugin(const char* name, const char* d) { add(name, ParamValue::ofPlugin(nullptr), -1, d); }
void VRayParameterListDesc::addParamTransform(const char* name, const Transform& v, const char* d) { add(name, ParamValue::ofTransform(v), -1, d); }

void VRayParameterListDesc::addParamFloatList(const char* name, const char* d)
{
    ParamValue v;
    v.type = TYPE_FLOAT_LIST;
    add(name, v, 0, d);
}

void VRayParameterListDesc::addParamTags(const char* name, const char* d)
{
    ParamValue v;
    v.type = TYPE_TAGS;
    add(name, v, -1, d);
}

void VRayParameterListDesc::registerParameters(PluginHost* host, PluginDesc* desc)
{
    if (host)
        host->registerParameterList(desc, this);
}

VRayParameterList* VRayParameterListDesc::newParameterList() const
{
    return new VRayParameterList(*this);
}

void VRayParameterListDesc::deleteParameterList(VRayParameterList* list)
{
    delete list;
}

const ParamDesc* VRayParameterListDesc::find(const std::string& name) const
{
    for (const auto& p : params_)
        if (p.name == name)
            return &p;
    return nullptr;
}

void VRayParameterList::bind(const char* name, ParamType type, void* field)
{
    bindings_.push_back({name, type, field});
}

void VRayParameterList::setParamCache(const char* name, int* field) { bind(name, TYPE_INT, field); }
void VRayParameterList::setParamCache(const char* name, float* field) { bind(name, TYPE_FLOAT, field); }
void VRayParameterList::setParamCache(const char* name, Vector* field) { bind(name, TYPE_VECTOR, field); }
void VRayParameterList::setParamCache(const char* name, CharString* field) { bind(name, TYPE_STRING, field); }

void VRayParameterList::cacheParams(double time, const char* /*tracePoint*/)
{
    for (const Binding& b : bindings_) {
        const VRayPluginParameter* p = getParam(b.name.c_str());
        if (!p)
            continue;
        switch (b.type) {
        case TYPE_INT: *static_cast<int*>(b.field) = p->getInt(time); break;
        case TYPE_FLOAT: *static_cast<float*>(b.field) = p->getFloat(time); break;
        case TYPE_VECTOR: *static_cast<Vector*>(b.field) = p->getVector(time); break;
        case TYPE_STRING: *static_cast<CharString*>(b.field) = p->getString(time); break;
        default: break;
        }
    }
}

VRayPluginParameter* VRayParameterList::getParam(const char* name)
{
    if (!name)
        return nullptr;
    if (auto it = values_.find(name); it != values_.end())
        return it->second.get();
    if (auto it = defaults_.find(name); it != defaults_.end())
        return it->second.get();
    const ParamDesc* d = desc_.find(name);
    if (!d)
        return nullptr;
    auto& slot = defaults_[name];
    slot = std::make_unique<VRayPluginParameter>(name, d->defaultValue);
    return slot.get();
}

int VRayParameterList::setParameter(const VRayPluginParameter& param)
{
    const ParamDesc* d = desc_.find(param.getName());
    if (!d || d->defaultValue.type != param.getType())
        return 0;
    values_[d->name] = std::make_unique<VRayPluginParameter>(param);
    return 1;
}

void* vmalloc(size_t size) { return std::malloc(size ? size : 1); }
void* vrealloc(void* p, size_t size) { return std::realloc(p, size ? size : 1); }
void vfree(void* p) { std::free(p); }

} // namespace VUtils
