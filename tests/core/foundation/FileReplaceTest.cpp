#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "foundation/FileReplace.h"
#include "support/FileSizeLimit.h"
#include "support/TempDir.h"

namespace {

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

    const std::string missing = (dir / "no such folder" / "picture.png").string();
    EXPECT_FALSE(Quorvel::Utils::ReplaceFileContents(missing, "x", 1));
    EXPECT_FALSE(std::filesystem::exists(dir / "no such folder"));

    // The name taken by a folder: the folder stays, nothing is left beside it.
    std::filesystem::create_directory(dir / "taken");
    EXPECT_FALSE(Quorvel::Utils::ReplaceFileContents((dir / "taken").string(), "x", 1));
    EXPECT_TRUE(std::filesystem::is_directory(dir / "taken"));
    EXPECT_FALSE(std::filesystem::exists(dir / "taken.partial"));
}

} // namespace
