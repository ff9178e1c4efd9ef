#pragma once

// The part of Maya's viewport 2.0 interface (OpenMayaRender) that the display
// plug-in calls. The draw manager records every drawable it is given, so
// that a drawing can be inspected point by point or rendered to a picture.

#include <vector>

#include "MayaApi.h"

class MVectorArray;
class MColorArray;
class MUintArray;

namespace MHWRender {

enum DrawAPI { kNone = 0, kOpenGL = 1 << 0, kDirectX11 = 1 << 1, kOpenGLCoreProfile = 1 << 2, kAllDevices = 7 };

enum DisplayStatus {
    kActive = 0,
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

class QVMAYA_API MUserData {
public:
    explicit MUserData(bool deleteAfterUse) : deleteAfterUse_(deleteAfterUse) {}
    virtual ~MUserData();
    bool deleteAfterUse() const { return deleteAfterUse_; }
    void setDeleteAfterUse(bool state) { deleteAfterUse_ = state; }

private:
    bool deleteAfterUse_;
};

class QVMAYA_API MFrameContext {
public:
    enum DisplayStyle { kGouraudShaded = 1 << 0, kWireFrame = 1 << 1, kBoundingBox = 1 << 2, kTextured = 1 << 3 };

    explicit MFrameContext(unsigned int displayStyle = kWireFrame) : displayStyle_(displayStyle) {}
    unsigned int getDisplayStyle() const { return displayStyle_; }

private:
    unsigned int displayStyle_;
};

class QVMAYA_API MDrawContext : public MFrameContext {};

class QVMAYA_API MUIDrawManager {
public:
    enum Primitive { kPoints = 0, kLines = 1, kLineStrip = 2, kClosedLine = 3, kTriangles = 4, kTriStrip = 5 };
    enum Selectability { kNonSelectable = 0, kSelectable = 1, kAutomatic = 2 };

    struct Mesh {
        Primitive primitive;
        MPointArray points;
    };
    struct Drawable {
        Selectability selectability = kAutomatic;
        unsigned int selectionName = 0;
        MColor colour;
        unsigned int depthPriority = 0;
        std::vector<Mesh> meshes;
        bool ended = false;
    };

    void beginDrawable(Selectability selectability = kAutomatic, unsigned int selectionName = 0);
    void endDrawable();
    void setColor(const MColor& colour);
    void setDepthPriority(unsigned int priority);
    void mesh(Primitive mode, const MPointArray& position, const MVectorArray* normal = nullptr,
              const MColorArray* color = nullptr, const MUintArray* index = nullptr,
              const MPointArray* texcoord = nullptr);

    // What was drawn, in call order. Calls outside a drawable are dropped,
    // as Maya ignores them.
    const std::vector<Drawable>& drawables() const { return drawables_; }

private:
    std::vector<Drawable> drawables_;
    bool open_ = false;
};

class QVMAYA_API MPxDrawOverride {
public:
    using GeometryDrawOverrideCb = void (*)(const MDrawContext& context, const MUserData* data);

    MPxDrawOverride(const MObject& object, GeometryDrawOverrideCb callback, bool isAlwaysDirty = true);
    virtual ~MPxDrawOverride();

    virtual DrawAPI supportedDrawAPIs() const;
    virtual bool isBounded(const MDagPath& objPath, const MDagPath& cameraPath) const;
    virtual MBoundingBox boundingBox(const MDagPath& objPath, const MDagPath& cameraPath) const;
    virtual bool hasUIDrawables() const;
    virtual MUserData* prepareForDraw(const MDagPath& objPath, const MDagPath& cameraPath,
                                      const MFrameContext& frameContext, MUserData* oldData) = 0;
    virtual void addUIDrawables(const MDagPath& objPath, MUIDrawManager& drawManager,
                                const MFrameContext& frameContext, const MUserData* data);
    virtual bool traceCallSequence() const;
    virtual void handleTraceMessage(const MString& message) const;
    virtual MMatrix transform(const MDagPath& objPath, const MDagPath& cameraPath) const;

    bool isAlwaysDirty() const { return alwaysDirty_; }
    GeometryDrawOverrideCb drawCallback() const { return callback_; }

private:
    GeometryDrawOverrideCb callback_;
    bool alwaysDirty_;
};

class QVMAYA_API MDrawRegistry {
public:
    using DrawOverrideCreator = MPxDrawOverride* (*)(const MObject& object);

    static MStatus registerDrawOverrideCreator(const MString& drawClassification, const MString& registrantId,
                                               DrawOverrideCreator creator);
    static MStatus deregisterDrawOverrideCreator(const MString& drawClassification, const MString& registrantId);
};

class QVMAYA_API MRenderer {
public:
    static MStatus setGeometryDrawDirty(MObject object, bool topologyChanged = true);
};

class QVMAYA_API MGeometryUtilities {
public:
    static MColor wireframeColor(const MDagPath& path);
    static DisplayStatus displayStatus(const MDagPath& path, MStatus* status = nullptr);
};

class QVMAYA_API MRenderItem {
public:
    static const unsigned int sDormantFilledDepthPriority;
    static const unsigned int sDormantWireDepthPriority;
    static const unsigned int sHiliteWireDepthPriority;
    static const unsigned int sActiveWireDepthPriority;
};

} // namespace MHWRender
