// Inline vector math shared by the renderers and the tree.
#ifndef TESK_MATH_H
#define TESK_MATH_H

#include <cfloat>
#include <cmath>

#include "tesk.h"

// Point (w = 1): row vector times matrix plus the translation row.
// pOut and vec must not overlap.
static inline void transform(scalar* pOut, const matrix* mat, const scalar* vec)
{
    pOut[0] = vec[0] * mat->_11 + vec[1] * mat->_21 + vec[2] * mat->_31 + mat->_41;
    pOut[1] = vec[0] * mat->_12 + vec[1] * mat->_22 + vec[2] * mat->_32 + mat->_42;
    pOut[2] = vec[0] * mat->_13 + vec[1] * mat->_23 + vec[2] * mat->_33 + mat->_43;
}

// Direction (w = 0): as transform, without the translation row.
static inline void transformW(scalar* pOut, const matrix* mat, const scalar* vec)
{
    for (int c = 0; c < 3; ++c)
        pOut[c] = vec[0] * mat->m[0][c] + vec[1] * mat->m[1][c] + vec[2] * mat->m[2][c];
}

// Ray against the axis-aligned box bbMin..bbMax (slab method). Returns 1 with
// the entry and exit parameters of the ray's line (either may be negative),
// or 0 with nothing written. A direction component of zero (or so small that
// its reciprocal is infinite) makes the ray parallel to that slab: it is then
// inside the slab for every parameter when its origin lies within the slab,
// faces included, and misses the box otherwise. This keeps 0 * inf out of the
// slab parameters.
static inline int rayAABBSlab(scalar* pt_near, scalar* pt_far, scalar w, scalar x, scalar bMin,
                              scalar bMax)
{
    const scalar inv = 1.0f / w;
    if (!(inv <= FLT_MAX && inv >= -FLT_MAX)) {
        if (x < bMin || x > bMax)
            return 0;
        *pt_near = -INFINITY;
        *pt_far = INFINITY;
        return 1;
    }
    if (w >= 0.0f) {
        *pt_near = (bMin - x) * inv;
        *pt_far = (bMax - x) * inv;
    } else {
        *pt_near = (bMax - x) * inv;
        *pt_far = (bMin - x) * inv;
    }
    return 1;
}

static inline int intersectRayAABB(scalar* pt_min, scalar* pt_max, const t_ray* pRay,
                                   const scalar* bbMin, const scalar* bbMax)
{
    const scalar* x = pRay->x;
    const scalar* w = pRay->w;
    scalar tmin, tmax, tymin, tymax, tzmin, tzmax;
    if (!rayAABBSlab(&tmin, &tmax, w[0], x[0], bbMin[0], bbMax[0]))
        return 0;
    if (!rayAABBSlab(&tymin, &tymax, w[1], x[1], bbMin[1], bbMax[1]))
        return 0;
    if (tmin > tymax || tymin > tmax)
        return 0;
    if (tymin > tmin)
        tmin = tymin;
    if (!rayAABBSlab(&tzmin, &tzmax, w[2], x[2], bbMin[2], bbMax[2]))
        return 0;
    if (tzmax < tmin)
        return 0;
    const scalar txyMax = tymax < tmax ? tymax : tmax;
    if (tzmin > txyMax)
        return 0;
    *pt_min = tzmin > tmin ? tzmin : tmin;
    *pt_max = tzmax < txyMax ? tzmax : txyMax;
    return 1;
}

// Moeller-Trumbore variant without back-face culling. Returns 0 on a miss
// (outputs then hold intermediate values), 1 for a hit on the side the
// normal of (b - a) x (c - a) faces, -1 for a hit from behind. On a hit *t is
// the ray parameter, *u and *v the weights of b and c, normal the unit normal
// (never flipped towards the ray).
static inline int ray_triangle_intersection(const t_ray* p_ray, const scalar* a, const scalar* b,
                                            const scalar* c, scalar* t, scalar* u, scalar* v,
                                            scalar* normal)
{
    const scalar* x = p_ray->x;
    const scalar* w = p_ray->w;
    const scalar vect0[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]};
    const scalar vect1[3] = {c[0] - a[0], c[1] - a[1], c[2] - a[2]};
    const scalar nvect[3] = {vect0[1] * vect1[2] - vect0[2] * vect1[1],
                             vect0[2] * vect1[0] - vect0[0] * vect1[2],
                             vect0[0] * vect1[1] - vect0[1] * vect1[0]};
    normal[0] = nvect[0];
    normal[1] = nvect[1];
    normal[2] = nvect[2];

    const scalar det = -(w[0] * nvect[0] + w[1] * nvect[1] + w[2] * nvect[2]);
    if ((double)det > -0.000001 && (double)det < 0.000001)
        return 0;  // parallel (or degenerate triangle)
    const scalar inv_det = 1.0f / det;
    const scalar d[3] = {a[0] - x[0], a[1] - x[1], a[2] - x[2]};
    const scalar q[3] = {w[1] * d[2] - w[2] * d[1], w[2] * d[0] - w[0] * d[2],
                         w[0] * d[1] - w[1] * d[0]};

    const scalar bx[3] = {b[0] - x[0], b[1] - x[1], b[2] - x[2]};
    *v = -(bx[0] * q[0] + bx[1] * q[1] + bx[2] * q[2]) * inv_det;
    if (*v < 0.0f || *v > 1.0f)
        return 0;
    const scalar cx[3] = {c[0] - x[0], c[1] - x[1], c[2] - x[2]};
    *u = (cx[0] * q[0] + cx[1] * q[1] + cx[2] * q[2]) * inv_det;
    if (*u < 0.0f || *u + *v > 1.0f)
        return 0;
    *t = -(d[0] * nvect[0] + d[1] * nvect[1] + d[2] * nvect[2]) * inv_det;
    if (*t < 0.0f)
        return 0;

    const scalar len2 = nvect[0] * nvect[0] + nvect[1] * nvect[1] + nvect[2] * nvect[2];
    const scalar invLen = (scalar)(1.0 / std::sqrt((double)len2));
    normal[0] *= invLen;
    normal[1] *= invLen;
    normal[2] *= invLen;
    return (w[0] * normal[0] + w[1] * normal[1] + w[2] * normal[2]) > 0.0f ? -1 : 1;
}

#endif
