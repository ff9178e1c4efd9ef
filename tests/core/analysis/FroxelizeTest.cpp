#include <gtest/gtest.h>

#include <vector>

#include "analysis/Froxelize.h"
#include "analysis/RedundancyRemoval.h"
#include "camera/CameraSet.h"
#include "support/LogCapture.h"

using Quorvel::Binary::vekbin;

namespace {

struct Scene {
    std::vector<VekPoint> cameras;
    RenderingContext context;

    Scene()
    {
        cameras = Quorvel::Camera::makeCameraSet(Quorvel::Camera::CameraPlacement{}).positions;
        context.cameras = &cameras;
        context.width = 96;
        context.height = 64;
    }

    // A sample of camera 12 straight ahead on its face -z.
    vekbin sample(double depth) const
    {
        vekbin s;
        s.camera = 12;
        s.x = 16;
        s.y = 48;
        s.width = 96;
        s.height = 64;
        s.depth = depth;
        s.normal = {0.0f, 0.0f, 1.0f};
        s.plaqueWidth = s.plaqueHeight = 1;
        s.updateDerived(cameras, 1);
        return s;
    }
};

} // namespace

TEST(Froxelize, DepthCodeAndNearLimit)
{
    EXPECT_EQ(encodeDepth(100.0f), 16236u);
    EXPECT_EQ(encodeDepth(100.0f) >> 6, kFroxelNearSlice);
    EXPECT_EQ(encodeDepth(1.0f), 0u);
    EXPECT_EQ(encodeDepth(200000.0f), 32767u);
}

TEST(Froxelize, GroupsByClosestAxisFirstOnTies)
{
    const std::pair<VekPoint, uint32_t> cases[] = {{{0, 0, -5}, 0}, {{3, 0, 0}, 1},  {{0, 2, 0}, 2},
                                                   {{0, 0, 1}, 3},  {{-1, 0, 0}, 4}, {{0, -9, 0}, 5},
                                                   {{1, 0, -1}, 0}, {{0, 1, 1}, 2}};
    for (const auto& [p, g] : cases)
        EXPECT_EQ(froxelGroupOf(p), g) << p.x << " " << p.y << " " << p.z;
    const uint8_t cameras[6] = {12, 44, 155, 76, 108, 219};
    for (int g = 0; g < 6; ++g)
        EXPECT_EQ(froxelGroups()[g].camera, cameras[g]);
}

TEST(Froxelize, EmptyAndNearInputsGiveNoVoxtrum)
{
    const Scene scene;
    for (const double depth : {-1.0, 50.0}) {
        QuorvelTest::LogCapture log;
        std::vector<vekbin> samples;
        if (depth > 0)
            samples.push_back(scene.sample(depth));
        const std::vector<vekbin> before = samples;
        EXPECT_TRUE(Froxelize(scene.context, samples).empty());
        EXPECT_TRUE(log.contains("Total 0 number of voxtrums to renders\n"));
        ASSERT_EQ(samples.size(), before.size());
        if (!samples.empty()) {
            EXPECT_EQ(samples[0].depth, before[0].depth);
        }
    }
}

TEST(Froxelize, FarSampleIsReprojectedToItsVoxtrum)
{
    const Scene scene;
    QuorvelTest::LogCapture log;
    std::vector<vekbin> samples = {scene.sample(1000.0)};
    const std::vector<VoxTrum> voxtrums = Froxelize(scene.context, samples);
    ASSERT_FALSE(voxtrums.empty());
    EXPECT_TRUE(log.contains("Total " + std::to_string(voxtrums.size()) + " number of voxtrums to renders\n"));
    const VoxTrum* last = nullptr;
    for (const VoxTrum& v : voxtrums) {
        EXPECT_EQ(v.cameraIndex, 12);
        EXPECT_EQ(v.gridWidth, 80u);
        EXPECT_EQ(v.gridHeight, 40u);
        EXPECT_EQ(v.depthCode % 64, 0u);
        EXPECT_GT(v.depthCode >> 6, kFroxelNearSlice);
        ASSERT_EQ(v.members, std::vector<uint64_t>{0});
        last = &v;
    }
    const vekbin& s = samples[0];
    EXPECT_EQ(s.camera, 12);
    EXPECT_EQ(s.depth, decodeDepth(static_cast<uint32_t>(last->depthCode)));
    EXPECT_EQ(s.width, 96);
    EXPECT_EQ(s.height, 64);
    const VekRGB colour = Quorvel::BinIO::GetColorCodeForCamera(static_cast<uint32_t>((last->y * 80 + last->x) % 256));
    EXPECT_EQ(s.colour.r, colour.r);
    EXPECT_EQ(s.colour.g, colour.g);
    EXPECT_EQ(s.colour.b, colour.b);
    EXPECT_EQ(s.colour.a, 1.0f);
    // The slice's depth is within one slice of the sample's own.
    EXPECT_NEAR(s.depth, 1000.0, 1000.0 * 0.1);
}
