#include "foundation/Logger.h"
#include "foundation/LoggerInternal.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/FileSizeLimit.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <latch>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace Quorvel::Logger;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

struct Received {
    LogLevel level;
    std::string text;
};

void collect(const LogLevel& level, const char* text, void* userData)
{
    static_cast<std::vector<Received>*>(userData)->push_back({level, text});
}

std::string readFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Puts the logger back to its load-time defaults around every test, so the
// tests also hold when the whole program runs in one process.
class LoggerTest : public testing::Test {
protected:
    void SetUp() override { restoreDefaults(); }
    void TearDown() override { restoreDefaults(); }

    static void restoreDefaults()
    {
        Quorvel::Logger::detail::closeLogFile();
        QvSetConsoleLogLevel(TRACE);
        QvSetCallBackLogLevel(-1, nullptr, nullptr);
        QvSetCallbackCarriageReturnMode(StripTrailingNewline);
        QvSetDateHeader(false);
        QvSetLogLevelHeader(true);
        QvHeaderEnable(true);
    }

    void listen(int32_t level, int32_t mode)
    {
        QvSetCallbackCarriageReturnMode(mode);
        QvSetCallBackLogLevel(level, &collect, &received);
    }

    std::string receivedText() const
    {
        std::string all;
        for (const auto& r : received)
            all += r.text;
        return all;
    }

    std::filesystem::path tempPath(const std::string& name) const
    {
        return std::filesystem::temp_directory_path() /
               (name + "_" + std::to_string(::getpid()) + ".log");
    }

    std::vector<Received> received;
};

TEST_F(LoggerTest, DefaultsSendInfoToConsoleOnlyWithLevelHeader)
{
    CaptureStdout();
    QvOutputLogString(INFO, "value %d and %s\n", 7, "text");
    EXPECT_EQ(GetCapturedStdout(), "[INFO] value 7 and text\n");
}

TEST_F(LoggerTest, HeaderSwitches)
{
    CaptureStdout();
    QvSetDateHeader(true);
    QvOutputLogCStr(WARNING, "dated\n");
    QvSetLogLevelHeader(false);
    QvOutputLogCStr(WARNING, "date only\n");
    QvSetLogLevelHeader(true);
    QvHeaderEnable(false);
    QvOutputLogCStr(WARNING, "bare\n");
    const std::string out = GetCapturedStdout();

    EXPECT_THAT(out, testing::MatchesRegex(
                         "\\[[0-9][0-9]-[0-9][0-9]-[0-9]+ [0-9][0-9]:[0-9][0-9]:[0-9][0-9]\\] \\[WARNING\\] dated\n"
                         "\\[[0-9][0-9]-[0-9][0-9]-[0-9]+ [0-9][0-9]:[0-9][0-9]:[0-9][0-9]\\] date only\n"
                         "bare\n"));
}

TEST_F(LoggerTest, LevelNamesAndThresholdsPerSink)
{
    listen(INFO, Unchanged);
    QvSetConsoleLogLevel(WARNING);
    CaptureStdout();
    const LogLevel levels[] = {ERROR, WARNING, INFO, DEBUG, TRACE};
    for (LogLevel level : levels)
        QvOutputLogCStr(level, "m\n");
    EXPECT_EQ(GetCapturedStdout(), "[ERROR] m\n[WARNING] m\n");
    ASSERT_EQ(received.size(), 3u);
    EXPECT_EQ(received[0].text, "[ERROR] m\n");
    EXPECT_EQ(received[1].text, "[WARNING] m\n");
    EXPECT_EQ(received[2].text, "[INFO] m\n");
    EXPECT_EQ(received[2].level, INFO);

    received.clear();
    QvSetConsoleLogLevel(TRACE);
    listen(TRACE, Unchanged);
    CaptureStdout();
    QvOutputLogCStr(DEBUG, "d\n");
    QvOutputLogCStr(TRACE, "t\n");
    EXPECT_EQ(GetCapturedStdout(), "[DEBUG] d\n[TRACE] t\n");
    EXPECT_EQ(receivedText(), "[DEBUG] d\n[TRACE] t\n");
}

TEST_F(LoggerTest, CallbackCarriageReturnModes)
{
    struct Case {
        int32_t mode;
        const char* message;
        const char* expected;
    };
    const Case cases[] = {
        {StripTrailingNewline, "line\n", "line"},
        {StripTrailingNewline, "line", "line"},
        {StripTrailingNewline, "two\n\n", "two\n"},
        {EnsureTrailingNewline, "line", "line\n"},
        {EnsureTrailingNewline, "line\n", "line\n"},
        {EnsureTrailingNewline, "", ""},
        {Unchanged, "line\n", "line\n"},
        {7, "line", "line"},
    };
    QvHeaderEnable(false);
    QvSetConsoleLogLevel(-1);
    for (const Case& c : cases) {
        received.clear();
        listen(TRACE, c.mode);
        QvOutputLogCStr(INFO, c.message);
        ASSERT_EQ(received.size(), 1u) << "mode " << c.mode;
        EXPECT_EQ(received[0].text, c.expected) << "mode " << c.mode << " message '" << c.message << "'";
    }
}

TEST_F(LoggerTest, LongMessagesAreCutForCallbackButNotForConsole)
{
    const std::string longText(5000, 'x');
    QvHeaderEnable(false);

    listen(TRACE, StripTrailingNewline);
    CaptureStdout();
    QvOutputLogCStr(INFO, longText.c_str());
    EXPECT_EQ(GetCapturedStdout(), longText);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].text, std::string(4096, 'x'));

    received.clear();
    listen(TRACE, EnsureTrailingNewline);
    QvSetConsoleLogLevel(-1);
    QvOutputLogCStr(INFO, longText.c_str());
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].text, std::string(4096, 'x') + "\n");

    // The header counts toward the cut.
    received.clear();
    QvHeaderEnable(true);
    listen(TRACE, StripTrailingNewline);
    QvOutputLogCStr(INFO, longText.c_str());
    EXPECT_EQ(received[0].text, "[INFO] " + std::string(4096 - 7, 'x'));
}

TEST_F(LoggerTest, FormattedMessagesAreCutAt10239Characters)
{
    const std::string longText(12000, 'y');
    QvHeaderEnable(false);
    QvSetConsoleLogLevel(-1);
    listen(TRACE, Unchanged);
    QvOutputLogString(INFO, "%s", longText.c_str());
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].text, std::string(10239, 'y'));
}

TEST_F(LoggerTest, SetConsoleTrueDoesNotReenableTheConsole)
{
    CaptureStdout();
    QvSetConsole(false);
    QvSetConsole(true);
    QvOutputLogCStr(ERROR, "silent\n");
    QvSetConsoleLogLevel(ERROR);
    QvOutputLogCStr(ERROR, "back\n");
    EXPECT_EQ(GetCapturedStdout(), "[ERROR] back\n");
}

TEST_F(LoggerTest, FileSinkOpeningRelevelingAndItsDirectMessages)
{
    const auto path = tempPath("quorvel_logger_file");
    const auto other = tempPath("quorvel_logger_other");
    std::filesystem::remove(path);
    QvSetConsoleLogLevel(-1);

    CaptureStdout();
    QvSetFileLogLevel(INFO, nullptr, "w");
    EXPECT_EQ(GetCapturedStdout(), "A file path is required to enable file logging.");

    CaptureStdout();
    QvSetFileLogLevel(INFO, "/nonexistent-dir/quorvel.log", "w");
    EXPECT_EQ(GetCapturedStdout(), "Could not open file for logging /nonexistent-dir/quorvel.log.");

    QvSetFileLogLevel(INFO, path.c_str(), "w");
    QvOutputLogCStr(INFO, "kept\n");
    QvOutputLogCStr(DEBUG, "too verbose\n");
    EXPECT_EQ(readFile(path), "[INFO] kept\n"); // flushed after every message

    CaptureStdout();
    QvSetFileLogLevel(TRACE, other.c_str(), "w");
    EXPECT_EQ(GetCapturedStdout(), "Disable the file log first before opening a new file to log to.");
    EXPECT_FALSE(std::filesystem::exists(other));

    QvSetFileLogLevel(TRACE, nullptr, nullptr); // re-level the open file
    QvOutputLogCStr(DEBUG, "now verbose\n");
    QvSetFileLogLevel(-1, nullptr, nullptr); // silenced, still open
    QvOutputLogCStr(ERROR, "dropped\n");
    EXPECT_EQ(readFile(path), "[INFO] kept\n[DEBUG] now verbose\n");
    std::filesystem::remove(path);
}

// A full disk under the log file: the messages still reach the other sinks,
// and the failure is told there once, naming the file. (The console is
// silenced: a captured standard output would be under the same limit.)
TEST_F(LoggerTest, AFullDiskUnderTheLogFileIsToldOnceOnTheOtherSinks)
{
    const auto path = tempPath("quorvel_logger_full");
    std::filesystem::remove(path);
    QvSetConsoleLogLevel(-1);
    listen(TRACE, Unchanged);
    QvSetFileLogLevel(TRACE, path.c_str(), "w");
    QvOutputLogCStr(INFO, "fits\n");
    {
        const QuorvelTest::FileSizeLimit fullDisk(20);
        QvOutputLogCStr(INFO, "does not fit any more\n");
        QvOutputLogCStr(ERROR, "nor does this\n");
    }
    const std::string warning =
        "[WARNING] [Quorvel] Writing the log file " + path.string() + " failed; later messages may be missing from it.\n";
    ASSERT_EQ(received.size(), 4u);
    EXPECT_EQ(received[2].level, WARNING);
    EXPECT_EQ(receivedText(), "[INFO] fits\n[INFO] does not fit any more\n" + warning + "[ERROR] nor does this\n");
    const std::string kept = readFile(path);
    EXPECT_EQ(kept.rfind("[INFO] fits\n", 0), 0u) << kept;
    EXPECT_LE(kept.size(), 20u);
    std::filesystem::remove(path);
}

TEST_F(LoggerTest, UnloadEndsTheLogFileWithANewline)
{
    const auto path = tempPath("quorvel_logger_unload");
    std::filesystem::remove(path);
    std::fflush(stdout);
    const pid_t child = ::fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        QvSetConsoleLogLevel(-1);
        QvSetFileLogLevel(INFO, path.c_str(), "w");
        QvOutputLogCStr(INFO, "last words");
        std::exit(0); // runs the library's static destructors
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(readFile(path), "[INFO] last words\n");
    std::filesystem::remove(path);
}

TEST_F(LoggerTest, ConcurrentMessagesNeverInterleaveInsideASink)
{
    const auto path = tempPath("quorvel_logger_threads");
    std::filesystem::remove(path);
    QvSetFileLogLevel(INFO, path.c_str(), "w");
    listen(INFO, Unchanged);

    constexpr int kThreads = 6;
    constexpr int kMessages = 200;
    auto line = [](int thread, int i) {
        return "thread " + std::to_string(thread) + " message " + std::to_string(i) + " " +
               std::string(300, static_cast<char>('a' + thread)) + "\n";
    };

    CaptureStdout();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t, &line] {
            for (int i = 0; i < kMessages; ++i)
                QvOutputLogString(INFO, "%s", line(t, i).c_str());
        });
    for (auto& thread : threads)
        thread.join();
    const std::string console = GetCapturedStdout();
    QvSetFileLogLevel(-1, nullptr, nullptr);

    std::multiset<std::string> expected;
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kMessages; ++i)
            expected.insert("[INFO] " + line(t, i));

    auto splitLines = [](const std::string& text) {
        std::multiset<std::string> lines;
        std::istringstream in(text);
        for (std::string l; std::getline(in, l);)
            lines.insert(l + "\n");
        return lines;
    };
    std::multiset<std::string> fromCallback;
    for (const auto& r : received)
        fromCallback.insert(r.text);

    EXPECT_EQ(fromCallback, expected);
    EXPECT_EQ(splitLines(console), expected);
    EXPECT_EQ(splitLines(readFile(path)), expected);
    std::filesystem::remove(path);
}

class ProgressTest : public LoggerTest {
protected:
    void SetUp() override
    {
        LoggerTest::SetUp();
        QvSetConsoleLogLevel(-1);
        listen(INFO, Unchanged);
    }
};

TEST_F(ProgressTest, SixtyOneStepsPrintADashEverySecondCall)
{
    QvResetprogress(61);
    EXPECT_EQ(receivedText(), "[INFO]  |");

    received.clear();
    for (int i = 0; i < 61; ++i)
        QvIncreaseprogress();
    EXPECT_EQ(receivedText(), std::string(30, '-'));

    received.clear();
    QvSetDoneProgression();
    EXPECT_EQ(receivedText(), std::string(32, '-') + "| Done\n");

    received.clear();
    QvIncreaseprogress();
    QvSetDoneProgression();
    EXPECT_TRUE(received.empty());

    // The header is switched off only while the bar is drawn.
    QvOutputLogCStr(INFO, "after\n");
    EXPECT_EQ(receivedText(), "[INFO] after\n");
}

TEST_F(ProgressTest, SmallTotalsPrintOneDashPerCallAndLeaveDoneToTheCaller)
{
    QvResetprogress(10);
    received.clear();
    for (int i = 0; i < 10; ++i)
        QvIncreaseprogress();
    EXPECT_EQ(receivedText(), std::string(10, '-'));

    received.clear();
    for (int i = 0; i < 5; ++i)
        QvIncreaseprogress();
    EXPECT_TRUE(received.empty());

    QvSetDoneProgression();
    // The silent calls still advanced the bar: 61 - 15 + 1 dashes remain.
    EXPECT_EQ(receivedText(), std::string(47, '-') + "| Done\n");
}

TEST_F(ProgressTest, LargeTotalsFinishByThemselvesOnceTheCountPassesTheTotal)
{
    QvResetprogress(100);
    received.clear();
    for (int i = 0; i < 102; ++i)
        QvIncreaseprogress();
    const std::string text = receivedText();
    ASSERT_GE(text.size(), 7u);
    EXPECT_EQ(text.substr(text.size() - 7), "| Done\n");
    EXPECT_EQ(std::count(text.begin(), text.end(), '-'), 50);

    received.clear();
    QvSetDoneProgression();
    QvIncreaseprogress();
    EXPECT_TRUE(received.empty());
}

TEST_F(ProgressTest, IncrementsBeforeAnyResetPrintNothing)
{
    QvIncreaseprogress();
    QvSetDoneProgression();
    EXPECT_TRUE(received.empty());
}

// Bars drawn by several threads at once must neither strip the header from
// other threads' messages nor leave it switched off afterwards.
TEST_F(ProgressTest, ConcurrentBarsKeepTheHeaderOfEveryOtherMessage)
{
    constexpr int kBarThreads = 8;
    constexpr int kIncrements = 1000;
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        received.clear();
        QvResetprogress(kBarThreads * kIncrements / 2);
        std::latch start(kBarThreads + 1);
        std::atomic<int> barsRunning{kBarThreads};
        std::vector<std::thread> threads;
        for (int t = 0; t < kBarThreads; ++t)
            threads.emplace_back([t, &start, &barsRunning] {
                start.arrive_and_wait();
                for (int i = 0; i < kIncrements; ++i)
                    QvIncreaseprogress();
                if (t % 2 == 0)
                    QvSetDoneProgression();
                --barsRunning;
            });
        // Messages of another thread all the while the bars are drawn.
        threads.emplace_back([&start, &barsRunning] {
            start.arrive_and_wait();
            // At least one, however soon the bars are done.
            do
                QvOutputLogCStr(WARNING, "ping\n");
            while (barsRunning > 0);
        });
        for (auto& thread : threads)
            thread.join();
        QvOutputLogCStr(INFO, "after\n");

        int pings = 0;
        for (const auto& r : received) {
            if (r.level == WARNING) {
                EXPECT_EQ(r.text, "[WARNING] ping\n");
                ++pings;
            } else if (r.text != "[INFO] after\n") {
                EXPECT_TRUE(r.text == "[INFO]  |" || r.text == "-" || r.text == "| Done\n") << r.text;
            }
        }
        EXPECT_GT(pings, 0);
        ASSERT_FALSE(received.empty());
        EXPECT_EQ(received.back().text, "[INFO] after\n");
    }
}

TEST_F(ProgressTest, BarLeavesAHeaderSwitchedOffByTheCallerOff)
{
    QvHeaderEnable(false);
    QvResetprogress(10);
    for (int i = 0; i < 3; ++i)
        QvIncreaseprogress();
    QvSetDoneProgression();
    received.clear();
    QvOutputLogCStr(INFO, "plain\n");
    EXPECT_EQ(receivedText(), "plain\n");
}

} // namespace
