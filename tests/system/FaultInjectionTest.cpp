#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "support/PhaseFileBytes.h"
#include "support/Subprocess.h"
#include "support/TempDir.h"

// Writes that fail in the tools as users run them: a full disk (a file-size
// limit on the process), an output folder that cannot be used, files replaced
// while a shot is under way. Tests may run as root, which writes into
// read-only folders, so an unusable folder is one whose parent is a regular
// file.
namespace {

namespace fs = std::filesystem;
using QuorvelTest::ProcessOptions;
using QuorvelTest::ProcessResult;
using QuorvelTest::runProcess;
using QuorvelTest::TempDir;

std::string bytesOf(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every regular file below the folder, relative to it.
std::vector<std::string> filesBelow(const fs::path& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (entry.is_regular_file())
            names.push_back(fs::relative(entry.path(), folder).string());
    std::sort(names.begin(), names.end());
    return names;
}

// The files a run leaves in an output folder: the same names as before it.
void expectOnly(const fs::path& folder, std::vector<std::string> names)
{
    std::sort(names.begin(), names.end());
    EXPECT_EQ(filesBelow(folder), names) << folder;
}

// One phase of frame 1 of the tiny scene through the host and the plug-in,
// on one render thread so that two runs give the same plaques and samples.
std::vector<std::string> hostPhase(int phase, const fs::path& detectionFile, const fs::path& outputFile)
{
    const auto quoted = [](const fs::path& p) { return "\"" + p.string() + "\""; };
    return {QUORVEL_HOST_EXECUTABLE,
            "--plugin",
            QUORVEL_PLUGIN_LIBRARY,
            "--threads",
            "1",
            "--quiet",
            std::string(QUORVEL_EXAMPLES_DIR) + "/tiny/tiny.json",
            "--set",
            "SettingsOutput.frame_end=1",
            "--set",
            "SettingsOutput.img_file_needFrameNumber=false",
            "--set",
            "SettingsQuorvel.phase_mode=" + std::to_string(phase),
            "--set",
            "SettingsQuorvel.detect_file=" + quoted(detectionFile),
            "--set",
            "SettingsOutput.img_dir=" + quoted(outputFile.parent_path()),
            "--set",
            "SettingsOutput.img_file=" + quoted(outputFile.filename())};
}

// The merger writes frame 1 of the pattern `folder/tiny_#.qvl` to `folder/tiny_0001.qvl`.
std::vector<std::string> merger(const fs::path& input, const fs::path& outputFolder)
{
    return {QUORVEL_MERGER_EXECUTABLE, input.string(), "--output", (outputFolder / "tiny_#.qvl").string(), "-x",
            "-l", "1"};
}

// The files of one frame, made as a user makes them; the fault cases
// compare their outcome with these. Making them takes seconds (tens under
// the sanitizers) and CTest runs every test in a process of its own, so the
// first process makes them, under a lock, in a folder beside this program
// that the others reuse while the tools stay the same builds.
struct Shot {
    fs::path root;
    fs::path detection;
    fs::path render;
    fs::path finalView;
    bool made = false;
};

// The build times and sizes of the tools, the core they load and the scene:
// a change to any of them makes the shot again.
std::string toolStamp()
{
    std::string stamp;
    const std::string scene = std::string(QUORVEL_EXAMPLES_DIR) + "/tiny/tiny.json";
    for (const std::string& tool : {std::string(QUORVEL_HOST_EXECUTABLE), std::string(QUORVEL_PLUGIN_LIBRARY),
                                    std::string(QUORVEL_MERGER_EXECUTABLE), std::string(QUORVEL_CORE_LIBRARY), scene}) {
        std::error_code ec;
        const auto time = fs::last_write_time(tool, ec).time_since_epoch().count();
        stamp += std::to_string(time) + " " + std::to_string(fs::file_size(tool, ec)) + "\n";
    }
    return stamp;
}

bool makeShot(Shot& s)
{
    fs::remove_all(s.root);
    fs::create_directories(s.root / "render");
    const ProcessResult detect = runProcess(hostPhase(0, s.detection, s.detection));
    EXPECT_EQ(detect.exitCode, 0) << detect.describe();
    const ProcessResult render = runProcess(hostPhase(1, s.detection, s.render));
    EXPECT_EQ(render.exitCode, 0) << render.describe();
    const ProcessResult merge = runProcess(merger(s.root / "render", s.root));
    EXPECT_EQ(merge.exitCode, 0) << merge.describe();
    return fs::is_regular_file(s.detection) && fs::is_regular_file(s.render) && fs::is_regular_file(s.finalView);
}

const Shot& shot()
{
    static TempDir own;
    static Shot s;
    static bool tried = false;
    if (tried)
        return s;
    tried = true;
    std::error_code ec;
    const fs::path shared = fs::read_symlink("/proc/self/exe", ec).parent_path() / "fault_injection_shot";
    const int lock = ec ? -1 : ::open((shared.string() + ".lock").c_str(), O_CREAT | O_RDWR, 0644);
    // A build tree this user cannot write to: a shot of this process's own.
    s.root = lock >= 0 && ::flock(lock, LOCK_EX) == 0 ? shared : own.path() / "shot";
    s.detection = s.root / "detect.qvl";
    s.render = s.root / "render" / "tiny.qvl";
    s.finalView = s.root / "tiny_0001.qvl";
    const std::string stamp = toolStamp();
    const fs::path stampFile = s.root / "tools";
    s.made = bytesOf(stampFile) == stamp && fs::is_regular_file(s.detection) && fs::is_regular_file(s.render) &&
             fs::is_regular_file(s.finalView);
    if (!s.made) {
        s.made = makeShot(s);
        if (s.made)
            std::ofstream(stampFile, std::ios::binary) << stamp;
    }
    if (lock >= 0)
        ::close(lock);
    return s;
}

// A folder without write permission, for runs that are not root (root
// writes there all the same).
std::function<fs::path(const fs::path&)> readOnlyFolder(const std::string& name)
{
    return [name](const fs::path& d) {
        fs::create_directories(d / "read-only");
        fs::permissions(d / "read-only", fs::perms::owner_read | fs::perms::owner_exec);
        return d / "read-only" / name;
    };
}

bool mentions(const ProcessResult& run, const std::string& text)
{
    return run.out.find(text) != std::string::npos || run.err.find(text) != std::string::npos;
}

// The core's files as the host writes them through the plug-in. A render
// whose file cannot be written ends with status 3 and an error naming the
// file; the data goes to a recovery file when one can be written, and is
// the data a good run writes.
TEST(FaultInjection, HostPhaseFilesThatCannotBeWritten)
{
    const Shot& s = shot();
    ASSERT_TRUE(s.made);
    const uintmax_t renderSize = fs::file_size(s.render);

    struct Case {
        const char* name;
        int phase;
        // Prepares the case folder; returns the file the phase is asked to write.
        std::function<fs::path(const fs::path&)> prepare;
        std::optional<rlim_t> fileSizeLimit;
        const char* recovery; // relative to the case folder; empty when the data cannot be kept
    };
    // The detection phase takes seconds, the render phase a fraction of one:
    // one detection case shows that both phases share the same handling.
    std::vector<Case> cases = {
        {"missing folder", 1,
         [](const fs::path& d) {
             std::ofstream(d / "blocker") << "a file, not a folder";
             return d / "blocker" / "out" / "render.qvl";
         },
         std::nullopt, "tmp/quorvel-recovery/render.qvl.recovered"},
        {"name taken by a folder", 0,
         [](const fs::path& d) {
             fs::create_directories(d / "detect.qvl" / "inside");
             return d / "detect.qvl";
         },
         std::nullopt, "detect.qvl.recovered"},
        {"full disk over an earlier file", 1,
         [&](const fs::path& d) {
             fs::copy_file(s.render, d / "render.qvl");
             return d / "render.qvl";
         },
         rlim_t(renderSize / 4), ""},
    };
    if (::geteuid() != 0)
        cases.push_back({"read-only folder", 1, readOnlyFolder("render.qvl"), std::nullopt,
                         "tmp/quorvel-recovery/render.qvl.recovered"});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        fs::create_directories(dir / "tmp");
        const fs::path target = c.prepare(dir.path());
        const std::vector<std::string> before = filesBelow(dir.path());
        const std::string earlier = fs::is_regular_file(target) ? bytesOf(target) : std::string();

        ProcessOptions options;
        options.fileSizeLimit = c.fileSizeLimit;
        options.environment = {{"TMPDIR", (dir / "tmp").string()}};
        // A detection phase is pointed at its own output, as scripts/render.sh does.
        const ProcessResult run =
            runProcess(hostPhase(c.phase, c.phase == 0 ? target : s.detection, target), options);
        EXPECT_EQ(run.exitCode, 3) << run.describe();
        EXPECT_TRUE(mentions(run, target.string())) << run.describe();
        EXPECT_FALSE(mentions(run, "wrote render file")) << run.describe();
        if (!earlier.empty()) {
            EXPECT_EQ(bytesOf(target), earlier);
        } else {
            EXPECT_FALSE(fs::is_regular_file(target));
        }

        std::vector<std::string> after = before;
        if (*c.recovery) {
            after.push_back(c.recovery);
            QuorvelTest::expectSamePhaseData((c.phase == 0 ? s.detection : s.render).string(),
                                             (dir / c.recovery).string());
        } else {
            EXPECT_TRUE(mentions(run, "could not be saved to a recovery file either")) << run.describe();
        }
        expectOnly(dir.path(), after);
    }
}

// quorvel_host's own picture, for a scene rendered without the plug-in: a
// picture that cannot be written fails the render (status 3), is never
// reported as written, and leaves the earlier picture whole.
TEST(FaultInjection, HostPicturesThatCannotBeWritten)
{
    const auto render = [](const fs::path& folder, std::optional<rlim_t> limit) {
        ProcessOptions options;
        options.fileSizeLimit = limit;
        return runProcess({QUORVEL_HOST_EXECUTABLE, "--threads", "1", std::string(QUORVEL_EXAMPLES_DIR) + "/room/room.json",
                           "--set", "SettingsOutput.img_dir=\"" + folder.string() + "\"", "--set",
                           "SettingsOutput.img_width=160", "--set", "SettingsOutput.img_height=120"},
                          options);
    };
    TempDir good;
    const ProcessResult first = render(good.path(), std::nullopt);
    ASSERT_EQ(first.exitCode, 0) << first.describe();
    const fs::path picture = good / "room.png";
    ASSERT_TRUE(fs::is_regular_file(picture));

    struct Case {
        const char* name;
        std::function<fs::path(const fs::path&)> prepare; // returns the picture's path
        std::optional<rlim_t> fileSizeLimit;
    };
    std::vector<Case> cases = {
        {"missing folder",
         [](const fs::path& d) {
             std::ofstream(d / "blocker") << "a file, not a folder";
             return d / "blocker" / "room.png";
         },
         std::nullopt},
        {"name taken by a folder",
         [](const fs::path& d) {
             fs::create_directories(d / "room.png" / "inside");
             return d / "room.png";
         },
         std::nullopt},
        {"full disk over an earlier picture",
         [&](const fs::path& d) {
             fs::copy_file(picture, d / "room.png");
             return d / "room.png";
         },
         rlim_t(fs::file_size(picture) / 2)},
    };
    if (::geteuid() != 0)
        cases.push_back({"read-only folder", readOnlyFolder("room.png"), std::nullopt});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const fs::path target = c.prepare(dir.path());
        const std::vector<std::string> before = filesBelow(dir.path());
        const std::string earlier = fs::is_regular_file(target) ? bytesOf(target) : std::string();
        const ProcessResult run = render(target.parent_path(), c.fileSizeLimit);
        EXPECT_EQ(run.exitCode, 3) << run.describe();
        EXPECT_TRUE(mentions(run, "cannot write the image \"" + target.string() + "\"")) << run.describe();
        EXPECT_FALSE(mentions(run, "wrote " + target.string())) << run.describe();
        if (!earlier.empty()) {
            EXPECT_EQ(bytesOf(target), earlier);
        }
        expectOnly(dir.path(), before);
    }
}

// The detection file replaced between the phases: the render phase fails
// with the file's name, and the render file written before stays whole.
TEST(FaultInjection, HostRenderPhaseWithItsDetectionFileReplaced)
{
    const Shot& s = shot();
    ASSERT_TRUE(s.made);
    const std::string whole = bytesOf(s.detection);
    const struct {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"truncated", whole.substr(0, whole.size() / 2)},
        {"foreign", "P6\n1 1\n255\nabc"},
        {"final view file", bytesOf(s.finalView)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const fs::path detection = dir / "detect.qvl";
        std::ofstream(detection, std::ios::binary) << c.bytes;
        const fs::path target = dir / "render.qvl";
        fs::copy_file(s.render, target);
        const ProcessResult run = runProcess(hostPhase(1, detection, target));
        EXPECT_EQ(run.exitCode, 3) << run.describe();
        EXPECT_TRUE(mentions(run, detection.string())) << run.describe();
        EXPECT_FALSE(mentions(run, "wrote render file")) << run.describe();
        EXPECT_EQ(bytesOf(target), bytesOf(s.render));
        const std::vector<std::string> left = filesBelow(dir.path());
        EXPECT_TRUE(std::none_of(left.begin(), left.end(),
                                 [](const std::string& n) { return n.find(".tmp") != std::string::npos; }));
    }
}

// The final view file: every failed write fails the run (status 1) with the
// path in the message, and leaves no partial file and the earlier file whole.
TEST(FaultInjection, MergerFinalViewFilesThatCannotBeWritten)
{
    const Shot& s = shot();
    ASSERT_TRUE(s.made);
    const uintmax_t finalSize = fs::file_size(s.finalView);
    struct Case {
        const char* name;
        std::function<fs::path(const fs::path&)> prepare;
        std::optional<rlim_t> fileSizeLimit;
        int code;
        int reason; // the errno the system gives
    };
    std::vector<Case> cases = {
        {"missing folder",
         [](const fs::path& d) {
             std::ofstream(d / "blocker") << "a file, not a folder";
             return d / "blocker" / "tiny_0001.qvl";
         },
         std::nullopt, -7, ENOTDIR},
        {"name taken by a folder",
         [](const fs::path& d) {
             fs::create_directories(d / "tiny_0001.qvl" / "inside");
             return d / "tiny_0001.qvl";
         },
         std::nullopt, -8, EISDIR},
        // The file-size limit fails writes with EFBIG, as a full disk does
        // with ENOSPC.
        {"full disk over an earlier file",
         [&](const fs::path& d) {
             fs::copy_file(s.finalView, d / "tiny_0001.qvl");
             return d / "tiny_0001.qvl";
         },
         rlim_t(finalSize / 2), -8, EFBIG},
    };
    if (::geteuid() != 0)
        cases.push_back({"read-only folder", readOnlyFolder("tiny_0001.qvl"), std::nullopt, -7, EACCES});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const fs::path target = c.prepare(dir.path());
        const std::vector<std::string> before = filesBelow(dir.path());
        const std::string earlier = fs::is_regular_file(target) ? bytesOf(target) : std::string();
        ProcessOptions options;
        options.fileSizeLimit = c.fileSizeLimit;
        const ProcessResult run = runProcess(merger(s.root / "render", target.parent_path()), options);
        EXPECT_EQ(run.exitCode, 1) << run.describe();
        EXPECT_TRUE(mentions(run, "An error(" + std::to_string(c.code) + ") occured during the writing process of " +
                                      target.string() + "\n"))
            << run.describe();
        // The path and the system's reason, said plainly.
        EXPECT_TRUE(mentions(run, "Writing " + target.string() + " failed: "));
        EXPECT_TRUE(mentions(run, std::string(": ") + std::strerror(c.reason) + ".\n")) << run.describe();
        EXPECT_FALSE(mentions(run, "file wrote")) << run.describe();
        EXPECT_TRUE(mentions(run, "Somthing went wrong drong the process...Closing Quorvel Merger. \n"))
            << run.describe();
        if (!earlier.empty()) {
            EXPECT_EQ(bytesOf(target), earlier);
        }
        expectOnly(dir.path(), before);
    }
}

// quorvel_view's picture into a folder it cannot use. (A full disk under the
// picture is tested in-process with the viewer's command.)
TEST(FaultInjection, ViewPicturesThatCannotBeWritten)
{
    const Shot& s = shot();
    ASSERT_TRUE(s.made);
    struct Case {
        const char* name;
        std::function<fs::path(const fs::path&)> prepare;
    };
    std::vector<Case> cases = {
        {"missing folder",
         [](const fs::path& d) {
             std::ofstream(d / "blocker") << "a file, not a folder";
             return d / "blocker" / "view.png";
         }},
        {"name taken by a folder",
         [](const fs::path& d) {
             fs::create_directories(d / "view.png" / "inside");
             return d / "view.png";
         }},
    };
    if (::geteuid() != 0)
        cases.push_back({"read-only folder", readOnlyFolder("view.png")});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const fs::path target = c.prepare(dir.path());
        const std::vector<std::string> before = filesBelow(dir.path());
        const ProcessResult run =
            runProcess({QUORVEL_VIEW_EXECUTABLE, s.finalView.string(), "--size", "64x64", "-o", target.string()});
        EXPECT_EQ(run.exitCode, 1) << run.describe();
        EXPECT_EQ(run.err, "quorvel_view: " + target.string() + ": cannot write the picture\n") << run.describe();
        expectOnly(dir.path(), before);
    }
}

} // namespace
