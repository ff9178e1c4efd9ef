#include "MayaHost.h"

#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

using QvMaya::AttributeData;
using QvMaya::NodeData;
using QvMaya::NodeType;

namespace {

struct OverrideEntry {
    std::string classification;
    std::string registrant;
    MHWRender::MDrawRegistry::DrawOverrideCreator creator;
};

struct EventCallback {
    std::string event;
    MMessage::MBasicFunction function;
    void* clientData;
};

// Maya's state as far as the plug-in can see it. Maya calls plug-ins from its
// main thread only, so there is no lock.
struct Host {
    std::vector<std::shared_ptr<NodeType>> types;
    NodeType* initialising = nullptr;
    std::vector<OverrideEntry> overrides;
    std::map<MCallbackId, EventCallback> callbacks;
    MCallbackId nextCallback = 1;
    std::vector<std::shared_ptr<NodeData>> nodes;
    std::vector<std::string> callLog;
    std::set<std::string> failingAttributes;
};

Host& host()
{
    static Host instance;
    return instance;
}

AttributeData* attr(const MObject& object)
{
    return dynamic_cast<AttributeData*>(object.data());
}

NodeData* nodeOf(const MObject& object)
{
    return dynamic_cast<NodeData*>(object.data());
}

bool typeHas(const NodeType& type, const MObject& attribute)
{
    return std::find(type.attributes.begin(), type.attributes.end(), attribute) != type.attributes.end();
}

QvMaya::PlugValue* plugValue(const MObject& nodeObject, const MObject& attribute)
{
    NodeData* n = nodeOf(nodeObject);
    AttributeData* a = attr(attribute);
    if (!n || !a || !typeHas(*n->type, attribute))
        return nullptr;
    return &n->values[a];
}

} // namespace

QvMaya::ObjectData::~ObjectData() = default;

QvMaya::NodeData::~NodeData() = default;

const MObject MObject::kNullObj;
const MDGContext MDGContext::fsNormal;

// ---- status and value types ----

MString MStatus::errorString() const
{
    switch (code_) {
    case MS::kSuccess: return "(kSuccess): No error";
    case MS::kFailure: return "(kFailure): Unexpected Internal Failure";
    case MS::kInsufficientMemory: return "(kInsufficientMemory): Insufficient Memory";
    case MS::kInvalidParameter: return "(kInvalidParameter): Invalid Parameter";
    case MS::kLicenseFailure: return "(kLicenseFailure): License Failure";
    case MS::kUnknownParameter: return "(kUnknownParameter): Unknown Parameter";
    case MS::kNotImplemented: return "(kNotImplemented): Not Implemented";
    case MS::kNotFound: return "(kNotFound): Not Found";
    case MS::kEndOfFile: return "(kEndOfFile): End of File";
    }
    return "(unknown status)";
}

void MStatus::perror(const char* text) const
{
    const std::string line = std::string(text ? text : "") + ": " + errorString().str();
    std::fprintf(stderr, "%s\n", line.c_str());
    host().callLog.push_back("perror " + line);
}

MMatrix::MMatrix()
{
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            m_[r][c] = r == c ? 1.0 : 0.0;
}

MMatrix::MMatrix(const double values[4][4])
{
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            m_[r][c] = values[r][c];
}

MMatrix MMatrix::operator*(const MMatrix& right) const
{
    MMatrix out;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) {
            double sum = 0.0;
            for (int k = 0; k < 4; ++k)
                sum += m_[r][k] * right.m_[k][c];
            out.m_[r][c] = sum;
        }
    return out;
}

MMatrix MMatrix::inverse() const
{
    // Gauss-Jordan with partial pivoting; a singular matrix gives identity.
    double a[4][8];
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 8; ++c)
            a[r][c] = c < 4 ? m_[r][c] : (c - 4 == r ? 1.0 : 0.0);
    for (int col = 0; col < 4; ++col) {
        int pivot = col;
        for (int r = col + 1; r < 4; ++r)
            if (std::fabs(a[r][col]) > std::fabs(a[pivot][col]))
                pivot = r;
        if (a[pivot][col] == 0.0)
            return MMatrix();
        for (int c = 0; c < 8; ++c)
            std::swap(a[col][c], a[pivot][c]);
        const double inv = 1.0 / a[col][col];
        for (int c = 0; c < 8; ++c)
            a[col][c] *= inv;
        for (int r = 0; r < 4; ++r) {
            if (r == col)
                continue;
            const double f = a[r][col];
            for (int c = 0; c < 8; ++c)
                a[r][c] -= f * a[col][c];
        }
    }
    MMatrix out;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            out.m_[r][c] = a[r][c + 4];
    return out;
}

MPoint MPoint::operator*(const MMatrix& m) const
{
    return MPoint(x * m(0, 0) + y * m(1, 0) + z * m(2, 0) + w * m(3, 0),
                  x * m(0, 1) + y * m(1, 1) + z * m(2, 1) + w * m(3, 1),
                  x * m(0, 2) + y * m(1, 2) + z * m(2, 2) + w * m(3, 2),
                  x * m(0, 3) + y * m(1, 3) + z * m(2, 3) + w * m(3, 3));
}

MBoundingBox::MBoundingBox(const MPoint& corner1, const MPoint& corner2)
    : min_(std::min(corner1.x, corner2.x), std::min(corner1.y, corner2.y), std::min(corner1.z, corner2.z)),
      max_(std::max(corner1.x, corner2.x), std::max(corner1.y, corner2.y), std::max(corner1.z, corner2.z))
{
}

double MDistance::asCentimeters() const
{
    switch (unit_) {
    case kInches: return value_ * 2.54;
    case kFeet: return value_ * 30.48;
    case kYards: return value_ * 91.44;
    case kMiles: return value_ * 160934.4;
    case kMillimeters: return value_ * 0.1;
    case kCentimeters: return value_;
    case kKilometers: return value_ * 100000.0;
    case kMeters: return value_ * 100.0;
    case kInvalid: break;
    }
    return 0.0;
}

// ---- attributes ----

MObject MFnStringData::create(const MString& text, MStatus* status)
{
    auto data = std::make_shared<QvMaya::StringData>();
    data->text = text.str();
    if (status)
        *status = MS::kSuccess;
    return MObject(data);
}

MFnAttribute::MFnAttribute(const MObject& attribute, MStatus* status) : object_(attribute)
{
    if (status)
        *status = attr(attribute) ? MS::kSuccess : MS::kInvalidParameter;
}

MString MFnAttribute::name() const
{
    return attr(object_) ? MString(attr(object_)->longName) : MString();
}

MString MFnAttribute::shortName() const
{
    return attr(object_) ? MString(attr(object_)->shortName) : MString();
}

#define QVMAYA_FLAG(setter, getter, field)                                                                  \
    MStatus MFnAttribute::setter(bool state)                                                                \
    {                                                                                                       \
        AttributeData* a = attr(object_);                                                                   \
        if (!a)                                                                                             \
            return MS::kInvalidParameter;                                                                   \
        a->field = state;                                                                                   \
        return MS::kSuccess;                                                                                \
    }                                                                                                       \
    bool MFnAttribute::getter() const                                                                       \
    {                                                                                                       \
        return attr(object_) && attr(object_)->field;                                                       \
    }

QVMAYA_FLAG(setKeyable, isKeyable, keyable)
QVMAYA_FLAG(setStorable, isStorable, storable)
QVMAYA_FLAG(setReadable, isReadable, readable)
QVMAYA_FLAG(setWritable, isWritable, writable)
QVMAYA_FLAG(setCached, isCached, cached)
QVMAYA_FLAG(setArray, isArray, array)
QVMAYA_FLAG(setUsesArrayDataBuilder, isUsingArrayDataBuilder, arrayDataBuilder)
QVMAYA_FLAG(setWorldSpace, isWorldSpace, worldSpace)
#undef QVMAYA_FLAG

namespace {

MObject newAttribute(AttributeData::Kind kind, const MString& longName, const MString& shortName,
                     MObject& into, MStatus* status)
{
    if (longName.length() == 0 || shortName.length() == 0) {
        if (status)
            *status = MS::kInvalidParameter;
        into = MObject();
        return into;
    }
    auto data = std::make_shared<AttributeData>();
    data->kind = kind;
    data->longName = longName.str();
    data->shortName = shortName.str();
    into = MObject(data);
    if (status)
        *status = MS::kSuccess;
    return into;
}

} // namespace

MObject MFnNumericAttribute::create(const MString& longName, const MString& shortName, MFnNumericData::Type type,
                                    double defaultValue, MStatus* status)
{
    newAttribute(AttributeData::Kind::Numeric, longName, shortName, object_, status);
    if (AttributeData* a = attr(object_)) {
        a->numericType = type;
        a->defaultNumber = defaultValue;
    }
    return object_;
}

MFnNumericData::Type MFnNumericAttribute::unitType() const
{
    return attr(object_) ? attr(object_)->numericType : MFnNumericData::kInvalid;
}

MStatus MFnNumericAttribute::getDefault(double& value) const
{
    if (!attr(object_))
        return MS::kInvalidParameter;
    value = attr(object_)->defaultNumber;
    return MS::kSuccess;
}

MStatus MFnNumericAttribute::setMin(double value)
{
    if (!attr(object_))
        return MS::kInvalidParameter;
    attr(object_)->min = value;
    return MS::kSuccess;
}

MStatus MFnNumericAttribute::setMax(double value)
{
    if (!attr(object_))
        return MS::kInvalidParameter;
    attr(object_)->max = value;
    return MS::kSuccess;
}

bool MFnNumericAttribute::hasMin() const
{
    return attr(object_) && attr(object_)->min.has_value();
}

bool MFnNumericAttribute::hasMax() const
{
    return attr(object_) && attr(object_)->max.has_value();
}

MObject MFnTypedAttribute::create(const MString& longName, const MString& shortName, MFnData::Type type,
                                  const MObject& defaultValue, MStatus* status)
{
    newAttribute(AttributeData::Kind::Typed, longName, shortName, object_, status);
    if (AttributeData* a = attr(object_)) {
        a->dataType = type;
        if (auto* text = dynamic_cast<QvMaya::StringData*>(defaultValue.data()))
            a->defaultText = text->text;
    }
    return object_;
}

MFnData::Type MFnTypedAttribute::attrType() const
{
    return attr(object_) ? attr(object_)->dataType : MFnData::kInvalid;
}

MStatus MFnTypedAttribute::getDefault(MObject& value) const
{
    if (!attr(object_))
        return MS::kInvalidParameter;
    value = MFnStringData().create(attr(object_)->defaultText);
    return MS::kSuccess;
}

MObject MFnEnumAttribute::create(const MString& longName, const MString& shortName, short defaultValue,
                                 MStatus* status)
{
    newAttribute(AttributeData::Kind::Enum, longName, shortName, object_, status);
    if (AttributeData* a = attr(object_))
        a->defaultNumber = defaultValue;
    return object_;
}

MStatus MFnEnumAttribute::addField(const MString& name, short value)
{
    AttributeData* a = attr(object_);
    if (!a)
        return MS::kInvalidParameter;
    for (const auto& [n, v] : a->fields)
        if (n == name.str() || v == value)
            return MS::kInvalidParameter;
    a->fields.emplace_back(name.str(), value);
    return MS::kSuccess;
}

MString MFnEnumAttribute::fieldName(short value, MStatus* status) const
{
    if (const AttributeData* a = attr(object_))
        for (const auto& [n, v] : a->fields)
            if (v == value) {
                if (status)
                    *status = MS::kSuccess;
                return n;
            }
    if (status)
        *status = MS::kInvalidParameter;
    return {};
}

MStatus MFnEnumAttribute::getDefault(short& value) const
{
    if (!attr(object_))
        return MS::kInvalidParameter;
    value = short(attr(object_)->defaultNumber);
    return MS::kSuccess;
}

MStatus MFnEnumAttribute::getMin(short& value) const
{
    const AttributeData* a = attr(object_);
    if (!a || a->fields.empty())
        return MS::kFailure;
    value = a->fields.front().second;
    for (const auto& field : a->fields)
        value = std::min(value, field.second);
    return MS::kSuccess;
}

MStatus MFnEnumAttribute::getMax(short& value) const
{
    const AttributeData* a = attr(object_);
    if (!a || a->fields.empty())
        return MS::kFailure;
    value = a->fields.front().second;
    for (const auto& field : a->fields)
        value = std::max(value, field.second);
    return MS::kSuccess;
}

MObject MFnUnitAttribute::create(const MString& longName, const MString& shortName, Type type, double defaultValue,
                                 MStatus* status)
{
    newAttribute(AttributeData::Kind::Unit, longName, shortName, object_, status);
    if (AttributeData* a = attr(object_)) {
        a->unitType = type;
        a->defaultNumber = defaultValue;
    }
    return object_;
}

MFnUnitAttribute::Type MFnUnitAttribute::unitType() const
{
    return attr(object_) ? attr(object_)->unitType : kInvalid;
}

MStatus MFnUnitAttribute::getDefault(double& value) const
{
    if (!attr(object_))
        return MS::kInvalidParameter;
    value = attr(object_)->defaultNumber;
    return MS::kSuccess;
}

// ---- plugs and data ----

MPlug::MPlug(const MObject& nodeObject, const MObject& attribute) : node_(nodeObject), attribute_(attribute) {}

bool MPlug::isNull(MStatus* status) const
{
    if (status)
        *status = MS::kSuccess;
    const NodeData* n = nodeOf(node_);
    return !n || !attr(attribute_) || !typeHas(*n->type, attribute_);
}

MObject MPlug::attribute(MStatus* status) const
{
    if (status)
        *status = attribute_.isNull() ? MS::kFailure : MS::kSuccess;
    return attribute_;
}

MPlug MPlug::elementByLogicalIndex(unsigned int index, MStatus* status) const
{
    const AttributeData* a = attr(attribute_);
    if (!a || !a->array || isElement()) {
        if (status)
            *status = MS::kInvalidParameter;
        return {};
    }
    MPlug element(node_, attribute_);
    element.index_ = int(index);
    if (status)
        *status = MS::kSuccess;
    return element;
}

namespace {

MStatus readNumber(const MObject& nodeObject, const MObject& attribute, int index, double& out)
{
    const AttributeData* a = attr(attribute);
    QvMaya::PlugValue* v = plugValue(nodeObject, attribute);
    if (!a || !v || a->kind == AttributeData::Kind::Typed)
        return MS::kInvalidParameter;
    if (a->array) {
        if (index < 0)
            return MS::kInvalidParameter;
        const auto it = v->elements.find(unsigned(index));
        out = it == v->elements.end() ? a->defaultNumber : it->second;
        return MS::kSuccess;
    }
    out = v->number;
    return MS::kSuccess;
}

} // namespace

MStatus MPlug::getValue(double& value) const
{
    double v = 0.0;
    const MStatus status = readNumber(node_, attribute_, index_, v);
    if (status)
        value = v;
    return status;
}

MStatus MPlug::getValue(float& value) const
{
    double v = 0.0;
    const MStatus status = getValue(v);
    if (status)
        value = float(v);
    return status;
}

MStatus MPlug::getValue(bool& value) const
{
    double v = 0.0;
    const MStatus status = getValue(v);
    if (status)
        value = v != 0.0;
    return status;
}

MStatus MPlug::getValue(int& value) const
{
    double v = 0.0;
    const MStatus status = getValue(v);
    if (status)
        value = int(v);
    return status;
}

MStatus MPlug::getValue(MDistance& value) const
{
    double v = 0.0;
    const MStatus status = getValue(v);
    if (status)
        value = MDistance(v, MDistance::kCentimeters); // internal unit
    return status;
}

MStatus MPlug::getValue(MString& value) const
{
    const AttributeData* a = attr(attribute_);
    QvMaya::PlugValue* v = plugValue(node_, attribute_);
    if (!a || !v || a->kind != AttributeData::Kind::Typed)
        return MS::kInvalidParameter;
    value = v->text;
    return MS::kSuccess;
}

#define QVMAYA_AS(Type, method, init)                                                                        \
    Type MPlug::method(MStatus* status) const                                                               \
    {                                                                                                       \
        Type value = init;                                                                                  \
        const MStatus s = getValue(value);                                                                  \
        if (status)                                                                                         \
            *status = s;                                                                                    \
        return value;                                                                                       \
    }
QVMAYA_AS(float, asFloat, 0.0f)
QVMAYA_AS(bool, asBool, false)
QVMAYA_AS(int, asInt, 0)
QVMAYA_AS(MDistance, asMDistance, MDistance())
QVMAYA_AS(MString, asString, MString())
#undef QVMAYA_AS

MStatus MPlug::setValue(double value)
{
    const AttributeData* a = attr(attribute_);
    QvMaya::PlugValue* v = plugValue(node_, attribute_);
    if (!a || !v || a->kind == AttributeData::Kind::Typed || !a->writable)
        return MS::kInvalidParameter;
    if (a->array) {
        if (index_ < 0)
            return MS::kInvalidParameter;
        v->elements[unsigned(index_)] = value;
        v->cleanElements.erase(unsigned(index_));
        return MS::kSuccess;
    }
    if (a->kind == AttributeData::Kind::Numeric) {
        switch (a->numericType) {
        case MFnNumericData::kBoolean: value = value != 0.0 ? 1.0 : 0.0; break;
        case MFnNumericData::kInt:
        case MFnNumericData::kShort:
        case MFnNumericData::kByte:
        case MFnNumericData::kChar: value = std::trunc(value); break;
        case MFnNumericData::kFloat: value = double(float(value)); break;
        default: break;
        }
    } else if (a->kind == AttributeData::Kind::Enum) {
        const short s = short(value);
        if (std::none_of(a->fields.begin(), a->fields.end(), [s](const auto& f) { return f.second == s; }))
            return MS::kInvalidParameter;
        value = s;
    }
    v->number = value;
    v->clean = false;
    return MS::kSuccess;
}

MStatus MPlug::setValue(const MString& value)
{
    const AttributeData* a = attr(attribute_);
    QvMaya::PlugValue* v = plugValue(node_, attribute_);
    if (!a || !v || a->kind != AttributeData::Kind::Typed)
        return MS::kInvalidParameter;
    v->text = value.str();
    return MS::kSuccess;
}

MStatus MArrayDataHandle::setAllClean()
{
    QvMaya::PlugValue* v = plugValue(node_, attribute_);
    if (!v)
        return MS::kInvalidParameter;
    v->arrayClean = true;
    return MS::kSuccess;
}

MArrayDataHandle MDataBlock::outputArrayValue(const MObject& attribute, MStatus* status)
{
    const AttributeData* a = attr(attribute);
    const bool ok = a && a->array && plugValue(node_, attribute);
    if (status)
        *status = ok ? MS::kSuccess : MS::kInvalidParameter;
    return ok ? MArrayDataHandle(node_, attribute) : MArrayDataHandle();
}

MStatus MDataBlock::setClean(const MPlug& plug)
{
    QvMaya::PlugValue* v = plugValue(node_, plug.attribute());
    if (!v)
        return MS::kInvalidParameter;
    if (plug.isElement())
        v->cleanElements.insert(plug.logicalIndex());
    else
        v->clean = true;
    return MS::kSuccess;
}

bool MEvaluationNode::dirtyPlugExists(const MObject& attribute, MStatus* status) const
{
    if (status)
        *status = MS::kSuccess;
    return std::find(dirty_.begin(), dirty_.end(), attribute) != dirty_.end();
}

MObject MDagPath::node(MStatus* status) const
{
    if (status)
        *status = node_.isNull() ? MS::kFailure : MS::kSuccess;
    return node_;
}

MMatrix MDagPath::inclusiveMatrix(MStatus* status) const
{
    const NodeData* n = nodeOf(node_);
    if (status)
        *status = n ? MS::kSuccess : MS::kFailure;
    return n ? n->world : MMatrix();
}

// ---- legacy viewport ----

MStatus M3dView::beginGL()
{
    host().callLog.push_back("beginGL");
    return MS::kSuccess;
}

MStatus M3dView::endGL()
{
    host().callLog.push_back("endGL");
    return MS::kSuccess;
}

MStatus M3dView::setDrawColor(unsigned int index, ColorTable table)
{
    host().callLog.push_back("setDrawColor " + std::to_string(index) + " " + std::to_string(int(table)));
    return MS::kSuccess;
}

extern "C" void glPushAttrib(GLbitfield mask)
{
    host().callLog.push_back("glPushAttrib " + std::to_string(mask));
}

extern "C" void glPopAttrib()
{
    host().callLog.push_back("glPopAttrib");
}

// ---- nodes ----

MFnDependencyNode::MFnDependencyNode(const MObject& nodeObject, MStatus* status) : node_(nodeObject)
{
    if (status)
        *status = nodeOf(nodeObject) ? MS::kSuccess : MS::kInvalidParameter;
}

MPxNode* MFnDependencyNode::userNode(MStatus* status) const
{
    NodeData* n = nodeOf(node_);
    if (status)
        *status = n ? MS::kSuccess : MS::kInvalidParameter;
    return n ? n->user.get() : nullptr;
}

MString MFnDependencyNode::typeName(MStatus* status) const
{
    const NodeData* n = nodeOf(node_);
    if (status)
        *status = n ? MS::kSuccess : MS::kInvalidParameter;
    return n ? MString(n->type->name) : MString();
}

MTypeId MFnDependencyNode::typeId(MStatus* status) const
{
    const NodeData* n = nodeOf(node_);
    if (status)
        *status = n ? MS::kSuccess : MS::kInvalidParameter;
    return n ? n->type->id : MTypeId();
}

MPxNode::MPxNode() = default;
MPxNode::~MPxNode() = default;

MStatus MPxNode::compute(const MPlug&, MDataBlock&)
{
    return MS::kUnknownParameter;
}

MStatus MPxNode::preEvaluation(const MDGContext&, const MEvaluationNode&)
{
    return MS::kSuccess;
}

MObject MPxNode::thisMObject() const
{
    return MObject(self_.lock());
}

MStatus MPxNode::addAttribute(const MObject& attribute)
{
    NodeType* type = host().initialising;
    const AttributeData* a = attr(attribute);
    if (!type || !a)
        return MS::kInvalidParameter;
    if (host().failingAttributes.count(a->longName))
        return MS::kFailure;
    for (const MObject& existing : type->attributes) {
        const AttributeData* e = attr(existing);
        if (e->longName == a->longName || e->shortName == a->shortName)
            return MS::kInvalidParameter;
    }
    type->attributes.push_back(attribute);
    return MS::kSuccess;
}

MStatus MPxNode::attributeAffects(const MObject& whenChanges, const MObject& isAffected)
{
    NodeType* type = host().initialising;
    if (!type || !typeHas(*type, whenChanges) || !typeHas(*type, isAffected))
        return MS::kInvalidParameter;
    type->affects.emplace_back(whenChanges, isAffected);
    return MS::kSuccess;
}

void MPxLocatorNode::draw(M3dView&, const MDagPath&, M3dView::DisplayStyle, M3dView::DisplayStatus) {}

bool MPxLocatorNode::isBounded() const
{
    return false;
}

MBoundingBox MPxLocatorNode::boundingBox() const
{
    return {};
}

// ---- plug-in object ----

MFnPlugin::MFnPlugin(MObject& object, const char* vendor, const char* version, const char* requiredApiVersion,
                     MStatus* status)
    : plugin_(object)
{
    auto* plugin = dynamic_cast<QvMaya::PluginData*>(object.data());
    if (plugin) {
        plugin->vendor = vendor ? vendor : "";
        plugin->version = version ? version : "";
        plugin->requiredApiVersion = requiredApiVersion ? requiredApiVersion : "";
    }
    if (status)
        *status = plugin ? MS::kSuccess : MS::kInvalidParameter;
}

MStatus MFnPlugin::registerNode(const MString& typeName, const MTypeId& typeId, MCreatorFunction creatorFunction,
                                MInitializeFunction initFunction, MPxNode::Type type, const MString* classification)
{
    Host& h = host();
    if (!creatorFunction || !initFunction || typeName.length() == 0)
        return MS::kInvalidParameter;
    for (const auto& t : h.types)
        if (t->name == typeName.str() || t->id == typeId)
            return MS::kFailure;
    auto record = std::make_shared<NodeType>();
    record->name = typeName.str();
    record->id = typeId;
    record->creator = creatorFunction;
    record->initialize = initFunction;
    record->type = type;
    record->classification = classification ? classification->str() : "";
    h.initialising = record.get();
    const MStatus status = initFunction();
    h.initialising = nullptr;
    if (!status)
        return status;
    h.types.push_back(record);
    return MS::kSuccess;
}

MStatus MFnPlugin::deregisterNode(const MTypeId& typeId)
{
    Host& h = host();
    const auto it = std::find_if(h.types.begin(), h.types.end(), [&](const auto& t) { return t->id == typeId; });
    if (it == h.types.end())
        return MS::kFailure;
    h.types.erase(it);
    return MS::kSuccess;
}

void MGlobal::displayInfo(const MString& text)
{
    host().callLog.push_back("info " + text.str());
}

MStatus MMessage::removeCallback(MCallbackId id)
{
    return host().callbacks.erase(id) ? MS::kSuccess : MS::kFailure;
}

MCallbackId MEventMessage::addEventCallback(const MString& eventName, MMessage::MBasicFunction func,
                                            void* clientData, MStatus* status)
{
    Host& h = host();
    if (!func || eventName.length() == 0) {
        if (status)
            *status = MS::kInvalidParameter;
        return 0;
    }
    const MCallbackId id = h.nextCallback++;
    h.callbacks[id] = {eventName.str(), func, clientData};
    if (status)
        *status = MS::kSuccess;
    return id;
}

// ---- viewport 2.0 ----

namespace MHWRender {

MUserData::~MUserData() = default;

void MUIDrawManager::beginDrawable(Selectability selectability, unsigned int selectionName)
{
    Drawable d;
    d.selectability = selectability;
    d.selectionName = selectionName;
    drawables_.push_back(std::move(d));
    open_ = true;
}

void MUIDrawManager::endDrawable()
{
    if (open_)
        drawables_.back().ended = true;
    open_ = false;
}

void MUIDrawManager::setColor(const MColor& colour)
{
    if (open_)
        drawables_.back().colour = colour;
}

void MUIDrawManager::setDepthPriority(unsigned int priority)
{
    if (open_)
        drawables_.back().depthPriority = priority;
}

void MUIDrawManager::mesh(Primitive mode, const MPointArray& position, const MVectorArray*, const MColorArray*,
                          const MUintArray*, const MPointArray*)
{
    if (open_)
        drawables_.back().meshes.push_back({mode, position});
}

MPxDrawOverride::MPxDrawOverride(const MObject&, GeometryDrawOverrideCb callback, bool isAlwaysDirty)
    : callback_(callback), alwaysDirty_(isAlwaysDirty)
{
}

MPxDrawOverride::~MPxDrawOverride() = default;

DrawAPI MPxDrawOverride::supportedDrawAPIs() const
{
    return kOpenGL;
}

bool MPxDrawOverride::isBounded(const MDagPath&, const MDagPath&) const
{
    return false;
}

MBoundingBox MPxDrawOverride::boundingBox(const MDagPath&, const MDagPath&) const
{
    return {};
}

bool MPxDrawOverride::hasUIDrawables() const
{
    return false;
}

void MPxDrawOverride::addUIDrawables(const MDagPath&, MUIDrawManager&, const MFrameContext&, const MUserData*) {}

bool MPxDrawOverride::traceCallSequence() const
{
    return false;
}

void MPxDrawOverride::handleTraceMessage(const MString&) const {}

MMatrix MPxDrawOverride::transform(const MDagPath& objPath, const MDagPath&) const
{
    return objPath.inclusiveMatrix();
}

MStatus MDrawRegistry::registerDrawOverrideCreator(const MString& drawClassification, const MString& registrantId,
                                                   DrawOverrideCreator creator)
{
    Host& h = host();
    if (!creator)
        return MS::kInvalidParameter;
    for (const auto& e : h.overrides)
        if (e.classification == drawClassification.str() && e.registrant == registrantId.str())
            return MS::kFailure;
    h.overrides.push_back({drawClassification.str(), registrantId.str(), creator});
    return MS::kSuccess;
}

MStatus MDrawRegistry::deregisterDrawOverrideCreator(const MString& drawClassification, const MString& registrantId)
{
    Host& h = host();
    const auto it = std::find_if(h.overrides.begin(), h.overrides.end(), [&](const OverrideEntry& e) {
        return e.classification == drawClassification.str() && e.registrant == registrantId.str();
    });
    if (it == h.overrides.end())
        return MS::kFailure;
    h.overrides.erase(it);
    return MS::kSuccess;
}

MStatus MRenderer::setGeometryDrawDirty(MObject object, bool)
{
    NodeData* n = nodeOf(object);
    if (!n)
        return MS::kInvalidParameter;
    ++n->geometryDrawDirty;
    return MS::kSuccess;
}

MColor MGeometryUtilities::wireframeColor(const MDagPath& path)
{
    const NodeData* n = nodeOf(path.node());
    return n ? n->wireframeColour : MColor();
}

DisplayStatus MGeometryUtilities::displayStatus(const MDagPath& path, MStatus* status)
{
    const NodeData* n = nodeOf(path.node());
    if (status)
        *status = n ? MS::kSuccess : MS::kInvalidParameter;
    return n ? n->displayStatus : kNoStatus;
}

const unsigned int MRenderItem::sDormantFilledDepthPriority = 0;
const unsigned int MRenderItem::sDormantWireDepthPriority = 1;
const unsigned int MRenderItem::sHiliteWireDepthPriority = 2;
const unsigned int MRenderItem::sActiveWireDepthPriority = 3;

} // namespace MHWRender

// ---- the host's own interface ----

namespace QvMayaHost {

std::unique_ptr<LoadedPlugin> LoadedPlugin::open(const std::string& path, std::string& error)
{
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* message = dlerror();
        error = message ? message : "cannot open " + path;
        return nullptr;
    }
    std::unique_ptr<LoadedPlugin> plugin(new LoadedPlugin);
    plugin->handle_ = handle;
    plugin->initialize_ = reinterpret_cast<MStatus (*)(MObject)>(dlsym(handle, "initializePlugin"));
    plugin->uninitialize_ = reinterpret_cast<MStatus (*)(MObject)>(dlsym(handle, "uninitializePlugin"));
    if (!plugin->initialize_ || !plugin->uninitialize_) {
        error = path + " exports no initializePlugin/uninitializePlugin";
        return nullptr;
    }
    auto data = std::make_shared<QvMaya::PluginData>();
    data->path = path;
    plugin->object_ = MObject(data);
    return plugin;
}

LoadedPlugin::~LoadedPlugin()
{
    if (handle_)
        dlclose(handle_);
}

MStatus LoadedPlugin::initialize()
{
    return initialize_(object_);
}

MStatus LoadedPlugin::uninitialize()
{
    return uninitialize_(object_);
}

std::string LoadedPlugin::apiVersion() const
{
    const auto* version = static_cast<const char*>(dlsym(handle_, "MApiVersion"));
    return version ? version : "";
}

const QvMaya::PluginData& LoadedPlugin::object() const
{
    return *static_cast<const QvMaya::PluginData*>(object_.data());
}

std::shared_ptr<const NodeType> findNodeType(const std::string& name)
{
    for (const auto& t : host().types)
        if (t->name == name)
            return t;
    return nullptr;
}

bool drawOverrideRegistered(const std::string& classification, const std::string& registrant)
{
    for (const auto& e : host().overrides)
        if (e.classification == classification && e.registrant == registrant)
            return true;
    return false;
}

MObject createNode(const std::string& typeName, MStatus* status)
{
    std::shared_ptr<NodeType> type;
    for (const auto& t : host().types)
        if (t->name == typeName)
            type = t;
    if (!type) {
        if (status)
            *status = MS::kNotFound;
        return {};
    }
    auto data = std::make_shared<NodeData>();
    data->type = type;
    for (const MObject& a : type->attributes) {
        const AttributeData* ad = attr(a);
        auto& value = data->values[ad];
        value.number = ad->defaultNumber;
        value.text = ad->defaultText;
    }
    data->user.reset(static_cast<MPxNode*>(type->creator()));
    if (!data->user) {
        if (status)
            *status = MS::kFailure;
        return {};
    }
    QvMaya::NodeAccess::bind(*data->user, data);
    host().nodes.push_back(data);
    if (status)
        *status = MS::kSuccess;
    return MObject(data);
}

void deleteNode(const MObject& nodeObject)
{
    auto& nodes = host().nodes;
    nodes.erase(std::remove_if(nodes.begin(), nodes.end(),
                               [&](const auto& n) { return n.get() == nodeObject.data(); }),
                nodes.end());
}

QvMaya::NodeData* nodeData(const MObject& nodeObject)
{
    return nodeOf(nodeObject);
}

const QvMaya::AttributeData* attributeData(const MObject& attribute)
{
    return attr(attribute);
}

MObject findAttribute(const MObject& nodeObject, const std::string& name)
{
    const NodeData* n = nodeOf(nodeObject);
    if (!n)
        return {};
    for (const MObject& a : n->type->attributes)
        if (attr(a)->longName == name || attr(a)->shortName == name)
            return a;
    return {};
}

MStatus setAttribute(const MObject& nodeObject, const std::string& name, double value)
{
    const MObject a = findAttribute(nodeObject, name);
    if (a.isNull())
        return MS::kNotFound;
    return MPlug(nodeObject, a).setValue(value);
}

MStatus setAttribute(const MObject& nodeObject, const std::string& name, const std::string& value)
{
    const MObject a = findAttribute(nodeObject, name);
    if (a.isNull())
        return MS::kNotFound;
    return MPlug(nodeObject, a).setValue(MString(value));
}

void setWorldMatrix(const MObject& nodeObject, const MMatrix& world)
{
    if (NodeData* n = nodeOf(nodeObject))
        n->world = world;
}

void setDisplayStatus(const MObject& nodeObject, MHWRender::DisplayStatus status)
{
    if (NodeData* n = nodeOf(nodeObject))
        n->displayStatus = status;
}

void setWireframeColour(const MObject& nodeObject, const MColor& colour)
{
    if (NodeData* n = nodeOf(nodeObject))
        n->wireframeColour = colour;
}

int geometryDrawDirtyCount(const MObject& nodeObject)
{
    const NodeData* n = nodeOf(nodeObject);
    return n ? n->geometryDrawDirty : 0;
}

void fireEvent(const std::string& name)
{
    // Copied first: a callback may add or remove callbacks.
    std::vector<std::pair<MMessage::MBasicFunction, void*>> targets;
    for (const auto& [id, cb] : host().callbacks)
        if (cb.event == name)
            targets.emplace_back(cb.function, cb.clientData);
    for (const auto& [function, client] : targets)
        function(client);
}

std::size_t eventCallbackCount()
{
    return host().callbacks.size();
}

std::vector<std::string> takeCallLog()
{
    return std::exchange(host().callLog, {});
}

void failAddAttribute(const std::string& longName)
{
    host().failingAttributes.insert(longName);
}

void clearFailures()
{
    host().failingAttributes.clear();
}

DrawSession::DrawSession(const MObject& nodeObject) : node_(nodeObject)
{
    const NodeData* n = nodeOf(nodeObject);
    if (!n)
        return;
    for (const auto& e : host().overrides)
        if (e.classification == n->type->classification) {
            override_ = e.creator(nodeObject);
            break;
        }
}

DrawSession::~DrawSession()
{
    delete data_;
    delete override_;
}

MHWRender::MUIDrawManager DrawSession::draw(unsigned int displayStyle)
{
    MHWRender::MUIDrawManager manager;
    if (!override_)
        return manager;
    const MDagPath path(node_);
    const MDagPath camera;
    const MHWRender::MFrameContext context(displayStyle);
    MHWRender::MUserData* data = override_->prepareForDraw(path, camera, context, data_);
    if (data != data_) {
        delete data_;
        data_ = data;
    }
    if (override_->hasUIDrawables())
        override_->addUIDrawables(path, manager, context, data_);
    if (data_ && data_->deleteAfterUse()) {
        delete data_;
        data_ = nullptr;
    }
    return manager;
}

} // namespace QvMayaHost
