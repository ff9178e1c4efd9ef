#pragma once

#include <cstddef>
#include <string>

#include "foundation/Export.h"

namespace Quorvel::Utils {

// A hidden name beside `path`, unique to this process and call (process id
// and a counter), for writing a file before it is renamed into place. Two
// writers of the same path, in one process or two, never share it.
QUORVEL_API std::string UniqueTemporaryPath(const std::string& path);

// A file written under a temporary name beside `path` and renamed into
// place by commit(), so that a failed write neither leaves a partial file
// under the name nor destroys the file already there, and two writers of one
// path each rename only their own complete file. Without a successful
// commit the temporary file is removed.
class QUORVEL_API ReplacingFile {
public:
    explicit ReplacingFile(const std::string& path);
    ~ReplacingFile();
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    // False once any write failed; later writes are not attempted.
    bool write(const void* bytes, size_t size);
    // Closes the file and renames it over `path`; false when anything failed.
    bool commit();

    const std::string& path() const { return path_; }
    const std::string& temporaryPath() const { return temporary_; }
    // The system's reason for the first failure ("No space left on device"),
    // with the step that failed; empty while nothing failed.
    const std::string& failure() const { return failure_; }

private:
    void fail(const char* step, int error);
    void discard();

    std::string path_;
    std::string temporary_;
    std::string failure_;
    int fd_ = -1;
    bool created_ = false; // the temporary file exists and is this object's
    bool committed_ = false;
};

// The whole of `bytes` through a ReplacingFile. False when anything failed;
// nothing is left behind then.
QUORVEL_API bool ReplaceFileContents(const std::string& path, const void* bytes, size_t size);

} // namespace Quorvel::Utils
