#include <gtest/gtest.h>

#include "support/Subprocess.h"

namespace {

using QuorvelTest::runProcess;

// A new user starts from --help; the merger's parser reports help as a failed
// parse, as its scripts expect.
TEST(ToolCommandLines, HelpGoesToStandardOutput)
{
    const struct {
        const char* tool;
        int status;
    } tools[] = {{QUORVEL_HOST_EXECUTABLE, 0}, {QUORVEL_MERGER_EXECUTABLE, 1}, {QUORVEL_VIEW_EXECUTABLE, 0}};
    for (const auto& [tool, status] : tools) {
        SCOPED_TRACE(tool);
        const QuorvelTest::ProcessResult help = runProcess({tool, "--help"});
        EXPECT_EQ(help.exitCode, status) << help.describe();
        EXPECT_NE(help.out.find("--"), std::string::npos) << help.describe();
    }
}

TEST(ToolCommandLines, HostNamesTheArgumentItRefuses)
{
    const struct {
        const char* argument;
        const char* message;
    } cases[] = {
        {"--frobnicate", "error: unknown option '--frobnicate'\n"},
        {"--threads", "error: --threads needs a value\n"},
        {"second.json", "error: one scene file is taken; 'second.json' is a second\n"},
    };
    for (const auto& [argument, message] : cases) {
        const QuorvelTest::ProcessResult run = runProcess({QUORVEL_HOST_EXECUTABLE, "first.json", argument});
        EXPECT_EQ(run.exitCode, 2) << run.describe();
        EXPECT_EQ(run.err.rfind(message, 0), 0u) << run.describe();
        EXPECT_NE(run.err.find("usage: quorvel_host"), std::string::npos);
    }
}

} // namespace
