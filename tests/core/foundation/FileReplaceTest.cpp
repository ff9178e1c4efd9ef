#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "foundation/FileReplace.h"
#include "support/FileSizeLimit.h"
#include "support/TempDir.h"

namespace {

// Hidden temporary files, or ones of the old suffix, left in the folder.
int leftovers(const std::filesystem::path& folder)
{
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator(folder))
        n += e.path().filename().string()[0] == '.' || e.path().extension() == ".partial";
    return n;
}

std::string contents(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(ReplaceFileContents, ReplacesWholeOrLeavesTheEarlierFileAlone)
{
    QuorvelTest::TempDir dir;
    const std::string target = dir.write("picture.png", "earlier picture");
    const std::string bigger(4096, 'x');

    ASSERT_TRUE(Quorvel::Utils::ReplaceFileContents(target, "new", 3));
    EXPECT_EQ(contents(target), "new");
    {
        // A full disk halfway through the new contents.
        QuorvelTest::FileSizeLimit limit(1000);
        EXPECT_FALSE(Quorvel::Utils::ReplaceFileContents(target, bigger.data(), bigger.size()));
    }
    EXPECT_EQ(contents(target), "new");
    EXPECT_FALSE(std::filesystem::exists(target + ".partial"));
    EXPECT_EQ(leftovers(dir.path()), 0);

    const std::string missing = (dir / "no such folder" / "picture.png").string();
    EXPECT_FALSE(Quorvel::Utils::ReplaceFileContents(missing, "x", 1));
    EXPECT_FALSE(std::filesystem::exists(dir / "no such folder"));

    // The name taken by a folder: the folder stays, nothing is left beside it.
    std::filesystem::create_directory(dir / "taken");
    EXPECT_FALSE(Quorvel::Utils::ReplaceFileContents((dir / "taken").string(), "x", 1));
    EXPECT_TRUE(std::filesystem::is_directory(dir / "taken"));
    EXPECT_FALSE(std::filesystem::exists(dir / "taken.partial"));
    EXPECT_EQ(leftovers(dir.path()), 0);
}

// Two writers of one path: each writes a file of its own, and the one that
// renames last leaves its whole contents.
TEST(ReplaceFileContents, TwoWritersOfOnePathNeverShareAFile)
{
    QuorvelTest::TempDir dir;
    const std::string target = dir.file("shared.bin");
    Quorvel::Utils::ReplacingFile first(target);
    Quorvel::Utils::ReplacingFile second(target);
    ASSERT_TRUE(first.isOpen());
    ASSERT_TRUE(second.isOpen());
    EXPECT_NE(first.temporaryPath(), second.temporaryPath());
    ASSERT_TRUE(first.write("first half ", 11));
    ASSERT_TRUE(second.write("second, whole", 13));
    ASSERT_TRUE(second.commit());
    EXPECT_EQ(contents(target), "second, whole");
    ASSERT_TRUE(first.write("and the rest", 12));
    ASSERT_TRUE(first.commit());
    EXPECT_EQ(contents(target), "first half and the rest");
    EXPECT_EQ(leftovers(dir.path()), 0);
}

} // namespace
