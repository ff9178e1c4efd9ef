#include "foundation/Logger.h"
#include "foundation/LoggerInternal.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

namespace Quorvel::Logger::inline v2_0 {

namespace {

constexpr std::size_t kFormatBufferSize = 10240;
constexpr std::size_t kCallbackCut = 4096;
constexpr std::size_t kHeaderBufferSize = 64;

struct LoggerState {
    std::mutex mutex;
    FILE* logFile = nullptr;
    // A failed write to the log file is reported once per opened file.
    char logFilePath[4096] = {};
    bool logFileFailed = false;
    QvLogCallback callback = nullptr;
    void* callbackUserData = nullptr;
    int32_t fileLevel = -1;
    int32_t consoleLevel = TRACE;
    int32_t callbackLevel = -1;

    // Read while formatting, outside the mutex.
    std::atomic<int32_t> carriageReturnMode{StripTrailingNewline};
    std::atomic<bool> dateHeader{false};
    std::atomic<bool> levelHeader{true};
    std::atomic<bool> headerEnabled{true};

    // Progress indicator.
    bool barMode = true;
    uint64_t total = 100;
    uint64_t count = 0;
    float accumulator = 0.0f;
    int32_t steps = 61;
    int32_t printedSteps = 0;
    float lastPercent = 0.0f;
    bool done = true; // increments before the first reset print nothing

    ~LoggerState()
    {
        std::lock_guard lock(mutex);
        if (logFile) {
            std::fputs("\n", logFile);
            std::fclose(logFile);
            logFile = nullptr;
        }
        fileLevel = -1;
        consoleLevel = -1;
        callbackLevel = -1;
    }
};

// Constant-initialised, so it exists before any other static code logs.
constinit LoggerState g_logger;

const char* levelName(LogLevel level)
{
    switch (level) {
    case ERROR: return "ERROR";
    case WARNING: return "WARNING";
    case INFO: return "INFO";
    case DEBUG: return "DEBUG";
    case TRACE: return "TRACE";
    }
    return "UNKNOWN";
}

std::size_t buildHeader(LogLevel level, char (&header)[kHeaderBufferSize])
{
    std::size_t used = 0;
    header[0] = '\0';
    if (!g_logger.headerEnabled.load(std::memory_order_relaxed))
        return 0;
    if (g_logger.dateHeader.load(std::memory_order_relaxed)) {
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        used = std::strftime(header, sizeof header, "[%d-%m-%Y %I:%M:%S] ", &local);
    }
    if (g_logger.levelHeader.load(std::memory_order_relaxed)) {
        const int n = std::snprintf(header + used, sizeof header - used, "[%s] ", levelName(level));
        if (n > 0)
            used += static_cast<std::size_t>(n);
    }
    return used;
}

// Prepared callback text: mode 0 and 1 cut to 4096 characters and fix the
// trailing newline; any other mode passes the text through.
const char* prepareCallbackText(const char* text, std::size_t length, int32_t mode,
                                char (&scratch)[kCallbackCut + 2])
{
    if (mode != StripTrailingNewline && mode != EnsureTrailingNewline)
        return text;
    std::size_t n = length < kCallbackCut ? length : kCallbackCut;
    std::memcpy(scratch, text, n);
    if (mode == StripTrailingNewline) {
        if (n > 0 && scratch[n - 1] == '\n')
            --n;
    } else if (n > 0 && scratch[n - 1] != '\n') {
        scratch[n++] = '\n';
    }
    scratch[n] = '\0';
    return scratch;
}

void deliverToConsoleAndCallback(LogLevel level, const char* fullText, std::size_t length);

// The log file has no caller to return a failure to: a full disk or a lost
// volume is told once on the other sinks, so that the gap is not silent.
void reportLogFileFailure(const char* path)
{
    char text[kFormatBufferSize];
    char header[kHeaderBufferSize];
    header[0] = '\0';
    buildHeader(WARNING, header);
    const int length = std::snprintf(text, sizeof text,
                                     "%s[Quorvel] Writing the log file %s failed; later messages may be missing "
                                     "from it.\n",
                                     header, path);
    if (length > 0)
        deliverToConsoleAndCallback(WARNING, text, std::min(static_cast<std::size_t>(length), sizeof text - 1));
}

void deliver(LogLevel level, const char* fullText, std::size_t length)
{
    char failedPath[sizeof g_logger.logFilePath];
    failedPath[0] = '\0';
    {
        std::lock_guard lock(g_logger.mutex);
        if (g_logger.logFile && g_logger.fileLevel >= level) {
            const bool written = std::fwrite(fullText, 1, length, g_logger.logFile) == length;
            const bool flushed = std::fflush(g_logger.logFile) == 0;
            if (!written || !flushed) {
                // Later messages may fit again once space is freed.
                std::clearerr(g_logger.logFile);
                if (!g_logger.logFileFailed) {
                    g_logger.logFileFailed = true;
                    std::memcpy(failedPath, g_logger.logFilePath, sizeof failedPath);
                }
            }
        }
    }
    deliverToConsoleAndCallback(level, fullText, length);
    if (failedPath[0] != '\0')
        reportLogFileFailure(failedPath);
}

void deliverToConsoleAndCallback(LogLevel level, const char* fullText, std::size_t length)
{
    {
        std::lock_guard lock(g_logger.mutex);
        if (g_logger.consoleLevel >= level) {
            std::fwrite(fullText, 1, length, stdout);
            std::fflush(stdout);
        }
    }
    {
        std::lock_guard lock(g_logger.mutex);
        if (g_logger.callbackLevel >= level && g_logger.callback) {
            char scratch[kCallbackCut + 2];
            const int32_t mode = g_logger.carriageReturnMode.load(std::memory_order_relaxed);
            const char* prepared = prepareCallbackText(fullText, length, mode, scratch);
            g_logger.callback(level, prepared, g_logger.callbackUserData);
        }
    }
}

void emit(LogLevel level, const char* message, std::size_t length, bool withHeader = true)
{
    char header[kHeaderBufferSize];
    header[0] = '\0';
    const std::size_t headerLength = withHeader ? buildHeader(level, header) : 0;

    char local[kFormatBufferSize + kHeaderBufferSize];
    if (headerLength + length < sizeof local) {
        std::memcpy(local, header, headerLength);
        std::memcpy(local + headerLength, message, length);
        local[headerLength + length] = '\0';
        deliver(level, local, headerLength + length);
        return;
    }
    // Only unformatted texts can be this long.
    std::string full;
    full.reserve(headerLength + length);
    full.append(header, headerLength).append(message, length);
    deliver(level, full.c_str(), full.size());
}

void emitFormatted(LogLevel level, bool withHeader, const char* format, va_list args)
    __attribute__((format(printf, 3, 0)));

void emitFormatted(LogLevel level, bool withHeader, const char* format, va_list args)
{
    char buffer[kFormatBufferSize];
    const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    if (n < 0)
        return;
    const std::size_t length =
        static_cast<std::size_t>(n) < sizeof buffer ? static_cast<std::size_t>(n) : sizeof buffer - 1;
    emit(level, buffer, length, withHeader);
}

// Progress lines go out at INFO. In bar mode they carry no header, so that
// the dashes form one line. The header is left out of these lines alone:
// switching it off for everyone would reach other threads' messages, and two
// bars restoring the switch could leave it off for good.
void emitProgress(bool barMode, const char* format, ...) __attribute__((format(printf, 2, 3)));

void emitProgress(bool barMode, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    emitFormatted(INFO, !barMode, format, args);
    va_end(args);
}

} // namespace

void QvOutputLogString(const LogLevel& level, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    emitFormatted(level, true, format, args);
    va_end(args);
}

void QvOutputLogCStr(const LogLevel& level, const char* text)
{
    if (!text)
        return;
    emit(level, text, std::strlen(text));
}

void QvSetConsole(bool enable)
{
    // Re-enabling is deliberately left to QvSetConsoleLogLevel.
    if (!enable) {
        std::lock_guard lock(g_logger.mutex);
        g_logger.consoleLevel = -1;
    }
}

void QvSetConsoleLogLevel(int32_t level)
{
    std::lock_guard lock(g_logger.mutex);
    g_logger.consoleLevel = level;
}

void QvSetFileLogLevel(int32_t level, const char* path, const char* mode)
{
    std::unique_lock lock(g_logger.mutex);
    if (!g_logger.logFile) {
        if (!path) {
            lock.unlock();
            std::printf("A file path is required to enable file logging.");
            std::fflush(stdout);
            return;
        }
        FILE* file = std::fopen(path, mode ? mode : "a");
        if (!file) {
            std::printf("Could not open file for logging %s.", path);
            std::fflush(stdout);
            return;
        }
        g_logger.logFile = file;
        std::snprintf(g_logger.logFilePath, sizeof g_logger.logFilePath, "%s", path);
        g_logger.logFileFailed = false;
    } else if (path) {
        std::printf("Disable the file log first before opening a new file to log to.");
        std::fflush(stdout);
        return;
    }
    g_logger.fileLevel = level;
}

void QvSetCallBackLogLevel(int32_t level, QvLogCallback callback, void* userData)
{
    std::lock_guard lock(g_logger.mutex);
    g_logger.callbackLevel = level;
    g_logger.callback = callback;
    g_logger.callbackUserData = userData;
}

void QvSetCallbackCarriageReturnMode(int32_t mode)
{
    g_logger.carriageReturnMode.store(mode, std::memory_order_relaxed);
}

void QvSetDateHeader(bool enable)
{
    g_logger.dateHeader.store(enable, std::memory_order_relaxed);
}

void QvSetLogLevelHeader(bool enable)
{
    g_logger.levelHeader.store(enable, std::memory_order_relaxed);
}

void QvHeaderEnable(bool enable)
{
    g_logger.headerEnabled.store(enable, std::memory_order_relaxed);
}

void QvResetprogress(const uint64_t& total)
{
    bool barMode;
    {
        // Under the mutex so that a reset racing an increment is well defined.
        std::lock_guard lock(g_logger.mutex);
        g_logger.count = 0;
        g_logger.accumulator = 0.0f;
        g_logger.printedSteps = 0;
        g_logger.done = false;
        g_logger.total = total;
        barMode = g_logger.barMode;
    }
    if (barMode)
        QvOutputLogString(INFO, " |");
    else
        QvOutputLogString(INFO, "0%%\n");
}

void QvIncreaseprogress()
{
    std::unique_lock lock(g_logger.mutex);
    if (g_logger.done)
        return;

    const bool barMode = g_logger.barMode;
    g_logger.count += 1;
    g_logger.accumulator += 1.0f;
    const uint64_t total = g_logger.total;
    const float threshold = static_cast<float>(total) / static_cast<float>(g_logger.steps);
    if (g_logger.accumulator > threshold) {
        g_logger.printedSteps += 1;
        g_logger.accumulator = 0.0f;
        g_logger.lastPercent =
            static_cast<float>(g_logger.count) / static_cast<float>(total) * 100.0f;
        const uint64_t count = g_logger.count;
        const float percent = g_logger.lastPercent;
        const float stepsPerTotal = static_cast<float>(g_logger.steps) / static_cast<float>(total);
        lock.unlock();

        if (count <= total) {
            if (barMode)
                emitProgress(barMode, "-");
            else
                emitProgress(barMode, "%i%%\n", static_cast<int>(percent));
        }
        if (count > total && stepsPerTotal <= 1.0f) {
            if (barMode)
                emitProgress(barMode, "| Done\n");
            else
                emitProgress(barMode, "100%%\n");
            lock.lock();
            g_logger.done = true;
        }
    }
}

void QvSetDoneProgression()
{
    std::unique_lock lock(g_logger.mutex);
    if (g_logger.done)
        return;

    const bool barMode = g_logger.barMode;
    const int32_t steps = g_logger.steps;
    const int32_t printedSteps = g_logger.printedSteps;
    const float lastPercent = g_logger.lastPercent;
    lock.unlock();

    const float d = (100.0f - lastPercent) / static_cast<float>(steps - printedSteps + 2);
    for (int32_t k = 1; printedSteps + k - 1 <= steps; ++k) {
        if (barMode)
            emitProgress(barMode, "-");
        else
            emitProgress(barMode, "%i%%\n", static_cast<int>(static_cast<float>(k) * d + lastPercent));
    }
    if (barMode)
        emitProgress(barMode, "| Done\n");
    else
        emitProgress(barMode, "100%%\n");

    lock.lock();
    g_logger.done = true;
}

} // namespace Quorvel::Logger::inline v2_0

namespace Quorvel::Logger::detail {

void closeLogFile()
{
    std::lock_guard lock(g_logger.mutex);
    if (g_logger.logFile)
        std::fclose(g_logger.logFile);
    g_logger.logFile = nullptr;
    g_logger.fileLevel = -1;
}

} // namespace Quorvel::Logger::detail
