#pragma once

#include "MayaApi.h"
#include "MayaRender.h"

// The zone-of-view locator: every rendering setting lives in its attributes;
// the node itself only answers Maya's queries and draws (MayaQuorvelDrawOverride).
class MayaQuorvel : public MPxLocatorNode {
public:
    MayaQuorvel() = default;
    ~MayaQuorvel() override;

    MStatus compute(const MPlug& plug, MDataBlock& data) override;
    MStatus preEvaluation(const MDGContext& context, const MEvaluationNode& evaluationNode) override;
    void draw(M3dView& view, const MDagPath& path, M3dView::DisplayStyle style,
              M3dView::DisplayStatus status) override;
    bool isBounded() const override;
    MBoundingBox boundingBox() const override;

    static void* creator();
    static MStatus initialize();

    static const MTypeId id;
    static const MString drawDbClassification;
    static const MString drawRegistrantId;

    static MObject width;
    static MObject height;
    static MObject depth;
    static MObject groundDistance;
    static MObject ipd;
    static MObject displayGround;
    static MObject deepReflections;
    static MObject glassRendering;
    static MObject lightsVisibility;
    static MObject multiboxOffsetRight;
    static MObject multiboxOffsetBack;
    static MObject multiboxOffsetTop;
    static MObject specularPointOffsetRight;
    static MObject specularPointOffsetBack;
    static MObject specularPointOffsetTop;
    static MObject internalCameraId;
    static MObject renderPhase;
    static MObject draftMode;
    static MObject renderInsideZovMode;
    static MObject quorvelEnabled;
    static MObject renderScale;
    static MObject clippingEnabled;
    static MObject clippingRadius;
    static MObject clippingPosX;
    static MObject clippingPosY;
    static MObject clippingPosZ;
    static MObject detectFilePath;
    static MObject glassRenderingType;
    static MObject lightsVisibilityType;
    static MObject clippingMode;
    static MObject worldS;
};

// What one preparation hands to the drawing: consecutive line points are
// segments. Kept by Maya between frames and handed back for reuse.
class myLocatorCubeData : public MHWRender::MUserData {
public:
    myLocatorCubeData() : MHWRender::MUserData(false) {}
    ~myLocatorCubeData() override = default;

    MColor fColor{0.0f, 0.0f, 0.0f, 1.0f};
    unsigned int fDepthPriority = 0;
    MPointArray fLineList;
    MPointArray fTriangleList;
};

class MayaQuorvelDrawOverride : public MHWRender::MPxDrawOverride {
public:
    static MHWRender::MPxDrawOverride* Creator(const MObject& object);
    ~MayaQuorvelDrawOverride() override;

    MHWRender::DrawAPI supportedDrawAPIs() const override;
    bool isBounded(const MDagPath& objPath, const MDagPath& cameraPath) const override;
    MBoundingBox boundingBox(const MDagPath& objPath, const MDagPath& cameraPath) const override;
    bool hasUIDrawables() const override;
    MHWRender::MUserData* prepareForDraw(const MDagPath& objPath, const MDagPath& cameraPath,
                                         const MHWRender::MFrameContext& frameContext,
                                         MHWRender::MUserData* oldData) override;
    void addUIDrawables(const MDagPath& objPath, MHWRender::MUIDrawManager& drawManager,
                        const MHWRender::MFrameContext& frameContext, const MHWRender::MUserData* data) override;
    bool traceCallSequence() const override;
    void handleTraceMessage(const MString& message) const override;

private:
    explicit MayaQuorvelDrawOverride(const MObject& object);
    static void OnModelEditorChanged(void* clientData);

    MayaQuorvel* fMayaQuorvel = nullptr;
    MCallbackId fModelEditorChangedCbId = 0;
};
