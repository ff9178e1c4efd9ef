#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <sys/resource.h>
#include <fstream>
#include <sstream>

#include "FinalViewReader.h"
#include "ViewCommand.h"
#include "ViewTestSupport.h"
#include "support/FinalViewBytes.h"
#include "support/LogCapture.h"

using namespace Quorvel::FinalView;
using namespace QuorvelViewTest;
using QuorvelTest::Bytes;

namespace {

void put32(std::vector<uint8_t>& b, std::size_t at, uint32_t v)
{
    ASSERT_LE(at + 4, b.size());
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

fs::path writeBytes(const fs::path& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
    return path;
}

std::vector<Quorvel::Binary::vekbin> someSamples()
{
    std::vector<Quorvel::Binary::vekbin> s;
    for (uint16_t i = 0; i < 30; ++i)
        s.push_back(sample(static_cast<uint16_t>(i * 3), static_cast<uint16_t>(i * 2), 150.0 + i,
                           {0.1f * (i % 10), 0.5f, 0.3f, i % 5 == 4 ? 0.5f : 1.0f}, {0.2f, 0.2f, 0.9f}));
    return s;
}

} // namespace

TEST(FinalViewReader, ReadsBackWhatTheWriterWrote)
{
    QuorvelTest::LogCapture log;
    TempDir dir;
    const fs::path path = dir.path() / "final.qvl";
    writeFile(path, someSamples());

    std::string error;
    const auto file = readFinalView(path, error);
    ASSERT_TRUE(file) << error;
    // Against the bytes decoded straight from the layout.
    const Bytes f = QuorvelTest::readFile(path);
    EXPECT_EQ(file->sampleCount, 30u);
    EXPECT_EQ(file->opaqueCount, f.u32(48));
    EXPECT_EQ(file->transparentCount, 6u);
    EXPECT_EQ(file->displayWidth, kW);
    EXPECT_EQ(file->displayHeight, kH);
    EXPECT_EQ(file->flags, 9u);
    EXPECT_TRUE(file->cube());
    EXPECT_EQ(file->boxMin.y, -25.0f);
    EXPECT_EQ(file->boxMax.x, 50.0f);
    EXPECT_EQ(file->engineId, 1);
    EXPECT_EQ(file->codes, QuorvelTest::decompress(f.slice(200, f.u32(152))));
    EXPECT_TRUE(file->motion.empty());
    ASSERT_TRUE(file->hasCameraTable);
    EXPECT_FLOAT_EQ(file->cameraTable[1].x, 0.1f);
    EXPECT_EQ(file->cameraTable[2].x, 0.0f);
    EXPECT_EQ(file->preview, f.slice(f.u32(172), f.u32(168)));
    EXPECT_TRUE(file->background.empty());
}

TEST(FinalViewReader, MalformedFilesGiveAnErrorNamingTheFile)
{
    QuorvelTest::LogCapture log;
    TempDir dir;
    const fs::path good = dir.path() / "good.qvl";
    writeFile(good, someSamples());
    const std::vector<uint8_t> bytes = QuorvelTest::readFile(good).data;
    const Bytes b{bytes};
    const uint32_t sampleSize = b.u32(152), trailer = b.u32(180), named = b.u32(196);

    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        const char* message;
    };
    auto changed = [&](std::size_t at, uint8_t v) {
        auto c = bytes;
        c[at] = v;
        return c;
    };
    auto with32 = [&](std::size_t at, uint32_t v) {
        auto c = bytes;
        put32(c, at, v);
        return c;
    };
    const std::vector<Case> cases = {
        {"empty", {}, "truncated: 0 bytes, shorter than the 200-byte header"},
        {"half header", std::vector<uint8_t>(bytes.begin(), bytes.begin() + 150), "truncated: 150 bytes"},
        {"trailer cut", std::vector<uint8_t>(bytes.begin(), bytes.end() - 1), "truncated: the integrity trailer"},
        {"sample block cut", std::vector<uint8_t>(bytes.begin(), bytes.begin() + 200 + sampleSize / 2),
         "sample block outside the file"},
        {"magic", changed(1, 'X'), "not a final view file (wrong magic)"},
        {"version", changed(8, 5), "unsupported format version 5"},
        {"header size", with32(148, 100), "header size 100, expected 200"},
        {"sample byte", changed(200 + sampleSize / 2, bytes[200 + sampleSize / 2] ^ 0x40),
         "integrity check failed"},
        {"covered count", with32(12, 31), "do not add up to 31 samples"},
        {"covered opaque count", with32(48, b.u32(48) + 1), "do not add up"},
        {"trailer version", with32(trailer + 512, 2), "unknown integrity trailer version 2"},
        {"trailer ranges", changed(trailer + 518, 200), "lists 200 ranges"},
        {"preview size", with32(168, 0x7FFFFFFF), "preview outside the file"},
        {"named offset", with32(196, 0xFFFFFFF0), "named blocks outside the file"},
        {"named count", with32(named + 4, 0x10000000), "entries do not fit"},
        {"named magic", changed(named, 0), "named blocks: bad magic"},
        {"named data", with32(named + 12, 0x7FFFFFF0), "entry 0 outside the table"},
    };
    for (const Case& c : cases) {
        const fs::path path = writeBytes(dir.path() / (std::string(c.name) + ".qvl"), c.bytes);
        std::string error;
        EXPECT_FALSE(readFinalView(path, error)) << c.name;
        EXPECT_EQ(error.rfind(path.string() + ": ", 0), 0u) << c.name << ": " << error;
        EXPECT_NE(error.find(c.message), std::string::npos) << c.name << ": " << error;
    }
    std::string error;
    EXPECT_FALSE(readFinalView(dir.path() / "missing.qvl", error));
    EXPECT_EQ(error, (dir.path() / "missing.qvl").string() + ": cannot open the file");
}

// A full disk (a file-size limit of half the picture) fails the picture's
// write: the command says so and the picture written before stays whole.
TEST(FinalViewCommand, AFullDiskFailsTheWriteAndKeepsTheEarlierPicture)
{
    QuorvelTest::LogCapture log;
    TempDir dir;
    const fs::path file = dir.path() / "final.qvl";
    writeFile(file, someSamples());
    const fs::path picture = dir.path() / "v.png";
    const std::vector<std::string> args = {file.string(), "--size", "256x256", "-o", picture.string()};
    std::ostringstream out, err;
    ASSERT_EQ(runViewCommand(args, out, err), 0) << err.str();
    const std::uintmax_t whole = fs::file_size(picture);
    std::ofstream(picture, std::ios::binary) << "earlier";

    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = whole / 2;
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    std::ostringstream fullOut, fullErr;
    const int status = runViewCommand(args, fullOut, fullErr);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);

    EXPECT_EQ(status, 1);
    EXPECT_EQ(fullErr.str(), "quorvel_view: " + picture.string() + ": cannot write the picture\n");
    std::ifstream in(picture, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "earlier");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2); // no leftovers
}

// The fuzz target's seeds are files the writer made, so they read cleanly;
// kept findings, when there are any, are read once more under the sanitizers.
TEST(FinalViewReader, FuzzSeedsReadAndKeptFindingsReplay)
{
    const fs::path fuzz = fs::path(__FILE__).parent_path() / ".." / ".." / "fuzz";
    std::size_t seeds = 0;
    for (const char* kind : {"corpus", "regressions"}) {
        const fs::path dir = fuzz / kind / "final_view";
        if (!fs::is_directory(dir))
            continue;
        for (const auto& file : fs::directory_iterator(dir)) {
            SCOPED_TRACE(file.path().string());
            std::string error;
            const auto data = readFinalView(file.path(), error);
            if (std::string(kind) == "corpus") {
                ++seeds;
                EXPECT_TRUE(data.has_value()) << error;
            }
        }
    }
    EXPECT_GE(seeds, 8u) << fuzz;
}

TEST(FinalViewCommand, UsageAndErrors)
{
    QuorvelTest::LogCapture log;
    TempDir dir;
    const fs::path file = dir.path() / "final.qvl";
    writeFile(file, someSamples());
    const std::string missing = (dir.path() / "missing.qvl").string();
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* out;
        const char* err;
    };
    const std::vector<Case> cases = {
        {{"--help"}, 0, "usage: quorvel_view FINAL_VIEW_FILE [options]", ""},
        {{}, 2, "", "quorvel_view: no final view file given\nusage: quorvel_view"},
        {{"--bogus"}, 2, "", "quorvel_view: unknown option --bogus"},
        {{file.string(), "--eye", "middle"}, 2, "", "--eye needs left or right"},
        {{file.string(), "--size", "0x5"}, 2, "", "--size needs WxH"},
        {{file.string(), "--fov", "180"}, 2, "", "--fov needs degrees between 0 and 180"},
        {{file.string(), "--position", "1,2"}, 2, "", "--position needs X,Y,Z"},
        {{file.string(), "--position", "0,1.5,0"}, 2, "", "--position needs each axis from -1 to 1"},
        {{file.string(), "--ipd", "-5"}, 2, "", "--ipd needs millimetres from 0 to 1000"},
        {{file.string(), "--size", "8x8", "-o", (dir.path() / "no" / "v.png").string()}, 1, "",
         "no/v.png: cannot write the picture"},
        {{file.string(), "--side-by-side", "x.png"}, 2, "", "--side-by-side and --stages need --compare"},
        {{missing}, 1, "", ": cannot open the file"},
        {{file.string(), "--info"}, 0, "samples 30 (opaque 24, transparent 6)\ndisplay 96x64, cube map, flags 9\n", ""},
        {{file.string(), "--host-camera", "--eye", "right"}, 0, "[1, 0, 0, 0, 1, 0, 0, 0, 1, 3.17", ""},
        {{file.string(), "--size", "8x8", "-o", (dir.path() / "v.png").string(), "--compare", missing}, 1, "",
         "cannot read the PNG picture"},
    };
    for (const Case& c : cases) {
        std::ostringstream out, err;
        EXPECT_EQ(runViewCommand(c.args, out, err), c.status) << err.str();
        EXPECT_NE(out.str().find(c.out), std::string::npos) << out.str();
        EXPECT_NE(err.str().find(c.err), std::string::npos) << err.str();
    }
}
