#include "FileNames.h"

#include <cstdio>

namespace VUtils {

namespace {
constexpr size_t maxPathLength = 511;
}

std::string expandFrameNumber(const std::string& path, bool frameNumbers, int frame, int padding,
                              bool dotBeforeNumber)
{
    std::string out;
    if (!frameNumbers) {
        for (char c : path)
            if (c != '#')
                out += c;
    } else {
        char digits[64];
        std::snprintf(digits, sizeof digits, "%0*d", padding < 0 ? 0 : (padding > 32 ? 32 : padding), frame);
        if (path.find('#') != std::string::npos) {
            for (char c : path) {
                if (c == '#')
                    out += digits;
                else
                    out += c;
            }
        } else {
            const size_t nameStart = path.find_last_of("/\\");
            const size_t dot = path.rfind('.');
            const bool hasExtension =
                dot != std::string::npos && (nameStart == std::string::npos || dot > nameStart);
            const size_t at = hasExtension ? dot : path.size();
            out = path.substr(0, at);
            if (dotBeforeNumber && (out.empty() || out.back() != '.'))
                out += '.';
            out += digits;
            out += path.substr(at);
        }
    }
    if (out.size() > maxPathLength)
        out.resize(maxPathLength);
    return out;
}

std::string joinPath(const std::string& directory, const std::string& file)
{
    if (directory.empty())
        return file;
    const char last = directory.back();
    if (last == '/' || last == '\\')
        return directory + file;
    return directory + "/" + file;
}

} // namespace VUtils
