#pragma once

#include <cstdint>

#include "foundation/Export.h"
#include "foundation/Types.h"

// The process-wide logger: one formatted message goes to up to three sinks
// (log file, console, callback), each with its own threshold. A sink takes a
// message when its level is >= the message level; -1 silences it.
namespace Quorvel::Logger::inline v2_0 {

// Invoked with the logger's mutex held: it must not log itself.
using QvLogCallback = void (*)(const LogLevel& level, const char* text, void* userData);

QUORVEL_API void QvOutputLogString(const LogLevel& level, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
QUORVEL_API void QvOutputLogCStr(const LogLevel& level, const char* text);

QUORVEL_API void QvSetConsole(bool enable);
QUORVEL_API void QvSetConsoleLogLevel(int32_t level);
QUORVEL_API void QvSetFileLogLevel(int32_t level, const char* path, const char* mode);
QUORVEL_API void QvSetCallBackLogLevel(int32_t level, QvLogCallback callback, void* userData);
QUORVEL_API void QvSetCallbackCarriageReturnMode(int32_t mode);

QUORVEL_API void QvSetDateHeader(bool enable);
QUORVEL_API void QvSetLogLevelHeader(bool enable);
QUORVEL_API void QvHeaderEnable(bool enable);

// Text progress bar: " |", then up to 61 dashes, then "| Done\n".
QUORVEL_API void QvResetprogress(const uint64_t& total);
QUORVEL_API void QvIncreaseprogress();
QUORVEL_API void QvSetDoneProgression();

} // namespace Quorvel::Logger::inline v2_0
