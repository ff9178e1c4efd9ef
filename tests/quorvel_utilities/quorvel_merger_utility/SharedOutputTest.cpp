#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "FinalStage.h"
#include "FinalViewWriter.h"
#include "MergerTestSupport.h"
#include "foundation/FileReplace.h"
#include "support/FileSizeLimit.h"
#include "support/FinalViewBytes.h"
#include "support/LogCapture.h"

// Final view files whose writing meets another writer of the same output (a
// rerun on a farm, a second merger) or a full disk.
namespace {

namespace fs = std::filesystem;
using Quorvel::Binary::vekbin;
using namespace Quorvel::FinalView;

const std::vector<VekPoint> kCameras = {{0.0f, 17364.8f, 98480.8f}};

std::vector<vekbin> wall(float shade, int count)
{
    std::vector<vekbin> samples;
    for (int i = 0; i < count; ++i) {
        vekbin s;
        s.camera = 0;
        s.x = static_cast<uint16_t>(40 + i % 8);
        s.y = static_cast<uint16_t>(10 + i / 8);
        s.width = 96;
        s.height = 64;
        s.normal = {0, 0, 1};
        s.depth = 500.0 + i;
        s.colour = {shade, 0.5f, 1.0f - shade, 1.0f};
        s.rightColour = {shade, 0.5f, 1.0f - shade};
        s.updateDerived(kCameras, 1);
        samples.push_back(s);
    }
    return samples;
}

FinalHeader header()
{
    FinalHeader h;
    h.displayWidth = 96;
    h.displayHeight = 64;
    return h;
}

std::vector<NamedBlock> blocks()
{
    return {{"camPosTable", makeCamPosTable(kCameras, 1.0f, {0, 0, 0}, {1, 1, 1})}};
}

std::vector<std::string> namesIn(const fs::path& folder)
{
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string bytesOf(const fs::path& path)
{
    const QuorvelTest::Bytes b = QuorvelTest::readFile(path);
    return {b.data.begin(), b.data.end()};
}

// The first writer stalls halfway through its file (a slow disk); a second
// one writes the whole file meanwhile; then the first finishes. Whatever the
// order, the output is one writer's complete file, and a writer that reports
// success renamed its own.
TEST(FinalViewSharedOutput, AStalledWriterAndASecondOneLeaveOneCompleteFile)
{
    QuorvelTest::LogCapture quiet;
    MergerTest::TempDir dir;
    std::vector<vekbin> first = wall(0.2f, 48);
    ASSERT_EQ(writeFinalView(dir / "first.qvl", header(), first, {}, blocks()), 0);
    const std::string firstBytes = bytesOf(dir / "first.qvl");
    fs::remove(dir / "first.qvl");

    const fs::path output = dir / "shot.qvl";
    Quorvel::Utils::ReplacingFile stalled(output.string());
    ASSERT_TRUE(stalled.isOpen());
    const std::size_t half = firstBytes.size() / 2;
    ASSERT_TRUE(stalled.write(firstBytes.data(), half));

    std::vector<vekbin> second = wall(0.8f, 40);
    ASSERT_EQ(writeFinalView(output, header(), second, {}, blocks()), 0);
    const std::string secondBytes = bytesOf(output);
    EXPECT_EQ(QuorvelTest::decodedEngine(QuorvelTest::readFile(output)), 1);
    ASSERT_NE(secondBytes, firstBytes);

    const bool firstWritten = stalled.write(firstBytes.data() + half, firstBytes.size() - half) && stalled.commit();
    EXPECT_TRUE(firstWritten) << stalled.failure();
    const std::string final = bytesOf(output);
    EXPECT_TRUE(final == (firstWritten ? firstBytes : secondBytes));
    EXPECT_EQ(QuorvelTest::decodedEngine(QuorvelTest::readFile(output)), 1);
    EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"shot.qvl"});
}

// Hidden (discovery and listings skip it), beside the output, and its own
// per process and call.
TEST(FinalViewSharedOutput, TemporaryNamesAreHiddenAndUniquePerProcessAndCall)
{
    const std::string path = "/some/folder/shot_0001.qvl";
    const fs::path a = Quorvel::Utils::UniqueTemporaryPath(path);
    const fs::path b = Quorvel::Utils::UniqueTemporaryPath(path);
    EXPECT_NE(a, b);
    for (const fs::path& t : {a, b}) {
        EXPECT_EQ(t.parent_path(), fs::path("/some/folder"));
        const std::string name = t.filename().string();
        EXPECT_EQ(name.rfind(".shot_0001.qvl.", 0), 0u) << name;
        EXPECT_NE(name.find(std::to_string(::getpid())), std::string::npos) << name;
    }
}

// A full disk: the path and the system's reason, then the catalogue's line
// as before; nothing left beside the output.
TEST(FinalViewSharedOutput, AFailedWriteSaysWhyAndWhere)
{
    MergerTest::TempDir dir;
    const fs::path output = dir / "out_0003.qvl";
    Quorvel::Merger::AssembledGroup group;
    group.output = output;
    group.engine = Quorvel::Util::RE_VRay;
    group.cameras = kCameras;
    group.opaque = wall(0.4f, 64);
    Quorvel::BinIO::header_v09 h = MergerTest::renderHeader(3);
    h.widthDisplay = 96;
    h.heightDisplay = 64;
    h.cameraPositions = kCameras;

    QuorvelTest::LogCapture log;
    {
        QuorvelTest::FileSizeLimit full(300);
        EXPECT_FALSE(Quorvel::Merger::writeFinalGroup(Quorvel::Merger::params{}, h, group));
    }
    const auto entries = log.entries();
    const std::vector<std::string> messages = log.messages();
    const auto at = std::find(messages.begin(), messages.end(),
                              "An error(-8) occured during the writing process of " + output.string() + "\n");
    ASSERT_NE(at, messages.end());
    EXPECT_EQ(at + 1, messages.end());
    ASSERT_NE(at, messages.begin());
    const std::size_t next = static_cast<std::size_t>(at - 1 - messages.begin());
    EXPECT_EQ(entries[next].level, Quorvel::Logger::ERROR);
    EXPECT_EQ(messages[next].rfind("Writing " + output.string() + " failed: cannot write ", 0), 0u) << messages[next];
    EXPECT_NE(messages[next].find(std::string(": ") + std::strerror(EFBIG) + ".\n"), std::string::npos)
        << messages[next];
    EXPECT_TRUE(namesIn(dir.path()).empty());
}

} // namespace
