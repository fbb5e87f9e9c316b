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

// Ray-triangle test, watertight. Each vertex is taken relative to the ray
// origin in double (exact for float coordinates) and projected along the ray
// onto the plane of the two axes other than the ray's dominant one; the
// triangle's three 2D edge functions then decide inside or outside. An
// edge's function depends only on its two end points, and the triangle on
// the other side of it computes the same value with the opposite sign, so a
// ray through a shared edge or vertex can never slip between two triangles.
// Working relative to the origin in double also keeps the barycentric
// weights exact at any distance, where float differences would lose them.

// The ray's frame: dominant axis kz, the other two kx and ky.
struct t_rayFrame {
    int kx, ky, kz;
    double w[3];  // direction
    double x[3];  // origin
};

static inline void rayFrame(t_rayFrame* f, const t_ray* p_ray)
{
    const scalar ax = std::fabs(p_ray->w[0]), ay = std::fabs(p_ray->w[1]),
                 az = std::fabs(p_ray->w[2]);
    f->kz = (ax > ay && ax > az) ? 0 : (ay > az ? 1 : 2);
    f->kx = f->kz == 2 ? 0 : f->kz + 1;
    f->ky = f->kx == 2 ? 0 : f->kx + 1;
    for (int i = 0; i < 3; ++i) {
        f->w[i] = p_ray->w[i];
        f->x[i] = p_ray->x[i];
    }
}

// A vertex seen from the ray: its 2D position across the ray, scaled by the
// direction's dominant component, and its offset from the origin along kz.
struct t_rayVertex {
    double px, py, dz;
};

static inline void rayVertex(t_rayVertex* out, const t_rayFrame* f, const scalar* p)
{
    const double dx = (double)p[f->kx] - f->x[f->kx];
    const double dy = (double)p[f->ky] - f->x[f->ky];
    const double dz = (double)p[f->kz] - f->x[f->kz];
    const double wz = f->w[f->kz];
    out->px = dx * wz - f->w[f->kx] * dz;
    out->py = dy * wz - f->w[f->ky] * dz;
    out->dz = dz;
}

// Twice the signed area of (origin, p, q) across the ray. The edge q -> p
// gives exactly the negated value.
static inline double rayEdge(const t_rayVertex* p, const t_rayVertex* q)
{
    return p->px * q->py - p->py * q->px;
}

// The rest of the test, for a triangle whose vertices are already seen from
// the ray (pa, pb, pc) with its three edge functions: eA = rayEdge(pb, pc)
// faces vertex a, eB = rayEdge(pc, pa) faces b, eC = rayEdge(pa, pb) faces c.
// Returns 0 on a miss (outputs then hold intermediate values), 1 for a hit
// on the side the normal of (b - a) x (c - a) faces, -1 for a hit from
// behind. On a hit *t is the ray parameter, *u and *v the weights of b and c,
// normal the unit normal (never flipped towards the ray). Rays within
// |det| < 1e-6 of the triangle's plane are taken as parallel and miss.
static inline int rayTriangleFromEdges(const t_rayFrame* f, const t_ray* p_ray, const scalar* a,
                                       const scalar* b, const scalar* c, const t_rayVertex* pa,
                                       const t_rayVertex* pb, const t_rayVertex* pc, double eA,
                                       double eB, double eC, scalar* t, scalar* u, scalar* v,
                                       scalar* normal)
{
    if ((eA < 0.0 || eB < 0.0 || eC < 0.0) && (eA > 0.0 || eB > 0.0 || eC > 0.0))
        return 0;  // the ray passes outside an edge

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

    const double sum = eA + eB + eC;
    if (sum == 0.0)
        return 0;  // the ray lies in the triangle's plane
    *t = (scalar)((eA * pa->dz + eB * pb->dz + eC * pc->dz) / (sum * f->w[f->kz]));
    if (*t < 0.0f)
        return 0;
    *u = (scalar)(eB / sum);
    *v = (scalar)(eC / sum);

    const scalar len2 = nvect[0] * nvect[0] + nvect[1] * nvect[1] + nvect[2] * nvect[2];
    const scalar invLen = (scalar)(1.0 / std::sqrt((double)len2));
    normal[0] *= invLen;
    normal[1] *= invLen;
    normal[2] *= invLen;
    return (w[0] * normal[0] + w[1] * normal[1] + w[2] * normal[2]) > 0.0f ? -1 : 1;
}

static inline int ray_triangle_intersection(const t_ray* p_ray, const scalar* a, const scalar* b,
                                            const scalar* c, scalar* t, scalar* u, scalar* v,
                                            scalar* normal)
{
    t_rayFrame f;
    rayFrame(&f, p_ray);
    t_rayVertex pa, pb, pc;
    rayVertex(&pa, &f, a);
    rayVertex(&pb, &f, b);
    rayVertex(&pc, &f, c);
    return rayTriangleFromEdges(&f, p_ray, a, b, c, &pa, &pb, &pc, rayEdge(&pb, &pc),
                                rayEdge(&pc, &pa), rayEdge(&pa, &pb), t, u, v, normal);
}

#endif
