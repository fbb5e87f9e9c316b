// The sky of several view directions at once, one direction per SIMD lane.
//
// Every step is the double-precision formula of sky_intersect; the elementary
// functions are our own polynomials with plain adds and multiplies. The same
// template, with the same operation order, is compiled for 1, 2, 4 and 8 lanes,
// so every lane width gives bit-identical results.
//
// Included by preetham.cpp and by the AVX2 and AVX-512 files, which are
// compiled with wider instructions: everything here has internal linkage and
// no standard header is pulled in, so no inline function of one file can
// stand in for another's at link time.
#ifndef PREETHAM_LANES_H
#define PREETHAM_LANES_H

#include "tesk.h"

// What a batch needs of the sky record, widened to double once per call.
struct t_skyLaneConsts {
    double phiS, cosThetaS, sinThetaS;
    double A[3], B[3], C[3], D[3], E[3];  // Perez coefficients of x, y, Y
    double zenith[3];
    double den[3];
};

// The batch 4 and 8 lanes wide, each in its own file.
void sky_lanesAvx2(scalar* p_rgb, const t_skyLaneConsts* k, const scalar* wx, const scalar* wy,
                   const scalar* wz, unsigned int n);
void sky_lanesAvx512(scalar* p_rgb, const t_skyLaneConsts* k, const scalar* wx, const scalar* wy,
                     const scalar* wz, unsigned int n);

namespace {
namespace lanes {

template <int N>
struct t_vec {
    typedef double V __attribute__((vector_size(8 * N)));
    typedef long long I __attribute__((vector_size(8 * N)));
    typedef unsigned long long U __attribute__((vector_size(8 * N)));
    typedef float F __attribute__((vector_size(4 * N)));
};

// Bit patterns of doubles.
const long long kSignBit = static_cast<long long>(0x8000000000000000ull);
const long long kAbsBits = 0x7fffffffffffffffll;
// 1.5 * 2^52: adding it rounds a double to an integer held in the low bits.
const double kRound = 6755399441055744.0;

template <class V>
inline V splat(double c)
{
    return V{} + c;
}

// Lane by lane m ? a : b (a blend where the processor has one).
template <class V, class I>
inline V sel(I m, V a, V b)
{
    return m ? a : b;
}

template <class V, class I>
inline V vabs(V x)
{
    return (V)((I)x & kAbsBits);
}

// Rounds each lane to the nearest float, as a double.
template <int N>
inline typename t_vec<N>::V toScalar(typename t_vec<N>::V x)
{
    typedef typename t_vec<N>::V V;
    typedef typename t_vec<N>::F F;
    return __builtin_convertvector(__builtin_convertvector(x, F), V);
}

template <int N>
inline typename t_vec<N>::V vsqrt(typename t_vec<N>::V x)
{
    // Exactly rounded in every width.
    if constexpr (N == 2) {
        return __builtin_ia32_sqrtpd(x);
    } else if constexpr (N == 4) {
        return __builtin_ia32_sqrtpd256(x);
    } else if constexpr (N == 8) {
        return __builtin_ia32_sqrtpd512_mask(x, x, 0xff, 4);
    } else {
        typename t_vec<N>::V r;
        for (int i = 0; i < N; ++i)
            r[i] = __builtin_sqrt(x[i]);
        return r;
    }
}

// The polynomial with n (3 to 18) coefficients c, highest power first, at z.
// The high powers go in Estrin's order (pairs of terms, then pairs of pairs),
// which shortens the chain of dependent operations; the two lowest, which
// carry the most weight, by Horner's rule for accuracy.
template <class V>
inline V poly(V z, const double* c, int n)
{
    V t[8];
    int m = 0;
    for (int i = n - 3; i >= 0; i -= 2)
        t[m++] = i > 0 ? c[i] + c[i - 1] * z : splat<V>(c[i]);
    V zz = z * z;
    while (m > 1) {
        int k = 0;
        for (int i = 0; i < m; i += 2)
            t[k++] = i + 1 < m ? t[i] + t[i + 1] * zz : t[i];
        m = k;
        zz = zz * zz;
    }
    return (t[0] * z + c[n - 2]) * z + c[n - 1];
}

// Chebyshev fits printed by tools/sky_poly_fit.py, highest power first; each
// leaves under 4e-17 relative error before rounding.
// exp(r) = 1 + r + r^2 Q(r), |r| <= ln2 / 2
const double kExpQ[10] = {2.510038549551032e-08,  2.7620088445409746e-07, 2.7557268459997064e-06,
                          2.4801521295954376e-05, 0.00019841269863053618, 0.0013888888917213717,
                          0.008333333333330062,   0.04166666666662413,    0.16666666666666669,
                          0.5000000000000001};
// sin(r) = r + r^3 S(r^2), |r| <= pi / 2
const double kSinS[8] = {2.731413203769e-15,      -7.643967764934268e-13, 1.6058977233147317e-10,
                         -2.5052107615772583e-08, 2.7557319219153625e-06, -0.0001984126984125494,
                         0.008333333333333316,    -0.16666666666666666};
// asin(u) = u + u z P(z), z = u^2 <= 1/4
const double kAsinP[13] = {0.028757851367421566, -0.014851887071247204, 0.01740087944269402,
                           0.005457506718640358, 0.01032281435018578,   0.011479177415184906,
                           0.013971212973552933, 0.017352392720869973,  0.02237217294214989,
                           0.030381944138531247, 0.04464285714635543,   0.07499999999998433,
                           0.16666666666666669};
// atan(u) = u + u z R(z), z = u^2 <= tan^2(pi / 8)
const double kAtanR[11] = {-0.01917392228554793, 0.03922923713835943,  -0.05085365922344248,
                           0.05858132894427922,  -0.06664509603255386, 0.07692183059894114,
                           -0.09090904572487347, 0.11111111015117626,  -0.1428571428466482,
                           0.19999999999995513,  -0.3333333333333333};
// 2 atanh(s) = 2 s + s z L(z), z = s^2 <= ((sqrt 2 - 1) / (sqrt 2 + 1))^2
const double kLogL[7] = {0.14616721179861816, 0.15331699633543858, 0.18182889786191042,
                         0.2222221112572281,  0.28571428626031065, 0.3999999999989938,
                         0.666666666666667};

// ln 2 and pi / 2 split so that a small integer times the high part is exact.
const double kLn2Hi = 0.6931471803691238, kLn2Lo = 1.9082149292705877e-10;
const double kPio2Hi33 = 1.5707963267341256, kPio2Lo33 = 6.077100506506192e-11;
const double kInvPi = 0.3183098861837907;
// pi / 2 and pi / 4 as the nearest double plus the rest.
const double kPio2 = 1.5707963267948966, kPio2Lo = 6.123233995736766e-17;
const double kPio4 = 0.7853981633974483, kPio4Lo = 3.061616997868383e-17;

// e^x for |x| <= 708.
template <int N>
inline typename t_vec<N>::V vexp(typename t_vec<N>::V x)
{
    typedef typename t_vec<N>::V V;
    typedef typename t_vec<N>::U U;
    // x = k ln 2 + r; 2^k goes straight into the exponent bits.
    const V t = x * 1.4426950408889634 + kRound;
    const V kd = t - kRound;
    const U k = (U)t - (U)splat<V>(kRound);  // wraps for negative k
    const V r = (x - kd * kLn2Hi) - kd * kLn2Lo;
    const V p = 1.0 + (r + r * r * poly(r, kExpQ, 10));
    return (V)((U)p + (k << 52));
}

// ln c for positive normal c.
template <int N>
inline typename t_vec<N>::V vlog(typename t_vec<N>::V c)
{
    typedef typename t_vec<N>::V V;
    typedef typename t_vec<N>::I I;
    typedef typename t_vec<N>::U U;
    // c = 2^k m with m in [sqrt(1/2), sqrt(2)).
    const long long sqrtHalf = 0x3fe6a09e667f3bcdll;
    const U ix = (U)((I)c + (0x3ff0000000000000ll - sqrtHalf));
    const U mbits = (ix & 0x000fffffffffffffull) + static_cast<unsigned long long>(sqrtHalf);
    const V kd = (V)((ix >> 52) + (U)((I)splat<V>(kRound) - 1023)) - kRound;
    const V f = (V)mbits - 1.0;
    const V s = f / (2.0 + f);
    const V z = s * s;
    // ln m = f - s (f - z L(z)), where f is exact and the rest is small;
    // the low part of k ln 2 joins the small terms.
    const V lm = f - (s * (f - z * poly(z, kLogL, 7)) - kd * kLn2Lo);
    return kd * kLn2Hi + lm;
}

// sin r for |r| <= pi / 2.
template <int N>
inline typename t_vec<N>::V vsinHalfPi(typename t_vec<N>::V r)
{
    const typename t_vec<N>::V z = r * r;
    return r + r * z * poly(z, kSinS, 8);
}

// cos x for -pi <= x <= 3 pi: x = (2 k + 1) pi / 2 + r with |r| <= pi / 2,
// and cos x = -(-1)^k sin r.
template <int N>
inline typename t_vec<N>::V vcos(typename t_vec<N>::V x)
{
    typedef typename t_vec<N>::V V;
    typedef typename t_vec<N>::U U;
    const V t = (x * kInvPi - 0.5) + kRound;
    const V m = 2.0 * (t - kRound) + 1.0;
    const V r = (x - m * kPio2Hi33) - m * kPio2Lo33;
    return (V)((U)vsinHalfPi<N>(r) ^ (((U)t + 1) << 63));
}

// acos x for |x| <= 1.
template <int N>
inline typename t_vec<N>::V vacos(typename t_vec<N>::V x)
{
    typedef typename t_vec<N>::V V;
    typedef typename t_vec<N>::I I;
    const V ax = vabs<V, I>(x);
    const I small = ax <= 0.5;
    // Near +-1, acos goes through asin(sqrt((1 - |x|) / 2)).
    const V zb = (1.0 - ax) * 0.5;
    const V z = sel(small, x * x, zb);
    const V r = z * poly(z, kAsinP, 13);
    const V as = kPio2 - (x - (kPio2Lo - x * r));
    const V s = vsqrt<N>(zb);
    // s with its low half cleared, plus the part of the root that drops.
    const V df = (V)((I)s & static_cast<long long>(0xffffffff00000000ull));
    const V sd = s + df;
    const V cc = (zb - df * df) / sel(sd == 0.0, sd + 1.0, sd);
    const V ap = 2.0 * (df + (r * s + cc));
    const V an = 2.0 * kPio2 - 2.0 * (s + (r * s - kPio2Lo));
    return sel(small, as, sel(x > 0.0, ap, an));
}

// atan2(y, x), signed zeros included.
template <int N>
inline typename t_vec<N>::V vatan2(typename t_vec<N>::V y, typename t_vec<N>::V x)
{
    typedef typename t_vec<N>::V V;
    typedef typename t_vec<N>::I I;
    const V ax = vabs<V, I>(x), ay = vabs<V, I>(y);
    const I swap = ay > ax;
    const I xneg = ((I)x & kSignBit) != 0;
    const V num = sel(swap, ax, ay);
    V den = sel(swap, ay, ax);
    den = sel(den == 0.0, den + 1.0, den);
    const V t = num / den;
    const I big = t > 0.41421356237309503;
    // Past tan(pi / 8), atan t = pi / 4 + atan((t - 1) / (t + 1)), formed
    // without t's rounding.
    const V u = sel(big, (num - den) / (num + den), t);
    const V z = u * u;
    V a = u + u * (z * poly(z, kAtanR, 11));
    // The angle is n pi / 4 plus or minus a, summed with one rounding; kPio4
    // has three trailing zero bits, so n kPio4 is exact.
    const V n = sel(big, sel(xneg, splat<V>(3.0), splat<V>(1.0)),
                    sel(swap, splat<V>(2.0), sel(xneg, splat<V>(4.0), splat<V>(0.0))));
    a = (V)((I)a ^ ((swap ^ xneg) & kSignBit));
    a = n * kPio4 + (a + n * kPio4Lo);
    return (V)((I)a | ((I)y & kSignBit));
}

// sRGB transfer curve of sky_intersect, c^(1/2.4) as e^(ln c / 2.4).
template <int N>
inline typename t_vec<N>::V srgbEncode(typename t_vec<N>::V c)
{
    typedef typename t_vec<N>::V V;
    typedef typename t_vec<N>::I I;
    const I curve = c > 0.0031308;
    const V p = vexp<N>(0.41666666666666669 * vlog<N>(sel(curve, c, splat<V>(1.0))));
    return sel(curve, 1.055 * p - 0.055, 12.92 * c);
}

// Lane sets per block. Each function is a long chain of dependent operations;
// running it over several lane sets in a row lets the processor overlap them.
const int kSets = 4;

// Every view at or below the horizon is given the zenith angle of
// y = 0.001: what follows from that angle alone, for every lane.
template <int N>
struct t_horizon {
    typename t_vec<N>::V theta, sinT, cosT, expB[3];
};

template <int N>
inline void horizonAngles(t_horizon<N>* h, const t_skyLaneConsts& k)
{
    typedef typename t_vec<N>::V V;
    h->theta = toScalar<N>(vacos<N>(splat<V>(0.001f)));
    h->sinT = vsinHalfPi<N>(h->theta);
    h->cosT = vsinHalfPi<N>((kPio2 - h->theta) + kPio2Lo);
    for (int j = 0; j < 3; ++j)
        h->expB[j] = vexp<N>(k.B[j] / h->cosT);
}

// The colours of kSets * N directions into rgb, stage by stage. Bit b of
// low: every direction of lane set b is at or below the horizon, and its
// angle's terms come from h.
template <int N>
inline void skyBlock(scalar* rgb, const t_skyLaneConsts& k, const t_horizon<N>* h, int low,
                     const scalar* wx, const scalar* wy, const scalar* wz)
{
    typedef typename t_vec<N>::V V;
    typedef typename t_vec<N>::I I;
    typedef typename t_vec<N>::F F;
    const int K = kSets;
    const V zero = splat<V>(0.0), one = splat<V>(1.0);
    V x[K], y[K], z[K], theta[K], phi[K], cosT[K], sinT[K], gamma[K], cosG[K], val[3][K];

    for (int b = 0; b < K; ++b) {
        F fx, fy, fz;
        __builtin_memcpy(&fx, wx + b * N, sizeof fx);
        __builtin_memcpy(&fy, wy + b * N, sizeof fy);
        __builtin_memcpy(&fz, wz + b * N, sizeof fz);
        x[b] = __builtin_convertvector(fx, V);
        y[b] = __builtin_convertvector(fy, V);
        z[b] = __builtin_convertvector(fz, V);
        // As sky_intersect: horizon colour below it, zenith a rounding above it.
        if (low >> b & 1) {
            theta[b] = h->theta;
        } else {
            y[b] = sel(y[b] < static_cast<double>(0.001f), splat<V>(0.001f), y[b]);
            y[b] = sel(y[b] > 1.0, one, y[b]);
            theta[b] = toScalar<N>(vacos<N>(y[b]));
        }
    }
    for (int b = 0; b < K; ++b)
        phi[b] = sel(vabs<V, I>(theta[b]) >= 0.00001, toScalar<N>(vatan2<N>(z[b], x[b])), zero);
    for (int b = 0; b < K; ++b) {
        if (low >> b & 1) {
            sinT[b] = h->sinT;
            cosT[b] = h->cosT;
        } else {
            // 0 <= theta <= pi / 2: no reduction needed.
            sinT[b] = vsinHalfPi<N>(theta[b]);
            cosT[b] = vsinHalfPi<N>((kPio2 - theta[b]) + kPio2Lo);
        }
        const V c = cosT[b] * k.cosThetaS + sinT[b] * k.sinThetaS * vcos<N>(k.phiS - phi[b]);
        const V g = toScalar<N>(vacos<N>(sel(c > 1.0, one, sel(c < -1.0, -one, c))));
        gamma[b] = sel(c > 1.0, zero, sel(c < -1.0, splat<V>(3.1415927f), g));
    }
    for (int b = 0; b < K; ++b)
        cosG[b] = vcos<N>(gamma[b]);
    for (int j = 0; j < 3; ++j)  // x, y, Y
        for (int b = 0; b < K; ++b) {
            const V expB = low >> b & 1 ? h->expB[j] : vexp<N>(k.B[j] / cosT[b]);
            const V num = (1.0 + k.A[j] * expB)
                          * (1.0 + k.C[j] * vexp<N>(k.D[j] * gamma[b]) + k.E[j] * (cosG[b] * cosG[b]));
            val[j][b] = toScalar<N>(k.zenith[j] * num / k.den[j]);
        }

    // Yxy_RGB, then the factor 0.85.
    V lin[3][K];
    for (int b = 0; b < K; ++b) {
        const V dx = val[0][b], dy = val[1][b], dY = val[2][b];
        const V X = 0.01 * dx * dY / dy;
        const V Yp = 0.01 * dY;
        const V Z = 0.01 * (1.0 - dx - dy) * dY / dy;
        lin[0][b] = 2.565 * X - 1.167 * Yp - 0.398 * Z;
        lin[1][b] = -1.022 * X + 1.978 * Yp + 0.044 * Z;
        lin[2][b] = 0.075 * X - 0.252 * Yp + 1.177 * Z;
    }
    F out[3][K];
    for (int j = 0; j < 3; ++j)
        for (int b = 0; b < K; ++b)
            out[j][b] = __builtin_convertvector(toScalar<N>(srgbEncode<N>(lin[j][b])) * 0.85, F);
    for (int b = 0; b < K; ++b)
        for (int i = 0; i < N; ++i)
            for (int j = 0; j < 3; ++j)
                rgb[3 * (b * N + i) + j] = out[j][b][i];
}

// n directions, a block at a time; a last partial block is padded with
// straight up.
template <int N>
inline void skyRun(scalar* p_rgb, const t_skyLaneConsts& k, const scalar* wx, const scalar* wy,
                   const scalar* wz, unsigned int n)
{
    const unsigned int M = kSets * N;
    t_horizon<N> h;
    bool haveHorizon = false;
    unsigned int i = 0;
    for (; i + M <= n; i += M) {
        // Lane sets wholly at or below the horizon, views of the ground
        // whose sky only colours their fog, share the horizon's terms.
        int low = 0;
        for (int b = 0; b < kSets; ++b) {
            bool setLow = true;
            for (int l = 0; l < N; ++l)
                setLow &= wy[i + b * N + l] <= 0.001f;
            low |= setLow << b;
        }
        if (low && !haveHorizon) {
            horizonAngles<N>(&h, k);
            haveHorizon = true;
        }
        skyBlock<N>(p_rgb + 3 * i, k, &h, low, wx + i, wy + i, wz + i);
    }
    if (i == n)
        return;
    scalar bx[M] = {}, by[M], bz[M] = {}, out[3 * M];
    for (unsigned int l = 0; l < M; ++l)
        by[l] = 1.0f;
    for (unsigned int l = 0; l < n - i; ++l) {
        bx[l] = wx[i + l];
        by[l] = wy[i + l];
        bz[l] = wz[i + l];
    }
    skyBlock<N>(out, k, &h, 0, bx, by, bz);
    for (unsigned int l = 0; l < 3 * (n - i); ++l)
        p_rgb[3 * i + l] = out[l];
}

}  // namespace lanes
}  // namespace

#endif
