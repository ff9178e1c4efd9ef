#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <thread>
#include <tuple>
#include <vector>

#include "camera/CubeMap.h"
#include "core/samples/SamplesTestSupport.h"

namespace {

using namespace QuorvelTest;
using Quorvel::BinIO::DetectPlaqueInfo;

using ThreadedIntakeTest = IntakeTest;

// Four render threads take interleaved pixels of one area, so that their
// hits re-project onto the same camera pixels and race for the same camera
// bits and depth lists. A glass sphere in view sends hits down the
// transparent path as well.
TEST_F(ThreadedIntakeTest, ThreadedDetectionKeepsOnePlaquePerCameraAndPixel)
{
    constexpr uint64_t kThreads = 4;
    beginDetectionPhase(Quorvel::Phase::BOTH, 0.25, kThreads);
    TestHost host;
    host.markGlass(6);

    // The pixels of the centre camera around the glass sphere.
    const VekPoint target{2.5f, 0.0f, -3.0f};
    const VekPoint2 uv = Quorvel::Camera::cubeMapPosition(Quorvel::Utils::normalize(target));
    const auto cx = static_cast<int32_t>(uv.x * 312.0f);
    const auto cy = static_cast<int32_t>(uv.y * 208.0f);

    std::vector<std::thread> threads;
    std::vector<uint64_t> hits(kThreads, 0);
    for (uint64_t t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int32_t y = cy - 4; y < cy + 4; ++y)
                for (int32_t x = cx - 4; x < cx + 4; ++x)
                    if (static_cast<uint64_t>(x + y) % kThreads == t)
                        hits[t] += host.shootDetectionPixel(t, x, y, 64);
        });
    for (auto& thread : threads)
        thread.join();

    const std::vector<DetectPlaqueInfo> records = allRecords();
    ASSERT_FALSE(records.empty());
    for (uint64_t t = 0; t < kThreads; ++t) {
        EXPECT_GT(hits[t], 0u);
        EXPECT_EQ(context().threadRegions[t].sampleCount, context().threadRegions[t].detectRecords.size());
    }
    expectOneOpaquePlaquePerCameraAndPixel(records);

    // Glass plaques: every depth of a camera pixel was listed once, and the
    // lists hold exactly the glass plaques kept.
    std::map<std::tuple<int, int, int>, std::vector<float>> glass;
    for (const DetectPlaqueInfo& r : records)
        if (r.transparent)
            glass[{r.cameraIndex, r.x, r.y}].push_back(r.depth);
    ASSERT_FALSE(glass.empty());
    for (auto& [key, depths] : glass) {
        auto listed = context().cameraDepthLists[std::get<0>(key)].at(
            static_cast<uint32_t>(std::get<2>(key)) * 65536u + static_cast<uint32_t>(std::get<1>(key)));
        std::sort(depths.begin(), depths.end());
        std::sort(listed.begin(), listed.end());
        EXPECT_EQ(depths, listed);
        for (size_t i = 1; i < depths.size(); ++i)
            EXPECT_FALSE(Quorvel::Camera::QvIsAtProximity(depths[i - 1], depths[i], 1.0f));
    }
}

} // namespace
