#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

#include "analysis/MayaDebugScript.h"
#include "support/LogCapture.h"

namespace {

Plaque unitPlaque()
{
    Plaque plaque;
    plaque.center = {0.5f, 0.5f, 0.0f};
    plaque.corners = {VekPoint{0.0f, 1.0f, 0.0f}, VekPoint{1.0f, 1.0f, 0.0f}, VekPoint{0.0f, 0.0f, 0.0f},
                      VekPoint{1.0f, 0.0f, 0.0f}};
    return plaque;
}

// Exit status of Python's own parser on the script; -1 when python3 is missing.
int pythonParse(const std::string& script)
{
    if (std::system("python3 -c 'pass' >/dev/null 2>&1") != 0)
        return -1;
    char path[] = "/tmp/qv_maya_script_XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        return -2;
    close(fd);
    std::ofstream(path, std::ios::binary) << script;
    const std::string command =
        std::string("python3 -c \"import ast,sys; ast.parse(sys.stdin.read())\" < ") + path + " 2>/dev/null";
    const int status = std::system(command.c_str());
    std::remove(path);
    return status;
}

} // namespace

TEST(MayaDebugScript, FreshScriptHoldsOnlyTheImport)
{
    MayaDebugScript script;
    EXPECT_EQ(script.GetScript(), "import maya.cmds as cmds\n");
}

TEST(MayaDebugScript, ExactTextOfASmallScript)
{
    MayaDebugScript script(VekPoint{1.0f, 1.0f, 1.0f}, 10.0f);
    script.SetCameraPos({1.5f, 1.0f, 1.0f}, {1.0f, 1.0f, 1.0f});
    script.DebugLine({1.0f, 1.0f, 1.0f}, {2.0f, 2.0f, 1.0f}, 13);
    script.DebugPosition({1.5f, 1.0f, 1.0f}, "", 0.25f, 6);
    script.DebugPosition({1.0f, 1.0f, 1.0f}, "eye", 1.0f, 7);
    script.DebugQuad(unitPlaque(), 1, 22, 333, VekRGBA{1.0f, 0.5f, 0.25f, 1.0f});
    script.DebugQuad(unitPlaque(), "", VekRGBA{0.0f, 0.0f, 0.0f, 0.5f});
    script.DebugLine({0.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 100.0f}, 3);

    const std::string expected =
        "import maya.cmds as cmds\n"
        "perspCamera = cmds.cameraView(camera = 'persp')\n"
        "cmds.viewPlace(perspCamera, eye=(5, 0, 0), la=(0, 0, 0))\n"
        "line1 = cmds.curve(d = 1, p = [(0, 0, 0), (10, 10, 0)] )\n"
        "cmds.setAttr(line1 + '.overrideEnabled', 1)\n"
        "cmds.setAttr(line1 + '.overrideColor', 13)\n"
        "cmds.rename(line1,'line_1_1_41421')\n"
        "locator1 = cmds.curve(d = 1, p = [(7.5, 0, 0), (2.5, 0, 0), (5, 0, 0), (5, 2.5, 0), (5, -2.5, 0), "
        "(5, 0, 0), (5, 0, 2.5), (5, 0, -2.5), (5, 0, 0)])\n"
        "cmds.setAttr(locator1 + '.overrideEnabled', 1)\n"
        "cmds.setAttr(locator1 + '.overrideColor', 6)\n"
        "cmds.rename(locator1,'locator_1')\n"
        "locator2 = cmds.curve(d = 1, p = [(10, 0, 0), (-10, 0, 0), (0, 0, 0), (0, 10, 0), (0, -10, 0), "
        "(0, 0, 0), (0, 0, 10), (0, 0, -10), (0, 0, 0)])\n"
        "cmds.setAttr(locator2 + '.overrideEnabled', 1)\n"
        "cmds.setAttr(locator2 + '.overrideColor', 7)\n"
        "cmds.rename(locator2,'locator_eye')\n"
        "plaque1 = cmds.polyCreateFacet(p = [(-10, 0, -10), (0, 0, -10), (0, -10, -10), (-10, -10, -10), "
        "(-10, 0, -10)], n = 'plaque_1_22_333')\n"
        "cmds.polyColorPerVertex(r=1, g=0.5, b=0.25, a=1, colorDisplayOption = True)\n"
        "plaque2 = cmds.polyCreateFacet(p = [(-10, 0, -10), (0, 0, -10), (0, -10, -10), (-10, -10, -10), "
        "(-10, 0, -10)], n = '')\n"
        "cmds.polyColorPerVertex(r=0, g=0, b=0, a=0.5, colorDisplayOption = True)\n"
        "line2 = cmds.curve(d = 1, p = [(-10, -10, -10), (-10, -10, 990)] )\n"
        "cmds.setAttr(line2 + '.overrideEnabled', 1)\n"
        "cmds.setAttr(line2 + '.overrideColor', 3)\n"
        "cmds.rename(line2,'line_2_100')\n";
    EXPECT_EQ(script.GetScript(), expected);
}

TEST(MayaDebugScript, PlaqueCrossesTakeTheirColourFromTheFlagBits)
{
    Plaque plaque = unitPlaque();
    std::array<VekPoint, 8> extended{};
    for (int i = 0; i < 8; ++i)
        extended[i] = {float(i), 0.0f, 0.0f};

    MayaDebugScript script;
    // Centre, up-right, and extended points 0 (left) and 7 (quarterDownRight) on.
    script.DebugExtendedPlaque(plaque, extended, 0.1f, 0x1u | 0x4u | 0x20u | 0x1000u, 20, 30);
    const std::string text = script.GetScript();

    struct Expect {
        int locator;
        const char* name;
        int colour;
    };
    const Expect table[] = {
        {1, "center", 20},           {2, "upLeftPos", 30},          {3, "upRightPos", 20},
        {4, "downLeftPos", 30},      {5, "downRightPos", 30},       {6, "leftPos", 20},
        {7, "rightPos", 30},         {8, "upPos", 30},              {9, "downPos", 30},
        {10, "quarterUpLeftPos", 30}, {11, "quarterUpRightPos", 30}, {12, "quarterDownLeftPos", 30},
        {13, "quarterDownRightPos", 20},
    };
    std::size_t previous = 0;
    for (const auto& e : table) {
        const std::string k = std::to_string(e.locator);
        const std::string colour = "cmds.setAttr(locator" + k + " + '.overrideColor', " + std::to_string(e.colour) + ")\n";
        const std::string rename = "cmds.rename(locator" + k + ",'locator_" + e.name + "')\n";
        const std::size_t at = text.find(colour);
        ASSERT_NE(at, std::string::npos) << colour;
        EXPECT_GT(at, previous) << "crosses out of order at " << e.name;
        EXPECT_NE(text.find(rename), std::string::npos) << rename;
        previous = at;
    }
    // The up-left cross is drawn around the first corner.
    EXPECT_NE(text.find("locator2 = cmds.curve(d = 1, p = [(0.1, 1, 0), (-0.1, 1, 0), (0, 1, 0)"), std::string::npos);
    EXPECT_NE(text.find("locator13 = cmds.curve(d = 1, p = [(7.1, 0, 0), (6.9, 0, 0), (7, 0, 0)"),
              std::string::npos);
    EXPECT_EQ(text.find("locator14"), std::string::npos);
}

TEST(MayaDebugScript, ColourTable)
{
    const std::pair<int32_t, int32_t> table[] = {{128, 9},  {135, 10}, {184, 11}, {191, 12}, {192, 13}, {199, 14},
                                                 {248, 15}, {255, 16}, {0, 17},   {129, 17}, {256, 17}, {-1, 17}};
    for (const auto& [type, colour] : table)
        EXPECT_EQ(MayaDebugScript::GetColor(type), colour) << type;
}

TEST(MayaDebugScript, EveryGeneratedScriptParsesAsPython)
{
    MayaDebugScript script(VekPoint{-3.0f, 2.0f, 1e6f}, 1e-3f);
    Plaque plaque = unitPlaque();
    plaque.corners[1] = {1e-30f, -7.25e12f, 3.0f};
    std::array<VekPoint, 8> extended{};
    extended[3] = {-1e-9f, 4.0f, 123456789.0f};
    script.SetCameraPos({0.0f, 0.0f, 0.0f}, {1.0f, 2.0f, 3.0f});
    script.DebugLine({0.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 1e-8f}, 1);
    script.DebugLine({0.0f, 0.0f, 0.0f}, {3e20f, 0.0f, 0.0f}, 2);
    script.DebugPosition({5.0f, 5.0f, 5.0f}, "", 2.0f, 3);
    script.DebugPlaque(plaque, 0.5f, 0x1Fu, 1, 2);
    script.DebugExtendedPlaque(plaque, extended, 0.5f, 0u, 1, 2);
    script.DebugQuad(plaque, "named", VekRGBA{0.1f, 0.2f, 0.3f, 0.4f});
    script.DebugQuad(plaque, -1, 0, 7, VekRGBA{1e-7f, 2.0f, 3.0f, 4.0f});

    const int status = pythonParse(script.GetScript());
    if (status == -1)
        GTEST_SKIP() << "python3 is not available";
    EXPECT_EQ(status, 0) << script.GetScript();
    // A broken script must fail the same check, or the check proves nothing.
    EXPECT_NE(pythonParse(script.GetScript() + "cmds.rename(line1,\n"), 0);
}

TEST(MayaDebugScript, DisplaySendsOneMessagePerLine)
{
    QuorvelTest::LogCapture capture;
    MayaDebugScript script;
    script.DebugLine({0.0f, 0.0f, 0.0f}, {1.0f, 1.0f, 0.0f}, 4);
    script.Display();

    const auto entries = capture.entries();
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_EQ(capture.messages()[0], "import maya.cmds as cmds\n");
    EXPECT_EQ(capture.messages()[4], "cmds.rename(line1,'line_1_1_41421')\n");
    for (const auto& e : entries)
        EXPECT_EQ(e.level, Quorvel::Logger::DEBUG);
}
