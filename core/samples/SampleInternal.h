#pragma once

#include <exception>

#include "foundation/Logger.h"
#include "foundation/Types.h"

namespace Quorvel::SampleIntake {

// A broken calling sequence of the host: logged at TRACE, then thrown.
[[noreturn]] inline void misuse(const char* message)
{
    Logger::QvOutputLogCStr(Logger::TRACE, message);
    throw std::exception();
}

// The clipping sphere's verdict on a point: with `inside` set the inside of
// the sphere is clipped. A point exactly on the sphere is clipped either way.
inline bool passesClippingSphere(const VekPoint& point, const VekPoint& centre, float radius, bool inside)
{
    const double dx = static_cast<double>(point.x) - centre.x;
    const double dy = static_cast<double>(point.y) - centre.y;
    const double dz = static_cast<double>(point.z) - centre.z;
    const double d2 = dx * dx + dy * dy + dz * dz;
    const double r2 = static_cast<double>(radius) * radius;
    return inside ? d2 > r2 : r2 > d2;
}

} // namespace Quorvel::SampleIntake
