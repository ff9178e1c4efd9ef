// A two-frame render with three blocks per frame through our host: every
// call between host, plug-in and core, in order, with the values that reach
// the core.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "Host.h"
#include "Spies.h"
#include "support/LogCapture.h"

namespace PluginTest {
namespace {

const char* const twoFrameScene = R"({
  "plugins": [
    {"type": "SettingsOutput", "name": "output", "params": {
      "img_width": 312, "img_height": 208, "img_file": "beauty.qvl", "img_dir": "/renders/shot",
      "img_file_needFrameNumber": true, "anim_frame_padding": 3, "frame_number_dot": true,
      "frame_start": 1, "frame_end": 2}},
    {"type": "SettingsImageSampler", "name": "sampler", "params": {"type": 0, "fixed_subdivs": 2}},
    {"type": "SettingsRegionsGenerator", "name": "buckets", "params": {"xc": 16, "yc": 24}},
    {"type": "SettingsUnitsInfo", "name": "units", "params": {"scene_upDir": [0, 1, 0]}},
    {"type": "RenderView", "name": "camera", "params": {
      "origin_offset": [1000, 2000, 0],
      "transform": {"keys": [[1, [1, 0, 0, 0, 0, 1, 0, -1, 0, 1000, -2004.5, 1.6]],
                             [2, [1, 0, 0, 0, 0, 1, 0, -1, 0, 1000, -2004, 1.6]]]}}},
    {"type": "RenderChannelColor", "name": "diffuse", "params": {"name": "diffuse", "alias": 101}},
    {"type": "RenderChannelVelocity", "name": "velocity"},
    {"type": "RenderChannelColor", "name": "skipped", "params": {"name": "skipped", "alias": 125}},
    {"type": "RenderChannelZDepth", "name": "z"},
    {"type": "SettingsQuorvel", "name": "quorvel", "params": {
      "phase_mode": 1, "render_inside_zov": 1,
      "multibox_offset_right": 1, "multibox_offset_top": 2, "multibox_offset_back": 3,
      "view_scale_length": 2, "view_scale_height": 0.75, "view_scale_depth": 1.5,
      "IPD": 60, "draft_mode": true, "motion_vectors": 0,
      "specular_point_offset_right": 0.1, "specular_point_offset_top": 0.2, "specular_point_offset_back": 0.3,
      "render_scale": 2, "deep_reflection": false, "render_quorvel_glass_mode": 3,
      "detect_file": "det/detect_#.qvl",
      "clipping_enable": 1, "clipping_position": [1, 2, 3], "clipping_radius": 5, "clipping_inside": 0,
      "tolerance": 0.5}}
  ]
})";

std::string writeScene(const std::string& name, const std::string& text)
{
    const auto dir = std::filesystem::temp_directory_path() / ("quorvel_plugin_tests_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const auto path = dir / name;
    std::ofstream(path) << text;
    return path.string();
}

std::vector<std::string> glassNotes(const std::string& what)
{
    return {"QuorvelGlassMirrorBRDF." + what, "QuorvelGlassMirror." + what, "QuorvelGlassClearBRDF." + what,
            "QuorvelGlassClear." + what};
}

// The camera sits 4.5 (then 4) units before the world origin of a scene whose
// origin offset is (1000, 2000, 0): the core gets world positions.
std::vector<std::string> frameEvents(int frame, const std::string& cameraY)
{
    const std::string f3 = frame == 1 ? "001" : "002";
    std::vector<std::string> e = {
        "host: setupFrame(" + num(frame) + ")",
        "QvInitPhase(1, 1)",
        "QvSetSceneUpVector(0, 1, 0)",
        "QvSetDetectFilePath(det/detect_" + f3 + ".qvl)",
        "QvSetOutFilePath(/renders/shot/beauty." + f3 + ".qvl)",
        "QvSetThreadNumber(2)",
        "QvSetBucketSize(16, 24)",
        "QvSetMaxDistance(99999998430674944)",
        "QvSetTolerance(0.5)",
        "QvSetCurrentFrame(" + num(frame) + ", 4)",
        "QvSetDraft(1)",
        "QvSetDeepReflection(1, 60)",
        "QvSetMotionVector(0)",
        "QvSetRenderScale(2)",
        "QvSetSpecularPointOffset(0.10000000149011612, 0.20000000298023224, 0.30000001192092896)",
        "QvSetZovOffset(1, 2, 3)",
        "QvSetZovScaling(2, 0.75, 1.5)",
        "QvSetRenderInsideBox(1)",
        "QvSetRenderTransparencyMode(3)",
        "QvSetOutputResolution(312, 208)",
        "QvComputeRenderingResolutionParameters(312, 208)",
        "QvSetRenderingResolutionParameters(312, 208, 3, 1)",
        "QvSetCurrentBlockIndex(0)",
        "host: frameBegin",
    };
    for (const auto& g : glassNotes("frameBegin"))
        e.push_back(g);
    e.push_back("host: camera.frameBegin");
    e.push_back("host: getNumSubFrames = 3");
    for (int block = 0; block < 3; ++block) {
        e.push_back("host: beginSubFrame(" + num(block) + ")");
        if (block == 0) {
            e.push_back("QvSetCameraToWorldMatrix(1, 0, 0, 0, 0, 0, 1, 0, 0, -1, 0, 0, 1000, " + cameraY +
                        ", 1.6000000238418579, 1)");
            e.push_back("QvSetClippingSphere(1, (1, 2, 3), 5, 0)");
            e.push_back("QvRenderPhaseRegisterAov(101, diffuse, 3)");
            e.push_back("QvRenderPhaseRegisterAov(114, zdepth, 2)");
            e.push_back("QvPhaseBegin()");
        }
        e.push_back("QvSetCurrentBlockIndex(" + num(block) + ")");
        e.push_back("host: endSubFrame(" + num(block) + ")");
    }
    e.push_back("host: camera.frameEnd");
    e.push_back("host: frameEnd");
    e.push_back("QvPhaseTerminate(1)");
    for (const auto& g : glassNotes("frameEnd"))
        e.push_back(g);
    return e;
}

std::vector<std::string> glassCreation()
{
    std::vector<std::string> e;
    for (int pair = 1; pair <= 2; ++pair) {
        const std::string m = pair == 1 ? "QuorvelGlassMirror" : "QuorvelGlassClear";
        const std::string b = m + "BRDF";
        e.push_back("newPlugin(MtlSingleBRDF, " + m + ")");
        e.push_back("newPlugin(BRDFVRayMtl, " + b + ")");
        e.push_back(m + ".brdf = " + b);
        e.push_back(b + ".opacity_color = (1, 1, 1, 1)");
        e.push_back(b + ".self_illumination = (0, 0, 0, 1)");
        e.push_back(b + ".diffuse = (0, 0, 0, 1)");
        e.push_back(b + ".reflect = (1, 1, 1, 1)");
        e.push_back(b + ".fresnel = " + std::string(pair == 1 ? "0" : "1"));
        e.push_back(b + ".refract = " + std::string(pair == 1 ? "(0, 0, 0, 1)" : "(1, 1, 1, 1)"));
        e.push_back(b + ".option_reflect_on_back = 1");
    }
    return e;
}

// Element by element, so that a failure names the first call out of place.
void expectSameEvents(const std::vector<std::string>& actual, const std::vector<std::string>& expected)
{
    for (size_t i = 0; i < std::min(actual.size(), expected.size()); ++i)
        ASSERT_EQ(actual[i], expected[i]) << "call " << i;
    EXPECT_EQ(actual.size(), expected.size());
}

TEST(SettingsPluginCallOrder, TwoFramesOfThreeBlocksCallHostAndCoreInOrder)
{
    QuorvelTest::LogCapture log;
    UseRecordingCore recording;
    SpyLib lib;
    QuorvelHost::HostOptions options;
    options.threads = 2;
    options.quiet = true;
    QuorvelHost::Host host(options);
    std::string error;
    ASSERT_TRUE(host.registerLibrary(&lib, error)) << error;
    host.loadScene(writeScene("two_frames.json", twoFrameScene));

    std::vector<std::string> expected;
    for (const char* p : {"phase_mode", "render_inside_zov", "multibox_offset_right", "multibox_offset_top",
                          "multibox_offset_back", "view_scale_length", "view_scale_height", "view_scale_depth", "IPD",
                          "draft_mode", "motion_vectors", "specular_point_offset_right", "specular_point_offset_top",
                          "specular_point_offset_back", "render_scale", "deep_reflection",
                          "render_quorvel_glass_mode", "detect_file", "clipping_enable", "clipping_position",
                          "clipping_radius", "clipping_inside", "tolerance"})
        expected.push_back(std::string("host: setParameter(") + p + ")");
    std::sort(expected.begin(), expected.end()); // jsoncpp hands keys over sorted
    const auto loaded = Recording::get().take();
    expectSameEvents(loaded, expected);

    ASSERT_TRUE(host.render());

    expected = {"host: setupSequence",
                "QvSetDateHeader(0)",
                "QvSetLogLevelHeader(0)",
                "QvSetConsole(0)",
                "QvSetCallBackLogLevel(4)",
                "QvSetCallbackCarriageReturnMode(0)",
                "host: renderBegin"};
    for (const auto& e : glassCreation())
        expected.push_back(e);
    for (const auto& e : frameEvents(1, "-2004.5"))
        expected.push_back(e);
    for (const auto& e : frameEvents(2, "-2004"))
        expected.push_back(e);
    expected.push_back("host: renderEnd");
    for (const auto& g : glassNotes("renderEnd"))
        expected.push_back(g);
    expectSameEvents(Recording::get().take(), expected);

    // Sequence setup raised the sampling for the render phase.
    EXPECT_TRUE(log.contains("[Quorvel] increase the fixed_subdivs to the minimum 4."));
}

} // namespace
} // namespace PluginTest
