#include "context/QuorvelContext.h"

#include <exception>

#include "foundation/Logger.h"

namespace Quorvel::Phase::inline v2_0 {

void throwUnsetValue()
{
    Logger::QvOutputLogCStr(Logger::TRACE, "[Quorvel] Accessing value that has not been set");
    throw std::exception();
}

QuorvelContext& getQuorvelContext()
{
    static QuorvelContext context;
    return context;
}

} // namespace Quorvel::Phase::inline v2_0
