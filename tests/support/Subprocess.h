#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/TempDir.h"

namespace QuorvelTest {

// How a tool run ended: its exit status (or the signal that ended it) and
// everything it printed.
struct ProcessResult {
    int exitCode = -1;  // -1 when a signal ended it
    int signal = 0;
    std::string out;
    std::string err;

    bool crashed() const { return signal != 0 || exitCode >= 128; }
    // For test messages.
    std::string describe() const
    {
        std::ostringstream text;
        text << "exit " << exitCode;
        if (signal)
            text << " (signal " << signal << ")";
        text << "\n--- stdout ---\n" << out << "--- stderr ---\n" << err;
        return text.str();
    }
};

struct ProcessOptions {
    // A full disk, as the writer sees it: writes past this many bytes fail
    // with EFBIG instead of raising SIGXFSZ.
    std::optional<rlim_t> fileSizeLimit;
    // Address space, for a tool that asks for more memory than there is.
    std::optional<rlim_t> addressSpaceLimit;
    std::string workingDirectory;
    std::vector<std::pair<std::string, std::string>> environment;  // added to ours
    std::string standardInput = "/dev/null";
};

// Runs a program with exactly these arguments, no shell between, so that any
// byte sequence can be passed as a path.
inline ProcessResult runProcess(const std::vector<std::string>& arguments, const ProcessOptions& options = {})
{
    TempDir capture;
    const std::string outPath = capture.file("stdout");
    const std::string errPath = capture.file("stderr");

    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    ProcessResult result;
    const pid_t child = ::fork();
    if (child == 0) {
        const int in = ::open(options.standardInput.c_str(), O_RDONLY);
        const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0)
            ::_exit(126);
        if (!options.workingDirectory.empty() && ::chdir(options.workingDirectory.c_str()) != 0)
            ::_exit(126);
        for (const auto& [name, value] : options.environment)
            ::setenv(name.c_str(), value.c_str(), 1);
        if (options.fileSizeLimit) {
            ::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{*options.fileSizeLimit, *options.fileSizeLimit};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        }
        if (options.addressSpaceLimit) {
            const rlimit limit{*options.addressSpaceLimit, *options.addressSpaceLimit};
            ::setrlimit(RLIMIT_AS, &limit);
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    if (child < 0)
        return result;
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
    }
    if (WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
    auto slurp = [](const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    result.out = slurp(outPath);
    result.err = slurp(errPath);
    return result;
}

} // namespace QuorvelTest
