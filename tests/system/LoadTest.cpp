// The tools under load: many render files and groups, more render threads
// than cores, two mergers on one input at once. Nothing may be lost and the
// results must be those of the plain single run. The names hold "Threaded"
// so that CI also runs them under ThreadSanitizer.

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/FinalViewBytes.h"
#include "support/PhaseFileBytes.h"
#include "support/Subprocess.h"
#include "support/SystemFixtures.h"
#include "support/TempDir.h"
#include "support/TinyScene.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using QuorvelTest::fileBytes;
using QuorvelTest::ProcessResult;
using QuorvelTest::runProcess;
using QuorvelTest::TempDir;

constexpr int kFrames = 20;
constexpr int kFillPasses = 8; // besides the left and right primary passes
constexpr uint32_t kSamplesPerFile = 60;

void expectSound(const ProcessResult& run)
{
    EXPECT_FALSE(run.crashed()) << run.describe();
    for (const char* report : {"runtime error", "AddressSanitizer", "ThreadSanitizer", "LeakSanitizer"})
        EXPECT_EQ(run.err.find(report), std::string::npos) << run.describe();
}

// Every occurrence of "prefix<number>" in the text, in order.
std::vector<long> numbersAfter(const std::string& text, const std::string& prefix)
{
    std::vector<long> numbers;
    for (size_t at = text.find(prefix); at != std::string::npos; at = text.find(prefix, at + 1))
        numbers.push_back(std::strtol(text.c_str() + at + prefix.size(), nullptr, 10));
    return numbers;
}

std::string frameFile(const fs::path& dir, const std::string& stem, int frame)
{
    char digits[16];
    std::snprintf(digits, sizeof digits, "%04d", frame);
    return (dir / (stem + digits + ".qvl")).string();
}

// A shot as the renderer leaves it: per frame a left and a right primary
// pass and eight hole-filling passes, one directory per pass.
TEST(LoadThreaded, MergerOnTwoHundredFilesInTwentyGroupsLosesNothing)
{
    TempDir dir;
    const fs::path input = dir / "renders";
    size_t files = 0;
    for (int frame = 1; frame <= kFrames; ++frame)
        for (int pass = 0; pass < 2 + kFillPasses; ++pass) {
            QuorvelTest::SyntheticRender r;
            r.frame = frame;
            r.eye = pass == 1 ? 2 : 1 + pass % 2;
            r.fillHoleCount = pass < 2 ? 0 : static_cast<uint64_t>(pass) * 10;
            r.samples = kSamplesPerFile;
            r.seed = static_cast<uint32_t>(frame * 31 + pass);
            const fs::path path = input / ("pass" + std::to_string(pass)) / ("shot_" + std::to_string(frame) + ".qvlrender");
            ASSERT_TRUE(QuorvelTest::writeSyntheticRenderFile(path, r));
            ++files;
        }
    ASSERT_EQ(files, 200u);

    fs::create_directories(dir / "all");
    fs::create_directories(dir / "alone");
    const auto start = std::chrono::steady_clock::now();
    const ProcessResult all = runProcess(
        {QUORVEL_MERGER_EXECUTABLE, input.string(), "--output", (dir / "all" / "f_#.qvl").string(), "-l", "2"});
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    expectSound(all);
    ASSERT_EQ(all.exitCode, 0) << all.describe();
    std::printf("merged %zu render files in %d groups in %.2f s\n", files, kFrames, seconds);
    EXPECT_NE(all.out.find("Found 200 Quorvel files distributed on 20 different(s) type(s).\n"), std::string::npos)
        << all.out;
    EXPECT_NE(all.out.find("Merging frame(s) : [1;20] \n"), std::string::npos) << all.out;

    // Every sample of the left pass (matched or not) and of every filling
    // pass reaches its group; the right pass only lends its colours.
    const std::vector<long> assembled = numbersAfter(all.out, "Assembly total samples read ");
    ASSERT_EQ(assembled.size(), static_cast<size_t>(kFrames)) << all.out;
    for (long count : assembled)
        EXPECT_EQ(count, static_cast<long>((1 + kFillPasses) * kSamplesPerFile));
    const std::vector<long> finals = numbersAfter(all.out, "Final ");
    ASSERT_EQ(finals.size(), static_cast<size_t>(kFrames)) << all.out;

    // Each group alone, from the same files, gives the same bytes.
    for (int frame = 1; frame <= kFrames; ++frame) {
        SCOPED_TRACE(frame);
        const fs::path alone = dir / ("frame" + std::to_string(frame));
        for (int pass = 0; pass < 2 + kFillPasses; ++pass) {
            const std::string name = "shot_" + std::to_string(frame) + ".qvlrender";
            fs::create_directories(alone / ("pass" + std::to_string(pass)));
            fs::copy_file(input / ("pass" + std::to_string(pass)) / name, alone / ("pass" + std::to_string(pass)) / name);
        }
        const ProcessResult one = runProcess(
            {QUORVEL_MERGER_EXECUTABLE, alone.string(), "--output", (dir / "alone" / "f_#.qvl").string()});
        expectSound(one);
        ASSERT_EQ(one.exitCode, 0) << one.describe();
        const std::string merged = frameFile(dir / "all", "f_", frame);
        const std::string single = frameFile(dir / "alone", "f_", frame);
        const QuorvelTest::Bytes bytes = QuorvelTest::readFile(merged);
        ASSERT_GE(bytes.data.size(), 200u) << merged;
        EXPECT_EQ(bytes.u32(12), static_cast<uint32_t>(finals[static_cast<size_t>(frame - 1)]));
        EXPECT_EQ(static_cast<uint32_t>(bytes.u32(48)) + bytes.u32(52), bytes.u32(12));
        EXPECT_EQ(QuorvelTest::decodedEngine(bytes), 1);
        EXPECT_TRUE(fileBytes(merged) == fileBytes(single)) << merged << " differs from " << single;
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "all"), fs::directory_iterator()), kFrames);
}

// One phase of the tiny scene through quorvel_host and the plug-in.
ProcessResult hostPhase(const fs::path& scene, int phase, int threads, const fs::path& detectFile,
                        const fs::path& outDir, const std::string& outName)
{
    fs::create_directories(outDir);
    return runProcess({QUORVEL_HOST_EXECUTABLE, "--quiet", "--plugin", QUORVEL_PLUGIN_LIBRARY, "--threads",
                       std::to_string(threads), "--set", "quorvel.phase_mode=" + std::to_string(phase), "--set",
                       "quorvel.detect_file=\"" + detectFile.string() + "\"", "--set",
                       "output.img_dir=\"" + outDir.string() + "\"", "--set", "output.img_file=\"" + outName + "\"",
                       scene.string()});
}

// Each sample with its AOV values, sorted: the file's content without the
// order in which the render threads flushed it.
std::vector<std::string> sampleRecords(const QuorvelTest::PhaseFile& f)
{
    std::vector<std::string> records;
    for (size_t i = 0; i < f.samples.size(); ++i) {
        std::string r(reinterpret_cast<const char*>(&f.samples[i]), sizeof f.samples[i]);
        for (size_t j = 0; j < f.aovColumns.size(); ++j) {
            const size_t size = f.aovColumns[j].size() / f.samples.size();
            r += f.aovColumns[j].substr(i * size, size);
        }
        records.push_back(r);
    }
    std::sort(records.begin(), records.end());
    return records;
}

// More render threads than the machine has cores, against one thread. Which
// of several near hits claims a camera pixel in the detection phase is a race
// by design, so both render phases share one detection file (made with the
// many threads); from it they must shade the same samples, and the merger
// must make the same final view file of them.
TEST(LoadThreaded, HostWithMoreRenderThreadsThanCoresRendersWhatOneThreadRenders)
{
    TempDir dir;
    const fs::path scene = dir / "tiny.json";
    QuorvelTest::writeFileBytes(scene, QuorvelTest::tinyEndToEndScene(true));
    const int many = static_cast<int>(std::max(8u, 4 * std::thread::hardware_concurrency()));

    const auto started = std::chrono::steady_clock::now();
    const ProcessResult detect = hostPhase(scene, 0, many, dir / "detect" / "detect_#.qvl", dir / "detect", "detect_#.qvl");
    expectSound(detect);
    ASSERT_EQ(detect.exitCode, 0) << detect.describe();
    const QuorvelTest::PhaseFile detection = QuorvelTest::readPhaseFile((dir / "detect" / "detect_0001.qvl").string());
    ASSERT_GT(detection.plaques.size(), 100u);
    EXPECT_TRUE(detection.consumed);

    // Both eyes' render phase over the same detection file.
    std::map<int, QuorvelTest::PhaseFile> renders;
    for (int threads : {1, many}) {
        const fs::path out = dir / ("render" + std::to_string(threads));
        const ProcessResult run = hostPhase(scene, 1, threads, dir / "detect" / "detect_#.qvl", out, "render_#.qvl");
        expectSound(run);
        ASSERT_EQ(run.exitCode, 0) << run.describe();
        renders[threads] = QuorvelTest::readPhaseFile((out / "render_0001.qvl").string());
    }
    const QuorvelTest::PhaseFile& r1 = renders[1];
    const QuorvelTest::PhaseFile& rn = renders[many];
    ASSERT_GT(r1.samples.size(), 100u);
    EXPECT_EQ(rn.samples.size(), r1.samples.size());
    EXPECT_TRUE(sampleRecords(rn) == sampleRecords(r1));
    EXPECT_EQ(rn.mask, r1.mask);
    Json::Value h1 = r1.header, hn = rn.header;
    h1.removeMember("fileCode"); // holds a random part
    hn.removeMember("fileCode");
    EXPECT_EQ(hn, h1);

    for (int threads : {1, many}) {
        const std::string n = std::to_string(threads);
        fs::create_directories(dir / ("final" + n));
        const ProcessResult merge = runProcess({QUORVEL_MERGER_EXECUTABLE, (dir / ("render" + n)).string(), "--output",
                                                (dir / ("final" + n) / "f_#.qvl").string()});
        expectSound(merge);
        ASSERT_EQ(merge.exitCode, 0) << merge.describe();
    }
    EXPECT_TRUE(fileBytes(dir / "final1" / "f_0001.qvl") ==
                fileBytes(dir / ("final" + std::to_string(many)) / "f_0001.qvl"));
    std::printf("host: detection on %d render threads, render phase on 1 and %d, on %u cores: %.1f s\n", many, many,
                std::thread::hardware_concurrency(), std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
}

// A process started without waiting for it; its output goes to files.
struct Started {
    pid_t pid = -1;
    std::string out, err;
};

Started start(const std::vector<std::string>& arguments, const fs::path& outputs)
{
    Started s;
    s.out = (outputs.string() + ".out");
    s.err = (outputs.string() + ".err");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, s.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, s.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> argv;
    for (const std::string& a : arguments)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (posix_spawn(&s.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        s.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return s;
}

ProcessResult finish(const Started& s)
{
    ProcessResult result;
    int status = 0;
    if (s.pid <= 0 || ::waitpid(s.pid, &status, 0) != s.pid)
        return result;
    if (WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
    result.out = fileBytes(s.out);
    result.err = fileBytes(s.err);
    return result;
}

TEST(LoadThreaded, TwoMergersAtOnceOnOneInputWriteWhatOneWrites)
{
    TempDir dir;
    const fs::path input = dir / "renders";
    for (int frame = 1; frame <= 4; ++frame)
        for (int pass = 0; pass < 4; ++pass) {
            QuorvelTest::SyntheticRender r;
            r.frame = frame;
            r.eye = pass == 1 ? 2 : 1;
            r.fillHoleCount = pass < 2 ? 0 : static_cast<uint64_t>(pass);
            r.samples = 200;
            r.width = 48;
            r.height = 32;
            r.seed = static_cast<uint32_t>(frame * 7 + pass);
            ASSERT_TRUE(QuorvelTest::writeSyntheticRenderFile(
                input / ("f" + std::to_string(frame) + "_p" + std::to_string(pass) + ".qvlrender"), r));
        }
    const auto before = QuorvelTest::treeBytes(input);
    for (const char* out : {"single", "a", "b"})
        fs::create_directories(dir / out);

    const ProcessResult single =
        runProcess({QUORVEL_MERGER_EXECUTABLE, input.string(), "--output", (dir / "single" / "s_#.qvl").string()});
    ASSERT_EQ(single.exitCode, 0) << single.describe();

    const Started a = start({QUORVEL_MERGER_EXECUTABLE, input.string(), "--output", (dir / "a" / "s_#.qvl").string()},
                            dir / "a_log");
    const Started b = start({QUORVEL_MERGER_EXECUTABLE, input.string(), "--output", (dir / "b" / "s_#.qvl").string()},
                            dir / "b_log");
    ASSERT_GT(a.pid, 0);
    ASSERT_GT(b.pid, 0);
    const ProcessResult ra = finish(a);
    const ProcessResult rb = finish(b);
    for (const ProcessResult* r : {&ra, &rb}) {
        expectSound(*r);
        EXPECT_EQ(r->exitCode, 0) << r->describe();
        EXPECT_NE(r->out.find("Success ! Closing Quorvel Merger. \n"), std::string::npos) << r->describe();
    }
    for (int frame = 1; frame <= 4; ++frame) {
        SCOPED_TRACE(frame);
        const std::string reference = fileBytes(frameFile(dir / "single", "s_", frame));
        ASSERT_GT(reference.size(), 200u);
        const QuorvelTest::Bytes parsed = QuorvelTest::readFile(frameFile(dir / "single", "s_", frame));
        EXPECT_EQ(std::string(parsed.data.begin(), parsed.data.begin() + 8), std::string("\x82QVL=\n$\n", 8));
        EXPECT_GT(parsed.u32(12), 0u);
        EXPECT_TRUE(fileBytes(frameFile(dir / "a", "s_", frame)) == reference);
        EXPECT_TRUE(fileBytes(frameFile(dir / "b", "s_", frame)) == reference);
    }
    // Nothing but the four files in each output directory (no temporary
    // left behind), and the input as it was.
    for (const char* out : {"a", "b"})
        EXPECT_EQ(std::distance(fs::directory_iterator(dir / out), fs::directory_iterator()), 4) << out;
    EXPECT_TRUE(QuorvelTest::treeBytes(input) == before);
}

} // namespace
