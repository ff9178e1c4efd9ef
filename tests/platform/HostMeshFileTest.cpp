// quorvel_host with mesh files and model scenes: the file's materials and
// textures in the plain picture and through the Quorvel phases, texture
// files that cannot be used, and glTF scenes taken whole (camera, lights,
// animation).

#include <gtest/gtest.h>

#include <lodepng.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Host.h"
#include "Scene.h"
#include "Texture.h"
#include "io/QvlRenderFile.h"
#include "support/LogCapture.h"

namespace {

namespace fs = std::filesystem;
using namespace VUtils;

fs::path testDir()
{
    const fs::path dir = fs::temp_directory_path() / ("quorvel_mesh_file_tests_" + std::to_string(getpid()));
    fs::create_directories(dir);
    return dir;
}

std::string writeFile(const fs::path& path, const std::string& bytes)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
    return path.string();
}

std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

float srgbToLinear(int v)
{
    const float c = static_cast<float>(v) / 255.0f;
    return c <= 0.04045f ? c / 12.92f : std::pow((c + 0.055f) / 1.055f, 2.4f);
}

// The checkerboard: 4 x 4 cells of 2 x 2 texels, colour A where the cell's
// column plus its row counted from the bottom is even.
const int kA[3] = {200, 40, 40}, kB[3] = {40, 40, 200};

bool cellIsA(float u, float v)
{
    return (static_cast<int>(std::floor(u * 4)) + static_cast<int>(std::floor(v * 4))) % 2 == 0;
}

void writeChecker(const fs::path& path)
{
    std::vector<unsigned char> rgba(8 * 8 * 4);
    for (int row = 0; row < 8; ++row)
        for (int col = 0; col < 8; ++col) {
            const bool a = (col / 2 + (3 - row / 2)) % 2 == 0;
            for (int c = 0; c < 3; ++c)
                rgba[(row * 8 + col) * 4 + c] = static_cast<unsigned char>(a ? kA[c] : kB[c]);
            rgba[(row * 8 + col) * 4 + 3] = 255;
        }
    fs::create_directories(path.parent_path());
    ASSERT_EQ(lodepng::encode(path.string(), rgba, 8, 8), 0u);
}

// A 4 x 4 quad at y = 3 facing the origin, UVs along x and z. Its vertex
// normals fan out by `fan` so that a sample's normal tells where on the quad
// it lies: n ~ (fan x / 2, -1, fan z / 2).
std::string quadObj(float fan, const std::string& mtl = "quad.mtl")
{
    const std::string k = std::to_string(fan);
    return "mtllib " + mtl + "\n"
           "v -2 3 -2\nv 2 3 -2\nv 2 3 2\nv -2 3 2\n"
           "vt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\n"
           "vn -" + k + " -1 -" + k + "\nvn " + k + " -1 -" + k + "\nvn " + k + " -1 " + k + "\nvn -" + k + " -1 " + k + "\n"
           "usemtl checker\nf 1/1/1 2/2/2 3/3/3 4/4/4\n";
}

std::string quadMtl(const std::string& map, const char* kd = "1 1 1")
{
    return "newmtl checker\nKd " + std::string(kd) + "\nKs 0 0 0\n" + (map.empty() ? "" : "map_Kd " + map + "\n");
}

// The quad seen from the origin, lit head-on; Quorvel settings when asked.
std::string quadScene(const std::string& obj, bool withQuorvel, int size = 32)
{
    std::string s = R"({"plugins": [)";
    if (withQuorvel)
        s += R"(
  {"type": "SettingsQuorvel", "name": "quorvel", "params": {"render_scale": 100, "deep_reflection": false,
    "detect_file": "detect_#.qvl"}},)";
    s += R"(
  {"type": "SettingsOutput", "name": "output", "params": {"img_width": )" + std::to_string(size) +
         R"(, "img_height": )" + std::to_string(withQuorvel ? size * 2 / 3 : size) + R"(,
    "img_file_needFrameNumber": true, "frame_start": 1, "frame_end": 1}},
  {"type": "SettingsImageSampler", "name": "sampler", "params": {"type": 0, "fixed_subdivs": 1}},
  {"type": "SettingsSystem", "name": "system", "params": {"num_threads": 2}},
  {"type": "SettingsUnitsInfo", "name": "units", "params": {"scene_upDir": [0, 0, 1]}},
  {"type": "RenderView", "name": "camera", "params": {"fov": 90, "transform": [1, 0, 0,  0, 0, 1,  0, -1, 0,  0, 0, 0]}},
  {"type": "LightDirect", "name": "light", "params": {"direction": [0, 1, 0]}},
  {"type": "GeomMeshFile", "name": "quad", "params": {"file": ")" + obj + R"("}},
  {"type": "Node", "name": "quad_node", "params": {"geometry": "quad"}}
]})";
    return s;
}

// Distance from (u, v) to the nearest cell border, in cells.
float borderDistance(float u, float v)
{
    auto d = [](float t) {
        const float c = t * 4 - std::floor(t * 4);
        return std::min(c, 1 - c);
    };
    return std::min(d(u), d(v));
}

void expectColour(const float* rgb, bool a, float scale, float tolerance, const std::string& where)
{
    const int* want = a ? kA : kB;
    for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(rgb[c], srgbToLinear(want[c]) * scale, tolerance) << where << " channel " << c;
}

int run(const std::string& command, std::string* output = nullptr)
{
    const fs::path log = testDir() / "command.log";
    const int status = std::system((command + " >'" + log.string() + "' 2>&1").c_str());
    if (output)
        *output = readFile(log);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(HostMeshFile, TexturedQuadInThePlainPicture)
{
    QuorvelTest::LogCapture log;
    const fs::path dir = testDir() / "plain";
    writeChecker(dir / "checker.png");
    writeFile(dir / "quad.mtl", quadMtl("checker.png"));
    writeFile(dir / "quad.obj", quadObj(0.0f));
    const std::string path = writeFile(dir / "quad.json", quadScene("quad.obj", false));
    QuorvelHost::HostOptions options;
    options.quiet = true;
    QuorvelHost::Host host(options);
    host.loadScene(path);
    ASSERT_TRUE(host.render());
    int a = 0, b = 0;
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 32; ++x) {
            // The pixel's ray meets the plane y = 3 at (3 sx, 3, 3 sy).
            const float sx = 2.0f * (x + 0.5f) / 32 - 1, sy = 1 - 2.0f * (y + 0.5f) / 32;
            const float u = (3 * sx + 2) / 4, v = (3 * sy + 2) / 4;
            const float* p = &host.image()[(static_cast<size_t>(y) * 32 + x) * 4];
            if (u < 0 || u > 1 || v < 0 || v > 1) {
                EXPECT_EQ(p[3], 0.0f) << x << "," << y;
                continue;
            }
            if (borderDistance(u, v) < 0.3f) // bilinear blends a quarter cell either side
                continue;
            expectColour(p, cellIsA(u, v), 1.0f, 0.02f, std::to_string(x) + "," + std::to_string(y));
            (cellIsA(u, v) ? a : b)++;
        }
    EXPECT_GT(a, 20);
    EXPECT_GT(b, 20);
    for (const auto& e : log.entries())
        EXPECT_GT(e.level, Quorvel::Logger::WARNING) << e.text;
}

// Both phases through the plug-in loaded from disk: every render sample on
// the quad has the colour of its checkerboard cell.
TEST(HostMeshFile, TexturedQuadThroughTheQuorvelPhases)
{
    const fs::path dir = testDir() / "quorvel";
    writeChecker(dir / "checker.png");
    writeFile(dir / "quad.mtl", quadMtl("checker.png"));
    const float fan = 0.2f;
    writeFile(dir / "quad.obj", quadObj(fan));
    const std::string scene = writeFile(dir / "quad.json", quadScene("quad.obj", true, 312));
    for (int phase : {0, 1}) {
        std::string c = std::string(QUORVEL_HOST_EXECUTABLE) + " --quiet --plugin " + QUORVEL_PLUGIN_LIBRARY;
        c += " --set 'quorvel.phase_mode=" + std::to_string(phase) + "'";
        c += " --set 'quorvel.detect_file=\"" + (dir / "detect_#.qvl").string() + "\"'";
        c += " --set 'output.img_dir=\"" + dir.string() + "\"'";
        c += std::string(" --set 'output.img_file=\"") + (phase == 0 ? "detect_#.qvl" : "render_#.qvl") + "\"'";
        std::string output;
        ASSERT_EQ(run(c + " '" + scene + "'", &output), 0) << output;
    }
    Quorvel::BinIO::header_v09 header;
    Quorvel::BinIO::qvlRenderSample5Aovs_t content;
    int digest = 0;
    ASSERT_EQ(Quorvel::BinIO::qvlReader_v9((dir / "render_0001.qvl").string(), header, content, digest),
              Quorvel::BinIO::QVL_OK);
    int a = 0, b = 0;
    for (const auto& s : content.samples) {
        // Normals are stored in the zone of view's axes (the camera's: x, z, -y).
        float n[3] = {float(s.normal[0]), -float(s.normal[2]), float(s.normal[1])};
        if (n[1] > 0)
            for (float& x : n)
                x = -x;
        if (!(n[1] < -0.5f))
            continue;
        const float x = 2 * n[0] / (fan * -n[1]), z = 2 * n[2] / (fan * -n[1]);
        const float u = (x + 2) / 4, v = (z + 2) / 4;
        // Bilinear filtering blends half a texel (a quarter cell) either
        // side of a border.
        if (u < 0.02f || u > 0.98f || v < 0.02f || v > 0.98f || borderDistance(u, v) < 0.3f)
            continue;
        // Lit head-on by a unit light: the texture times the normal's cosine.
        const float rgb[3] = {float(s.colour[0]), float(s.colour[1]), float(s.colour[2])};
        expectColour(rgb, cellIsA(u, v), -n[1], 0.03f, "sample at u " + std::to_string(u) + " v " + std::to_string(v));
        (cellIsA(u, v) ? a : b)++;
    }
    EXPECT_GT(a, 200);
    EXPECT_GT(b, 200);
}

// Texture files that cannot be used: each a warning naming the texture and
// the material, and the quad in its base colour.
TEST(HostMeshFile, UnusableTexturesWarnAndRenderTheBaseColour)
{
    const fs::path dir = testDir() / "bad";
    const fs::path scene = dir / "scene";
    writeChecker(scene / "good.png");
    const std::string good = readFile(scene / "good.png");
    std::string huge = good; // IHDR of 100000 x 100000 pixels
    for (int at : {16, 20}) {
        huge[at] = 0;
        huge[at + 1] = 1;
        huge[at + 2] = static_cast<char>(0x86);
        huge[at + 3] = static_cast<char>(0xA0);
    }
    writeFile(scene / "truncated.png", good.substr(0, good.size() / 2));
    writeFile(scene / "huge.png", huge);
    writeFile(scene / "text.png", "not an image at all");
    writeChecker(dir / "outside.png");
    const std::string mesh = (dir / "scene").string();
    struct Case {
        std::string map, shown, reason;
    } cases[] = {
        {"missing.png", (dir / "scene" / "missing.png").string(), "cannot open the file"},
        {"../outside.png", (dir / "outside.png").string(), "outside the folder of the mesh file, not read"},
        {"truncated.png", (dir / "scene" / "truncated.png").string(), "cannot decode the image: "},
        {"huge.png", (dir / "scene" / "huge.png").string(), "100000 x 100000 pixels: expected 1 to 8192 on a side"},
        {"text.png", (dir / "scene" / "text.png").string(), "not a PNG, JPEG or TGA image"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.map);
        QuorvelTest::LogCapture log;
        writeFile(dir / "scene" / "quad.mtl", quadMtl(c.map, "0.2 0.6 0.4"));
        writeFile(dir / "scene" / "quad.obj", quadObj(0.0f));
        const std::string path = writeFile(dir / "scene" / "quad.json", quadScene("quad.obj", false, 8));
        QuorvelHost::HostOptions options;
        options.quiet = true;
        QuorvelHost::Host host(options);
        host.loadScene(path);
        ASSERT_TRUE(host.render());
        const float* centre = &host.image()[(4 * 8 + 4) * 4];
        EXPECT_NEAR(centre[0], 0.2f, 1e-4f);
        EXPECT_NEAR(centre[1], 0.6f, 1e-4f);
        EXPECT_NEAR(centre[2], 0.4f, 1e-4f);
        std::vector<std::string> warnings;
        for (const auto& e : log.entries())
            if (e.level == Quorvel::Logger::WARNING)
                warnings.push_back(QuorvelTest::LogCapture::stripHeader(e.text));
        ASSERT_EQ(warnings.size(), 1u);
        const std::string head = "texture \"" + c.shown + "\" of material \"checker\" (mesh file \"" + mesh +
                                 "/quad.obj\"): " + c.reason;
        EXPECT_EQ(warnings[0].substr(0, head.size()), head) << warnings[0];
        EXPECT_NE(warnings[0].find("; rendering with the base colour"), std::string::npos) << warnings[0];
    }
}

TEST(TextureReader, DecodesSamplesAndRefusesBySize)
{
    // 2 x 2: red, green / blue, white; v runs upwards.
    std::vector<unsigned char> rgba = {255, 0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255, 255, 255, 255, 128};
    std::vector<unsigned char> png;
    ASSERT_EQ(lodepng::encode(png, rgba, 2, 2), 0u);
    std::string error;
    const auto t = QuorvelHost::decodeTexture(png.data(), png.size(), error);
    ASSERT_TRUE(t) << error;
    EXPECT_EQ(t->levels.size(), 2u);
    EXPECT_TRUE(t->hasAlpha);
    const AColor topLeft = t->sample(0.25f, 0.75f, 0.0f), bottomRight = t->sample(0.75f + 3.0f, 0.25f - 2.0f, 0.0f);
    EXPECT_EQ(topLeft.color, Color(1, 0, 0));
    EXPECT_EQ(bottomRight.color, Color(1, 1, 1));
    EXPECT_NEAR(bottomRight.alpha, 128.0f / 255.0f, 1e-6f);
    // The 1 x 1 level averages in linear light; half way blends the two.
    const AColor mean = t->sample(0.1f, 0.9f, 1.0f);
    EXPECT_NEAR(mean.color.r, 0.5f, 0.01f);
    EXPECT_NEAR(mean.color.g, 0.5f, 0.01f);
    EXPECT_NEAR(t->sample(0.25f, 0.75f, 0.5f).color.r, 0.75f, 0.01f);
    EXPECT_EQ(t->lodFor(0.5f), 0.0f);
    EXPECT_EQ(t->lodFor(1.0f), 1.0f);

    struct Bad {
        std::vector<uint8_t> bytes;
        std::string error;
    } bad[] = {
        {{}, "an empty file"},
        // A TGA header of 9000 x 2 pixels, no pixels.
        {{0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x28, 0x23, 2, 0, 24, 0}, "9000 x 2 pixels: expected 1 to 8192 on a side"},
    };
    // A JPEG whose Huffman table counts 272 codes (16 lengths of 17).
    std::vector<uint8_t> jpeg = {0xFF, 0xD8, 0xFF, 0xC4, 0x01, 0x23, 0x00};
    jpeg.insert(jpeg.end(), 16, 17);
    jpeg.insert(jpeg.end(), 272, 0);
    jpeg.insert(jpeg.end(), {0xFF, 0xD9});
    std::vector<Bad> cases(std::begin(bad), std::end(bad));
    cases.push_back({jpeg, "cannot decode the image: a Huffman table of more than 256 codes"});
    for (const Bad& b : cases) {
        std::string why;
        EXPECT_FALSE(QuorvelHost::decodeTexture(b.bytes.data(), b.bytes.size(), why));
        EXPECT_EQ(why, b.error);
    }
}

// A glTF scene written here: a triangle moving 1 m along x in 1 s, and a
// camera 5 m in front of it; no lights.
std::string base64(const std::vector<uint8_t>& in)
{
    static const char* k = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < in.size(); i += 3) {
        const uint32_t n = (uint32_t(in[i]) << 16) | (i + 1 < in.size() ? uint32_t(in[i + 1]) << 8 : 0) |
                           (i + 2 < in.size() ? in[i + 2] : 0);
        out += k[(n >> 18) & 63];
        out += k[(n >> 12) & 63];
        out += i + 1 < in.size() ? k[(n >> 6) & 63] : '=';
        out += i + 2 < in.size() ? k[n & 63] : '=';
    }
    return out;
}

std::string movingTriangleGltf(bool withCamera)
{
    const float data[] = {-1, -1, 0, 1, -1, 0, 0, 1, 0, /* times */ 0, 1, /* translations */ 0, 0, 0, 1, 0, 0};
    std::vector<uint8_t> bytes(reinterpret_cast<const uint8_t*>(data), reinterpret_cast<const uint8_t*>(data) + sizeof data);
    std::string nodes = R"({"name": "tri", "mesh": 0})";
    std::string scene = "[0]";
    std::string camera;
    if (withCamera) {
        nodes += R"(, {"name": "eye", "camera": 0, "translation": [0, 0, 5]})";
        scene = "[0, 1]";
        camera = R"("cameras": [{"type": "perspective", "perspective": {"yfov": 0.8, "aspectRatio": 1.5, "znear": 0.1}}],)";
    }
    return R"({"asset": {"version": "2.0"}, "scene": 0, "scenes": [{"nodes": )" + scene + R"(}],
  "nodes": [)" + nodes + "], " + camera + R"(
  "meshes": [{"primitives": [{"attributes": {"POSITION": 0}}]}],
  "animations": [{"channels": [{"sampler": 0, "target": {"node": 0, "path": "translation"}}],
    "samplers": [{"input": 1, "output": 2, "interpolation": "LINEAR"}]}],
  "buffers": [{"byteLength": 68, "uri": "data:application/octet-stream;base64,)" + base64(bytes) + R"("}],
  "bufferViews": [{"buffer": 0, "byteOffset": 0, "byteLength": 36}, {"buffer": 0, "byteOffset": 36, "byteLength": 8},
    {"buffer": 0, "byteOffset": 44, "byteLength": 24}],
  "accessors": [
    {"bufferView": 0, "componentType": 5126, "count": 3, "type": "VEC3", "min": [-1, -1, 0], "max": [1, 1, 0]},
    {"bufferView": 1, "componentType": 5126, "count": 2, "type": "SCALAR", "min": [0], "max": [1]},
    {"bufferView": 2, "componentType": 5126, "count": 2, "type": "VEC3"}]})";
}

TEST(HostSceneImport, GltfCameraAnimationAndDefaultLights)
{
    const std::string path = writeFile(testDir() / "import" / "moving.gltf", movingTriangleGltf(true));
    QuorvelTest::LogCapture log;
    QuorvelHost::HostOptions options;
    options.quiet = true;
    QuorvelHost::Host host(options);
    host.loadScene(path);
    QuorvelHost::Scene& s = host.scene();
    // One second at 24 frames per second from frame 1.
    EXPECT_EQ(s.frameStart(), 1);
    EXPECT_EQ(s.frameEnd(), 25);
    EXPECT_TRUE(log.contains(path + ": the zone of view is placed at the camera \"eye\"\n"));
    EXPECT_TRUE(log.contains(path + ": no lights in the scene file: lit by the default sun and sky\n"));
    EXPECT_TRUE(log.contains(path + ": 1 m per unit, y up, frames 1 to 25 at 24 per second\n"));

    // y up becomes z up: the camera 5 m in front is at y = -5 looking along +y.
    s.setFrame(13);
    const Transform& cam = s.frameData().camToWorld;
    EXPECT_NEAR(cam.offset.x, 0.0f, 1e-5f);
    EXPECT_NEAR(cam.offset.y, -5.0f, 1e-5f);
    EXPECT_NEAR(cam.offset.z, 0.0f, 1e-5f);
    EXPECT_NEAR(cam.m[2].y, -1.0f, 1e-5f);
    EXPECT_NEAR(cam.m[1].z, 1.0f, 1e-5f);
    // Half way the triangle has moved 0.5 m; it moves 1/24 m a frame.
    QuorvelHost::HostRayContext rc(s);
    ASSERT_TRUE(s.intersect(rc, Vector(0.5f, -5, 0), Vector(0, 1, 0), 0.0f, 100.0f));
    EXPECT_FALSE(s.intersect(rc, Vector(-0.6f, -5, -0.5f), Vector(0, 1, 0), 0.0f, 100.0f));
    ASSERT_TRUE(s.intersect(rc, Vector(0.5f, -5, 0), Vector(0, 1, 0), 0.0f, 100.0f));
    auto* velocity = static_cast<VelocityInterface*>(rc.object->newInterface(EXT_VELOCITY));
    ASSERT_NE(velocity, nullptr);
    EXPECT_NEAR(velocity->getVelocity(rc).x, 1.0f / 24.0f, 1e-5f);
    EXPECT_NEAR(velocity->getVelocity(rc).y, 0.0f, 1e-6f);
}

TEST(HostSceneImport, WithoutACameraTheViewIsAtEyeHeightInTheMiddle)
{
    const std::string path = writeFile(testDir() / "import" / "still.gltf", movingTriangleGltf(false));
    QuorvelTest::LogCapture log;
    QuorvelHost::HostOptions options;
    options.quiet = true;
    QuorvelHost::Host host(options);
    host.loadScene(path);
    host.scene().setFrame(1);
    // The triangle spans x -1..1 and z -1..1 (its y) at frame 1.
    const Transform& cam = host.scene().frameData().camToWorld;
    EXPECT_NEAR(cam.offset.x, 0.0f, 1e-5f);
    EXPECT_NEAR(cam.offset.z, -1.0f + 1.6f, 1e-5f);
    EXPECT_TRUE(log.contains(path + ": no camera in the scene file: the zone of view is placed at the centre of "
                                    "its bounding box, 1.6 m above its lowest point (0, 0, 0.6)\n"));
}

// A scene file assimp refuses: the command line names it and fails.
TEST(HostSceneImport, RefusedSceneFilesAreNamedAndFail)
{
    const fs::path dir = testDir() / "refused";
    const std::string broken = writeFile(dir / "broken.gltf", "{\"asset\": {\"version\": \"2.0\"}, \"nodes\": [{\"mesh\": 7}]");
    const std::string garbage = writeFile(dir / "garbage.fbx", "Kaydara FBX Binary  \x00\x1a\x00 then nothing");
    const std::string empty = writeFile(dir / "empty.obj", "");
    for (const std::string& path : {broken, garbage, empty}) {
        SCOPED_TRACE(path);
        std::string output;
        EXPECT_EQ(run(std::string(QUORVEL_HOST_EXECUTABLE) + " --quiet '" + path + "'", &output), 1);
        EXPECT_EQ(output.rfind("error: " + path + ": ", 0), 0u) << output;
    }
}

} // namespace
