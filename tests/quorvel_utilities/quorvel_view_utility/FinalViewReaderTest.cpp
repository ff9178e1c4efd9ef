#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <sys/resource.h>
#include <fstream>
#include <functional>
#include <lodepng.h>
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

// Files whose every size and offset lies inside the file but off the layout:
// wrong total length, sections not where the one before ends, a damaged
// camera table, display sizes no code can address, undefined flag and
// reserved bits, a trailer that covers less than the header ranges, pictures
// that are not what the sections hold. Changes to covered bytes get their
// check value recomputed, so that only the layout can refuse them.
TEST(FinalViewReader, FilesOffTheLayoutAreRefused)
{
    QuorvelTest::LogCapture log;
    TempDir dir;
    const fs::path good = dir.path() / "good.qvl";
    {
        std::vector<uint8_t> mask(static_cast<std::size_t>(kW) * kH, 1);
        std::fill(mask.begin(), mask.begin() + kW * 8, 0);
        const auto background = makeBackground(mask, kW, kH, static_cast<int32_t>(0xFF336699u));
        ASSERT_TRUE(background);
        const FinalHeader h = header();
        std::vector<Quorvel::Binary::vekbin> samples = someSamples();
        ASSERT_EQ(writeFinalView(good, h, samples, *background,
                                 {{"camPosTable", makeCamPosTable(cameras(), 1.0f, h.camOffset, h.boxScale)}}),
                  0);
    }
    const std::vector<uint8_t> bytes = QuorvelTest::readFile(good).data;
    const Bytes b{bytes};
    const uint32_t sampleSize = b.u32(152), previewSize = b.u32(168), preview = b.u32(172);
    const uint32_t trailer = b.u32(180), backgroundSize = b.u32(184), background = b.u32(188);
    const uint32_t namedSize = b.u32(192), named = b.u32(196);
    ASSERT_TRUE(previewSize != 0 && backgroundSize != 0 && b.u32(160) == 0);
    const uint32_t camPosSizeAt = named + 8 + b.u32(named + 12);
    ASSERT_EQ(b.u32(camPosSizeAt), 3072u);
    std::string error;
    ASSERT_TRUE(parseFinalView(bytes.data(), bytes.size(), "good", error)) << error;

    using Edit = std::function<void(std::vector<uint8_t>&)>;
    auto edited = [&](const Edit& edit, bool covered) {
        Bytes c{bytes};
        edit(c.data);
        if (covered) {
            EXPECT_TRUE(QuorvelTest::resealCheckValue(c));
        }
        return c.data;
    };
    auto set32 = [](std::size_t at, uint32_t v) { return [=](std::vector<uint8_t>& c) { put32(c, at, v); }; };
    auto set16 = [](std::size_t at, uint16_t v) {
        return [=](std::vector<uint8_t>& c) {
            c.at(at) = static_cast<uint8_t>(v);
            c.at(at + 1) = static_cast<uint8_t>(v >> 8);
        };
    };
    auto setByte = [](std::size_t at, uint8_t v) { return [=](std::vector<uint8_t>& c) { c.at(at) = v; }; };
    auto display = [&](uint16_t width, uint16_t height, uint32_t flags) {
        return [=](std::vector<uint8_t>& c) {
            set16(16, width)(c);
            set16(18, height)(c);
            put32(c, 56, flags);
        };
    };
    // A copy of the bytes [from, from + size) appended, and the offset field
    // at `field` pointing at it.
    auto movedToTheEnd = [](std::size_t field, uint32_t from, uint32_t size) {
        return [=](std::vector<uint8_t>& c) {
            const uint32_t end = static_cast<uint32_t>(c.size());
            c.insert(c.end(), c.begin() + from, c.begin() + from + size);
            put32(c, field, end);
        };
    };
    // The picture at [at, at + size) replaced by `png`; the sections after it
    // move along.
    auto pictureReplaced = [](uint32_t sizeField, std::vector<uint8_t> png) {
        return [=](std::vector<uint8_t>& c) {
            const Bytes f{c};
            const uint32_t at = f.u32(sizeField + 4), size = f.u32(sizeField);
            const int64_t delta = static_cast<int64_t>(png.size()) - size;
            c.erase(c.begin() + at, c.begin() + at + size);
            c.insert(c.begin() + at, png.begin(), png.end());
            put32(c, sizeField, static_cast<uint32_t>(png.size()));
            for (std::size_t field : {172u, 180u, 188u})
                if (f.u32(field) > at)
                    put32(c, field, static_cast<uint32_t>(f.u32(field) + delta));
        };
    };
    // A 4 x 2 PNG, and one whose header claims 60000 x 60000 pixels.
    std::vector<uint8_t> smallPng;
    {
        std::vector<unsigned char> rgba(4 * 2 * 4, 90), encoded;
        ASSERT_EQ(lodepng::encode(encoded, rgba, 4, 2), 0u);
        smallPng.assign(encoded.begin(), encoded.end());
    }
    std::vector<uint8_t> hugePng = smallPng;
    for (std::size_t at : {16u, 20u}) {
        hugePng[at] = 0, hugePng[at + 1] = 0, hugePng[at + 2] = 0xEA, hugePng[at + 3] = 0x60;
    }
    const unsigned crc = lodepng_crc32(hugePng.data() + 12, 17);
    for (int i = 0; i < 4; ++i)
        hugePng[29 + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));

    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        std::string message;
    };
    const std::string total = "wrong total length: ";
    const std::vector<Case> cases = {
        // Total length.
        {"one byte appended", edited([](auto& c) { c.push_back(0); }, false),
         total + std::to_string(bytes.size() + 1) + " bytes, the sections end at " + std::to_string(bytes.size())},
        {"a kilobyte appended", edited([](auto& c) { c.resize(c.size() + 1024, 0x55); }, false), total},
        {"background one byte shorter than its section", edited(set32(184, backgroundSize - 1), false), total},
        // Section offsets.
        {"motion offset without motion", edited(set32(164, 200 + sampleSize), true),
         "motion block of size 0 has offset " + std::to_string(200 + sampleSize) + ", expected 0"},
        {"preview offset without preview", edited(set32(168, 0), false), "preview of size 0 has offset"},
        {"preview inside the named blocks", edited(set32(172, named), false),
         "preview at offset " + std::to_string(named) + ", expected " + std::to_string(named + namedSize) +
             " (directly after the named blocks)"},
        {"background offset without background", edited(set32(184, 0), false), "background of size 0 has offset"},
        {"background pointing at the preview",
         edited([&](auto& c) { set32(184, previewSize)(c), set32(188, preview)(c); }, false),
         "background at offset " + std::to_string(preview) + ", expected " + std::to_string(trailer + 552)},
        {"trailer copied past the background", edited(movedToTheEnd(180, trailer, 552), true),
         "integrity trailer at offset " + std::to_string(bytes.size()) + ", expected " + std::to_string(trailer)},
        {"named blocks copied past the background", edited(movedToTheEnd(196, named, namedSize), false),
         "named blocks at offset " + std::to_string(bytes.size()) + ", expected " + std::to_string(200 + sampleSize)},
        {"named blocks four bytes longer", edited(set32(192, namedSize + 4), false),
         "preview at offset " + std::to_string(preview) + ", expected " + std::to_string(preview + 4)},
        // The camera table's record size.
        {"camPosTable of 3071 bytes", edited(set32(camPosSizeAt, 3071), false),
         "named blocks: \"camPosTable\" of 3071 bytes, expected 256 records of 12 bytes (3072)"},
        {"camPosTable of 3076 bytes", edited(set32(camPosSizeAt, 3076), false), "\"camPosTable\" of 3076 bytes"},
        {"camPosTable of one record", edited(set32(camPosSizeAt, 12), false), "\"camPosTable\" of 12 bytes"},
        {"camPosTable of no record", edited(set32(camPosSizeAt, 0), false), "\"camPosTable\" of 0 bytes"},
        {"named blocks not closed by zeros", edited(setByte(named + namedSize - 1, 1), false),
         "named blocks: the closing 8 bytes are not zero"},
        // Display sizes.
        {"display height 1", edited(display(96, 1, 9), true),
         "cube-map display of 96x1 pixels is not three square faces by two"},
        {"display height 209", edited(display(96, 209, 9), true), "cube-map display of 96x209 pixels is not"},
        {"display height 32768", edited(display(96, 32768, 9), true), "cube-map display of 96x32768 pixels is not"},
        {"display height 65535", edited(display(96, 65535, 9), true), "cube-map display of 96x65535 pixels is not"},
        {"display width 97", edited(display(97, 64, 9), true), "cube-map display of 97x64 pixels is not"},
        {"display 49152 x 32768", edited(display(49152, 32768, 9), true),
         "cube-map display of 49152x32768 pixels, more than the codes address (8192x4096)"},
        {"display 6150 x 4100", edited(display(6150, 4100, 9), true), "6150x4100 pixels, more than the codes"},
        // Flag and reserved bits.
        {"flag bit 4", edited(set32(56, 9 | 16), true),
         "flags 25: bit 0 must be set and only bits 0 to 3 are defined"},
        {"flag bit 31", edited(set32(56, 9 | 0x80000000u), true), "flags 2147483657: bit 0 must be set"},
        {"flag bit 0 clear", edited(set32(56, 8), true), "flags 8: bit 0 must be set"},
        {"every flag bit but motion", edited(set32(56, 0xFFFFFFFDu), true), "flags 4294967293: "},
        {"reserved byte 10", edited(setByte(10, 1), true), "reserved header bytes (10, 11, 47) are not zero"},
        {"reserved byte 47", edited(setByte(47, 0x80), false), "reserved header bytes (10, 11, 47) are not zero"},
        {"motion quantisation without motion", edited(set32(60, 0x3F800000u), true),
         "motion quantisation values without a motion block"},
        // The integrity trailer.
        {"trailer's zero part begins with a 1", edited(setByte(trailer, 1), false),
         "the integrity trailer's first 512 bytes are not zero"},
        {"trailer's zero part ends with 0xFF", edited(setByte(trailer + 511, 0xFF), false), "first 512 bytes"},
        {"trailer covers three ranges", edited(set16(trailer + 518, 3), true),
         "integrity trailer does not cover the header ranges (0, 44), (48, 36), (148, 20), (176, 8)"},
        {"trailer covers no range", edited(set16(trailer + 518, 0), true), "does not cover the header ranges"},
        {"trailer's first range shorter", edited(set32(trailer + 524, 40), true), "does not cover the header ranges"},
        {"trailer's last range shorter", edited(set32(trailer + 548, 4), true), "does not cover the header ranges"},
        // Pictures.
        {"preview not a PNG", edited(setByte(preview, 0), false), "preview: not a PNG picture of 256x256 pixels"},
        {"preview of 4 x 2 pixels", edited(pictureReplaced(168, smallPng), true), "preview: not a PNG picture of 256x256"},
        {"background not a PNG", edited(setByte(background + 1, 'X'), false), "background: not a PNG picture"},
        {"background claiming 60000 x 60000 pixels", edited(pictureReplaced(184, hugePng), false),
         "background: a PNG picture of 60000x60000 pixels, larger than any background"},
    };
    // The merger writes latitude-longitude displays of any size.
    {
        const fs::path path = writeBytes(dir.path() / "latlong-8192x8192.qvl", edited(display(8192, 8192, 1), true));
        EXPECT_TRUE(readFinalView(path, error)) << error;
        error.clear();
    }
    for (const Case& c : cases) {
        const fs::path path = writeBytes(dir.path() / (std::string(c.name) + ".qvl"), c.bytes);
        EXPECT_FALSE(readFinalView(path, error)) << c.name;
        EXPECT_EQ(error.rfind(path.string() + ": ", 0), 0u) << c.name << ": " << error;
        EXPECT_NE(error.find(c.message), std::string::npos) << c.name << ": " << error;
        error.clear();
    }
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
