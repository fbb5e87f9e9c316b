#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "preetham_internal.h"

namespace {

skySystem skyFor(scalar x, scalar y, scalar z)
{
    skySystem s = {};
    s.sunDirection[0] = x;
    s.sunDirection[1] = y;
    s.sunDirection[2] = z;
    sky_init(&s);
    return s;
}

// Sky colour for a view direction; the fourth value is a sentinel that must survive.
void skyColor(scalar* rgb4, const skySystem& s, scalar x, scalar y, scalar z)
{
    t_ray ray = {};
    ray.w[0] = x;
    ray.w[1] = y;
    ray.w[2] = z;
    rgb4[3] = -123.0f;
    sky_intersect(rgb4, &s, &ray);
    EXPECT_EQ(rgb4[3], -123.0f) << "fourth value written";
}

const scalar kPerezY[5] = {-1.1234620f, -0.24777000f, 5.2819958f, -2.3478341f, 0.24304600f};
const scalar kPerezX[5] = {-0.29579499f, -0.12555900f, 0.21169101f, -1.0206410f, 0.038995001f};
const scalar kPerezYc[5] = {-0.29249099f, -0.17119500f, 0.19518200f, -1.7373850f, 0.032162000f};

TEST(SkyInit, SunStraightDown)
{
    const skySystem s = skyFor(0.0f, -1.0f, 0.0f);
    EXPECT_EQ(s.T, 1.9f);
    EXPECT_EQ(s.theta, 0.0f);
    EXPECT_NEAR(s.zenith_x, 0.266336f, 1e-6f);
    EXPECT_NEAR(s.zenith_y, 0.276665f, 1e-6f);
    // 2.7150699 * tan(0.42861111 * 3.14159) + 2.0097500
    EXPECT_NEAR(s.zenith_Y, 13.912026f, 2e-5f);
    EXPECT_EQ(s.sunSolidAngle, 0.000067443012f);
    EXPECT_EQ(s.beta, 0.041698690f);
    EXPECT_EQ(s.sunColor[0], 0.0f) << "sunColor is spare and stays untouched";

    // Light travelling upwards is treated as its mirror image.
    const skySystem up = skyFor(0.0f, 1.0f, 0.0f);
    EXPECT_EQ(up.theta, 0.0f);
    EXPECT_EQ(up.zenith_Y, s.zenith_Y);
}

TEST(SkyInit, SunAzimuthAndHorizontalSun)
{
    const scalar pi = 3.14159265f;
    const skySystem west = skyFor(-1.0f, 0.0f, 0.0f);
    EXPECT_FLOAT_EQ(west.theta, pi / 2);
    EXPECT_EQ(west.phi, 6.2831855f) << "z = 0 counts as z >= 0";
    EXPECT_FLOAT_EQ(skyFor(0.0f, 0.0f, 1.0f).phi, 3 * pi / 2);
    EXPECT_FLOAT_EQ(skyFor(0.0f, 0.0f, -1.0f).phi, pi / 2);
    EXPECT_FLOAT_EQ(skyFor(1.0f, 0.0f, 0.0f).phi, pi);

    // The azimuth points from the ground towards the sun: opposite to the light.
    EXPECT_FLOAT_EQ(angle2d(0.5f, -0.8660254f), 2 * pi / 3);
    EXPECT_FLOAT_EQ(angle2d(0.5f, 0.8660254f), 4 * pi / 3);
    // x goes in unnormalised: (0.3, 0) with z >= 0 is 2 pi - acos(-0.3).
    EXPECT_FLOAT_EQ(angle2d(0.3f, 0.0f), 2 * pi - std::acos(-0.3f));
}

TEST(SkyInit, SlantedSunAgainstReference)
{
    // Values from an independent python3 model (doubles, rounded to float where
    // the record stores them); tolerance 1e-6 relative.
    const skySystem s = skyFor(0.48f, -0.6f, 0.64f);
    EXPECT_NEAR(s.theta, 0.62831855f, 1e-6f);
    EXPECT_NEAR(s.phi, 4.2117343f, 5e-6f);
    EXPECT_NEAR(s.zenith_x, 0.24648379f, 1e-6f);
    EXPECT_NEAR(s.zenith_y, 0.24978542f, 1e-6f);
    EXPECT_NEAR(s.zenith_Y, 4.8499093f, 5e-6f);
}

TEST(SkyInit, PerezCoefficientsAreTheTurbidityTable)
{
    const skySystem a = skyFor(0.0f, -1.0f, 0.0f);
    const skySystem b = skyFor(0.6f, -0.8f, 0.0f);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(a.perez_Y[i], kPerezY[i]) << i;
        EXPECT_EQ(a.perez_x[i], kPerezX[i]) << i;
        EXPECT_EQ(a.perez_y[i], kPerezYc[i]) << i;
        EXPECT_EQ(b.perez_Y[i], kPerezY[i]) << "independent of the sun, " << i;
    }

    // The table is the linear turbidity model evaluated from the scalar T = 1.9f.
    const scalar T = 1.9f;
    const double lin[3][5][2] = {
        {{0.17872, -1.46303}, {-0.35540, 0.42749}, {-0.02266, 5.32505},
         {0.12064, -2.57705}, {-0.06696, 0.37027}},
        {{-0.01925, -0.25922}, {-0.06651, 0.00081}, {-0.00041, 0.21247},
         {-0.06409, -0.89887}, {-0.00325, 0.04517}},
        {{-0.01669, -0.26078}, {-0.09495, 0.00921}, {-0.00792, 0.21023},
         {-0.04405, -1.65369}, {-0.01092, 0.05291}}};
    const scalar* table[3] = {kPerezY, kPerezX, kPerezYc};
    for (int k = 0; k < 3; ++k)
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(static_cast<scalar>(lin[k][i][0] * T + lin[k][i][1]), table[k][i]) << k << i;
}

TEST(GetAngleBetween, ClampsRoundingAtBothEnds)
{
    // Equal directions whose cosine rounds to just above 1: without the clamp
    // acos would give NaN.
    const scalar t = 0.029f;
    const double c = std::cos(double(t)) * std::cos(double(t))
                     + std::sin(double(t)) * std::sin(double(t)) * std::cos(0.0);
    ASSERT_GT(c, 1.0) << "input no longer exercises the rounding case";
    EXPECT_EQ(getAngleBetween(t, 1.0f, t, 1.0f), 0.0f);
    for (scalar th : {0.0f, 0.3f, 1.2f, 1.5698f})
        EXPECT_NEAR(getAngleBetween(th, 2.0f, th, 2.0f), 0.0f, 2e-7f) << th;

    // Opposite directions whose cosine rounds to just below -1 (found by a
    // python3 search over float inputs).
    const scalar tv = 2.99673414f, ts = 0.144858509f, pv = 0.506513476f, ps = 3.6481061f;
    const double c2 = std::cos(double(tv)) * std::cos(double(ts))
                      + std::sin(double(tv)) * std::sin(double(ts)) * std::cos(double(ps) - pv);
    ASSERT_LT(c2, -1.0) << "input no longer exercises the rounding case";
    EXPECT_EQ(getAngleBetween(tv, pv, ts, ps), 3.1415927f);

    // Ordinary angles: zenith to a zenith angle, and two horizon azimuths.
    EXPECT_FLOAT_EQ(getAngleBetween(0.0f, 0.0f, 0.7f, 2.5f), 0.7f);
    EXPECT_FLOAT_EQ(getAngleBetween(1.5707964f, 0.25f, 1.5707964f, 1.8207964f), 1.5707964f);
}

TEST(Perez, ZenithWithSunAngleGivesZenithValue)
{
    const scalar* sets[3] = {kPerezY, kPerezX, kPerezYc};
    for (const scalar* lam : sets)
        for (scalar thetaS : {0.0f, 0.4f, 1.1f, 1.5707964f})
            EXPECT_EQ(perez(lam, 0.0f, thetaS, 0.25f, thetaS), 0.25f) << thetaS;
    EXPECT_EQ(perez(kPerezY, 0.0f, 0.9f, 13.912f, 0.9f), 13.912f);
}

TEST(SkyIntersect, BelowHorizonRepeatsHorizonColour)
{
    const skySystem s = skyFor(0.48f, -0.6f, 0.64f);
    const scalar xz[][2] = {{0.8f, -0.6f}, {-0.6f, 0.8f}, {0.0f, 1.0f}, {-1.0f, 0.0f},
                            {0.0f, 0.0f}};
    for (const auto& d : xz) {
        scalar ref[4], c[4];
        skyColor(ref, s, d[0], 0.001f, d[1]);
        for (scalar y : {0.001f, 0.0009999f, 0.0f, -0.0f, -0.2f, -1.0f}) {
            skyColor(c, s, d[0], y, d[1]);
            for (int i = 0; i < 3; ++i)
                EXPECT_EQ(c[i], ref[i]) << d[0] << " " << y << " " << d[1];
        }
    }
    // Just above the limit the colour starts to differ.
    scalar a[4], b[4];
    skyColor(a, s, 0.8f, 0.001f, -0.6f);
    skyColor(b, s, 0.8f, 0.05f, -0.6f);
    EXPECT_NE(a[0], b[0]);
}

TEST(SkyIntersect, StraightUpShowsZenithValues)
{
    const scalar suns[][3] = {{0.0f, -1.0f, 0.0f}, {0.48f, -0.6f, 0.64f}, {-0.96f, -0.28f, 0.0f}};
    for (const auto& d : suns) {
        const skySystem s = skyFor(d[0], d[1], d[2]);
        scalar up[4], zen[3];
        skyColor(up, s, 0.0f, 1.0f, 0.0f);
        Yxy_RGB(zen, s.zenith_Y, s.zenith_x, s.zenith_y);
        for (int i = 0; i < 3; ++i)
            EXPECT_NEAR(up[i], 0.85f * zen[i], 2e-6f) << d[1] << " " << i;
        // The azimuth is irrelevant at the zenith.
        scalar tilted[4];
        skyColor(tilted, s, 1e-6f, 1.0f, -1e-6f);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(tilted[i], up[i]);
        // A rotated unit vector may have a height a rounding above 1.
        scalar over[4];
        skyColor(over, s, 0.0f, std::nextafter(1.0f, 2.0f), 0.0f);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(over[i], up[i]);
    }
}

TEST(SkyIntersect, MatchesIndependentModel)
{
    // Expected colours from a separate python3 implementation of the sky
    // (doubles, with float rounding where values pass through scalars), run
    // once; tolerance 2e-6 relative (the two agree to a float rounding).
    struct Case {
        scalar sun[3], view[3], rgb[3];
    };
    const Case cases[] = {
        {{0.48f, -0.6f, 0.64f}, {0.0f, 1.0f, 0.0f}, {0.15305778f, 0.21344805f, 0.30592534f}},
        {{0.48f, -0.6f, 0.64f}, {-0.48f, 0.6f, -0.64f}, {0.30357683f, 0.3806105f, 0.49015951f}},
        {{0.48f, -0.6f, 0.64f}, {0.6f, 0.8f, 0.0f}, {0.13255458f, 0.20293963f, 0.30004969f}},
        {{0.48f, -0.6f, 0.64f}, {0.0f, 0.28f, 0.96f}, {0.20954047f, 0.30514121f, 0.41212377f}},
        {{0.48f, -0.6f, 0.64f}, {-0.6f, 0.0f, 0.8f}, {0.36645544f, 0.39814726f, 0.44484335f}},
        // Near the zenith the azimuth still counts.
        {{0.48f, -0.6f, 0.64f}, {0.0f, 0.999f, 0.04471018f},
         {0.1478364f, 0.20832597f, 0.30042657f}},
        {{0.48f, -0.6f, 0.64f}, {-0.04471018f, 0.999f, 0.0f},
         {0.15608595f, 0.21649657f, 0.30923197f}},
        {{0.96f, -0.28f, 0.0f}, {-0.48f, 0.6f, -0.64f}, {0.25578463f, 0.32426298f, 0.42719254f}},
        {{0.96f, -0.28f, 0.0f}, {0.8f, 0.001f, -0.6f}, {0.38558787f, 0.41276467f, 0.44273511f}},
        {{0.96f, -0.28f, 0.0f}, {-0.6f, 0.0f, 0.8f}, {0.42961174f, 0.44243509f, 0.46731839f}},
        {{-0.28f, -0.96f, 0.0f}, {0.0f, 1.0f, 0.0f}, {0.257388f, 0.32734954f, 0.41552538f}},
        {{-0.28f, -0.96f, 0.0f}, {0.6f, 0.8f, 0.0f}, {0.18197055f, 0.25160715f, 0.35428438f}},
        {{-0.28f, -0.96f, 0.0f}, {0.0f, 0.28f, 0.96f}, {0.22620107f, 0.31840727f, 0.42791849f}},
    };
    for (const Case& c : cases) {
        const skySystem s = skyFor(c.sun[0], c.sun[1], c.sun[2]);
        scalar rgb[4];
        skyColor(rgb, s, c.view[0], c.view[1], c.view[2]);
        for (int i = 0; i < 3; ++i)
            EXPECT_NEAR(rgb[i], c.rgb[i], 2e-6f * c.rgb[i])
                << "sun " << c.sun[1] << " view " << c.view[0] << "," << c.view[1] << ","
                << c.view[2] << " channel " << i;
    }
}

// The colour of one view direction composed from the public pieces, each of
// which works out the sun's terms for itself.
void composedColor(scalar* rgb, const skySystem& s, const scalar* w)
{
    const scalar wy = std::min(std::max(w[1], 0.001f), 1.0f);
    const scalar th = static_cast<scalar>(std::acos(double(wy)));
    const scalar ph =
        th < 0.00001f ? 0.0f : static_cast<scalar>(std::atan2(double(w[2]), double(w[0])));
    const scalar g = getAngleBetween(th, ph, s.theta, s.phi);
    Yxy_RGB(rgb, perez(s.perez_Y, th, g, s.zenith_Y, s.theta),
            perez(s.perez_x, th, g, s.zenith_x, s.theta),
            perez(s.perez_y, th, g, s.zenith_y, s.theta));
    for (int i = 0; i < 3; ++i)
        rgb[i] = static_cast<scalar>(rgb[i] * 0.85);
}

// Suns from overhead to the horizon (light travelling upwards too) at several
// azimuths, and views at the zenith, a rounding above it, on and below the
// horizon, towards and away from the sun and on an elevation-azimuth grid.
std::vector<skySystem> gridSuns()
{
    std::vector<skySystem> suns;
    const scalar dirs[][3] = {{0.0f, -1.0f, 0.0f}, {0.0f, 1.0f, 0.0f}, {-1.0f, 0.0f, 0.0f},
                              {0.6f, 0.0f, -0.8f}, {0.48f, -0.6f, 0.64f}};
    for (const auto& d : dirs)
        suns.push_back(skyFor(d[0], d[1], d[2]));
    for (int e = 1; e < 8; ++e)
        for (int a = 0; a < 7; ++a) {
            const double el = e * 0.2, az = a * 0.9 - 2.5;
            suns.push_back(skyFor(static_cast<scalar>(std::cos(el) * std::cos(az)),
                                  static_cast<scalar>(-std::sin(el)),
                                  static_cast<scalar>(std::cos(el) * std::sin(az))));
        }
    return suns;
}

std::vector<std::array<scalar, 3>> gridViews(const skySystem& s)
{
    const scalar* d = s.sunDirection;
    std::vector<std::array<scalar, 3>> views = {
        {0.0f, 1.0f, 0.0f}, {0.0f, std::nextafter(1.0f, 2.0f), 0.0f}, {1e-6f, 1.0f, -1e-6f},
        {0.6f, 0.0f, 0.8f}, {-0.8f, -0.0f, -0.6f}, {0.0f, -1.0f, 0.0f}, {0.0f, 0.0f, 0.0f},
        {-0.3f, -0.9f, 0.3f}, {-d[0], -d[1], -d[2]}, {d[0], -d[1], d[2]}, {-d[0], 0.0f, -d[2]},
        // Azimuths of signed zeros: pi against -pi, 0 against -0.
        {-0.8f, 0.6f, 0.0f}, {-0.8f, 0.6f, -0.0f}, {0.0f, 0.5f, 0.0f}, {-0.0f, 0.5f, -0.0f}};
    for (int e = 0; e <= 12; ++e)
        for (int a = 0; a < 16; ++a) {
            const double el = e * 0.13 - 0.05, az = a * 0.4 - 3.14159;
            views.push_back({static_cast<scalar>(std::cos(el) * std::cos(az)),
                             static_cast<scalar>(std::sin(el)),
                             static_cast<scalar>(std::cos(el) * std::sin(az))});
        }
    return views;
}

TEST(SkyIntersect, EqualsPerezCompositionOverSunsAndViews)
{
    // sky_intersect keeps the sun's terms from sky_init and shares the view's
    // between its three Perez evaluations; it must still give exactly what
    // the public pieces give.
    for (const skySystem& s : gridSuns())
        for (const auto& w : gridViews(s)) {
            scalar expect[3], got[4];
            composedColor(expect, s, w.data());
            skyColor(got, s, w[0], w[1], w[2]);
            for (int i = 0; i < 3; ++i)
                ASSERT_EQ(got[i], expect[i]) << "sun " << s.sunDirection[0] << ","
                    << s.sunDirection[1] << "," << s.sunDirection[2] << " view " << w[0]
                    << "," << w[1] << "," << w[2] << " channel " << i;
        }
}

TEST(SkyIntersect, EqualsItsPartsForSkiesThatDifferSlightly)
{
    // Suns a rounding apart in height, or slightly apart in azimuth, each get
    // the colour that the public pieces give for them, however the calls
    // interleave: nothing of one sky leaks into the next.
    const skySystem a = skyFor(0.48f, -0.6f, 0.64f);
    const skySystem b = skyFor(0.48f, std::nextafter(-0.6f, 0.0f), 0.64f);
    const skySystem c = skyFor(0.4801f, -0.6f, 0.64f);
    const skySystem d = skyFor(0.0f, -0.28f, 0.96f);
    ASSERT_NE(a.theta, b.theta);
    ASSERT_NE(a.phi, c.phi);
    const skySystem* skies[] = {&a, &b, &a, &c, &a, &d, &b, &c};
    const scalar w[3] = {0.6f, 0.64f, 0.48f};
    for (int k = 0; k < 8; ++k) {
        scalar expect[3], got[4];
        composedColor(expect, *skies[k], w);
        skyColor(got, *skies[k], w[0], w[1], w[2]);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(got[i], expect[i]) << "call " << k << " channel " << i;
    }
}

// The batch paths this processor runs, the one-lane path first.
std::vector<t_skyPath> runnablePaths()
{
    std::vector<t_skyPath> paths;
    for (t_skyPath p : {SKY_PATH_LANES1, SKY_PATH_SSE2, SKY_PATH_AVX2, SKY_PATH_AVX512})
        if (sky_pathRuns(p))
            paths.push_back(p);
    return paths;
}

int32_t ulpDistance(scalar a, scalar b)
{
    int32_t ia, ib;
    std::memcpy(&ia, &a, 4);
    std::memcpy(&ib, &b, 4);
    // Map the sign-magnitude order onto integers.
    ia = ia < 0 ? INT32_MIN - ia : ia;
    ib = ib < 0 ? INT32_MIN - ib : ib;
    return ia > ib ? ia - ib : ib - ia;
}

TEST(SkyIntersectN, EveryPathMatchesTheScalarSkyWithinOneUlp)
{
    // All paths agree bit for bit; each colour is sky_intersect's or one
    // float rounding from it, and nearly always equal. The special views
    // (zenith, a rounding above it, horizon, below it, signed zeros) are equal.
    long values = 0, differ = 0;
    for (const skySystem& s : gridSuns()) {
        const auto views = gridViews(s);
        const unsigned int n = static_cast<unsigned int>(views.size());
        std::vector<scalar> wx(n), wy(n), wz(n), ref(3 * n + 1);  // + skyColor's sentinel
        for (unsigned int i = 0; i < n; ++i) {
            wx[i] = views[i][0];
            wy[i] = views[i][1];
            wz[i] = views[i][2];
            skyColor(&ref[3 * i], s, wx[i], wy[i], wz[i]);
        }
        std::vector<scalar> first;
        for (t_skyPath path : runnablePaths()) {
            std::vector<scalar> got(3 * n);
            sky_intersectN_path(path, got.data(), &s, wx.data(), wy.data(), wz.data(), n);
            if (first.empty())
                first = got;
            ASSERT_EQ(std::memcmp(got.data(), first.data(), 3 * n * sizeof(scalar)), 0)
                << "path " << path << " differs from the one-lane path";
        }
        for (unsigned int i = 0; i < 3 * n; ++i) {
            const int32_t d = ulpDistance(first[i], ref[i]);
            ASSERT_LE(d, 1) << "view " << i / 3 << " channel " << i % 3 << ": "
                            << first[i] << " vs " << ref[i];
            if (i < 3 * 15) {
                EXPECT_EQ(first[i], ref[i]) << "special view " << i / 3;
            }
            differ += d != 0;
            ++values;
        }
    }
    EXPECT_LE(differ * 1000, values) << differ << " of " << values << " differ";
}

TEST(SkyIntersectN, ColoursDoNotDependOnCountOrPosition)
{
    // Counts around the block sizes (4 to 32 directions), started at many
    // offsets, give the colours of one long batch and write nothing past
    // their 3 n values; nor on the views beside them.
    const skySystem s = skyFor(0.48f, -0.6f, 0.64f);
    const auto views = gridViews(s);
    const unsigned int total = 80;
    std::vector<scalar> wx(total), wy(total), wz(total), whole(3 * total);
    for (unsigned int i = 0; i < total; ++i) {
        wx[i] = views[i][0];
        wy[i] = views[i][1];
        wz[i] = views[i][2];
    }
    sky_intersectN_path(SKY_PATH_LANES1, whole.data(), &s, wx.data(), wy.data(), wz.data(), total);
    for (t_skyPath path : runnablePaths())
        for (unsigned int n = 0; n <= 67; ++n)
            for (unsigned int at = 0; at + n <= total; at += 7) {
                std::vector<scalar> got(3 * n + 1, -123.0f);
                sky_intersectN_path(path, got.data(), &s, &wx[at], &wy[at], &wz[at], n);
                ASSERT_EQ(std::memcmp(got.data(), &whole[3 * at], 3 * n * sizeof(scalar)), 0)
                    << "path " << path << " n " << n << " at " << at;
                ASSERT_EQ(got[3 * n], -123.0f) << "written past the batch";
            }
    // The public entry takes one of these paths.
    std::vector<scalar> got(3 * total);
    sky_intersectN(got.data(), &s, wx.data(), wy.data(), wz.data(), total);
    EXPECT_EQ(std::memcmp(got.data(), whole.data(), 3 * total * sizeof(scalar)), 0);

    // Views of the ground (at and below the horizon's clamp, straight down),
    // then from within a block on views a little above the clamp, in one
    // batch; and each beside a view up, which makes its lanes work the angle
    // out.
    const unsigned int numLow = 96;
    std::vector<scalar> lx(numLow), ly(numLow), lz(numLow);
    std::vector<scalar> mx(2 * numLow, 0.0f), my(2 * numLow, 1.0f), mz(2 * numLow, 0.0f);
    const scalar lowY[] = {0.001f, std::nextafter(0.001f, 0.0f), 0.0f, -0.0f, -0.3f, -1.0f};
    for (unsigned int i = 0; i < numLow; ++i) {
        const double azimuth = 0.37 * i;
        ly[i] = i < 56 ? lowY[i % 6] : 0.0015f;
        lx[i] = static_cast<scalar>(std::cos(azimuth));
        lz[i] = static_cast<scalar>(std::sin(azimuth));
        mx[2 * i] = lx[i];
        my[2 * i] = ly[i];
        mz[2 * i] = lz[i];
    }
    for (t_skyPath path : runnablePaths()) {
        std::vector<scalar> low(3 * numLow), mixed(6 * numLow);
        sky_intersectN_path(path, low.data(), &s, lx.data(), ly.data(), lz.data(), numLow);
        sky_intersectN_path(path, mixed.data(), &s, mx.data(), my.data(), mz.data(), 2 * numLow);
        for (unsigned int i = 0; i < numLow; ++i)
            ASSERT_EQ(std::memcmp(&low[3 * i], &mixed[6 * i], 3 * sizeof(scalar)), 0)
                << "path " << path << " view " << i;
    }
}

TEST(YxyRGB, BlackWhiteAndBothCurveSegments)
{
    scalar c[3] = {9.0f, 9.0f, 9.0f};
    for (scalar x : {0.3127f, 0.64f, 0.15f}) {
        Yxy_RGB(c, 0.0f, x, 0.33f);
        EXPECT_EQ(c[0], 0.0f);
        EXPECT_EQ(c[1], 0.0f);
        EXPECT_EQ(c[2], 0.0f);
    }

    // The matrix rows each sum to 1, so x = y = 1/3 gives r = g = b = Y / 100.
    // Expected values from a python3 evaluation of the conversion; tolerance
    // 1e-6 absolute.
    Yxy_RGB(c, 100.0f, 1.0f / 3, 1.0f / 3);  // power segment: 1.0 stays 1.0
    EXPECT_NEAR(c[0], 1.0f, 1e-6f);
    EXPECT_NEAR(c[1], 1.0f, 1e-6f);
    EXPECT_NEAR(c[2], 1.0f, 1e-6f);
    Yxy_RGB(c, 0.2f, 1.0f / 3, 1.0f / 3);  // linear segment: 12.92 * 0.002
    EXPECT_NEAR(c[0], 0.02584f, 1e-6f);
    EXPECT_NEAR(c[2], 0.02584f, 1e-6f);

    // Saturated red: power curve, a negative and a small positive linear value.
    Yxy_RGB(c, 20.0f, 0.64f, 0.33f);
    EXPECT_NEAR(c[0], 0.883042693f, 1e-6f);
    EXPECT_NEAR(c[1], -0.000156288064f, 1e-8f);
    EXPECT_NEAR(c[2], 0.0011745221f, 1e-8f);
    // Saturated blue: values above 1 are not clamped.
    Yxy_RGB(c, 50.0f, 0.15f, 0.06f);
    EXPECT_GT(c[2], 1.0f);
    Yxy_RGB(c, 5.0f, 0.15f, 0.06f);
    EXPECT_NEAR(c[0], 0.00333786802f, 1e-8f);
    EXPECT_NEAR(c[1], 0.00150723709f, 1e-8f);
    EXPECT_NEAR(c[2], 0.891979039f, 1e-6f);
}

}  // namespace
