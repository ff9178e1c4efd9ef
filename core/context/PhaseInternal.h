#pragma once

#include <cstdint>
#include <string>

#include "context/QuorvelContext.h"

namespace Quorvel::Phase::inline v2_0 {

// True between QvInitPhase and QvPhaseBegin; otherwise logs why a setting is
// refused.
bool acceptsSettings(const QuorvelContext& context);

bool hasPhase(const QuorvelContext& context);

// Warns about every missing item; false when the output paths could not be
// derived from the context.
bool checkContextCompleteness();

// The detection file the block computations read: the override if any.
std::string blockDetectionFile(const QuorvelContext& context);

} // namespace Quorvel::Phase::inline v2_0
