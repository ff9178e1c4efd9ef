#pragma once

// Plug-in parameters: a descriptor lists a plug-in type's parameters with
// their defaults; a parameter list holds one instance's values, possibly
// animated, and copies them into bound fields on cacheParams.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "VRayTypes.h"

namespace VUtils {

class PluginBase;

enum ParamType : int {
    TYPE_INT,
    TYPE_FLOAT,
    TYPE_BOOL,
    TYPE_VECTOR,
    TYPE_STRING,
    TYPE_ACOLOR,
    TYPE_PLUGIN,
    TYPE_TRANSFORM,
    TYPE_FLOAT_LIST,
    TYPE_TAGS, // named text properties
};

const char* paramTypeName(ParamType type);

struct ParamValue {
    ParamType type = TYPE_INT;
    int i = 0;
    float f = 0.0f;
    Vector v;
    AColor c;
    std::string s;
    Transform t;
    PluginBase* plugin = nullptr;
    std::vector<float> list;
    std::map<std::string, std::string> tags;

    static ParamValue ofInt(int x) { ParamValue p; p.type = TYPE_INT; p.i = x; return p; }
    static ParamValue ofFloat(float x) { ParamValue p; p.type = TYPE_FLOAT; p.f = x; return p; }
    static ParamValue ofBool(bool x) { ParamValue p; p.type = TYPE_BOOL; p.i = x ? 1 : 0; return p; }
    static ParamValue ofVector(const Vector& x) { ParamValue p; p.type = TYPE_VECTOR; p.v = x; return p; }
    static ParamValue ofString(const std::string& x) { ParamValue p; p.type = TYPE_STRING; p.s = x; return p; }
    static ParamValue ofColor(const AColor& x) { ParamValue p; p.type = TYPE_ACOLOR; p.c = x; return p; }
    static ParamValue ofPlugin(PluginBase* x) { ParamValue p; p.type = TYPE_PLUGIN; p.plugin = x; return p; }
    static ParamValue ofTransform(const Transform& x) { ParamValue p; p.type = TYPE_TRANSFORM; p.t = x; return p; }
};

// One named parameter value; animated values are keys in time order, held
// constant outside them and linearly blended between them (numbers, vectors,
// colours and transforms) or stepped (everything else).
class VRayPluginParameter {
public:
    VRayPluginParameter(std::string name, const ParamValue& value);
    VRayPluginParameter(std::string name, std::vector<std::pair<double, ParamValue>> keys);

    const char* getName() const { return name_.c_str(); }
    ParamType getType() const { return keys_.front().second.type; }
    bool isAnimated() const { return keys_.size() > 1; }
    ParamValue getValue(double time = 0.0) const;

    int getInt(double time = 0.0) const { return getValue(time).i; }
    float getFloat(double time = 0.0) const;
    bool getBool(double time = 0.0) const { return getValue(time).i != 0; }
    Vector getVector(double time = 0.0) const { return getValue(time).v; }
    std::string getString(double time = 0.0) const { return getValue(time).s; }
    AColor getColor(double time = 0.0) const { return getValue(time).c; }
    Transform getTransform(double time = 0.0) const { return getValue(time).t; }
    PluginBase* getPlugin(double time = 0.0) const { return getValue(time).plugin; }

private:
    std::string name_;
    std::vector<std::pair<double, ParamValue>> keys_;
};

struct ParamDesc {
    std::string name;
    ParamValue defaultValue;
    int count = -1; // -1: single value
    std::string description;
};

class PluginHost;
class PluginDesc;
class VRayParameterList;

class VRayParameterListDesc {
public:
    void addParamInt(const char* name, int defaultValue, int count = -1, const char* description = "");
    void addParamFloat(const char* name, float defaultValue, int count = -1, const char* description = "");
    void addParamBool(const char* name, bool defaultValue, int count = -1, const char* description = "");
    void addParamVector(const char* name, const Vector& defaultValue, int count = -1, const char* description = "");
    void addParamString(const char* name, const char* defaultValue, int count = -1, const char* description = "");
    // Types the host's own plug-ins use.
    void addParamColor(const char* name, const AColor& defaultValue, const char* description = "");
    void addParamPlugin(const char* name, const char* description = "");
    void addParamTransform(const char* name, const Transform& defaultValue, const char* description = "");
    void addParamFloatList(const char* name, const char* description = "");
    void addParamTags(const char* name, const char* description = "");

    void registerParameters(PluginHost* host, PluginDesc* desc);

    VRayParameterList* newParameterList() const;
    static void deleteParameterList(VRayParameterList* list);

    const std::vector<ParamDesc>& params() const { return params_; }
    const ParamDesc* find(const std::string& name) const;

private:
    void add(const char* name, const ParamValue& value, int count, const char* description);
    std::vector<ParamDesc> params_;
};

class VRayParameterList {
public:
    explicit VRayParameterList(const VRayParameterListDesc& desc) : desc_(desc) {}

    // Binds a field that cacheParams refreshes with the parameter's value.
    void setParamCache(const char* name, int* field);
    void setParamCache(const char* name, float* field);
    void setParamCache(const char* name, Vector* field);
    void setParamCache(const char* name, CharString* field);
    void cacheParams(double time, const char* tracePoint);

    // The instance's value, or the declared default; null for an unknown name.
    VRayPluginParameter* getParam(const char* name);
    // Takes a copy of the value; 0 when the name is not declared or the type
    // does not match the declaration.
    int setParameter(const VRayPluginParameter& param);

    const VRayParameterListDesc& desc() const { return desc_; }

private:
    struct Binding {
        std::string name;
        ParamType type;
        void* field;
    };
    void bind(const char* name, ParamType type, void* field);

    const VRayParameterListDesc& desc_;
    std::map<std::string, std::unique_ptr<VRayPluginParameter>> values_;
    std::map<std::string, std::unique_ptr<VRayPluginParameter>> defaults_;
    std::vector<Binding> bindings_;
};

} // namespace VUtils
