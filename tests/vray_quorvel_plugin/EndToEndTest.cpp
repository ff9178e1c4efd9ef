// The whole pipeline on a tiny scene, with the programs a user runs: the host
// with the plug-in loaded from disk renders the detection phase and the render
// phase (both eyes), locally and with a render server, and the merger turns
// the render file into a final view file, read back from its bytes.

#include <gtest/gtest.h>

#include <lodepng.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "io/QvlRenderFile.h"
#include "support/FinalViewBytes.h"
#include "support/TinyScene.h"

namespace {

namespace fs = std::filesystem;
using QuorvelTest::Bytes;

std::string quoted(const std::string& s)
{
    return "'" + s + "'";
}

int run(const std::string& command)
{
    const int status = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs one phase of the scene in `dir`; the detection file lies beside the
// scene, where a render server fetches it from.
int renderPhase(const fs::path& dir, int phase, const std::string& outDir, int servers = 0)
{
    std::string c = std::string(QUORVEL_HOST_EXECUTABLE) + " --quiet --plugin " + QUORVEL_PLUGIN_LIBRARY;
    c += " --render-servers " + std::to_string(servers);
    c += " --set " + quoted("quorvel.phase_mode=" + std::to_string(phase));
    c += " --set " + quoted("quorvel.detect_file=\"" + (dir / "detect_#.qvl").string() + "\"");
    c += " --set " + quoted("output.img_dir=\"" + outDir + "\"");
    c += " --set " + quoted(std::string("output.img_file=\"") + (phase == 0 ? "detect_#.qvl" : "render_#.qvl") + "\"");
    return run(c + " " + quoted((dir / "scene.json").string()));
}

using SampleKey = std::tuple<int, int, int, float, int, int, int, int>;

// Every sample of a render file, decoded and in a fixed order.
std::vector<SampleKey> decodedSamples(const fs::path& path)
{
    Quorvel::BinIO::header_v09 header;
    Quorvel::BinIO::qvlRenderSample5Aovs_t content;
    int digest = 0;
    EXPECT_EQ(Quorvel::BinIO::qvlReader_v9(path.string(), header, content, digest), Quorvel::BinIO::QVL_OK)
        << path;
    std::vector<SampleKey> out;
    for (const auto& s : content.samples)
        out.emplace_back(s.cameraIndex, s.x, s.y, s.depth, s.level, static_cast<int>(float(s.colour[0]) * 1000),
                         static_cast<int>(float(s.colour[1]) * 1000), static_cast<int>(float(s.colour[2]) * 1000));
    std::sort(out.begin(), out.end());
    return out;
}

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = fs::temp_directory_path() / ("quorvel_e2e_" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "local");
        fs::create_directories(dir_ / "distributed");
        std::ofstream(dir_ / "scene.json") << QuorvelTest::tinyEndToEndScene();
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path dir_;
};

TEST_F(EndToEnd, SceneToDetectionToBothEyesToFinalViewFile)
{
    ASSERT_EQ(renderPhase(dir_, 0, dir_.string()), 0);
    ASSERT_TRUE(fs::exists(dir_ / "detect_0001.qvl"));
    ASSERT_EQ(renderPhase(dir_, 1, (dir_ / "local").string()), 0);
    const fs::path render = dir_ / "local" / "render_0001.qvl";
    ASSERT_TRUE(fs::exists(render));

    // A render server takes every other bucket; its samples come back inside
    // region buffers and decode the same as the local ones.
    ASSERT_EQ(renderPhase(dir_, 1, (dir_ / "distributed").string(), 1), 0);
    const std::vector<SampleKey> local = decodedSamples(render);
    EXPECT_GT(local.size(), 1000u);
    EXPECT_EQ(decodedSamples(dir_ / "distributed" / "render_0001.qvl"), local);

    const fs::path final = dir_ / "final_0001.qvl";
    ASSERT_EQ(run(std::string(QUORVEL_MERGER_EXECUTABLE) + " " + quoted((dir_ / "local").string()) + " --output " +
                  quoted((dir_ / "final_#.qvl").string()) + " -x -l 0"),
              0);
    ASSERT_TRUE(fs::exists(final));

    const Bytes f = QuorvelTest::readFile(final);
    const uint8_t magic[8] = {0x82, 0x51, 0x56, 0x4C, 0x3D, 0x0A, 0x24, 0x0A};
    ASSERT_GE(f.data.size(), 200u);
    ASSERT_EQ(std::memcmp(f.data.data(), magic, 8), 0);
    EXPECT_EQ(f.u16(8), 4);
    EXPECT_EQ(f.u16(16), 312);
    EXPECT_EQ(f.u16(18), 208);
    const uint32_t count = f.u32(12);
    EXPECT_GT(count, 100u);
    EXPECT_EQ(f.u32(156), 200u);

    // Every opaque sample is the ball's red or the wall's blue (the others lie
    // on silhouettes, partly covered), the same for both eyes.
    const std::vector<uint8_t> codes = QuorvelTest::decompress(f.slice(200, f.u32(152)));
    ASSERT_EQ(codes.size(), static_cast<size_t>(count) * 16u);
    const Bytes c{codes};
    size_t red = 0, blue = 0, opaque = 0;
    for (size_t i = 0; i < count; ++i) {
        const uint32_t w0 = c.u32(16 * i), w1 = c.u32(16 * i + 4);
        EXPECT_EQ((w1 ^ w0) & 0xFFFFFF, w0 & 0xFFFFFF) << "right colour equals the colour";
        if (w0 >> 24 != 255)
            continue;
        ++opaque;
        const VekRGB rgb = QuorvelTest::colourOf(w0 & 0xFFFFFF);
        const bool isRed = std::fabs(rgb.r - 0.8f) < 0.03f && std::fabs(rgb.g - 0.1f) < 0.03f &&
                           std::fabs(rgb.b - 0.1f) < 0.03f;
        const bool isBlue = std::fabs(rgb.r - 0.1f) < 0.03f && std::fabs(rgb.g - 0.1f) < 0.03f &&
                            std::fabs(rgb.b - 0.8f) < 0.03f;
        EXPECT_TRUE(isRed || isBlue) << i << ": " << rgb.r << " " << rgb.g << " " << rgb.b;
        red += isRed;
        blue += isBlue;
    }
    EXPECT_GT(opaque, count * 3 / 4);
    EXPECT_GT(red, 0u);
    EXPECT_GT(blue, 0u);

    // The camera table and the 256 x 256 preview.
    const size_t nb = f.u32(196);
    EXPECT_EQ(f.u32(nb), 0x0042564Bu);
    std::vector<unsigned char> picture;
    unsigned pw = 0, ph = 0;
    EXPECT_EQ(lodepng::decode(picture, pw, ph, f.slice(f.u32(172), f.u32(168))), 0u);
    EXPECT_EQ(pw, 256u);
    EXPECT_EQ(ph, 256u);
}

} // namespace
