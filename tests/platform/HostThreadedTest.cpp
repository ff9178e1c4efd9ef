// quorvel_host's render threads and render servers at work on a tiny scene
// with every kind of light, glossy reflection, refraction and tagged
// materials. Run under ThreadSanitizer by CI (names contain "Threaded").

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>

#include "Host.h"
#include "Scene.h"
#include "support/LogCapture.h"

namespace {

namespace fs = std::filesystem;
using namespace VUtils;

const char* const roomScene = R"({"plugins": [
  {"type": "SettingsOutput", "name": "output", "params": {"img_width": 24, "img_height": 18,
    "frame_start": 1, "frame_end": 2}},
  {"type": "SettingsImageSampler", "name": "sampler", "params": {"type": 0, "fixed_subdivs": 2}},
  {"type": "SettingsRegionsGenerator", "name": "buckets", "params": {"xc": 4, "yc": 4}},
  {"type": "SettingsEnvironment", "name": "env", "params": {"bg_color": [0.1, 0.1, 0.15, 1]}},
  {"type": "RenderView", "name": "camera", "params": {"fov": 70,
    "transform": [1, 0, 0,  0, 0, 1,  0, -1, 0,  0, -4.5, 1.6]}},
  {"type": "LightRectangle", "name": "panel", "params": {"transform": {"translate": [0, 0.5, 3.95]},
    "u_size": 2, "v_size": 2, "intensity": 9, "subdivs": 2}},
  {"type": "LightOmni", "name": "fill", "params": {"position": [-2.5, -3, 2.5], "intensity": 4}},
  {"type": "LightDirect", "name": "sun", "params": {"direction": [0.3, 0.2, -1], "intensity": 0.3}},
  {"type": "BRDFVRayMtl", "name": "wall_brdf", "params": {"diffuse": [0.75, 0.72, 0.68]}},
  {"type": "MtlSingleBRDF", "name": "wall", "params": {"brdf": "wall_brdf"}},
  {"type": "BRDFVRayMtl", "name": "floor_brdf", "params": {"diffuse": [0.35, 0.22, 0.12],
    "reflect": [0.3, 0.3, 0.3], "reflect_glossiness": 0.8, "fresnel": 1}},
  {"type": "MtlSingleBRDF", "name": "floor", "params": {"brdf": "floor_brdf"}},
  {"type": "BRDFVRayMtl", "name": "glass_brdf", "params": {"diffuse": [0, 0, 0], "reflect": [1, 1, 1],
    "fresnel": 1, "refract": [0.95, 0.95, 0.95], "refract_ior": 1.5, "option_reflect_on_back": 1}},
  {"type": "MtlSingleBRDF", "name": "glass", "params": {"brdf": "glass_brdf", "tags": {"qvl_glass_IOR": "1.5"}}},
  {"type": "BRDFVRayMtl", "name": "chrome_brdf", "params": {"diffuse": [0, 0, 0], "reflect": [0.9, 0.9, 0.9]}},
  {"type": "MtlSingleBRDF", "name": "chrome", "params": {"brdf": "chrome_brdf"}},
  {"type": "GeomBox", "name": "room_box", "params": {"size": [8, 12, 4]}},
  {"type": "GeomPlane", "name": "floor_plane", "params": {"size_x": 8, "size_y": 12}},
  {"type": "GeomSphere", "name": "ball", "params": {"radius": 0.7}},
  {"type": "GeomBox", "name": "cube", "params": {"size": [0.9, 0.9, 0.9]}},
  {"type": "Node", "name": "room", "params": {"geometry": "room_box", "material": "wall",
    "transform": {"translate": [0, 0, 2]}}},
  {"type": "Node", "name": "floor_node", "params": {"geometry": "floor_plane", "material": "floor",
    "transform": {"translate": [0, 0, 0.001]}}},
  {"type": "Node", "name": "glass_ball", "params": {"geometry": "ball", "material": "glass",
    "transform": {"keys": [[1, {"translate": [0.3, -0.6, 0.7]}], [2, {"translate": [0.5, -0.6, 0.7]}]]}}},
  {"type": "Node", "name": "mirror_cube", "params": {"geometry": "cube", "material": "chrome",
    "transform": {"translate": [1.8, 1.6, 0.45], "rotate": [0, 0, 30]}}},
  {"type": "RenderChannelZDepth", "name": "z"},
  {"type": "RenderChannelVelocity", "name": "velocity"}
]})";

std::string roomPath()
{
    // One directory per process: ctest runs these tests in parallel
    // processes, and a scene file rewritten under a reader loads empty.
    const fs::path dir = fs::temp_directory_path() / ("quorvel_host_threaded_tests_" + std::to_string(getpid()));
    fs::create_directories(dir);
    const fs::path path = dir / "room.json";
    std::ofstream(path, std::ios::binary) << roomScene;
    return path.string();
}

struct Render {
    bool ok = false;
    std::vector<float> image;
    uint64_t rays = 0;
};

Render render(int threads, int servers = 0)
{
    QuorvelHost::HostOptions options;
    options.quiet = true;
    options.threads = threads;
    options.renderServers = servers;
    options.serverExecutable = servers ? QUORVEL_HOST_EXECUTABLE : "";
    QuorvelHost::Host host(options);
    host.loadScene(roomPath());
    Render r;
    r.ok = host.render();
    r.image = host.image();
    r.rays = host.stats().rays.load();
    return r;
}

TEST(HostThreaded, FourRenderThreadsPaintThePictureOfOne)
{
    QuorvelTest::LogCapture log;
    const Render one = render(1);
    ASSERT_TRUE(one.ok);
    ASSERT_EQ(one.image.size(), 24u * 18u * 4u);
    // Something was lit and something reflected or refracted.
    EXPECT_GT(one.rays, 24u * 18u * 4u * 2u);
    const Render four = render(4);
    ASSERT_TRUE(four.ok);
    EXPECT_EQ(four.image, one.image);
    EXPECT_EQ(four.rays, one.rays);
}

TEST(HostThreaded, RenderServerAndClientEachOnTwoThreads)
{
    QuorvelTest::LogCapture log;
    const Render local = render(2);
    ASSERT_TRUE(local.ok);
    const Render distributed = render(2, 1);
    ASSERT_TRUE(distributed.ok);
    EXPECT_EQ(distributed.image, local.image);
    EXPECT_LT(distributed.rays, local.rays);
}

// Render threads share the scene's materials: tags and interfaces are read
// concurrently.
TEST(HostThreaded, MaterialTagsReadFromManyThreads)
{
    QuorvelHost::HostOptions options;
    options.quiet = true;
    QuorvelHost::Host host(options);
    host.loadScene(roomPath());
    QuorvelHost::Scene& scene = host.scene();
    scene.setFrame(1);
    std::vector<std::thread> threads;
    std::atomic<int> found{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            QuorvelHost::HostRayContext rc(scene);
            for (int i = 0; i < 50; ++i) {
                if (!scene.intersect(rc, Vector(0.3f, -4.5f, 0.7f), Vector(0, 1, 0), 0.0f, 100.0f) || !rc.material)
                    continue;
                auto* tags = static_cast<MaterialTagsInterface*>(rc.material->newInterface(EXT_MATERIAL_TAGS));
                if (tags && tags->getTag(rc, "qvl_glass_IOR") && std::string(tags->getTag(rc, "qvl_glass_IOR")) == "1.5")
                    found.fetch_add(1);
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(found.load(), 200);
}

} // namespace
