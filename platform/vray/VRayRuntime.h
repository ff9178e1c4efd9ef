#pragma once

// The part of the V-Ray runtime the merger starts and stops. V-Ray itself is
// not available here; this stand-in keeps the merger's calls as it makes them.
namespace VUtils {

// Starts the runtime; 0 means it failed to start. Balanced by vrayDone.
int vrayInit(int argc, char** argv);
void vrayDone();

// True between a successful vrayInit and the matching vrayDone.
bool vrayRunning();

} // namespace VUtils
