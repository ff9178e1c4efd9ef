#include <gtest/gtest.h>

#include <OpenColorIO/OpenColorIO.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

#include "ColorPipeline.h"
#include "MergerTestSupport.h"

namespace OCIO = OCIO_NAMESPACE;
using namespace Quorvel::Merger;
using Quorvel::Binary::vekbin;
using MergerTest::TempDir;

namespace {

// "linear" plus a gamma space: converting twice is not converting once.
const char* const kConfig = R"(ocio_profile_version: 1

search_path: ""
strictparsing: true
luma: [0.2126, 0.7152, 0.0722]

roles:
  default: linear
  scene_linear: linear

displays:
  sRGB:
    - !<View> {name: Raw, colorspace: linear}

active_displays: []
active_views: []

colorspaces:
  - !<ColorSpace>
    name: linear
    family: ""
    bitdepth: 32f
    isdata: false
    allocation: uniform

  - !<ColorSpace>
    name: gamma 2.2
    family: ""
    bitdepth: 32f
    isdata: false
    allocation: uniform
    from_reference: !<ExponentTransform> {value: [0.4545454545, 0.4545454545, 0.4545454545, 1]}
)";

const char* const kConfigWithoutLinear = R"(ocio_profile_version: 1

roles:
  default: raw

displays:
  sRGB:
    - !<View> {name: Raw, colorspace: raw}

colorspaces:
  - !<ColorSpace>
    name: raw
    isdata: true
)";

// Restores the environment variable and the working directory it changed.
class ColourEnvironment {
public:
    ColourEnvironment()
    {
        if (const char* v = std::getenv("OCIO"))
            saved_ = v, hadValue_ = true;
        ::unsetenv("OCIO");
        cwd_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_.path());
    }
    ~ColourEnvironment()
    {
        std::filesystem::current_path(cwd_);
        if (hadValue_)
            ::setenv("OCIO", saved_.c_str(), 1);
        else
            ::unsetenv("OCIO");
    }
    const TempDir& dir() const { return dir_; }

private:
    TempDir dir_;
    std::filesystem::path cwd_;
    std::string saved_;
    bool hadValue_ = false;
};

MergerInputs conversion(const std::string& config, const std::string& from, const std::string& to)
{
    MergerInputs inputs;
    inputs.ocioConfig = config;
    inputs.colorSpaceFrom = from;
    inputs.colorSpaceTo = to;
    return inputs;
}

} // namespace

TEST(MergerColour, GradeIsLiftGainPowerPerChannel)
{
    struct Case {
        VekRGBA in;
        std::vector<float> lift, gain, pow;
        VekRGBA expected;
    };
    const std::vector<Case> cases = {
        {{0.1f, 0.5f, 2.0f, 0.25f}, {0, 0, 0}, {1, 1, 1}, {1, 1, 1}, {0.1f, 0.5f, 2.0f, 0.25f}},
        {{0.1f, 0.5f, 2.0f, 0.5f}, {0, 0, 0}, {0, 1, 0}, {2, 1, 0.5f}, {0.0f, 0.5f, 0.0f, 0.5f}},
        {{0.25f, 0.5f, 0.75f, 1.0f},
         {0.1f, -0.1f, 0.0f},
         {2.0f, 1.5f, 0.5f},
         {2.2f, 1.0f, 0.45f},
         {std::pow((0.25f + 0.1f) * 2.0f, 2.2f), std::pow((0.5f - 0.1f) * 1.5f, 1.0f),
          std::pow((0.75f + 0.0f) * 0.5f, 0.45f), 1.0f}},
    };
    for (const Case& c : cases) {
        const VekRGBA out = gradeColour(c.in, c.lift, c.gain, c.pow);
        EXPECT_EQ(out.r, c.expected.r);
        EXPECT_EQ(out.g, c.expected.g);
        EXPECT_EQ(out.b, c.expected.b);
        EXPECT_EQ(out.a, c.expected.a) << "alpha is passed through";
    }
}

TEST(MergerColour, ConversionMatchesOpenColorIOAndRunsOnce)
{
    ColourEnvironment env;
    const std::string configPath = (env.dir() / "studio config.ocio").string();
    MergerTest::writeBytes(configPath, kConfig);

    QuorvelTest::LogCapture log;
    params run;
    ASSERT_TRUE(setupColorManagement(conversion(configPath, "linear", "gamma 2.2"), run));
    ASSERT_TRUE(run.ocioProcessor);
    EXPECT_EQ(log.messages(), (std::vector<std::string>{"[OCIO] Loading OCIO config " + configPath + "\n",
                                                        "[OCIO] Converting from linear to gamma 2.2\n"}));

    // OpenColorIO's own answer for the same config.
    const OCIO::ConstConfigRcPtr config = OCIO::Config::CreateFromFile(configPath.c_str());
    const OCIO::ConstCPUProcessorRcPtr reference =
        config->getProcessor("linear", "gamma 2.2")->getDefaultCPUProcessor();

    std::vector<vekbin> opaque(2);
    opaque[0].colour = {0.25f, 0.5f, 0.75f, 1.0f};
    opaque[0].rightColour = {0.2f, 0.3f, 0.4f};
    opaque[1].colour = {0.01f, 1.5f, 0.0f, 1.0f};
    opaque[1].rightColour = {0.6f, 0.7f, 0.8f};
    std::vector<vekbin> transparent(1);
    transparent[0].colour = {0.125f, 0.0625f, 0.9f, 0.5f};
    transparent[0].rightColour = {0.9f, 0.1f, 0.05f};
    const std::vector<vekbin> before = opaque;
    const vekbin transparentBefore = transparent[0];

    convertColourSpace(*run.ocioProcessor, opaque, transparent);

    auto expectConverted = [&](const vekbin& in, const vekbin& out) {
        float rgba[4] = {in.colour.r, in.colour.g, in.colour.b, in.colour.a};
        reference->applyRGBA(rgba);
        float rgb[3] = {in.rightColour.r, in.rightColour.g, in.rightColour.b};
        reference->applyRGB(rgb);
        EXPECT_EQ(out.colour.r, rgba[0]);
        EXPECT_EQ(out.colour.g, rgba[1]);
        EXPECT_EQ(out.colour.b, rgba[2]);
        EXPECT_EQ(out.colour.a, rgba[3]);
        EXPECT_EQ(out.rightColour.r, rgb[0]);
        EXPECT_EQ(out.rightColour.g, rgb[1]);
        EXPECT_EQ(out.rightColour.b, rgb[2]);
        // Twice would differ: the conversion is not idempotent.
        float twice[4] = {rgba[0], rgba[1], rgba[2], rgba[3]};
        reference->applyRGBA(twice);
        EXPECT_NE(out.colour.r, twice[0]);
    };
    expectConverted(before[0], opaque[0]);
    expectConverted(before[1], opaque[1]);
    expectConverted(transparentBefore, transparent[0]);
    EXPECT_NEAR(opaque[0].colour.r, std::pow(0.25f, 1.0f / 2.2f), 1e-4f);
}

TEST(MergerColour, ConfigurationChoiceAndErrors)
{
    ColourEnvironment env;
    const std::string good = (env.dir() / "good.ocio").string();
    const std::string noLinear = (env.dir() / "nolinear.ocio").string();
    MergerTest::writeBytes(good, kConfig);
    MergerTest::writeBytes(noLinear, kConfigWithoutLinear);

    struct Case {
        const char* name;
        std::string envValue; // "OCIO", empty when unset
        bool relativeConfig;  // ./ocio/config.ocio exists
        MergerInputs inputs;
        bool ok;
        std::vector<std::pair<Quorvel::Logger::LogLevel, std::string>> log;
    };
    using namespace Quorvel::Logger;
    const std::vector<Case> cases = {
        {"both linear needs no config", "", false, conversion("", "linear", "linear"), true, {}},
        {"nothing to load", "", false, conversion("", "linear", "gamma 2.2"), false,
         {{WARNING, "[OCIO] No OCIO config found at ./ocio/config.ocio.\n"},
          {ERROR, "[OCIO] No OCIO config could be loaded. Give one with --OCIOconfig or set the OCIO environment "
                  "variable.\n"}}},
        {"environment", good, false, conversion("", "gamma 2.2", "linear"), true,
         {{INFO, "[OCIO] Loading OCIO config " + good + "\n"}, {INFO, "[OCIO] Converting from gamma 2.2 to linear\n"}}},
        {"relative path", "", true, conversion("", "linear", "gamma 2.2"), true,
         {{INFO, "[OCIO] Loading OCIO config ./ocio/config.ocio\n"},
          {INFO, "[OCIO] Converting from linear to gamma 2.2\n"}}},
        {"option before environment", noLinear, false, conversion(good, "linear", "gamma 2.2"), true,
         {{INFO, "[OCIO] Loading OCIO config " + good + "\n"}, {INFO, "[OCIO] Converting from linear to gamma 2.2\n"}}},
        {"no linear space", "", false, conversion(noLinear, "raw", "raw"), false,
         {{INFO, "[OCIO] Loading OCIO config " + noLinear + "\n"},
          {ERROR, "[OCIO] Need a linear color space to convert from.\n"}}},
        {"missing target", "", false, conversion(good, "linear", "ACEScg"), false,
         {{INFO, "[OCIO] Loading OCIO config " + good + "\n"},
          {ERROR, "[OCIO] ACEScg color space missing.\n"},
          {INFO, "[OCIO] valid color space linear\n"},
          {INFO, "[OCIO] valid color space gamma 2.2\n"}}},
        {"missing source named first", "", false, conversion(good, "sRGB", "ACEScg"), false,
         {{INFO, "[OCIO] Loading OCIO config " + good + "\n"},
          {ERROR, "[OCIO] sRGB color space missing.\n"},
          {INFO, "[OCIO] valid color space linear\n"},
          {INFO, "[OCIO] valid color space gamma 2.2\n"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.envValue.empty())
            ::unsetenv("OCIO");
        else
            ::setenv("OCIO", c.envValue.c_str(), 1);
        std::filesystem::remove_all(env.dir() / "ocio");
        if (c.relativeConfig)
            MergerTest::writeBytes(env.dir() / "ocio" / "config.ocio", kConfig);

        QuorvelTest::LogCapture log;
        params run;
        EXPECT_EQ(setupColorManagement(c.inputs, run), c.ok);
        EXPECT_EQ(static_cast<bool>(run.ocioProcessor), c.ok && c.inputs.colorSpaceFrom != c.inputs.colorSpaceTo);
        std::vector<std::pair<LogLevel, std::string>> got;
        for (const auto& e : log.entries())
            got.emplace_back(e.level, QuorvelTest::LogCapture::stripHeader(e.text));
        EXPECT_EQ(got, c.log);
    }
}
