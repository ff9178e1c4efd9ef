#pragma once

#include <signal.h>
#include <sys/resource.h>

#include <csignal>

namespace QuorvelTest {

// A full disk as a writer in this process sees it: while the object lives,
// writes past `bytes` fail with EFBIG instead of raising SIGXFSZ. The limit
// counts per file, so files already larger can still be read and kept.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        handler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved_;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, handler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit saved_{};
    void (*handler_)(int) = SIG_DFL;
};

} // namespace QuorvelTest
