#include "foundation/Types.h"

namespace Quorvel::Utils::inline v2_0 {

namespace {

// Determinant of the 3x3 minor left when row `skipRow` and column `skipCol`
// are removed, with every product formed in double precision.
double minorDeterminant(const VekMatrix4& m, int skipRow, int skipCol)
{
    double e[3][3];
    for (int r = 0, i = 0; r < 4; ++r) {
        if (r == skipRow)
            continue;
        for (int c = 0, j = 0; c < 4; ++c) {
            if (c == skipCol)
                continue;
            e[i][j++] = static_cast<double>(m[r][c]);
        }
        ++i;
    }
    return e[0][0] * (e[1][1] * e[2][2] - e[1][2] * e[2][1])
         - e[0][1] * (e[1][0] * e[2][2] - e[1][2] * e[2][0])
         + e[0][2] * (e[1][0] * e[2][1] - e[1][1] * e[2][0]);
}

} // namespace

VekMatrix4 inverse(const VekMatrix4& m)
{
    float cofactor[4][4];
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) {
            const double sign = ((r + c) & 1) ? -1.0 : 1.0;
            cofactor[r][c] = static_cast<float>(sign * minorDeterminant(m, r, c));
        }

    const float det = m[0][0] * cofactor[0][0] + m[0][1] * cofactor[0][1]
                    + m[0][2] * cofactor[0][2] + m[0][3] * cofactor[0][3];
    const float invDet = 1.0f / det;

    VekMatrix4 result{};
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            result[r][c] = cofactor[c][r] * invDet; // adjugate = transposed cofactors
    return result;
}

} // namespace Quorvel::Utils::inline v2_0
