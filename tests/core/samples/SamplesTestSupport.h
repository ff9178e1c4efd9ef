#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <tuple>
#include <vector>

#include "core/camera/CameraTestSupport.h"
#include "samples/DetectSample.h"
#include "samples/RenderSample.h"
#include "support/TestHost.h"

namespace QuorvelTest {

// Intake tests run with a render scale of 50, so that the zone of view is the
// box [-1, 1] x [-0.5, 0.5] x [-1, 1] inside the test scene's room.
class IntakeTest : public PhaseTest {
protected:
    void beginDetectionPhase(Quorvel::Phase::TransparencyRenderingType mode = Quorvel::Phase::OPAQUE,
                             double tolerance = 0.25, uint64_t threads = 1)
    {
        using namespace Quorvel::Phase;
        initWithSettings(Detect, false, 50.0);
        QvSetRenderTransparencyMode(mode);
        QvSetTolerance(tolerance);
        QvSetThreadNumber(threads);
        ASSERT_TRUE(QvSetRenderingResolutionParameters(QvComputeRenderingResolutionParameters(312, 208)));
        ASSERT_TRUE(QvPhaseBegin());
        log.clear();
    }

    // Records of every thread region, in region order.
    static std::vector<Quorvel::BinIO::DetectPlaqueInfo> allRecords()
    {
        std::vector<Quorvel::BinIO::DetectPlaqueInfo> out;
        for (const auto& region : context().threadRegions)
            out.insert(out.end(), region.detectRecords.begin(), region.detectRecords.end());
        return out;
    }
};

// Opaque plaques that went through the camera bits: at most one per camera
// and pixel.
inline void expectOneOpaquePlaquePerCameraAndPixel(const std::vector<Quorvel::BinIO::DetectPlaqueInfo>& records)
{
    std::set<std::tuple<int, int, int>> seen;
    for (const auto& r : records) {
        if (r.estimated || r.transparent || r.hair)
            continue;
        EXPECT_TRUE(seen.insert({r.cameraIndex, r.x, r.y}).second)
            << "camera " << int(r.cameraIndex) << " pixel " << r.x << "," << r.y;
    }
}

} // namespace QuorvelTest
