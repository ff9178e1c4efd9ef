#pragma once

// A small stand-in for the Maya application around the API of MayaApi.h and
// MayaRender.h: it loads plug-ins, keeps the registered node types and draw
// overrides, creates nodes with their attribute values, fires events and
// runs the viewport's preparation and drawing calls. Tests and the preview
// program drive it; a plug-in only ever sees the Maya API.

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "MayaApi.h"
#include "MayaRender.h"

namespace QvMaya {

struct QVMAYA_API AttributeData : ObjectData {
    enum class Kind { Numeric, Typed, Enum, Unit };

    Kind kind = Kind::Numeric;
    std::string longName;
    std::string shortName;
    MFnNumericData::Type numericType = MFnNumericData::kInvalid;
    MFnData::Type dataType = MFnData::kInvalid;
    MFnUnitAttribute::Type unitType = MFnUnitAttribute::kInvalid;
    double defaultNumber = 0.0;
    std::string defaultText;
    std::vector<std::pair<std::string, short>> fields;
    bool keyable = false;
    bool storable = true;
    bool readable = true;
    bool writable = true;
    bool cached = true;
    bool array = false;
    bool arrayDataBuilder = false;
    bool worldSpace = false;
    std::optional<double> min;
    std::optional<double> max;
};

struct QVMAYA_API StringData : ObjectData {
    std::string text;
};

struct QVMAYA_API PluginData : ObjectData {
    std::string path;
    std::string vendor;
    std::string version;
    std::string requiredApiVersion;
};

struct QVMAYA_API NodeType {
    std::string name;
    MTypeId id;
    MCreatorFunction creator = nullptr;
    MInitializeFunction initialize = nullptr;
    MPxNode::Type type = MPxNode::kDependNode;
    std::string classification;
    std::vector<MObject> attributes; // in the order they were added
    std::vector<std::pair<MObject, MObject>> affects;
};

struct QVMAYA_API PlugValue {
    double number = 0.0;
    std::string text;
    std::map<unsigned int, double> elements;
    bool clean = false;
    bool arrayClean = false;
    std::set<unsigned int> cleanElements;
};

struct QVMAYA_API NodeData : ObjectData {
    ~NodeData() override;

    std::shared_ptr<NodeType> type;
    std::unique_ptr<MPxNode> user;
    std::map<const AttributeData*, PlugValue> values;
    MMatrix world;
    MHWRender::DisplayStatus displayStatus = MHWRender::kDormant;
    MColor wireframeColour{0.0f, 0.016f, 0.376f, 1.0f};
    int geometryDrawDirty = 0;
};

struct QVMAYA_API NodeAccess {
    static void bind(MPxNode& user, const std::shared_ptr<ObjectData>& node) { user.self_ = node; }
};

} // namespace QvMaya

namespace QvMayaHost {

// One plug-in library, opened with dlopen. Nodes of its types must be deleted
// before it is destroyed, since their code lives in the library.
class QVMAYA_API LoadedPlugin {
public:
    static std::unique_ptr<LoadedPlugin> open(const std::string& path, std::string& error);
    ~LoadedPlugin();

    MStatus initialize();
    MStatus uninitialize();
    // The plug-in's MApiVersion, empty when it exports none.
    std::string apiVersion() const;
    const QvMaya::PluginData& object() const;

private:
    LoadedPlugin() = default;
    void* handle_ = nullptr;
    MObject object_;
    MStatus (*initialize_)(MObject) = nullptr;
    MStatus (*uninitialize_)(MObject) = nullptr;
};

QVMAYA_API std::shared_ptr<const QvMaya::NodeType> findNodeType(const std::string& name);
QVMAYA_API bool drawOverrideRegistered(const std::string& classification, const std::string& registrant);

QVMAYA_API MObject createNode(const std::string& typeName, MStatus* status = nullptr);
QVMAYA_API void deleteNode(const MObject& node);
QVMAYA_API QvMaya::NodeData* nodeData(const MObject& node);
QVMAYA_API const QvMaya::AttributeData* attributeData(const MObject& attribute);

// Looks an attribute of the node's type up by long or short name.
QVMAYA_API MObject findAttribute(const MObject& node, const std::string& name);
QVMAYA_API MStatus setAttribute(const MObject& node, const std::string& name, double value);
QVMAYA_API MStatus setAttribute(const MObject& node, const std::string& name, const std::string& value);

QVMAYA_API void setWorldMatrix(const MObject& node, const MMatrix& world);
QVMAYA_API void setDisplayStatus(const MObject& node, MHWRender::DisplayStatus status);
QVMAYA_API void setWireframeColour(const MObject& node, const MColor& colour);
QVMAYA_API int geometryDrawDirtyCount(const MObject& node);

QVMAYA_API void fireEvent(const std::string& name);
QVMAYA_API std::size_t eventCallbackCount();

// Legacy-viewport calls, perror texts and info messages, in call order.
QVMAYA_API std::vector<std::string> takeCallLog();

// Makes MPxNode::addAttribute fail for attributes of this long name.
QVMAYA_API void failAddAttribute(const std::string& longName);
QVMAYA_API void clearFailures();

// The viewport 2.0 side of one node: its draw override, created through the
// registered creator for the node type's classification, and the user data
// Maya keeps between preparations.
class QVMAYA_API DrawSession {
public:
    explicit DrawSession(const MObject& node);
    ~DrawSession();
    DrawSession(const DrawSession&) = delete;
    DrawSession& operator=(const DrawSession&) = delete;

    bool valid() const { return override_ != nullptr; }
    MHWRender::MPxDrawOverride& drawOverride() { return *override_; }
    MHWRender::MUserData* userData() const { return data_; }
    // Prepares and draws one frame; the previous frame's user data is handed back.
    MHWRender::MUIDrawManager draw(unsigned int displayStyle = MHWRender::MFrameContext::kWireFrame);

private:
    MObject node_;
    MHWRender::MPxDrawOverride* override_ = nullptr;
    MHWRender::MUserData* data_ = nullptr;
};

// A viewing camera for pictures of recorded drawings.
struct View {
    MPoint eye{260.0, 120.0, 330.0};
    MPoint target{0.0, -50.0, 0.0};
    MPoint up{0.0, 1.0, 0.0};
    double verticalFieldOfView = 45.0; // degrees; used when orthoHeight is 0
    double orthoHeight = 0.0;          // world units seen vertically, for an orthographic view
    int width = 640;
    int height = 480;
};

// Projects the point, in world space, to pixel coordinates; false behind the camera.
QVMAYA_API bool projectPoint(const View& view, const MPoint& world, double& px, double& py);

// Renders every recorded line segment, each drawable in its colour, the
// points taken to world space by the node's world matrix, into a PNG file.
QVMAYA_API bool renderLinesToPng(const MHWRender::MUIDrawManager& drawing, const MMatrix& world, const View& view,
                                 const std::string& path, std::string& error);

} // namespace QvMayaHost
