#pragma once

// Not part of the exported API: lets tests start from a closed log file, which
// the public interface can only silence, never close.
namespace Quorvel::Logger::detail {

void closeLogFile();

} // namespace Quorvel::Logger::detail
