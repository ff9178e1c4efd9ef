#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "context/Phase.h"
#include "context/QuorvelContext.h"
#include "context/Resolution.h"
#include "core/io/QvlTestFile.h"
#include "support/LogCapture.h"

namespace QuorvelTest {

inline Quorvel::Phase::QuorvelContext& ctx()
{
    return Quorvel::Phase::getQuorvelContext();
}

// Leaves no phase running, whatever an earlier test in this process did.
inline void endAnyPhase()
{
    if (ctx().initialised)
        Quorvel::Phase::QvPhaseTerminate(Quorvel::Phase::Discard);
}

// Every setting a host must give, for an output image of 312 x 208.
inline void setMandatorySettings()
{
    using namespace Quorvel::Phase;
    QvSetOutputResolution(312, 208);
    QvSetDraft(false);
    QvSetCurrentFrame(7, 4);
    QvSetZovOffset(1, 2, 3);
    QvSetRenderTransparencyMode(OPAQUE);
    QvSetBucketSize(16, 8);
}

inline void configureDetection()
{
    using namespace Quorvel::Phase;
    QvInitPhase(Detect, Quorvel::Util::RE_VRay);
    setMandatorySettings();
    ASSERT_TRUE(QvSetRenderingResolutionParameters(QvComputeRenderingResolutionParameters(312, 208)));
}

// Render phase reading the given detection file, one block of 10 x 10.
inline void configureRender(const std::string& detectionFile)
{
    using namespace Quorvel::Phase;
    QvInitPhase(Render, Quorvel::Util::RE_VRay);
    setMandatorySettings();
    QvSetDetectFilePath(detectionFile.c_str());
    ASSERT_TRUE(QvSetRenderingResolutionParameters(QvComputeRenderingResolutionParameters(10, 10)));
}

// Runs a call that must log one TRACE message and throw std::exception.
inline void expectMisuse(const std::function<void()>& call, const std::string& message)
{
    LogCapture capture;
    EXPECT_THROW(call(), std::exception);
    const auto entries = capture.entries();
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries.back().level, Quorvel::Logger::TRACE);
    EXPECT_EQ(LogCapture::stripHeader(entries.back().text), message);
}

class ContextTest : public ::testing::Test {
protected:
    void SetUp() override { endAnyPhase(); }
    void TearDown() override
    {
        endAnyPhase();
        // The clipping sphere outlives QvInitPhase: back to its load values.
        ctx().clipEnabled = false;
        ctx().clipInside = false;
        ctx().clipCentreWorld = VekPoint{0.0f, 0.0f, 0.0f};
        ctx().clipCentreCamera = VekPoint{0.0f, 0.0f, 0.0f};
        ctx().clipRadius = 0.0f;
    }

    TempDir dir;
};

} // namespace QuorvelTest
