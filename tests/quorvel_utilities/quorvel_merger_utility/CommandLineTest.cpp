#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "MergerParams.h"
#include "MergerTestSupport.h"

using namespace Quorvel::Merger;
using MergerTest::TempDir;

namespace {

// The help text, written out from the option table.
const std::string kHelp =
    "NAME: \n\n    Quorvel Merger.exe\n\n"
    "USAGE: \n\n    qm [-h] input( Arg ) --output Arg [-r Arg0,Arg1] [--lift Arg0,Arg1,Arg2] "
    "[--gain Arg0,Arg1,Arg2] [--pow Arg0,Arg1,Arg2] [--VFBPreset Arg] [--OCIOconfig Arg] "
    "[--applyColorSpaceFrom Arg] [--applyColorSpaceTo Arg] [--mindist Arg] [--maxDist Arg] "
    "[--colorTolerance Arg] [--normalTolerance Arg] [--planeTolerance Arg] [--mergeHypertangent] [-l Arg] [-x] "
    "[--backgroundColor Arg] [-b Arg] [--zovOffset Arg0,Arg1,Arg2] "
    "\n\nOPTIONS:\n\n"
    "    -h --help --usage :\n        Print this usage message\n"
    "    input ( Arg ):\n        [directory] root directory path to the input qvlRenders\n"
    "    --output  Arg:\n        [string] path to the output of the qvl file\n"
    "    -r  Arg0,Arg1:\n        [unsigned int] Frame range\n"
    "    --lift  Arg0,Arg1,Arg2:\n        [float] lift added to the R,G,B channels of every sample before the gain\n"
    "    --gain  Arg0,Arg1,Arg2:\n        [float] gain multiplying the R,G,B channels of every sample\n"
    "    --pow  Arg0,Arg1,Arg2:\n        [float] power applied to the R,G,B channels of every sample after the gain\n"
    "    --VFBPreset  Arg:\n        [file] Path to a Vray VFB preset file.\n"
    "    --OCIOconfig  Arg:\n        [file] Path to an OCIO config file.\n"
    "    --applyColorSpaceFrom  Arg:\n        [string] OCIO color space the samples are converted from (linear by default)\n"
    "    --applyColorSpaceTo  Arg:\n        [string] OCIO color space the samples are converted to (linear by default)\n"
    "    --mindist  Arg:\n        [float] samples nearer than this depth are dropped\n"
    "    --maxDist  Arg:\n        [float] samples farther than this depth are dropped\n"
    "    --colorTolerance  Arg:\n        [float] maximum color distance between two samples merged in one plaque\n"
    "    --normalTolerance  Arg:\n        [float] minimum dot product between the normals of two samples merged in one plaque\n"
    "    --planeTolerance  Arg:\n        [float] maximum cosine between the normal of a sample and the direction to a "
    "neighbour merged in its plaque\n"
    "    --mergeHypertangent :\n        [bool] merge the samples seen at a grazing angle (hypertangent) in plaques too\n"
    "    -l  Arg:\n        [unsigned int] console log level: 0 error, 1 warning, 2 info, 3 debug, 4 trace\n"
    "    -x :\n        if present, overwrite existing qvl\n"
    "    --backgroundColor  Arg:\n        [string] Specifies a background color to embed in the Qvl (ex: 0xFF00FF "
    "black is default)\n"
    "    -b --backgroundImage  Arg:\n        [file] Specifies a background (.PNG) to embed in the Qvl\n"
    "    --zovOffset  Arg0,Arg1,Arg2:\n        [short] specifies the zov to create\n"
    "\n\nEXAMPLES:\n\n    quorvel_merger ./renders/shot01 --output ./qvl/shot01_#.qvl -r 1,100 -x -l 3";

struct Parsed {
    bool ok;
    std::string report;
    params run;
    MergerInputs inputs;
};

Parsed parse(const std::vector<std::string>& args)
{
    std::vector<const char*> argv{"qm"};
    for (const auto& a : args)
        argv.push_back(a.c_str());
    CommandLine commandLine;
    declareOptions(commandLine);
    std::ostringstream out;
    Parsed p;
    p.ok = commandLine.parse(static_cast<int>(argv.size()), argv.data(), out);
    p.report = out.str();
    readOptions(commandLine, p.run, p.inputs);
    return p;
}

} // namespace

TEST(MergerCommandLine, HelpTextIsTheOptionTable)
{
    CommandLine commandLine;
    declareOptions(commandLine);
    EXPECT_EQ(commandLine.helpText("qm"), kHelp);

    for (const char* flag : {"-h", "--help", "--usage"}) {
        SCOPED_TRACE(flag);
        const Parsed p = parse({flag});
        EXPECT_FALSE(p.ok);
        EXPECT_EQ(p.report, kHelp + "\n");
    }
}

TEST(MergerCommandLine, ProgramHelpAndMissingArgumentsExitWithStatusOne)
{
    const MergerTest::Run help = MergerTest::runMerger({"qm", "-h"});
    EXPECT_EQ(help.status, 1);
    EXPECT_EQ(help.out, kHelp + "\n");
    EXPECT_EQ(help.messages, (std::vector<std::string>{"Quorvel Merger.\n", "Unable to parse command arguments\n"}));
    EXPECT_EQ(help.entries.back().level, Quorvel::Logger::ERROR);

    const MergerTest::Run nothing = MergerTest::runMerger({"qm"});
    EXPECT_EQ(nothing.status, 1);
    EXPECT_EQ(nothing.out, "Invalid optoin number\n");
    EXPECT_TRUE(nothing.logged("Unable to parse command arguments\n"));
}

TEST(MergerCommandLine, GrammarBoundsAndErrors)
{
    TempDir dir;
    const std::string in = dir.path().string();
    const std::string file = (dir / "preset.vfbl").string();
    MergerTest::writeBytes(file, "x");
    const std::string missing = (dir / "missing").string();

    struct Case {
        std::vector<std::string> args;
        bool ok;
        std::string report; // before the help text, which follows "\n" on failure
    };
    const std::vector<Case> cases = {
        {{in, "--output", "o.qvl"}, true, ""},
        {{in}, false, "ERROR: Argument --output must be set.\n"},
        {{"--output", "o.qvl"}, false, "ERROR: Argument input must be set.\n"},
        {{in, "--output", "o.qvl", "-r", "5"}, false, "ERROR: Got unexpected number of arguments for option -r.\n"},
        {{in, "--output", "o.qvl", "-r", "1,2,3"}, false, "ERROR: Got unexpected number of arguments for option -r.\n"},
        {{in, "--output"}, false, "ERROR: Got unexpected number of arguments for option --output.\n"},
        {{in, "-x", "--output", "o.qvl", "-l"}, false, "ERROR: Got unexpected number of arguments for option -l.\n"},
        {{in, "--output", "o.qvl", "-r", "-1,3"}, false, "ERROR: Got invalid argument \"-1\" for option -r.\n"},
        {{in, "--output", "o.qvl", "-r", "0,0"}, true, ""},
        {{in, "--output", "o.qvl", "--lift", "0.0,0.0,0.0"}, true, ""},
        {{in, "--output", "o.qvl", "--lift", "-0.1,0,0"}, true, ""},
        {{in, "--output", "o.qvl", "--lift", "1e39,0,0"}, false, "ERROR: Got invalid argument \"1e39\" for option --lift.\n"},
        {{in, "--output", "o.qvl", "--gain", "1,-0.5,1"}, false,
         "ERROR: Got invalid argument \"-0.5\" for option --gain.\n"},
        {{in, "--output", "o.qvl", "--gain", "0,abc,1"}, false,
         "ERROR: Got invalid argument \"abc\" for option --gain.\n"},
        {{in, "--output", "o.qvl", "--mindist", "1e30"}, true, ""},
        {{in, "--output", "o.qvl", "--mindist", "2e30"}, false,
         "ERROR: Got invalid argument \"2e30\" for option --mindist.\n"},
        {{in, "--output", "o.qvl", "--maxDist", "-1"}, false,
         "ERROR: Got invalid argument \"-1\" for option --maxDist.\n"},
        {{in, "--output", "o.qvl", "--zovOffset", "32767,-32768,0"}, true, ""},
        {{in, "--output", "o.qvl", "--zovOffset", "32768,0,0"}, false,
         "ERROR: Got invalid argument \"32768\" for option --zovOffset.\n"},
        {{in, "--output", "o.qvl", "-l", "-1"}, false, "ERROR: Got invalid argument \"-1\" for option -l.\n"},
        {{in, "--output", "o.qvl", "--VFBPreset", file, "-b", file}, true, ""},
        {{in, "--output", "o.qvl", "--OCIOconfig", missing}, false,
         "ERROR: Got invalid argument \"" + missing + "\" for option --OCIOconfig.\n"},
        {{missing, "--output", "o.qvl"}, false, "ERROR: Got invalid argument \"" + missing + "\" for option input.\n"},
        {{file, "--output", "o.qvl"}, false, "ERROR: Got invalid argument \"" + file + "\" for option input.\n"},
        {{in, "--output", "o.qvl", "--colour", "-q", "extra"}, true,
         "WARNING: Got unknown argument:--colour.\nWARNING: Got unknown argument:-q.\n"
         "WARNING: Got unknown argument:extra.\n"},
        {{in, "--output", "o.qvl", "--mergeHypertangent", "-x", "--backgroundColor", "0xFF00FF"}, true, ""},
        {{"--output", "o.qvl", "-r", "4", "--gain", "-1,1,1", "--bogus"}, false,
         "ERROR: Argument input must be set.\n"
         "ERROR: Got unexpected number of arguments for option -r.\n"
         "ERROR: Got invalid argument \"-1\" for option --gain.\n"
         "WARNING: Got unknown argument:--bogus.\n"},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const auto& a : c.args)
            line += a + " ";
        SCOPED_TRACE(line);
        const Parsed p = parse(c.args);
        EXPECT_EQ(p.ok, c.ok);
        CommandLine full;
        declareOptions(full);
        const std::string expected = c.report + (c.ok ? "" : "\n" + full.helpText("qm")) + "\n";
        EXPECT_EQ(p.report, expected);
    }
}

TEST(MergerCommandLine, ValuesReachTheRunConfiguration)
{
    TempDir dir;
    const std::string in = dir.path().string();

    const Parsed defaults = parse({in, "--output", "out.qvl"});
    ASSERT_TRUE(defaults.ok);
    EXPECT_EQ(defaults.run.frameFirst, -2);
    EXPECT_EQ(defaults.run.frameLast, 1000000000);
    EXPECT_EQ(defaults.run.lift, (std::vector<float>{0.0f, 0.0f, 0.0f}));
    EXPECT_EQ(defaults.run.gain, (std::vector<float>{1.0f, 1.0f, 1.0f}));
    EXPECT_EQ(defaults.run.pow, (std::vector<float>{1.0f, 1.0f, 1.0f}));
    EXPECT_EQ(defaults.run.zovOffset, (std::vector<int32_t>{0, 0, 0}));
    EXPECT_EQ(defaults.run.minDist, 0.0f);
    EXPECT_EQ(defaults.run.maxDist, 1e30f);
    EXPECT_EQ(defaults.run.colorTolerance, 2.3f);
    EXPECT_EQ(defaults.run.normalTolerance, 0.95f);
    EXPECT_EQ(defaults.run.planeTolerance, 0.2f);
    EXPECT_TRUE(defaults.run.mergeHypertangent);
    EXPECT_FALSE(defaults.run.overwrite);
    EXPECT_EQ(defaults.run.backgroundColor, 0);
    EXPECT_EQ(defaults.run.backgroundImage, "");
    EXPECT_EQ(defaults.run.vfbPreset, "");
    EXPECT_EQ(defaults.run.output, "out.qvl");
    EXPECT_FALSE(defaults.run.ocioProcessor);
    EXPECT_EQ(defaults.inputs.inputDirectory, in);
    EXPECT_EQ(defaults.inputs.ocioConfig, "");
    EXPECT_EQ(defaults.inputs.colorSpaceFrom, "linear");
    EXPECT_EQ(defaults.inputs.colorSpaceTo, "linear");
    EXPECT_EQ(defaults.inputs.consoleLevel, 2);

    const Parsed given =
        parse({in, "--output", "a b.qvl", "-r", "0,0", "--lift", "-0.1,0,0.25", "--gain", "2,0,1", "--pow", "1,2,0.5",
               "--mindist", "0.5", "--maxDist", "100", "--zovOffset", "1,-2,3", "-xl", "3", "--applyColorSpaceFrom",
               "Utility - Linear - sRGB", "--applyColorSpaceTo", "sRGB", "--planeTolerance", "0.3",
               "--lift", "9,9,9"});
    ASSERT_TRUE(given.ok) << given.report;
    EXPECT_EQ(given.run.frameFirst, 0);
    EXPECT_EQ(given.run.frameLast, 0);
    EXPECT_EQ(given.run.lift, (std::vector<float>{-0.1f, 0.0f, 0.25f})) << "the first occurrence counts";
    EXPECT_EQ(given.run.gain, (std::vector<float>{2.0f, 0.0f, 1.0f}));
    EXPECT_EQ(given.run.pow, (std::vector<float>{1.0f, 2.0f, 0.5f}));
    EXPECT_EQ(given.run.minDist, 0.5f);
    EXPECT_EQ(given.run.maxDist, 100.0f);
    EXPECT_EQ(given.run.zovOffset, (std::vector<int32_t>{1, -2, 3}));
    EXPECT_TRUE(given.run.overwrite);
    EXPECT_EQ(given.inputs.consoleLevel, 3);
    EXPECT_EQ(given.run.output, "a b.qvl");
    EXPECT_EQ(given.inputs.colorSpaceFrom, "Utility - Linear - sRGB");
    EXPECT_EQ(given.inputs.colorSpaceTo, "sRGB");
    EXPECT_EQ(given.run.planeTolerance, 0.3f);
}

TEST(MergerCommandLine, BackgroundColourIsHexadecimalAfterZeroX)
{
    const std::vector<std::pair<std::string, int32_t>> cases = {
        {"0xFF00FF", 16711935}, {"255", 255}, {"", 0},        {"0x", 0},
        {"0x1", 1},             {"zz", 0},    {"0xFFFFFFFF", -1},
    };
    for (const auto& [text, value] : cases)
        EXPECT_EQ(parseBackgroundColor(text), value) << text;

    TempDir dir;
    EXPECT_EQ(parse({dir.path().string(), "--output", "o", "--backgroundColor", "0xFF00FF"}).run.backgroundColor,
              16711935);
    EXPECT_EQ(parse({dir.path().string(), "--output", "o"}).run.backgroundColor, 0);
}

TEST(MergerCommandLine, PathsTakeEitherSeparatorAndAnyName)
{
    TempDir dir;
    std::filesystem::create_directories(dir / "rendus été" / "plan 1");
    const std::string typed = dir.path().string() + "\\rendus été\\plan 1";
    const Parsed p = parse({typed, "--output", "o"});
    EXPECT_TRUE(p.ok) << p.report;
    EXPECT_EQ(p.inputs.inputDirectory, typed);
}
