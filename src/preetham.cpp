// Module preetham: the Preetham daylight sky. sky_init derives the model's
// parameters, and the terms of the sun alone, from the sun's direction;
// sky_intersect turns a view direction into a gamma-encoded RGB colour, and
// sky_intersectN does so for many directions at once in SIMD lanes
// (preetham_lanes.h).
//
// Precision: record fields and function arguments are scalar; every
// expression between them is evaluated in double with double-precision libm
// calls (acos, atan2, cos, sin, exp, tan, pow). The only single-precision
// steps are those the model's values depend on: T^2 is formed as a scalar
// product, and the horizon limit of a view direction is the scalar 0.001f.
#include "preetham_internal.h"

#include <cmath>

#include "preetham_lanes.h"

namespace {

const scalar kTwoPi = 6.2831855f;
const scalar kPi = 3.1415927f;
const double kPiD = 3.14159265358979323846;

// Lowest view elevation (w.y) shown; anything below takes the horizon colour.
const scalar kHorizonY = 0.001f;

// Cosines and angles of one view direction that all three Perez evaluations
// share. Working them out once gives exactly the values perez() would compute
// for itself, so sky_intersect stays bit-identical to calling perez().
struct t_perezView {
    double cosTheta;   // view direction's zenith angle
    double gamma;      // angle between view direction and sun
    double cosGamma;
    double thetaS;     // sun's zenith angle
    double cosThetaS;
};

inline t_perezView perezView(scalar theta, scalar gamma, scalar thetaS)
{
    t_perezView v;
    v.cosTheta = std::cos(static_cast<double>(theta));
    v.gamma = gamma;
    v.cosGamma = std::cos(v.gamma);
    v.thetaS = thetaS;
    v.cosThetaS = std::cos(v.thetaS);
    return v;
}

// F(t, g) = (1 + A e^(B / cos t)) (1 + C e^(D g) + E cos^2 g) at the view.
inline double perezNum(const scalar* lam, const t_perezView& v)
{
    const double A = lam[0], B = lam[1], C = lam[2], D = lam[3], E = lam[4];
    return (1.0 + A * std::exp(B / v.cosTheta))
           * (1.0 + C * std::exp(D * v.gamma) + E * (v.cosGamma * v.cosGamma));
}

// F(0, thetaS): depends on the sky alone.
inline double perezDen(const scalar* lam, double thetaS, double cosThetaS)
{
    const double A = lam[0], B = lam[1], C = lam[2], D = lam[3], E = lam[4];
    return (1.0 + A * std::exp(B)) * (1.0 + C * std::exp(D * thetaS) + E * (cosThetaS * cosThetaS));
}

// lvz * F(theta, gamma) / F(0, thetaS).
inline scalar perezEval(const scalar* lam, const t_perezView& v, scalar lvz)
{
    const double num = perezNum(lam, v);
    const double den = perezDen(lam, v.thetaS, v.cosThetaS);
    return static_cast<scalar>(lvz * num / den);
}

// Angle between two directions given by the cosines and sines of their
// zenith angles and their azimuth difference.
inline scalar angleBetween(double cosTv, double sinTv, double cosT, double sinT, double dPhi)
{
    const double c = cosTv * cosT + sinTv * sinT * std::cos(dPhi);
    // Rounding can push c just outside [-1, 1], where acos would give NaN.
    if (c > 1.0)
        return 0.0f;
    if (c < -1.0)
        return kPi;
    return static_cast<scalar>(std::acos(c));
}

// sRGB transfer curve; values at or below the knee (negatives too) stay linear.
inline double srgbEncode(double c)
{
    if (c > 0.0031308)
        return 1.055 * std::pow(c, 0.41666666666666669) - 0.055;
    return 12.92 * c;
}

}  // namespace

scalar angle2d(scalar x, scalar z)
{
    // x goes into acos unnormalised; a caller passing a unit horizontal
    // vector gets the azimuth of the opposite direction (towards the sun).
    const double a = std::acos(-static_cast<double>(x));
    if (z >= 0.0f)
        return static_cast<scalar>(kTwoPi - a);
    return static_cast<scalar>(a);
}

scalar getAngleBetween(scalar thetav, scalar phiv, scalar theta, scalar phi)
{
    const double tv = thetav, t = theta;
    return angleBetween(std::cos(tv), std::sin(tv), std::cos(t), std::sin(t),
                        static_cast<double>(phi) - phiv);
}

scalar perez(const scalar* lam, scalar theta, scalar gamma, scalar lvz, scalar thetaS)
{
    return perezEval(lam, perezView(theta, gamma, thetaS), lvz);
}

void sky_init(skySystem* p_skySystem)
{
    skySystem* s = p_skySystem;
    const scalar T = 1.9f;
    s->T = T;

    // Zenith angle linear in the height of the direction; upward light is
    // treated as its mirror image.
    s->theta = static_cast<scalar>((1.0 - std::fabs(s->sunDirection[1])) * 90.0 * 0.017453294);
    s->phi = angle2d(s->sunDirection[0], s->sunDirection[2]);

    const double th = s->theta;
    const double th2 = th * th;
    const double th3 = th2 * th;
    const scalar T2 = T * T;  // single precision by design: 3.6099999
    s->zenith_x = static_cast<scalar>(
        T2 * (0.00165 * th3 - 0.00374 * th2 + 0.00208 * th)
        + T * (-0.02902 * th3 + 0.06377 * th2 - 0.03202 * th + 0.00394)
        + (0.11693 * th3 - 0.21196 * th2 + 0.06052 * th + 0.25885));
    s->zenith_y = static_cast<scalar>(
        T2 * (0.00275 * th3 - 0.0061 * th2 + 0.00316 * th)
        + T * (-0.04214 * th3 + 0.0897 * th2 - 0.04153 * th + 0.00515)
        + (0.15346 * th3 - 0.26756 * th2 + 0.06669 * th + 0.26688));

    // The model's pi is the five-digit 3.14159 here.
    const double chi = (4.0 / 9.0 - T / 120.0) * (3.14159 - 2.0 * th);
    s->zenith_Y = static_cast<scalar>((4.0453 * T - 4.9710) * std::tan(chi) - 0.2155 * T + 2.4192);

    // Perez coefficients, linear in the turbidity.
    s->perez_Y[0] = static_cast<scalar>(0.17872 * T - 1.46303);
    s->perez_Y[1] = static_cast<scalar>(-0.35540 * T + 0.42749);
    s->perez_Y[2] = static_cast<scalar>(-0.02266 * T + 5.32505);
    s->perez_Y[3] = static_cast<scalar>(0.12064 * T - 2.57705);
    s->perez_Y[4] = static_cast<scalar>(-0.06696 * T + 0.37027);

    s->perez_x[0] = static_cast<scalar>(-0.01925 * T - 0.25922);
    s->perez_x[1] = static_cast<scalar>(-0.06651 * T + 0.00081);
    s->perez_x[2] = static_cast<scalar>(-0.00041 * T + 0.21247);
    s->perez_x[3] = static_cast<scalar>(-0.06409 * T - 0.89887);
    s->perez_x[4] = static_cast<scalar>(-0.00325 * T + 0.04517);

    s->perez_y[0] = static_cast<scalar>(-0.01669 * T - 0.26078);
    s->perez_y[1] = static_cast<scalar>(-0.09495 * T + 0.00921);
    s->perez_y[2] = static_cast<scalar>(-0.00792 * T + 0.21023);
    s->perez_y[3] = static_cast<scalar>(-0.04405 * T - 1.65369);
    s->perez_y[4] = static_cast<scalar>(-0.01092 * T + 0.05291);

    s->sunSolidAngle = static_cast<scalar>(0.25 * kPiD * 1.39 * 1.39 / (150.0 * 150.0));
    s->beta = static_cast<scalar>(0.04608365822050 * T - 0.04586025928522);

    // The terms of the sun alone, exactly as each view direction would form them.
    s->cosTheta = std::cos(th);
    s->sinTheta = std::sin(th);
    s->perezDen_x = perezDen(s->perez_x, th, s->cosTheta);
    s->perezDen_y = perezDen(s->perez_y, th, s->cosTheta);
    s->perezDen_Y = perezDen(s->perez_Y, th, s->cosTheta);
}

void Yxy_RGB(scalar* p_color, scalar Y, scalar x, scalar y)
{
    const double dY = Y, dx = x, dy = y;
    const double X = 0.01 * dx * dY / dy;
    const double Yp = 0.01 * dY;
    const double Z = 0.01 * (1.0 - dx - dy) * dY / dy;

    const double r = 2.565 * X - 1.167 * Yp - 0.398 * Z;
    const double g = -1.022 * X + 1.978 * Yp + 0.044 * Z;
    const double b = 0.075 * X - 0.252 * Yp + 1.177 * Z;

    p_color[0] = static_cast<scalar>(srgbEncode(r));
    p_color[1] = static_cast<scalar>(srgbEncode(g));
    p_color[2] = static_cast<scalar>(srgbEncode(b));
}

void sky_intersect(scalar* p_color, const skySystem* p_skySystem, const t_ray* p_ray)
{
    const skySystem* s = p_skySystem;
    const scalar* w = p_ray->w;

    // Below the horizon the sky repeats the horizon colour of the same azimuth;
    // w.x and w.z are deliberately not rescaled.
    scalar wy = w[1];
    if (wy < kHorizonY)
        wy = kHorizonY;
    // A unit direction turned by the view matrix can come out a rounding
    // above straight up, where acos has no value: show the zenith instead of NaN.
    if (wy > 1.0f)
        wy = 1.0f;

    const scalar theta = static_cast<scalar>(std::acos(static_cast<double>(wy)));
    // Straight up the azimuth is meaningless; pin it so the result is stable.
    scalar phi = 0.0f;
    if (std::fabs(static_cast<double>(theta)) >= 0.00001)
        phi = static_cast<scalar>(std::atan2(static_cast<double>(w[2]), static_cast<double>(w[0])));

    // The same values getAngleBetween and perez would compute, with each
    // cosine and sine worked out once per call and the sun's terms from sky_init.
    const double tv = theta;
    t_perezView v;
    v.cosTheta = std::cos(tv);
    v.gamma = angleBetween(v.cosTheta, std::sin(tv), s->cosTheta, s->sinTheta,
                           static_cast<double>(s->phi) - phi);
    v.cosGamma = std::cos(v.gamma);
    const scalar x = static_cast<scalar>(s->zenith_x * perezNum(s->perez_x, v) / s->perezDen_x);
    const scalar y = static_cast<scalar>(s->zenith_y * perezNum(s->perez_y, v) / s->perezDen_y);
    const scalar Y = static_cast<scalar>(s->zenith_Y * perezNum(s->perez_Y, v) / s->perezDen_Y);

    Yxy_RGB(p_color, Y, x, y);
    p_color[0] = static_cast<scalar>(p_color[0] * 0.85);
    p_color[1] = static_cast<scalar>(p_color[1] * 0.85);
    p_color[2] = static_cast<scalar>(p_color[2] * 0.85);
}

bool sky_pathRuns(t_skyPath path)
{
    switch (path) {
    case SKY_PATH_AVX512:
        return __builtin_cpu_supports("avx512f");
    case SKY_PATH_AVX2:
        return __builtin_cpu_supports("avx2");
    default:
        return true;
    }
}

t_skyPath sky_bestPath()
{
    static const t_skyPath best = sky_pathRuns(SKY_PATH_AVX512) ? SKY_PATH_AVX512
                                  : sky_pathRuns(SKY_PATH_AVX2) ? SKY_PATH_AVX2
                                                                : SKY_PATH_SSE2;
    return best;
}

void sky_intersectN_path(t_skyPath path, scalar* p_rgb, const skySystem* p_skySystem,
                         const scalar* wx, const scalar* wy, const scalar* wz, unsigned int n)
{
    const skySystem* s = p_skySystem;
    t_skyLaneConsts k;
    k.phiS = s->phi;
    k.cosThetaS = s->cosTheta;
    k.sinThetaS = s->sinTheta;
    const scalar* lam[3] = {s->perez_x, s->perez_y, s->perez_Y};
    const scalar zenith[3] = {s->zenith_x, s->zenith_y, s->zenith_Y};
    const double den[3] = {s->perezDen_x, s->perezDen_y, s->perezDen_Y};
    for (int j = 0; j < 3; ++j) {
        k.A[j] = lam[j][0];
        k.B[j] = lam[j][1];
        k.C[j] = lam[j][2];
        k.D[j] = lam[j][3];
        k.E[j] = lam[j][4];
        k.zenith[j] = zenith[j];
        k.den[j] = den[j];
    }
    switch (path) {
    case SKY_PATH_AVX512:
        sky_lanesAvx512(p_rgb, &k, wx, wy, wz, n);
        break;
    case SKY_PATH_AVX2:
        sky_lanesAvx2(p_rgb, &k, wx, wy, wz, n);
        break;
    case SKY_PATH_SSE2:
        lanes::skyRun<2>(p_rgb, k, wx, wy, wz, n);
        break;
    default:
        lanes::skyRun<1>(p_rgb, k, wx, wy, wz, n);
        break;
    }
}

void sky_intersectN(scalar* p_rgb, const skySystem* p_skySystem, const scalar* wx,
                    const scalar* wy, const scalar* wz, unsigned int n)
{
    sky_intersectN_path(sky_bestPath(), p_rgb, p_skySystem, wx, wy, wz, n);
}
