#include <gtest/gtest.h>

#include "tesk_math.h"

namespace {

matrix identity()
{
    matrix m = {};
    m._11 = m._22 = m._33 = m._44 = 1.0f;
    return m;
}

TEST(Transform, IdentityAndTranslation)
{
    matrix m = identity();
    const scalar v[3] = {1.5f, -2.0f, 3.25f};
    scalar p[3], d[3];
    transform(p, &m, v);
    transformW(d, &m, v);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(p[i], v[i]);
        EXPECT_EQ(d[i], v[i]);
    }

    m._41 = 10.0f;
    m._42 = -20.0f;
    m._43 = 0.5f;
    transform(p, &m, v);
    transformW(d, &m, v);
    EXPECT_EQ(p[0], 11.5f);
    EXPECT_EQ(p[1], -22.0f);
    EXPECT_EQ(p[2], 3.75f);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(d[i], v[i]);

    const scalar origin[3] = {0, 0, 0};
    transform(p, &m, origin);
    EXPECT_EQ(p[0], m._41);
    EXPECT_EQ(p[1], m._42);
    EXPECT_EQ(p[2], m._43);
}

TEST(Transform, RowVectorTimesMatrix)
{
    // Rows of the matrix are the images of the basis vectors.
    matrix m = {};
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) m.m[r][c] = (scalar)(r * 4 + c + 1);
    const scalar v[3] = {1.0f, 2.0f, 3.0f};
    scalar p[3], d[3];
    transform(p, &m, v);
    transformW(d, &m, v);
    EXPECT_EQ(d[0], 1 * 1 + 2 * 5 + 3 * 9);
    EXPECT_EQ(d[1], 1 * 2 + 2 * 6 + 3 * 10);
    EXPECT_EQ(d[2], 1 * 3 + 2 * 7 + 3 * 11);
    EXPECT_EQ(p[0], d[0] + 13);
    EXPECT_EQ(p[1], d[1] + 14);
    EXPECT_EQ(p[2], d[2] + 15);
    EXPECT_EQ(&m._42, &m.m[3][1]);
}

}  // namespace

namespace {

// Rounds three sums to float and reads them back as doubles.
__attribute__((noinline)) void roundTrip(double* out, const double* a, double b)
{
    scalar f[3];
    for (int k = 0; k < 3; ++k)
        f[k] = (scalar)(a[k] + b);
    for (int k = 0; k < 3; ++k)
        out[k] = f[k];
}

// GCC 12's SLP vectorizer drops a double -> float -> double round trip
// (addpd straight into the double result), which breaks every result this
// project defines in single precision. The build turns it off; this guards
// the setting.
TEST(BuildFlags, FloatRoundingSurvivesTheOptimizer)
{
    const double a[3] = {-4.1605518775751493, 12.27, 10.8};
    volatile double b = 0.9100000001;
    double out[3];
    roundTrip(out, a, b);
    for (int k = 0; k < 3; ++k)
        EXPECT_EQ(out[k], (double)(scalar)(a[k] + b)) << k;
}

}  // namespace
