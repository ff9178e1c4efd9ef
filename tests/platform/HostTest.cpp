// quorvel_host: scene errors, the pinhole picture, threads, animation and the
// plug-in loaded from disk.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

#include "Host.h"
#include "Scene.h"
#include "support/LogCapture.h"

namespace {

namespace fs = std::filesystem;
using namespace VUtils;

fs::path testDir()
{
    const fs::path dir = fs::temp_directory_path() / ("quorvel_host_tests_" + std::to_string(getpid()));
    fs::create_directories(dir);
    return dir;
}

std::string writeFile(const std::string& name, const std::string& text)
{
    const fs::path path = testDir() / name;
    std::ofstream(path, std::ios::binary) << text;
    return path.string();
}

std::string loadError(const std::string& path)
{
    QuorvelHost::HostOptions options;
    options.quiet = true;
    QuorvelHost::Host host(options);
    try {
        host.loadScene(path);
    } catch (const QuorvelHost::SceneError& e) {
        return e.what();
    }
    return "";
}

// A minimal valid scene, with room for more instances.
std::string scene(const std::string& extra)
{
    return "{\"plugins\": [\n"
           "  {\"type\": \"SettingsOutput\", \"name\": \"output\", \"params\": {\"img_width\": 24, \"img_height\": 16}},\n"
           "  {\"type\": \"RenderView\", \"name\": \"camera\"}" +
           extra + "\n]}\n";
}

TEST(HostSceneFile, BadScenesNameFileLineAndWhatWasExpected)
{
    std::string manyNodes = ",\n  {\"type\": \"GeomSphere\", \"name\": \"s\", \"params\": {\"segments\": 1024}}";
    for (int i = 0; i < 16; ++i)
        manyNodes += ",\n  {\"type\": \"Node\", \"name\": \"n" + std::to_string(i) + "\", \"params\": {\"geometry\": \"s\"}}";
    struct Case {
        const char* name;
        std::string text;
        std::string error; // after "<path>:"
    };
    const Case cases[] = {
        {"not_json", "{\"plugins\": [\n  {\"type\": \"Node\",,}\n]}\n",
         " not valid JSON: Line 2, Column 19"},
        {"no_plugins", "{\"plugin\": []}\n", "1: unknown key \"plugin\" (expected \"plugins\")"},
        {"plugins_not_array", "{\"plugins\": {}}\n", "1: \"plugins\": expected an array of plug-in instances"},
        {"entry_key", scene(",\n  {\"type\": \"Node\", \"nmae\": \"x\"}"),
         "4: plugins[2]: unknown key \"nmae\" (expected \"type\", \"name\" or \"params\")"},
        {"no_type", scene(",\n  {\"name\": \"x\"}"), "4: plugins[2].type: expected the plug-in type as a string"},
        {"duplicate_name", scene(",\n  {\"type\": \"GeomSphere\", \"name\": \"camera\"}"),
         "4: plugins[2].name: \"camera\" is already used"},
        {"unknown_type", scene(",\n  {\"type\": \"LightSpot\", \"name\": \"spot\"}"),
         "4: unknown plug-in type \"LightSpot\" (instance \"spot\")"},
        {"unknown_parameter", scene(",\n  {\"type\": \"LightOmni\", \"name\": \"l\", \"params\": {\n    \"colour\": [1, 1, 1]}}"),
         "5: LightOmni \"l\": unknown parameter \"colour\""},
        {"wrong_type", scene(",\n  {\"type\": \"LightOmni\", \"name\": \"l\", \"params\": {\"intensity\": \"bright\"}}"),
         "4: LightOmni \"l\": parameter \"intensity\": expected a number"},
        {"wrong_vector", scene(",\n  {\"type\": \"LightOmni\", \"name\": \"l\", \"params\": {\"position\": [1, 2]}}"),
         "4: LightOmni \"l\": parameter \"position\": expected an array of 3 numbers"},
        {"bad_reference", scene(",\n  {\"type\": \"Node\", \"name\": \"n\", \"params\": {\"geometry\": \"ghost\"}}"),
         "4: Node \"n\": parameter \"geometry\": no plug-in instance named \"ghost\""},
        {"bad_keys", scene(",\n  {\"type\": \"LightOmni\", \"name\": \"l\", \"params\": {\"intensity\": {\"keys\": [1]}}}"),
         "4: LightOmni \"l\": parameter \"intensity\": \"keys\": expected an array of [frame, value] pairs"},
        {"node_without_geometry", scene(",\n  {\"type\": \"Node\", \"name\": \"n\"}"),
         "4: Node \"n\": geometry: expected the name of a Geom instance"},
        {"missing_mesh", scene(",\n  {\"type\": \"GeomMeshFile\", \"name\": \"m\", \"params\": {\"file\": \"nowhere.obj\"}}"),
         "4: GeomMeshFile \"m\": cannot load the mesh file \"" + (testDir() / "nowhere.obj").string() + "\": "},
        {"no_output", "{\"plugins\": [{\"type\": \"RenderView\", \"name\": \"camera\"}]}",
         " no SettingsOutput instance: expected one with img_width and img_height"},
        {"no_camera", "{\"plugins\": [{\"type\": \"SettingsOutput\", \"name\": \"o\"}]}",
         " no RenderView instance: expected one camera with a transform"},
        {"bad_size", "{\"plugins\": [{\"type\": \"RenderView\", \"name\": \"c\"},\n"
                     "  {\"type\": \"SettingsOutput\", \"name\": \"o\", \"params\": {\"img_width\": 0}}]}",
         "2: SettingsOutput \"o\": img_width and img_height: expected 1 to 16384 pixels"},
        // The error points at the size that is out of range.
        {"bad_height", "{\"plugins\": [{\"type\": \"RenderView\", \"name\": \"c\"},\n"
                       "  {\"type\": \"SettingsOutput\", \"name\": \"o\", \"params\": {\"img_width\": 24,\n"
                       "    \"img_height\": 20000}}]}",
         "3: SettingsOutput \"o\": img_width and img_height: expected 1 to 16384 pixels"},
        // The widest range of ints is one too many frames, not a wrapped difference.
        {"frame_range_of_all_ints", "{\"plugins\": [{\"type\": \"RenderView\", \"name\": \"c\"},\n"
                                    "  {\"type\": \"SettingsOutput\", \"name\": \"o\", \"params\": {\"frame_start\": -2147483648,\n"
                                    "    \"frame_end\": 2147483647}}]}",
         "3: SettingsOutput \"o\": frame range: expected at most 100000 frames"},
        // 2^20 triangles in the sphere and in each node's copy: the 16th node
        // passes 2^24.
        {"too_many_triangles", scene(manyNodes), "20: Node \"n15\": the scene would hold more than 16777216 triangles"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = writeFile(std::string(c.name) + ".json", c.text);
        const std::string error = loadError(path);
        EXPECT_EQ(error.substr(0, path.size() + 1 + c.error.size()), path + ":" + c.error);
    }
    EXPECT_EQ(loadError((testDir() / "absent.json").string()),
              (testDir() / "absent.json").string() + ": cannot open the scene file");
    fs::create_directories(testDir() / "folder.json");
    EXPECT_EQ(loadError((testDir() / "folder.json").string()),
              (testDir() / "folder.json").string() + ": a directory, not a scene file");
}

// A grey wall facing the camera, lit head-on by a directional light: every
// pixel it covers is diffuse x intensity exactly.
const char* const wallScene = R"({"plugins": [
  {"type": "SettingsOutput", "name": "output", "params": {
    "img_width": 48, "img_height": 32, "img_file": "wall_#.png", "img_dir": "out",
    "img_file_needFrameNumber": true, "anim_frame_padding": 2, "frame_start": 3, "frame_end": 4}},
  {"type": "SettingsRegionsGenerator", "name": "buckets", "params": {"xc": 8, "yc": 8}},
  {"type": "SettingsEnvironment", "name": "env", "params": {"bg_color": [0.2, 0.4, 0.6, 1]}},
  {"type": "RenderView", "name": "camera", "params": {"fov": 60, "transform": [1,0,0, 0,1,0, 0,0,1, 0,0,5]}},
  {"type": "LightDirect", "name": "sun", "params": {"direction": [0, 0, -1], "intensity": 0.5}},
  {"type": "BRDFVRayMtl", "name": "grey", "params": {"diffuse": [0.5, 0.5, 0.5]}},
  {"type": "GeomPlane", "name": "plane", "params": {"size_x": 2, "size_y": 2}},
  {"type": "Node", "name": "wall", "params": {"geometry": "plane", "material": "grey",
    "transform": {"keys": [[3, {"translate": [0, 0, 0]}], [4, {"translate": [1, 0, 0]}]]}}},
  {"type": "RenderChannelVelocity", "name": "velocity"},
  {"type": "RenderChannelZDepth", "name": "z"},
  {"type": "RenderChannelColor", "name": "diffuse", "params": {"alias": 150}}
]})";

uint32_t bigEndian(const std::string& bytes, size_t at)
{
    return (uint32_t(uint8_t(bytes[at])) << 24) | (uint32_t(uint8_t(bytes[at + 1])) << 16) |
           (uint32_t(uint8_t(bytes[at + 2])) << 8) | uint32_t(uint8_t(bytes[at + 3]));
}

TEST(HostRender, PinholePictureOfALitWall)
{
    QuorvelTest::LogCapture log; // keeps the progress bar off the console
    const std::string path = writeFile("wall.json", wallScene);
    fs::remove_all(testDir() / "out");
    std::vector<float> images[2];
    for (int threads : {1, 2}) {
        QuorvelHost::HostOptions options;
        options.quiet = true;
        options.threads = threads;
        QuorvelHost::Host host(options);
        host.loadScene(path);
        ASSERT_TRUE(host.render());
        images[threads - 1] = host.image();
        ASSERT_EQ(host.imageWidth(), 48);
        ASSERT_EQ(host.imageHeight(), 32);
        const auto pixel = [&](int x, int y) { return &host.image()[(size_t(y) * 48 + size_t(x)) * 4]; };
        // Frame 4: the wall moved one unit right, so the centre is still on it
        // and the left edge sees the background.
        const float* centre = pixel(30, 16);
        EXPECT_EQ(centre[0], 0.25f);
        EXPECT_EQ(centre[1], 0.25f);
        EXPECT_EQ(centre[2], 0.25f);
        EXPECT_EQ(centre[3], 1.0f);
        const float* corner = pixel(0, 0);
        EXPECT_EQ(corner[0], 0.2f);
        EXPECT_EQ(corner[1], 0.4f);
        EXPECT_EQ(corner[2], 0.6f);
        EXPECT_EQ(corner[3], 0.0f);
    }
    EXPECT_EQ(images[0], images[1]);

    for (const char* name : {"wall_03.png", "wall_04.png"}) {
        std::ifstream in(testDir() / "out" / name, std::ios::binary);
        ASSERT_TRUE(in) << name;
        std::stringstream bytes;
        bytes << in.rdbuf();
        const std::string png = bytes.str();
        ASSERT_GT(png.size(), 33u);
        EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
        EXPECT_EQ(png.substr(12, 4), "IHDR");
        EXPECT_EQ(bigEndian(png, 16), 48u);
        EXPECT_EQ(bigEndian(png, 20), 32u);
        EXPECT_EQ(uint8_t(png[24]), 8u); // bit depth
        EXPECT_EQ(uint8_t(png[25]), 6u); // RGBA
    }
}

// The frame loop ends at the last frame even when that is the largest int.
TEST(HostRender, FrameRangeEndingAtTheLargestInt)
{
    QuorvelTest::LogCapture log;
    const std::string path = writeFile("last_frames.json", R"({"plugins": [
  {"type": "SettingsOutput", "name": "o", "params": {"img_width": 2, "img_height": 2,
    "frame_start": 2147483646, "frame_end": 2147483647}},
  {"type": "RenderView", "name": "c"}]})");
    QuorvelHost::HostOptions options;
    options.quiet = true;
    options.threads = 1;
    QuorvelHost::Host host(options);
    host.loadScene(path);
    ASSERT_TRUE(host.render());
    EXPECT_EQ(host.scene().frameData().frameNumber, 2147483647);
}

TEST(HostRender, HitsCarryChannelValuesAndVelocityFromAnimation)
{
    QuorvelHost::HostOptions options;
    options.quiet = true;
    QuorvelHost::Host host(options);
    host.loadScene(writeFile("wall_channels.json", wallScene));
    QuorvelHost::Scene& scene = host.scene();
    scene.setFrame(3);
    QuorvelHost::HostRayContext rc(scene);
    ASSERT_TRUE(scene.intersect(rc, Vector(0.25f, 0.5f, 5), Vector(0, 0, -1), 0.0f, 100.0f));
    EXPECT_NEAR(rc.position.z, 0.0f, 1e-5f);
    EXPECT_NEAR(rc.hitDistance, 5.0f, 1e-5f);
    const ChannelValue* velocity = rc.channel(RENDER_CHANNEL_VELOCITY);
    const ChannelValue* z = rc.channel(RENDER_CHANNEL_ZDEPTH);
    const ChannelValue* diffuse = rc.channel(150);
    ASSERT_TRUE(velocity && z && diffuse);
    EXPECT_EQ(velocity->v[0], 1.0f);
    EXPECT_EQ(velocity->v[1], 0.0f);
    EXPECT_EQ(velocity->v[2], 0.0f);
    EXPECT_EQ(z->d[0], static_cast<double>(rc.hitDistance));
    EXPECT_EQ(diffuse->v[0], 0.5f);
    auto* velocitySource = static_cast<VelocityInterface*>(rc.object->newInterface(EXT_VELOCITY));
    ASSERT_NE(velocitySource, nullptr);
    EXPECT_EQ(velocitySource->getVelocity(rc), Vector(1, 0, 0));
    // The last frame holds still.
    scene.setFrame(4);
    ASSERT_TRUE(scene.intersect(rc, Vector(1.25f, 0.5f, 5), Vector(0, 0, -1), 0.0f, 100.0f));
    EXPECT_EQ(rc.channel(RENDER_CHANNEL_VELOCITY)->v[0], 0.0f);
    EXPECT_FALSE(scene.intersect(rc, Vector(-0.25f, 0.5f, 5), Vector(0, 0, -1), 0.0f, 100.0f));
}

TEST(HostRender, MaterialTagsAndMeshFiles)
{
    writeFile("tri.obj", "v -1 -1 0\nv 1 -1 0\nv 0 1 0\nf 1 2 3\n");
    const std::string path = writeFile("tags.json", scene(R"(,
  {"type": "BRDFVRayMtl", "name": "b"},
  {"type": "MtlSingleBRDF", "name": "m", "params": {"brdf": "b", "tags": {"qvl_glass_IOR": "1.5", "qvl_cockpit": "1"}}},
  {"type": "GeomMeshFile", "name": "tri", "params": {"file": "tri.obj"}},
  {"type": "Node", "name": "n", "params": {"geometry": "tri", "material": "m", "transform": {"translate": [0, 0, -3]}}})"));
    QuorvelHost::HostOptions options;
    options.quiet = true;
    QuorvelHost::Host host(options);
    host.loadScene(path);
    QuorvelHost::Scene& s = host.scene();
    s.setFrame(0);
    QuorvelHost::HostRayContext rc(s);
    ASSERT_TRUE(s.intersect(rc, Vector(0, 0, 0), Vector(0, 0, -1), 0.0f, 100.0f));
    ASSERT_NE(rc.material, nullptr);
    auto* tags = static_cast<MaterialTagsInterface*>(rc.material->newInterface(EXT_MATERIAL_TAGS));
    ASSERT_NE(tags, nullptr);
    EXPECT_STREQ(tags->getTag(rc, "qvl_glass_IOR"), "1.5");
    EXPECT_STREQ(tags->getTag(rc, "qvl_cockpit"), "1");
    EXPECT_EQ(tags->getTag(rc, "qvl_transp"), nullptr);
    EXPECT_EQ(rc.surfaceNormal, Vector(0, 0, 1));
}

// --set replaces one parameter before the scene is checked, found by instance
// name first, then by plug-in type.
TEST(HostSceneFile, SetReplacesParametersByInstanceOrTypeName)
{
    QuorvelTest::LogCapture log;
    const std::string path = writeFile("wall_set.json", wallScene);
    fs::remove_all(testDir() / "out");
    QuorvelHost::HostOptions options;
    options.quiet = true;
    options.overrides = {"SettingsOutput.img_width=24", "output.img_height=16", "output.frame_end=3",
                         "sun.intensity=1", "output.img_file=\"set_#.png\""};
    QuorvelHost::Host host(options);
    host.loadScene(path);
    ASSERT_TRUE(host.render());
    ASSERT_EQ(host.imageWidth(), 24);
    ASSERT_EQ(host.imageHeight(), 16);
    const float* centre = &host.image()[(size_t(8) * 24 + 12) * 4];
    EXPECT_EQ(centre[0], 0.5f); // frame 3 only, and the sun at full intensity
    EXPECT_TRUE(fs::exists(testDir() / "out" / "set_03.png"));
    EXPECT_FALSE(fs::exists(testDir() / "out" / "set_04.png"));

    struct Case {
        const char* set;
        std::string error;
    };
    const Case cases[] = {
        {"output", "--set output: expected INSTANCE.PARAMETER=VALUE"},
        {"output.img_width", "--set output.img_width: expected INSTANCE.PARAMETER=VALUE"},
        {".img_width=3", "--set .img_width=3: expected INSTANCE.PARAMETER=VALUE"},
        {"output.=3", "--set output.=3: expected INSTANCE.PARAMETER=VALUE"},
        {"output.img_file=set.png", "--set output.img_file=set.png: the value is not JSON (strings need quotes)"},
        {"ghost.intensity=1", "--set ghost.intensity=1: the scene has no instance or plug-in type \"ghost\""},
        {"sun.intensity=\"bright\"", path + ":8: LightDirect \"sun\": parameter \"intensity\": expected a number"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.set);
        QuorvelHost::HostOptions bad;
        bad.quiet = true;
        bad.overrides = {c.set};
        QuorvelHost::Host badHost(bad);
        std::string error;
        try {
            badHost.loadScene(path);
        } catch (const QuorvelHost::SceneError& e) {
            error = e.what();
        }
        EXPECT_EQ(error, c.error);
    }
}

TEST(HostPluginLoading, LoadsTheSettingsPluginFromDisk)
{
    QuorvelHost::HostOptions options;
    options.quiet = true;
    options.threads = 2;
    QuorvelHost::Host host(options);
    std::string error;
    EXPECT_FALSE(host.loadPluginLibrary((testDir() / "missing.so").string(), error));
    EXPECT_EQ(error.rfind("cannot load the plug-in library \"" + (testDir() / "missing.so").string() + "\": ", 0), 0u);
    ASSERT_TRUE(host.loadPluginLibrary(QUORVEL_PLUGIN_LIBRARY, error)) << error;

    // An unknown parameter of the plug-in's type is refused at load.
    const std::string bad = writeFile("quorvel_bad.json",
                                      scene(",\n  {\"type\": \"SettingsQuorvel\", \"name\": \"q\", \"params\": {\"ipd\": 60}}"));
    try {
        host.loadScene(bad);
        ADD_FAILURE() << "loaded";
    } catch (const QuorvelHost::SceneError& e) {
        EXPECT_EQ(std::string(e.what()), bad + ":4: SettingsQuorvel \"q\": unknown parameter \"ipd\"");
    }
}

} // namespace

namespace {

std::vector<float> renderWall(int servers, const std::string& executable, bool& ok, uint64_t& rays)
{
    QuorvelHost::HostOptions options;
    options.quiet = true;
    options.threads = 2;
    options.renderServers = servers;
    options.serverExecutable = executable;
    QuorvelHost::Host host(options);
    host.loadScene(writeFile("wall_servers.json", wallScene));
    ok = host.render();
    rays = host.stats().rays.load();
    return host.image();
}

TEST(HostRenderServers, RegionsOfAServerProcessArriveAsRegionBuffers)
{
    QuorvelTest::LogCapture log;
    bool ok = false;
    uint64_t localRays = 0, clientRays = 0;
    const std::vector<float> local = renderWall(0, "", ok, localRays);
    ASSERT_TRUE(ok);
    const std::vector<float> distributed = renderWall(1, QUORVEL_HOST_EXECUTABLE, ok, clientRays);
    ASSERT_TRUE(ok);
    EXPECT_EQ(distributed, local);
    // The client traced only its own half of the buckets.
    EXPECT_LT(clientRays, localRays);
    EXPECT_GT(clientRays, 0u);
}

TEST(HostRenderServers, AServerThatSendsNothingAbortsTheRender)
{
    QuorvelTest::LogCapture log;
    testing::internal::CaptureStderr();
    bool ok = true;
    uint64_t rays = 0;
    renderWall(1, "/bin/false", ok, rays);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(ok);
    EXPECT_NE(err.find("error: render server 1: the connection closed before all regions arrived"), std::string::npos)
        << err;
}

} // namespace

namespace {

std::string commandOutput(const std::string& command, int& status)
{
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) {
        status = -1;
        return out;
    }
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe))
        out += buffer;
    status = ::pclose(pipe);
    return out;
}

// Scripts that give every frame a job of its own read the range this way,
// with the same overrides the jobs get.
TEST(HostCommandLine, PrintFramesPrintsTheRangeAfterOverridesWithoutRendering)
{
    const fs::path dir = testDir() / "print_frames";
    fs::create_directories(dir);
    const std::string path = (dir / "frames.json").string();
    std::ofstream(path) << "{\"plugins\": [\n"
                           "  {\"type\": \"SettingsOutput\", \"name\": \"output\", \"params\": {\"img_width\": 8,"
                           " \"img_height\": 8, \"img_file\": \"x_#.png\", \"img_file_needFrameNumber\": true,"
                           " \"frame_start\": 3, \"frame_end\": 5}},\n"
                           "  {\"type\": \"RenderView\", \"name\": \"camera\"}\n]}\n";
    const std::string host = std::string(QUORVEL_HOST_EXECUTABLE) + " --quiet --print-frames ";
    int status = 0;
    EXPECT_EQ(commandOutput(host + "'" + path + "'", status), "3 5\n");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(commandOutput(host + "--set 'SettingsOutput.frame_end=9' '" + path + "'", status), "3 9\n");
    EXPECT_EQ(status, 0);
    // Nothing was rendered.
    EXPECT_FALSE(fs::exists(dir / "x_0003.png"));
    commandOutput(host + "'" + (dir / "missing.json").string() + "' 2>/dev/null", status);
    EXPECT_EQ(WEXITSTATUS(status), 1);
}

} // namespace
