#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "foundation/Export.h"
#include "foundation/Types.h"

namespace Quorvel::Utils::inline v2_0 {

// One face of a box. Only the plane at the end of the record is read here:
// a point is in front of the face when nx*x + ny*y + nz*z + d >= 0.
struct faceinformations_t {
    float nx;
    float ny;
    float nz;
    float d;
};

// Least-squares plane through the points. The normal is not normalised: its
// dominant axis component is 1. False (outputs untouched) for fewer than three
// points or when they are collinear or coincident.
QUORVEL_API bool plane_from_points(std::vector<VekPoint>& points, VekPoint& normal, VekPoint& centroid);

// False, output untouched, when the line is parallel to the plane.
QUORVEL_API bool intersectPlaneLine(VekPoint& out, VekPoint linePoint, VekPoint lineDirection,
                                    VekPoint planePoint, VekPoint planeNormal);

// No parallel test: a parallel line yields non-finite components.
QUORVEL_API VekPoint vectorIntersectPlane(VekPoint planePoint, VekPoint planeNormal, VekPoint linePoint,
                                          VekPoint lineDirection);

// True when p and q, seen from a distance r, are more than pi/10 apart in angle.
QUORVEL_API bool isZTooHuge(double p, double q, double r);

QUORVEL_API void getFacesForTesting(float x, float y, float z, const std::array<faceinformations_t, 6>& faces,
                                    std::vector<uint32_t>& out);
QUORVEL_API void getFacesForTesting(float x, float y, float z, std::vector<faceinformations_t> faces,
                                    std::vector<uint8_t>& out);

QUORVEL_API void getSphericalUvalVvalTEST(int32_t column, int32_t row, int32_t width, int32_t height,
                                          bool weighted, float& u, float& v, float& weight);

QUORVEL_API VekPoint qualityDerivativeVectorOneCam(double a, double b, double c, double d, double e, double f,
                                                   double g, double h, double l);
QUORVEL_API VekPoint qualityDerivativeVectorDifference(double a, double b, double c, double d, double e, double f,
                                                       double g1, double h1, double l1, double g2, double h2,
                                                       double l2);

// Fisher-Jenks optimal partition of the values (in their given order) into k
// classes. out receives k + 1 entries: out[j] is the zero-based position of
// the last value of class j, out[0] is -1. With k = 0 or more classes than
// values out is left empty.
QUORVEL_API void naturalBreaks(std::span<const double> values, std::size_t k, std::vector<int32_t>& out);

} // namespace Quorvel::Utils::inline v2_0
