#include "foundation/FileReplace.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace Quorvel::Utils {

std::string UniqueTemporaryPath(const std::string& path)
{
    static std::atomic<unsigned> counter{0};
    const std::filesystem::path target(path);
    std::string name(".");
    name += target.filename().string();
    name += ".tmp";
    name += std::to_string(::getpid());
    name += '_';
    name += std::to_string(counter.fetch_add(1));
    return (target.parent_path() / name).string();
}

ReplacingFile::ReplacingFile(const std::string& path) : path_(path)
{
    // O_EXCL: a name left by an earlier process of the same id is never
    // taken over.
    for (int attempt = 0; attempt < 8 && fd_ < 0; ++attempt) {
        temporary_ = UniqueTemporaryPath(path);
        fd_ = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ < 0 && errno != EEXIST)
            break;
    }
    created_ = fd_ >= 0;
    if (!created_)
        fail("cannot create", errno);
}

ReplacingFile::~ReplacingFile()
{
    if (!committed_)
        discard();
}

void ReplacingFile::fail(const char* step, int error)
{
    if (failure_.empty())
        failure_ = std::string(step) + " " + temporary_ + ": " + std::strerror(error);
}

void ReplacingFile::discard()
{
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (created_)
        ::unlink(temporary_.c_str());
    created_ = false;
}

bool ReplacingFile::write(const void* bytes, size_t size)
{
    if (fd_ < 0 || !failure_.empty())
        return false;
    const char* p = static_cast<const char*>(bytes);
    while (size > 0) {
        const ssize_t n = ::write(fd_, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            // A short write of 0 bytes says nothing; the disk is full.
            fail("cannot write", n < 0 ? errno : ENOSPC);
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool ReplacingFile::commit()
{
    if (fd_ < 0 || !failure_.empty()) {
        discard();
        return false;
    }
    const int closed = ::close(fd_);
    fd_ = -1;
    if (closed != 0) {
        fail("cannot write", errno);
        discard();
        return false;
    }
    if (std::rename(temporary_.c_str(), path_.c_str()) != 0) {
        const int error = errno;
        if (failure_.empty())
            failure_ = "cannot rename " + temporary_ + " to " + path_ + ": " + std::strerror(error);
        discard();
        return false;
    }
    created_ = false;
    committed_ = true;
    return true;
}

bool ReplaceFileContents(const std::string& path, const void* bytes, size_t size)
{
    ReplacingFile file(path);
    return file.write(bytes, size) && file.commit();
}

} // namespace Quorvel::Utils
