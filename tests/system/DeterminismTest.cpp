// The same scene with the same settings gives the same files, whatever the
// number of render threads and however they were scheduled: the tiny scene
// through quorvel_host and quorvel_merger on 1, 2 and 8 threads, twice
// each. The name holds "Threaded" so that CI also runs it under
// ThreadSanitizer.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/Subprocess.h"
#include "support/SystemFixtures.h"
#include "support/TempDir.h"
#include "support/TinyScene.h"

namespace {

namespace fs = std::filesystem;
using QuorvelTest::fileBytes;
using QuorvelTest::ProcessResult;
using QuorvelTest::runProcess;
using QuorvelTest::TempDir;

// The scene's 312 x 208 pixels (the smallest detection image) in buckets of
// 32: 70 buckets, enough for threads to overtake each other.
ProcessResult hostPhase(const fs::path& scene, int phase, int threads, const fs::path& dir)
{
    const fs::path out = dir / (phase == 0 ? "detect" : "render");
    fs::create_directories(out);
    std::vector<std::string> arguments = {QUORVEL_HOST_EXECUTABLE, "--quiet", "--plugin", QUORVEL_PLUGIN_LIBRARY,
                                          "--threads", std::to_string(threads)};
    for (const std::string& setting :
         {"quorvel.phase_mode=" + std::to_string(phase), "quorvel.detect_file=\"" + (dir / "detect" / "d_#.qvl").string() + "\"",
          "output.img_dir=\"" + out.string() + "\"", std::string("output.img_file=\"") + (phase == 0 ? "d" : "r") + "_#.qvl\""}) {
        arguments.push_back("--set");
        arguments.push_back(setting);
    }
    arguments.push_back(scene.string());
    return runProcess(arguments);
}

// Every file the run left, by its path below the run's folder.
std::map<std::string, std::string> runFiles(const fs::path& dir)
{
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir))
        if (entry.is_regular_file())
            files[fs::relative(entry.path(), dir).string()] = fileBytes(entry.path());
    return files;
}

TEST(DeterminismThreaded, TinySceneGivesTheSameFilesOnOneTwoAndEightThreads)
{
    TempDir dir;
    const fs::path scene = dir / "tiny.json";
    QuorvelTest::writeFileBytes(scene, QuorvelTest::tinyEndToEndScene(true));

    std::map<std::string, std::map<std::string, std::string>> runs;
    for (const int threads : {1, 2, 8})
        for (const int take : {1, 2}) {
            const std::string name = std::to_string(threads) + " threads, run " + std::to_string(take);
            const fs::path run = dir / ("t" + std::to_string(threads) + "_" + std::to_string(take));
            for (const int phase : {0, 1}) {
                const ProcessResult host = hostPhase(scene, phase, threads, run);
                ASSERT_EQ(host.exitCode, 0) << name << "\n" << host.describe();
            }
            fs::create_directories(run / "final");
            const ProcessResult merge = runProcess({QUORVEL_MERGER_EXECUTABLE, (run / "render").string(), "--output",
                                                    (run / "final" / "f_#.qvl").string()});
            ASSERT_EQ(merge.exitCode, 0) << name << "\n" << merge.describe();
            runs[name] = runFiles(run);
        }

    const auto& [firstName, first] = *runs.begin();
    for (const char* expected : {"detect/d_0001.qvl", "render/r_0001.qvl", "final/f_0001.qvl"})
        EXPECT_EQ(first.count(expected), 1u) << firstName << " wrote no " << expected;
    for (const auto& [name, files] : runs) {
        std::vector<std::string> names, firstNames;
        for (const auto& file : files)
            names.push_back(file.first);
        for (const auto& file : first)
            firstNames.push_back(file.first);
        EXPECT_EQ(names, firstNames) << name << " against " << firstName;
        for (const auto& [path, bytes] : files) {
            const auto other = first.find(path);
            if (other != first.end()) {
                EXPECT_TRUE(bytes == other->second) << path << " of " << name << " differs from " << firstName;
            }
        }
    }
}

} // namespace
