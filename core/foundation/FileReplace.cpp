#include "foundation/FileReplace.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

namespace Quorvel::Utils {

bool ReplaceFileContents(const std::string& path, const void* bytes, size_t size)
{
    const std::string temporary = path + ".partial";
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (!file)
        return false;
    const bool written = size == 0 || std::fwrite(bytes, 1, size, file) == size;
    const bool flushed = std::fflush(file) == 0;
    const bool closed = std::fclose(file) == 0;
    std::error_code ec;
    if (written && flushed && closed) {
        std::filesystem::rename(temporary, path, ec);
        if (!ec)
            return true;
    }
    std::filesystem::remove(temporary, ec);
    return false;
}

} // namespace Quorvel::Utils
