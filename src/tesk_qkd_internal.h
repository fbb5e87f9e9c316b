// Private parts of the tree module, shared with its tests.
#ifndef TESK_QKD_INTERNAL_H
#define TESK_QKD_INTERNAL_H

#include <xmmintrin.h>

#include <cfloat>
#include <cmath>

#include "tesk_math.h"
#include "tesk_qkd.h"

// Traversal state of one node.
struct t_state {
    scalar centerXZ[2];  // world x and z of the node's centre
    scalar t_min;        // ray parameter interval examined in the node
    scalar t_max;
    uint32_t rec;  // level; 0 is the root
    const t_qkd_node* node;
};

// Four floats, one SIMD register.
union sse_float {
    float f[4];
    __m128 v;
};
static_assert(sizeof(sse_float) == 16, "sse_float is one 4-lane register");

// The traversal stack: entry 0 unused, entry 1 the initial state. A walk
// needs at most 3 * numRecursions + 1 pending states, and the packet walk
// writes up to three more past its top before it counts them; the largest
// map (8193 samples a side) has 12 levels.
constexpr int QKD_STACK_ENTRIES = 128;
static_assert(QKD_STACK_ENTRIES >= 3 * 12 + 1 + 1 + 3, "the stack holds the deepest walk");
extern t_state g_stack[QKD_STACK_ENTRIES];

int recursiveBuild(t_qkd* qkd, uint32_t u, uint32_t v, uint32_t nodeSize, uint32_t nodeIndex,
                   uint32_t recLeft);

void presort_ofs(uint32_t* sortedOfs, const t_ray* ray);
// The walk from initialState: the fast path that this processor runs.
int iterativeQkdTraverse(scalar* t, scalar* N, t_material* mat, const uint32_t* sortedOfs,
                         const t_ray* ray, const scalar* inv_w, const t_state* initialState,
                         const t_qkd* qkd);
// The plain walk, one child and one triangle at a time: the reference that
// every fast path gives the same results as, bit for bit.
int qkd_walkReference(scalar* t, scalar* N, t_material* mat, const uint32_t* sortedOfs,
                      const t_ray* ray, const scalar* inv_w, const t_state* initialState,
                      const t_qkd* qkd);

// Up to 32 rays walked together from one start node, as a packet: each
// node is fetched and its children ordered once for all of them, and each
// lane does exactly what the single-ray walk does for its ray, so it gets
// the same result, t, normal and material. The rays must share their child
// order (presort_ofs), that is the signs of their x and z directions.
constexpr int QKD_PACKET_LANES = 32;
struct t_qkdPacket {
    t_ray ray[QKD_PACKET_LANES];
    scalar t_min[QKD_PACKET_LANES];  // the ray's interval in the start node, t_min >= 0
    scalar t_max[QKD_PACKET_LANES];
    int lanes;  // bit k: lane k is walked
    // Out, lane by lane, as iterativeQkdTraverse gives them: its result, and
    // t (the caller sets it to the largest float first), N and mat (the
    // caller sets rgb to 0) as it leaves them.
    int result[QKD_PACKET_LANES];
    scalar t[QKD_PACKET_LANES];
    scalar N[QKD_PACKET_LANES][3];
    t_material mat[QKD_PACKET_LANES];
};
// start gives the start node, its centre and level; sortedOfs the lanes'
// common child order.
void qkd_walkPacket(t_qkdPacket* packet, const uint32_t* sortedOfs, const t_state* start,
                    const t_qkd* qkd);

// Ways through the walk: the reference, and SIMD lanes of SSE2 (every
// x86-64 processor), AVX2 and AVX-512.
enum t_qkdPath { QKD_PATH_REFERENCE, QKD_PATH_SSE2, QKD_PATH_AVX2, QKD_PATH_AVX512 };
bool qkd_pathRuns(t_qkdPath path);
// The fast walks, one per instruction set; a packet walk takes the whole
// packet at once.
int qkd_walkSse2(scalar* t, scalar* N, t_material* mat, const uint32_t* sortedOfs,
                 const t_ray* ray, const scalar* inv_w, const t_state* initialState,
                 const t_qkd* qkd);
int qkd_walkAvx2(scalar* t, scalar* N, t_material* mat, const uint32_t* sortedOfs,
                 const t_ray* ray, const scalar* inv_w, const t_state* initialState,
                 const t_qkd* qkd);
int qkd_walkAvx512(scalar* t, scalar* N, t_material* mat, const uint32_t* sortedOfs,
                   const t_ray* ray, const scalar* inv_w, const t_state* initialState,
                   const t_qkd* qkd);
void qkd_walkPacketSse2(t_qkdPacket* p, const uint32_t* sortedOfs, const t_state* start,
                        const t_qkd* qkd);
void qkd_walkPacketAvx2(t_qkdPacket* p, const uint32_t* sortedOfs, const t_state* start,
                        const t_qkd* qkd);
void qkd_walkPacketAvx512(t_qkdPacket* p, const uint32_t* sortedOfs, const t_state* start,
                          const t_qkd* qkd);
// Makes iterativeQkdTraverse take the path (the best one the processor runs
// if it cannot); returns the path taken before. For tests and measurements.
t_qkdPath qkd_setPath(t_qkdPath path);
// Single rays on the AVX-512 path: the AVX-512 build (true) or the AVX2
// one. The AVX-512 build tests a leaf's eight triangles in one vector; on
// an AMD Zen 5 that took 2.5 to 3 % off their time, on an Intel Xeon it
// added 6 to 8 %, so the processor's maker decides. It also needs
// AVX512VL; without it, true leaves the AVX2 build. Returns the choice
// before; for tests and measurements.
bool qkd_setSingleRaysAvx512(bool on);
bool qkd_singleRaysTakeAvx512();

// Where the ray crosses a node's splitting plane, as two values: tIn is used
// for the entries of the children beyond the plane, tOut for the exits of the
// children before it. Both are (c - x) * inv for an ordinary ray. For a ray
// parallel to the plane (inv infinite) that product is an infinity of the
// wrong sign or, on the plane, NaN; instead the ray stays in the half that
// presort_ofs called near (+inf), or in the far half from the start (-inf),
// or, lying in the plane, belongs to both halves (tIn -inf, tOut +inf).
// nearIsAbove: presort_ofs took the half with coordinates above c as near.
static inline void qkd_splitCrossing(scalar* tIn, scalar* tOut, scalar c, scalar x, scalar inv,
                                     bool nearIsAbove)
{
    const scalar tc = (c - x) * inv;
    if (inv <= FLT_MAX && inv >= -FLT_MAX) {
        *tIn = tc;
        *tOut = tc;
    } else if (x == c) {
        *tIn = -INFINITY;
        *tOut = INFINITY;
    } else {
        const scalar side = (x > c) == nearIsAbove ? INFINITY : -INFINITY;
        *tIn = side;
        *tOut = side;
    }
}

// Whether a ray's height at the entry or the exit of a node lies within
// rounding of one of the node's height bounds. A ray that meets a plateau
// right where it enters or leaves the node's interval (a plateau on the top
// or the floor of the tree's box, where the ray crosses that face) has its
// height there computed a few ulps to the wrong side of the plateau; culling
// on that would leave holes in the terrain. Keeping such a node costs one
// more visit and never changes a hit: the leaf test decides.
static inline bool qkd_nearHeight(scalar y_min, scalar y_max, scalar bound, scalar tIn,
                                  scalar tOut, scalar w1, scalar x1)
{
    const scalar rel = 1e-6f;
    const scalar slackIn = (fabsf(tIn * w1) + fabsf(x1) + fabsf(bound)) * rel;
    const scalar slackOut = (fabsf(tOut * w1) + fabsf(x1) + fabsf(bound)) * rel;
    return fabsf(y_min - bound) <= slackIn || fabsf(y_max - bound) <= slackOut;
}

// How far a ray's finite heights y = t w1 + x1 at a node's entry and exit
// must pass above its top or below its floor (bound, |bound| <= maxHeight)
// for qkd_nearHeight to be false whatever t: its slack is
// (|t w1| + |x1| + |bound|) 1e-6, and |t w1| is within rounding of |y| + |x1|,
// which makes the slack less than half of this beyond the bound. The added
// normal number keeps a gap from flushing to zero.
static inline scalar qkd_farMargin(scalar maxHeight, scalar absX1)
{
    return (maxHeight + absX1) * 4e-6f + 1e-30f;
}

// Entry and exit parameters of a node's four children, lane k for the child
// sortedOfs[k] (farthest first). For an ordinary ray txIn == txOut == t_x and
// tzIn == tzOut == t_z, and the lanes are:
//   0: [max(t_x, t_z, 0), t_max]         2: [max(t_x, t_min, 0), min(t_z, t_max)]
//   1: [max(t_z, t_min, 0), min(t_x, t_max)]   3: [t_min, min(t_x, t_z)]
static inline void qkd_childIntervals(sse_float* entry, sse_float* exit, scalar txIn, scalar txOut,
                                      scalar tzIn, scalar tzOut, scalar t_min, scalar t_max)
{
    // _mm_set_ps lists lanes 3..0.
    const __m128 a = _mm_set_ps(t_min, txIn, tzIn, txIn);
    const __m128 b = _mm_set_ps(t_min, t_min, t_min, tzIn);
    const __m128 c = _mm_set_ps(t_min, 0.0f, 0.0f, 0.0f);
    entry->v = _mm_max_ps(_mm_max_ps(a, b), c);
    const __m128 d = _mm_set_ps(txOut, tzOut, txOut, t_max);
    const __m128 e = _mm_set_ps(tzOut, t_max, t_max, t_max);
    exit->v = _mm_min_ps(d, e);
}

// Bit k set (lane k all ones): the ray does not enter child lane k, its
// entry lies past its exit. The crossings are rounded, and where the ray
// clips a child's corner the rounding can turn its short interval inside out
// by a few ulps: a hit right at that corner would be lost, so that much is
// let through. Entries are never negative; an infinite one (never entered)
// is still a miss.
static inline __m128 qkd_childrenMissedLanes(const sse_float* entry, const sse_float* exit)
{
    const __m128 slack = _mm_mul_ps(_mm_set1_ps(4.0f * FLT_EPSILON),
                                    _mm_min_ps(entry->v, _mm_set1_ps(FLT_MAX)));
    return _mm_cmpgt_ps(entry->v, _mm_add_ps(exit->v, slack));
}

static inline int qkd_childrenMissed(const sse_float* entry, const sse_float* exit)
{
    return _mm_movemask_ps(qkd_childrenMissedLanes(entry, exit));
}

// Tests the 2 * minNodeSize^2 triangles of a leaf, cut from its tile of the
// heightmap on the spot. Returns 0 or the ray_triangle_intersection result
// of the nearest hit, with *t, N and mat set for it; on equal t the triangle
// tested first stays. *t is always written. The vertices take their x and z
// from the tree's per-column and per-row tables, by sample index, not from
// the leaf's centre and half width (kept in the interface for the walk).
// Reads minNodeSize + 1 rows and columns from the leaf's upper-left sample:
// the loader guarantees size - 1 = minNodeSize * 2^k, which keeps them inside.
static inline int intersectLeaf(scalar* t, scalar* N, t_material* mat,
                                const scalar* /*centerXZ*/, scalar /*S*/, const t_ray* ray,
                                const t_qkd_node* node, const t_qkd* qkd)
{
    *t = FLT_MAX;
    int ret = 0;
    const uint32_t n = qkd->minNodeSize;
    const uint32_t size = qkd->size;
    const uint32_t row0 = node->heightmapUL / size;
    const scalar* xs = qkd->vertexX + (node->heightmapUL - row0 * size);
    const scalar* zs = qkd->vertexZ + row0;
    const t_qkdHeightVal* tile = qkd->heightmap + node->heightmapUL;
    t_rayFrame frame;
    rayFrame(&frame, ray);
    for (uint32_t v = 0; v < n; ++v) {
        const t_qkdHeightVal* upper = tile + (size_t)v * size;
        const t_qkdHeightVal* lower = upper + size;
        for (uint32_t u = 0; u < n; ++u) {
            const scalar vertices[4][3] = {
                {xs[u], qkd_sampleHeight(qkd, upper[u]), zs[v]},
                {xs[u + 1], qkd_sampleHeight(qkd, upper[u + 1]), zs[v]},
                {xs[u], qkd_sampleHeight(qkd, lower[u]), zs[v + 1]},
                {xs[u + 1], qkd_sampleHeight(qkd, lower[u + 1]), zs[v + 1]},
            };
            // Each corner is seen from the ray once, and each edge's function
            // computed once for both triangles: the same values the
            // triangle-by-triangle test computes.
            t_rayVertex p[4];
            for (int k = 0; k < 4; ++k)
                rayVertex(&p[k], &frame, vertices[k]);
            const double diagonal = rayEdge(&p[1], &p[2]);
            const double left = rayEdge(&p[2], &p[0]), top = rayEdge(&p[0], &p[1]);
            const double right = rayEdge(&p[1], &p[3]), bottom = rayEdge(&p[3], &p[2]);
            // Split along the upper-right to lower-left diagonal: the triangles
            // (0, 1, 2) and (2, 1, 3), in this order.
            scalar tt, uu, vv, nn[3];
            int r = rayTriangleFromEdges(&frame, ray, vertices[0], vertices[1], vertices[2], &p[0],
                                         &p[1], &p[2], diagonal, left, top, &tt, &uu, &vv, nn);
            if (r != 0 && tt < *t) {
                *t = tt;
                N[0] = nn[0];
                N[1] = nn[1];
                N[2] = nn[2];
                ret = r;
            }
            r = rayTriangleFromEdges(&frame, ray, vertices[2], vertices[1], vertices[3], &p[2],
                                     &p[1], &p[3], right, bottom, -diagonal, &tt, &uu, &vv, nn);
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

// ---------------------------------------------------------------------------
// MLRTA: tiles of the screen share an entry point into the tree.

// Render context of one call of render_qkd_mlrta; constant during the
// recursion.
struct t_renderData {
    t_pixel* p_pbuff;  // STRIDE pixels per row
    t_ray* p_rbuff;    // camera-space rays, indexed like p_pbuff
    uint32_t STRIDE;
    t_matrix* matView;  // camera to world
    const t_qkd* qkd;
    int32_t mlrta_minSize;          // tiles of at most this side are traced
    int32_t mlrta_numSubdivisions;  // sub-tiles per side when splitting
    // Exclusive column and row limits of the pixels (and rays) that may be
    // touched: the outermost tile clipped to the row width. Tiles are cut
    // at these limits, so nothing is read or written past them.
    int32_t clipX;
    int32_t clipY;
};

// A traced tile, as its packets are made and shaded: where its rays and
// pixels lie, the rectangle of pixels it covers, its entry point's box and
// the level shading of its checkerboard.
struct t_packetTile {
    const t_ray* rays;  // camera rays; rays and pixels have stride per row
    t_pixel* pixels;
    size_t stride;
    const t_matrix* view;  // camera to world
    int x, y, x1, y1;      // first and last column and row
    scalar bbMin[3], bbMax[3];
    scalar levelTerm;
};
// True where packets are made and shaded with AVX-512 (a 4 x 4 square of
// pixels per vector) rather than a row of four at a time: on the AVX-512 walk.
bool qkd_packetsBySquares();
// The packet whose first pixel is (bx, by), made ready to walk and its
// pixels given the first pass; returns the lanes that meet the box. Then,
// once walked, its pixels shaded. Lanes past the tile are left out.
int qkd_startPacketAvx512(t_qkdPacket* packet, uint8_t* nearest, const t_packetTile* tile, int bx,
                          int by);
void qkd_shadePacketAvx512(const t_qkdPacket* packet, int traced, const t_packetTile* tile, int bx,
                           int by);
// qkd_traceTile's packets made ready to walk, likewise: their rays also go
// into rays and their hits' results are cleared (both the tile's width
// wide), and the rays that meet the root's box are counted; found says
// whether the tile has an entry point, whose box is tile's.
int qkd_startTracePacketAvx512(t_qkdPacket* packet, uint8_t* nearest, const t_packetTile* tile,
                               int bx, int by, const t_qkd* qkd, bool found, t_ray* rays,
                               t_qkdHit* hits);

// An entry point, or a candidate during the search.
struct t_mlrta_EP {
    scalar bbMin[3];  // the node's world box
    scalar bbMax[3];
    const t_qkd_node* ep;
    scalar centerXZ[2];  // world x and z of the node's centre
    int32_t rec;         // the node's level; 0 is the root
};

// Inner side: f[0..2] . p - f[3] >= 0.
struct t_plane {
    scalar f[4];
};

// Builds the frustum of the tile (x, y, size), clipped to the context's
// limits, into P (room for 8 planes); returns the number of planes in use.
unsigned int mlrta_buildFrustum(t_plane* P, int x, int y, int size, const t_renderData* rdat);

int isAABBOutsideFrustum(const scalar* bbMin, const scalar* bbMax, const t_plane* P,
                         unsigned int numPlanes);
// Sets the node's world box and tells whether it may meet the frustum P.
int nodeInRegion(scalar* bbMin, scalar* bbMax, const t_qkd_node* node, const t_plane* P,
                 unsigned int numPlanes, const scalar* centerXZ, const t_qkd* qkd, int rec);
int mlrta_findEP(t_mlrta_EP* ep, int x, int y, int size, t_renderData* rdat);
void mlrta(const t_qkd_node* node, int x, int y, int size, const scalar* centerXZ,
           t_renderData* rdat, int rec);

#endif
