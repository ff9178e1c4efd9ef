#include "foundation/GeometryUtils.h"

#include <cmath>

namespace Quorvel::Utils::inline v2_0 {

bool plane_from_points(std::vector<VekPoint>& points, VekPoint& normal, VekPoint& centroid)
{
    if (points.size() < 3)
        return false;

    VekPoint sum{0.0f, 0.0f, 0.0f};
    for (const VekPoint& p : points) {
        sum.x += p.x;
        sum.y += p.y;
        sum.z += p.z;
    }
    const float count = static_cast<float>(points.size());
    const VekPoint c{sum.x / count, sum.y / count, sum.z / count};

    double xx = 0.0, xy = 0.0, xz = 0.0, yy = 0.0, yz = 0.0, zz = 0.0;
    for (const VekPoint& p : points) {
        const double dx = p.x - c.x;
        const double dy = p.y - c.y;
        const double dz = p.z - c.z;
        xx += dx * dx;
        xy += dx * dy;
        xz += dx * dz;
        yy += dy * dy;
        yz += dy * dz;
        zz += dz * dz;
    }

    const double detX = yy * zz - yz * yz;
    const double detY = xx * zz - xz * xz;
    const double detZ = xx * yy - xy * xy;
    const double largest = std::fmax(detX, std::fmax(detY, detZ));
    if (!(largest > 0.0))
        return false;

    if (detX >= detY && detX >= detZ) {
        normal = {1.0f, static_cast<float>((yz * xz - zz * xy) / detX),
                  static_cast<float>((yz * xy - yy * xz) / detX)};
    } else if (detY >= detZ) {
        normal = {static_cast<float>((yz * xz - zz * xy) / detY), 1.0f,
                  static_cast<float>((xz * xy - yz * xx) / detY)};
    } else {
        normal = {static_cast<float>((yz * xy - yy * xz) / detZ), static_cast<float>((xz * xy - yz * xx) / detZ),
                  1.0f};
    }
    centroid = c;
    return true;
}

bool intersectPlaneLine(VekPoint& out, VekPoint linePoint, VekPoint lineDirection, VekPoint planePoint,
                        VekPoint planeNormal)
{
    const double h = static_cast<double>(lineDirection.x) * planeNormal.x +
                     static_cast<double>(lineDirection.y) * planeNormal.y +
                     static_cast<double>(lineDirection.z) * planeNormal.z;
    if (h == 0.0)
        return false;
    // Only the denominator is taken in double; the offset's dot stays single.
    const float w = dot({planePoint.x - linePoint.x, planePoint.y - linePoint.y, planePoint.z - linePoint.z},
                        planeNormal);
    const double t = w / h;
    out = {static_cast<float>(linePoint.x + lineDirection.x * t), static_cast<float>(linePoint.y + lineDirection.y * t),
           static_cast<float>(linePoint.z + lineDirection.z * t)};
    return true;
}

VekPoint vectorIntersectPlane(VekPoint planePoint, VekPoint planeNormal, VekPoint linePoint, VekPoint lineDirection)
{
    const VekPoint n = normalize(planeNormal);
    const VekPoint d = normalize(lineDirection);
    // Each component is scaled by the offset before the division, in that order.
    const float offset = dot(n, planePoint) - dot(n, linePoint);
    const float c = dot(d, n);
    return {linePoint.x + d.x * offset / c, linePoint.y + d.y * offset / c, linePoint.z + d.z * offset / c};
}

bool isZTooHuge(double p, double q, double r)
{
    return std::fabs(std::atan(q / r) - std::atan(p / r)) > 0.31415927;
}

namespace {

bool inFront(float x, float y, float z, const faceinformations_t& f)
{
    return f.nx * x + f.ny * y + f.nz * z + f.d >= 0.0f;
}

} // namespace

void getFacesForTesting(float x, float y, float z, const std::array<faceinformations_t, 6>& faces,
                        std::vector<uint32_t>& out)
{
    out.clear();
    for (uint32_t i = 0; i < faces.size(); ++i)
        if (inFront(x, y, z, faces[i]))
            out.push_back(i);
}

void getFacesForTesting(float x, float y, float z, std::vector<faceinformations_t> faces, std::vector<uint8_t>& out)
{
    out.clear();
    for (std::size_t i = 0; i < faces.size(); ++i)
        if (inFront(x, y, z, faces[i]))
            out.push_back(static_cast<uint8_t>(i));
}

void getSphericalUvalVvalTEST(int32_t column, int32_t row, int32_t width, int32_t height, bool weighted, float& u,
                              float& v, float& weight)
{
    u = (static_cast<float>(column) + 0.5f) / static_cast<float>(width);
    // Widened: height - row can leave the 32-bit range.
    v = static_cast<float>(int64_t{height} - row) / static_cast<float>(height);
    weight = 1.0f;
    if (weighted) {
        weight = std::sin(v * 3.1415927f);
        if (weight != 0.0f)
            u = u / weight;
    }
}

VekPoint qualityDerivativeVectorOneCam(double a, double b, double c, double d, double e, double f, double g, double h,
                                       double l)
{
    const double s1 = h - b;
    const double s2 = l - c;
    const double m = d * g + s1 * e + s2 * f;
    const double X = (a * d * a - 2.0 * m * a + 2.0 * g * m - (g * g + s1 * s1 + s2 * s2) * d) /
                     (std::fabs(a * d - m) * (a * d - m));
    const double gp = g - a;
    const double o = e * h + gp * d + s2 * f;
    const double Y = (b * e * b - 2.0 * o * b + 2.0 * h * o - (h * h + gp * gp + s2 * s2) * e) /
                     (std::fabs(b * e - o) * (b * e - o));
    const double ep = f * l + s1 * e + gp * d;
    const double Z = (c * f * c - 2.0 * ep * c + 2.0 * l * ep - (l * l + s1 * s1 + gp * gp) * f) /
                     (std::fabs(c * f - ep) * (c * f - ep));
    return {static_cast<float>(X), static_cast<float>(Y), static_cast<float>(Z)};
}

VekPoint qualityDerivativeVectorDifference(double a, double b, double c, double d, double e, double f, double g1,
                                           double h1, double l1, double g2, double h2, double l2)
{
    const VekPoint second = qualityDerivativeVectorOneCam(a, b, c, d, e, f, g2, h2, l2);
    const VekPoint first = qualityDerivativeVectorOneCam(a, b, c, d, e, f, g1, h1, l1);
    return {second.x - first.x, second.y - first.y, second.z - first.z};
}

void naturalBreaks(std::span<const double> values, std::size_t k, std::vector<int32_t>& out)
{
    const std::size_t n = values.size();
    // No partition exists without classes or with more classes than values;
    // the tables below assume one.
    if (k == 0 || k > n) {
        out.clear();
        return;
    }
    const std::size_t cols = k + 1;
    // Row-major (n + 1) x (k + 1); positions and classes are one-based.
    std::vector<std::size_t> lowerLimit((n + 1) * cols, 0);
    std::vector<double> variance((n + 1) * cols, 0.0);
    auto at = [cols](std::size_t row, std::size_t cls) { return row * cols + cls; };

    for (std::size_t j = 1; j <= k; ++j)
        lowerLimit[at(1, j)] = 1;
    // Row 1 too: one value cannot fill two classes. Left at zero, ties among
    // equal values would prefer partitions with empty leading classes.
    for (std::size_t row = 1; row <= n; ++row)
        for (std::size_t j = 2; j <= k; ++j)
            variance[at(row, j)] = 1e30;

    for (std::size_t l = 2; l <= n; ++l) {
        double sum = 0.0;
        double squares = 0.0;
        double w = 0.0;
        double v = 0.0;
        for (std::size_t m = 1; m <= l; ++m) {
            const std::size_t start = l - m + 1;
            const double value = values[start - 1];
            squares += value * value;
            sum += value;
            w += 1.0;
            v = squares - (sum * sum) / w;
            const std::size_t previous = start - 1;
            if (previous == 0 || k == 1)
                continue;
            for (std::size_t j = 2; j <= k; ++j) {
                const double candidate = v + variance[at(previous, j - 1)];
                // >= : among equal partitions the later, longer last class wins.
                if (variance[at(l, j)] >= candidate) {
                    lowerLimit[at(l, j)] = start;
                    variance[at(l, j)] = candidate;
                }
            }
        }
        lowerLimit[at(l, 1)] = 1;
        variance[at(l, 1)] = v;
    }

    out.assign(cols, -1);
    out[k] = static_cast<int32_t>(n) - 1;
    std::size_t l = n;
    for (std::size_t j = k; j >= 2; --j) {
        // Depths so large that a variance reaches the 1e30 start value can
        // still trace a class into position 0; stop there.
        if (l < 1)
            break;
        const std::size_t limit = lowerLimit[at(l, j)];
        out[j - 1] = static_cast<int32_t>(limit) - 2;
        if (limit < 1)
            break;
        l = limit - 1;
    }
}

} // namespace Quorvel::Utils::inline v2_0
