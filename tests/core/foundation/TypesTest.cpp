#include "foundation/Types.h"

#include <gtest/gtest.h>

#include <cmath>
#include <type_traits>

using namespace Quorvel::Utils;

namespace {

static_assert(sizeof(VekPoint) == 12 && sizeof(VekPoint2) == 8);
static_assert(sizeof(VekRGB) == 12 && sizeof(VekRGBA) == 16);
static_assert(std::is_trivially_copyable_v<VekPoint> && std::is_trivially_copyable_v<VekRGBA>);
static_assert(sizeof(VekMatrix4) == 64);
static_assert(sizeof(Quorvel::Phase::Phase) == 4 && sizeof(Quorvel::Logger::LogLevel) == 4);

// The numbers are part of the API and the file formats.
static_assert(Quorvel::Phase::Detect == 0 && Quorvel::Phase::Render == 1);
static_assert(Quorvel::Phase::RC_LeftAndRight == 0 && Quorvel::Phase::RC_Left == 1 &&
              Quorvel::Phase::RC_Right == 2);
static_assert(Quorvel::Phase::IGNORE == 0 && Quorvel::Phase::OPAQUE == 1 &&
              Quorvel::Phase::TRANSP == 2 && Quorvel::Phase::BOTH == 3);
static_assert(Quorvel::Phase::Discard == 0 && Quorvel::Phase::Finalize == 1);
static_assert(Quorvel::Util::RE_VRay == 1);
static_assert(Quorvel::Logger::ERROR == 0 && Quorvel::Logger::WARNING == 1 &&
              Quorvel::Logger::INFO == 2 && Quorvel::Logger::DEBUG == 3 &&
              Quorvel::Logger::TRACE == 4);
static_assert(Quorvel::Logger::StripTrailingNewline == 0 &&
              Quorvel::Logger::EnsureTrailingNewline == 1);

void expectMatrixEq(const VekMatrix4& actual, const VekMatrix4& expected)
{
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            EXPECT_EQ(actual[r][c], expected[r][c]) << "element " << r << "," << c;
}

TEST(Vectors, NormalizeKeepsZeroAndScalesOthers)
{
    const VekPoint zero = normalize({0.0f, 0.0f, 0.0f});
    EXPECT_EQ(zero.x, 0.0f);
    EXPECT_EQ(zero.y, 0.0f);
    EXPECT_EQ(zero.z, 0.0f);

    const VekPoint n = normalize({3.0f, 0.0f, 4.0f});
    EXPECT_FLOAT_EQ(n.x, 0.6f);
    EXPECT_FLOAT_EQ(n.z, 0.8f);
    EXPECT_EQ(n.x, 3.0f * (1.0f / 5.0f)); // multiplied by the reciprocal, not divided

    const VekPoint nan = normalize({NAN, 1.0f, 0.0f});
    EXPECT_TRUE(std::isnan(nan.y));
    EXPECT_EQ(dot({1, 2, 3}, {4, 5, 6}), 32.0f);
    EXPECT_EQ(length({2, 3, 6}), 7.0f);
}

TEST(Matrices, TransformsFollowTheRowVectorConvention)
{
    const VekMatrix4 m = {{{1, 2, 3, 0}, {4, 5, 6, 0}, {7, 8, 9, 0}, {10, 11, 12, 1}}};
    const VekPoint origin = transformPoint({0, 0, 0}, m);
    EXPECT_EQ(origin.x, 10.0f);
    EXPECT_EQ(origin.y, 11.0f);
    EXPECT_EQ(origin.z, 12.0f);

    const VekPoint p = transformPoint({1, 1, 1}, m);
    EXPECT_EQ(p.x, 1 + 4 + 7 + 10.0f);
    EXPECT_EQ(p.y, 2 + 5 + 8 + 11.0f);
    EXPECT_EQ(p.z, 3 + 6 + 9 + 12.0f);

    const VekPoint d = transformDirection({1, 0, 0}, m);
    EXPECT_EQ(d.x, 1.0f);
    EXPECT_EQ(d.y, 2.0f);
    EXPECT_EQ(d.z, 3.0f);

    const VekMatrix4 product = multiply(m, identityMatrix());
    expectMatrixEq(product, m);
    const VekMatrix4 translateA = {{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {1, 2, 3, 1}}};
    const VekMatrix4 translateB = {{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {10, 20, 30, 1}}};
    EXPECT_EQ(multiply(translateA, translateB)[3][0], 11.0f);
    EXPECT_EQ(multiply(translateA, translateB)[3][2], 33.0f);
}

TEST(Matrices, InverseOfIdentityTranslationAndGeneralAffine)
{
    expectMatrixEq(inverse(identityMatrix()), identityMatrix());

    const VekMatrix4 translation = {{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {3, -4, 5.5f, 1}}};
    const VekMatrix4 expected = {{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {-3, 4, -5.5f, 1}}};
    expectMatrixEq(inverse(translation), expected);

    // Rotation about y by 90 degrees, scale 2 and a translation.
    const VekMatrix4 affine = {{{0, 0, -2, 0}, {0, 2, 0, 0}, {2, 0, 0, 0}, {1, 2, 3, 1}}};
    const VekMatrix4 round = multiply(affine, inverse(affine));
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            EXPECT_NEAR(round[r][c], r == c ? 1.0f : 0.0f, 1e-6f);
}

TEST(Matrices, SingularInverseIsNotFinite)
{
    VekMatrix4 singular{};
    const VekMatrix4 inv = inverse(singular);
    EXPECT_FALSE(std::isfinite(inv[0][0]));
}

} // namespace
