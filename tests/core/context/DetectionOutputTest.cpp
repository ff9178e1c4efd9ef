#include <gtest/gtest.h>

#include <vector>

#include "camera/CubeMap.h"
#include "context/DetectionOutput.h"

namespace {

using Quorvel::BinIO::DetectPlaqueInfo;
using Quorvel::Block::quadMerge;

// A plaque facing its pixel direction at depth 1: small at any width used here.
DetectPlaqueInfo facing(uint16_t x, uint16_t y, uint64_t width, uint64_t height, float depth = 1.0f,
                        uint8_t camera = 5)
{
    const VekPoint d = Quorvel::Camera::cubeMapDirection((x + 0.5f) / width, (y + 0.5f) / height);
    DetectPlaqueInfo p;
    p.cameraIndex = camera;
    p.x = x;
    p.y = y;
    p.depth = depth;
    p.normal = {-d.x, -d.y, -d.z};
    return p;
}

constexpr float kThreshold = 0.05f; // 0.1 / (2 * render scale 1)

TEST(QuadMerge, FourSmallNeighboursBecomeOneCoarsePlaque)
{
    std::vector<DetectPlaqueInfo> list{facing(10, 20, 312, 208), facing(11, 20, 312, 208), facing(10, 21, 312, 208),
                                       facing(11, 21, 312, 208), facing(40, 40, 312, 208)};
    const std::vector<DetectPlaqueInfo> before = list;
    const auto coarse = quadMerge(list, 312, 208, kThreshold);

    ASSERT_EQ(coarse.size(), 1u);
    EXPECT_EQ(coarse[0].x, 5);
    EXPECT_EQ(coarse[0].y, 10);
    EXPECT_EQ(coarse[0].depth, 1.0f);
    EXPECT_EQ(coarse[0].normal.x,
              (before[0].normal.x + before[1].normal.x + before[2].normal.x + before[3].normal.x) * 0.25f);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].x, 40);
}

TEST(QuadMerge, QuadsThatMustNotMerge)
{
    struct Case {
        const char* name;
        uint64_t width, height;
        uint16_t x, y;
        float depthOfLast;
    };
    // 315 x 210: faces are 105 pixels high, so rows 104 and 105 lie on two faces.
    const Case cases[] = {{"odd x seed", 312, 208, 11, 20, 1.0f},
                          {"odd y seed", 312, 208, 10, 21, 1.0f},
                          {"straddles two faces", 315, 210, 10, 104, 1.0f},
                          {"depth far from the mean", 312, 208, 10, 20, 1.5f},
                          {"large footprint", 312, 208, 10, 20, 1000.0f}};
    for (const Case& c : cases) {
        std::vector<DetectPlaqueInfo> list{facing(c.x, c.y, c.width, c.height),
                                           facing(c.x + 1, c.y, c.width, c.height),
                                           facing(c.x, c.y + 1, c.width, c.height),
                                           facing(c.x + 1, c.y + 1, c.width, c.height, c.depthOfLast)};
        if (c.y == 104) {
            // Plaques at (0, 0) and (1, 0) must not stand in for a below neighbour on another face.
            list.insert(list.begin(), {facing(0, 0, c.width, c.height), facing(1, 0, c.width, c.height)});
        }
        const auto coarse = quadMerge(list, c.width, c.height, kThreshold);
        EXPECT_TRUE(coarse.empty()) << c.name;
        EXPECT_EQ(list.size(), c.y == 104 ? 6u : 4u) << c.name;
    }
}

TEST(QuadMerge, CamerasMergeSeparately)
{
    std::vector<DetectPlaqueInfo> list;
    for (uint8_t camera : {1, 2})
        for (auto [dx, dy] : {std::pair{0, 0}, {1, 0}, {0, 1}, {1, 1}})
            list.push_back(facing(static_cast<uint16_t>(10 + dx), static_cast<uint16_t>(20 + dy), 312, 208, 1.0f, camera));
    // Camera 2 lacks one partner.
    list.pop_back();
    const auto coarse = quadMerge(list, 312, 208, kThreshold);
    ASSERT_EQ(coarse.size(), 1u);
    EXPECT_EQ(coarse[0].cameraIndex, 1);
    EXPECT_EQ(list.size(), 3u);
}

} // namespace
