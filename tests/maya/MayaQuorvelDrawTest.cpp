#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "MayaTestSupport.h"

using QuorvelMayaTest::PluginTest;
using MHWRender::MUIDrawManager;

namespace {

using Quad = std::array<MPoint, 4>;

struct P {
    double x, y, z;
};

// The shapes' points as the drawing must place them at render scale 1.
const P kHeadPoints[] = {
    {6.74214, 8.03665, 16.0803},    {9.12035, -12.9571, 16.1732},   {9.12035, -12.9571, -1.16439},
    {6.74214, 11.3311, 2.02826},    {3.73882, -12.3434, 14.1828},   {3.73882, -12.3434, 6.70512},
    {3.73882, -23.5069, 8.63703},   {3.73882, -23.5069, 16.1147},   {18.5396, -22.4536, -0.332758},
    {18.5396, -22.4536, 17.1822},   {21.1925, -36.6917, 21.0832},   {21.1925, -36.6917, -4.7286},
};

const double kStripes[7][4][2] = {
    {{-39.44, 39.04}, {-36.93, 41.55}, {41.55, -36.93}, {39.04, -39.44}},
    {{-38.64, 16.42}, {-36.13, 18.93}, {18.93, -36.13}, {16.42, -38.64}},
    {{-39, -5.74}, {-36.49, -3.24}, {-3.24, -36.49}, {-5.74, -39}},
    {{-38.75, -28.17}, {-36.24, -25.66}, {-25.66, -36.24}, {-28.17, -38.75}},
    {{-16.46, 38.59}, {-13.96, 41.1}, {41.1, -13.96}, {38.59, -16.46}},
    {{5.7, 38.96}, {8.21, 41.46}, {41.46, 8.21}, {38.96, 5.7}},
    {{27.6, 38.18}, {30.1, 40.69}, {40.69, 30.1}, {38.18, 27.6}},
};

constexpr double kTol = 1e-4;

bool near(const MPoint& a, const MPoint& b, double tol = kTol)
{
    return std::fabs(a.x - b.x) <= tol && std::fabs(a.y - b.y) <= tol && std::fabs(a.z - b.z) <= tol;
}

::testing::AssertionResult samePoint(const MPoint& actual, const MPoint& expected, double tol = kTol)
{
    if (near(actual, expected, tol))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "(" << actual.x << ", " << actual.y << ", " << actual.z << ") vs ("
                                         << expected.x << ", " << expected.y << ", " << expected.z << ")";
}

// The recorded line points as quads: each quad's four edges must chain and close.
std::vector<Quad> quads(const MPointArray& lines, unsigned firstSegment, unsigned count)
{
    std::vector<Quad> out;
    for (unsigned q = 0; q < count; ++q) {
        Quad quad;
        for (unsigned e = 0; e < 4; ++e) {
            const unsigned s = 2 * (firstSegment + 4 * q + e);
            quad[e] = lines[s];
            const MPoint& end = lines[s + 1];
            const unsigned next = 2 * (firstSegment + 4 * q + (e + 1) % 4);
            EXPECT_TRUE(samePoint(end, lines[next])) << "quad " << q << " edge " << e << " does not chain";
        }
        out.push_back(quad);
    }
    return out;
}

// Every point of the quads is one of `expected`, and every expected point is used.
void expectSamePointSet(const std::vector<Quad>& shape, const std::vector<MPoint>& expected, double tol = kTol)
{
    std::vector<bool> used(expected.size(), false);
    for (const Quad& quad : shape)
        for (const MPoint& p : quad) {
            const auto it =
                std::find_if(expected.begin(), expected.end(), [&](const MPoint& e) { return near(p, e, tol); });
            ASSERT_NE(it, expected.end()) << "stray point " << p.x << ", " << p.y << ", " << p.z;
            used[std::size_t(it - expected.begin())] = true;
        }
    for (std::size_t i = 0; i < used.size(); ++i)
        EXPECT_TRUE(used[i]) << "unused point " << expected[i].x << ", " << expected[i].y << ", " << expected[i].z;
}

std::vector<MPoint> mirrored(const std::vector<P>& points, double dx, double dy, double dz, double u = 1.0)
{
    std::vector<MPoint> out;
    for (const P& p : points)
        for (const double sign : {1.0, -1.0})
            out.emplace_back(sign * p.x * u + dx, p.y * u + dy, p.z * u + dz);
    return out;
}

std::vector<MPoint> eyePoints(double x, double y, double z, double u = 1.0)
{
    const std::vector<P> half = {{1.6, 1.6, 1.25},   {1.6, -1.6, 1.25},    {1.6, 1.6, -1.25},   {1.6, -1.6, -1.25},
                                 {0.8, 0.8, -1.25},  {0.8, -0.8, -1.25},   {1.28, 1.28, -2.85}, {1.28, -1.28, -2.85}};
    return mirrored(half, x, y, z, u);
}

std::vector<MPoint> groundPoints(double dx, double y, double dz, double u = 1.0)
{
    std::vector<MPoint> out = {{-50 * u + dx, y, 50 * u + dz},
                               {50 * u + dx, y, 50 * u + dz},
                               {50 * u + dx, y, -50 * u + dz},
                               {-50 * u + dx, y, -50 * u + dz}};
    for (const auto& stripe : kStripes)
        for (const auto& corner : stripe)
            out.emplace_back(corner[0] * u + dx, y, corner[1] * u + dz);
    return out;
}

// The six faces of the box with half sizes (hx, hy, hz) centred at c.
void expectBox(const std::vector<Quad>& box, const MPoint& c, double hx, double hy, double hz)
{
    ASSERT_EQ(box.size(), 6u);
    std::vector<MPoint> corners;
    for (const double sx : {-1.0, 1.0})
        for (const double sy : {-1.0, 1.0})
            for (const double sz : {-1.0, 1.0})
                corners.emplace_back(c.x + sx * hx, c.y + sy * hy, c.z + sz * hz);
    expectSamePointSet(box, corners);
    // Each face lies in one of the six planes, and all six are there.
    std::vector<int> faces;
    for (const Quad& q : box) {
        int face = -1;
        const double coords[3][4] = {{q[0].x, q[1].x, q[2].x, q[3].x},
                                     {q[0].y, q[1].y, q[2].y, q[3].y},
                                     {q[0].z, q[1].z, q[2].z, q[3].z}};
        for (int axis = 0; axis < 3; ++axis)
            if (std::fabs(coords[axis][0] - coords[axis][1]) < kTol && std::fabs(coords[axis][0] - coords[axis][2]) < kTol &&
                std::fabs(coords[axis][0] - coords[axis][3]) < kTol)
                face = axis * 2 + (coords[axis][0] > (axis == 0 ? c.x : axis == 1 ? c.y : c.z) ? 1 : 0);
        faces.push_back(face);
    }
    std::sort(faces.begin(), faces.end());
    EXPECT_EQ(faces, (std::vector<int>{0, 1, 2, 3, 4, 5}));
}

MPoint centreOf(const std::vector<Quad>& shape)
{
    double lo[3] = {1e30, 1e30, 1e30}, hi[3] = {-1e30, -1e30, -1e30};
    for (const Quad& q : shape)
        for (const MPoint& p : q) {
            const double v[3] = {p.x, p.y, p.z};
            for (int i = 0; i < 3; ++i) {
                lo[i] = std::min(lo[i], v[i]);
                hi[i] = std::max(hi[i], v[i]);
            }
        }
    return MPoint((lo[0] + hi[0]) / 2, (lo[1] + hi[1]) / 2, (lo[2] + hi[2]) / 2);
}

const MPointArray& linesOf(const MUIDrawManager& drawing)
{
    static const MPointArray none;
    if (drawing.drawables().size() != 1 || drawing.drawables()[0].meshes.empty())
        return none;
    return drawing.drawables()[0].meshes.back().points;
}

} // namespace

TEST_F(PluginTest, DefaultNodeDrawsBoxFigureEyesAndGround)
{
    initialise();
    const MObject node = newNode();
    QvMayaHost::setWireframeColour(node, MColor(0.25f, 0.5f, 0.75f, 1.0f));
    QvMayaHost::DrawSession session(node);
    ASSERT_TRUE(session.valid());
    const MUIDrawManager drawing = session.draw();

    ASSERT_EQ(drawing.drawables().size(), 1u);
    const auto& d = drawing.drawables()[0];
    EXPECT_EQ(d.selectability, MUIDrawManager::kAutomatic);
    EXPECT_EQ(d.selectionName, 0u);
    EXPECT_EQ(d.colour.r, 0.25f);
    EXPECT_EQ(d.colour.g, 0.5f);
    EXPECT_EQ(d.colour.b, 0.75f);
    EXPECT_EQ(d.depthPriority, MHWRender::MRenderItem::sDormantFilledDepthPriority);
    EXPECT_TRUE(d.ended);
    ASSERT_EQ(d.meshes.size(), 1u); // wireframe: no triangle call
    EXPECT_EQ(d.meshes[0].primitive, MUIDrawManager::kLines);

    // 6 box quads, 16 figure quads, 2 x 12 eye quads, 8 ground quads; 4 edges each.
    const MPointArray& lines = d.meshes[0].points;
    ASSERT_EQ(lines.length(), 2u * 4u * (6 + 16 + 24 + 8));
    expectBox(quads(lines, 0, 6), MPoint(0, 0, 0), 50, 25, 50);
    const auto head = quads(lines, 24, 16);
    expectSamePointSet(head, mirrored(std::vector<P>(std::begin(kHeadPoints), std::end(kHeadPoints)), 0, 0, 0));
    // The neck is open at its top and bottom: no quad lies in one y plane.
    for (std::size_t q = 6; q < 10; ++q)
        EXPECT_FALSE(std::fabs(head[q][0].y - head[q][1].y) < kTol && std::fabs(head[q][0].y - head[q][2].y) < kTol);
    const auto firstEye = quads(lines, 88, 12);
    const auto secondEye = quads(lines, 136, 12);
    expectSamePointSet(firstEye, eyePoints(3.175, 0, 0));
    expectSamePointSet(secondEye, eyePoints(-3.175, 0, 0));
    EXPECT_TRUE(samePoint(centreOf(firstEye), MPoint(3.175, 0, -0.8)));
    EXPECT_TRUE(samePoint(centreOf(secondEye), MPoint(-3.175, 0, -0.8)));

    const auto ground = quads(lines, 184, 8);
    expectSamePointSet(ground, groundPoints(0, -160, 0));
    // The outline comes first, corner by corner, then the stripes in table order.
    const MPoint outline[4] = {{-50, -160, 50}, {50, -160, 50}, {50, -160, -50}, {-50, -160, -50}};
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(samePoint(ground[0][i], outline[i]));
    for (int s = 0; s < 7; ++s)
        for (int i = 0; i < 4; ++i)
            EXPECT_TRUE(samePoint(ground[1 + s][i], MPoint(kStripes[s][i][0], -160, kStripes[s][i][1])));

    const MBoundingBox bounds = session.drawOverride().boundingBox(MDagPath(node), MDagPath());
    EXPECT_TRUE(samePoint(bounds.min(), MPoint(-50, -25, -50)));
    EXPECT_TRUE(samePoint(bounds.max(), MPoint(50, 25, 50)));
}

TEST_F(PluginTest, ClippingShiftedBoxesAndBothEyes)
{
    initialise();
    const MObject node = newNode();
    set(node, "Width", 2.0);
    set(node, "Height", 0.75);
    set(node, "Depth", 1.5);
    set(node, "multibox_Offset_Right", 1);
    set(node, "multibox_Offset_Top", -2);
    set(node, "multibox_Offset_Back", 3);
    set(node, "specular_Point_Offset_Right", 0.25);
    set(node, "specular_Point_Offset_Top", -0.5);
    set(node, "specular_Point_Offset_Back", 0.125);
    set(node, "IPD", 70.0);
    set(node, "Ground_distance", 2.0);
    set(node, "Render_scale", 2.0);
    set(node, "clipping_Enabled", 1);
    set(node, "clipping_Radius", 300.0);
    set(node, "clipping_PosX", 10.0);
    set(node, "clipping_PosY", -20.0);
    set(node, "clipping_PosZ", 30.0);
    // Placed, scaled and turned a quarter about y in the world.
    const double rows[4][4] = {{0, 0, -2, 0}, {0, 2, 0, 0}, {2, 0, 0, 0}, {100, 50, -25, 1}};
    const MMatrix world(rows);
    QvMayaHost::setWorldMatrix(node, world);
    QvMayaHost::setDisplayStatus(node, MHWRender::kLead);

    QvMayaHost::DrawSession session(node);
    const MUIDrawManager drawing = session.draw(MHWRender::MFrameContext::kGouraudShaded);
    ASSERT_EQ(drawing.drawables().size(), 1u);
    const auto& d = drawing.drawables()[0];
    EXPECT_EQ(d.depthPriority, MHWRender::MRenderItem::sActiveWireDepthPriority);
    // Shaded: the (empty) triangle list first, then the lines.
    ASSERT_EQ(d.meshes.size(), 2u);
    EXPECT_EQ(d.meshes[0].primitive, MUIDrawManager::kTriangles);
    EXPECT_EQ(d.meshes[0].points.length(), 0u);
    const MPointArray& lines = d.meshes[1].points;
    ASSERT_EQ(lines.length(), 2u * (4u * (6 + 16 + 24 + 8) + 90u));

    const double u = 0.5;
    // Box: W*100*u per box to the right, and so on along y and z.
    const double oR = 2.0 * 1 * 100 * u, oT = 0.75 * -2 * 100 * u, oB = 1.5 * 3 * 100 * u;
    expectBox(quads(lines, 0, 6), MPoint(oR, oT, oB), 50 * 2.0 * u, 50 * 0.75 * u, 50 * 1.5 * u);
    // Figure and eyes at the specular point, which moves in box units.
    const double sR = 0.25 * 100 * u * 2.0, sT = -0.5 * 100 * u * 0.75, sB = 0.125 * 100 * u * 1.5;
    expectSamePointSet(quads(lines, 24, 16),
                       mirrored(std::vector<P>(std::begin(kHeadPoints), std::end(kHeadPoints)), sR, sT, sB, u));
    const double f = 70.0 / 10.0 * 0.5;
    expectSamePointSet(quads(lines, 88, 12), eyePoints(f * u + sR, sT, sB, u));
    expectSamePointSet(quads(lines, 136, 12), eyePoints(-f * u + sR, sT, sB, u));
    // Ground below the box centre, shifted with the boxes along x and z only.
    expectSamePointSet(quads(lines, 184, 8), groundPoints(oR, -200 * u, oB, u));

    // Circles: in world space, about the given centre, with the given radius.
    const unsigned first = 2 * 4 * (6 + 16 + 24 + 8);
    const double pi = std::acos(-1.0);
    for (unsigned i = 1; i <= 30; ++i) {
        const double t0 = (i - 1) * 2.0 * pi / 30.0, t1 = i * 2.0 * pi / 30.0;
        const double a0 = 300 * std::cos(t0), b0 = 300 * std::sin(t0);
        const double a1 = 300 * std::cos(t1), b1 = 300 * std::sin(t1);
        const MPoint expected[6] = {{10 + a0, -20 + b0, 30}, {10 + a1, -20 + b1, 30}, {10, -20 + a0, 30 + b0},
                                    {10, -20 + a1, 30 + b1}, {10 + a0, -20, 30 + b0}, {10 + a1, -20, 30 + b1}};
        for (unsigned k = 0; k < 6; ++k)
            EXPECT_TRUE(samePoint(lines[first + 6 * (i - 1) + k] * world, expected[k], 1e-3)) << i << " " << k;
    }

    // The override's bounds ignore offsets and the sphere.
    const MBoundingBox bounds = session.drawOverride().boundingBox(MDagPath(node), MDagPath());
    EXPECT_TRUE(samePoint(bounds.min(), MPoint(-50, -18.75, -37.5)));
    EXPECT_TRUE(samePoint(bounds.max(), MPoint(50, 18.75, 37.5)));
}

TEST_F(PluginTest, SwitchesAndRenderScale)
{
    initialise();
    const MObject node = newNode();
    QvMayaHost::DrawSession session(node);

    // One eye at the specular point, no ground.
    set(node, "deep_Reflections", 0);
    set(node, "Display_ground", 0);
    MPointArray lines = linesOf(session.draw());
    ASSERT_EQ(lines.length(), 2u * 4u * (6 + 16 + 12));
    expectSamePointSet(quads(lines, 88, 12), eyePoints(0, 0, 0));

    // A hundredfold render scale shrinks everything but the sphere.
    set(node, "deep_Reflections", 1);
    set(node, "Display_ground", 1);
    set(node, "clipping_Enabled", 1);
    set(node, "Render_scale", 100.0);
    lines = linesOf(session.draw());
    ASSERT_EQ(lines.length(), 2u * (4u * (6 + 16 + 24 + 8) + 90u));
    expectBox(quads(lines, 0, 6), MPoint(0, 0, 0), 0.5, 0.25, 0.5);
    expectSamePointSet(quads(lines, 88, 12), eyePoints(0.03175, 0, 0, 0.01), 1e-6);
    expectSamePointSet(quads(lines, 184, 8), groundPoints(0, -1.6, 0, 0.01), 1e-5);
    const unsigned first = 2 * 4 * (6 + 16 + 24 + 8);
    EXPECT_TRUE(samePoint(lines[first], MPoint(100, 0, 0)));
    const double step = 2.0 * std::acos(-1.0) / 30.0;
    EXPECT_TRUE(samePoint(lines[first + 3], MPoint(0, 100 * std::cos(step), 100 * std::sin(step))));

    // The user data is kept and handed back from one frame to the next.
    MHWRender::MUserData* data = session.userData();
    ASSERT_NE(data, nullptr);
    EXPECT_FALSE(data->deleteAfterUse());
    session.draw();
    EXPECT_EQ(session.userData(), data);
}

TEST_F(PluginTest, UnreadablePlugsFallBack)
{
    initialise();
    // A node of another type has none of the plugs the drawing reads.
    MObject pluginObject(std::make_shared<QvMaya::PluginData>());
    MFnPlugin other(pluginObject);
    ASSERT_TRUE(bool(other.registerNode(
        "Bare", MTypeId(0x7f001), []() -> void* { return new MPxLocatorNode(); }, []() { return MStatus(); },
        MPxNode::kLocatorNode)));
    const MObject quorvel = newNode();
    const MObject bare = QvMayaHost::createNode("Bare");
    nodes_.push_back(bare);

    QvMayaHost::DrawSession session(quorvel);
    auto& override = session.drawOverride();
    MHWRender::MUserData* data = override.prepareForDraw(MDagPath(bare), MDagPath(), MHWRender::MFrameContext(), nullptr);
    MUIDrawManager drawing;
    override.addUIDrawables(MDagPath(bare), drawing, MHWRender::MFrameContext(), data);
    const MPointArray lines = linesOf(drawing);
    delete data;
    other.deregisterNode(MTypeId(0x7f001));

    // Everything drawn, the eyes 0.5 from the centre, the ground at -1, the
    // sphere of radius 1 about (1, 1, 1).
    ASSERT_EQ(lines.length(), 2u * (4u * (6 + 16 + 24 + 8) + 90u));
    expectBox(quads(lines, 0, 6), MPoint(0, 0, 0), 50, 50, 50);
    expectSamePointSet(quads(lines, 88, 12), eyePoints(0.5, 0, 0));
    expectSamePointSet(quads(lines, 136, 12), eyePoints(-0.5, 0, 0));
    expectSamePointSet(quads(lines, 184, 8), groundPoints(0, -1, 0));
    const unsigned first = 2 * 4 * (6 + 16 + 24 + 8);
    EXPECT_TRUE(samePoint(lines[first], MPoint(2, 1, 1)));
    EXPECT_TRUE(samePoint(lines[first + 2], MPoint(1, 2, 1)));
    EXPECT_TRUE(samePoint(lines[first + 4], MPoint(2, 1, 1)));

    // Without user data nothing is drawn.
    MUIDrawManager empty;
    override.addUIDrawables(MDagPath(quorvel), empty, MHWRender::MFrameContext(), nullptr);
    EXPECT_TRUE(empty.drawables().empty());
}

TEST_F(PluginTest, DrawOverrideAnswersAndRedrawsOnEditorChanges)
{
    initialise();
    const MObject node = newNode();
    const std::size_t callbacksBefore = QvMayaHost::eventCallbackCount();
    {
        QvMayaHost::DrawSession session(node);
        auto& o = session.drawOverride();
        EXPECT_EQ(int(o.supportedDrawAPIs()), 7);
        EXPECT_TRUE(o.isBounded(MDagPath(node), MDagPath()));
        EXPECT_TRUE(o.hasUIDrawables());
        EXPECT_FALSE(o.traceCallSequence());
        EXPECT_TRUE(o.isAlwaysDirty());
        EXPECT_EQ(o.drawCallback(), nullptr);
        EXPECT_EQ(QvMayaHost::eventCallbackCount(), callbacksBefore + 1);

        const int before = QvMayaHost::geometryDrawDirtyCount(node);
        QvMayaHost::fireEvent("modelEditorChanged");
        EXPECT_EQ(QvMayaHost::geometryDrawDirtyCount(node), before + 1);
        QvMayaHost::fireEvent("timeChanged");
        EXPECT_EQ(QvMayaHost::geometryDrawDirtyCount(node), before + 1);

        QvMayaHost::takeCallLog();
        testing::internal::CaptureStderr();
        o.handleTraceMessage("prepareForDraw");
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "MayaQuorvelDrawOverride: prepareForDraw\n");
        EXPECT_EQ(QvMayaHost::takeCallLog(), std::vector<std::string>{"info MayaQuorvelDrawOverride: prepareForDraw"});
    }
    // The callback leaves with the override.
    EXPECT_EQ(QvMayaHost::eventCallbackCount(), callbacksBefore);
    const int before = QvMayaHost::geometryDrawDirtyCount(node);
    QvMayaHost::fireEvent("modelEditorChanged");
    EXPECT_EQ(QvMayaHost::geometryDrawDirtyCount(node), before);
}
