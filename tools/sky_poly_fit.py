#!/usr/bin/env python3
"""Prints the polynomial coefficients of the sky batch's elementary functions
(src/preetham_lanes.h): Chebyshev fits in 50-digit arithmetic (python3-mpmath),
rounded to double, highest power first, with the relative error they leave."""
import mpmath as mp

mp.mp.dps = 50


def tail(f, first):
    # f(z) with its limit at z = 0, where the fits' definitions divide by zero.
    return lambda z: f(z) if z != 0 else mp.mpf(first)


def fit(name, g, lo, hi, terms, approx, exact):
    coeffs = [float(c) for c in mp.chebyfit(g, [lo, hi], terms)]

    def p(z):
        s = mp.mpf(0)
        for c in coeffs:
            s = s * z + mp.mpf(c)
        return s

    err = max(abs(approx(z, p) / exact(z) - 1)
              for z in (lo + (hi - lo) * mp.mpf(i) / 400 for i in range(1, 401)))
    print("%s: %d terms, relative error %.3g" % (name, terms, err))
    print("   " + ", ".join(repr(c) for c in coeffs))


sq = mp.sqrt
r = mp.log(2) / 2 * mp.mpf(1.0001)
fit("exp: e^r = 1 + r + r^2 Q(r)", tail(lambda r: (mp.exp(r) - 1 - r) / r**2, 0.5), -r, r, 10,
    lambda r, p: 1 + r + r * r * p(r), mp.exp)
z = (mp.pi / 2 * mp.mpf(1.0002))**2
fit("sin: sin r = r + r^3 S(r^2)", tail(lambda z: (mp.sin(sq(z)) - sq(z)) / z**1.5, -mp.mpf(1) / 6),
    0, z, 8, lambda z, p: sq(z) + z**1.5 * p(z), lambda z: mp.sin(sq(z)))
fit("asin: asin u = u + u z P(z)", tail(lambda z: (mp.asin(sq(z)) - sq(z)) / z**1.5, mp.mpf(1) / 6),
    0, mp.mpf(1) / 4, 13, lambda z, p: sq(z) + z**1.5 * p(z), lambda z: mp.asin(sq(z)))
z = (mp.tan(mp.pi / 8) * mp.mpf(1.0001))**2
fit("atan: atan u = u + u z R(z)", tail(lambda z: (mp.atan(sq(z)) - sq(z)) / z**1.5, -mp.mpf(1) / 3),
    0, z, 11, lambda z, p: sq(z) + z**1.5 * p(z), lambda z: mp.atan(sq(z)))
z = ((sq(2) - 1) / (sq(2) + 1) * mp.mpf(1.0001))**2
fit("log: 2 atanh s = 2 s + s z L(z)",
    tail(lambda z: (2 * mp.atanh(sq(z)) - 2 * sq(z)) / z**1.5, mp.mpf(2) / 3), 0, z, 7,
    lambda z, p: 2 * sq(z) + z**1.5 * p(z), lambda z: 2 * mp.atanh(sq(z)))
