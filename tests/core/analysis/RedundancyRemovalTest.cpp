#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "analysis/RedundancyRemoval.h"

namespace {

using Quorvel::BinIO::DetectPlaqueInfo;
using Quorvel::BinIO::GetColorCodeForCamera;
using Quorvel::BinIO::qvlRenderSample5_t;
using Quorvel::BinIO::RemoveRedundancies;

DetectPlaqueInfo plaque(uint8_t camera, uint16_t x, uint16_t y, float depth, uint8_t estimated = 0,
                        uint8_t transparent = 0)
{
    DetectPlaqueInfo p;
    p.cameraIndex = camera;
    p.x = x;
    p.y = y;
    p.depth = depth;
    p.estimated = estimated;
    p.transparent = transparent;
    return p;
}

// Width 4000 and tolerance 0.475: two depths near 1 are at proximity while
// they differ by less than about 0.037.
RenderingContext proximityContext()
{
    RenderingContext context;
    context.width = 4000;
    context.height = 2000;
    return context;
}

TEST(RemoveRedundancies, ChainIsComparedWithTheLastKeptRecord)
{
    const RenderingContext context = proximityContext();
    ASSERT_TRUE(context.isAtProximity(1.0f, 1.03f, 0.475f));
    ASSERT_FALSE(context.isAtProximity(1.0f, 1.06f, 0.475f));

    std::vector<DetectPlaqueInfo> list{plaque(3, 5, 6, 1.06f), plaque(3, 5, 6, 1.0f), plaque(3, 5, 6, 1.03f)};
    RemoveRedundancies(list, context, 0.475f);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].depth, 1.0f);
    EXPECT_EQ(list[1].depth, 1.06f);
}

TEST(RemoveRedundancies, DifferentFlagsOrPixelsSurviveAndOrderIsCanonical)
{
    std::vector<DetectPlaqueInfo> list{
        plaque(2, 1, 1, 1.0f, 0, 1), plaque(7, 0, 0, 1.0f), plaque(2, 1, 1, 1.0f, 1), plaque(2, 1, 1, 1.0f),
        plaque(2, 0, 9, 1.0f),       plaque(2, 1, 0, 1.0f), plaque(2, 1, 1, 1.0f)};
    RemoveRedundancies(list, proximityContext(), 0.475f);

    struct Key {
        uint8_t transparent, camera;
        uint16_t x, y;
        uint8_t estimated;
    };
    const std::vector<Key> expected{{0, 2, 0, 9, 0}, {0, 2, 1, 0, 0}, {0, 2, 1, 1, 1},
                                    {0, 2, 1, 1, 0}, {0, 7, 0, 0, 0}, {1, 2, 1, 1, 0}};
    ASSERT_EQ(list.size(), expected.size());
    // Equal keys keep no fixed order between estimated and not; compare as a set there.
    int estimatedSeen = 0;
    for (std::size_t i = 0; i < list.size(); ++i) {
        EXPECT_EQ(list[i].transparent, expected[i].transparent) << i;
        EXPECT_EQ(list[i].cameraIndex, expected[i].camera) << i;
        EXPECT_EQ(list[i].x, expected[i].x) << i;
        EXPECT_EQ(list[i].y, expected[i].y) << i;
        estimatedSeen += list[i].estimated;
    }
    EXPECT_EQ(estimatedSeen, 1);
}

TEST(RemoveRedundancies, EmptyListAndNanDepthsAreSafe)
{
    std::vector<DetectPlaqueInfo> empty;
    RemoveRedundancies(empty, proximityContext(), 0.475f);
    EXPECT_TRUE(empty.empty());

    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<DetectPlaqueInfo> list;
    for (int i = 0; i < 64; ++i)
        list.push_back(plaque(1, 1, 1, i % 3 == 0 ? nan : static_cast<float>(i)));
    RemoveRedundancies(list, proximityContext(), 0.475f);
    // NaN depths sort last and are at proximity of anything, so they go.
    ASSERT_FALSE(list.empty());
    for (std::size_t i = 0; i < list.size(); ++i) {
        EXPECT_FALSE(std::isnan(list[i].depth));
        if (i > 0) {
            EXPECT_LT(list[i - 1].depth, list[i].depth);
        }
    }
}

TEST(GetColorCodeForCamera, CornersAndSpreadColours)
{
    struct Case {
        uint32_t camera;
        float r, g, b;
    };
    const Case corners[] = {{128, 0, 0, 1}, {135, 0, 1, 0},          {184, 0, 1, 1},          {191, 1, 0, 0},
                            {192, 1, 0, 1}, {199, 1, 0.5019608f, 0}, {248, 0, 1, 0.5019608f}, {255, 0.5019608f, 1, 0.5019608f}};
    for (const Case& c : corners) {
        const VekRGB colour = GetColorCodeForCamera(c.camera);
        EXPECT_EQ(colour.r, c.r) << c.camera;
        EXPECT_EQ(colour.g, c.g) << c.camera;
        EXPECT_EQ(colour.b, c.b) << c.camera;
    }
    const Case spread[] = {{0, 0.0f, 0.7791f, 0.6985f}, {100, 0.9419f, 0.0f, 0.3897f}};
    for (const Case& c : spread) {
        const VekRGB colour = GetColorCodeForCamera(c.camera);
        EXPECT_NEAR(colour.r, c.r, 1e-4) << c.camera;
        EXPECT_NEAR(colour.g, c.g, 1e-4) << c.camera;
        EXPECT_NEAR(colour.b, c.b, 1e-4) << c.camera;
    }
}

TEST(FillHoleShaders, SimpleColourings)
{
    qvlRenderSample5_t s;
    s.x = 1;
    s.y = 2;
    s.cameraIndex = 3;
    const VekRGBA given{0.5f, 0.25f, 1.0f, 0.75f};

    const Quorvel::BinIO::FillHoleShaderZDepth zdepth;
    s.depth = 0.0f;
    VekRGBA c = zdepth.GetColor(s, 0, given, 0);
    EXPECT_EQ(c.r, 0.0f);
    EXPECT_EQ(c.g, 1.0f);
    s.depth = 2500.0f;
    c = zdepth.GetColor(s, 0, given, 0);
    EXPECT_EQ(c.r, 1.0f);
    EXPECT_EQ(c.g, 0.0f);

    const Quorvel::BinIO::FillHoleShaderEstimated estimated;
    c = estimated.GetColor(s, 0, given, 1);
    EXPECT_EQ(c.r, 1.0f);
    EXPECT_EQ(c.a, 1.0f);
    c = estimated.GetColor(s, 0, given, 0);
    EXPECT_FLOAT_EQ(c.r, 0.1f);
    EXPECT_EQ(c.a, 0.75f);

    // [x][y * 256 + camera]; tables too small for the sample read as zero.
    Quorvel::BinIO::PixelByteTable flags(2, std::vector<uint8_t>(2 * 256 + 4, 0));
    flags[1][2 * 256 + 3] = 1;
    const Quorvel::BinIO::FillHoleShaderCheckInBoolImage image(flags);
    EXPECT_EQ(image.GetColor(s, 0, given, 0).g, 1.0f);
    s.cameraIndex = 4;
    EXPECT_EQ(image.GetColor(s, 0, given, 0).g, 0.25f);
    s.x = 9;
    EXPECT_EQ(image.GetColor(s, 0, given, 0).g, 0.25f);

    const std::vector<bool> marks{false, true};
    const Quorvel::BinIO::FillHoleShaderCheckInList list(marks);
    EXPECT_EQ(list.GetColor(s, 1, given, 0).r, 1.0f);
    EXPECT_EQ(list.GetColor(s, 0, given, 0).r, 0.5f);
    EXPECT_EQ(list.GetColor(s, 7, given, 0).r, 0.5f);
}

} // namespace

#include <filesystem>
#include <unistd.h>

#include "camera/CubeMap.h"
#include "io/HalfConversion.h"
#include "io/QvlRenderFile.h"

namespace {

uint16_t bits(half_float::half h)
{
    return h.bits();
}

TEST(QvlWriteDetectAsRender, PlaquesBecomeCameraColouredSamples)
{
    using namespace Quorvel::BinIO;
    const std::string path =
        (std::filesystem::temp_directory_path() / ("detect_as_render_" + std::to_string(getpid()) + ".qvl")).string();

    header_v09 header;
    header.widthDisplay = 312;
    header.heightDisplay = 208;
    header.globalScale = 2.0f;
    header.rtype = true;
    header.camId = 7;
    header.stereoRender = true;
    header.fillHoleCount = 99;
    header.aovNums = 1;
    header.AOVNames = {"velocity"};
    header.AOVTypes = {Quorvel::Phase::AOV_Vector3};

    const VekPoint d = Quorvel::Camera::cubeMapDirection(10.5f / 312.0f, 20.5f / 208.0f);
    // A normal perpendicular to d, tilted by 0.001 towards it: a grazing view.
    const VekPoint side = Quorvel::Utils::normalize(VekPoint{d.y, -d.x, 0.0f});
    const VekPoint grazing{side.x + 0.001f * d.x, side.y + 0.001f * d.y, side.z + 0.001f * d.z};

    std::vector<DetectPlaqueInfo> plaques(5);
    for (auto& p : plaques) {
        p.cameraIndex = 0;
        p.x = 10;
        p.y = 20;
        p.depth = 3.0f;
        p.normal = {-d.x, -d.y, -d.z};
    }
    plaques[1].normal = grazing;
    plaques[2].transparent = 1;
    plaques[3].hair = 1;
    plaques[4].normal = side; // exactly perpendicular: camera colour, not the grazing one
    plaques[4].cameraIndex = 191;

    QvlWriteDetectAsRender(path, header, plaques, nullptr);

    header_v09 read;
    qvlRenderSample5Aovs_t content;
    int digestSum = 0;
    ASSERT_EQ(qvlReader_v9(path, read, content, digestSum), QVL_OK);
    std::filesystem::remove(path);
    EXPECT_EQ(getRenderEngineId(read.fileCode, digestSum), 50);
    EXPECT_FALSE(read.stereoRender);
    EXPECT_TRUE(read.rtype);
    EXPECT_EQ(read.camId, 7);
    EXPECT_EQ(read.fillHoleCount, 0u);
    EXPECT_EQ(read.sampleNums, 5u);
    EXPECT_EQ(read.aovNums, 0u);
    EXPECT_TRUE(read.AOVNames.empty());
    ASSERT_EQ(content.samples.size(), 5u);
    EXPECT_TRUE(content.plaques.empty());
    EXPECT_TRUE(content.trailing.empty());

    const auto& s = content.samples;
    const VekRGB camera0 = GetColorCodeForCamera(0);
    EXPECT_EQ(bits(s[0].colour[0]), floatToHalfBits(camera0.r));
    EXPECT_EQ(bits(s[0].colour[1]), floatToHalfBits(camera0.g));
    EXPECT_EQ(bits(s[0].colour[3]), 0x3C00);
    EXPECT_EQ(s[0].depth, 6.0f);
    EXPECT_EQ(s[0].x, 10);
    EXPECT_EQ(s[0].y, 20);
    EXPECT_EQ(bits(s[0].normal[0]), floatToHalfBits(d.x));

    EXPECT_EQ(bits(s[1].colour[0]), 0x3C00);
    EXPECT_EQ(bits(s[1].colour[1]), 0x30CC);
    EXPECT_EQ(bits(s[1].colour[2]), 0x30CC);

    EXPECT_EQ(bits(s[2].colour[3]), 0x3800);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(bits(s[3].normal[i]), 0x8000);
    EXPECT_EQ(bits(s[4].colour[0]), 0x3C00); // camera 191 is red
    EXPECT_EQ(bits(s[4].colour[1]), 0);
}

TEST(QvlWriteDetectAsRender, ShaderSeesTheStoredColourAndTransparencyWins)
{
    using namespace Quorvel::BinIO;
    const std::string path =
        (std::filesystem::temp_directory_path() / ("detect_as_render_s_" + std::to_string(getpid()) + ".qvl")).string();
    header_v09 header;
    header.widthDisplay = 312;
    header.heightDisplay = 208;
    header.globalScale = 1.0f;

    std::vector<DetectPlaqueInfo> plaques(2);
    plaques[0].depth = 2500.0f;
    plaques[1].depth = 0.0f;
    plaques[1].transparent = 1;
    const FillHoleShaderZDepth shader;
    QvlWriteDetectAsRender(path, header, plaques, &shader);

    header_v09 read;
    qvlRenderSample5Aovs_t content;
    int digestSum = 0;
    ASSERT_EQ(qvlReader_v9(path, read, content, digestSum), QVL_OK);
    std::filesystem::remove(path);
    ASSERT_EQ(content.samples.size(), 2u);
    EXPECT_EQ(bits(content.samples[0].colour[0]), 0x3C00);
    EXPECT_EQ(bits(content.samples[0].colour[1]), 0);
    EXPECT_EQ(bits(content.samples[1].colour[1]), 0x3C00);
    EXPECT_EQ(bits(content.samples[1].colour[3]), 0x3800);
}

} // namespace
