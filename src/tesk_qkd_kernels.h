// The fast kernels of the walk, included by one file per instruction set
// (tesk_qkd_fast.cpp for SSE2, tesk_qkd_fast_avx2.cpp for AVX2, and for
// AVX-512 tesk_qkd_fast_avx512.cpp, the packets, and
// tesk_qkd_single_avx512.cpp, single rays). Everything here has internal
// linkage, so each file keeps its own copy.
#ifndef TESK_QKD_KERNELS_H
#define TESK_QKD_KERNELS_H

#include <immintrin.h>

#include <type_traits>

#include "tesk_qkd_internal.h"

namespace {

typedef double v4d __attribute__((vector_size(32)));
typedef long long v4l __attribute__((vector_size(32)));
#ifdef __AVX512F__
typedef double v8d __attribute__((vector_size(64)));
#endif

#define QKD_INLINE inline __attribute__((always_inline))

// What is left of the triangle test once the edge functions (eA facing
// vertex a, eB facing b, eC facing c) have not ruled the ray out: the
// parallel check, t, and for a hit nearer than *t its normal and side. The
// same operations as rayTriangleFromEdges, without the weights u and v,
// which the leaf does not hand out. Returns 1 when the hit was taken.
// Defer: N gets the cross product that the normal is made from and *ret 1,
// and finishHit does the rest once the ray's walk is over, so that its
// square root and division stay out of the way of the walk's decisions.
template <bool Defer>
QKD_INLINE int takeTriangle(scalar* t, scalar* N, int* ret, const t_rayFrame* f,
                            const t_ray* ray, const scalar* a, const scalar* b, const scalar* c,
                            double eA, double eB, double eC, double zA, double zB, double zC)
{
    const scalar* w = ray->w;
    const scalar vect0[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]};
    const scalar vect1[3] = {c[0] - a[0], c[1] - a[1], c[2] - a[2]};
    const scalar nvect[3] = {vect0[1] * vect1[2] - vect0[2] * vect1[1],
                             vect0[2] * vect1[0] - vect0[0] * vect1[2],
                             vect0[0] * vect1[1] - vect0[1] * vect1[0]};
    const scalar det = -(w[0] * nvect[0] + w[1] * nvect[1] + w[2] * nvect[2]);
    if ((double)det > -0.000001 && (double)det < 0.000001)
        return 0;
    const double sum = eA + eB + eC;
    if (sum == 0.0)
        return 0;
    const scalar tt = (scalar)((eA * zA + eB * zB + eC * zC) / (sum * f->w[f->kz]));
    if (tt < 0.0f || !(tt < *t))
        return 0;
    if (Defer) {
        N[0] = nvect[0];
        N[1] = nvect[1];
        N[2] = nvect[2];
        *t = tt;
        *ret = 1;
        return 1;
    }
    const scalar len2 = nvect[0] * nvect[0] + nvect[1] * nvect[1] + nvect[2] * nvect[2];
    const scalar invLen = (scalar)(1.0 / __builtin_sqrt((double)len2));
    N[0] = nvect[0] * invLen;
    N[1] = nvect[1] * invLen;
    N[2] = nvect[2] * invLen;
    *t = tt;
    *ret = (w[0] * N[0] + w[1] * N[1] + w[2] * N[2]) > 0.0f ? -1 : 1;
    return 1;
}

// Bit k: lane k of the comparison result is true. By reference: the SSE2
// build has no 32-byte registers to pass the vector in.
QKD_INLINE int cellBits(const v4l& m)
{
#ifdef __AVX__
    return _mm256_movemask_pd((__m256d)m);
#else
    return (int)(m[0] & 1) | (int)(m[1] & 1) << 1 | (int)(m[2] & 1) << 2 | (int)(m[3] & 1) << 3;
#endif
}

// What a 2 x 2 leaf's test needs of its nine vertices whatever the ray:
// their positions, in float for the hit's triangle and in double for the
// edge functions. A leaf that several rays of a packet meet reads its rows
// once for all of them. A row is three vertices in four lanes, the fourth
// repeating the third; with AVX-512, two rows share a vector of eight, so
// that each ray's work on them takes two vectors instead of three.
struct t_leafVertices {
    const scalar* xs;  // the three columns' x
    const scalar* zs;  // the three rows' z
    scalar height[3][3];
#ifdef __AVX512F__
    v8d x;        // columns' x, in both halves
    v8d y01, y2;  // heights of rows 0 and 1; of row 2, in both halves
    v8d z01, z2;  // each row's z in all of its lanes, likewise
#else
    v4d x;     // columns' x
    v4d y[3];  // each row's heights
    double z[3];
#endif
};

QKD_INLINE void leafVertices(t_leafVertices* v, const t_qkd_node* node, const t_qkd* qkd)
{
    const uint32_t size = qkd->size;
    const uint32_t row0 = node->heightmapUL / size;
    const scalar* xs = qkd->vertexX + (node->heightmapUL - row0 * size);
    const scalar* zs = qkd->vertexZ + row0;
    const t_qkdHeightVal* tile = qkd->heightmap + node->heightmapUL;
    const scalar* H = qkd->heightOfSample;
    v->xs = xs;
    v->zs = zs;
    const v4d x = {(double)xs[0], (double)xs[1], (double)xs[2], (double)xs[2]};
    v4d y[3];
    for (int r = 0; r < 3; ++r) {
        const t_qkdHeightVal* row = tile + (size_t)r * size;
        v->height[r][0] = H[row[0]];
        v->height[r][1] = H[row[1]];
        v->height[r][2] = H[row[2]];
        y[r] = v4d{(double)v->height[r][0], (double)v->height[r][1], (double)v->height[r][2],
                   (double)v->height[r][2]};
    }
#ifdef __AVX512F__
    v->x = __builtin_shufflevector(x, x, 0, 1, 2, 3, 4, 5, 6, 7);
    v->y01 = __builtin_shufflevector(y[0], y[1], 0, 1, 2, 3, 4, 5, 6, 7);
    v->y2 = __builtin_shufflevector(y[2], y[2], 0, 1, 2, 3, 4, 5, 6, 7);
    const double z0 = zs[0], z1 = zs[1], z2 = zs[2];
    v->z01 = v8d{z0, z0, z0, z0, z1, z1, z1, z1};
    v->z2 = v8d{z2, z2, z2, z2, z2, z2, z2, z2};
#else
    v->x = x;
    for (int r = 0; r < 3; ++r) {
        v->y[r] = y[r];
        v->z[r] = (double)zs[r];
    }
#endif
}

// The edge functions of the two triangles of every cell of a 2 x 2 leaf,
// the ray's dominant axis KZ fixed, and the triangles that they do not rule
// out; leafTake does the rest of the test for those.
struct t_leafEdges {
    // The edge functions facing a triangle's first, second and third
    // corner: for a cell's first triangle its diagonal, left and top edges,
    // for the second its right, bottom and diagonal (the first's negated),
    // in the slots that edgeSlot gives. Indexed by triangle, they spare the
    // test a branch on which of the two it is.
    alignas(64) double edgeA[8];
    alignas(64) double edgeB[8];
    alignas(64) double edgeC[8];
    v4d rowZ[3];  // the vertices' offsets along the ray, a row at a time
    int open;     // bit 2 * cell: the cell's first triangle; the next bit its second
};

// The slot in t_leafEdges of the triangle of bit `bit` of open: with
// AVX-512 the same, as its compares leave them; otherwise the four cells'
// first triangles, then their second ones, a vector each.
QKD_INLINE int edgeSlot(int bit)
{
#ifdef __AVX512F__
    return bit;
#else
    return 4 * (bit & 1) + (bit >> 1);
#endif
}

// Vertices seen from the ray (rayVertex), lane by lane, from their offsets
// to its origin: their positions across the ray and their offset along it,
// the ray's dominant axis KZ fixed.
template <int KZ, typename V>
QKD_INLINE void seenFromRay(V* X, V* Y, V* Z, const V& dx, const V& dy, const V& dz, double wx,
                            double wy, double wz)
{
    if (KZ == 0) {
        *X = dy * wx - wy * dx;
        *Y = dz * wx - wz * dx;
        *Z = dx;
    } else if (KZ == 1) {
        *X = dz * wy - wz * dy;
        *Y = dx * wy - wx * dy;
        *Z = dy;
    } else {
        *X = dx * wz - wx * dz;
        *Y = dy * wz - wy * dz;
        *Z = dz;
    }
}

// The nine vertices are seen from the ray a row at a time and the edge
// functions of the four cells formed together (rayEdge, as each cell forms
// them). The corners of cells (0, 0), (0, 1), (1, 0), (1, 1) go one cell
// per lane: upper-left (x0, y0), upper-right (1), lower-left (2) and
// lower-right (3).
template <int KZ>
QKD_INLINE void leafEdges(t_leafEdges* e, const t_rayFrame* f, const t_leafVertices* v)
{
    const double ox = f->x[0], oy = f->x[1], oz = f->x[2];
    const double wx = f->w[0], wy = f->w[1], wz = f->w[2];
#ifdef __AVX512F__
    const v8d dx = v->x - ox;
    v8d X01, Y01, Z01, X2, Y2, Z2;
    seenFromRay<KZ>(&X01, &Y01, &Z01, dx, v->y01 - oy, v->z01 - oz, wx, wy, wz);
    seenFromRay<KZ>(&X2, &Y2, &Z2, dx, v->y2 - oy, v->z2 - oz, wx, wy, wz);
    e->rowZ[0] = __builtin_shufflevector(Z01, Z01, 0, 1, 2, 3);
    e->rowZ[1] = __builtin_shufflevector(Z01, Z01, 4, 5, 6, 7);
    e->rowZ[2] = __builtin_shufflevector(Z2, Z2, 0, 1, 2, 3);
    // Lane 2 cell + second holds a corner of the cell's first or second
    // triangle; in the pair of vectors row 1 starts at lane 4 and row 2 at
    // lane 8.
    const v8d x11 = __builtin_shufflevector(X01, X2, 1, 1, 2, 2, 5, 5, 6, 6);
    const v8d y11 = __builtin_shufflevector(Y01, Y2, 1, 1, 2, 2, 5, 5, 6, 6);
    const v8d x23 = __builtin_shufflevector(X01, X2, 4, 5, 5, 6, 8, 9, 9, 10);
    const v8d y23 = __builtin_shufflevector(Y01, Y2, 4, 5, 5, 6, 8, 9, 9, 10);
    const v8d x02 = __builtin_shufflevector(X01, X2, 0, 4, 1, 5, 4, 8, 5, 9);
    const v8d y02 = __builtin_shufflevector(Y01, Y2, 0, 4, 1, 5, 4, 8, 5, 9);
    // Each triangle's three edges in its lane. x2 y1 - y2 x1 is the
    // diagonal's negative, but for the sign of a zero, which no comparison
    // sees.
    const v8d diagonalRight = x11 * y23 - y11 * x23;
    const v8d leftBottom = x23 * y02 - y23 * x02;
    const v8d topAntiDiagonal = x02 * y11 - y02 * x11;
    // A triangle is ruled out where one of its edges is below zero and one
    // above; the mask's bits are the triangles in the order of open.
    const __m512d zero = _mm512_setzero_pd();
#define QKD_SIDES(cmp)                                           \
    (_mm512_cmp_pd_mask((__m512d)diagonalRight, zero, cmp) |   \
     _mm512_cmp_pd_mask((__m512d)leftBottom, zero, cmp) |      \
     _mm512_cmp_pd_mask((__m512d)topAntiDiagonal, zero, cmp))
    const int missed = QKD_SIDES(_CMP_LT_OQ) & QKD_SIDES(_CMP_GT_OQ);
#undef QKD_SIDES
    _mm512_store_pd(e->edgeA, (__m512d)diagonalRight);
    _mm512_store_pd(e->edgeB, (__m512d)leftBottom);
    // The second triangles' third edge is the diagonal negated, with the
    // sign of a zero as the plain leaf has it.
    const __m512i diagonals =
        (__m512i)__builtin_shufflevector(diagonalRight, diagonalRight, 0, 0, 2, 2, 4, 4, 6, 6);
    _mm512_store_pd(e->edgeC, (__m512d)_mm512_mask_xor_epi64((__m512i)topAntiDiagonal, 0xaa,
                                                             diagonals,
                                                             _mm512_set1_epi64(INT64_MIN)));
    e->open = ~missed & 0xff;
#else
    v4d rowX[3], rowY[3];
    const v4d dx = v->x - ox;
    for (int r = 0; r < 3; ++r) {
        const double dzRow = v->z[r] - oz;
        const v4d dz = {dzRow, dzRow, dzRow, dzRow};
        seenFromRay<KZ>(&rowX[r], &rowY[r], &e->rowZ[r], dx, v->y[r] - oy, dz, wx, wy, wz);
    }
#define QKD_CORNERS(rows, top, col) \
    __builtin_shufflevector(rows[top], rows[top + 1], col, col + 1, col + 4, col + 5)
    const v4d x0 = QKD_CORNERS(rowX, 0, 0), y0 = QKD_CORNERS(rowY, 0, 0);
    const v4d x1 = QKD_CORNERS(rowX, 0, 1), y1 = QKD_CORNERS(rowY, 0, 1);
    const v4d x2 = QKD_CORNERS(rowX, 1, 0), y2 = QKD_CORNERS(rowY, 1, 0);
    const v4d x3 = QKD_CORNERS(rowX, 1, 1), y3 = QKD_CORNERS(rowY, 1, 1);
#undef QKD_CORNERS
    const v4d diagonal = x1 * y2 - y1 * x2;
    const v4d left = x2 * y0 - y2 * x0, top = x0 * y1 - y0 * x1;
    const v4d right = x1 * y3 - y1 * x3, bottom = x3 * y2 - y3 * x2;
    const v4d zero = {0, 0, 0, 0};
    const v4d antiDiagonal = -diagonal;
    // Bit cell: the edges rule out the cell's first (second) triangle.
    const int miss1 = cellBits(((diagonal < zero) | (left < zero) | (top < zero)) &
                               ((diagonal > zero) | (left > zero) | (top > zero)));
    const int miss2 = cellBits(((right < zero) | (bottom < zero) | (antiDiagonal < zero)) &
                               ((right > zero) | (bottom > zero) | (antiDiagonal > zero)));
    const v4d edges[3][2] = {{diagonal, right}, {left, bottom}, {top, antiDiagonal}};
    __builtin_memcpy(e->edgeA, edges[0], sizeof e->edgeA);
    __builtin_memcpy(e->edgeB, edges[1], sizeof e->edgeB);
    __builtin_memcpy(e->edgeC, edges[2], sizeof e->edgeC);
    // Triangles whose edges do not rule the ray out, in the order the plain
    // leaf tests them.
    static const uint8_t kEven[16] = {0x00, 0x01, 0x04, 0x05, 0x10, 0x11, 0x14, 0x15,
                                      0x40, 0x41, 0x44, 0x45, 0x50, 0x51, 0x54, 0x55};
    e->open = kEven[~miss1 & 15] | kEven[~miss2 & 15] << 1;
#endif
}

QKD_INLINE void leafEdgesOf(t_leafEdges* e, const t_rayFrame* f, const t_leafVertices* v)
{
    switch (f->kz) {
    case 0:
        leafEdges<0>(e, f, v);
        return;
    case 1:
        leafEdges<1>(e, f, v);
        return;
    default:
        leafEdges<2>(e, f, v);
        return;
    }
}

// The rest of the test of the open triangles: the nearest hit, as
// intersectLeaf has it for minNodeSize 2.
template <bool Defer>
QKD_INLINE int leafTake(scalar* t, scalar* N, t_material* mat, const t_rayFrame* f,
                        const t_ray* ray, const t_leafVertices* v, const t_leafEdges* e,
                        const t_qkd* qkd)
{
    const scalar* xs = v->xs;
    const scalar* zs = v->zs;
    const scalar(*height)[3] = v->height;
    *t = FLT_MAX;
    int ret = 0;
    for (int open = e->open; open; open &= open - 1) {
        // Split along the upper-right to lower-left diagonal: the cell's
        // corners (0, 1, 2), then (2, 1, 3). The second triangle's first and
        // third corners lie a row and a column on from the first's.
        const int bit = __builtin_ctz(open);
        const int cell = bit >> 1, r = cell >> 1, c = cell & 1, second = bit & 1;
        const scalar a[3] = {xs[c], height[r + second][c], zs[r + second]};
        const scalar b[3] = {xs[c + 1], height[r][c + 1], zs[r]};
        const scalar d[3] = {xs[c + second], height[r + 1][c + second], zs[r + 1]};
        const int slot = edgeSlot(bit);
        takeTriangle<Defer>(t, N, &ret, f, ray, a, b, d, e->edgeA[slot], e->edgeB[slot],
                            e->edgeC[slot], e->rowZ[r + second][c], e->rowZ[r][c + 1],
                            e->rowZ[r + 1][c + second]);
    }
    if (ret != 0) {
        mat->rgb[0] = qkd->groundColorA[0];
        mat->rgb[1] = qkd->groundColorA[1];
        mat->rgb[2] = qkd->groundColorA[2];
    }
    return ret;
}

// Whether leaves go through leafOfFourCells: only leaves of 2 x 2 cells, and
// only with AVX, since without it the four cells' double lanes come in pairs,
// no faster than the plain leaf.
QKD_INLINE bool useFourCellLeaves(const t_qkd* qkd)
{
#ifdef __AVX2__
    return qkd->minNodeSize == 2;
#else
    (void)qkd;
    return false;
#endif
}

// A single ray's test of a 2 x 2 leaf; a hit's normal and side are left to
// finishHit, so that whether the walk ends does not wait on them.
QKD_INLINE int leafOfFourCells(scalar* t, scalar* N, t_material* mat, const t_rayFrame* f,
                               const t_ray* ray, const t_leafVertices* v, const t_qkd* qkd)
{
    t_leafEdges e;
    leafEdgesOf(&e, f, v);
    return leafTake<true>(t, N, mat, f, ray, v, &e, qkd);
}

// The normal and side of a hit that takeTriangle left for later (Defer),
// with the operations it would have done.
QKD_INLINE void finishHit(scalar* N, int* ret, const t_ray* ray)
{
    const scalar* w = ray->w;
    const scalar len2 = N[0] * N[0] + N[1] * N[1] + N[2] * N[2];
    const scalar invLen = (scalar)(1.0 / __builtin_sqrt((double)len2));
    N[0] = N[0] * invLen;
    N[1] = N[1] * invLen;
    N[2] = N[2] * invLen;
    *ret = (w[0] * N[0] + w[1] * N[1] + w[2] * N[2]) > 0.0f ? -1 : 1;
}

// What the height test of a visit needs of its ray, in every lane.
struct t_rayHeights {
    __m128 w1, x1, absX1;
    // How far above a child's top or below its floor the ray's heights must
    // pass for the rounding-slack test to be sure to cull (qkd_farMargin);
    // infinite, sending every cull through that test, unless the ray's
    // heights in its start node are sure to be finite.
    __m128 farMargin;
};

QKD_INLINE void rayHeights(t_rayHeights* r, const t_ray* ray, const t_state* start,
                           const t_qkd* qkd)
{
    const scalar x1 = ray->x[1], w1 = ray->w[1];
    const scalar* H = qkd->heightOfSample;
    // A child's t lies within its start node's interval, t_min >= 0; a NaN
    // fails the test.
    const bool bounded = fabsf(start->t_max * w1) + fabsf(x1) <= 1e30f;
    r->w1 = _mm_set1_ps(w1);
    r->x1 = _mm_set1_ps(x1);
    r->absX1 = _mm_set1_ps(fabsf(x1));
    r->farMargin = _mm_set1_ps(
        bounded ? qkd_farMargin(fabsf(H[0]) + fabsf(H[65535]), fabsf(x1)) : INFINITY);
}

// The children that the ray keeps, bit k for child sortedOfs[k] (CN + order[k]),
// entered in [entry, exit]: the plain walk's tests, four children in SSE lanes.
// A child is culled where the ray passes above its top or below its floor and
// is not within rounding of that bound (qkd_nearHeight). Far from the bound
// the slack test cannot keep it, and only culls near a bound, which camera
// rays rarely meet, take it.
QKD_INLINE int childrenKept(const sse_float* entry, const sse_float* exit, const t_qkd_node* CN,
                            const uint32_t* order, const t_rayHeights* r, const t_qkd* qkd)
{
    const scalar* H = qkd->heightOfSample;
    const t_qkd_node* c0 = CN + order[0];
    const t_qkd_node* c1 = CN + order[1];
    const t_qkd_node* c2 = CN + order[2];
    const t_qkd_node* c3 = CN + order[3];
    const __m128 maxY = _mm_set_ps(H[c3->maxH], H[c2->maxH], H[c1->maxH], H[c0->maxH]);
    const __m128 minY = _mm_set_ps(H[c3->minH], H[c2->minH], H[c1->minH], H[c0->minH]);
    const __m128 inW1 = _mm_mul_ps(entry->v, r->w1), outW1 = _mm_mul_ps(exit->v, r->w1);
    const __m128 yMin = _mm_add_ps(inW1, r->x1), yMax = _mm_add_ps(outW1, r->x1);
    // Far above or below, a lane culls at once. Where farMargin is finite
    // the ray's heights are finite in every lane it enters (t lies within
    // the start node's interval), so the lower and the higher of the two
    // stand for both: lanes not entered are culled anyway. Where it is
    // infinite, no lane is far either way, NaN included.
    const __m128 yLo = _mm_min_ps(yMin, yMax), yHi = _mm_max_ps(yMin, yMax);
    const __m128 hiCut = _mm_add_ps(maxY, r->farMargin);
    const __m128 loCut = _mm_sub_ps(minY, r->farMargin);
    const __m128 far = _mm_or_ps(_mm_cmplt_ps(hiCut, yLo), _mm_cmplt_ps(yHi, loCut));
    int kept = ~_mm_movemask_ps(_mm_or_ps(qkd_childrenMissedLanes(entry, exit), far)) & 15;
    // Whether a kept lane passes above its top or below its floor, not far:
    // then the exact tests decide. With a NaN height, min and max give the
    // other height or NaN, which can only add lanes to this check.
    const __m128 mayPass = _mm_or_ps(_mm_cmplt_ps(maxY, yLo), _mm_cmpnle_ps(minY, yHi));
    if (!(_mm_movemask_ps(mayPass) & kept))
        return kept;
    // Above (y_min > top and y_max > top) or below (neither at or above the
    // floor, NaN included), as the plain walk tests them.
    const __m128 above = _mm_and_ps(_mm_cmplt_ps(maxY, yMin), _mm_cmplt_ps(maxY, yMax));
    const __m128 below = _mm_and_ps(_mm_cmpnle_ps(minY, yMin), _mm_cmpnle_ps(minY, yMax));
    const __m128 passes = _mm_or_ps(above, below);
    // qkd_nearHeight against the bound that each lane passes: the top where
    // it passes above, else the floor; no lane passes both.
    const __m128 absMask = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
    const __m128 rel = _mm_set1_ps(1e-6f);
    const __m128 bound = _mm_or_ps(_mm_and_ps(above, maxY), _mm_andnot_ps(above, minY));
    const __m128 absBound = _mm_and_ps(bound, absMask);
    const __m128 slackIn =
        _mm_mul_ps(_mm_add_ps(_mm_add_ps(_mm_and_ps(inW1, absMask), r->absX1), absBound), rel);
    const __m128 slackOut =
        _mm_mul_ps(_mm_add_ps(_mm_add_ps(_mm_and_ps(outW1, absMask), r->absX1), absBound), rel);
    const __m128 near =
        _mm_or_ps(_mm_cmple_ps(_mm_and_ps(_mm_sub_ps(yMin, bound), absMask), slackIn),
                  _mm_cmple_ps(_mm_and_ps(_mm_sub_ps(yMax, bound), absMask), slackOut));
    return kept & ~_mm_movemask_ps(_mm_andnot_ps(near, passes));
}

// Calls descend with the set of kept children (bit k: lane k) as a
// constant, taken one bit at a time from the nearest child's down; returns
// whether any child is kept. On the AMD EPYC these four branches were
// guessed better than one jump on all four bits: the AVX-512 and AVX2
// builds' walks took 1 % less time.
template <int Bit, int Kept, typename Descend>
QKD_INLINE bool descendByKept(int kept, Descend& descend)
{
    if constexpr (Bit < 0) {
        if constexpr (Kept == 0) {
            return false;
        } else {
            descend(std::integral_constant<int, Kept>());
            return true;
        }
    } else {
        if (kept & (1 << Bit))
            return descendByKept<Bit - 1, Kept | (1 << Bit)>(kept, descend);
        return descendByKept<Bit - 1, Kept>(kept, descend);
    }
}

// Finite: the ray crosses every splitting plane (no direction component
// that makes 1 / w infinite), so the crossings need none of
// qkd_splitCrossing's care. Nearest: the nearest child, which fixes the
// children's order (presort_ofs), or -1 to take the order from sortedOfs;
// with the order a constant, the children's places and centres are too.
template <bool Finite, int Nearest>
QKD_INLINE int walkRay(scalar* t, scalar* N, t_material* mat, const uint32_t* sortedOfs,
                       const t_ray* ray, const scalar* inv_w, const t_state* initialState,
                       const t_qkd* qkd)
{
    const scalar x0 = ray->x[0], x2 = ray->x[2];
    const scalar inv_w0 = inv_w[0], inv_w2 = inv_w[2];
    const uint32_t order[4] = {
        Nearest < 0 ? sortedOfs[0] : (uint32_t)Nearest ^ 3u,
        Nearest < 0 ? sortedOfs[1] : (uint32_t)Nearest ^ 2u,
        Nearest < 0 ? sortedOfs[2] : (uint32_t)Nearest ^ 1u,
        Nearest < 0 ? sortedOfs[3] : (uint32_t)Nearest};
    const uint32_t numRecursions = qkd->numRecursions;
    const scalar* const S05 = qkd->S05;
    const bool nearIsPlusX = (order[3] & 1u) != 0;
    const bool nearIsPlusZ = (order[3] & 2u) == 0;
    const bool fourCellLeaves = useFourCellLeaves(qkd);
    t_rayFrame frame;
    rayFrame(&frame, ray);
    t_rayHeights heights;
    rayHeights(&heights, ray, initialState, qkd);

    // The start node is cur from the outset; pending nodes go above entry 1.
    t_state cur = *initialState;
    int tos = 1;
    for (;;) {
        if (cur.rec < numRecursions) {
            const scalar cx = cur.centerXZ[0];
            const scalar cz = cur.centerXZ[1];
            sse_float entry, exit;
            if (Finite) {
                const scalar tx = (cx - x0) * inv_w0, tz = (cz - x2) * inv_w2;
                qkd_childIntervals(&entry, &exit, tx, tx, tz, tz, cur.t_min, cur.t_max);
            } else {
                scalar txIn, txOut, tzIn, tzOut;
                qkd_splitCrossing(&txIn, &txOut, cx, x0, inv_w0, nearIsPlusX);
                qkd_splitCrossing(&tzIn, &tzOut, cz, x2, inv_w2, nearIsPlusZ);
                qkd_childIntervals(&entry, &exit, txIn, txOut, tzIn, tzOut, cur.t_min,
                                   cur.t_max);
            }
            const t_qkd_node* CN = cur.node + cur.node->ofs;
            const int kept = childrenKept(&entry, &exit, CN, order, &heights, qkd);
            const uint32_t childRec = cur.rec + 1;
            if (childRec >= numRecursions && fourCellLeaves) {
                // Kept leaves are tested at once, nearest first, as the
                // stack would hand them out.
                for (int bits = kept; bits;) {
                    const int k = 31 - __builtin_clz((unsigned)bits);
                    bits &= ~(1 << k);
                    t_leafVertices v;
                    leafVertices(&v, CN + order[k], qkd);
                    int r = leafOfFourCells(t, N, mat, &frame, ray, &v, qkd);
                    if (r != 0) {
                        finishHit(N, &r, ray);
                        return r;
                    }
                }
            } else {
                // The nearest kept child goes on at once, the others wait on
                // the stack, farthest deepest: the order of the plain walk,
                // which pushes them all and takes the nearest back first.
                // Code of its own for each set of kept children, whose pushes
                // are then fixed: which children a ray keeps is data that
                // code asking child by child guesses badly.
                const scalar xz[2] = {-S05[childRec], S05[childRec]};
                auto descend = [&](auto keptTag) __attribute__((always_inline)) {
                    constexpr int M = decltype(keptTag)::value;
                    constexpr int nearest = M & 8 ? 3 : M & 4 ? 2 : M & 2 ? 1 : 0;
#pragma GCC unroll 4
                    for (int k = 0; k < nearest; ++k) {
                        if (!(M & (1 << k)))
                            continue;
                        const uint32_t su = order[k];
                        t_state* s = &g_stack[++tos];
                        s->centerXZ[0] = cx + xz[su & 1u];
                        s->centerXZ[1] = cz - xz[su >> 1];
                        s->t_min = entry.f[k];
                        s->t_max = exit.f[k];
                        s->rec = childRec;
                        s->node = CN + su;
                    }
                    const uint32_t su = order[nearest];
                    cur.centerXZ[0] = cx + xz[su & 1u];
                    cur.centerXZ[1] = cz - xz[su >> 1];
                    cur.t_min = entry.f[nearest];
                    cur.t_max = exit.f[nearest];
                    cur.rec = childRec;
                    cur.node = CN + su;
                };
#ifdef __AVX2__
                if (descendByKept<3, 0>(kept, descend))
                    continue;
#else
                // One jump on the set: the SSE2 build's walk took 3 to 4 %
                // longer with descendByKept's branches.
                switch (kept) {
#define QKD_DESCEND(m)                               \
    case m:                                          \
        descend(std::integral_constant<int, m>()); \
        continue;
                    QKD_DESCEND(1) QKD_DESCEND(2) QKD_DESCEND(3) QKD_DESCEND(4) QKD_DESCEND(5)
                    QKD_DESCEND(6) QKD_DESCEND(7) QKD_DESCEND(8) QKD_DESCEND(9) QKD_DESCEND(10)
                    QKD_DESCEND(11) QKD_DESCEND(12) QKD_DESCEND(13) QKD_DESCEND(14)
                    QKD_DESCEND(15)
#undef QKD_DESCEND
                default:
                    break;  // none kept
                }
#endif
            }
        } else {
            int r;
            if (fourCellLeaves) {
                t_leafVertices v;
                leafVertices(&v, cur.node, qkd);
                r = leafOfFourCells(t, N, mat, &frame, ray, &v, qkd);
                if (r != 0)
                    finishHit(N, &r, ray);
            } else {
                r = intersectLeaf(t, N, mat, cur.centerXZ, S05[cur.rec], ray, cur.node, qkd);
            }
            if (r != 0)
                return r;
        }
        if (tos <= 1)
            return 0;  // nothing pending: the start node is done
        cur = g_stack[tos];
        --tos;
    }
}

QKD_INLINE int walk(scalar* t, scalar* N, t_material* mat, const uint32_t* sortedOfs,
                    const t_ray* ray, const scalar* inv_w, const t_state* initialState,
                    const t_qkd* qkd)
{
    const bool finite = inv_w[0] <= FLT_MAX && inv_w[0] >= -FLT_MAX && inv_w[2] <= FLT_MAX &&
                        inv_w[2] >= -FLT_MAX;
    // One copy of the walk per child order, as presort_ofs makes them: the
    // order's lookups and the offsets that follow from it, in every visit,
    // cost about 3 % of a walk. Any other order, and a ray parallel to a
    // splitting plane, take the general copy.
    const uint32_t nearest = sortedOfs[3];
    const bool presorted = nearest < 4 && sortedOfs[0] == (nearest ^ 3u) &&
                           sortedOfs[1] == (nearest ^ 2u) && sortedOfs[2] == (nearest ^ 1u);
    if (finite && presorted) {
        switch (nearest) {
        case 0:
            return walkRay<true, 0>(t, N, mat, sortedOfs, ray, inv_w, initialState, qkd);
        case 1:
            return walkRay<true, 1>(t, N, mat, sortedOfs, ray, inv_w, initialState, qkd);
        case 2:
            return walkRay<true, 2>(t, N, mat, sortedOfs, ray, inv_w, initialState, qkd);
        default:
            return walkRay<true, 3>(t, N, mat, sortedOfs, ray, inv_w, initialState, qkd);
        }
    }
    return walkRay<false, -1>(t, N, mat, sortedOfs, ray, inv_w, initialState, qkd);
}

// --- Packets ---------------------------------------------------------------

// Lanes of one vector in this file: QKD_LANES (4, 8 or 16) rays. The packet
// walk takes a whole packet at once, QKD_VECTORS vectors side by side: a
// node is visited once for all of the packet's rays, and a vector's work is
// cheap beside a visit.
#ifndef QKD_LANES
#define QKD_LANES 8
#endif
typedef float vf __attribute__((vector_size(4 * QKD_LANES)));
typedef int vi __attribute__((vector_size(4 * QKD_LANES)));

// maxps and minps, lane by lane: the second operand unless the first is
// larger (smaller), as the single-ray walk has them.
#define QKD_VMAX(a, b) ((a) > (b) ? (a) : (b))
#define QKD_VMIN(a, b) ((a) < (b) ? (a) : (b))

// Bit i: lane i of the comparison result is true.
QKD_INLINE int laneBits(vi m)
{
#if QKD_LANES == 16
    return _mm512_test_epi32_mask((__m512i)m, (__m512i)m);
#elif defined(__AVX2__)
    return _mm256_movemask_ps((__m256)m);
#else
    union {
        vi v;
        __m128 quarter[QKD_LANES / 4];
    } u = {m};
    int bits = 0;
    for (int q = 0; q < QKD_LANES / 4; ++q)
        bits |= _mm_movemask_ps(u.quarter[q]) << (4 * q);
    return bits;
#endif
}

// Bit i: lane i of a < b (a <= b), an ordered comparison, false for NaN as
// the vector operators have it. AVX-512 compares straight into a mask
// register, where the operators would widen the result into a vector first.
QKD_INLINE int lanesLess(vf a, vf b)
{
#if QKD_LANES == 16
    return _mm512_cmp_ps_mask((__m512)a, (__m512)b, _CMP_LT_OQ);
#else
    return laneBits(a < b);
#endif
}

QKD_INLINE int lanesLessEqual(vf a, vf b)
{
#if QKD_LANES == 16
    return _mm512_cmp_ps_mask((__m512)a, (__m512)b, _CMP_LE_OQ);
#else
    return laneBits(a <= b);
#endif
}

// A vector's lanes as a set: a mask register with AVX-512, where compares
// write one and a mask makes them skip lanes; otherwise a vector, all ones in
// the set's lanes, so that sets combine in vector registers and only the
// children's kept sets move to integer bits.
#if QKD_LANES == 16
typedef __mmask16 t_lanes;
#else
typedef vi t_lanes;
#endif

// The lanes of m where not a < b: NaN counts as not less.
QKD_INLINE t_lanes lanesNotLess(t_lanes m, vf a, vf b)
{
#if QKD_LANES == 16
    return _mm512_mask_cmp_ps_mask(m, (__m512)a, (__m512)b, _CMP_NLT_UQ);
#else
    return m & ~(a < b);
#endif
}

// The lanes of m where a <= b, false for NaN.
QKD_INLINE t_lanes lanesLessEqualIn(t_lanes m, vf a, vf b)
{
#if QKD_LANES == 16
    return _mm512_mask_cmp_ps_mask(m, (__m512)a, (__m512)b, _CMP_LE_OQ);
#else
    return m & (a <= b);
#endif
}

// The lanes of b not in a.
QKD_INLINE t_lanes lanesAndNot(t_lanes a, t_lanes b)
{
#if QKD_LANES == 16
    return _mm512_kandn(a, b);
#else
    return b & ~a;
#endif
}

// A set's lanes as bits, lane i bit i.
QKD_INLINE int setBits(t_lanes m)
{
#if QKD_LANES == 16
    return (int)m;
#else
    return laneBits(m);
#endif
}

// Whether any of a packet's vectors has a lane in m.
QKD_INLINE bool anyLanes(const t_lanes* m)
{
#if QKD_LANES == 16
    static_assert(QKD_PACKET_LANES == 32, "two vectors of lanes");
    return !_mm512_kortestz(m[0], m[1]);
#else
    t_lanes any = m[0];
    for (int h = 1; h < QKD_PACKET_LANES / QKD_LANES; ++h)
        any |= m[h];
    return laneBits(any) != 0;
#endif
}

// x in every lane.
QKD_INLINE vf splat(scalar x)
{
#if QKD_LANES == 16
    return (vf)_mm512_set1_ps(x);
#elif QKD_LANES == 8
    return (vf)_mm256_set1_ps(x);
#else
    return (vf)_mm_set1_ps(x);
#endif
}

// Lane j's bit, 1 << j.
alignas(64) constexpr int32_t kLaneBit[16] = {1 << 0,  1 << 1,  1 << 2,  1 << 3,
                                              1 << 4,  1 << 5,  1 << 6,  1 << 7,
                                              1 << 8,  1 << 9,  1 << 10, 1 << 11,
                                              1 << 12, 1 << 13, 1 << 14, 1 << 15};

// All ones in the lanes whose bits are set, for a vector select.
QKD_INLINE vi lanesVector(int bits)
{
    vi bit;
    __builtin_memcpy(&bit, kLaneBit, sizeof bit);
    return ((bit * 0 + bits) & bit) != 0;
}

// The lanes whose bits are set, as a set.
QKD_INLINE t_lanes lanesOf(unsigned bits)
{
#if QKD_LANES == 16
    return (t_lanes)bits;
#else
    return lanesVector((int)bits);
#endif
}

// fabsf, lane by lane: the sign bit cleared.
#define QKD_VABS(x) ((vf)((vi)(x) & 0x7fffffff))

// qkd_splitCrossing, lane by lane, for rays parallel to the plane.
QKD_INLINE void packetParallelCrossing(vf* tIn, vf* tOut, vf c, vf x, vi finite,
                                       bool nearIsAbove)
{
    const vf inf = c * 0 + INFINITY;
    const vi onPlane = x == c;
    const vi above = x > c;
    const vf side = (nearIsAbove ? above : ~above) ? inf : -inf;
    *tIn = finite ? *tIn : (onPlane ? -inf : side);
    *tOut = finite ? *tOut : (onPlane ? inf : side);
}

// Tests the leaf in the given lanes of the packet; returns those that hit,
// with their result, t, N and mat set (a four-cell leaf's normal and side
// still to be finished by finishHit).
QKD_INLINE int leafLanes(t_qkdPacket* p, int lanes, const t_rayFrame* frame,
                         const t_qkd_node* leaf, const scalar* centre, scalar S, const t_qkd* qkd)
{
    if (!lanes)
        return 0;
    int hits = 0;
    if (useFourCellLeaves(qkd)) {
        // Every lane's edge functions first, then the rest of the tests: the
        // lanes' edge functions do not wait on each other, nor on the
        // branches of another lane's triangles.
        t_leafVertices v;
        leafVertices(&v, leaf, qkd);
        t_leafEdges e[QKD_PACKET_LANES];
        int n = 0;
        for (unsigned bits = (unsigned)lanes; bits; bits &= bits - 1)
            leafEdgesOf(&e[n++], &frame[__builtin_ctz(bits)], &v);
        n = 0;
        for (unsigned bits = (unsigned)lanes; bits; bits &= bits - 1) {
            const int lane = __builtin_ctz(bits);
            const int r = leafTake<true>(&p->t[lane], p->N[lane], &p->mat[lane], &frame[lane],
                                         &p->ray[lane], &v, &e[n++], qkd);
            if (r != 0) {
                p->result[lane] = r;
                hits |= (int)(1u << lane);
            }
        }
        return hits;
    }
    for (unsigned bits = (unsigned)lanes; bits; bits &= bits - 1) {
        const int lane = __builtin_ctz(bits);
        const int r = intersectLeaf(&p->t[lane], p->N[lane], &p->mat[lane], centre, S,
                                    &p->ray[lane], leaf, qkd);
        if (r != 0) {
            p->result[lane] = r;
            hits |= (int)(1u << lane);
        }
    }
    return hits;
}

#define QKD_VECTORS (QKD_PACKET_LANES / QKD_LANES)
static_assert(QKD_VECTORS * QKD_LANES == QKD_PACKET_LANES, "a packet is whole vectors");

// A pending node of the packet walk: each lane's interval in it, and which
// lanes take part.
struct alignas(4 * QKD_LANES) t_packetState {
    vf t_min[QKD_VECTORS], t_max[QKD_VECTORS];
    scalar cx, cz;
    uint32_t rec;
    int lanes;
    const t_qkd_node* node;
};

// Vector h's lane bits at their place among the packet's.
QKD_INLINE int vectorBits(int bits, int h)
{
    return (int)((unsigned)bits << (h * QKD_LANES));
}

// The reverse: the packet's lanes in vector h, as bits from 0.
QKD_INLINE unsigned vectorLanes(int bits, int h)
{
    return ((unsigned)bits >> (h * QKD_LANES)) & ((1u << QKD_LANES) - 1);
}

// How far above a child's top or below its floor a lane's heights must lie
// for the child to be culled without the rounding-slack test, which could
// not keep it there (qkd_farMargin, for the largest sample height and |x1|
// of any lane). Infinite, culling nothing early, unless every lane's heights
// are sure to be finite: its t are bounded by the crossings of the start
// node's planes and by its interval. Sums stand in for the largest of these:
// as safe, and they carry NaN and infinity through.
inline scalar packetCutMargin(const vf* x0, const vf* absX1, const vf* x2, const vf* w1,
                              const vf* inv0, const vf* inv2, const t_qkdPacket* p,
                              const t_state* start, int active, const t_qkd* qkd)
{
    constexpr int NV = QKD_VECTORS;
    const scalar reachXZ = fabsf(start->centerXZ[0]) + fabsf(start->centerXZ[1]) +
                           qkd->S05[start->rec];
    const vf zero = x0[0] * 0;
    vf absX1Max = zero;
    int bounded = 0;
    for (int h = 0; h < NV; ++h) {
        vf tmin, tmax;
        __builtin_memcpy(&tmin, p->t_min + h * QKD_LANES, sizeof tmin);
        __builtin_memcpy(&tmax, p->t_max + h * QKD_LANES, sizeof tmax);
        const vf tStart = lanesVector((int)vectorLanes(active, h))
                              ? QKD_VABS(tmin) + QKD_VABS(tmax)
                              : zero;
        const vf tx = (reachXZ + QKD_VABS(x0[h])) * QKD_VABS(inv0[h]);
        const vf tz = (reachXZ + QKD_VABS(x2[h])) * QKD_VABS(inv2[h]);
        const vf reachY = (tx + tz + tStart) * 2.0f * QKD_VABS(w1[h]) + absX1[h];
        bounded |= vectorBits(lanesLessEqual(reachY, zero + 1e30f), h);  // false for NaN
        absX1Max = QKD_VMAX(absX1Max, absX1[h]);
    }
    if ((bounded & active) != active)
        return INFINITY;
    // Every walked lane's x1 is finite now; the lanes not walked hold 0.
    scalar largestAbsX1 = 0.0f;
    for (int j = 0; j < QKD_LANES; ++j)
        largestAbsX1 = absX1Max[j] > largestAbsX1 ? absX1Max[j] : largestAbsX1;
    const scalar* H = qkd->heightOfSample;
    return qkd_farMargin(fabsf(H[0]) + fabsf(H[65535]), largestAbsX1);
}

// The lanes of a vector that pass above or below the child, entering it at
// tIn and leaving at tOut, and not within rounding of the bound they pass
// (qkd_nearHeight): those that cull it.
QKD_INLINE int cullNearBounds(vf tIn, vf tOut, vf w1, vf x1, vf absX1, vf minY, vf maxY, vf rel)
{
    const vf inW1 = tIn * w1, outW1 = tOut * w1;
    const vf yMin = inW1 + x1, yMax = outW1 + x1;
    const int below = ~(lanesLessEqual(minY, yMin) | lanesLessEqual(minY, yMax));
    // A lane passes above or below, never both, as heights grow with the
    // sample: only the bound it passes needs the test.
#if QKD_LANES == 16
    const int above = lanesLess(maxY, yMin) & lanesLess(maxY, yMax);
    const vf bound =
        (vf)_mm512_mask_blend_ps((__mmask16)above, (__m512)minY, (__m512)maxY);
#else
    const vi aboveLanes = (maxY < yMin) & (maxY < yMax);
    const int above = laneBits(aboveLanes);
    const vf bound = aboveLanes ? maxY : minY;
#endif
    const vf slackIn = QKD_VABS(inW1) + absX1, slackOut = QKD_VABS(outW1) + absX1;
    const vf absBound = QKD_VABS(bound);
    const int nearBound =
        lanesLessEqual(QKD_VABS(yMin - bound), (slackIn + absBound) * rel) |
        lanesLessEqual(QKD_VABS(yMax - bound), (slackOut + absBound) * rel);
    return ((above | below) & ~nearBound) & ((1 << QKD_LANES) - 1);
}

#if QKD_LANES == 16
// What the rounding-slack test needs of the packet's rays, lane by lane.
struct t_packetHeights {
    vf w1[QKD_VECTORS], x1[QKD_VECTORS], absX1[QKD_VECTORS];
};

// cullNearBounds for every vector of the packet, for the child entered at
// tIn and left at tOut (a packet's lanes each). Out of line: camera rays
// rarely need it, and inline its code slows the judging of every child.
__attribute__((noinline)) int cullNearBoundsOf(const t_packetHeights* r, const float* tIn,
                                               const float* tOut, scalar minH, scalar maxH)
{
    const vf zero = {};
    const vf minY = zero + minH, maxY = zero + maxH;
    const vf rel = zero + 1e-6f;
    int cull = 0;
    for (int h = 0; h < QKD_VECTORS; ++h) {
        vf in, out;
        __builtin_memcpy(&in, tIn + QKD_LANES * h, sizeof in);
        __builtin_memcpy(&out, tOut + QKD_LANES * h, sizeof out);
        const int c = cullNearBounds(in, out, r->w1[h], r->x1[h], r->absX1[h], minY, maxY, rel);
        cull |= vectorBits(c, h);
    }
    return cull;
}
#endif

#if QKD_LANES == 16
// Where each of sixteen lanes' three-scalar normals lies among the 48 scalars
// of three vectors (element q: lane q / 3, axis q % 3), as the two-step
// permutes that take them apart into a vector an axis and put them back
// need it: apart[axis] first from the first two vectors, then the rest from
// the third; together[vector] first the x and y, then the z.
struct t_normalShuffles {
    int32_t apart[3][2][16];
    int32_t together[3][2][16];
};

constexpr t_normalShuffles normalShuffles()
{
    t_normalShuffles s = {};
    for (int axis = 0; axis < 3; ++axis)
        for (int lane = 0; lane < 16; ++lane) {
            const int q = 3 * lane + axis;
            s.apart[axis][0][lane] = q < 32 ? q : 0;
            s.apart[axis][1][lane] = q < 32 ? lane : 16 + (q - 32);
        }
    for (int v = 0; v < 3; ++v)
        for (int j = 0; j < 16; ++j) {
            const int q = 16 * v + j, lane = q / 3, axis = q % 3;
            s.together[v][0][j] = axis == 0 ? lane : axis == 1 ? 16 + lane : 0;
            s.together[v][1][j] = axis == 2 ? 16 + lane : j;
        }
    return s;
}

alignas(64) constexpr t_normalShuffles kNormalShuffles = normalShuffles();

// Lane i: lane index[i] of a (0-15) or of b (16-31).
QKD_INLINE vf permuteTwo(vf a, const int32_t* index, vf b)
{
    return (vf)_mm512_permutex2var_ps((__m512)a, _mm512_load_si512(index), (__m512)b);
}

// finishHit for the lanes in hits, sixteen at once (wx, wy, wz: the rays'
// directions), with its operations lane by lane; the other lanes' normals
// are put back as they were. A lane at a time, the hits' square roots and
// divisions queued behind each other.
QKD_INLINE void finishHits16(scalar (*N)[3], int* ret, __mmask16 hits, vf wx, vf wy, vf wz)
{
    typedef float v8f __attribute__((vector_size(32)));
    const t_normalShuffles& s = kNormalShuffles;
    float* n = &N[0][0];
    const vf in[3] = {(vf)_mm512_loadu_ps(n), (vf)_mm512_loadu_ps(n + 16),
                      (vf)_mm512_loadu_ps(n + 32)};
    vf axis[3];
    for (int k = 0; k < 3; ++k) {
        const vf firstTwo = permuteTwo(in[0], s.apart[k][0], in[1]);
        axis[k] = permuteTwo(firstTwo, s.apart[k][1], in[2]);
    }
    const vf len2 = axis[0] * axis[0] + axis[1] * axis[1] + axis[2] * axis[2];
    // (scalar)(1.0 / sqrt((double)len2)), eight lanes to a vector of doubles.
    v8f inv[2];
    for (int half = 0; half < 2; ++half) {
        const v8f part = half ? __builtin_shufflevector(len2, len2, 8, 9, 10, 11, 12, 13, 14, 15)
                              : __builtin_shufflevector(len2, len2, 0, 1, 2, 3, 4, 5, 6, 7);
        const v8d root =
            (v8d)_mm512_maskz_sqrt_pd(0xff, (__m512d)__builtin_convertvector(part, v8d));
        inv[half] = __builtin_convertvector(1.0 / root, v8f);
    }
    const vf invLen = __builtin_shufflevector(inv[0], inv[1], 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10,
                                              11, 12, 13, 14, 15);
    vf unit[3];
    for (int k = 0; k < 3; ++k)
        unit[k] = axis[k] * invLen;
    const vf dot = wx * unit[0] + wy * unit[1] + wz * unit[2];
    const vi side = dot > 0.0f ? -1 : 1;
    _mm512_mask_storeu_epi32(ret, hits, (__m512i)side);
    for (int k = 0; k < 3; ++k)
        axis[k] = (vf)_mm512_mask_blend_ps(hits, (__m512)axis[k], (__m512)unit[k]);
    for (int v = 0; v < 3; ++v) {
        const vf xy = permuteTwo(axis[0], s.together[v][0], axis[1]);
        _mm512_storeu_ps(n + 16 * v, (__m512)permuteTwo(xy, s.together[v][1], axis[2]));
    }
}
#endif

// The packet's lanes p->lanes, all at once.
QKD_INLINE void walkPacket(t_qkdPacket* p, const uint32_t* sortedOfs, const t_state* start,
                           const t_qkd* qkd)
{
    constexpr int NV = QKD_VECTORS;
    const int active = p->lanes;
    if (!active)
        return;
    vf x0[NV], x1[NV], x2[NV], w1[NV], inv0[NV], inv2[NV];
    t_rayFrame frame[QKD_PACKET_LANES];
    const t_ray* ray = p->ray;
    for (int i = 0; i < QKD_PACKET_LANES; ++i) {
        const int h = i / QKD_LANES, j = i % QKD_LANES;
        // Lanes not walked may hold no ray at all: plain numbers instead.
        if (!(active & (1u << i))) {
            x0[h][j] = x1[h][j] = x2[h][j] = w1[h][j] = 0.0f;
            inv0[h][j] = inv2[h][j] = 1.0f;
            continue;
        }
        const t_ray* r = &ray[i];
        x0[h][j] = r->x[0];
        x1[h][j] = r->x[1];
        x2[h][j] = r->x[2];
        w1[h][j] = r->w[1];
        inv0[h][j] = r->w[0];
        inv2[h][j] = r->w[2];
        rayFrame(&frame[i], r);
    }
#if QKD_LANES == 16
    // The directions across, which the hits' sides need once the walk is over.
    vf w0[NV], w2[NV];
    for (int h = 0; h < NV; ++h) {
        w0[h] = inv0[h];
        w2[h] = inv2[h];
    }
#endif
    // The reciprocals, a vector at a time.
    for (int h = 0; h < NV; ++h) {
        inv0[h] = 1.0f / inv0[h];
        inv2[h] = 1.0f / inv2[h];
    }
    const uint32_t order[4] = {sortedOfs[0], sortedOfs[1], sortedOfs[2], sortedOfs[3]};
    const bool nearIsPlusX = (order[3] & 1u) != 0;
    const bool nearIsPlusZ = (order[3] & 2u) == 0;
    const vf zero = x0[0] * 0;
    const vf fltMax = zero + FLT_MAX;
    vi finite0[NV], finite2[NV];
    int finiteLanes = 0;
    vf absX1[NV];
    for (int h = 0; h < NV; ++h) {
        finite0[h] = (inv0[h] <= fltMax) & (inv0[h] >= -fltMax);
        finite2[h] = (inv2[h] <= fltMax) & (inv2[h] >= -fltMax);
        finiteLanes |= vectorBits(laneBits(finite0[h] & finite2[h]), h);
        absX1[h] = QKD_VABS(x1[h]);
    }
    const bool allFinite = (finiteLanes & active) == active;
#if QKD_LANES == 16
    // A copy for the out-of-line slack test, so that the walk's own vectors
    // need not be kept in memory for it.
    t_packetHeights heights;
    for (int h = 0; h < NV; ++h) {
        heights.w1[h] = w1[h];
        heights.x1[h] = x1[h];
        heights.absX1[h] = absX1[h];
    }
#endif
    const vf slackFactor = zero + 4.0f * FLT_EPSILON;
#if QKD_LANES != 16
    const vf rel = zero + 1e-6f;
#endif
    const uint32_t numRecursions = qkd->numRecursions;
    const scalar* const S05 = qkd->S05;
    const scalar cutMargin =
        allFinite ? packetCutMargin(x0, absX1, x2, w1, inv0, inv2, p, start, active, qkd)
                  : INFINITY;

    // Pending nodes live on the stack, the one walked next on top, their
    // fields read where they lie rather than copied out whole; only a kept
    // nearest child skips it (next).
    t_packetState stack[QKD_STACK_ENTRIES];
    {
        t_packetState* s = &stack[0];
        for (int h = 0; h < NV; ++h) {
            // Lanes not walked may hold anything: selected away, not computed with.
            vf tmin, tmax;
            __builtin_memcpy(&tmin, p->t_min + h * QKD_LANES, sizeof tmin);
            __builtin_memcpy(&tmax, p->t_max + h * QKD_LANES, sizeof tmax);
            const vi walked = lanesVector((int)vectorLanes(active, h));
            s->t_min[h] = walked ? tmin : zero;
            s->t_max[h] = walked ? tmax : zero;
        }
        s->cx = start->centerXZ[0];
        s->cz = start->centerXZ[1];
        s->rec = start->rec;
        s->lanes = active;
        s->node = start->node;
    }
    int sp = 1;
    int done = 0;  // lanes whose hit is found
    t_packetState next;  // the nearest child, when kept: walked next without the stack
    bool goOn = false;
    for (;;) {
        const t_packetState* cur;
        if (goOn) {
            cur = &next;
        } else {
            if (sp == 0)
                break;
            cur = &stack[--sp];
        }
        goOn = false;
        const int lanes = cur->lanes & ~done;
        if (!lanes)
            continue;
        const scalar cx = cur->cx, cz = cur->cz;
        const uint32_t rec = cur->rec;
        const t_qkd_node* node = cur->node;
        if (rec < numRecursions) {
            const vf cxv = zero + cx, czv = zero + cz;
            vf txIn[NV], tzIn[NV], txOut[NV], tzOut[NV], t_min[NV], t_max[NV];
            for (int h = 0; h < NV; ++h) {
                txIn[h] = (cxv - x0[h]) * inv0[h];
                tzIn[h] = (czv - x2[h]) * inv2[h];
                txOut[h] = txIn[h];
                tzOut[h] = tzIn[h];
                if (!allFinite) {
                    packetParallelCrossing(&txIn[h], &txOut[h], cxv, x0[h], finite0[h],
                                           nearIsPlusX);
                    packetParallelCrossing(&tzIn[h], &tzOut[h], czv, x2[h], finite2[h],
                                           nearIsPlusZ);
                }
                t_min[h] = cur->t_min[h];
                t_max[h] = cur->t_max[h];
            }
            // A child that some lane enters is judged in all lanes without
            // branching: which lanes keep it is data that no predictor
            // guesses well.
            const t_qkd_node* CN = node + node->ofs;
            const uint32_t childRec = rec + 1;
            const bool leafChildren = childRec >= numRecursions;
            const scalar xz[2] = {-S05[childRec], S05[childRec]};
            int leafKeep[4] = {0, 0, 0, 0};
            // Judged once with leafChildren a constant for each kind of
            // visit: tested child by child, it was a branch that leaf
            // parents and inner nodes, taking turns, made hard to guess.
            auto judgeChildren = [&](auto leafTag) __attribute__((always_inline)) {
                const bool leafChildren = leafTag;
                t_lanes live[NV];
                for (int h = 0; h < NV; ++h)
                    live[h] = lanesOf(vectorLanes(lanes, h));
#pragma GCC unroll 4
                for (int k = 0; k < 4; ++k) {
                    // The child's interval, as qkd_childIntervals has it; the
                    // walk's t_min is never below 0, so only the entries
                    // across both planes need the 0.
                    vf tIn[NV], tOut[NV];
                    t_lanes in[NV];
                    for (int h = 0; h < NV; ++h) {
                        tIn[h] = k == 0   ? QKD_VMAX(QKD_VMAX(txIn[h], tzIn[h]), zero)
                                 : k == 1 ? QKD_VMAX(tzIn[h], t_min[h])
                                 : k == 2 ? QKD_VMAX(txIn[h], t_min[h])
                                          : t_min[h];
                        tOut[h] = k == 0   ? t_max[h]
                                  : k == 1 ? QKD_VMIN(txOut[h], t_max[h])
                                  : k == 2 ? QKD_VMIN(tzOut[h], t_max[h])
                                           : QKD_VMIN(txOut[h], tzOut[h]);
                        in[h] = lanesNotLess(
                            live[h], tOut[h] + slackFactor * QKD_VMIN(tIn[h], fltMax), tIn[h]);
                    }
                    // A child no lane enters is common and costs nothing; a
                    // leaf child is judged all the same, as a branch on it
                    // costs more there than the judgement.
                    if (!leafChildren && !anyLanes(in))
                        continue;
                    const uint32_t su = order[k];
                    const t_qkd_node* child = CN + su;
                    const scalar maxH = qkd->heightOfSample[child->maxH];
                    const scalar minH = qkd->heightOfSample[child->minH];
                    const vf maxY = splat(maxH), minY = splat(minH);
                    // An entering lane whose heights overlap the child's keeps
                    // it, one that passes far above or below culls it; only a
                    // lane near a bound needs the slack test. With a finite
                    // margin the entered lanes' heights are finite, so their
                    // lowest and highest decide; a NaN height never makes a
                    // lane overlap, whatever the margin.
                    const vf hiCut = splat(maxH + cutMargin), loCut = splat(minH - cutMargin);
                    t_lanes near[NV];
                    int keep = 0;
                    for (int h = 0; h < NV; ++h) {
                        const vf yMin = tIn[h] * w1[h] + x1[h], yMax = tOut[h] * w1[h] + x1[h];
                        const vf lo = QKD_VMIN(yMin, yMax), hi = QKD_VMAX(yMin, yMax);
                        const t_lanes over =
                            lanesLessEqualIn(lanesLessEqualIn(in[h], lo, maxY), minY, hi);
                        // Not far: neither hiCut < lo nor hi < loCut.
                        near[h] = lanesNotLess(
                            lanesNotLess(lanesAndNot(over, in[h]), hiCut, lo), hi, loCut);
                        keep |= vectorBits(setBits(over), h);
                    }
                    if (anyLanes(near)) {
                        int entered = 0;
                        for (int h = 0; h < NV; ++h)
                            entered |= vectorBits(setBits(in[h]), h);
#if QKD_LANES == 16
                        alignas(64) float bufIn[QKD_PACKET_LANES], bufOut[QKD_PACKET_LANES];
                        for (int h = 0; h < NV; ++h) {
                            __builtin_memcpy(bufIn + QKD_LANES * h, &tIn[h], sizeof(vf));
                            __builtin_memcpy(bufOut + QKD_LANES * h, &tOut[h], sizeof(vf));
                        }
                        keep = entered & ~cullNearBoundsOf(&heights, bufIn, bufOut, minH, maxH);
#else
                        int cull = 0;
                        for (int h = 0; h < NV; ++h) {
                            const int c = cullNearBounds(tIn[h], tOut[h], w1[h], x1[h], absX1[h],
                                                         minY, maxY, rel);
                            cull |= vectorBits(c, h);
                        }
                        keep = entered & ~cull;
#endif
                    }
                    if (leafChildren) {
                        // Leaf children are tested below, straight from here;
                        // their heightmap rows, beyond the caches, are asked
                        // for first.
                        leafKeep[k] = keep;
                        const t_qkdHeightVal* rows = qkd->heightmap + child->heightmapUL;
                        __builtin_prefetch(rows);
                        __builtin_prefetch(rows + qkd->size);
                        __builtin_prefetch(rows + 2 * qkd->size);
                        continue;
                    }
                    // Kept children go on the stack farthest deepest, so they
                    // come back nearest first: the order of the plain walk. The
                    // entry is written either way; only a kept one stays. The
                    // nearest, if kept, skips the stack and is walked next.
                    const bool nearest = k == 3 && keep != 0;
                    t_packetState* s = nearest ? &next : &stack[sp];
                    for (int h = 0; h < NV; ++h) {
                        s->t_min[h] = tIn[h];
                        s->t_max[h] = tOut[h];
                    }
                    s->cx = cx + xz[su & 1u];
                    s->cz = cz - xz[su >> 1];
                    s->rec = childRec;
                    s->lanes = keep;
                    s->node = child;
                    sp += keep != 0 && !nearest;
                    goOn = nearest;
                    // What the child's visit reads first, asked for now: deep
                    // nodes lie beyond the caches. Unconditional, as a branch on
                    // keep costs more than a wasted prefetch.
                    __builtin_prefetch(child + child->ofs);
                }
            };
            if (!leafChildren) {
                judgeChildren(std::false_type());
                continue;
            }
            judgeChildren(std::true_type());
            // Leaves are tested nearest first, as the stack would hand them
            // out, without going through it.
            for (int k = 3; k >= 0; --k) {
                const uint32_t su = order[k];
                const scalar centre[2] = {cx + xz[su & 1u], cz - xz[su >> 1]};
                done |= leafLanes(p, leafKeep[k] & ~done, frame, CN + su, centre,
                                  S05[childRec], qkd);
            }
        } else {
            const scalar centre[2] = {cx, cz};
            done |= leafLanes(p, lanes, frame, node, centre, S05[rec], qkd);
        }
        if ((active & ~done) == 0)
            break;
    }
    // The hits' normals and sides, which the leaves left for now.
    if (!useFourCellLeaves(qkd))
        return;
#if QKD_LANES == 16
    for (int h = 0; h < NV; ++h) {
        const __mmask16 hits = (__mmask16)vectorLanes(done, h);
        if (hits)
            finishHits16(&p->N[16 * h], &p->result[16 * h], hits, w0[h], w1[h], w2[h]);
    }
#else
    for (unsigned bits = (unsigned)done; bits; bits &= bits - 1) {
        const int lane = __builtin_ctz(bits);
        finishHit(p->N[lane], &p->result[lane], &p->ray[lane]);
    }
#endif
}

#undef QKD_VMAX
#undef QKD_VMIN
#undef QKD_VABS

}  // namespace

#endif
