#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "Discovery.h"
#include "Merger.h"
#include "MergerTestSupport.h"

using namespace Quorvel::Merger;
using MergerTest::renderHeader;
using MergerTest::TempDir;
using MergerTest::writeHeaderOnlyFile;

namespace {

std::vector<std::string> relativeNames(const std::vector<std::filesystem::path>& paths,
                                       const std::filesystem::path& root)
{
    std::vector<std::string> names;
    for (const auto& p : paths)
        names.push_back(std::filesystem::relative(p, root).generic_string());
    std::sort(names.begin(), names.end());
    return names;
}

// Every entry below root with its size and modification time.
std::map<std::string, std::pair<uintmax_t, std::filesystem::file_time_type>> snapshot(
    const std::filesystem::path& root)
{
    std::map<std::string, std::pair<uintmax_t, std::filesystem::file_time_type>> entries;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root))
        entries[e.path().string()] = {e.is_regular_file() ? e.file_size() : 0, e.last_write_time()};
    return entries;
}

} // namespace

TEST(MergerOutputPath, FrameNumberGoesIntoTheFileName)
{
    struct Case {
        std::string pattern;
        int32_t frame;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"out.qvl", 12, "out.0012.qvl"},
        {"out_#.qvl", 12, "out_0012.qvl"},
        {"out", 12, "out0012"},
        {"out.qvl", -1, "out.-001.qvl"},
        {"out.qvl", -2, "out.qvl"},
        {"out.qvl", 0, "out.0000.qvl"},
        {"out.qvl", 123456, "out.123456.qvl"},
        {"out..qvl", 7, "out.0007.qvl"},
        {"out.tar.gz", 1, "out.tar.0001.gz"},
        {"o#_#.qvl", 3, "o0003_0003.qvl"},
        {"shots.v2/out", 3, "shots.v2/out0003"},
        {"C:\\shots.a\\out.qvl", 3, "C:\\shots.a\\out.0003.qvl"},
        {"a#b\\out.qvl", 5, "a#b\\out.0005.qvl"},
        {"a#b/out#.qvl", 5, "a#b/out0005.qvl"},
        {"plans/écran.qvl", 9, "plans/écran.0009.qvl"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(outputPathForFrame(c.pattern, c.frame), c.expected) << c.pattern << " frame " << c.frame;
}

TEST(MergerDiscovery, FindsGroupsAndCountsEveryAcceptedFile)
{
    QuorvelTest::LogCapture log;
    TempDir dir;
    writeHeaderOnlyFile(dir / "a" / "left_f1.qvlr", renderHeader(1, 1));
    writeHeaderOnlyFile(dir / "a" / "right_f1.qvlr", renderHeader(1, 2));
    writeHeaderOnlyFile(dir / "b" / "deeper" / "left_f2.qvlr", renderHeader(2, 1));
    writeHeaderOnlyFile(dir / "b" / "offset_f1.qvlr", renderHeader(1, 1, 1));
    writeHeaderOnlyFile(dir / "b" / ".hidden.qvlr", renderHeader(1, 1));
    writeHeaderOnlyFile(dir / ".hidden" / "left_f1.qvlr", renderHeader(1, 1));
    // Saved by the core when the file could not be written: not a pass of its own.
    writeHeaderOnlyFile(dir / "a" / "left_f1.qvlr.recovered", renderHeader(1, 1));
    MergerTest::writeBytes(dir / "b" / "notes.txt", "not a render file");
    MergerTest::writeBytes(dir / "b" / "broken.qvlr", std::string("\x82QVLRender=\n$\n\x09\x01\x05\0\0\0{\"a\":", 25));

    struct Case {
        const char* name;
        std::vector<int32_t> offset;
        int32_t first;
        int32_t last;
        size_t count;
        std::vector<std::vector<std::string>> groups; // files of each group, in table order
    };
    const std::vector<Case> cases = {
        {"defaults", {0, 0, 0}, -2, 1000000000, 3,
         {{"a/left_f1.qvlr", "a/right_f1.qvlr"}, {"b/deeper/left_f2.qvlr"}}},
        {"frame 2 only", {0, 0, 0}, 2, 2, 1, {{"b/deeper/left_f2.qvlr"}}},
        {"frame 0 only", {0, 0, 0}, 0, 0, 0, {}},
        {"other offset", {1, 0, 0}, -2, 1000000000, 1, {{"b/offset_f1.qvlr"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        params run;
        run.zovOffset = c.offset;
        run.frameFirst = c.first;
        run.frameLast = c.last;
        RenderGroupTable table;
        EXPECT_EQ(discoverRenderFiles(run, dir.path(), table), c.count);
        ASSERT_EQ(table.size(), c.groups.size());
        size_t g = 0;
        for (const auto& [key, files] : table)
            EXPECT_EQ(relativeNames(files, dir.path()), c.groups[g++]);
    }
    const std::string broken = "File " + (dir / "b" / "broken.qvlr").string() +
                               " looks like a qvlRender but doesnt have a valid data header\n";
    EXPECT_TRUE(log.contains(broken));
    EXPECT_TRUE(log.contains("Skipping the recovery file " + (dir / "a" / "left_f1.qvlr.recovered").string() +
                             "; rename it to merge it.\n"));
}

TEST(MergerDiscovery, GroupKeyOrdersFramesAndSetUps)
{
    GroupKeyLess less;
    Quorvel::BinIO::header_v09 a = renderHeader(1);
    Quorvel::BinIO::header_v09 b = renderHeader(2);
    EXPECT_TRUE(less(a, b));
    EXPECT_FALSE(less(b, a));
    // Fields outside the key do not split a group.
    b = a;
    b.eye = 2;
    b.ipd = 10.0f;
    b.fillHoleCount = 4;
    EXPECT_FALSE(less(a, b));
    EXPECT_FALSE(less(b, a));
    // Frame first, then the set-up.
    b = renderHeader(0);
    b.boxScaleX = 9.0f;
    EXPECT_TRUE(less(b, a));
    b = a;
    b.heightDisplay = 65535;
    EXPECT_TRUE(less(a, b)) << "display sizes compare unsigned";
    b = a;
    b.globalScale = std::numeric_limits<float>::quiet_NaN();
    EXPECT_TRUE(less(a, b));
    EXPECT_FALSE(less(b, b));

    RenderGroupTable table;
    for (int frame : {5, 1, 2, 3, 7})
        table[renderHeader(frame)].push_back("f");
    EXPECT_EQ(frameListText(table), "[1;3][5][7]");
    EXPECT_EQ(countGroupKinds(table), 1u);
    Quorvel::BinIO::header_v09 other = renderHeader(3);
    other.passMode = 2;
    table[other].push_back("g");
    EXPECT_EQ(countGroupKinds(table), 2u);
    RenderGroupTable single;
    single[renderHeader(7)].push_back("f");
    EXPECT_EQ(frameListText(single), "[7]");
    RenderGroupTable negative;
    for (int frame : {-1, 0, 1, 4})
        negative[renderHeader(frame)].push_back("f");
    EXPECT_EQ(frameListText(negative), "[-1;1][4]");
}

TEST(MergerMainFlow, InputChecksAndEmptyInput)
{
    TempDir dir;
    const std::string canonical = std::filesystem::canonical(dir.path()).string();
    const MergerTest::Run empty = MergerTest::runMerger({"qm", dir.path().string(), "--output", "o.qvl"});
    EXPECT_EQ(empty.status, 0);
    EXPECT_EQ(empty.messages.back(), "There's no Quorvel file to merge inside " + canonical + "\n");
    EXPECT_EQ(empty.entries.back().level, Quorvel::Logger::INFO);

    writeHeaderOnlyFile(dir / "one.qvlr", renderHeader(1));
    Quorvel::BinIO::header_v09 draft = renderHeader(1);
    draft.draft = 1;
    writeHeaderOnlyFile(dir / "two.qvlr", draft);
    const MergerTest::Run kinds = MergerTest::runMerger({"qm", dir.path().string(), "--output", "o.qvl"});
    EXPECT_EQ(kinds.status, 1);
    EXPECT_EQ(kinds.messages.back(), "There's multiple kind of zone of view in this folder 2 \n");
    EXPECT_EQ(kinds.entries.back().level, Quorvel::Logger::ERROR);
}

TEST(MergerMainFlow, ExistingOutputsAreSkippedAndNothingInTheInputChanges)
{
    TempDir dir;
    TempDir outDir;
    writeHeaderOnlyFile(dir / "a" / "f1.qvlr", renderHeader(1));
    writeHeaderOnlyFile(dir / "b" / "f2.qvlr", renderHeader(2));
    MergerTest::writeBytes(outDir / "shot_0001.qvl", "old");
    MergerTest::writeBytes(outDir / "shot_0002.qvl", "old");
    const auto before = snapshot(dir.path());

    // The output pattern typed with Windows separators.
    const std::string pattern = outDir.path().string() + "\\shot_#.qvl";
    const MergerTest::Run run = MergerTest::runMerger({"qm", dir.path().string(), "--output", pattern});
    EXPECT_EQ(run.status, 0);
    const std::string out1 = (outDir / "shot_0001.qvl").string();
    const std::string out2 = (outDir / "shot_0002.qvl").string();
    const std::vector<std::string> start = {
        "Quorvel Merger.\n",
        "\n",
        "Found 2 Quorvel files distributed on 2 different(s) type(s).\n",
        "Merging frame(s) : [1;2] \n",
    };
    ASSERT_GE(run.messages.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(run.messages.begin(), run.messages.begin() + 4), start);
    std::vector<std::string> rest;
    for (size_t i = 4; i < run.messages.size(); ++i)
        if (run.messages[i].rfind("do_merging merger line: ", 0) != 0)
            rest.push_back(run.messages[i]);
    EXPECT_EQ(rest, (std::vector<std::string>{
                        "[  0%] Overall progression. 0 / 2 of Zov processed.\n",
                        "Skip merge process for this existing file " + out1 + ".\n",
                        "[ 50%] Overall progression. 1 / 2 of Zov processed.\n",
                        "Skip merge process for this existing file " + out2 + ".\n",
                        "[ 100%] Overall progression. 2 / 2 of Zov processed.\n",
                        "Success ! Closing Quorvel Merger. \n",
                    }));
    EXPECT_EQ(snapshot(dir.path()), before);
}

TEST(MergerMainFlow, ColourSetUpFailureStopsBeforeTheInput)
{
    TempDir dir;
    const char* saved = std::getenv("OCIO");
    const std::string savedValue = saved ? saved : "";
    ::unsetenv("OCIO");
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    const MergerTest::Run run =
        MergerTest::runMerger({"qm", dir.path().string(), "--output", "o.qvl", "--applyColorSpaceTo", "sRGB"});
    std::filesystem::current_path(cwd);
    if (saved)
        ::setenv("OCIO", savedValue.c_str(), 1);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.messages.back(),
              "[OCIO] No OCIO config could be loaded. Give one with --OCIOconfig or set the OCIO environment "
              "variable.\n");
}
