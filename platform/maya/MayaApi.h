#pragma once

// The part of Maya's OpenMaya and OpenMayaUI interface that the display
// plug-in calls, written for a host of our own (MayaHost.h): nodes,
// attributes, plugs, the plug-in object and the event callbacks. Names and
// signatures follow Maya's so that the plug-in reads as a Maya plug-in.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#define QVMAYA_API __attribute__((visibility("default")))

namespace MS {
enum MStatusCode {
    kSuccess = 0,
    kFailure,
    kInsufficientMemory,
    kInvalidParameter,
    kLicenseFailure,
    kUnknownParameter,
    kNotImplemented,
    kNotFound,
    kEndOfFile,
};
} // namespace MS

class QVMAYA_API MString {
public:
    MString() = default;
    MString(const char* text) : text_(text ? text : "") {}
    MString(const std::string& text) : text_(text) {}

    const char* asChar() const { return text_.c_str(); }
    unsigned int length() const { return unsigned(text_.size()); }
    bool operator==(const MString& other) const { return text_ == other.text_; }
    bool operator!=(const MString& other) const { return text_ != other.text_; }
    MString operator+(const MString& other) const { return MString(text_ + other.text_); }
    const std::string& str() const { return text_; }

private:
    std::string text_;
};

class QVMAYA_API MStatus {
public:
    MStatus() = default;
    MStatus(MS::MStatusCode code) : code_(code) {}

    explicit operator bool() const { return code_ == MS::kSuccess; }
    bool operator==(MS::MStatusCode code) const { return code_ == code; }
    bool operator!=(MS::MStatusCode code) const { return code_ != code; }
    MS::MStatusCode statusCode() const { return code_; }
    MString errorString() const;
    // Writes "text: error string" and a line end to the standard error stream.
    void perror(const char* text) const;
    void perror(const MString& text) const { perror(text.asChar()); }

private:
    MS::MStatusCode code_ = MS::kSuccess;
};

class QVMAYA_API MTypeId {
public:
    MTypeId() = default;
    explicit MTypeId(unsigned int id) : id_(id) {}
    unsigned int id() const { return id_; }
    bool operator==(const MTypeId& other) const { return id_ == other.id_; }

private:
    unsigned int id_ = 0;
};

namespace QvMaya {
// What an MObject refers to; the concrete kinds live in the host.
struct ObjectData {
    virtual ~ObjectData();
};
struct NodeAccess;
} // namespace QvMaya

class QVMAYA_API MObject {
public:
    MObject() = default;
    explicit MObject(std::shared_ptr<QvMaya::ObjectData> data) : data_(std::move(data)) {}

    bool isNull() const { return !data_; }
    bool operator==(const MObject& other) const { return data_ == other.data_; }
    bool operator!=(const MObject& other) const { return data_ != other.data_; }
    QvMaya::ObjectData* data() const { return data_.get(); }
    const std::shared_ptr<QvMaya::ObjectData>& shared() const { return data_; }

    static const MObject kNullObj;

private:
    std::shared_ptr<QvMaya::ObjectData> data_;
};

class QVMAYA_API MPoint;

class QVMAYA_API MMatrix {
public:
    MMatrix(); // identity
    explicit MMatrix(const double values[4][4]);

    double operator()(unsigned row, unsigned column) const { return m_[row][column]; }
    double& operator()(unsigned row, unsigned column) { return m_[row][column]; }
    MMatrix operator*(const MMatrix& right) const;
    MMatrix inverse() const;

private:
    double m_[4][4];
};

class QVMAYA_API MPoint {
public:
    MPoint() = default;
    MPoint(double px, double py, double pz, double pw = 1.0) : x(px), y(py), z(pz), w(pw) {}

    // Row vector times matrix, as Maya transforms points.
    MPoint operator*(const MMatrix& m) const;

    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
    double w = 1.0;
};

class QVMAYA_API MPointArray {
public:
    MStatus append(const MPoint& p)
    {
        points_.push_back(p);
        return MS::kSuccess;
    }
    MStatus append(double x, double y, double z, double w = 1.0) { return append(MPoint(x, y, z, w)); }
    unsigned int length() const { return unsigned(points_.size()); }
    MStatus setLength(unsigned int length)
    {
        points_.resize(length);
        return MS::kSuccess;
    }
    MStatus clear()
    {
        points_.clear();
        return MS::kSuccess;
    }
    const MPoint& operator[](unsigned int i) const { return points_[i]; }
    MPoint& operator[](unsigned int i) { return points_[i]; }

private:
    std::vector<MPoint> points_;
};

class QVMAYA_API MColor {
public:
    MColor() = default;
    MColor(float red, float green, float blue, float alpha = 1.0f) : r(red), g(green), b(blue), a(alpha) {}

    float r = 0.0f;
    float g = 0.0f;
    float b = 0.0f;
    float a = 1.0f;
};

class QVMAYA_API MBoundingBox {
public:
    MBoundingBox() = default;
    MBoundingBox(const MPoint& corner1, const MPoint& corner2);

    MPoint min() const { return min_; }
    MPoint max() const { return max_; }

private:
    MPoint min_;
    MPoint max_;
};

class QVMAYA_API MDistance {
public:
    enum Unit { kInvalid, kInches, kFeet, kYards, kMiles, kMillimeters, kCentimeters, kKilometers, kMeters };

    MDistance() = default;
    MDistance(double value, Unit unit = kCentimeters) : value_(value), unit_(unit) {}

    double value() const { return value_; }
    Unit unit() const { return unit_; }
    double asCentimeters() const;
    double asMeters() const { return asCentimeters() / 100.0; }

private:
    double value_ = 0.0;
    Unit unit_ = kCentimeters;
};

class QVMAYA_API MFnNumericData {
public:
    enum Type { kInvalid, kBoolean, kByte, kChar, kShort, kInt, kFloat, kDouble };
};

class QVMAYA_API MFnData {
public:
    enum Type { kInvalid, kNumeric, kString };
};

class QVMAYA_API MFnStringData {
public:
    MObject create(const MString& text, MStatus* status = nullptr);
};

// Function sets over an attribute object. Flags left alone keep Maya's
// defaults: readable, writable, storable, cached, not keyable, not an array.
class QVMAYA_API MFnAttribute {
public:
    MFnAttribute() = default;
    explicit MFnAttribute(const MObject& attribute, MStatus* status = nullptr);

    MObject object() const { return object_; }
    MString name() const;
    MString shortName() const;

    MStatus setKeyable(bool state);
    MStatus setStorable(bool state);
    MStatus setReadable(bool state);
    MStatus setWritable(bool state);
    MStatus setCached(bool state);
    MStatus setArray(bool state);
    MStatus setUsesArrayDataBuilder(bool state);
    MStatus setWorldSpace(bool state);
    bool isKeyable() const;
    bool isStorable() const;
    bool isReadable() const;
    bool isWritable() const;
    bool isCached() const;
    bool isArray() const;
    bool isUsingArrayDataBuilder() const;
    bool isWorldSpace() const;

protected:
    MObject object_;
};

class QVMAYA_API MFnNumericAttribute : public MFnAttribute {
public:
    using MFnAttribute::MFnAttribute;
    MObject create(const MString& longName, const MString& shortName, MFnNumericData::Type type,
                   double defaultValue = 0.0, MStatus* status = nullptr);
    MFnNumericData::Type unitType() const;
    MStatus getDefault(double& value) const;
    MStatus setMin(double value);
    MStatus setMax(double value);
    bool hasMin() const;
    bool hasMax() const;
};

class QVMAYA_API MFnTypedAttribute : public MFnAttribute {
public:
    using MFnAttribute::MFnAttribute;
    MObject create(const MString& longName, const MString& shortName, MFnData::Type type,
                   const MObject& defaultValue = MObject::kNullObj, MStatus* status = nullptr);
    MFnData::Type attrType() const;
    MStatus getDefault(MObject& value) const;
};

class QVMAYA_API MFnEnumAttribute : public MFnAttribute {
public:
    using MFnAttribute::MFnAttribute;
    MObject create(const MString& longName, const MString& shortName, short defaultValue = 0,
                   MStatus* status = nullptr);
    MStatus addField(const MString& name, short value);
    MString fieldName(short value, MStatus* status = nullptr) const;
    MStatus getDefault(short& value) const;
    MStatus getMin(short& value) const;
    MStatus getMax(short& value) const;
};

class QVMAYA_API MFnUnitAttribute : public MFnAttribute {
public:
    enum Type { kInvalid, kAngle, kDistance, kTime };

    using MFnAttribute::MFnAttribute;
    MObject create(const MString& longName, const MString& shortName, Type type, double defaultValue = 0.0,
                   MStatus* status = nullptr);
    Type unitType() const;
    MStatus getDefault(double& value) const;
};

class QVMAYA_API MPlug {
public:
    MPlug() = default;
    MPlug(const MObject& node, const MObject& attribute);

    bool isNull(MStatus* status = nullptr) const;
    MObject node() const { return node_; }
    MObject attribute(MStatus* status = nullptr) const;
    bool isElement() const { return index_ >= 0; }
    unsigned int logicalIndex() const { return index_ < 0 ? 0u : unsigned(index_); }
    MPlug elementByLogicalIndex(unsigned int index, MStatus* status = nullptr) const;
    bool operator==(const MObject& attribute) const { return attribute == attribute_; }

    MStatus getValue(float& value) const;
    MStatus getValue(double& value) const;
    MStatus getValue(bool& value) const;
    MStatus getValue(int& value) const;
    MStatus getValue(MDistance& value) const;
    MStatus getValue(MString& value) const;
    float asFloat(MStatus* status = nullptr) const;
    bool asBool(MStatus* status = nullptr) const;
    int asInt(MStatus* status = nullptr) const;
    MDistance asMDistance(MStatus* status = nullptr) const;
    MString asString(MStatus* status = nullptr) const;

    MStatus setValue(double value);
    MStatus setValue(const MString& value);

private:
    MObject node_;
    MObject attribute_;
    int index_ = -1;
};

class QVMAYA_API MArrayDataHandle {
public:
    MArrayDataHandle() = default;
    MArrayDataHandle(const MObject& node, const MObject& attribute) : node_(node), attribute_(attribute) {}
    MStatus setAllClean();

private:
    MObject node_;
    MObject attribute_;
};

class QVMAYA_API MDataBlock {
public:
    explicit MDataBlock(const MObject& node) : node_(node) {}
    MArrayDataHandle outputArrayValue(const MObject& attribute, MStatus* status = nullptr);
    MStatus setClean(const MPlug& plug);

private:
    MObject node_;
};

class QVMAYA_API MDGContext {
public:
    MDGContext() = default;
    explicit MDGContext(double time) : timed_(true), time_(time) {}
    bool isNormal() const { return !timed_; }
    double time() const { return time_; }

    static const MDGContext fsNormal;

private:
    bool timed_ = false;
    double time_ = 0.0;
};

// One node as the evaluation manager sees it, with the attributes whose plugs
// it found dirty.
class QVMAYA_API MEvaluationNode {
public:
    MEvaluationNode(const MObject& node, std::vector<MObject> dirtyAttributes)
        : node_(node), dirty_(std::move(dirtyAttributes))
    {
    }
    bool dirtyPlugExists(const MObject& attribute, MStatus* status = nullptr) const;
    MObject dependencyNode(MStatus* status = nullptr) const { return (void)status, node_; }

private:
    MObject node_;
    std::vector<MObject> dirty_;
};

class QVMAYA_API MDagPath {
public:
    MDagPath() = default;
    explicit MDagPath(const MObject& node) : node_(node) {}
    MObject node(MStatus* status = nullptr) const;
    bool isValid() const { return !node_.isNull(); }
    MMatrix inclusiveMatrix(MStatus* status = nullptr) const;

private:
    MObject node_;
};

class QVMAYA_API M3dView {
public:
    enum DisplayStyle { kBoundingBox, kFlatShaded, kGouraudShaded, kWireFrame, kPoints };
    enum DisplayStatus {
        kActive,
        kLive,
        kDormant,
        kInvisible,
        kHilite,
        kTemplate,
        kActiveTemplate,
        kActiveComponent,
        kLead,
        kIntermediateObject,
        kActiveAffected,
        kNoStatus,
    };
    enum ColorTable { kActiveColors = 0, kDormantColors = 2, kTemplateColor = 3, kBackgroundColor = 4 };

    MStatus beginGL();
    MStatus endGL();
    MStatus setDrawColor(unsigned int index, ColorTable table = kActiveColors);
};

class MPxNode;
class MDataBlock;

class QVMAYA_API MFnDependencyNode {
public:
    MFnDependencyNode() = default;
    explicit MFnDependencyNode(const MObject& node, MStatus* status = nullptr);
    MPxNode* userNode(MStatus* status = nullptr) const;
    MString typeName(MStatus* status = nullptr) const;
    MTypeId typeId(MStatus* status = nullptr) const;

private:
    MObject node_;
};

class QVMAYA_API MPxNode {
public:
    enum Type { kDependNode, kLocatorNode };

    MPxNode();
    virtual ~MPxNode();

    virtual MStatus compute(const MPlug& plug, MDataBlock& data);
    virtual MStatus preEvaluation(const MDGContext& context, const MEvaluationNode& evaluationNode);

    MObject thisMObject() const;

    // Valid only inside the initialise function given to registerNode.
    static MStatus addAttribute(const MObject& attribute);
    static MStatus attributeAffects(const MObject& whenChanges, const MObject& isAffected);

private:
    friend struct QvMaya::NodeAccess;
    std::weak_ptr<QvMaya::ObjectData> self_;
};

class QVMAYA_API MPxLocatorNode : public MPxNode {
public:
    virtual void draw(M3dView& view, const MDagPath& path, M3dView::DisplayStyle style,
                      M3dView::DisplayStatus status);
    virtual bool isBounded() const;
    virtual MBoundingBox boundingBox() const;
};

using MCreatorFunction = void* (*)();
using MInitializeFunction = MStatus (*)();

class QVMAYA_API MFnPlugin {
public:
    MFnPlugin(MObject& object, const char* vendor = "Unknown", const char* version = "Unknown",
              const char* requiredApiVersion = "Any", MStatus* status = nullptr);

    MStatus registerNode(const MString& typeName, const MTypeId& typeId, MCreatorFunction creatorFunction,
                         MInitializeFunction initFunction, MPxNode::Type type = MPxNode::kDependNode,
                         const MString* classification = nullptr);
    MStatus deregisterNode(const MTypeId& typeId);

private:
    MObject plugin_;
};

class QVMAYA_API MGlobal {
public:
    static void displayInfo(const MString& text);
};

using MCallbackId = unsigned long;

class QVMAYA_API MMessage {
public:
    using MBasicFunction = void (*)(void* clientData);
    static MStatus removeCallback(MCallbackId id);
};

class QVMAYA_API MEventMessage : public MMessage {
public:
    static MCallbackId addEventCallback(const MString& eventName, MMessage::MBasicFunction func,
                                        void* clientData = nullptr, MStatus* status = nullptr);
};

// The legacy viewport's OpenGL calls, recorded by the host.
using GLbitfield = unsigned int;
constexpr GLbitfield GL_CURRENT_BIT = 0x00000001;
extern "C" QVMAYA_API void glPushAttrib(GLbitfield mask);
extern "C" QVMAYA_API void glPopAttrib();
