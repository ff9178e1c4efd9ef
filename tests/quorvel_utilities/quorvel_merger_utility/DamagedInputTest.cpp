#include <gtest/gtest.h>

#include <json/json.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "Discovery.h"
#include "MergerTestSupport.h"
#include "RenderFileReaders.h"
#include "support/LogCapture.h"
#include "support/SystemFixtures.h"

// Render files that carry the signature but cannot be read as a whole, and
// input folders reached through links: nothing the user gave is dropped
// without a word.
namespace {

namespace fs = std::filesystem;
using MergerTest::TempDir;
using Quorvel::Logger::ERROR;
using Quorvel::Logger::WARNING;
using namespace Quorvel::Merger;

// Rewrites the JSON header of a render file; the blocks stay as they are.
void editHeader(const fs::path& path, const std::function<void(std::string& json)>& edit)
{
    std::string bytes = QuorvelTest::fileBytes(path);
    ASSERT_GE(bytes.size(), 20u);
    const uint32_t length = static_cast<uint8_t>(bytes[16]) | static_cast<uint8_t>(bytes[17]) << 8 |
                            static_cast<uint8_t>(bytes[18]) << 16 | static_cast<uint32_t>(static_cast<uint8_t>(bytes[19])) << 24;
    std::string json = bytes.substr(20, length);
    edit(json);
    const uint32_t newLength = static_cast<uint32_t>(json.size());
    std::string out = bytes.substr(0, 16);
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>((newLength >> (8 * i)) & 0xFF);
    out += json;
    out += bytes.substr(20 + length);
    QuorvelTest::writeFileBytes(path, out);
}

void editJson(const fs::path& path, const std::function<void(Json::Value&)>& edit)
{
    editHeader(path, [&](std::string& text) {
        Json::Value root;
        Json::Reader reader;
        ASSERT_TRUE(reader.parse(text, root));
        edit(root);
        Json::FastWriter writer;
        text = writer.write(root);
    });
}

struct Outcome {
    MergerTest::Run run;
    std::vector<std::string> groups; // output paths the group loop handed on
};

Outcome merge(const fs::path& input, const fs::path& output)
{
    Outcome o;
    o.run = MergerTest::runMerger({"qm", input.string(), "--output", output.string(), "-l", "0"},
                                  [&o](const RenderGroup&, AssembledGroup& g) {
                                      o.groups.push_back(g.output.string());
                                      return true;
                                  });
    return o;
}

bool errorNames(const MergerTest::Run& run, const std::string& path)
{
    for (const auto& e : run.entries)
        if (e.level == ERROR && e.text.find(path) != std::string::npos)
            return true;
    return false;
}

// One frame of two files: a good left-eye pass and a damaged second pass.
TEST(MergerDamagedInput, ARenderFileWithADamagedHeaderFailsItsGroup)
{
    const struct {
        const char* name;
        std::function<void(const fs::path&)> damage;
    } cases[] = {
        {"bad JSON text", [](const fs::path& p) { editHeader(p, [](std::string& t) { t[0] = 'x'; }); }},
        {"JSON cut short", [](const fs::path& p) { editHeader(p, [](std::string& t) { t.resize(t.size() / 2); }); }},
        {"missing AOVTypes", [](const fs::path& p) { editJson(p, [](Json::Value& j) { j.removeMember("AOVTypes"); }); }},
        {"missing AOVTypes and aovNums", [](const fs::path& p) {
             editJson(p, [](Json::Value& j) {
                 j.removeMember("AOVTypes");
                 j.removeMember("aovNums");
             });
         }},
        {"missing sampleNums", [](const fs::path& p) { editJson(p, [](Json::Value& j) { j.removeMember("sampleNums"); }); }},
        {"sampleNums not a count", [](const fs::path& p) { editJson(p, [](Json::Value& j) { j["sampleNums"] = -1; }); }},
        {"version 10", [](const fs::path& p) {
             std::string bytes = QuorvelTest::fileBytes(p);
             bytes[14] = 10;
             QuorvelTest::writeFileBytes(p, bytes);
         }},
        {"missing frame", [](const fs::path& p) { editJson(p, [](Json::Value& j) { j.removeMember("frame"); }); }},
        {"null fileCode", [](const fs::path& p) { editJson(p, [](Json::Value& j) { j["fileCode"] = Json::Value(); }); }},
        {"text fileCode", [](const fs::path& p) { editJson(p, [](Json::Value& j) { j["fileCode"] = "1"; }); }},
        {"altered fileCode",
         [](const fs::path& p) { editJson(p, [](Json::Value& j) { j["fileCode"] = j["fileCode"].asInt() + 1; }); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        TempDir out;
        QuorvelTest::SyntheticRender good;
        ASSERT_TRUE(QuorvelTest::writeSyntheticRenderFile(dir / "left.qvlr", good));
        QuorvelTest::SyntheticRender second;
        second.fillHoleCount = 5;
        second.seed = 2;
        const fs::path damaged = dir / "second.qvlr";
        ASSERT_TRUE(QuorvelTest::writeSyntheticRenderFile(damaged, second));
        c.damage(damaged);

        const Outcome o = merge(dir.path(), out / "shot.qvl");
        EXPECT_EQ(o.run.status, 1);
        EXPECT_TRUE(o.groups.empty());
        EXPECT_TRUE(errorNames(o.run, fs::canonical(damaged).string()));
        EXPECT_EQ(o.run.messages.back(), "Somthing went wrong drong the process...Closing Quorvel Merger. \n");
    }
}

// The engine decoded from the file code must be one the system writes.
TEST(MergerDamagedInput, AFileCodeOfNoKnownEngineIsAReadError)
{
    TempDir dir;
    const fs::path path = dir / "render.qvlr";
    ASSERT_TRUE(QuorvelTest::writeSyntheticRenderFile(path, {}));
    editJson(path, [](Json::Value& j) { j["fileCode"] = j["fileCode"].asInt() + 1; });

    QuorvelTest::LogCapture log;
    ReadSlot slot;
    readRenderFile(params{}, path, slot);
    EXPECT_EQ(slot.error, kErrorUnknownEngine);
    EXPECT_FALSE(slot.read);
    EXPECT_TRUE(slot.opaque.empty());
    ASSERT_FALSE(log.entries().empty());
    EXPECT_EQ(log.entries().back().level, ERROR);
    EXPECT_NE(log.messages().back().find(path.string()), std::string::npos) << log.messages().back();
}

// A folder of links to the folders of a shot, with a link back to itself.
TEST(MergerDamagedInput, LinkedFoldersAreSearchedOnceAndALoopIsAWarning)
{
    TempDir dir;
    QuorvelTest::SyntheticRender left;
    QuorvelTest::SyntheticRender right;
    right.eye = 2;
    right.seed = 3;
    ASSERT_TRUE(QuorvelTest::writeSyntheticRenderFile(dir / "passes" / "left" / "l.qvlr", left));
    ASSERT_TRUE(QuorvelTest::writeSyntheticRenderFile(dir / "passes" / "right" / "r.qvlr", right));
    fs::create_directories(dir / "links");
    fs::create_directory_symlink(dir / "passes" / "left", dir / "links" / "left");
    fs::create_directory_symlink("../passes/right", dir / "links" / "right");
    // The same folder twice, and a loop.
    fs::create_directory_symlink(dir / "passes" / "left", dir / "links" / "again");
    fs::create_directory_symlink(".", dir / "links" / "loop");
    fs::create_directory_symlink(dir / "nowhere", dir / "links" / "dangling");

    QuorvelTest::LogCapture log;
    RenderGroupTable table;
    EXPECT_EQ(discoverRenderFiles(params{}, fs::canonical(dir / "links"), table), 2u);
    ASSERT_EQ(table.size(), 1u);
    EXPECT_EQ(table.begin()->second.size(), 2u);
    const std::string leftFolder = fs::canonical(dir / "passes" / "left").string();
    const std::string linksFolder = fs::canonical(dir / "links").string();
    int warnings = 0;
    for (const auto& e : log.entries())
        if (e.level == WARNING) {
            ++warnings;
            EXPECT_TRUE(e.text.find(leftFolder + ",") != std::string::npos ||
                        e.text.find(linksFolder + ",") != std::string::npos)
                << e.text;
        }
    // "again" and "loop" lead to folders already searched.
    EXPECT_EQ(warnings, 2);

    // The whole merger through the links.
    TempDir out;
    const Outcome o = merge(dir / "links", out / "shot.qvl");
    EXPECT_EQ(o.run.status, 0);
    EXPECT_EQ(o.groups.size(), 1u);
}

} // namespace
