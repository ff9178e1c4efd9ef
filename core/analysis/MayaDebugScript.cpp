#include "analysis/MayaDebugScript.h"

#include <cmath>
#include <locale>

#include "foundation/Logger.h"

MayaDebugScript::MayaDebugScript() : MayaDebugScript(VekPoint{0.0f, 0.0f, 0.0f}, 1.0f) {}

MayaDebugScript::MayaDebugScript(const VekPoint& origin, float scale) : origin_(origin), scale_(scale)
{
    // Python wants "." as decimal point whatever the process locale says.
    script_.imbue(std::locale::classic());
    script_ << "import maya.cmds as cmds\n";
}

void MayaDebugScript::writePoint(const VekPoint& p)
{
    script_ << "(" << (p.x - origin_.x) * scale_ << ", " << (p.y - origin_.y) * scale_ << ", "
            << (p.z - origin_.z) * scale_ << ")";
}

void MayaDebugScript::DebugLine(const VekPoint& a, const VekPoint& b, int32_t colour)
{
    const int32_t n = lineCounter_;
    script_ << "line" << n << " = cmds.curve(d = 1, p = [";
    writePoint(a);
    script_ << ", ";
    writePoint(b);
    script_ << "] )\n";
    script_ << "cmds.setAttr(line" << n << " + '.overrideEnabled', 1)\n";
    script_ << "cmds.setAttr(line" << n << " + '.overrideColor', " << colour << ")\n";

    const double dx = double(b.x) - double(a.x);
    const double dy = double(b.y) - double(a.y);
    const double dz = double(b.z) - double(a.z);
    std::ostringstream length;
    length.imbue(std::locale::classic());
    length << std::sqrt(dx * dx + dy * dy + dz * dz);
    // Maya object names cannot hold a dot.
    std::string lengthText = length.str();
    if (const auto dot = lengthText.find('.'); dot != std::string::npos)
        lengthText[dot] = '_';
    script_ << "cmds.rename(line" << n << ",'line_" << n << "_" << lengthText << "')\n";
    ++lineCounter_;
}

void MayaDebugScript::DebugPosition(const VekPoint& point, const std::string& name, float size, int32_t colour)
{
    const int32_t k = locatorCounter_;
    const VekPoint& p = point;
    const float s = size;
    const VekPoint cross[9] = {
        {p.x + s, p.y, p.z}, {p.x - s, p.y, p.z}, p,
        {p.x, p.y + s, p.z}, {p.x, p.y - s, p.z}, p,
        {p.x, p.y, p.z + s}, {p.x, p.y, p.z - s}, p,
    };
    script_ << "locator" << k << " = cmds.curve(d = 1, p = [";
    for (int i = 0; i < 9; ++i) {
        if (i > 0)
            script_ << ", ";
        writePoint(cross[i]);
    }
    script_ << "])\n";
    script_ << "cmds.setAttr(locator" << k << " + '.overrideEnabled', 1)\n";
    script_ << "cmds.setAttr(locator" << k << " + '.overrideColor', " << colour << ")\n";
    script_ << "cmds.rename(locator" << k << ",'locator_";
    if (name.empty())
        script_ << k;
    else
        script_ << name;
    script_ << "')\n";
    ++locatorCounter_;
}

void MayaDebugScript::DebugPlaque(const Plaque& plaque, float size, uint32_t flags, int32_t colourOn,
                                  int32_t colourOff)
{
    const VekPoint* points[5] = {&plaque.center, &plaque.corners[0], &plaque.corners[1], &plaque.corners[2],
                                 &plaque.corners[3]};
    static const char* const names[5] = {"center", "upLeftPos", "upRightPos", "downLeftPos", "downRightPos"};
    for (uint32_t n = 0; n < 5; ++n)
        DebugPosition(*points[n], names[n], size, (flags >> n) & 1u ? colourOn : colourOff);
}

void MayaDebugScript::DebugExtendedPlaque(const Plaque& plaque, const std::array<VekPoint, 8>& points, float size,
                                          uint32_t flags, int32_t colourOn, int32_t colourOff)
{
    DebugPlaque(plaque, size, flags, colourOn, colourOff);
    static const char* const names[8] = {"leftPos",          "rightPos",          "upPos",
                                         "downPos",          "quarterUpLeftPos",  "quarterUpRightPos",
                                         "quarterDownLeftPos", "quarterDownRightPos"};
    for (uint32_t n = 0; n < 8; ++n)
        DebugPosition(points[n], names[n], size, (flags >> (n + 5)) & 1u ? colourOn : colourOff);
}

void MayaDebugScript::DebugQuad(const Plaque& plaque, const std::string& name, const VekRGBA& colour)
{
    const std::string facetName = name.empty() ? std::string() : "plaque_" + name;
    const auto& c = plaque.corners; // up-left, up-right, down-left, down-right
    script_ << "plaque" << plaqueCounter_ << " = cmds.polyCreateFacet(p = [";
    writePoint(c[0]);
    script_ << ", ";
    writePoint(c[1]);
    script_ << ", ";
    writePoint(c[3]);
    script_ << ", ";
    writePoint(c[2]);
    script_ << ", ";
    writePoint(c[0]);
    script_ << "], n = '" << facetName << "')\n";
    script_ << "cmds.polyColorPerVertex(r=" << colour.r << ", g=" << colour.g << ", b=" << colour.b
            << ", a=" << colour.a << ", colorDisplayOption = True)\n";
    ++plaqueCounter_;
}

void MayaDebugScript::DebugQuad(const Plaque& plaque, int32_t i, int32_t j, int32_t k, const VekRGBA& colour)
{
    DebugQuad(plaque, std::to_string(i) + "_" + std::to_string(j) + "_" + std::to_string(k), colour);
}

void MayaDebugScript::SetCameraPos(const VekPoint& eye, const VekPoint& lookAt)
{
    script_ << "perspCamera = cmds.cameraView(camera = 'persp')\n";
    script_ << "cmds.viewPlace(perspCamera, eye=";
    writePoint(eye);
    script_ << ", la=";
    writePoint(lookAt);
    script_ << ")\n";
}

int32_t MayaDebugScript::GetColor(int32_t type)
{
    switch (type) {
    case 128: return 9;
    case 135: return 10;
    case 184: return 11;
    case 191: return 12;
    case 192: return 13;
    case 199: return 14;
    case 248: return 15;
    case 255: return 16;
    default: return 17;
    }
}

std::string MayaDebugScript::GetScript() const
{
    return script_.str();
}

void MayaDebugScript::Display() const
{
    const std::string text = script_.str();
    std::size_t begin = 0;
    while (begin < text.size()) {
        const std::size_t end = text.find('\n', begin);
        const std::size_t stop = end == std::string::npos ? text.size() : end;
        const std::string line = text.substr(begin, stop - begin) + "\n";
        Quorvel::Logger::QvOutputLogCStr(Quorvel::Logger::DEBUG, line.c_str());
        begin = stop + 1;
    }
}
