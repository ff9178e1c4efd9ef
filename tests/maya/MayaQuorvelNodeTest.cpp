#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "MayaTestSupport.h"

using QuorvelMayaTest::PluginTest;
using QvMaya::AttributeData;
using Kind = QvMaya::AttributeData::Kind;

namespace {

struct AttributeRow {
    const char* longName;
    const char* shortName;
    Kind kind;
    int type; // numeric, data or unit type, by kind
    double defaultValue;
    bool keyable;
};

const AttributeRow kAttributes[] = {
    {"Width", "w", Kind::Numeric, MFnNumericData::kFloat, 1.0, true},
    {"Height", "h", Kind::Numeric, MFnNumericData::kFloat, 0.5, true},
    {"Depth", "d", Kind::Numeric, MFnNumericData::kFloat, 1.0, true},
    {"Ground_distance", "gd", Kind::Numeric, MFnNumericData::kFloat, 1.6, true},
    {"IPD", "ipd", Kind::Numeric, MFnNumericData::kFloat, 63.5, true},
    {"Display_ground", "dg", Kind::Numeric, MFnNumericData::kBoolean, 1.0, false},
    {"deep_Reflections", "dr", Kind::Numeric, MFnNumericData::kBoolean, 1.0, false},
    {"glass_Rendering", "gr", Kind::Numeric, MFnNumericData::kBoolean, 0.0, false},
    {"lights_Visibility", "lv", Kind::Numeric, MFnNumericData::kBoolean, 0.0, false},
    {"multibox_Offset_Right", "mor", Kind::Numeric, MFnNumericData::kInt, 0.0, false},
    {"multibox_Offset_Back", "mob", Kind::Numeric, MFnNumericData::kInt, 0.0, false},
    {"multibox_Offset_Top", "mot", Kind::Numeric, MFnNumericData::kInt, 0.0, false},
    {"specular_Point_Offset_Right", "spor", Kind::Numeric, MFnNumericData::kFloat, 0.0, false},
    {"specular_Point_Offset_Back", "spob", Kind::Numeric, MFnNumericData::kFloat, 0.0, false},
    {"specular_Point_Offset_Top", "spot", Kind::Numeric, MFnNumericData::kFloat, 0.0, false},
    {"internal_Camera_Id", "ici", Kind::Numeric, MFnNumericData::kInt, 0.0, false},
    {"render_Phase", "rp", Kind::Numeric, MFnNumericData::kBoolean, 1.0, false},
    {"draft_Mode", "dm", Kind::Numeric, MFnNumericData::kBoolean, 0.0, false},
    {"renderInsideZOV_Mode", "rim", Kind::Numeric, MFnNumericData::kBoolean, 0.0, false},
    {"quorvel_Enabled", "qe", Kind::Numeric, MFnNumericData::kBoolean, 1.0, false},
    {"Render_scale", "rs", Kind::Numeric, MFnNumericData::kFloat, 1.0, false},
    {"clipping_Enabled", "ce", Kind::Numeric, MFnNumericData::kBoolean, 0.0, false},
    {"clipping_Radius", "cr", Kind::Numeric, MFnNumericData::kFloat, 100.0, false},
    {"clipping_PosX", "cpx", Kind::Numeric, MFnNumericData::kFloat, 0.0, false},
    {"clipping_PosY", "cpy", Kind::Numeric, MFnNumericData::kFloat, 0.0, false},
    {"clipping_PosZ", "cpz", Kind::Numeric, MFnNumericData::kFloat, 0.0, false},
    {"detect_File_Path", "dfp", Kind::Typed, MFnData::kString, 0.0, true},
    {"glass_Rendering_Type", "grt", Kind::Enum, 0, 0.0, false},
    {"lights_Visibility_Type", "lvt", Kind::Enum, 0, 0.0, false},
    {"clipping_Mode", "cm", Kind::Enum, 0, 0.0, false},
    {"worldS", "ws", Kind::Unit, MFnUnitAttribute::kDistance, 1.0, false},
};

std::vector<std::string> longNames(const QvMaya::NodeType& type)
{
    std::vector<std::string> names;
    for (const MObject& a : type.attributes)
        names.push_back(QvMayaHost::attributeData(a)->longName);
    return names;
}

} // namespace

TEST_F(PluginTest, RegistersTheLocatorTypeWithEveryAttribute)
{
    EXPECT_EQ(plugin_->apiVersion(), "20180000");
    initialise();
    EXPECT_EQ(plugin_->object().vendor, "Autodesk");
    EXPECT_EQ(plugin_->object().version, "3.0");
    EXPECT_EQ(plugin_->object().requiredApiVersion, "Any");

    const auto type = QvMayaHost::findNodeType("MayaQuorvel");
    ASSERT_TRUE(type);
    EXPECT_EQ(type->id.id(), 0x130580u);
    EXPECT_EQ(type->id.id(), 1246592u);
    EXPECT_EQ(type->type, MPxNode::kLocatorNode);
    EXPECT_EQ(type->classification, "drawdb/geometry/QuorvelBox");
    EXPECT_TRUE(QvMayaHost::drawOverrideRegistered("drawdb/geometry/QuorvelBox", "MayaQuorvelPlugin"));

    ASSERT_EQ(type->attributes.size(), std::size(kAttributes));
    for (std::size_t i = 0; i < std::size(kAttributes); ++i) {
        const AttributeRow& row = kAttributes[i];
        const AttributeData* a = QvMayaHost::attributeData(type->attributes[i]);
        SCOPED_TRACE(row.longName);
        ASSERT_TRUE(a);
        EXPECT_EQ(a->longName, row.longName);
        EXPECT_EQ(a->shortName, row.shortName);
        EXPECT_EQ(a->kind, row.kind);
        switch (row.kind) {
        case Kind::Numeric: EXPECT_EQ(a->numericType, row.type); break;
        case Kind::Typed: EXPECT_EQ(a->dataType, row.type); break;
        case Kind::Unit: EXPECT_EQ(a->unitType, row.type); break;
        case Kind::Enum: break;
        }
        EXPECT_EQ(a->defaultNumber, row.defaultValue);
        EXPECT_EQ(a->defaultText, "");
        EXPECT_EQ(a->keyable, row.keyable);
        // No attribute has limits; every flag but those below keeps Maya's default.
        EXPECT_FALSE(a->min.has_value());
        EXPECT_FALSE(a->max.has_value());
        EXPECT_TRUE(a->readable);
        EXPECT_TRUE(a->writable);
        EXPECT_TRUE(a->storable);
        const bool isWorldS = std::string(row.longName) == "worldS";
        EXPECT_EQ(a->cached, !isWorldS);
        EXPECT_EQ(a->array, isWorldS);
        EXPECT_EQ(a->arrayDataBuilder, isWorldS);
        EXPECT_EQ(a->worldSpace, isWorldS);
        if (row.kind != Kind::Enum) {
            EXPECT_TRUE(a->fields.empty());
        }
    }

    using Fields = std::vector<std::pair<std::string, short>>;
    const auto fieldsOf = [&](std::size_t index) { return QvMayaHost::attributeData(type->attributes[index])->fields; };
    EXPECT_EQ(fieldsOf(27), (Fields{{"Render Opaque", 0}, {"Render Glass", 1}, {"Render Opaque and Glass", 2}}));
    EXPECT_EQ(fieldsOf(28), (Fields{{"None visible", 0}, {"All visible", 1}}));
    EXPECT_EQ(fieldsOf(29), (Fields{{"Render Inside", 0}, {"Render Outside", 1}}));

    ASSERT_EQ(type->affects.size(), 1u);
    EXPECT_EQ(QvMayaHost::attributeData(type->affects[0].first)->longName, "Render_scale");
    EXPECT_EQ(QvMayaHost::attributeData(type->affects[0].second)->longName, "worldS");
}

TEST_F(PluginTest, FreshNodeReadsTheDefaults)
{
    initialise();
    const MObject node = newNode();
    const auto value = [&](const char* name) {
        double v = -1.0;
        EXPECT_TRUE(bool(MPlug(node, QvMayaHost::findAttribute(node, name)).getValue(v))) << name;
        return v;
    };
    EXPECT_EQ(value("Width"), 1.0);
    EXPECT_EQ(value("Height"), 0.5);
    EXPECT_EQ(value("Depth"), 1.0);
    EXPECT_EQ(float(value("Ground_distance")), 1.6f);
    EXPECT_EQ(value("IPD"), 63.5);
    EXPECT_EQ(value("clipping_Radius"), 100.0);
    EXPECT_EQ(value("Render_scale"), 1.0);
    EXPECT_EQ(value("deep_Reflections"), 1.0);
    EXPECT_EQ(value("clipping_Mode"), 0.0);
    MString path("unset");
    EXPECT_TRUE(bool(MPlug(node, QvMayaHost::findAttribute(node, "dfp")).getValue(path)));
    EXPECT_EQ(path.str(), "");

    MFnDependencyNode fn(node);
    EXPECT_EQ(fn.typeName().str(), "MayaQuorvel");
    ASSERT_NE(fn.userNode(), nullptr);
    EXPECT_EQ(fn.userNode()->thisMObject(), node);
}

TEST_F(PluginTest, LoadsAndUnloadsTwice)
{
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(bool(plugin_->initialize()));
        EXPECT_TRUE(QvMayaHost::findNodeType("MayaQuorvel"));
        {
            const MObject node = QvMayaHost::createNode("MayaQuorvel");
            EXPECT_FALSE(node.isNull());
            QvMayaHost::deleteNode(node);
        }
        ASSERT_TRUE(bool(plugin_->uninitialize()));
        EXPECT_FALSE(QvMayaHost::findNodeType("MayaQuorvel"));
        EXPECT_FALSE(QvMayaHost::drawOverrideRegistered(QuorvelMayaTest::kClassification, QuorvelMayaTest::kRegistrant));
        std::string error;
        plugin_.reset();
        plugin_ = QvMayaHost::LoadedPlugin::open(QUORVEL_MAYA_PLUGIN, error);
        ASSERT_TRUE(plugin_) << error;
    }
    EXPECT_TRUE(QvMayaHost::takeCallLog().empty());
}

TEST_F(PluginTest, RegistrationFailuresAreReportedAndReturned)
{
    initialise();
    QvMayaHost::takeCallLog();

    // A second registration of the same type fails before the draw override.
    EXPECT_EQ(plugin_->initialize(), MS::kFailure);
    EXPECT_EQ(QvMayaHost::takeCallLog(),
              std::vector<std::string>{"perror registerNode: (kFailure): Unexpected Internal Failure"});

    // Without its draw override the plug-in keeps the node registered.
    ASSERT_TRUE(bool(MHWRender::MDrawRegistry::deregisterDrawOverrideCreator(QuorvelMayaTest::kClassification,
                                                                             QuorvelMayaTest::kRegistrant)));
    EXPECT_EQ(plugin_->uninitialize(), MS::kFailure);
    EXPECT_EQ(QvMayaHost::takeCallLog(),
              std::vector<std::string>{
                  "perror deregisterDrawOverrideCreator: (kFailure): Unexpected Internal Failure"});
    EXPECT_TRUE(QvMayaHost::findNodeType("MayaQuorvel"));

    // With the override back but the node gone, only the node's deregistration fails.
    MObject pluginObject(std::make_shared<QvMaya::PluginData>());
    ASSERT_TRUE(bool(MFnPlugin(pluginObject).deregisterNode(MTypeId(0x130580))));
    ASSERT_TRUE(bool(MHWRender::MDrawRegistry::registerDrawOverrideCreator(
        QuorvelMayaTest::kClassification, QuorvelMayaTest::kRegistrant,
        [](const MObject&) -> MHWRender::MPxDrawOverride* { return nullptr; })));
    EXPECT_EQ(plugin_->uninitialize(), MS::kFailure);
    EXPECT_EQ(QvMayaHost::takeCallLog(),
              std::vector<std::string>{"perror deregisterNode: (kFailure): Unexpected Internal Failure"});
    EXPECT_FALSE(QvMayaHost::drawOverrideRegistered(QuorvelMayaTest::kClassification, QuorvelMayaTest::kRegistrant));
    initialised_ = false;
}

TEST_F(PluginTest, AttributeFailuresStopOnlyWhereChecked)
{
    struct Case {
        const char* failing;
        bool registers;
        std::vector<std::string> log;
        std::string errorText; // on the standard error stream
    };
    const std::string internal = "(kFailure): Unexpected Internal Failure";
    const Case cases[] = {
        {"IPD", false, {"perror addAttribute: " + internal, "perror registerNode: " + internal}, ""},
        {"Render_scale", false, {"perror addAttribute: " + internal, "perror registerNode: " + internal}, ""},
        {"glass_Rendering", true, {}, ""},
        {"clipping_PosY", true, {}, ""},
        {"detect_File_Path", true, {"perror : " + internal}, "\nAPI error detected in mayaquorvel at line "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failing);
        QvMayaHost::failAddAttribute(c.failing);
        testing::internal::CaptureStderr();
        const MStatus status = plugin_->initialize();
        const std::string err = testing::internal::GetCapturedStderr();
        QvMayaHost::clearFailures();
        EXPECT_EQ(bool(status), c.registers);
        EXPECT_EQ(QvMayaHost::takeCallLog(), c.log);
        if (!c.errorText.empty()) {
            EXPECT_EQ(err.rfind(c.errorText, 0), 0u) << err;
        }
        const auto type = QvMayaHost::findNodeType("MayaQuorvel");
        if (!c.registers) {
            EXPECT_FALSE(type);
            continue;
        }
        ASSERT_TRUE(type);
        std::vector<std::string> expected;
        for (const auto& row : kAttributes)
            if (std::string(row.longName) != c.failing)
                expected.push_back(row.longName);
        EXPECT_EQ(longNames(*type), expected);
        EXPECT_TRUE(bool(plugin_->uninitialize()));
    }
}

TEST_F(PluginTest, ComputeAnswersOnlyForWorldS)
{
    initialise();
    const MObject node = newNode();
    MPxNode* user = MFnDependencyNode(node).userNode();
    MDataBlock block(node);
    const MObject worldS = QvMayaHost::findAttribute(node, "worldS");
    auto& value = QvMayaHost::nodeData(node)->values[QvMayaHost::attributeData(worldS)];

    const MPlug element = MPlug(node, worldS).elementByLogicalIndex(3);
    EXPECT_EQ(user->compute(element, block), MS::kSuccess);
    EXPECT_TRUE(value.arrayClean);
    EXPECT_EQ(value.cleanElements, std::set<unsigned>{3});
    EXPECT_FALSE(value.clean);

    value.arrayClean = false;
    EXPECT_EQ(user->compute(MPlug(node, worldS), block), MS::kSuccess);
    EXPECT_TRUE(value.clean);
    EXPECT_FALSE(value.arrayClean);

    for (const char* other : {"Render_scale", "Width", "detect_File_Path", "clipping_Mode"})
        EXPECT_EQ(user->compute(MPlug(node, QvMayaHost::findAttribute(node, other)), block), MS::kUnknownParameter)
            << other;
}

TEST_F(PluginTest, RenderScaleChangesInPlaybackDirtyTheGeometry)
{
    initialise();
    const MObject node = newNode();
    MPxNode* user = MFnDependencyNode(node).userNode();
    const MObject renderScale = QvMayaHost::findAttribute(node, "Render_scale");
    const MObject width = QvMayaHost::findAttribute(node, "Width");

    struct Case {
        bool timed;
        std::vector<MObject> dirty;
        int marks;
    };
    const Case cases[] = {
        {false, {renderScale}, 1}, {false, {width, renderScale}, 1}, {false, {width}, 0},
        {false, {}, 0},            {true, {renderScale}, 0},
    };
    for (const Case& c : cases) {
        const int before = QvMayaHost::geometryDrawDirtyCount(node);
        const MDGContext context = c.timed ? MDGContext(12.0) : MDGContext::fsNormal;
        EXPECT_EQ(user->preEvaluation(context, MEvaluationNode(node, c.dirty)), MS::kSuccess);
        EXPECT_EQ(QvMayaHost::geometryDrawDirtyCount(node) - before, c.marks);
    }
}

TEST_F(PluginTest, LocatorBoundsFollowTheRenderScale)
{
    initialise();
    const MObject node = newNode();
    auto* locator = dynamic_cast<MPxLocatorNode*>(MFnDependencyNode(node).userNode());
    ASSERT_NE(locator, nullptr);
    EXPECT_TRUE(locator->isBounded());
    for (const double scale : {1.0, 2.5, 0.01}) {
        set(node, "rs", scale);
        const MBoundingBox box = locator->boundingBox();
        const double s = double(float(scale));
        EXPECT_DOUBLE_EQ(box.min().x, -50.0 * s);
        EXPECT_DOUBLE_EQ(box.min().y, -50.0 * s);
        EXPECT_DOUBLE_EQ(box.min().z, -50.0 * s);
        EXPECT_DOUBLE_EQ(box.max().x, 50.0 * s);
        EXPECT_DOUBLE_EQ(box.max().y, 50.0 * s);
        EXPECT_DOUBLE_EQ(box.max().z, 50.0 * s);
    }
}

TEST_F(PluginTest, LegacyDrawOnlySelectsAColourWhenShaded)
{
    initialise();
    const MObject node = newNode();
    auto* locator = dynamic_cast<MPxLocatorNode*>(MFnDependencyNode(node).userNode());
    ASSERT_NE(locator, nullptr);
    QvMayaHost::takeCallLog();

    using V = M3dView;
    struct Case {
        V::DisplayStyle style;
        V::DisplayStatus status;
        std::vector<std::string> calls;
    };
    const std::vector<std::string> bare{"beginGL", "endGL"};
    const auto coloured = [](int table) {
        return std::vector<std::string>{"beginGL", "glPushAttrib 1", "setDrawColor 13 " + std::to_string(table),
                                        "glPopAttrib", "endGL"};
    };
    const Case cases[] = {
        {V::kFlatShaded, V::kActive, coloured(0)},     {V::kFlatShaded, V::kDormant, coloured(2)},
        {V::kGouraudShaded, V::kLead, coloured(2)},    {V::kGouraudShaded, V::kActive, coloured(0)},
        {V::kWireFrame, V::kActive, bare},             {V::kBoundingBox, V::kDormant, bare},
        {V::kPoints, V::kHilite, bare},
    };
    M3dView view;
    const MDagPath path(node);
    for (const Case& c : cases) {
        locator->draw(view, path, c.style, c.status);
        EXPECT_EQ(QvMayaHost::takeCallLog(), c.calls) << int(c.style) << " " << int(c.status);
    }
}
