// The library entry, the parameter table, the interfaces, sequence set-up and
// render begin/end of the settings plug-in.

#include <gtest/gtest.h>

#include <cstring>

#include "FakeHost.h"
#include "RecordingCore.h"
#include "foundation/Catalogue.h"
#include "support/LogCapture.h"

extern "C" VUtils::PluginLibDesc* getLibDesc();

namespace PluginTest {
namespace {

using Quorvel::Logger::LogLevel;

TEST(SettingsPluginLibrary, EntryDescribesOnePluginTypeWithTwoInterfaces)
{
    PluginLibDesc* lib = getLibDesc();
    ASSERT_NE(lib, nullptr);
    EXPECT_STREQ(lib->getDescription(), "Quorvel-specific plugins for V-Ray");
    PluginDesc& desc = QuorvelPlugin::quorvelPluginDesc();
    EXPECT_EQ(desc.getPluginID(), 0x781C5350u);
    EXPECT_STREQ(desc.getName(), "SettingsQuorvel");
    EXPECT_STREQ(desc.getCopyright(), Quorvel::TXT::Vray::Quorvel_stdPluginCopyright);
    EXPECT_TRUE(desc.supportsInterface(0x7776FFFF));
    EXPECT_TRUE(desc.supportsInterface(0x77770010));
    EXPECT_FALSE(desc.supportsInterface(0x77EE6161));
    EXPECT_FALSE(desc.supportsInterface(0x784A120A));
}

TEST(SettingsPluginLibrary, ParameterTableInOrderWithDefaults)
{
    struct Row {
        const char* name;
        ParamType type;
        double value; // numbers; strings and vectors are checked below
    };
    const Row rows[] = {
        {"subFrame_enabled", TYPE_INT, 1},         {"motion_vectors", TYPE_INT, 1},
        {"internal_cam_id", TYPE_INT, 0},          {"phase_mode", TYPE_INT, 0},
        {"render_inside_zov", TYPE_INT, 0},        {"multibox_offset_right", TYPE_INT, 0},
        {"multibox_offset_top", TYPE_INT, 0},      {"multibox_offset_back", TYPE_INT, 0},
        {"view_scale_length", TYPE_FLOAT, 1.0},    {"view_scale_height", TYPE_FLOAT, 0.5},
        {"view_scale_depth", TYPE_FLOAT, 1.0},     {"IPD", TYPE_FLOAT, 63.5},
        {"draft_mode", TYPE_BOOL, 0},              {"make_lights_invisible", TYPE_INT, 0},
        {"specular_point_offset_right", TYPE_FLOAT, 0}, {"specular_point_offset_top", TYPE_FLOAT, 0},
        {"specular_point_offset_back", TYPE_FLOAT, 0},  {"render_scale", TYPE_FLOAT, 1.0},
        {"deep_reflection", TYPE_BOOL, 1},         {"render_quorvel_glass_mode", TYPE_INT, 0},
        {"distance_to_ground", TYPE_FLOAT, 1.6f},  {"detect_file", TYPE_STRING, 0},
        {"clipping_enable", TYPE_INT, 0},          {"clipping_position", TYPE_VECTOR, 0},
        {"clipping_radius", TYPE_FLOAT, 0},        {"clipping_inside", TYPE_INT, 0},
        {"tolerance", TYPE_FLOAT, 0.25},
    };
    const auto& params = QuorvelPlugin::quorvelParameterListDesc().params();
    ASSERT_EQ(params.size(), std::size(rows));
    for (size_t i = 0; i < params.size(); ++i) {
        SCOPED_TRACE(rows[i].name);
        const ParamDesc& p = params[i];
        EXPECT_EQ(p.name, rows[i].name);
        EXPECT_EQ(p.defaultValue.type, rows[i].type);
        EXPECT_EQ(p.count, -1);
        switch (rows[i].type) {
        case TYPE_INT:
        case TYPE_BOOL: EXPECT_EQ(p.defaultValue.i, static_cast<int>(rows[i].value)); break;
        case TYPE_FLOAT: EXPECT_EQ(p.defaultValue.f, static_cast<float>(rows[i].value)); break;
        case TYPE_STRING: EXPECT_EQ(p.defaultValue.s, ""); break;
        case TYPE_VECTOR: EXPECT_EQ(p.defaultValue.v, Vector(0, 0, 0)); break;
        default: break;
        }
    }
    EXPECT_EQ(params[11].description, "Interpupillary distance in mm.");
    // "render_inside_zov" is declared under the view-mode entry.
    EXPECT_EQ(params[4].description, Quorvel::TXT::Core::param_viewMode_desc);
}

TEST(SettingsPluginInterfaces, AnswersItsThreeInterfacesOnly)
{
    Instance instance;
    auto* p = instance.plugin;
    EXPECT_EQ(p->newInterface(0x77770010), static_cast<RenderSettingsInterface*>(p));
    EXPECT_EQ(p->newInterface(0x77EE6161), static_cast<TopLevelPluginInterface*>(p));
    EXPECT_EQ(p->newInterface(0x7776FFFF), static_cast<VRayPluginInterface*>(p));
    EXPECT_EQ(p->newInterface(0x784A120A), nullptr);
    // Parameters travel through the plug-in interface.
    VRayPluginParameter ipd("IPD", ParamValue::ofFloat(58.0f));
    EXPECT_EQ(p->setParameter(&ipd), 1);
    EXPECT_EQ(p->getParameter("IPD")->getFloat(), 58.0f);
    VRayPluginParameter unknown("no_such_parameter", ParamValue::ofInt(1));
    EXPECT_EQ(p->setParameter(&unknown), 0);
    VRayPluginParameter wrongType("IPD", ParamValue::ofString("63"));
    EXPECT_EQ(p->setParameter(&wrongType), 0);
}

TEST(SettingsPluginSequence, DefaultsReachTheSettings)
{
    UseRecordingCore recording;
    QuorvelTest::LogCapture log;
    Instance instance;
    FakeSequence seq;
    instance->setupSequence(seq);
    const auto& s = instance->settings();
    EXPECT_EQ(s.ipd, 63.5f);
    EXPECT_EQ(s.scaleLength, 1.0f);
    EXPECT_EQ(s.scaleHeight, 0.5f);
    EXPECT_EQ(s.scaleDepth, 1.0f);
    EXPECT_EQ(s.groundDistance, 1.6f);
    EXPECT_EQ(s.tolerance, 0.25f);
    EXPECT_EQ(s.deepReflection, 1);
    EXPECT_EQ(s.motionVectors, 1);
    EXPECT_EQ(s.phaseMode, 0);
    EXPECT_EQ(s.detectFile, "");
}

TEST(SettingsPluginSequence, CorrectsSamplerFilterCameraAndGI)
{
    struct Case {
        const char* name;
        int phaseMode, type, fixed, adaptiveMin;
        unsigned progressiveMin;
        bool filter;
        int cameraType;
        // Expected.
        int type2, fixed2, adaptiveMin2;
        unsigned progressiveMin2;
        int giOn;
        std::vector<std::pair<LogLevel, std::string>> messages;
    };
    using L = LogLevel;
    const std::string fixedTo16 = "[Quorvel] set the samplerType to fixed_subdivs for the detection pass";
    const Case cases[] = {
        {"detection with the adaptive sampler", 0, 1, 1, 1, 1, false, 0, 0, 16, 1, 1, 0, {{L::WARNING, fixedTo16}}},
        {"render, fixed 2 raised to 4", 1, 0, 2, 1, 1, false, 0, 0, 4, 1, 1, 1,
         {{L::WARNING, "[Quorvel] increase the fixed_subdivs to the minimum 4."}}},
        {"render, fixed 5 left alone", 1, 0, 5, 1, 1, false, 0, 0, 5, 1, 1, 1, {}},
        {"render, adaptive minimum 2 raised to 4", 1, 1, 1, 2, 1, false, 0, 1, 1, 4, 1, 1,
         {{L::WARNING, "[Quorvel] increase the adaptive_minRate to the minimum 4."}}},
        {"render, progressive refused and raised", 1, 3, 1, 1, 1, false, 0, 3, 1, 1, 4, 1,
         {{L::ERROR, "[Quorvel] progressive sampler is not supported. Please switch V-Ray to bucket rendering."},
          {L::WARNING, "[Quorvel] increase the minSamplesPerPixel to the minimum 4."}}},
        {"render, adaptive subdivision refused", 1, 2, 1, 1, 1, false, 0, 2, 1, 1, 1, 1,
         {{L::ERROR, "[Quorvel] adaptative subdivision sampler is not supported. Please switch V-Ray to bucket "
                     "rendering."}}},
        {"filter and camera type", 1, 0, 4, 1, 1, true, 2, 0, 4, 1, 1, 1,
         {{L::WARNING, "[Quorvel] switch to box1x1 filtering"},
          {L::INFO, "[Quorvel] switch to the standard camera type (type 0)"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UseRecordingCore recording;
        QuorvelTest::LogCapture log;
        Instance instance;
        instance.set("phase_mode", ParamValue::ofInt(c.phaseMode));
        FakeSequence seq;
        seq.samplerParams.type = c.type;
        seq.samplerParams.fixedSubdivs = c.fixed;
        seq.samplerParams.adaptiveMinRate = c.adaptiveMin;
        seq.progressive.minSamplesPerPixel = c.progressiveMin;
        seq.giParams.on = 1;
        seq.giEngine = &seq.hostGI;
        seq.cameraType = c.cameraType;
        if (c.filter) {
            seq.filter = &seq.hostFilter;
            seq.samplerParams.filterOn = 1;
        }
        instance->setupSequence(seq);
        EXPECT_EQ(seq.samplerParams.type, c.type2);
        EXPECT_EQ(seq.samplerParams.fixedSubdivs, c.fixed2);
        EXPECT_EQ(seq.samplerParams.adaptiveMinRate, c.adaptiveMin2);
        EXPECT_EQ(seq.progressive.minSamplesPerPixel, c.progressiveMin2);
        EXPECT_EQ(seq.giParams.on, c.giOn);
        EXPECT_EQ(seq.giEngine == nullptr, c.giOn == 0);
        EXPECT_EQ(seq.filter, nullptr);
        EXPECT_EQ(seq.samplerParams.filterOn, 0);
        EXPECT_EQ(seq.cameraType, 0);
        std::vector<std::pair<LogLevel, std::string>> got;
        for (const auto& e : log.entries())
            got.push_back({e.level, QuorvelTest::LogCapture::stripHeader(e.text)});
        EXPECT_EQ(got, c.messages);
    }
}

TEST(SettingsPluginSequence, InstallsItsObjectsKeepingTheHostOnes)
{
    UseRecordingCore recording;
    QuorvelTest::LogCapture log;
    Instance instance;
    FakeSequence seq;
    VRayIntersectionShader2 hostShader;
    struct HostCallback : RegionDoneCallback {
        OutputRegion* newOutputRegion(const int*) override { return nullptr; }
        void releaseOutputRegion(OutputRegion*) override {}
        void regionBegin(OutputRegion*, int, int) override {}
        void regionDone(OutputRegion*) override {}
    } hostCallback;
    seq.intersectionShaders.push_back(&hostShader);
    seq.regionDoneCallback = &hostCallback;
    instance->setupSequence(seq);

    ASSERT_NE(seq.camera, &seq.hostCamera);
    EXPECT_NE(seq.camera->newInterface(0x784A120A), nullptr);
    ASSERT_EQ(seq.intersectionShaders.size(), 2u);
    EXPECT_EQ(seq.intersectionShaders[0], &hostShader);
    EXPECT_NE(seq.regionDoneCallback, &hostCallback);
    // The logger forwards to the renderer's log; an error also aborts.
    auto& r = Recording::get();
    ASSERT_NE(r.callback, nullptr);
    EXPECT_EQ(r.callbackData, &seq.host.log);
    r.callback(Quorvel::Logger::WARNING, "w", r.callbackData);
    r.callback(Quorvel::Logger::INFO, "i", r.callbackData);
    r.callback(Quorvel::Logger::DEBUG, "d", r.callbackData);
    r.callback(Quorvel::Logger::TRACE, "t", r.callbackData);
    r.callback(static_cast<LogLevel>(7), "dropped", r.callbackData);
    EXPECT_EQ(seq.host.log.aborts, 0);
    r.callback(Quorvel::Logger::ERROR, "e", r.callbackData);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"warning", "w"}, {"info", "i"}, {"debug", "d"}, {"debug", "t"}, {"error", "e"}};
    EXPECT_EQ(seq.host.log.lines, expected);
    EXPECT_EQ(seq.host.log.aborts, 1);
    EXPECT_EQ(seq.host.log.abortValue, 1);
}

TEST(SettingsPluginRender, EachRenderCreatesTwoGlassPairsAndForgetsThemAtTheEnd)
{
    UseRecordingCore recording;
    QuorvelTest::LogCapture log;
    Instance instance;
    FakeSequence seq;
    instance->setupSequence(seq);
    log.clear();
    for (int render = 0; render < 2; ++render) {
        SCOPED_TRACE(render);
        instance->renderBegin(&seq.host);
        const auto& s = instance->settings();
        ASSERT_EQ(s.glassMaterials.size(), 2u);
        ASSERT_EQ(s.glassBrdfs.size(), 2u);
        const auto* mirror = static_cast<FakeCreated*>(s.glassBrdfs[0]);
        const auto* clear = static_cast<FakeCreated*>(s.glassBrdfs[1]);
        EXPECT_EQ(static_cast<FakeCreated*>(s.glassMaterials[0])->cls, "MtlSingleBRDF");
        EXPECT_EQ(mirror->cls, "BRDFVRayMtl");
        EXPECT_EQ(static_cast<FakeCreated*>(s.glassMaterials[0])->params.at("brdf").plugin, s.glassBrdfs[0]);
        EXPECT_EQ(static_cast<FakeCreated*>(s.glassMaterials[1])->params.at("brdf").plugin, s.glassBrdfs[1]);
        EXPECT_EQ(mirror->params.at("fresnel").i, 0);
        EXPECT_EQ(clear->params.at("fresnel").i, 1);
        EXPECT_EQ(mirror->params.at("refract").c, AColor(0, 0, 0, 1));
        EXPECT_EQ(clear->params.at("refract").c, AColor(1, 1, 1, 1));
        EXPECT_EQ(seq.host.created.size(), 4u * static_cast<size_t>(render + 1));
        instance->renderEnd(&seq.host);
        EXPECT_TRUE(instance->settings().glassMaterials.empty());
        EXPECT_TRUE(instance->settings().glassBrdfs.empty());
    }
    EXPECT_TRUE(log.messages().empty());
}

TEST(SettingsPluginRender, RenderBeginFailuresAreErrors)
{
    struct Case {
        const char* name;
        bool pluginRenderer, manager, failCreate;
        std::vector<std::string> errors;
        size_t entries;
    };
    const Case cases[] = {
        {"no plug-in renderer", false, true, false, {"[Quorvel] cannot get the pluginRenderer interface from Vray"}, 0},
        {"no plug-in manager", true, false, false,
         {"[Quorvel] cannot get the pluginManger from the plugin renderer interface."}, 0},
        {"creation fails", true, true, true,
         {"[Quorvel] cannot create new plugin MtlSingleBRDF(0)", "[Quorvel] cannot create new plugin BRDFVRayMtl(1)",
          "[Quorvel] cannot create new plugin MtlSingleBRDF(2)", "[Quorvel] cannot create new plugin BRDFVRayMtl(2)"},
         2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UseRecordingCore recording;
        QuorvelTest::LogCapture log;
        Instance instance;
        FakeSequence seq;
        seq.host.pluginRenderer = c.pluginRenderer;
        seq.host.manager = c.manager;
        seq.host.failCreate = c.failCreate;
        instance->setupSequence(seq);
        log.clear();
        instance->renderBegin(&seq.host);
        std::vector<std::string> errors;
        for (const auto& e : log.entries()) {
            EXPECT_EQ(e.level, Quorvel::Logger::ERROR);
            errors.push_back(QuorvelTest::LogCapture::stripHeader(e.text));
        }
        EXPECT_EQ(errors, c.errors);
        // Empty entries stay in the lists and are skipped by the notifications.
        EXPECT_EQ(instance->settings().glassMaterials.size(), c.entries);
        instance->frameBegin(&seq.host);
        instance->renderEnd(&seq.host);
    }
}

TEST(SettingsPluginPathSampler, EveryPixelGetsTheCoreSeed)
{
    UseRecordingCore recording;
    QuorvelTest::LogCapture log;
    Instance instance;
    FakeSequence seq;
    struct HostSampler : PathSampler {
        int calls = 0;
        void initPixel(PixelSamplingState& s, int, int) override
        {
            ++calls;
            s.seed = 42;
        }
    } hostSampler;
    seq.pathSampler = &hostSampler;
    seq.samplerParams.fixedSubdivs = 16;
    instance->setupSequence(seq);
    VRayFrameData frame;
    frame.imgWidth = 312;
    frame.imgHeight = 208;
    instance->setupFrame(frame);
    ASSERT_NE(seq.pathSampler, &hostSampler);
    PixelSamplingState state;
    seq.pathSampler->initPixel(state, 17, 5);
    EXPECT_EQ(hostSampler.calls, 1);
    EXPECT_EQ(state.seed, 17005u); // the recording core's seed for (17, 5)
    // The camera puts the host's sampler back at the end of the frame.
    seq.camera->frameEnd(frame);
    EXPECT_EQ(seq.pathSampler, &hostSampler);
}

} // namespace
} // namespace PluginTest
