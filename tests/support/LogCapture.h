#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "foundation/Logger.h"

namespace QuorvelTest {

// Collects every message through the logger's callback sink, unchanged, and
// keeps the console quiet while it lives.
class LogCapture {
public:
    struct Entry {
        Quorvel::Logger::LogLevel level;
        std::string text;
    };

    LogCapture()
    {
        using namespace Quorvel::Logger;
        QvSetConsoleLogLevel(-1);
        QvSetCallbackCarriageReturnMode(Unchanged);
        QvSetCallBackLogLevel(TRACE, &LogCapture::receive, this);
    }

    ~LogCapture()
    {
        using namespace Quorvel::Logger;
        QvSetCallBackLogLevel(-1, nullptr, nullptr);
        QvSetCallbackCarriageReturnMode(StripTrailingNewline);
        QvSetConsoleLogLevel(TRACE);
    }

    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<Entry> entries() const
    {
        std::lock_guard lock(mutex_);
        return entries_;
    }

    // Texts without the level header, in arrival order.
    std::vector<std::string> messages() const
    {
        std::vector<std::string> out;
        for (const auto& e : entries())
            out.push_back(stripHeader(e.text));
        return out;
    }

    bool contains(const std::string& message) const
    {
        for (const auto& m : messages())
            if (m == message)
                return true;
        return false;
    }

    void clear()
    {
        std::lock_guard lock(mutex_);
        entries_.clear();
    }

    static std::string stripHeader(const std::string& text)
    {
        static const char* const names[] = {"[ERROR] ", "[WARNING] ", "[INFO] ", "[DEBUG] ", "[TRACE] "};
        for (const char* name : names) {
            const std::string prefix(name);
            if (text.compare(0, prefix.size(), prefix) == 0)
                return text.substr(prefix.size());
        }
        return text;
    }

private:
    static void receive(const Quorvel::Logger::LogLevel& level, const char* text, void* self)
    {
        auto* capture = static_cast<LogCapture*>(self);
        std::lock_guard lock(capture->mutex_);
        capture->entries_.push_back({level, text ? text : ""});
    }

    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
};

} // namespace QuorvelTest
