#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "camera/CameraSet.h"
#include "camera/RenderingContext.h"
#include "context/Phase.h"
#include "context/QuorvelContext.h"
#include "context/Resolution.h"
#include "support/LogCapture.h"

namespace QuorvelTest {

inline Quorvel::Phase::QuorvelContext& context()
{
    return Quorvel::Phase::getQuorvelContext();
}

inline bool sameVector(const VekPoint& a, const VekPoint& b)
{
    return a.x == b.x && a.y == b.y && a.z == b.z;
}

inline void expectZero(const VekPoint& p)
{
    EXPECT_EQ(p.x, 0.0f);
    EXPECT_EQ(p.y, 0.0f);
    EXPECT_EQ(p.z, 0.0f);
}

inline void expectPoint(const VekPoint& p, float x, float y, float z)
{
    EXPECT_FLOAT_EQ(p.x, x);
    EXPECT_FLOAT_EQ(p.y, y);
    EXPECT_FLOAT_EQ(p.z, z);
}

// Every test starts from a fresh phase and leaves none running; the log is
// captured so that the configuration report stays off the console.
class PhaseTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (context().initialised)
            Quorvel::Phase::QvPhaseTerminate(Quorvel::Phase::Discard);
        Quorvel::Phase::QvInitPhase(static_cast<Quorvel::Phase::Phase>(-1), Quorvel::Util::RE_Unknown);
        context().clipEnabled = false;
        context().clipInside = false;
        context().clipCentreCamera = VekPoint{0.0f, 0.0f, 0.0f};
        context().clipRadius = 0.0f;
    }

    // The settings every begin in these tests needs, for an output image of
    // 312 x 208 pixels.
    void initWithSettings(Quorvel::Phase::Phase phase, bool draft = false, double renderScale = 1.0,
                          int32_t offsetRight = 0)
    {
        using namespace Quorvel::Phase;
        QvInitPhase(phase, Quorvel::Util::RE_VRay);
        QvSetOutputResolution(312, 208);
        QvSetDraft(draft);
        QvSetCurrentFrame(1, 4);
        QvSetZovOffset(offsetRight, 0, 0);
        QvSetRenderTransparencyMode(OPAQUE);
        QvSetBucketSize(16, 16);
        QvSetRenderScale(renderScale);
        QvSetSpecularPointOffset(VekPoint{0.0f, 0.0f, 0.0f});
        QvSetSceneUpVector(VekPoint{0.0f, 1.0f, 0.0f});
        QvSetDeepReflection(RC_Left, 63.5);
        QvSetThreadNumber(1);
    }

    // Detection phase of 312 x 208 pixels with zero ZOV offsets.
    void configureDetection(bool draft = false, bool insideBox = false)
    {
        using namespace Quorvel::Phase;
        initWithSettings(Detect, draft);
        QvSetRenderInsideBox(insideBox);
        ASSERT_TRUE(QvSetRenderingResolutionParameters(QvComputeRenderingResolutionParameters(312, 208)));
    }

    void beginDetection(bool draft = false, bool insideBox = false)
    {
        configureDetection(draft, insideBox);
        ASSERT_TRUE(Quorvel::Phase::QvPhaseBegin());
    }

    // Render phase set up by hand, without a detection file: a rendering
    // image of 4 x 2 pixels showing block 1 of an output image of 312 x 208,
    // the default camera set and the given plaques.
    void configureRender(const std::vector<Quorvel::BinIO::DetectPlaqueInfo>& plaques)
    {
        using namespace Quorvel::Phase;
        QvInitPhase(Render, Quorvel::Util::RE_VRay);
        auto& c = context();
        c.renderingResolutionX.set(4.0);
        c.renderingResolutionY.set(2.0);
        c.outputResolutionX.set(312.0);
        c.outputResolutionY.set(208.0);
        c.currentBlock.set(1);
        Quorvel::Camera::CameraSet set = Quorvel::Camera::makeCameraSet({});
        c.cameraPositions = set.positions;
        c.cameraPriorities = set.priorities;
        c.cameraFaceMasks = set.faceMasks;
        c.plaques = plaques;
        c.raysShot.assign(8, 0);
        c.sampleIndexCounters.assign(8, 0);
    }

    LogCapture log;
};

inline Quorvel::BinIO::DetectPlaqueInfo plaque(uint8_t camera, uint16_t x, uint16_t y, uint8_t level = 0)
{
    Quorvel::BinIO::DetectPlaqueInfo p;
    p.cameraIndex = camera;
    p.x = x;
    p.y = y;
    p.level = level;
    return p;
}

} // namespace QuorvelTest
