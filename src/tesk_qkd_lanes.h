// Module tesk_qkd: camera rays turned into the world and met with a box in
// SIMD lanes, a ray per lane, with the operations of transform, transformW
// and intersectRayAABB in each lane, and a packet's lanes made ready to walk
// from there. The tile loops of every instruction set take them from here,
// so that their lanes compute alike. F is a vector of floats, I the vector
// of ints of as many lanes.
#ifndef TESK_QKD_LANES_H
#define TESK_QKD_LANES_H

#include <cfloat>
#include <cmath>

#include "tesk_qkd_internal.h"

template <typename F>
struct t_laneRays {
    F x[3], w[3];
};

// Lanes' rays from camera space into the world.
template <typename F>
static inline void lanesToWorld(t_laneRays<F>* r, const t_matrix* m)
{
    const t_laneRays<F> c = *r;
    for (int k = 0; k < 3; ++k) {
        r->x[k] = c.x[0] * m->m[0][k] + c.x[1] * m->m[1][k] + c.x[2] * m->m[2][k] + m->m[3][k];
        r->w[k] = c.w[0] * m->m[0][k] + c.w[1] * m->m[1][k] + c.w[2] * m->m[2][k];
    }
}

// rayAABBSlab in every lane; ok is false where a parallel ray lies outside
// the slab.
template <typename F, typename I>
static inline void lanesSlab(F* tNear, F* tFar, I* ok, F w, F x, scalar bMin, scalar bMax)
{
    const F inf = F{} + INFINITY;
    const F inv = 1.0f / w;
    const I finite = (inv <= FLT_MAX) & (inv >= -FLT_MAX);
    const F lo = (bMin - x) * inv, hi = (bMax - x) * inv;
    const I positive = w >= 0.0f;
    *tNear = finite ? (positive ? lo : hi) : -inf;
    *tFar = finite ? (positive ? hi : lo) : inf;
    *ok = finite | ~((x < bMin) | (x > bMax));
}

// True in the lanes whose ray meets the box bbMin..bbMax in an interval
// that is not empty and ends after 0 (intersectRayAABB, then t_min <= t_max
// and t_max > 0); the interval in t_min and t_max.
template <typename F, typename I>
static inline I lanesBoxIntervals(F* t_min, F* t_max, const t_laneRays<F>* r, const scalar* bbMin,
                                  const scalar* bbMax)
{
    F tmin, tmax, tymin, tymax, tzmin, tzmax;
    I okX, okY, okZ;
    lanesSlab(&tmin, &tmax, &okX, r->w[0], r->x[0], bbMin[0], bbMax[0]);
    lanesSlab(&tymin, &tymax, &okY, r->w[1], r->x[1], bbMin[1], bbMax[1]);
    I ok = okX & okY & ~((tmin > tymax) | (tymin > tmax));
    tmin = tymin > tmin ? tymin : tmin;
    lanesSlab(&tzmin, &tzmax, &okZ, r->w[2], r->x[2], bbMin[2], bbMax[2]);
    ok &= okZ & ~(tzmax < tmin);
    const F txyMax = tymax < tmax ? tymax : tmax;
    ok &= ~(tzmin > txyMax);
    *t_min = tzmin > tmin ? tzmin : tmin;
    *t_max = tzmax < txyMax ? tzmax : txyMax;
    ok &= ~(*t_min > *t_max) & ~(*t_max <= 0.0f);
    return ok;
}

// Makes the packet's lanes from first on, as many as F has, ready to walk
// from where their rays enter the start node's box ([t_min, t_max], t_min
// clamped to 0).
template <typename F>
static inline void lanesStart(t_qkdPacket* packet, int first, F t_min, F t_max)
{
    const F zero = {};
    const F clamped = t_min >= zero ? t_min : zero;
    const F far = zero + FLT_MAX;
    __builtin_memcpy(&packet->t_min[first], &clamped, sizeof clamped);
    __builtin_memcpy(&packet->t_max[first], &t_max, sizeof t_max);
    __builtin_memcpy(&packet->t[first], &far, sizeof far);
    __builtin_memset(&packet->mat[first], 0, sizeof(t_material) * (sizeof(F) / sizeof(scalar)));
}

#endif
