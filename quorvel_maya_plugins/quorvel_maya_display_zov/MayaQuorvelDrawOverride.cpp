#include <array>
#include <cmath>
#include <iostream>
#include <vector>

#include "MayaQuorvel.h"

namespace {

struct P3 {
    float x, y, z;
};
using Quad = std::array<P3, 4>;
using Shape = std::vector<Quad>;

// A solid whose cross-section in the y-z plane is the loop a-b-c-d, each
// point mirrored in x: its two x-facing sides, then the sides between
// consecutive loop points for which `between` is set.
void addPrism(Shape& shape, const P3 (&loop)[4], const bool (&between)[4])
{
    const auto left = [](const P3& p) { return P3{-p.x, p.y, p.z}; };
    shape.push_back({left(loop[0]), left(loop[1]), left(loop[2]), left(loop[3])});
    shape.push_back({loop[0], loop[3], loop[2], loop[1]});
    for (int i = 0; i < 4; ++i) {
        if (!between[i])
            continue;
        const P3& a = loop[i];
        const P3& b = loop[(i + 1) % 4];
        shape.push_back({left(a), a, b, left(b)});
    }
}

constexpr bool kAllSides[4] = {true, true, true, true};

const Shape& boxShape()
{
    static const Shape shape = [] {
        Shape s;
        const P3 loop[4] = {{50, 50, 50}, {50, -50, 50}, {50, -50, -50}, {50, 50, -50}};
        addPrism(s, loop, kAllSides);
        return s;
    }();
    return shape;
}

const Shape& headShape()
{
    static const Shape shape = [] {
        Shape s;
        const P3 head[4] = {{6.74214f, 8.03665f, 16.0803f},
                            {9.12035f, -12.9571f, 16.1732f},
                            {9.12035f, -12.9571f, -1.16439f},
                            {6.74214f, 11.3311f, 2.02826f}};
        addPrism(s, head, kAllSides);
        // The neck is open at both ends: no quad between its two top points
        // nor between its two bottom points.
        const P3 neck[4] = {{3.73882f, -12.3434f, 14.1828f},
                            {3.73882f, -12.3434f, 6.70512f},
                            {3.73882f, -23.5069f, 8.63703f},
                            {3.73882f, -23.5069f, 16.1147f}};
        const bool neckSides[4] = {false, true, false, true};
        addPrism(s, neck, neckSides);
        const P3 shoulders[4] = {{18.5396f, -22.4536f, -0.332758f},
                                 {18.5396f, -22.4536f, 17.1822f},
                                 {21.1925f, -36.6917f, 21.0832f},
                                 {21.1925f, -36.6917f, -4.7286f}};
        addPrism(s, shoulders, kAllSides);
        return s;
    }();
    return shape;
}

const Shape& eyeShape()
{
    static const Shape shape = [] {
        Shape s;
        const P3 body[4] = {{1.6f, 1.6f, 1.25f}, {1.6f, -1.6f, 1.25f}, {1.6f, -1.6f, -1.25f}, {1.6f, 1.6f, -1.25f}};
        addPrism(s, body, kAllSides);
        // The lens widens towards -z, the viewing direction.
        const auto square = [](float h, float z) {
            return Quad{P3{-h, h, z}, P3{h, h, z}, P3{h, -h, z}, P3{-h, -h, z}};
        };
        const Quad inner = square(0.8f, -1.25f);
        const Quad outer = square(1.28f, -2.85f);
        s.push_back(inner);
        s.push_back(outer);
        for (int i = 0; i < 4; ++i)
            s.push_back({inner[i], inner[(i + 1) % 4], outer[(i + 1) % 4], outer[i]});
        return s;
    }();
    return shape;
}

const Shape& groundShape()
{
    static const Shape shape = [] {
        const float stripes[7][4][2] = {
            {{-39.44f, 39.04f}, {-36.93f, 41.55f}, {41.55f, -36.93f}, {39.04f, -39.44f}},
            {{-38.64f, 16.42f}, {-36.13f, 18.93f}, {18.93f, -36.13f}, {16.42f, -38.64f}},
            {{-39.0f, -5.74f}, {-36.49f, -3.24f}, {-3.24f, -36.49f}, {-5.74f, -39.0f}},
            {{-38.75f, -28.17f}, {-36.24f, -25.66f}, {-25.66f, -36.24f}, {-28.17f, -38.75f}},
            {{-16.46f, 38.59f}, {-13.96f, 41.1f}, {41.1f, -13.96f}, {38.59f, -16.46f}},
            {{5.7f, 38.96f}, {8.21f, 41.46f}, {41.46f, 8.21f}, {38.96f, 5.7f}},
            {{27.6f, 38.18f}, {30.1f, 40.69f}, {40.69f, 30.1f}, {38.18f, 27.6f}},
        };
        Shape s;
        s.push_back({P3{-50, 0, 50}, P3{50, 0, 50}, P3{50, 0, -50}, P3{-50, 0, -50}});
        for (const auto& stripe : stripes)
            s.push_back({P3{stripe[0][0], 0, stripe[0][1]}, P3{stripe[1][0], 0, stripe[1][1]},
                         P3{stripe[2][0], 0, stripe[2][1]}, P3{stripe[3][0], 0, stripe[3][1]}});
        return s;
    }();
    return shape;
}

// Each quad as its four edges, every edge a (start, end) pair.
template <typename Place>
void appendEdges(MPointArray& lines, const Shape& shape, Place place)
{
    for (const Quad& quad : shape)
        for (int i = 0; i < 4; ++i) {
            lines.append(place(quad[i]));
            lines.append(place(quad[(i + 1) % 4]));
        }
}

// A plug that is missing or cannot be read gives the fallback.
template <typename T>
T readPlug(const MObject& node, const MObject& attribute, T fallback)
{
    const MPlug plug(node, attribute);
    if (plug.isNull())
        return fallback;
    T value{};
    return plug.getValue(value) ? value : fallback;
}

struct Settings {
    float u, w, h, d;
    float oR, oT, oB;
    float sR, sT, sB;
    float halfIpd, ground;
    float radius, cx, cy, cz;
    bool twoEyes, showGround, clipping;
};

Settings readSettings(const MDagPath& objPath)
{
    const MObject node = objPath.node();
    Settings s;
    s.u = 1.0f / readPlug(node, MayaQuorvel::renderScale, 1.0f);
    s.w = readPlug(node, MayaQuorvel::width, 1.0f);
    s.h = readPlug(node, MayaQuorvel::height, 1.0f);
    s.d = readPlug(node, MayaQuorvel::depth, 1.0f);
    s.oR = s.w * float(readPlug(node, MayaQuorvel::multiboxOffsetRight, 0)) * 100.0f * s.u;
    s.oT = s.h * float(readPlug(node, MayaQuorvel::multiboxOffsetTop, 0)) * 100.0f * s.u;
    s.oB = s.d * float(readPlug(node, MayaQuorvel::multiboxOffsetBack, 0)) * 100.0f * s.u;
    s.sR = readPlug(node, MayaQuorvel::specularPointOffsetRight, 0.0f) * 100.0f * s.u;
    s.sT = readPlug(node, MayaQuorvel::specularPointOffsetTop, 0.0f) * 100.0f * s.u;
    s.sB = readPlug(node, MayaQuorvel::specularPointOffsetBack, 0.0f) * 100.0f * s.u;
    const MPlug ipdPlug(node, MayaQuorvel::ipd);
    float ipd = 0.0f;
    s.halfIpd = !ipdPlug.isNull() && ipdPlug.getValue(ipd) ? (ipd / 10.0f) * 0.5f : 0.5f;
    const MPlug groundPlug(node, MayaQuorvel::groundDistance);
    float ground = 0.0f;
    s.ground = !groundPlug.isNull() && groundPlug.getValue(ground) ? ground * 100.0f : 1.0f;
    s.radius = readPlug(node, MayaQuorvel::clippingRadius, 1.0f);
    s.cx = readPlug(node, MayaQuorvel::clippingPosX, 1.0f);
    s.cy = readPlug(node, MayaQuorvel::clippingPosY, 1.0f);
    s.cz = readPlug(node, MayaQuorvel::clippingPosZ, 1.0f);
    s.twoEyes = readPlug(node, MayaQuorvel::deepReflections, true);
    s.showGround = readPlug(node, MayaQuorvel::displayGround, true);
    s.clipping = readPlug(node, MayaQuorvel::clippingEnabled, true);
    return s;
}

} // namespace

MayaQuorvelDrawOverride::MayaQuorvelDrawOverride(const MObject& object)
    : MHWRender::MPxDrawOverride(object, nullptr, true)
{
    fModelEditorChangedCbId = MEventMessage::addEventCallback("modelEditorChanged", OnModelEditorChanged, this);
    MStatus status;
    MFnDependencyNode node(object, &status);
    fMayaQuorvel = status ? dynamic_cast<MayaQuorvel*>(node.userNode()) : nullptr;
}

MayaQuorvelDrawOverride::~MayaQuorvelDrawOverride()
{
    fMayaQuorvel = nullptr;
    if (fModelEditorChangedCbId != 0) {
        MMessage::removeCallback(fModelEditorChangedCbId);
        fModelEditorChangedCbId = 0;
    }
}

MHWRender::MPxDrawOverride* MayaQuorvelDrawOverride::Creator(const MObject& object)
{
    return new MayaQuorvelDrawOverride(object);
}

void MayaQuorvelDrawOverride::OnModelEditorChanged(void* clientData)
{
    // The display mode or another editor setting changed: redraw.
    auto* self = static_cast<MayaQuorvelDrawOverride*>(clientData);
    if (self && self->fMayaQuorvel)
        MHWRender::MRenderer::setGeometryDrawDirty(self->fMayaQuorvel->thisMObject(), true);
}

MHWRender::DrawAPI MayaQuorvelDrawOverride::supportedDrawAPIs() const
{
    return MHWRender::DrawAPI(MHWRender::kOpenGL | MHWRender::kDirectX11 | MHWRender::kOpenGLCoreProfile);
}

bool MayaQuorvelDrawOverride::isBounded(const MDagPath&, const MDagPath&) const
{
    return true;
}

MBoundingBox MayaQuorvelDrawOverride::boundingBox(const MDagPath& objPath, const MDagPath&) const
{
    const Settings s = readSettings(objPath);
    return MBoundingBox(MPoint(-50.0f * s.w * s.u, -50.0f * s.h * s.u, -50.0f * s.d * s.u),
                        MPoint(50.0f * s.w * s.u, 50.0f * s.h * s.u, 50.0f * s.d * s.u));
}

bool MayaQuorvelDrawOverride::hasUIDrawables() const
{
    return true;
}

MHWRender::MUserData* MayaQuorvelDrawOverride::prepareForDraw(const MDagPath& objPath, const MDagPath& cameraPath,
                                                             const MHWRender::MFrameContext&,
                                                             MHWRender::MUserData* oldData)
{
    auto* data = dynamic_cast<myLocatorCubeData*>(oldData);
    if (!data)
        data = new myLocatorCubeData();
    data->fLineList.clear();

    const Settings s = readSettings(objPath);
    MPointArray& lines = data->fLineList;

    appendEdges(lines, boxShape(), [&](const P3& p) {
        return MPoint(s.u * p.x * s.w + s.oR, s.u * p.y * s.h + s.oT, s.u * p.z * s.d + s.oB);
    });
    // The figure and the eyes stand at the specular point; an eye is shifted
    // along x by half the IPD before scaling.
    const auto atSpecularPoint = [&](float xShift) {
        return [&, xShift](const P3& p) {
            return MPoint((p.x + xShift) * s.u + s.sR * s.w, s.u * p.y + s.sT * s.h, s.u * p.z + s.sB * s.d);
        };
    };
    appendEdges(lines, headShape(), atSpecularPoint(0.0f));
    if (s.twoEyes) {
        appendEdges(lines, eyeShape(), atSpecularPoint(s.halfIpd));
        appendEdges(lines, eyeShape(), atSpecularPoint(-s.halfIpd));
    } else {
        appendEdges(lines, eyeShape(), atSpecularPoint(0.0f));
    }
    if (s.showGround)
        appendEdges(lines, groundShape(), [&](const P3& p) {
            return MPoint(s.u * p.x + s.oR, (p.y - s.ground) * s.u, s.u * p.z + s.oB);
        });
    if (s.clipping) {
        // Given in world units and world space, whatever the render scale.
        const MMatrix toObject = transform(objPath, cameraPath).inverse();
        const double pi = std::acos(-1.0);
        const double r = s.radius;
        const double cx = s.cx, cy = s.cy, cz = s.cz;
        double a0 = r, b0 = 0.0;
        for (int i = 1; i <= 30; ++i) {
            const double theta = i * 2.0 * pi / 30.0;
            const double a1 = r * std::cos(theta);
            const double b1 = r * std::sin(theta);
            lines.append(MPoint(cx + a0, cy + b0, cz) * toObject);
            lines.append(MPoint(cx + a1, cy + b1, cz) * toObject);
            lines.append(MPoint(cx, cy + a0, cz + b0) * toObject);
            lines.append(MPoint(cx, cy + a1, cz + b1) * toObject);
            lines.append(MPoint(cx + a0, cy, cz + b0) * toObject);
            lines.append(MPoint(cx + a1, cy, cz + b1) * toObject);
            a0 = a1;
            b0 = b1;
        }
    }

    data->fColor = MHWRender::MGeometryUtilities::wireframeColor(objPath);
    switch (MHWRender::MGeometryUtilities::displayStatus(objPath)) {
    case MHWRender::kActive:
    case MHWRender::kHilite:
    case MHWRender::kActiveComponent:
    case MHWRender::kLead:
        data->fDepthPriority = MHWRender::MRenderItem::sActiveWireDepthPriority;
        break;
    default:
        data->fDepthPriority = MHWRender::MRenderItem::sDormantFilledDepthPriority;
        break;
    }
    return data;
}

void MayaQuorvelDrawOverride::addUIDrawables(const MDagPath&, MHWRender::MUIDrawManager& drawManager,
                                             const MHWRender::MFrameContext& frameContext,
                                             const MHWRender::MUserData* data)
{
    const auto* cube = dynamic_cast<const myLocatorCubeData*>(data);
    if (!cube)
        return;
    drawManager.beginDrawable(MHWRender::MUIDrawManager::kAutomatic, 0);
    drawManager.setColor(cube->fColor);
    drawManager.setDepthPriority(cube->fDepthPriority);
    if (frameContext.getDisplayStyle() & MHWRender::MFrameContext::kGouraudShaded)
        drawManager.mesh(MHWRender::MUIDrawManager::kTriangles, cube->fTriangleList);
    drawManager.mesh(MHWRender::MUIDrawManager::kLines, cube->fLineList);
    drawManager.endDrawable();
}

bool MayaQuorvelDrawOverride::traceCallSequence() const
{
    return false;
}

void MayaQuorvelDrawOverride::handleTraceMessage(const MString& message) const
{
    const MString text = MString("MayaQuorvelDrawOverride: ") + message;
    MGlobal::displayInfo(text);
    std::cerr << text.asChar() << "\n";
}
