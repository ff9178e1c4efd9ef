#pragma once

#include <filesystem>
#include <string>

namespace Quorvel::Merger {

// A path as the user typed it: "\" and "/" both separate directories. The
// text is taken as UTF-8 bytes, so any file name the system allows works.
inline std::filesystem::path typedPath(std::string text)
{
    if constexpr (std::filesystem::path::preferred_separator == '/') {
        for (char& c : text)
            if (c == '\\')
                c = '/';
    }
    return std::filesystem::path(text);
}

} // namespace Quorvel::Merger
