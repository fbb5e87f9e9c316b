// The fast kernels of the walk, included by one file per instruction set
// (tesk_qkd_fast.cpp for SSE2, tesk_qkd_fast_avx2.cpp compiled for AVX2).
// Everything here has internal linkage, so each file keeps its own copy.
#ifndef TESK_QKD_KERNELS_H
#define TESK_QKD_KERNELS_H

#include <immintrin.h>

#include "tesk_qkd_internal.h"

namespace {


typedef double v4d __attribute__((vector_size(32)));
typedef long long v4l __attribute__((vector_size(32)));

#define QKD_INLINE inline __attribute__((always_inline))

// Projected vertices of a 2 x 2 leaf, rows of four (the fourth a copy of the
// third), so that the corners of the four cells load as pairs.
struct t_leafProjection {
    double px[12], py[12], dz[12];
};

// The two triangles of every cell, their edge functions formed four cells at
// a time; the rest of the test (normal, parallel check, t) only for the
// triangles whose edges do not rule the ray out. Same results as
// intersectLeaf for minNodeSize 2.
QKD_INLINE int leafOfFourCells(scalar* t, scalar* N, t_material* mat, const t_rayFrame* f,
                               const t_ray* ray, const t_qkd_node* node, const t_qkd* qkd)
{
    const uint32_t size = qkd->size;
    const uint32_t row0 = node->heightmapUL / size;
    const scalar* xs = qkd->vertexX + (node->heightmapUL - row0 * size);
    const scalar* zs = qkd->vertexZ + row0;
    const t_qkdHeightVal* tile = qkd->heightmap + node->heightmapUL;

    scalar vertices[12][3];
    t_leafProjection p;
    const v4d dx = {(double)xs[0] - f->x[0], (double)xs[1] - f->x[0], (double)xs[2] - f->x[0],
                    (double)xs[2] - f->x[0]};
    const double wz = f->w[f->kz], wx = f->w[f->kx], wy = f->w[f->ky];
    for (int r = 0; r < 3; ++r) {
        const t_qkdHeightVal* row = tile + (size_t)r * size;
        for (int c = 0; c < 3; ++c) {
            vertices[4 * r + c][0] = xs[c];
            vertices[4 * r + c][1] = qkd_sampleHeight(qkd, row[c]);
            vertices[4 * r + c][2] = zs[r];
        }
        const v4d dy = {(double)vertices[4 * r][1] - f->x[1], (double)vertices[4 * r + 1][1] - f->x[1],
                        (double)vertices[4 * r + 2][1] - f->x[1],
                        (double)vertices[4 * r + 2][1] - f->x[1]};
        const double dzRow = (double)zs[r] - f->x[2];
        const v4d dzv = {dzRow, dzRow, dzRow, dzRow};
        const v4d d[3] = {dx, dy, dzv};
        const v4d px = d[f->kx] * wz - wx * d[f->kz];
        const v4d py = d[f->ky] * wz - wy * d[f->kz];
        for (int c = 0; c < 4; ++c) {
            p.px[4 * r + c] = px[c];
            p.py[4 * r + c] = py[c];
            p.dz[4 * r + c] = d[f->kz][c];
        }
    }

    // Corners of cells (0, 0), (0, 1), (1, 0), (1, 1): upper-left at 0, 1, 4, 5.
#define QKD_PAIRS(a, i, j) v4d{a[i], a[i + 1], a[j], a[j + 1]}
    const v4d x0 = QKD_PAIRS(p.px, 0, 4), y0 = QKD_PAIRS(p.py, 0, 4);
    const v4d x1 = QKD_PAIRS(p.px, 1, 5), y1 = QKD_PAIRS(p.py, 1, 5);
    const v4d x2 = QKD_PAIRS(p.px, 4, 8), y2 = QKD_PAIRS(p.py, 4, 8);
    const v4d x3 = QKD_PAIRS(p.px, 5, 9), y3 = QKD_PAIRS(p.py, 5, 9);
#undef QKD_PAIRS
    // rayEdge(p, q) = p.px q.py - p.py q.px, as each cell forms them.
    const v4d diagonal = x1 * y2 - y1 * x2;
    const v4d left = x2 * y0 - y2 * x0, top = x0 * y1 - y0 * x1;
    const v4d right = x1 * y3 - y1 * x3, bottom = x3 * y2 - y3 * x2;
    const v4d zero = {0, 0, 0, 0};
    const v4d antiDiagonal = -diagonal;
    const v4l miss1 = ((diagonal < zero) | (left < zero) | (top < zero)) &
                      ((diagonal > zero) | (left > zero) | (top > zero));
    const v4l miss2 = ((right < zero) | (bottom < zero) | (antiDiagonal < zero)) &
                      ((right > zero) | (bottom > zero) | (antiDiagonal > zero));

    *t = FLT_MAX;
    int ret = 0;
    static const int corner[4] = {0, 1, 4, 5};
    for (int cell = 0; cell < 4; ++cell) {
        if (miss1[cell] && miss2[cell])
            continue;
        const int v0 = corner[cell], v1 = v0 + 1, v2 = v0 + 4, v3 = v0 + 5;
        t_rayVertex q[4];
        const int idx[4] = {v0, v1, v2, v3};
        for (int k = 0; k < 4; ++k) {
            q[k].px = p.px[idx[k]];
            q[k].py = p.py[idx[k]];
            q[k].dz = p.dz[idx[k]];
        }
        scalar tt, uu, vv, nn[3];
        if (!miss1[cell]) {
            const int r = rayTriangleFromEdges(f, ray, vertices[v0], vertices[v1], vertices[v2],
                                               &q[0], &q[1], &q[2], diagonal[cell], left[cell],
                                               top[cell], &tt, &uu, &vv, nn);
            if (r != 0 && tt < *t) {
                *t = tt;
                N[0] = nn[0];
                N[1] = nn[1];
                N[2] = nn[2];
                ret = r;
            }
        }
        if (!miss2[cell]) {
            const int r = rayTriangleFromEdges(f, ray, vertices[v2], vertices[v1], vertices[v3],
                                               &q[2], &q[1], &q[3], right[cell], bottom[cell],
                                               antiDiagonal[cell], &tt, &uu, &vv, nn);
            if (r != 0 && tt < *t) {
                *t = tt;
                N[0] = nn[0];
                N[1] = nn[1];
                N[2] = nn[2];
                ret = r;
            }
        }
    }
    if (ret != 0) {
        mat->rgb[0] = qkd->groundColorA[0];
        mat->rgb[1] = qkd->groundColorA[1];
        mat->rgb[2] = qkd->groundColorA[2];
    }
    return ret;
}

// World heights of four samples, as qkd_sampleHeight gives them.
QKD_INLINE __m128 sampleHeights(uint32_t a, uint32_t b, uint32_t c, uint32_t d, __m128d scale)
{
    const __m128i s = _mm_setr_epi32((int)a, (int)b, (int)c, (int)d);
    const __m128 lo = _mm_cvtpd_ps(_mm_mul_pd(_mm_cvtepi32_pd(s), scale));
    const __m128 hi = _mm_cvtpd_ps(_mm_mul_pd(_mm_cvtepi32_pd(_mm_shuffle_epi32(s, 0xEE)), scale));
    return _mm_movelh_ps(lo, hi);
}

// qkd_nearHeight for four lanes.
QKD_INLINE __m128 nearHeights(__m128 yMin, __m128 yMax, __m128 bound, __m128 entryW1,
                              __m128 exitW1, __m128 absX1)
{
    const __m128 sign = _mm_set1_ps(-0.0f);
    const __m128 rel = _mm_set1_ps(1e-6f);
    const __m128 absBound = _mm_andnot_ps(sign, bound);
    const __m128 slackIn =
        _mm_mul_ps(_mm_add_ps(_mm_add_ps(_mm_andnot_ps(sign, entryW1), absX1), absBound), rel);
    const __m128 slackOut =
        _mm_mul_ps(_mm_add_ps(_mm_add_ps(_mm_andnot_ps(sign, exitW1), absX1), absBound), rel);
    return _mm_or_ps(_mm_cmple_ps(_mm_andnot_ps(sign, _mm_sub_ps(yMin, bound)), slackIn),
                     _mm_cmple_ps(_mm_andnot_ps(sign, _mm_sub_ps(yMax, bound)), slackOut));
}

QKD_INLINE int walk(scalar* t, scalar* N, t_material* mat, const uint32_t* sortedOfs,
                    const t_ray* ray, const scalar* inv_w, const t_state* initialState,
                    const t_qkd* qkd)
{
    const scalar x0 = ray->x[0], x1 = ray->x[1], x2 = ray->x[2];
    const scalar w1 = ray->w[1];
    const scalar inv_w0 = inv_w[0], inv_w2 = inv_w[2];
    const uint32_t order[4] = {sortedOfs[0], sortedOfs[1], sortedOfs[2], sortedOfs[3]};
    const uint32_t numRecursions = qkd->numRecursions;
    const scalar* const S05 = qkd->S05;
    const bool nearIsPlusX = (order[3] & 1u) != 0;
    const bool nearIsPlusZ = (order[3] & 2u) == 0;
    const bool fourCellLeaves = qkd->minNodeSize == 2;
    const __m128d scale = _mm_set1_pd(1.5259021896696422e-05 * (double)qkd->h);
    const __m128 w1v = _mm_set1_ps(w1), x1v = _mm_set1_ps(x1);
    const __m128 absX1 = _mm_andnot_ps(_mm_set1_ps(-0.0f), x1v);
    t_rayFrame frame;
    rayFrame(&frame, ray);

    g_stack[1] = *initialState;
    t_state cur = *initialState;
    int tos = 1;
    for (;;) {
        if (cur.rec < numRecursions) {
            const scalar cx = cur.centerXZ[0];
            const scalar cz = cur.centerXZ[1];
            scalar txIn, txOut, tzIn, tzOut;
            qkd_splitCrossing(&txIn, &txOut, cx, x0, inv_w0, nearIsPlusX);
            qkd_splitCrossing(&tzIn, &tzOut, cz, x2, inv_w2, nearIsPlusZ);
            sse_float entry, exit;
            qkd_childIntervals(&entry, &exit, txIn, txOut, tzIn, tzOut, cur.t_min, cur.t_max);
            const int missed = qkd_childrenMissed(&entry, &exit);
            const t_qkd_node* CN = cur.node + cur.node->ofs;

            // Heights of the ray where it enters and leaves each child, and
            // the children's height bounds, lane k for child order[k].
            const __m128 entryW1 = _mm_mul_ps(entry.v, w1v);
            const __m128 exitW1 = _mm_mul_ps(exit.v, w1v);
            const __m128 yMin = _mm_add_ps(entryW1, x1v);
            const __m128 yMax = _mm_add_ps(exitW1, x1v);
            const t_qkd_node *c0 = CN + order[0], *c1 = CN + order[1], *c2 = CN + order[2],
                             *c3 = CN + order[3];
            const __m128 maxY = sampleHeights(c0->maxH, c1->maxH, c2->maxH, c3->maxH, scale);
            const __m128 minY = sampleHeights(c0->minH, c1->minH, c2->minH, c3->minH, scale);
            const __m128 above = _mm_andnot_ps(
                nearHeights(yMin, yMax, maxY, entryW1, exitW1, absX1),
                _mm_and_ps(_mm_cmpgt_ps(yMin, maxY), _mm_cmpgt_ps(yMax, maxY)));
            const __m128 below = _mm_andnot_ps(
                _mm_or_ps(_mm_cmpge_ps(yMin, minY), _mm_cmpge_ps(yMax, minY)),
                _mm_andnot_ps(nearHeights(yMin, yMax, minY, entryW1, exitW1, absX1),
                              _mm_castsi128_ps(_mm_set1_epi32(-1))));
            const int keep = ~(missed | _mm_movemask_ps(_mm_or_ps(above, below))) & 15;

            if (keep) {
                // The nearest kept child goes on at once, the others wait on
                // the stack, farthest deepest: the order of the plain walk,
                // which pushes them all and takes the nearest back first.
                const uint32_t childRec = cur.rec + 1;
                const scalar xz[2] = {-S05[childRec], S05[childRec]};
                const int nearest = 31 - __builtin_clz((unsigned)keep);
                for (int k = 0; k < nearest; ++k) {
                    // Written whether kept or not; only a kept one stays.
                    const uint32_t su = order[k];
                    t_state* s = &g_stack[tos + 1];
                    s->centerXZ[0] = cx + xz[su & 1u];
                    s->centerXZ[1] = cz - xz[su >> 1];
                    s->t_min = entry.f[k];
                    s->t_max = exit.f[k];
                    s->rec = childRec;
                    s->node = CN + su;
                    tos += (keep >> k) & 1;
                }
                const uint32_t su = order[nearest];
                cur.centerXZ[0] = cx + xz[su & 1u];
                cur.centerXZ[1] = cz - xz[su >> 1];
                cur.t_min = entry.f[nearest];
                cur.t_max = exit.f[nearest];
                cur.rec = childRec;
                cur.node = CN + su;
                continue;
            }
        } else {
            const int r = fourCellLeaves
                              ? leafOfFourCells(t, N, mat, &frame, ray, cur.node, qkd)
                              : intersectLeaf(t, N, mat, cur.centerXZ, S05[cur.rec], ray,
                                              cur.node, qkd);
            if (r != 0)
                return r;
        }
        if (tos <= 1)
            return 0;  // entry 1, the start node, is done
        cur = g_stack[tos];
        --tos;
    }
}

// --- Packets ---------------------------------------------------------------

typedef float vf8 __attribute__((vector_size(32)));
typedef int vi8 __attribute__((vector_size(32)));

// maxps and minps, lane by lane: the second operand unless the first is
// larger (smaller), as the single-ray walk has them.
#define QKD_VMAX(a, b) ((a) > (b) ? (a) : (b))
#define QKD_VMIN(a, b) ((a) < (b) ? (a) : (b))

// Bit i: lane i of the comparison result is true.
QKD_INLINE int laneBits(vi8 m)
{
#ifdef __AVX2__
    return _mm256_movemask_ps((__m256)m);
#else
    union {
        vi8 v;
        __m128 half[2];
    } u = {m};
    return _mm_movemask_ps(u.half[0]) | _mm_movemask_ps(u.half[1]) << 4;
#endif
}

// A pending node of the packet walk: each lane's interval in it, and which
// lanes take part.
struct alignas(32) t_packetState {
    vf8 t_min, t_max;
    scalar cx, cz;
    uint32_t rec;
    int lanes;
    const t_qkd_node* node;
};

// qkd_splitCrossing, lane by lane, for rays parallel to the plane.
QKD_INLINE void packetParallelCrossing(vf8* tIn, vf8* tOut, vf8 c, vf8 x, vi8 finite,
                                       bool nearIsAbove)
{
    const vf8 inf = {INFINITY, INFINITY, INFINITY, INFINITY,
                     INFINITY, INFINITY, INFINITY, INFINITY};
    const vi8 onPlane = x == c;
    const vi8 above = x > c;
    const vf8 side = (nearIsAbove ? above : ~above) ? inf : -inf;
    *tIn = finite ? *tIn : (onPlane ? -inf : side);
    *tOut = finite ? *tOut : (onPlane ? inf : side);
}

QKD_INLINE void walkPacket(t_qkdPacket* p, const uint32_t* sortedOfs, const t_state* start,
                           const t_qkd* qkd)
{
    vf8 x0, x1, x2, w1, inv0, inv2;
    t_rayFrame frame[QKD_PACKET_LANES];
    for (int i = 0; i < QKD_PACKET_LANES; ++i) {
        const t_ray* r = &p->ray[i];
        x0[i] = r->x[0];
        x1[i] = r->x[1];
        x2[i] = r->x[2];
        w1[i] = r->w[1];
        inv0[i] = 1.0f / r->w[0];
        inv2[i] = 1.0f / r->w[2];
        p->result[i] = 0;
        if (p->lanes & (1 << i))
            rayFrame(&frame[i], r);
    }
    const uint32_t order[4] = {sortedOfs[0], sortedOfs[1], sortedOfs[2], sortedOfs[3]};
    const bool nearIsPlusX = (order[3] & 1u) != 0;
    const bool nearIsPlusZ = (order[3] & 2u) == 0;
    const vf8 fltMax = {FLT_MAX, FLT_MAX, FLT_MAX, FLT_MAX, FLT_MAX, FLT_MAX, FLT_MAX, FLT_MAX};
    const vi8 finite0 = (inv0 <= fltMax) & (inv0 >= -fltMax);
    const vi8 finite2 = (inv2 <= fltMax) & (inv2 >= -fltMax);
    const bool allFinite = laneBits(finite0 & finite2) == 0xff;
    const vf8 zero = {0, 0, 0, 0, 0, 0, 0, 0};
    const vf8 slackFactor = zero + 4.0f * FLT_EPSILON;
    const vf8 rel = zero + 1e-6f;
    const vf8 absX1 = x1 < zero ? -x1 : x1;
    const uint32_t numRecursions = qkd->numRecursions;
    const scalar* const S05 = qkd->S05;
    const bool fourCellLeaves = qkd->minNodeSize == 2;

    t_packetState stack[QKD_STACK_ENTRIES];
    int sp = 0;
    t_packetState cur;
    for (int i = 0; i < QKD_PACKET_LANES; ++i) {
        cur.t_min[i] = p->t_min[i];
        cur.t_max[i] = p->t_max[i];
    }
    cur.cx = start->centerXZ[0];
    cur.cz = start->centerXZ[1];
    cur.rec = start->rec;
    cur.lanes = p->lanes;
    cur.node = start->node;
    int done = 0;  // lanes whose hit is found
    for (;;) {
        const int lanes = cur.lanes & ~done;
        if (lanes && cur.rec < numRecursions) {
            const vf8 cxv = zero + cur.cx, czv = zero + cur.cz;
            vf8 txIn = (cxv - x0) * inv0, tzIn = (czv - x2) * inv2;
            vf8 txOut = txIn, tzOut = tzIn;
            if (!allFinite) {
                packetParallelCrossing(&txIn, &txOut, cxv, x0, finite0, nearIsPlusX);
                packetParallelCrossing(&tzIn, &tzOut, czv, x2, finite2, nearIsPlusZ);
            }
            const vf8 t_min = cur.t_min, t_max = cur.t_max;
            // The four children's intervals, as qkd_childIntervals has them.
            vf8 entry[4], exit[4];
            entry[0] = QKD_VMAX(QKD_VMAX(txIn, tzIn), zero);
            entry[1] = QKD_VMAX(QKD_VMAX(tzIn, t_min), zero);
            entry[2] = QKD_VMAX(QKD_VMAX(txIn, t_min), zero);
            entry[3] = QKD_VMAX(QKD_VMAX(t_min, t_min), t_min);
            exit[0] = QKD_VMIN(t_max, t_max);
            exit[1] = QKD_VMIN(txOut, t_max);
            exit[2] = QKD_VMIN(tzOut, t_max);
            exit[3] = QKD_VMIN(txOut, tzOut);

            const t_qkd_node* CN = cur.node + cur.node->ofs;
            int keep[4];
            int nearest = -1;
            for (int k = 0; k < 4; ++k) {
                const vf8 tIn = entry[k], tOut = exit[k];
                const int in = lanes & ~laneBits(tIn > tOut + slackFactor * QKD_VMIN(tIn, fltMax));
                keep[k] = in;
                if (!in)
                    continue;
                const t_qkd_node* child = CN + order[k];
                const vf8 inW1 = tIn * w1, outW1 = tOut * w1;
                const vf8 yMin = inW1 + x1, yMax = outW1 + x1;
                const scalar maxY = qkd_sampleHeight(qkd, child->maxH);
                const scalar minY = qkd_sampleHeight(qkd, child->minH);
                int above = in & laneBits((yMin > maxY) & (yMax > maxY));
                int below = in & ~laneBits((yMin >= minY) | (yMax >= minY));
                // Heights within rounding of a bound keep the child
                // (qkd_nearHeight); only lanes about to be culled need asking.
                if (above | below) {
                    const vf8 absIn = inW1 < zero ? -inW1 : inW1;
                    const vf8 absOut = outW1 < zero ? -outW1 : outW1;
                    if (above) {
                        const scalar absMax = maxY < 0 ? -maxY : maxY;
                        const vf8 dIn = yMin - maxY, dOut = yMax - maxY;
                        above &= ~laneBits(
                            ((dIn < zero ? -dIn : dIn) <= (absIn + absX1 + absMax) * rel) |
                            ((dOut < zero ? -dOut : dOut) <= (absOut + absX1 + absMax) * rel));
                    }
                    if (below) {
                        const scalar absMin = minY < 0 ? -minY : minY;
                        const vf8 dIn = yMin - minY, dOut = yMax - minY;
                        below &= ~laneBits(
                            ((dIn < zero ? -dIn : dIn) <= (absIn + absX1 + absMin) * rel) |
                            ((dOut < zero ? -dOut : dOut) <= (absOut + absX1 + absMin) * rel));
                    }
                    keep[k] = in & ~above & ~below;
                }
                if (keep[k])
                    nearest = k;
            }
            if (nearest >= 0) {
                const uint32_t childRec = cur.rec + 1;
                const scalar xz[2] = {-S05[childRec], S05[childRec]};
                for (int k = 0; k < nearest; ++k) {
                    if (!keep[k])
                        continue;
                    const uint32_t su = order[k];
                    t_packetState* s = &stack[sp++];
                    s->t_min = entry[k];
                    s->t_max = exit[k];
                    s->cx = cur.cx + xz[su & 1u];
                    s->cz = cur.cz - xz[su >> 1];
                    s->rec = childRec;
                    s->lanes = keep[k];
                    s->node = CN + su;
                }
                const uint32_t su = order[nearest];
                cur.t_min = entry[nearest];
                cur.t_max = exit[nearest];
                cur.cx = cur.cx + xz[su & 1u];
                cur.cz = cur.cz - xz[su >> 1];
                cur.rec = childRec;
                cur.lanes = keep[nearest];
                cur.node = CN + su;
                continue;
            }
        } else if (lanes) {
            const scalar centre[2] = {cur.cx, cur.cz};
            for (int bits = lanes; bits; bits &= bits - 1) {
                const int i = __builtin_ctz(bits);
                const int r =
                    fourCellLeaves
                        ? leafOfFourCells(&p->t[i], p->N[i], &p->mat[i], &frame[i], &p->ray[i],
                                          cur.node, qkd)
                        : intersectLeaf(&p->t[i], p->N[i], &p->mat[i], centre, S05[cur.rec],
                                        &p->ray[i], cur.node, qkd);
                if (r != 0) {
                    p->result[i] = r;
                    done |= 1 << i;
                }
            }
            if ((p->lanes & ~done) == 0)
                return;
        }
        if (sp == 0)
            return;
        cur = stack[--sp];
    }
}

#undef QKD_VMAX
#undef QKD_VMIN

}  // namespace

#endif
