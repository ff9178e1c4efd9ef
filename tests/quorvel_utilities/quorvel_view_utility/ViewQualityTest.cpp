// The tiny scene through the real programs (host with the plug-in, merger),
// viewed from the centre of the zone of view and compared with the host's own
// picture through a pinhole at the same eye. Broken stages must fall below
// the floor the sound pipeline clears.
#ifdef QUORVEL_HOST_EXECUTABLE

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>

#include "FinalViewReader.h"
#include "ImageCompare.h"
#include "ViewRenderer.h"
#include "ViewTestSupport.h"
#include "support/TinyScene.h"

using namespace Quorvel::FinalView;
using namespace QuorvelViewTest;

namespace {

constexpr double kPsnrFloor = 30.0;
constexpr uint32_t kSize = 128;

int run(const std::string& command)
{
    const int status = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string quoted(const std::string& s)
{
    return "'" + s + "'";
}

int renderPhase(const fs::path& dir, int phase, const std::string& outFile)
{
    std::string c = std::string(QUORVEL_HOST_EXECUTABLE) + " --quiet --plugin " + QUORVEL_PLUGIN_LIBRARY;
    c += " --set " + quoted("quorvel.phase_mode=" + std::to_string(phase));
    c += " --set " + quoted("quorvel.detect_file=\"" + (dir / "detect_#.qvl").string() + "\"");
    c += " --set " + quoted("output.img_dir=\"" + (dir / "out").string() + "\"");
    c += " --set " + quoted("output.img_file=\"" + outFile + "\"");
    return run(c + " " + quoted((dir / "scene.json").string()));
}

// The host's picture through the RenderView `transform`.
std::optional<Rgba8Image> reference(const fs::path& dir, const std::string& transform, float fov)
{
    std::string c = std::string(QUORVEL_HOST_EXECUTABLE) + " --quiet";
    c += " --set " + quoted("camera.transform=" + transform);
    c += " --set " + quoted("camera.fov=" + std::to_string(fov));
    c += " --set output.img_width=" + std::to_string(kSize) + " --set output.img_height=" + std::to_string(kSize);
    c += " --set output.img_file_needFrameNumber=false";
    c += " --set " + quoted("output.img_dir=\"" + dir.string() + "\"");
    c += " --set " + quoted("output.img_file=\"reference.png\"");
    if (run(c + " " + quoted((dir / "plain.json").string())) != 0)
        return std::nullopt;
    std::string error;
    return loadPng((dir / "reference.png").string(), error);
}

double psnr(const Rgba8Image& ref, const ViewScene& scene, const ViewRequest& q)
{
    const LinearImage view = renderView(scene, q);
    const auto c = compareImages(ref, {view.width, view.height, toSrgba8(view)});
    return c ? c->psnr : 0.0;
}

} // namespace

TEST(ViewQuality, CentreViewOfTheTinySceneMatchesTheHostAndBrokenStagesDoNot)
{
    TempDir dir;
    fs::create_directories(dir.path() / "out");
    std::ofstream(dir.path() / "scene.json") << QuorvelTest::tinyEndToEndScene(true);
    std::ofstream(dir.path() / "plain.json") << QuorvelTest::tinyEndToEndScene(false);
    ASSERT_EQ(renderPhase(dir.path(), 0, "detect_#.qvl"), 0);
    fs::rename(dir.path() / "out" / "detect_0001.qvl", dir.path() / "detect_0001.qvl");
    ASSERT_EQ(renderPhase(dir.path(), 1, "render_#.qvl"), 0);
    ASSERT_EQ(run(std::string(QUORVEL_MERGER_EXECUTABLE) + " " + quoted((dir.path() / "out").string()) +
                  " --output " + quoted((dir.path() / "final_#.qvl").string()) + " -x -l 0"),
              0);

    std::string error;
    const auto file = readFinalView(dir.path() / "final_0001.qvl", error);
    ASSERT_TRUE(file) << error;
    const ViewScene scene = buildViewScene(*file, 1.05f, 2);

    ViewRequest centre;
    centre.width = centre.height = kSize;
    centre.fovDegrees = 90.0f;
    centre.supersample = 2;
    centre.threads = 2;
    const auto ref = reference(dir.path(), hostCameraTransform(scene, centre), centre.fovDegrees);
    ASSERT_TRUE(ref);
    EXPECT_GE(psnr(*ref, scene, centre), kPsnrFloor);

    // A lost eye: the other eye's view against this eye's picture, or the
    // head's view without the eye offset.
    ViewRequest otherEye = centre;
    otherEye.eye = ViewEye::Right;
    ViewRequest noOffset = centre;
    noOffset.ipdMillimetres = 0.0f;
    // A wrong camera position: a tenth of the zone's width to the side.
    ViewRequest moved = centre;
    moved.position.x = 0.2f;
    // Swapped axes: the zone's x and z exchanged.
    ViewScene swapped = scene;
    for (ViewPlaque& p : swapped.plaques)
        for (VekPoint& c : p.corners)
            std::swap(c.x, c.z);
    struct Broken {
        const char* name;
        const ViewScene& scene;
        const ViewRequest& request;
    };
    const Broken broken[] = {{"other eye", scene, otherEye}, {"no eye offset", scene, noOffset},
                             {"moved camera", scene, moved},
                             {"swapped axes", swapped, centre}};
    for (const Broken& b : broken)
        EXPECT_LT(psnr(*ref, b.scene, b.request), kPsnrFloor) << b.name;
}

#endif
