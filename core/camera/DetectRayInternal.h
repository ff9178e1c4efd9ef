#pragma once

#include <cstdint>

namespace Quorvel::Phase::inline v2_0 {
struct QuorvelContext;
}

namespace Quorvel::Camera::inline v2_0 {

// Whether the detection ray of the camera through pixel (px, py) counts as
// shot, its camera pixel's claims left aside. Internal to the core.
bool detectRayCounts(const Phase::QuorvelContext& context, uint64_t cameraIndex, uint64_t px, uint64_t py);

} // namespace Quorvel::Camera::inline v2_0
