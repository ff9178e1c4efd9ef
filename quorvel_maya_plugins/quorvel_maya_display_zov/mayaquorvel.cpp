#include <iostream>

#include "MayaQuorvel.h"

#define QV_PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))

// Reports a failed API call and carries on.
#define McheckErr(stat)                                                                                     \
    if (!(stat)) {                                                                                          \
        std::cerr << "\nAPI error detected in " << "mayaquorvel" << " at line " << __LINE__ << std::endl;   \
        (stat).perror("");                                                                                  \
    }

QV_PLUGIN_EXPORT const char MApiVersion[] = "20180000";

const MTypeId MayaQuorvel::id(0x130580);
const MString MayaQuorvel::drawDbClassification("drawdb/geometry/QuorvelBox");
const MString MayaQuorvel::drawRegistrantId("MayaQuorvelPlugin");

MObject MayaQuorvel::width;
MObject MayaQuorvel::height;
MObject MayaQuorvel::depth;
MObject MayaQuorvel::groundDistance;
MObject MayaQuorvel::ipd;
MObject MayaQuorvel::displayGround;
MObject MayaQuorvel::deepReflections;
MObject MayaQuorvel::glassRendering;
MObject MayaQuorvel::lightsVisibility;
MObject MayaQuorvel::multiboxOffsetRight;
MObject MayaQuorvel::multiboxOffsetBack;
MObject MayaQuorvel::multiboxOffsetTop;
MObject MayaQuorvel::specularPointOffsetRight;
MObject MayaQuorvel::specularPointOffsetBack;
MObject MayaQuorvel::specularPointOffsetTop;
MObject MayaQuorvel::internalCameraId;
MObject MayaQuorvel::renderPhase;
MObject MayaQuorvel::draftMode;
MObject MayaQuorvel::renderInsideZovMode;
MObject MayaQuorvel::quorvelEnabled;
MObject MayaQuorvel::renderScale;
MObject MayaQuorvel::clippingEnabled;
MObject MayaQuorvel::clippingRadius;
MObject MayaQuorvel::clippingPosX;
MObject MayaQuorvel::clippingPosY;
MObject MayaQuorvel::clippingPosZ;
MObject MayaQuorvel::detectFilePath;
MObject MayaQuorvel::glassRenderingType;
MObject MayaQuorvel::lightsVisibilityType;
MObject MayaQuorvel::clippingMode;
MObject MayaQuorvel::worldS;

MayaQuorvel::~MayaQuorvel() = default;

void* MayaQuorvel::creator()
{
    return new MayaQuorvel();
}

MStatus MayaQuorvel::compute(const MPlug& plug, MDataBlock& data)
{
    if (plug == worldS) {
        if (plug.isElement()) {
            MArrayDataHandle outputArray = data.outputArrayValue(worldS);
            outputArray.setAllClean();
        }
        data.setClean(plug);
        return MS::kSuccess;
    }
    return MS::kUnknownParameter;
}

MStatus MayaQuorvel::preEvaluation(const MDGContext& context, const MEvaluationNode& evaluationNode)
{
    if (context.isNormal()) {
        MStatus status;
        if (evaluationNode.dirtyPlugExists(renderScale, &status) && status)
            MHWRender::MRenderer::setGeometryDrawDirty(thisMObject(), true);
    }
    return MS::kSuccess;
}

void MayaQuorvel::draw(M3dView& view, const MDagPath&, M3dView::DisplayStyle style, M3dView::DisplayStatus status)
{
    MPlug plug(thisMObject(), renderScale);
    MDistance scale;
    plug.getValue(scale);

    view.beginGL();
    if (style == M3dView::kFlatShaded || style == M3dView::kGouraudShaded) {
        glPushAttrib(GL_CURRENT_BIT);
        view.setDrawColor(13, status != M3dView::kActive ? M3dView::kDormantColors : M3dView::kActiveColors);
        glPopAttrib();
    }
    view.endGL();
}

bool MayaQuorvel::isBounded() const
{
    return true;
}

MBoundingBox MayaQuorvel::boundingBox() const
{
    MPlug plug(thisMObject(), renderScale);
    MDistance scale;
    plug.getValue(scale);
    const double s = scale.asCentimeters();
    return MBoundingBox(MPoint(-50.0 * s, -50.0 * s, -50.0 * s), MPoint(50.0 * s, 50.0 * s, 50.0 * s));
}

MStatus MayaQuorvel::initialize()
{
    MFnNumericAttribute nAttr;
    MStatus stat;

    // Box, ground and eyes: keyable, and every addition checked.
    struct Keyable {
        MObject* attribute;
        const char* longName;
        const char* shortName;
        double defaultValue;
    };
    const Keyable keyables[] = {
        {&width, "Width", "w", 1.0},
        {&height, "Height", "h", 0.5},
        {&depth, "Depth", "d", 1.0},
        {&groundDistance, "Ground_distance", "gd", 1.6},
        {&ipd, "IPD", "ipd", 63.5},
    };
    for (const Keyable& k : keyables) {
        *k.attribute = nAttr.create(k.longName, k.shortName, MFnNumericData::kFloat, k.defaultValue);
        nAttr.setKeyable(true);
        stat = addAttribute(*k.attribute);
        if (!stat) {
            stat.perror("addAttribute");
            return stat;
        }
    }

    struct Plain {
        MObject* attribute;
        const char* longName;
        const char* shortName;
        MFnNumericData::Type type;
        double defaultValue;
    };
    const Plain switches[] = {
        {&displayGround, "Display_ground", "dg", MFnNumericData::kBoolean, 1.0},
        {&deepReflections, "deep_Reflections", "dr", MFnNumericData::kBoolean, 1.0},
        {&glassRendering, "glass_Rendering", "gr", MFnNumericData::kBoolean, 0.0},
        {&lightsVisibility, "lights_Visibility", "lv", MFnNumericData::kBoolean, 0.0},
        {&multiboxOffsetRight, "multibox_Offset_Right", "mor", MFnNumericData::kInt, 0.0},
        {&multiboxOffsetBack, "multibox_Offset_Back", "mob", MFnNumericData::kInt, 0.0},
        {&multiboxOffsetTop, "multibox_Offset_Top", "mot", MFnNumericData::kInt, 0.0},
        {&specularPointOffsetRight, "specular_Point_Offset_Right", "spor", MFnNumericData::kFloat, 0.0},
        {&specularPointOffsetBack, "specular_Point_Offset_Back", "spob", MFnNumericData::kFloat, 0.0},
        {&specularPointOffsetTop, "specular_Point_Offset_Top", "spot", MFnNumericData::kFloat, 0.0},
        {&internalCameraId, "internal_Camera_Id", "ici", MFnNumericData::kInt, 0.0},
        {&renderPhase, "render_Phase", "rp", MFnNumericData::kBoolean, 1.0},
        {&draftMode, "draft_Mode", "dm", MFnNumericData::kBoolean, 0.0},
        {&renderInsideZovMode, "renderInsideZOV_Mode", "rim", MFnNumericData::kBoolean, 0.0},
        {&quorvelEnabled, "quorvel_Enabled", "qe", MFnNumericData::kBoolean, 1.0},
    };
    for (const Plain& p : switches) {
        *p.attribute = nAttr.create(p.longName, p.shortName, p.type, p.defaultValue);
        addAttribute(*p.attribute);
    }
    renderScale = nAttr.create("Render_scale", "rs", MFnNumericData::kFloat, 1.0);
    stat = addAttribute(renderScale);
    if (!stat) {
        stat.perror("addAttribute");
        return stat;
    }

    const Plain clipping[] = {
        {&clippingEnabled, "clipping_Enabled", "ce", MFnNumericData::kBoolean, 0.0},
        {&clippingRadius, "clipping_Radius", "cr", MFnNumericData::kFloat, 100.0},
        {&clippingPosX, "clipping_PosX", "cpx", MFnNumericData::kFloat, 0.0},
        {&clippingPosY, "clipping_PosY", "cpy", MFnNumericData::kFloat, 0.0},
        {&clippingPosZ, "clipping_PosZ", "cpz", MFnNumericData::kFloat, 0.0},
    };
    for (const Plain& p : clipping) {
        *p.attribute = nAttr.create(p.longName, p.shortName, p.type, p.defaultValue);
        addAttribute(*p.attribute);
    }

    MFnStringData stringData;
    MObject emptyPath = stringData.create("", &stat);
    McheckErr(stat);
    MFnTypedAttribute tAttr;
    detectFilePath = tAttr.create("detect_File_Path", "dfp", MFnData::kString, emptyPath, &stat);
    McheckErr(stat);
    stat = addAttribute(detectFilePath);
    McheckErr(stat);
    stat = tAttr.setStorable(true);
    McheckErr(stat);
    stat = tAttr.setKeyable(true);
    McheckErr(stat);

    MFnEnumAttribute eAttr;
    glassRenderingType = eAttr.create("glass_Rendering_Type", "grt", 0);
    eAttr.addField("Render Opaque", 0);
    eAttr.addField("Render Glass", 1);
    eAttr.addField("Render Opaque and Glass", 2);
    addAttribute(glassRenderingType);

    lightsVisibilityType = eAttr.create("lights_Visibility_Type", "lvt", 0);
    eAttr.addField("None visible", 0);
    eAttr.addField("All visible", 1);
    addAttribute(lightsVisibilityType);

    clippingMode = eAttr.create("clipping_Mode", "cm", 0);
    eAttr.addField("Render Inside", 0);
    eAttr.addField("Render Outside", 1);
    addAttribute(clippingMode);

    MFnUnitAttribute uAttr;
    worldS = uAttr.create("worldS", "ws", MFnUnitAttribute::kDistance, 1.0);
    uAttr.setWritable(true);
    uAttr.setCached(false);
    uAttr.setArray(true);
    uAttr.setUsesArrayDataBuilder(true);
    uAttr.setWorldSpace(true);
    addAttribute(worldS);
    attributeAffects(renderScale, worldS);
    return MS::kSuccess;
}

QV_PLUGIN_EXPORT MStatus initializePlugin(MObject obj)
{
    MFnPlugin plugin(obj, "Autodesk", "3.0", "Any");
    MStatus status = plugin.registerNode("MayaQuorvel", MayaQuorvel::id, &MayaQuorvel::creator,
                                         &MayaQuorvel::initialize, MPxNode::kLocatorNode,
                                         &MayaQuorvel::drawDbClassification);
    if (!status) {
        status.perror("registerNode");
        return status;
    }
    status = MHWRender::MDrawRegistry::registerDrawOverrideCreator(
        MayaQuorvel::drawDbClassification, MayaQuorvel::drawRegistrantId, MayaQuorvelDrawOverride::Creator);
    if (!status)
        status.perror("registerDrawOverrideCreator");
    return status;
}

QV_PLUGIN_EXPORT MStatus uninitializePlugin(MObject obj)
{
    MFnPlugin plugin(obj, "Unknown", "Unknown", "Any");
    MStatus status = MHWRender::MDrawRegistry::deregisterDrawOverrideCreator(MayaQuorvel::drawDbClassification,
                                                                             MayaQuorvel::drawRegistrantId);
    if (!status) {
        status.perror("deregisterDrawOverrideCreator");
        return status;
    }
    status = plugin.deregisterNode(MayaQuorvel::id);
    if (!status)
        status.perror("deregisterNode");
    return status;
}
