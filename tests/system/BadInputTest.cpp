// Malformed input given to each tool as a user would give it: every case
// must end in a clear message and a failure status (or, where the tool skips
// a bad input and goes on, in the message that says so), never in a crash.

#include <gtest/gtest.h>
#include <json/json.h>
#include <lodepng.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "support/FinalViewBytes.h"
#include "support/Subprocess.h"
#include "support/SystemFixtures.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using QuorvelTest::fileBytes;
using QuorvelTest::ProcessResult;
using QuorvelTest::runProcess;
using QuorvelTest::TempDir;
using QuorvelTest::writeFileBytes;

// One case: the arguments after the program name, the exit status, texts the
// output must hold and any check of what was (not) written.
struct Row {
    std::string what;
    std::vector<std::string> arguments;
    int status = 1;
    std::vector<std::string> says;
    std::function<void()> check = {};
    std::optional<rlim_t> addressSpace = {}; // a machine with less memory
};

// Sanitizers reserve far more address space than any limit a row sets.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// Signs of a fault the exit status alone would not show.
void expectNoCrash(const ProcessResult& run)
{
    EXPECT_FALSE(run.crashed()) << run.describe();
    for (const char* report : {"runtime error", "AddressSanitizer", "LeakSanitizer", "ThreadSanitizer",
                               "terminate called", "Segmentation fault"}) {
        EXPECT_EQ(run.err.find(report), std::string::npos) << report << "\n" << run.describe();
        EXPECT_EQ(run.out.find(report), std::string::npos) << report << "\n" << run.describe();
    }
}

// The run's status and its messages above INFO, enough to see what went wrong.
std::string brief(const ProcessResult& run)
{
    std::string text = "exit " + std::to_string(run.exitCode) + " signal " + std::to_string(run.signal) + "\n";
    size_t begin = 0;
    while (begin < run.out.size()) {
        const size_t end = std::min(run.out.find('\n', begin), run.out.size());
        const std::string line = run.out.substr(begin, end - begin);
        if (line.find("[INFO]") == std::string::npos && line.find("[DEBUG]") == std::string::npos)
            text += line + "\n";
        begin = end + 1;
    }
    return text + "--- stderr ---\n" + run.err.substr(0, 2000);
}

void runRows(const char* tool, const std::vector<Row>& rows, const std::string& workingDirectory = {})
{
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<std::string> argv = {tool};
        argv.insert(argv.end(), row.arguments.begin(), row.arguments.end());
        if (row.addressSpace && kSanitized) {
            std::printf("row \"%s\" skipped: it limits the address space, which a sanitizer build needs\n",
                        row.what.c_str());
            continue;
        }
        QuorvelTest::ProcessOptions options;
        options.workingDirectory = workingDirectory;
        options.addressSpaceLimit = row.addressSpace;
        const ProcessResult run = runProcess(argv, options);
        expectNoCrash(run);
        EXPECT_EQ(run.exitCode, row.status) << brief(run);
        const std::string all = run.out + run.err;
        for (const std::string& text : row.says)
            EXPECT_NE(all.find(text), std::string::npos) << "expected: " << text << "\n" << brief(run);
        if (row.check)
            row.check();
    }
}

// A 4 x 2 RGBA picture, encoded by LodePNG.
std::string smallPng()
{
    std::vector<unsigned char> rgba(4 * 2 * 4, 200);
    unsigned char* encoded = nullptr;
    size_t size = 0;
    EXPECT_EQ(lodepng_encode32(&encoded, &size, rgba.data(), 4, 2), 0u);
    std::string bytes(reinterpret_cast<const char*>(encoded), size);
    free(encoded);
    return bytes;
}

// A PNG whose header claims 60000 x 60000 RGBA pixels over a few bytes of
// image data: a reader that trusts the header asks for 14 GB.
std::string hugePng()
{
    auto chunk = [](const std::string& type, const std::string& data) {
        std::string c;
        for (int shift : {24, 16, 8, 0})
            c += static_cast<char>((data.size() >> shift) & 0xFF);
        c += type + data;
        const unsigned crc = lodepng_crc32(reinterpret_cast<const unsigned char*>(c.data() + 4), c.size() - 4);
        for (int shift : {24, 16, 8, 0})
            c += static_cast<char>((crc >> shift) & 0xFF);
        return c;
    };
    const std::string size("\x00\x00\xea\x60\x00\x00\xea\x60\x08\x06\x00\x00\x00", 13);
    // A stored (uncompressed) zlib stream of 16 zero bytes.
    const std::string data = std::string("\x78\x01\x01\x10\x00\xef\xff", 7) + std::string(16, '\0') +
                             std::string("\x00\x00\x00\x01", 4);
    return std::string("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", size) + chunk("IDAT", data) + chunk("IEND", "");
}

uint32_t u32At(const std::string& bytes, size_t at)
{
    uint32_t v = 0;
    std::memcpy(&v, bytes.data() + at, 4);
    return v;
}

void setU32(std::string& bytes, size_t at, uint32_t v) { std::memcpy(bytes.data() + at, &v, 4); }

// A render file with its JSON header changed by `edit` (length fixed up),
// the blocks left as they are.
std::string withHeader(const std::string& renderFile, const std::function<void(Json::Value&)>& edit)
{
    const uint32_t length = u32At(renderFile, 16);
    Json::Value header;
    Json::Reader reader;
    EXPECT_TRUE(reader.parse(renderFile.substr(20, length), header));
    edit(header);
    Json::FastWriter writer;
    std::string json = writer.write(header);
    if (!json.empty() && json.back() == '\n')
        json.pop_back();
    std::string bytes = renderFile.substr(0, 16);
    bytes.append(4, '\0');
    setU32(bytes, 16, static_cast<uint32_t>(json.size()));
    return bytes + json + renderFile.substr(20 + length);
}

// Offset of the sample block's element count: after the coordinates and
// plaque blocks, both empty in a render file.
size_t sampleBlockAt(const std::string& renderFile)
{
    const size_t blocks = 20 + u32At(renderFile, 16);
    EXPECT_EQ(u32At(renderFile, blocks), 0u);
    EXPECT_EQ(u32At(renderFile, blocks + 8), 0u);
    return blocks + 16;
}

// PNG signature and the size in its IHDR chunk, read from the bytes.
void expectPng(const fs::path& path, uint32_t width, uint32_t height)
{
    const std::string png = fileBytes(path);
    ASSERT_GE(png.size(), 33u) << path;
    EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    EXPECT_EQ(png.substr(12, 4), "IHDR");
    auto big = [&](size_t at) {
        return static_cast<uint32_t>(static_cast<unsigned char>(png[at])) << 24 |
               static_cast<uint32_t>(static_cast<unsigned char>(png[at + 1])) << 16 |
               static_cast<uint32_t>(static_cast<unsigned char>(png[at + 2])) << 8 |
               static_cast<unsigned char>(png[at + 3]);
    };
    EXPECT_EQ(big(16), width);
    EXPECT_EQ(big(20), height);
}

// The final view file's magic and sample count, read from its bytes.
void expectFinalView(const fs::path& path, uint32_t samples)
{
    ASSERT_TRUE(fs::is_regular_file(path)) << path;
    const QuorvelTest::Bytes file = QuorvelTest::readFile(path);
    ASSERT_GE(file.data.size(), 200u);
    EXPECT_EQ(std::string(file.data.begin(), file.data.begin() + 8), std::string("\x82QVL=\n$\n", 8));
    EXPECT_EQ(file.u16(8), 4u);
    EXPECT_EQ(file.u32(12), samples);
    EXPECT_EQ(QuorvelTest::decodedEngine(file), 1);
}

// Shared inputs, made once per test: a render file, the final view file the
// merger makes of it, a PNG and the tiny example scene.
class BadInput : public ::testing::Test {
protected:
    void SetUp() override
    {
        QuorvelTest::SyntheticRender r;
        r.samples = 48;
        renderPath = dir / "base" / "render_left.qvlrender";
        ASSERT_TRUE(QuorvelTest::writeSyntheticRenderFile(renderPath, r));
        render = fileBytes(renderPath);
        const ProcessResult merge = runProcess(
            {QUORVEL_MERGER_EXECUTABLE, (dir / "base").string(), "--output", (dir / "final_#.qvl").string()});
        ASSERT_EQ(merge.exitCode, 0) << merge.describe();
        finalPath = dir / "final_0001.qvl";
        finalView = fileBytes(finalPath);
        ASSERT_GT(finalView.size(), 200u);
        finalSamples = u32At(finalView, 12);
        png = smallPng();
        scene = fileBytes(fs::path(QUORVEL_EXAMPLES_DIR) / "tiny" / "tiny.json");
        ASSERT_FALSE(scene.empty());
    }

    // A file of these bytes in the test's directory.
    std::string file(const std::string& name, const std::string& bytes) const
    {
        writeFileBytes(dir / name, bytes);
        return (dir / name).string();
    }
    // A directory holding these files.
    std::string folder(const std::string& name, const std::vector<std::pair<std::string, std::string>>& files) const
    {
        fs::create_directories(dir / name);
        for (const auto& [file, bytes] : files)
            writeFileBytes(dir / name / file, bytes);
        return (dir / name).string();
    }

    TempDir dir;
    fs::path renderPath, finalPath;
    std::string render, finalView, png, scene;
    uint32_t finalSamples = 0;
};

TEST_F(BadInput, MergerInputFiles)
{
    const std::string out = (dir / "out" / "m_#.qvl").string();
    fs::create_directories(dir / "out");
    auto written = [&](int frame) { return dir / "out" / ("m_000" + std::to_string(frame) + ".qvl"); };
    auto nothingWritten = [&] { EXPECT_TRUE(fs::is_empty(dir / "out")); };
    auto onlyGoodFrame = [&] {
        expectFinalView(written(1), finalSamples);
        EXPECT_TRUE(fileBytes(written(1)) == finalView);
        EXPECT_FALSE(fs::exists(written(2)));
        fs::remove_all(dir / "out");
        fs::create_directories(dir / "out");
    };

    // Bad files sit beside a good one of frame 1; they carry frame 2, so a
    // file that is read at all makes a group of its own.
    QuorvelTest::SyntheticRender second;
    second.frame = 2;
    second.seed = 5;
    ASSERT_TRUE(QuorvelTest::writeSyntheticRenderFile(dir / "frame2.qvlrender", second));
    const std::string render2 = fileBytes(dir / "frame2.qvlrender");
    const size_t samples = sampleBlockAt(render2);

    std::string wrongMagic = render2;
    wrongMagic[1] = 'X';
    std::string version10 = render2;
    version10[14] = 10;
    std::string hugeJsonLength = render2;
    setU32(hugeJsonLength, 16, 0xFFFFFFF0u);
    std::string hugeBlockCount = render2;
    setU32(hugeBlockCount, samples, 0x7FFFFFFFu);
    std::string hugeStoredSize = render2;
    setU32(hugeStoredSize, samples + 4, 0xFFFFFFF0u);
    std::string garbledJson = render2;
    garbledJson[20] = 'x';

    // Both frames as the undamaged files give them.
    const ProcessResult reference = runProcess({QUORVEL_MERGER_EXECUTABLE,
                                                folder("reference", {{"good.qvlrender", render}, {"second.qvlrender", render2}}),
                                                "--output", (dir / "reference" / "r_#.qvl").string()});
    ASSERT_EQ(reference.exitCode, 0) << reference.describe();
    const std::string reference2 = fileBytes(dir / "reference" / "r_0002.qvl");
    auto bothFrames = [&] {
        expectFinalView(written(1), finalSamples);
        EXPECT_TRUE(fileBytes(written(1)) == finalView);
        expectFinalView(written(2), u32At(reference2, 12));
        EXPECT_TRUE(fileBytes(written(2)) == reference2);
        fs::remove_all(dir / "out");
        fs::create_directories(dir / "out");
    };
    auto withBad = [&](const std::string& name, const std::string& bytes) {
        return folder(name, {{"good.qvlrender", render}, {"bad.qvlrender", bytes}});
    };
    auto alone = [&](const std::string& name, const std::string& bytes) {
        return folder(name, {{"bad.qvlrender", bytes}});
    };
    auto badPath = [&](const std::string& name) {
        return (fs::canonical(dir.path()) / name / "bad.qvlrender").string();
    };
    auto readError = [&](const std::string& name, int code) {
        return "[ERROR] File read error(" + std::to_string(code) + ") " + badPath(name) + " .\n";
    };
    auto notAHeader = [&](const std::string& name) {
        return "File " + badPath(name) + " looks like a qvlRender but doesnt have a valid data header\n";
    };
    auto displayError = [&](const std::string& name, int width, int height) {
        return "[ERROR] File " + badPath(name) + " has a display of " + std::to_string(width) + "x" +
               std::to_string(height) + " pixels, which a final view file cannot hold.\n";
    };
    const std::string parseFailed = "[ERROR] Unable to parse command arguments\n";
    const std::string assemblyFailed = "[WARNING] something went wrong during the qvlRender assembly.\n";
    const std::string goodbyeFailed = "[ERROR] Somthing went wrong drong the process...Closing Quorvel Merger. \n";
    const std::string goodbye = "[INFO] Success ! Closing Quorvel Merger. \n";
    const std::string noFrameMerged =
        "[ERROR] No frame is merged: the frame of a render file that cannot be read is unknown.\n";
    auto merge = [&](const std::string& input) { return std::vector<std::string>{input, "--output", out, "-l", "3"}; };

    const std::vector<Row> rows = {
        // Files that are not render files are left out of discovery without
        // a word; the good frame is still merged.
        {"empty file: skipped", merge(withBad("empty", "")), 0, {goodbye}, onlyGoodFrame},
        {"wrong magic: skipped", merge(withBad("magic", wrongMagic)), 0, {goodbye}, onlyGoodFrame},
        {"final view file among render files: skipped", merge(withBad("final", finalView)), 0, {goodbye},
         onlyGoodFrame},
        {"PNG among render files: skipped", merge(withBad("png", png)), 0, {goodbye}, onlyGoodFrame},
        // A render file's signature with no readable header: a read error
        // naming it. Its frame is unknown, so no frame is merged.
        {"truncated inside the signature and header", merge(withBad("short", render2.substr(0, 30))), 1,
         {notAHeader("short"), readError("short", -5), noFrameMerged, goodbyeFailed}, nothingWritten},
        {"header length beyond the file", merge(withBad("length", hugeJsonLength)), 1,
         {notAHeader("length"), readError("length", -5), noFrameMerged, goodbyeFailed}, nothingWritten},
        {"header not JSON", merge(withBad("json", garbledJson)), 1,
         {notAHeader("json"), readError("json", -5), noFrameMerged, goodbyeFailed}, nothingWritten},
        // A header whose frame can be read fails that frame alone.
        {"version 10", merge(withBad("version", version10)), 1,
         {readError("version", -4), assemblyFailed, goodbyeFailed}, onlyGoodFrame},
        // A readable header over bad blocks fails its group and the run; the
        // other group is still written.
        {"truncated in the blocks", merge(withBad("blocks", render2.substr(0, render2.size() - 40))), 1,
         {readError("blocks", -7), assemblyFailed, goodbyeFailed}, onlyGoodFrame},
        {"sample block count 2^31-1", merge(withBad("count", hugeBlockCount)), 1,
         {readError("count", -7), assemblyFailed, goodbyeFailed}, onlyGoodFrame},
        {"sample block stored size 4 GiB", merge(withBad("stored", hugeStoredSize)), 1,
         {readError("stored", -7), assemblyFailed, goodbyeFailed}, onlyGoodFrame},
        {"negative file code",
         merge(withBad("code", withHeader(render2, [](Json::Value& h) { h["fileCode"] = -5; }))), 1,
         {"File code error(0) " + badPath("code") + "\n", readError("code", -10), goodbyeFailed}, onlyGoodFrame},
        {"stereo file without its right-eye colour",
         merge(withBad("stereo", withHeader(render2, [](Json::Value& h) { h["AOVNames"][0] = "Cd_Other"; }))), 1,
         {"[ERROR] AOV for deepReflection is missing in " + badPath("stereo") + " .\n", readError("stereo", -9),
          goodbyeFailed},
         onlyGoodFrame},
        // Counts the blocks contradict: the blocks rule, nothing is sized
        // by the header's numbers.
        {"sampleNums 2^60 in the header: read by its blocks",
         merge(withBad("nums", withHeader(render2, [](Json::Value& h) { h["sampleNums"] = Json::UInt64(1) << 60; }))),
         0, {goodbye}, bothFrames},
        {"aovNums 2^60 beyond the AOV lists",
         merge(withBad("aovs", withHeader(render2, [](Json::Value& h) { h["aovNums"] = Json::UInt64(1) << 60; }))),
         1, {readError("aovs", -5), assemblyFailed, goodbyeFailed}, onlyGoodFrame},
        // A display no final view file can address fails its group.
        {"display 65535 x 65535",
         merge(alone("display", withHeader(render2,
                                           [](Json::Value& h) {
                                               h["widthDisplay"] = 65535;
                                               h["heightDisplay"] = 65535;
                                           }))),
         1, {displayError("display", 65535, 65535), readError("display", -11), goodbyeFailed}, nothingWritten},
        {"display 0 x 0",
         merge(alone("zero", withHeader(render2,
                                        [](Json::Value& h) {
                                            h["widthDisplay"] = 0;
                                            h["heightDisplay"] = 0;
                                        }))),
         1, {displayError("zero", 0, 0), readError("zero", -11), goodbyeFailed}, nothingWritten},
        // A latitude-longitude display of more than 2^24 pixels is merged.
        {"latitude-longitude display of 6000 x 3000",
         merge(alone("latlong", withHeader(render2,
                                           [](Json::Value& h) {
                                               h["projection"] = 0;
                                               h["widthDisplay"] = 6000;
                                               h["heightDisplay"] = 3000;
                                           }))),
         0, {goodbye}, [&] {
             const std::string bytes = fileBytes(written(2));
             ASSERT_GE(bytes.size(), 200u);
             EXPECT_EQ(u32At(bytes, 16), 6000u + (3000u << 16));
             EXPECT_EQ(u32At(bytes, 56) & 8u, 0u);
             fs::remove_all(dir / "out");
             fs::create_directories(dir / "out");
         }},
        // Another display beside a good file is another kind of zone of
        // view: refused as a whole, and the run fails.
        {"two kinds of zone of view: nothing merged",
         merge(withBad("kinds", withHeader(render2, [](Json::Value& h) { h["heightDisplay"] = 17; }))), 1,
         {"[ERROR] There's multiple kind of zone of view in this folder 2 \n"}, nothingWritten},
        // Where a directory or a file was expected.
        {"input is a file", {renderPath.string(), "--output", out}, 1,
         {"ERROR: Got invalid argument \"" + renderPath.string() + "\" for option input.\n", parseFailed},
         nothingWritten},
        {"input missing", {(dir / "nowhere").string(), "--output", out}, 1,
         {"ERROR: Got invalid argument \"" + (dir / "nowhere").string() + "\" for option input.\n", parseFailed},
         nothingWritten},
        {"directory of no render files",
         merge(folder("nothing", {{"a.qvlrender", ""}, {"b.png", png}, {"c.qvl", finalView}})), 0,
         {"[INFO] There's no Quorvel file to merge inside " + (fs::canonical(dir.path()) / "nothing").string() + "\n"},
         nothingWritten},
    };
    runRows(QUORVEL_MERGER_EXECUTABLE, rows);
}

TEST_F(BadInput, MergerOutputsAndPaths)
{
    fs::create_directories(dir / "out");
    const std::string goodbye = "[INFO] Success ! Closing Quorvel Merger. \n";
    auto writtenAt = [&](const fs::path& path) {
        return [this, path] {
            expectFinalView(path, finalSamples);
            EXPECT_TRUE(fileBytes(path) == finalView) << path;
        };
    };
    fs::create_directories(dir / "out" / "taken_0001.qvl");
    const std::string accented = "sc\xe8ne";  // Latin-1, not UTF-8
    folder(accented, {{"r\xe9nder.qvlrender", render}});
    folder("場面", {{"レンダー.qvlrender", render}});

    const std::vector<Row> rows = {
        {"non-UTF-8 input directory and output name",
         {(dir / accented).string(), "--output", (dir / "out" / "sortie_\xe9_#.qvl").string()}, 0, {goodbye},
         writtenAt(dir / "out" / "sortie_\xe9_0001.qvl")},
        {"non-ASCII input directory and output name",
         {(dir / "場面").string(), "--output", (dir / "out" / "出力_#.qvl").string()}, 0, {goodbye},
         writtenAt(dir / "out" / "出力_0001.qvl")},
        {"output names a directory",
         {(dir / "base").string(), "--output", (dir / "out" / "taken_#.qvl").string()}, 1,
         {(dir / "out" / "taken_0001.qvl").string(), "[ERROR] Somthing went wrong drong the process"},
         [&] { EXPECT_TRUE(fs::is_empty(dir / "out" / "taken_0001.qvl")); }},
        {"output in a missing directory",
         {(dir / "base").string(), "--output", (dir / "no" / "such" / "f_#.qvl").string()}, 1,
         {"[WARNING] An error(", (dir / "no" / "such" / "f_0001.qvl").string()},
         [&] { EXPECT_FALSE(fs::exists(dir / "no" / "such" / "f_0001.qvl")); }},
    };
    runRows(QUORVEL_MERGER_EXECUTABLE, rows);
}

TEST_F(BadInput, MergerOptionValues)
{
    const std::string input = (dir / "base").string();
    const std::string out = (dir / "out" / "o_#.qvl").string();
    fs::create_directories(dir / "out");
    auto invalid = [](const std::string& value, const std::string& option) {
        return "ERROR: Got invalid argument \"" + value + "\" for option " + option + ".\n";
    };
    const std::string parseFailed = "[ERROR] Unable to parse command arguments\n";
    auto nothingWritten = [&] { EXPECT_TRUE(fs::is_empty(dir / "out")); };
    auto writtenOnce = [&] {
        expectFinalView(dir / "out" / "o_0001.qvl", finalSamples);
        fs::remove(dir / "out" / "o_0001.qvl");
    };
    auto with = [&](std::vector<std::string> extra) {
        std::vector<std::string> arguments = {input, "--output", out};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return arguments;
    };
    const std::vector<Row> rows = {
        {"negative frame", with({"-r", "-1,5"}), 1, {invalid("-1", "-r"), parseFailed}, nothingWritten},
        {"one frame number", with({"-r", "1"}), 1,
         {"ERROR: Got unexpected number of arguments for option -r.\n", parseFailed}, nothingWritten},
        {"frame not a number", with({"-r", "one,two"}), 1, {invalid("one", "-r"), invalid("two", "-r")},
         nothingWritten},
        {"frame beyond 32 bits", with({"-r", "0,99999999999"}), 1, {invalid("99999999999", "-r")}, nothingWritten},
        // A reversed range accepts no frame: nothing to merge, as for an
        // empty directory.
        {"reversed frame range: nothing accepted", with({"-r", "5,1"}), 0,
         {"[INFO] There's no Quorvel file to merge inside "}, nothingWritten},
        {"negative minimum depth", with({"--mindist", "-1"}), 1, {invalid("-1", "--mindist")}, nothingWritten},
        {"NaN minimum depth", with({"--mindist", "nan"}), 1, {invalid("nan", "--mindist")}, nothingWritten},
        {"infinite maximum depth", with({"--maxDist", "inf"}), 1, {invalid("inf", "--maxDist")}, nothingWritten},
        {"maximum depth above its bound", with({"--maxDist", "1e31"}), 1, {invalid("1e31", "--maxDist")},
         nothingWritten},
        {"negative gain", with({"--gain", "-1,1,1"}), 1, {invalid("-1", "--gain")}, nothingWritten},
        {"lift beyond a float", with({"--lift", "1e39,0,0"}), 1, {invalid("1e39", "--lift")}, nothingWritten},
        {"two of three gains", with({"--gain", "1,1"}), 1,
         {"ERROR: Got unexpected number of arguments for option --gain.\n"}, nothingWritten},
        {"empty tolerance", with({"--colorTolerance", ""}), 1, {invalid("", "--colorTolerance")}, nothingWritten},
        {"tolerance with trailing text", with({"--normalTolerance", "0.5x"}), 1,
         {invalid("0.5x", "--normalTolerance")}, nothingWritten},
        {"zone offset beyond a short", with({"--zovOffset", "40000,0,0"}), 1, {invalid("40000", "--zovOffset")},
         nothingWritten},
        {"negative log level", with({"-l", "-1"}), 1, {invalid("-1", "-l")}, nothingWritten},
        {"missing background picture", with({"-b", (dir / "none.png").string()}), 1,
         {invalid((dir / "none.png").string(), "-b")}, nothingWritten},
        {"missing preset", with({"--VFBPreset", (dir / "none.vfbl").string()}), 1,
         {invalid((dir / "none.vfbl").string(), "--VFBPreset")}, nothingWritten},
        {"empty output", {input, "--output", ""}, 1, {invalid("", "--output"), parseFailed},
         [&] { EXPECT_FALSE(fs::exists(dir / "0001")); }},
        {"empty input", {"", "--output", out}, 1, {invalid("", "input")}, nothingWritten},
        // Files of the wrong kind where a file is expected.
        // Files of the wrong kind: the run stops, or the file is written
        // without what could not be read, saying so.
        {"PNG as the OCIO configuration",
         with({"--OCIOconfig", file("config.ocio", png), "--applyColorSpaceTo", "sRGB"}), 1,
         {"[INFO] [OCIO] Loading OCIO config " + (dir / "config.ocio").string() + "\n",
          "[ERROR] [OCIO] No OCIO config could be loaded."},
         nothingWritten},
        {"render file as the background picture: no background", with({"-b", renderPath.string()}), 0,
         {"[WARNING] Background picture " + renderPath.string() +
          " is not a PNG that can be read; the file gets no background.\n"},
         writtenOnce},
        {"PNG claiming 60000 x 60000 pixels as the background: no background",
         with({"-b", file("huge.png", hugePng())}), 0,
         {"[WARNING] Background picture " + (dir / "huge.png").string() +
          " is not a PNG that can be read; the file gets no background.\n"},
         writtenOnce},
        {"render file as the frame-buffer preset: no corrections", with({"--VFBPreset", renderPath.string()}), 0,
         {"[ERROR] Could not load specified preset file " + renderPath.string() + " for Vray VFB\n"}, writtenOnce},
    };
    // A relative output must not land anywhere when refused.
    runRows(QUORVEL_MERGER_EXECUTABLE, rows, dir.path().string());
}

TEST_F(BadInput, HostScenes)
{
    const std::string host = QUORVEL_HOST_EXECUTABLE;
    const std::string accented = file("sc\xe8ne.json", scene);
    const std::string japanese = file("場面.json", scene);
    const std::string emptyScene = file("empty.json", "");
    const std::string half = file("half.json", scene.substr(0, scene.size() / 2));
    const std::string picture = file("picture.json", png);
    const std::string renderScene = file("render.json", render);
    fs::create_directories(dir / "folder.json");
    const std::string folderScene = (dir / "folder.json").string();
    const std::string missing = (dir / "manquant_\xe9.json").string();
    // A mesh file that is a PNG.
    file("mesh.png", png);
    std::string meshScene = scene;
    meshScene.insert(meshScene.find("[") + 1,
                     R"({"type": "GeomMeshFile", "name": "mesh", "params": {"file": "mesh.png"}},
    {"type": "Node", "name": "mesh_node", "params": {"geometry": "mesh", "material": "red"}},)");
    const std::string withMesh = file("mesh.json", meshScene);

    auto notJson = [](const std::string& path) { return "error: " + path + ": not valid JSON: "; };
    const std::vector<Row> rows = {
        {"missing scene", {missing}, 1, {"error: " + missing + ": cannot open the scene file\n"}},
        {"empty scene", {emptyScene}, 1, {notJson(emptyScene)}},
        {"truncated scene", {half}, 1, {notJson(half)}},
        {"PNG as the scene", {picture}, 1, {notJson(picture)}},
        {"render file as the scene", {renderScene}, 1, {notJson(renderScene)}},
        {"directory as the scene", {folderScene}, 1, {"error: " + folderScene + ": a directory, not a scene file\n"}},
        {"PNG as a mesh file", {withMesh}, 1,
         {"GeomMeshFile \"mesh\": cannot load the mesh file \"" + (dir / "mesh.png").string() + "\""}},
        {"non-UTF-8 scene path", {"--print-frames", accented}, 0, {"1 3\n"}},
        {"non-ASCII scene path", {"--print-frames", japanese}, 0, {"1 3\n"}},
        {"negative threads", {"--threads", "-1", accented}, 2, {"error: --threads: expected a number from 0 to 1024\n"}},
        {"huge threads", {"--threads", "1000000000", accented}, 2,
         {"error: --threads: expected a number from 0 to 1024\n"}},
        {"empty threads", {"--threads", "", accented}, 2, {"error: --threads: expected a number from 0 to 1024\n"}},
        {"NaN threads", {"--threads", "nan", accented}, 2, {"error: --threads: expected a number from 0 to 1024\n"}},
        {"negative render servers", {"--render-servers", "-3", accented}, 2,
         {"error: --render-servers: expected a number from 0 to 64\n"}},
        {"resolution 0", {"--set", "output.img_width=0", accented}, 1,
         {"SettingsOutput \"output\": img_width and img_height: expected 1 to 16384 pixels"}},
        {"resolution 1e9", {"--set", "output.img_height=1000000000", accented}, 1,
         {"SettingsOutput \"output\": img_width and img_height: expected 1 to 16384 pixels"}},
        {"resolution not an integer", {"--set", "output.img_width=312.5", accented}, 1,
         {"SettingsOutput \"output\": parameter \"img_width\": expected"}},
        {"frame range of a billion frames", {"--set", "output.frame_end=1000000000", accented}, 1,
         {"SettingsOutput \"output\": frame range: expected at most 100000 frames"}},
        {"field of view 0", {"--set", "camera.fov=0", accented}, 1,
         {"RenderView \"camera\": fov: expected degrees between 0 and 180"}},
        {"field of view 1e30", {"--set", "camera.fov=1e30", accented}, 1,
         {"RenderView \"camera\": fov: expected degrees between 0 and 180"}},
        {"NaN field of view", {"--set", "camera.fov=NaN", accented}, 1,
         {"error: --set camera.fov=NaN: the value is not JSON (strings need quotes)\n"}},
        {"empty --set", {"--set", "", accented}, 1, {"error: --set : expected INSTANCE.PARAMETER=VALUE\n"}},
        {"--set of an unknown instance", {"--set", "nobody.x=1", accented}, 1,
         {"error: --set nobody.x=1: the scene has no instance or plug-in type \"nobody\"\n"}},
        {"PNG as a plug-in library", {"--plugin", file("plugin.so", png), accented}, 2,
         {"error: ", (dir / "plugin.so").string()}},
        {"directory as a plug-in library", {"--plugin", folderScene, accented}, 2, {"error: ", folderScene}},
    };
    // A row that rendered by mistake would leave its pictures here.
    runRows(QUORVEL_HOST_EXECUTABLE, rows, dir.path().string());
}

TEST_F(BadInput, ViewerInputFiles)
{
    fs::create_directories(dir / "out");
    const std::string out = (dir / "out" / "v.png").string();
    auto nothingWritten = [&] { EXPECT_TRUE(fs::is_empty(dir / "out")); };
    auto view = [&](const std::string& input) { return std::vector<std::string>{input, "-o", out, "--size", "8x8"}; };
    auto says = [](const std::string& path, const std::string& why) { return "quorvel_view: " + path + ": " + why; };

    std::string wrongMagic = finalView;
    wrongMagic[1] = 'X';
    std::string hugeCount = finalView;
    setU32(hugeCount, 12, 0xFFFFFFFFu);
    setU32(hugeCount, 48, 0x7FFFFFFFu);
    std::string hugeOffset = finalView;
    setU32(hugeOffset, 156, 0xFFFFFFF0u);
    std::string hugeTrailer = finalView;
    setU32(hugeTrailer, 180, 0xFFFFFFF0u);

    const std::vector<std::pair<std::string, std::string>> files = {
        {"empty.qvl", ""},          {"half.qvl", finalView.substr(0, finalView.size() / 2)},
        {"magic.qvl", wrongMagic},  {"header.qvl", finalView.substr(0, 100)},
        {"count.qvl", hugeCount},   {"offset.qvl", hugeOffset},
        {"trailer.qvl", hugeTrailer},
    };
    for (const auto& [name, bytes] : files)
        file(name, bytes);
    auto p = [&](const std::string& name) { return (dir / name).string(); };
    fs::create_directories(dir / "folder.qvl");

    const std::vector<Row> rows = {
        {"missing file", view(p("none.qvl")), 1, {says(p("none.qvl"), "cannot open the file\n")}, nothingWritten},
        {"empty file", view(p("empty.qvl")), 1,
         {says(p("empty.qvl"), "truncated: 0 bytes, shorter than the 200-byte header\n")}, nothingWritten},
        {"truncated in the header", view(p("header.qvl")), 1,
         {says(p("header.qvl"), "truncated: 100 bytes, shorter than the 200-byte header\n")}, nothingWritten},
        {"truncated in the blocks", view(p("half.qvl")), 1, {says(p("half.qvl"), "")}, nothingWritten},
        {"wrong magic", view(p("magic.qvl")), 1, {says(p("magic.qvl"), "not a final view file (wrong magic)\n")},
         nothingWritten},
        {"render file given to the viewer", view(renderPath.string()), 1,
         {says(renderPath.string(), "not a final view file (wrong magic)\n")}, nothingWritten},
        {"PNG given to the viewer", view(file("picture.qvl", png)), 1,
         {says(p("picture.qvl"), "truncated: ")}, nothingWritten},
        {"directory given to the viewer", view(p("folder.qvl")), 1,
         {says(p("folder.qvl"), "not a regular file of at most 4 GiB\n")}, nothingWritten},
        {"sample count 2^32-1", view(p("count.qvl")), 1, {says(p("count.qvl"), "")}, nothingWritten},
        {"sample block offset 4 GiB", view(p("offset.qvl")), 1,
         {says(p("offset.qvl"), "sample block outside the file")}, nothingWritten},
        {"trailer offset 4 GiB", view(p("trailer.qvl")), 1, {says(p("trailer.qvl"), "truncated: the integrity trailer")},
         nothingWritten},
    };
    runRows(QUORVEL_VIEW_EXECUTABLE, rows);
}

TEST_F(BadInput, ViewerOptionsAndPaths)
{
    fs::create_directories(dir / "out");
    const std::string input = finalPath.string();
    const std::string japanese = file("景色.qvl", finalView);
    const std::string out = (dir / "out" / "v.png").string();
    auto nothingWritten = [&] { EXPECT_TRUE(fs::is_empty(dir / "out")); };
    auto with = [&](std::vector<std::string> extra) {
        std::vector<std::string> arguments = {input, "-o", out, "--size", "8x8"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return arguments;
    };
    const std::string usage = "usage: quorvel_view FINAL_VIEW_FILE [options]\n";
    auto refused = [&](const std::string& why) { return std::vector<std::string>{"quorvel_view: " + why + "\n", usage}; };
    fs::create_directories(dir / "taken.png");
    auto takenStaysEmpty = [&] { EXPECT_TRUE(fs::is_empty(dir / "taken.png")); };

    const std::vector<Row> rows = {
        {"non-ASCII input, non-UTF-8 output", {japanese, "-o", (dir / "vue_\xe9.png").string(), "--size", "6x4"}, 0, {},
         [&] { expectPng(dir / "vue_\xe9.png", 6, 4); }},
        {"size 0", with({"--size", "0x0"}), 2, refused("--size needs WxH, each 1 to 16384"), nothingWritten},
        {"size 1e9", with({"--size", "1000000000x1000000000"}), 2, refused("--size needs WxH, each 1 to 16384"),
         nothingWritten},
        {"size with one number", with({"--size", "64"}), 2, refused("--size needs WxH, each 1 to 16384"),
         nothingWritten},
        {"negative size", with({"--size", "-8x8"}), 2, refused("--size needs WxH, each 1 to 16384"), nothingWritten},
        {"NaN field of view", with({"--fov", "nan"}), 2, refused("--fov needs a number"), nothingWritten},
        {"negative field of view", with({"--fov", "-5"}), 2, refused("--fov needs degrees between 0 and 180"),
         nothingWritten},
        {"field of view 1e9", with({"--fov", "1e9"}), 2, refused("--fov needs degrees between 0 and 180"),
         nothingWritten},
        {"infinite yaw", with({"--yaw", "inf"}), 2, refused("--yaw needs a number"), nothingWritten},
        {"empty pitch", with({"--pitch", ""}), 2, refused("--pitch needs a number"), nothingWritten},
        {"position outside the zone", with({"--position", "2,0,0"}), 2,
         refused("--position needs each axis from -1 to 1 (the zone of view's faces)"), nothingWritten},
        {"NaN position", with({"--position", "nan,0,0"}), 2, refused("--position needs X,Y,Z"), nothingWritten},
        {"position of two numbers", with({"--position", "0,0"}), 2, refused("--position needs X,Y,Z"),
         nothingWritten},
        {"negative threads", with({"--threads", "-1"}), 2, refused("--threads needs a count"), nothingWritten},
        {"huge threads", with({"--threads", "1000000000"}), 2, refused("--threads needs a count"), nothingWritten},
        {"supersample 0", with({"--supersample", "0"}), 2, refused("--supersample needs 1 to 8"), nothingWritten},
        {"supersample 100", with({"--supersample", "100"}), 2, refused("--supersample needs 1 to 8"),
         nothingWritten},
        {"negative IPD", with({"--ipd", "-1"}), 2, refused("--ipd needs millimetres from 0 to 1000"), nothingWritten},
        {"blend 9", with({"--blend", "9"}), 2, refused("--blend needs 0 or a number from 1 to 4"), nothingWritten},
        {"footprint 0", with({"--footprint-scale", "0"}), 2, refused("--footprint-scale needs a number between 0 and 10"),
         nothingWritten},
        {"eye neither left nor right", with({"--eye", "up"}), 2, refused("--eye needs left or right"), nothingWritten},
        {"empty output", {input, "-o", "", "--size", "8x8"}, 1, {"quorvel_view: : cannot write the picture\n"},
         nothingWritten},
        {"output names a directory", {input, "-o", (dir / "taken.png").string(), "--size", "8x8"}, 1,
         {"quorvel_view: " + (dir / "taken.png").string() + ": cannot write the picture\n"}, takenStaysEmpty},
        {"output in a missing directory", {input, "-o", (dir / "no" / "v.png").string(), "--size", "8x8"}, 1,
         {"quorvel_view: " + (dir / "no" / "v.png").string() + ": cannot write the picture\n"},
         [&] { EXPECT_FALSE(fs::exists(dir / "no")); }},
        {"16384 x 16384, 8 x 8 samples a pixel in 2 GB",
         with({"--size", "16384x16384", "--supersample", "8"}), 1,
         {"quorvel_view: not enough memory for the picture asked for (see --size and --supersample)\n"},
         nothingWritten, rlim_t{2} << 30},
        {"missing reference", with({"--compare", (dir / "none.png").string()}), 1, {(dir / "none.png").string()}},
        {"render file as the reference", with({"--compare", renderPath.string()}), 1,
         {"quorvel_view: " + renderPath.string() + ": cannot read the PNG picture"}},
        {"PNG claiming 60000 x 60000 pixels as the reference", with({"--compare", file("huge.png", hugePng())}), 1,
         {"quorvel_view: " + (dir / "huge.png").string() +
          ": cannot read the PNG picture (60000x60000 is larger than any view)\n"}},
        {"reference of another size", with({"--compare", file("small.png", png)}), 1,
         {"quorvel_view: " + (dir / "small.png").string() + ": the reference is 4x2, the view 8x8\n"}},
    };
    runRows(QUORVEL_VIEW_EXECUTABLE, rows);
}

// Permissions do not stop root, so these rows say so and stop there.
TEST_F(BadInput, UnreadableFiles)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "running as root: a file of mode 000 can still be read, so the unreadable-file rows "
                        "(merger, host, viewer) cannot fail as they would for a user";
    const std::string locked = folder("locked", {{"bad.qvlrender", render}});
    fs::permissions(dir / "locked" / "bad.qvlrender", fs::perms::none);
    const std::string lockedScene = file("locked.json", scene);
    fs::permissions(lockedScene, fs::perms::none);
    const std::string lockedView = file("locked.qvl", finalView);
    fs::permissions(lockedView, fs::perms::none);
    const std::string out = (dir / "m_#.qvl").string();

    // Discovery cannot read the signature, so the file is not a render file.
    runRows(QUORVEL_MERGER_EXECUTABLE, {{"unreadable render file: skipped", {locked, "--output", out}, 0,
                                         {"[INFO] There's no Quorvel file to merge inside "}}});
    runRows(QUORVEL_HOST_EXECUTABLE,
            {{"unreadable scene", {lockedScene}, 1, {"error: " + lockedScene + ": cannot open the scene file\n"}}});
    runRows(QUORVEL_VIEW_EXECUTABLE, {{"unreadable final view file", {lockedView, "-o", (dir / "v.png").string()}, 1,
                                       {"quorvel_view: " + lockedView + ": cannot open the file\n"}}});
}

} // namespace
