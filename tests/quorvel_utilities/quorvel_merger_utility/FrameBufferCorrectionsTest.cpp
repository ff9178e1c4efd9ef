#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "FrameBufferCorrections.h"
#include "MergerTestSupport.h"
#include "support/LogCapture.h"
#include "vray/VRayRuntime.h"

using namespace Quorvel::Vray_VFB_CC;
using Quorvel::Binary::vekbin;

namespace {

vekbin sample(VekRGB colour, VekRGB right, float alpha)
{
    vekbin s;
    s.colour = {colour.r, colour.g, colour.b, alpha};
    s.rightColour = right;
    return s;
}

std::string writePreset(const MergerTest::TempDir& dir, const std::string& name, const std::string& text)
{
    const std::filesystem::path path = dir / name;
    MergerTest::writeBytes(path, text);
    return path.string();
}

// Keeps the V-Ray runtime started for the length of a test.
struct Runtime {
    Runtime() { EXPECT_NE(VUtils::vrayInit(0, nullptr), 0); }
    ~Runtime() { VUtils::vrayDone(); }
};

} // namespace

TEST(FrameBufferCorrections, PresetAppliesExposureWhiteBalanceAndContrast)
{
    QuorvelTest::LogCapture log;
    Runtime runtime;
    MergerTest::TempDir dir;
    std::vector<vekbin> opaque = {sample({0.1f, 0.2f, 0.3f}, {0.3f, 0.2f, 0.1f}, 1.0f)};
    std::vector<vekbin> transparent = {sample({0.05f, 0.05f, 0.05f}, {0.0f, 0.0f, 0.0f}, 0.25f)};
    const std::string preset = writePreset(dir, "look.vfbl",
                                           "# a look\n"
                                           "exposure 1\n"
                                           "whiteBalance 1 0.5 2   # warm\n");
    ASSERT_TRUE(applyFrameBufferCorrections(opaque, transparent, preset));
    EXPECT_FLOAT_EQ(opaque[0].colour.r, 0.2f);
    EXPECT_FLOAT_EQ(opaque[0].colour.g, 0.2f);
    EXPECT_FLOAT_EQ(opaque[0].colour.b, 1.2f);
    EXPECT_FLOAT_EQ(opaque[0].rightColour.r, 0.6f);
    EXPECT_FLOAT_EQ(opaque[0].rightColour.g, 0.2f);
    EXPECT_FLOAT_EQ(opaque[0].rightColour.b, 0.4f);
    EXPECT_EQ(opaque[0].colour.a, 1.0f);
    EXPECT_FLOAT_EQ(transparent[0].colour.r, 0.1f);
    EXPECT_FLOAT_EQ(transparent[0].colour.b, 0.2f);
    EXPECT_EQ(transparent[0].colour.a, 0.25f);
    EXPECT_TRUE(log.messages().empty());

    // Contrast pivots on middle grey.
    std::vector<vekbin> grey = {sample({0.18f, 0.36f, 0.0f}, {0.09f, 0.18f, 0.18f}, 1.0f)};
    std::vector<vekbin> none;
    ASSERT_TRUE(applyFrameBufferCorrections(grey, none, writePreset(dir, "c.vfbl", "contrast 2\n")));
    EXPECT_FLOAT_EQ(grey[0].colour.r, 0.18f);
    EXPECT_FLOAT_EQ(grey[0].colour.g, 0.72f);
    EXPECT_EQ(grey[0].colour.b, 0.0f);
    EXPECT_FLOAT_EQ(grey[0].rightColour.r, 0.045f);

    // Empty lists are fine too.
    ASSERT_TRUE(applyFrameBufferCorrections(none, none, preset));
}

TEST(FrameBufferCorrections, SrgbOutputIsDecodedBackToLinear)
{
    QuorvelTest::LogCapture log;
    Runtime runtime;
    MergerTest::TempDir dir;
    const std::vector<vekbin> original = {sample({0.002f, 0.2f, 1.0f}, {0.5f, 0.04f, 0.0f}, 1.0f)};
    std::vector<vekbin> opaque = original;
    std::vector<vekbin> none;
    ASSERT_TRUE(applyFrameBufferCorrections(opaque, none, writePreset(dir, "s.vfbl", "output srgb\n")));
    EXPECT_NEAR(opaque[0].colour.r, 0.002f, 1e-6f);
    EXPECT_NEAR(opaque[0].colour.g, 0.2f, 1e-6f);
    EXPECT_NEAR(opaque[0].colour.b, 1.0f, 1e-6f);
    EXPECT_NEAR(opaque[0].rightColour.r, 0.5f, 1e-6f);
    EXPECT_NEAR(opaque[0].rightColour.g, 0.04f, 1e-6f);

    EXPECT_EQ(srgbToLinear(0.04045f), 0.04045f / 12.92f);
    EXPECT_EQ(srgbToLinear(1.0f), 1.0f);
    EXPECT_EQ(srgbToLinear(0.0f), 0.0f);
}

TEST(FrameBufferCorrections, FailuresLeaveTheColoursAsAssembled)
{
    MergerTest::TempDir dir;
    const std::vector<vekbin> original = {sample({0.1f, 0.2f, 0.3f}, {0.3f, 0.2f, 0.1f}, 1.0f)};
    const std::string good = writePreset(dir, "good.vfbl", "exposure 2\n");
    struct Case {
        const char* name;
        std::string preset;
        bool running;
        std::string message;
    };
    const std::string missing = (dir / "missing.vfbl").string();
    const std::string unknown = writePreset(dir, "unknown.vfbl", "saturation 2\n");
    const std::string badNumber = writePreset(dir, "bad.vfbl", "whiteBalance 1 2\n");
    const std::string extra = writePreset(dir, "extra.vfbl", "exposure 1 2\n");
    const Case cases[] = {
        {"runtime not started", good, false, "Failed to create Vray VFB\n"},
        {"missing file", missing, true, "Could not load specified preset file " + missing + " for Vray VFB\n"},
        {"unknown key", unknown, true, "Could not load specified preset file " + unknown + " for Vray VFB\n"},
        {"short list", badNumber, true, "Could not load specified preset file " + badNumber + " for Vray VFB\n"},
        {"extra value", extra, true, "Could not load specified preset file " + extra + " for Vray VFB\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QuorvelTest::LogCapture log;
        if (c.running) {
            ASSERT_NE(VUtils::vrayInit(0, nullptr), 0);
        }
        std::vector<vekbin> opaque = original;
        std::vector<vekbin> none;
        EXPECT_FALSE(applyFrameBufferCorrections(opaque, none, c.preset));
        if (c.running)
            VUtils::vrayDone();
        EXPECT_EQ(opaque[0].colour.r, 0.1f);
        EXPECT_EQ(opaque[0].rightColour.r, 0.3f);
        const auto entries = log.entries();
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries[0].level, Quorvel::Logger::ERROR);
        EXPECT_EQ(QuorvelTest::LogCapture::stripHeader(entries[0].text), c.message);
    }
}

TEST(FrameBufferCorrections, StartupSettingsComeFromTheEnvironment)
{
    const std::pair<const char*, int> texts[] = {{"0", 0}, {"1", 1}, {"2", 2}, {"2x", 2}, {"3", 0}, {"", 0},
                                                 {"yes", 0}};
    for (const auto& [text, value] : texts)
        EXPECT_EQ(startupSettingFromText(text), value) << text;
    EXPECT_EQ(startupSettingFromText(nullptr), 0);

    ::setenv("VRAY_VFB_SRGB", "2", 1);
    ::setenv("VRAY_VFB_GAMMA22", "1", 1);
    ::unsetenv("VRAY_VFB_LUT");
    EXPECT_EQ(notifyCallback().getStartupSetting(2), 2);
    EXPECT_EQ(notifyCallback().getStartupSetting(6), 1);
    EXPECT_EQ(notifyCallback().getStartupSetting(0), 0);
    EXPECT_EQ(notifyCallback().getStartupSetting(7), 0);
    ::unsetenv("VRAY_VFB_SRGB");
    ::unsetenv("VRAY_VFB_GAMMA22");
}
