// Module tesk_qkd: build of the min/max quad-tree over the heightmap, the
// single-ray walk through it, and the MLRTA tile renderer.
#include <cstdio>
#include <cstdlib>

#include <emmintrin.h>

#include "tesk_qkd_internal.h"
#include "tesk_qkd_lanes.h"

t_qkd_stats g_qkdStats;
t_state g_stack[QKD_STACK_ENTRIES];

int recursiveBuild(t_qkd* qkd, uint32_t u, uint32_t v, uint32_t nodeSize, uint32_t nodeIndex,
                   uint32_t recLeft)
{
    t_qkd_node* const node = &qkd->nodes[nodeIndex];
    if (recLeft == 0) {
        t_qkdHeightVal hMin = 65535, hMax = 0;
        for (uint32_t q = v; q <= v + nodeSize; ++q) {
            const t_qkdHeightVal* row = qkd->heightmap + (size_t)q * qkd->size;
            for (uint32_t p = u; p <= u + nodeSize; ++p) {
                const t_qkdHeightVal h = row[p];
                if (h < hMin)
                    hMin = h;
                if (h > hMax)
                    hMax = h;
            }
        }
        node->minH = hMin;
        node->maxH = hMax;
        node->heightmapUL = v * qkd->size + u;
        return 0;
    }

    // Reserve the four siblings together, then fill their subtrees depth first.
    const uint32_t newNodesIndex = qkd->nodeFree;
    node->ofs = newNodesIndex - nodeIndex;
    qkd->nodeFree += 4;
    const uint32_t ns = nodeSize >> 1;
    recursiveBuild(qkd, u, v, ns, newNodesIndex, recLeft - 1);
    recursiveBuild(qkd, u + ns, v, ns, newNodesIndex + 1, recLeft - 1);
    recursiveBuild(qkd, u, v + ns, ns, newNodesIndex + 2, recLeft - 1);
    recursiveBuild(qkd, u + ns, v + ns, ns, newNodesIndex + 3, recLeft - 1);

    t_qkdHeightVal hMin = 65535, hMax = 0;
    for (uint32_t c = 0; c < 4; ++c) {
        const t_qkd_node* child = &qkd->nodes[newNodesIndex + c];
        if (child->minH < hMin)
            hMin = child->minH;
        if (child->maxH > hMax)
            hMax = child->maxH;
    }
    node->minH = hMin;
    node->maxH = hMax;
    return 0;
}

// Vertex x of the columns of a node with centre cx at level rec whose
// square spans `cells` cells around column centreColumn. Every column inside
// the map is the centre of exactly one node, or lies inside a leaf wider
// than two cells: it takes that centre as the walk forms it, parent + or -
// S05, so the walk's splitting planes pass exactly through the vertices.
// For the maps the loaders make, s / (size - 1) is a short binary fraction
// and this is exactly -s/2 + c s/(size - 1).
static void placeVertexColumns(t_qkd* qkd, scalar cx, uint32_t rec, uint32_t centreColumn,
                               uint32_t cells)
{
    const uint32_t first = centreColumn - cells / 2;
    if (rec == qkd->numRecursions) {
        // Inside a leaf, cell by cell from its left edge.
        const scalar S = qkd->S05[rec];
        const scalar fstep = (S + S) / (scalar)qkd->minNodeSize;
        scalar fu = cx - S;
        for (uint32_t k = 1; k < cells; ++k) {
            fu += fstep;
            qkd->vertexX[first + k] = fu;
        }
        if (cells % 2 == 0)
            qkd->vertexX[centreColumn] = cx;
        return;
    }
    qkd->vertexX[centreColumn] = cx;
    const scalar S = qkd->S05[rec + 1];
    const uint32_t half = cells / 2;
    placeVertexColumns(qkd, cx - S, rec + 1, first + half / 2, half);
    placeVertexColumns(qkd, cx + S, rec + 1, first + half + half / 2, half);
}

int invalidate_qkd(t_qkd* qkd)
{
    fprintf(stderr, "qkd-invalidation{\n");
    fprintf(stderr, "  heightmap size|minNodeSize = %u|%u\n", qkd->size, qkd->minNodeSize);

    uint32_t numRecursions = 0, numNodes = 1, numNodesInRec = 1;
    for (uint32_t span = qkd->size - 1; span > qkd->minNodeSize; span >>= 1) {
        numNodesInRec *= 4;
        numNodes += numNodesInRec;
        ++numRecursions;
    }

    const size_t allocSize = (size_t)numNodes * sizeof(t_qkd_node);
    fprintf(stderr, "  numNodes = %u\n", numNodes);
    fprintf(stderr, "  numRecursions = %u\n", numRecursions);
    fprintf(stderr, "  allocating %.3f M of node mem...",
            (double)((scalar)allocSize * (1.0f / 1048576.0f)));
    qkd->numNodes = numNodes;
    qkd->numRecursions = numRecursions;
    qkd->nodes = (t_qkd_node*)malloc(allocSize);
    if (!qkd->nodes) {
        fprintf(stderr, "failure\n");
        exit(1);
    }
    fprintf(stderr, "excellent\n");

    fprintf(stderr, "  building lookup tables...");
    qkd->S05 = (scalar*)malloc((numRecursions + 1) * sizeof(scalar));
    qkd->W05 = (uint32_t*)malloc((numRecursions + 1) * sizeof(uint32_t));
    qkd->vertexX = (scalar*)malloc((2 * (size_t)qkd->size + 65536) * sizeof(scalar));
    if (!qkd->S05 || !qkd->W05 || !qkd->vertexX) {
        fprintf(stderr, "doh! failed...\n");
        exit(1);
    }
    qkd->S05[0] = qkd->s * 0.5f;
    qkd->W05[0] = qkd->size;
    for (uint32_t L = 1; L <= numRecursions; ++L) {
        qkd->S05[L] = qkd->S05[L - 1] * 0.5f;
        qkd->W05[L] = qkd->W05[L - 1] >> 1;
    }
    qkd->vertexZ = qkd->vertexX + qkd->size;
    qkd->vertexX[0] = qkd->s * -0.5f;
    qkd->vertexX[qkd->size - 1] = qkd->s * 0.5f;
    placeVertexColumns(qkd, 0.0f, 0, (qkd->size - 1) / 2, qkd->size - 1);
    for (uint32_t i = 0; i < qkd->size; ++i)
        qkd->vertexZ[i] = -qkd->vertexX[i];
    qkd->heightOfSample = qkd->vertexZ + qkd->size;
    for (uint32_t sample = 0; sample < 65536; ++sample)
        qkd->heightOfSample[sample] = qkd_sampleHeight(qkd, (t_qkdHeightVal)sample);
    fprintf(stderr, "hoorah\n");

    fprintf(stderr, "  building qkd tree...\n");
    qkd->nodeFree = 1;
    recursiveBuild(qkd, 0, 0, qkd->size - 1, 0, numRecursions);

    const t_qkd_node* root = &qkd->nodes[0];
    qkd->bbMin[0] = qkd->s * -0.5f;
    qkd->bbMin[1] = qkd_sampleHeight(qkd, root->minH);
    qkd->bbMin[2] = qkd->s * -0.5f;
    qkd->bbMax[0] = qkd->s * 0.5f;
    qkd->bbMax[1] = qkd_sampleHeight(qkd, root->maxH);
    qkd->bbMax[2] = qkd->s * 0.5f;

    fprintf(stderr, "  accomplished\n");
    fprintf(stderr, "}\n");
    return 0;
}

// The children farthest first, from the nearest one.
static inline void childOrder(uint32_t* sortedOfs, uint32_t nearest)
{
    for (uint32_t k = 0; k < 4; ++k)
        sortedOfs[k] = nearest ^ (3u - k);
}

void presort_ofs(uint32_t* sortedOfs, const t_ray* ray)
{
    // Nearest child: a ray heading towards -x starts in the +x half (bit 0),
    // one heading towards +z in the -z half (bit 1). Zero counts as not > 0.
    childOrder(sortedOfs, (ray->w[0] > 0.0f ? 0u : 1u) | (ray->w[2] > 0.0f ? 2u : 0u));
}

int qkd_walkReference(scalar* t, scalar* N, t_material* mat, const uint32_t* sortedOfs,
                      const t_ray* ray, const scalar* inv_w, const t_state* initialState,
                      const t_qkd* qkd)
{
    // Local copies: the stack stores could alias the ray and the child
    // order, which would make the compiler reload them for every child.
    const scalar x0 = ray->x[0], x1 = ray->x[1], x2 = ray->x[2];
    const scalar w1 = ray->w[1];
    const scalar inv_w0 = inv_w[0], inv_w2 = inv_w[2];
    const uint32_t order[4] = {sortedOfs[0], sortedOfs[1], sortedOfs[2], sortedOfs[3]};
    const uint32_t numRecursions = qkd->numRecursions;
    const scalar* const S05 = qkd->S05;
    // Which halves presort_ofs took as near; needed only for rays parallel
    // to a splitting plane.
    const bool nearIsPlusX = (order[3] & 1u) != 0;
    const bool nearIsPlusZ = (order[3] & 2u) == 0;

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

            const uint32_t childRec = cur.rec + 1;
            // Offsets from this centre to the children's centres.
            const scalar xz[2] = {-S05[childRec], S05[childRec]};
            const t_qkd_node* CN = cur.node + cur.node->ofs;
            const int missed = qkd_childrenMissed(&entry, &exit);
            for (int k = 0; k < 4; ++k) {
                if (missed & (1 << k))
                    continue;
                const uint32_t su = order[k];
                const t_qkd_node* childNode = CN + su;
                const scalar tIn = entry.f[k];
                const scalar tOut = exit.f[k];
                const scalar y_min = tIn * w1 + x1;
                const scalar y_max = tOut * w1 + x1;
                const scalar bbMaxY = qkd_sampleHeight(qkd, childNode->maxH);
                if (y_min > bbMaxY && y_max > bbMaxY &&
                    !qkd_nearHeight(y_min, y_max, bbMaxY, tIn, tOut, w1, x1))
                    continue;  // passes above
                const scalar bbMinY = qkd_sampleHeight(qkd, childNode->minH);
                if (!(y_min >= bbMinY || y_max >= bbMinY) &&
                    !qkd_nearHeight(y_min, y_max, bbMinY, tIn, tOut, w1, x1))
                    continue;  // passes below
                t_state* s = &g_stack[++tos];
                s->centerXZ[0] = cx + xz[su & 1u];
                s->centerXZ[1] = cz - xz[su >> 1];
                s->t_min = tIn;
                s->t_max = tOut;
                s->rec = childRec;
                s->node = childNode;
            }
        } else {
            const int r = intersectLeaf(t, N, mat, cur.centerXZ, S05[cur.rec], ray, cur.node,
                                        qkd);
            if (r != 0)
                return r;
        }
        cur = g_stack[tos];
        --tos;
        if (tos <= 0)
            return 0;
    }
}

int intersect_qkd(scalar* t, scalar* N, t_material* mat, const t_ray* ray, const t_qkd* qkd)
{
    // Above the highest sample and not heading down: the box test would miss
    // too. Most sky pixels end here, without the box test's divisions.
    if (ray->x[1] > qkd->bbMax[1] && !(ray->w[1] < 0.0f))
        return 0;
    scalar t_min, t_max;
    if (!intersectRayAABB(&t_min, &t_max, ray, qkd->bbMin, qkd->bbMax))
        return 0;
    // A flat map's box has no height: a ray crossing it has an interval of
    // one point, which still holds the terrain.
    if (t_min > t_max)
        return 0;
    if (t_max <= 0.0f)
        return 0;
    if (t_min < 0.0f)
        t_min = 0.0f;
    // Before the stores through t and mat, which may alias the ray as far
    // as the compiler knows: here the box test's divisions serve again.
    const scalar inv_w[3] = {1.0f / ray->w[0], 1.0f / ray->w[1], 1.0f / ray->w[2]};
    ++g_qkdStats.numRaysHitRoot;

    *t = FLT_MAX;
    mat->rgb[0] = mat->rgb[1] = mat->rgb[2] = 0.0f;

    uint32_t sortedOfs[4];
    presort_ofs(sortedOfs, ray);

    t_state initial;
    initial.centerXZ[0] = 0.0f;
    initial.centerXZ[1] = 0.0f;
    initial.t_min = t_min;
    initial.t_max = t_max;
    initial.rec = 0;
    initial.node = &qkd->nodes[0];
    return iterativeQkdTraverse(t, N, mat, sortedOfs, ray, inv_w, &initial, qkd);
}

// ---------------------------------------------------------------------------
// MLRTA: a screen tile finds one entry point into the tree with frustum
// tests, is split while it is large, and its pixels are then traced from that
// entry point instead of from the root.

// Packets are 8 x 4 pixels, two squares of 4 x 4 side by side: lanes 0-15
// the left one row by row, 16-31 the right one. The rays go in and out four
// at a time, a row of a square.
constexpr int kQuad = 4;  // lanes that go in and out together
constexpr int kPacketRows = 4;
constexpr int kPacketColumns = QKD_PACKET_LANES / kPacketRows;
static_assert(kPacketColumns == 2 * kQuad, "a packet is two squares side by side");

// Column and row of lane i within its packet.
static inline int packetColumn(int i)
{
    return i / (kQuad * kPacketRows) * kQuad + i % kQuad;
}
static inline int packetRow(int i)
{
    return i / kQuad % kPacketRows;
}

// For an axis i, mod3[i + 1] and mod3[i + 2] are the other two.
static const uint32_t mod3[5] = {0, 1, 2, 0, 1};

// Node boxes use the tree's one height evaluation, so they contain the
// node's triangles exactly.
static void mlrta_nodeBox(scalar* bbMin, scalar* bbMax, const t_qkd_node* node,
                          const scalar* centerXZ, const t_qkd* qkd, int rec)
{
    const scalar S = qkd->S05[rec];
    bbMin[0] = centerXZ[0] - S;
    bbMin[1] = qkd_sampleHeight(qkd, node->minH);
    bbMin[2] = centerXZ[1] - S;
    bbMax[0] = centerXZ[0] + S;
    bbMax[1] = qkd_sampleHeight(qkd, node->maxH);
    bbMax[2] = centerXZ[1] + S;
}

static void mlrta_cross(scalar* out, const scalar* u, const scalar* v)
{
    out[0] = u[1] * v[2] - u[2] * v[1];
    out[1] = u[2] * v[0] - u[0] * v[2];
    out[2] = u[0] * v[1] - u[1] * v[0];
}

static void mlrta_worldRay(t_ray* out, const t_renderData* rdat, int column, int row)
{
    const t_ray* src = &rdat->p_rbuff[(size_t)row * rdat->STRIDE + (size_t)column];
    transform(out->x, rdat->matView, src->x);
    transformW(out->w, rdat->matView, src->w);
}

// Last column and row of a tile that exist: a tile reaching past the
// context's limits is cut there.
static int mlrta_lastColumn(const t_renderData* rdat, int x, int size)
{
    const int64_t end = (int64_t)x + size;
    return (int)(end < rdat->clipX ? end : rdat->clipX) - 1;
}

static int mlrta_lastRow(const t_renderData* rdat, int y, int size)
{
    const int64_t end = (int64_t)y + size;
    return (int)(end < rdat->clipY ? end : rdat->clipY) - 1;
}

unsigned int mlrta_buildFrustum(t_plane* P, int x, int y, int size, const t_renderData* rdat)
{
    const int x1 = mlrta_lastColumn(rdat, x, size);
    const int y1 = mlrta_lastRow(rdat, y, size);
    t_ray a, b, c, d;
    mlrta_worldRay(&a, rdat, x, y);
    mlrta_worldRay(&b, rdat, x1, y);
    mlrta_worldRay(&c, rdat, x, y1);
    mlrta_worldRay(&d, rdat, x1, y1);

    // Side planes; with a rotation in matView their normals point inwards.
    mlrta_cross(P[0].f, a.w, c.w);
    mlrta_cross(P[1].f, b.w, a.w);
    mlrta_cross(P[2].f, d.w, b.w);
    mlrta_cross(P[3].f, c.w, d.w);
    unsigned int numPlanes = 4;

    // An axis plane culls what lies behind the camera along an axis on
    // which the tile's rays all travel the same way. All four corners are
    // compared: in a rolled view a and d can agree while b or c points the
    // other way, and a plane from a and d alone would cull boxes that rays
    // near that corner enter.
    for (uint32_t axis = 0; axis < 3; ++axis) {
        const bool positive = a.w[axis] > 0;
        const bool coherent = positive == (b.w[axis] > 0) && positive == (c.w[axis] > 0) &&
                              positive == (d.w[axis] > 0);
        if (!coherent)
            continue;
        scalar* f = P[numPlanes].f;
        f[axis] = positive ? 1.0f : -1.0f;
        f[mod3[axis + 1]] = 0;
        f[mod3[axis + 2]] = 0;
        ++numPlanes;
    }

    // All planes pass through the camera position, shared by every ray.
    for (unsigned int u = 0; u < numPlanes; ++u) {
        scalar* f = P[u].f;
        f[3] = f[0] * a.x[0] + f[1] * a.x[1] + f[2] * a.x[2];
    }
    return numPlanes;
}

int isAABBOutsideFrustum(const scalar* bbMin, const scalar* bbMax, const t_plane* P,
                         unsigned int numPlanes)
{
    for (unsigned int u = 0; u < numPlanes; ++u) {
        const scalar* f = P[u].f;
        scalar p[3];
        for (int i = 0; i < 3; ++i)
            p[i] = f[i] > 0 ? bbMax[i] : bbMin[i];
        const scalar s = f[0] * p[0] + f[1] * p[1] + f[2] * p[2] - f[3];
        if (s < 0)
            return 1;
    }
    return 0;
}

int nodeInRegion(scalar* bbMin, scalar* bbMax, const t_qkd_node* node, const t_plane* P,
                 unsigned int numPlanes, const scalar* centerXZ, const t_qkd* qkd, int rec)
{
    mlrta_nodeBox(bbMin, bbMax, node, centerXZ, qkd, rec);
    return !isAABBOutsideFrustum(bbMin, bbMax, P, numPlanes);
}

// The search below one node, against the tile's frustum P. A node whose
// box meets the frustum hands the search on while exactly one of its
// children's boxes does; with two or more it is the entry point. The
// children are all tested before any is entered, so no subtree is searched
// only to learn that a sibling meets the frustum too.
static int mlrta_searchEP(t_mlrta_EP* ep, const t_plane* P, unsigned int numPlanes,
                          const t_qkd* qkd)
{
    if (!nodeInRegion(ep->bbMin, ep->bbMax, ep->ep, P, numPlanes, ep->centerXZ, qkd, ep->rec))
        return 0;

    // The leaves are never tested: a node one level above them is as deep
    // as an entry point goes.
    for (;;) {
        const int tmpRec = ep->rec + 1;
        if ((uint32_t)tmpRec >= qkd->numRecursions)
            return 1;
        const scalar S = qkd->S05[tmpRec];
        const t_qkd_node* firstChild = ep->ep + ep->ep->ofs;
        int numMeeting = 0;
        t_mlrta_EP candidate;
        for (uint32_t k = 0; k < 4 && numMeeting < 2; ++k) {
            t_mlrta_EP tmpEP;
            tmpEP.ep = firstChild + k;
            tmpEP.centerXZ[0] = (k & 1) ? ep->centerXZ[0] + S : ep->centerXZ[0] - S;
            tmpEP.centerXZ[1] = (k & 2) ? ep->centerXZ[1] - S : ep->centerXZ[1] + S;
            tmpEP.rec = tmpRec;
            if (!nodeInRegion(tmpEP.bbMin, tmpEP.bbMax, tmpEP.ep, P, numPlanes,
                              tmpEP.centerXZ, qkd, tmpRec))
                continue;
            candidate = tmpEP;
            ++numMeeting;
        }
        if (numMeeting != 1)
            return 1;
        *ep = candidate;
    }
}

int mlrta_findEP(t_mlrta_EP* ep, int x, int y, int size, t_renderData* rdat)
{
    // The frustum depends on the tile alone: built once, it serves every
    // node the search tests.
    t_plane P[8];
    const unsigned int numPlanes = mlrta_buildFrustum(P, x, y, size, rdat);
    return mlrta_searchEP(ep, P, numPlanes, rdat->qkd);
}

// A row of a packet's rays, one lane per ray: the camera rays turned into
// the world and met with a box four at a time (tesk_qkd_lanes.h). Four at a
// time, their divisions and branches cost less than half of what they cost
// ray by ray, where they took a fifth of a tile's time.
typedef float t_rowF __attribute__((vector_size(16)));
typedef int t_rowI __attribute__((vector_size(16)));
typedef t_laneRays<t_rowF> t_rowRays;

// The first count (1 to 4) rays at src into lanes; other lanes hold a ray
// that is never read.
static inline void rowLoad(t_rowRays* out, const t_ray* src, int count)
{
    if (count == kQuad) {
        // The records side by side, turned into one vector per coordinate.
        __m128 a0 = _mm_loadu_ps(src[0].w), a1 = _mm_loadu_ps(src[1].w);
        __m128 a2 = _mm_loadu_ps(src[2].w), a3 = _mm_loadu_ps(src[3].w);
        __m128 b0 = _mm_loadu_ps(src[0].x + 1), b1 = _mm_loadu_ps(src[1].x + 1);
        __m128 b2 = _mm_loadu_ps(src[2].x + 1), b3 = _mm_loadu_ps(src[3].x + 1);
        _MM_TRANSPOSE4_PS(a0, a1, a2, a3);
        _MM_TRANSPOSE4_PS(b0, b1, b2, b3);
        out->w[0] = a0, out->w[1] = a1, out->w[2] = a2;
        out->x[0] = a3, out->x[1] = b0, out->x[2] = b1;
        return;
    }
    for (int c = 0; c < 3; ++c) {
        out->x[c] = t_rowF{};
        out->w[c] = t_rowF{} + 1.0f;
        for (int i = 0; i < count; ++i) {
            out->x[c][i] = src[i].x[c];
            out->w[c][i] = src[i].w[c];
        }
    }
}

// The first count lanes' rays into the records at rays.
static inline void rowStore(t_ray* rays, const t_rowRays* r, int count)
{
    if (count == kQuad) {
        __m128 a0 = (__m128)r->w[0], a1 = (__m128)r->w[1], a2 = (__m128)r->w[2];
        __m128 a3 = (__m128)r->x[0], b0 = (__m128)r->x[1], b1 = (__m128)r->x[2];
        __m128 b2 = _mm_setzero_ps(), b3 = _mm_setzero_ps();
        _MM_TRANSPOSE4_PS(a0, a1, a2, a3);
        _MM_TRANSPOSE4_PS(b0, b1, b2, b3);
        _mm_storeu_ps(rays[0].w, a0), _mm_storeu_ps(rays[0].x + 1, b0);
        _mm_storeu_ps(rays[1].w, a1), _mm_storeu_ps(rays[1].x + 1, b1);
        _mm_storeu_ps(rays[2].w, a2), _mm_storeu_ps(rays[2].x + 1, b2);
        _mm_storeu_ps(rays[3].w, a3), _mm_storeu_ps(rays[3].x + 1, b3);
        return;
    }
    for (int i = 0; i < count; ++i) {
        rays[i] = t_ray{};
        for (int c = 0; c < 3; ++c) {
            rays[i].x[c] = r->x[c][i];
            rays[i].w[c] = r->w[c][i];
        }
    }
}

// Bit i: lane i's ray meets the box in an interval that is not empty and
// ends after 0; the interval in t_min and t_max.
static inline int rowBoxIntervals(t_rowF* t_min, t_rowF* t_max, const t_rowRays* r,
                                  const scalar* bbMin, const scalar* bbMax)
{
    const t_rowI ok = lanesBoxIntervals<t_rowF, t_rowI>(t_min, t_max, r, bbMin, bbMax);
    return _mm_movemask_ps((__m128)ok);
}

// The nearest child of each lane's ray, as presort_ofs finds it: bit 0 for
// a ray not heading towards +x, bit 1 for one heading towards +z.
static inline void rowNearestChild(uint8_t* nearest, const t_rowRays* r)
{
    const t_rowF zero = {};
    const int notPlusX = ~_mm_movemask_ps((__m128)(r->w[0] > zero));
    const int plusZ = _mm_movemask_ps((__m128)(r->w[2] > zero));
    for (int k = 0; k < kQuad; ++k)
        nearest[k] = (uint8_t)((notPlusX >> k & 1) | (plusZ >> k & 1) << 1);
}

// Lane k of the mask: bit k of bits.
static inline t_rowI rowLanes(int bits)
{
    const t_rowI lane = {1, 2, 4, 8};
    return ((t_rowI{} + bits) & lane) != 0;
}

// Four pixels side by side, a lane each, a vector per channel.
struct t_pixelRow {
    t_rowF r, g, b, density;
};

// The first count (1 to 4) pixels at pix; other lanes hold zeros.
static inline void pixelRowLoad(t_pixelRow* out, const t_pixel* pix, int count)
{
    __m128 p0, p1, p2, p3;
    if (count == kQuad) {
        p0 = _mm_loadu_ps(pix[0].m), p1 = _mm_loadu_ps(pix[1].m);
        p2 = _mm_loadu_ps(pix[2].m), p3 = _mm_loadu_ps(pix[3].m);
    } else {
        const __m128 zero = _mm_setzero_ps();
        p0 = _mm_loadu_ps(pix[0].m);
        p1 = count > 1 ? _mm_loadu_ps(pix[1].m) : zero;
        p2 = count > 2 ? _mm_loadu_ps(pix[2].m) : zero;
        p3 = zero;
    }
    _MM_TRANSPOSE4_PS(p0, p1, p2, p3);
    out->r = (t_rowF)p0, out->g = (t_rowF)p1, out->b = (t_rowF)p2, out->density = (t_rowF)p3;
}

static inline void pixelRowStore(t_pixel* pix, const t_pixelRow* in, int count)
{
    __m128 p0 = (__m128)in->r, p1 = (__m128)in->g, p2 = (__m128)in->b, p3 = (__m128)in->density;
    _MM_TRANSPOSE4_PS(p0, p1, p2, p3);
    _mm_storeu_ps(pix[0].m, p0);
    if (count > 1)
        _mm_storeu_ps(pix[1].m, p1);
    if (count > 2)
        _mm_storeu_ps(pix[2].m, p2);
    if (count > 3)
        _mm_storeu_ps(pix[3].m, p3);
}

// Lanes set in a row's four bits; a call to the library's popcount costs more
// on a processor without the instruction.
static inline int rowLaneCount(int bits)
{
    return (bits & 1) + (bits >> 1 & 1) + (bits >> 2 & 1) + (bits >> 3 & 1);
}

// The row of four lanes from first of the packet whose first pixel is
// (bx, by): its rays turned into the world, in lanes and in the packet's
// records. Returns how many of its pixels lie in the tile: 0 to 4.
static int rowRays(t_rowRays* row, t_qkdPacket* packet, const t_packetTile* tile, int bx, int by,
                   int first)
{
    const int qx = bx + packetColumn(first), qy = by + packetRow(first);
    if (qx > tile->x1 || qy > tile->y1)
        return 0;
    const int count = tile->x1 - qx + 1 < kQuad ? tile->x1 - qx + 1 : kQuad;
    rowLoad(row, &tile->rays[(size_t)qy * tile->stride + (size_t)qx], count);
    lanesToWorld(row, tile->view);
    rowStore(&packet->ray[first], row, count);
    return count;
}

// Makes the packet whose first pixel is (bx, by) ready to walk, a row of four
// rays at a time: its rays in the world and their intervals in the entry
// point's box, each lane's nearest child, and the first pass over its pixels.
// Returns the lanes whose rays meet the box. Rows past the tile are left
// alone, their nearest children as they were.
static int startPacket(t_qkdPacket* packet, uint8_t* nearest, const t_packetTile* tile, int bx,
                       int by)
{
    const t_rowI laneColumn = {0, 1, 2, 3};
    int traced = 0;
    for (int first = 0; first < QKD_PACKET_LANES; first += kQuad) {
        t_rowRays row;
        const int count = rowRays(&row, packet, tile, bx, by, first);
        if (!count)
            continue;
        const int qx = bx + packetColumn(first), qy = by + packetRow(first);
        // A flat box has no height: a ray crossing it has an interval of
        // one point, which still holds the terrain.
        t_rowF rowMin, rowMax;
        const int meets = rowBoxIntervals(&rowMin, &rowMax, &row, tile->bbMin, tile->bbMax);
        lanesStart(packet, first, rowMin, rowMax);
        rowNearestChild(&nearest[first], &row);
        const int inRow = (1 << count) - 1;
        traced |= (int)((unsigned)(meets & inRow) << first);

        // The level shading on every other pixel, the tile's frame, and the
        // colour of rays that miss the entry point's box.
        const t_rowI column = qx + laneColumn;
        const t_rowI even = ((column + qy) & 1) == 0;
        const t_rowI edge = (column == tile->x) | (column == tile->x1) |
                            (qy == tile->y || qy == tile->y1 ? ~t_rowI{} : t_rowI{});
        const t_rowI missed = rowLanes(inRow & ~meets);
        t_pixel* pix = &tile->pixels[(size_t)qy * tile->stride + (size_t)qx];
        t_pixelRow p;
        pixelRowLoad(&p, pix, count);
        p.g = even ? p.g + tile->levelTerm : p.g;
        p.r = edge ? p.r + 1.0f : p.r;
        p.r = missed ? p.r + 0.9f : p.r;
        p.g = missed ? p.g + 0.6f : p.g;
        p.b = missed ? p.b + 0.4f : p.b;
        p.density = t_rowF{} + 1.0f;
        pixelRowStore(pix, &p, count);
    }
    return traced;
}

// The second pass over a walked packet's pixels: the hits shaded by their
// normal's x, the traced rays that miss the terrain in their colour.
static void shadePacket(const t_qkdPacket* packet, int traced, const t_packetTile* tile, int bx,
                        int by)
{
    for (int first = 0; first < QKD_PACKET_LANES; first += kQuad) {
        const int rowTraced = traced >> first & ((1 << kQuad) - 1);
        if (!rowTraced)
            continue;
        const int qx = bx + packetColumn(first), qy = by + packetRow(first);
        const int count = tile->x1 - qx + 1 < kQuad ? tile->x1 - qx + 1 : kQuad;
        // Walks clear the result of every lane that they do not walk.
        t_rowI result;
        __builtin_memcpy(&result, &packet->result[first], sizeof result);
        const t_rowI hit = result != 0;
        const t_rowI walked = rowLanes(rowTraced);
        const scalar(*N)[3] = &packet->N[first];
        const t_material* mat = &packet->mat[first];
        const t_rowF n0 = {N[0][0], N[1][0], N[2][0], N[3][0]};
        t_rowF rgb[3];
        for (int c = 0; c < 3; ++c)
            rgb[c] = t_rowF{mat[0].rgb[c], mat[1].rgb[c], mat[2].rgb[c], mat[3].rgb[c]};
        const t_rowF f = 0.5f + 0.5f * n0;
        t_pixel* pix = &tile->pixels[(size_t)qy * tile->stride + (size_t)qx];
        t_pixelRow p;
        pixelRowLoad(&p, pix, count);
        p.r = hit ? p.r + f * rgb[0] : walked ? p.r + 0.5f : p.r;
        p.g = hit ? p.g + f * rgb[1] : walked ? p.g + 0.2f : p.g;
        p.b = hit ? p.b + f * rgb[2] : walked ? p.b + 0.6f : p.b;
        pixelRowStore(pix, &p, count);
    }
}

// Walks the lanes `traced` of the packet from start, as packets of the lanes
// that share a child order: nearly always one, two where the packet spans
// the pixels whose rays turn from -x to +x or from -z to +z. Each lane gets
// its result, t, N and mat.
static void walkLanes(t_qkdPacket* packet, int traced, const uint8_t* nearest,
                      const t_state* start, const t_qkd* qkd)
{
    static_assert(QKD_PACKET_LANES == 32, "two vectors of 16 lanes' nearest children");
    int result[QKD_PACKET_LANES];
    int walked = 0;
    while (walked != traced) {
        const int left = traced & ~walked;
        const int lead = __builtin_ctz((unsigned)left);
        const __m128i leadNearest = _mm_set1_epi8((char)nearest[lead]);
        const __m128i low = _mm_loadu_si128((const __m128i*)nearest);
        const __m128i high = _mm_loadu_si128((const __m128i*)(nearest + 16));
        const unsigned same = (unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(low, leadNearest)) |
                              (unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(high, leadNearest)) << 16;
        packet->lanes = (int)((unsigned)left & same);
        uint32_t sortedOfs[4];
        childOrder(sortedOfs, nearest[lead]);
        qkd_walkPacket(packet, sortedOfs, start, qkd);
        if (packet->lanes == traced)
            return;
        // Each walk clears the results of the lanes it does not walk.
        for (unsigned bits = (unsigned)packet->lanes; bits; bits &= bits - 1)
            result[__builtin_ctz(bits)] = packet->result[__builtin_ctz(bits)];
        walked |= packet->lanes;
    }
    for (unsigned bits = (unsigned)traced; bits; bits &= bits - 1)
        packet->result[__builtin_ctz(bits)] = result[__builtin_ctz(bits)];
}

// Asks for the cache lines of the bytes from begin up to end.
static void mlrta_prefetch(const void* begin, const void* end)
{
    for (uintptr_t line = (uintptr_t)begin & ~(uintptr_t)63; line < (uintptr_t)end; line += 64)
        _mm_prefetch((const char*)line, _MM_HINT_T0);
}

void mlrta(const t_qkd_node* node, int x, int y, int size, const scalar* centerXZ,
           t_renderData* rdat, int rec)
{
    // Sub-tiles that lie wholly past the limits have no pixels.
    if (size <= 0 || x >= rdat->clipX || y >= rdat->clipY)
        return;
    const t_qkd* qkd = rdat->qkd;
    const int x1 = mlrta_lastColumn(rdat, x, size);
    const int y1 = mlrta_lastRow(rdat, y, size);
    t_pixel* const pbuff = rdat->p_pbuff;
    const size_t STRIDE = rdat->STRIDE;

    t_mlrta_EP ep;
    ep.ep = node;
    ep.centerXZ[0] = centerXZ[0];
    ep.centerXZ[1] = centerXZ[1];
    ep.rec = rec;
    if (!mlrta_findEP(&ep, x, y, size, rdat)) {
        // No ray of the tile can meet the start node: only a red frame,
        // each of its pixels once, the inside left alone.
        t_pixel* const top = pbuff + (size_t)y * STRIDE;
        t_pixel* const bottom = pbuff + (size_t)y1 * STRIDE;
        for (int sx = x; sx <= x1; ++sx) {
            top[sx].r += 1.0f;
            if (y1 != y)
                bottom[sx].r += 1.0f;
        }
        for (int sy = y + 1; sy < y1; ++sy) {
            t_pixel* const row = pbuff + (size_t)sy * STRIDE;
            row[x].r += 1.0f;
            if (x1 != x)
                row[x1].r += 1.0f;
        }
        return;
    }

    // A tile that would not split into equal sub-tiles is traced whole:
    // its entry point serves every ray of it, and no sub-tile overlaps a
    // neighbour or reaches past the tile.
    const int nsub = rdat->mlrta_numSubdivisions;
    if ((uint32_t)ep.rec < qkd->numRecursions && size > rdat->mlrta_minSize && nsub > 1 &&
        size % nsub == 0) {
        const int newSize = size / nsub;
        for (int64_t sy = y; sy < (int64_t)y + size && sy < rdat->clipY; sy += newSize)
            for (int64_t sx = x; sx < (int64_t)x + size && sx < rdat->clipX; sx += newSize)
                mlrta(ep.ep, (int)sx, (int)sy, newSize, ep.centerXZ, rdat, ep.rec);
        return;
    }

    t_state state;
    state.centerXZ[0] = ep.centerXZ[0];
    state.centerXZ[1] = ep.centerXZ[1];
    state.rec = (uint32_t)ep.rec;
    state.node = ep.ep;
    // The level shading of a tree that is only its root is 0: its one level
    // is both the first and the last.
    const scalar levelTerm =
        qkd->numRecursions ? (float)ep.rec / (float)qkd->numRecursions : 0.0f;

    // The tile's rays and pixels lie beyond the caches, row by row: asked
    // for all at once, those below the first packets arrive while these are
    // walked.
    for (int sy = y + kPacketRows; sy <= y1; ++sy) {
        const size_t row = (size_t)sy * STRIDE;
        mlrta_prefetch(&rdat->p_rbuff[row + (size_t)x], &rdat->p_rbuff[row + (size_t)x1 + 1]);
        mlrta_prefetch(&pbuff[row + (size_t)x], &pbuff[row + (size_t)x1 + 1]);
    }

    // The rays go in packets of 8 x 4 pixels, walked as one packet per child
    // order that their rays have (walkLanes).
    const t_packetTile tile = {rdat->p_rbuff, pbuff, STRIDE, rdat->matView, x, y, x1, y1,
                               {ep.bbMin[0], ep.bbMin[1], ep.bbMin[2]},
                               {ep.bbMax[0], ep.bbMax[1], ep.bbMax[2]}, levelTerm};
    const bool bySquares = qkd_packetsBySquares();
    for (int by = y; by <= y1; by += kPacketRows) {
        for (int bx = x; bx <= x1; bx += kPacketColumns) {
            t_qkdPacket packet;
            alignas(16) uint8_t nearest[QKD_PACKET_LANES] = {};
            const int traced = bySquares ? qkd_startPacketAvx512(&packet, nearest, &tile, bx, by)
                                         : startPacket(&packet, nearest, &tile, bx, by);
            if (!traced)
                continue;
            walkLanes(&packet, traced, nearest, &state, qkd);
            if (bySquares)
                qkd_shadePacketAvx512(&packet, traced, &tile, bx, by);
            else
                shadePacket(&packet, traced, &tile, bx, by);
        }
    }
}

// The MLRTA context for the buffers and view, its clip limits left to the
// caller.
static void renderContext(t_renderData* rdat, const t_qkd* qkd, t_pixel* p_pbuff, t_ray* p_rbuff,
                          unsigned int STRIDE, t_matrix* matView)
{
    rdat->p_pbuff = p_pbuff;
    rdat->p_rbuff = p_rbuff;
    rdat->STRIDE = STRIDE;
    rdat->matView = matView;
    rdat->qkd = qkd;
    rdat->mlrta_minSize = 16;
    rdat->mlrta_numSubdivisions = 2;
}

// startPacket for qkd_traceTile: the rays also go into rays and their hits'
// results are cleared (both w wide, from the tile's first pixel), and the
// rays that meet the root's box counted; found says whether the tile has an
// entry point, whose box is tile's. Returns the lanes to walk.
static int startTracePacket(t_qkdPacket* packet, uint8_t* nearest, const t_packetTile* tile,
                            int bx, int by, const t_qkd* qkd, bool found, t_ray* rays,
                            t_qkdHit* hits)
{
    const int w = tile->x1 - tile->x + 1;
    int traced = 0;
    for (int first = 0; first < QKD_PACKET_LANES; first += kQuad) {
        t_rowRays row;
        const int count = rowRays(&row, packet, tile, bx, by, first);
        if (!count)
            continue;
        const int qx = bx + packetColumn(first), qy = by + packetRow(first);
        const size_t out = (size_t)(qy - tile->y) * (size_t)w + (size_t)(qx - tile->x);
        rowStore(&rays[out], &row, count);
        for (int u = 0; u < count; ++u)
            hits[out + (size_t)u].result = 0;
        // The statistics as the query from the root keeps them.
        const int inRow = (1 << count) - 1;
        t_rowF rowMin, rowMax;
        const int entersRoot =
            inRow & rowBoxIntervals(&rowMin, &rowMax, &row, qkd->bbMin, qkd->bbMax);
        g_qkdStats.numRaysHitRoot += (uint64_t)rowLaneCount(entersRoot);
        if (!entersRoot || !found)
            continue;
        // No ray of the tile meets the terrain outside the entry point's
        // box; a flat box holds the terrain in one point.
        const int meets =
            entersRoot & rowBoxIntervals(&rowMin, &rowMax, &row, tile->bbMin, tile->bbMax);
        lanesStart(packet, first, rowMin, rowMax);
        rowNearestChild(&nearest[first], &row);
        traced |= (int)((unsigned)meets << first);
    }
    return traced;
}

void qkd_traceTile(const t_qkd* qkd, int x, int y, int w, int h, t_ray* p_rbuff,
                   unsigned int STRIDE, t_matrix* matView, t_ray* rays, t_qkdHit* hits)
{
    if (w <= 0 || h <= 0)
        return;
    t_renderData rdat;
    renderContext(&rdat, qkd, nullptr, p_rbuff, STRIDE, matView);
    rdat.clipX = x + w;
    rdat.clipY = y + h;

    t_mlrta_EP ep;
    ep.ep = &qkd->nodes[0];
    ep.centerXZ[0] = ep.centerXZ[1] = 0.0f;
    ep.rec = 0;
    const bool found = mlrta_findEP(&ep, x, y, w > h ? w : h, &rdat) != 0;
    t_state state;
    state.centerXZ[0] = ep.centerXZ[0];
    state.centerXZ[1] = ep.centerXZ[1];
    state.rec = (uint32_t)ep.rec;
    state.node = ep.ep;

    // The rays below the first packets, asked for before those are walked.
    for (int v = kPacketRows; v < h; ++v) {
        const size_t row = (size_t)(y + v) * STRIDE;
        mlrta_prefetch(&p_rbuff[row + (size_t)x], &p_rbuff[row + (size_t)x + (size_t)w]);
    }

    // Packets of 8 x 4 pixels, cut at the tile's edges.
    const t_packetTile tile = {p_rbuff, nullptr, STRIDE, matView, x, y, x + w - 1, y + h - 1,
                               {ep.bbMin[0], ep.bbMin[1], ep.bbMin[2]},
                               {ep.bbMax[0], ep.bbMax[1], ep.bbMax[2]}, 0.0f};
    const bool bySquares = qkd_packetsBySquares();
    for (int by = 0; by < h; by += kPacketRows) {
        for (int bx = 0; bx < w; bx += kPacketColumns) {
            t_qkdPacket packet;
            alignas(16) uint8_t nearest[QKD_PACKET_LANES] = {};
            const int traced =
                bySquares ? qkd_startTracePacketAvx512(&packet, nearest, &tile, x + bx, y + by,
                                                       qkd, found, rays, hits)
                          : startTracePacket(&packet, nearest, &tile, x + bx, y + by, qkd, found,
                                             rays, hits);
            if (!traced)
                continue;
            walkLanes(&packet, traced, nearest, &state, qkd);
            for (int i = 0; i < QKD_PACKET_LANES; ++i) {
                if (!(traced & (1u << i)))
                    continue;
                t_qkdHit* hit = &hits[(by + packetRow(i)) * w + bx + packetColumn(i)];
                hit->result = packet.result[i];
                hit->t = packet.t[i];
                hit->N[0] = packet.N[i][0];
                hit->N[1] = packet.N[i][1];
                hit->N[2] = packet.N[i][2];
                hit->mat = packet.mat[i];
            }
        }
    }
}

void qkd_occluded(const t_qkd* qkd, const t_ray* rays, int n, int* hit)
{
    const t_state root = {{0.0f, 0.0f}, 0.0f, 0.0f, 0, &qkd->nodes[0]};
    for (int i0 = 0; i0 < n; i0 += QKD_PACKET_LANES) {
        const int m = n - i0 < QKD_PACKET_LANES ? n - i0 : QKD_PACKET_LANES;
        t_qkdPacket packet;
        packet.lanes = 0;
        for (int first = 0; first < m; first += kQuad) {
            const int count = m - first < kQuad ? m - first : kQuad;
            t_rowRays row;
            rowLoad(&row, &rays[i0 + first], count);
            rowStore(&packet.ray[first], &row, count);
            t_rowF rowMin, rowMax;
            const int entersRoot = ((1 << count) - 1) &
                                   rowBoxIntervals(&rowMin, &rowMax, &row, qkd->bbMin, qkd->bbMax);
            g_qkdStats.numRaysHitRoot += (uint64_t)rowLaneCount(entersRoot);
            for (int k = 0; k < count; ++k) {
                const int i = first + k;
                hit[i0 + i] = 0;
                if (!(entersRoot & (1 << k)))
                    continue;
                packet.t_min[i] = rowMin[k] < 0.0f ? 0.0f : rowMin[k];
                packet.t_max[i] = rowMax[k];
                packet.t[i] = FLT_MAX;
                packet.mat[i].rgb[0] = packet.mat[i].rgb[1] = packet.mat[i].rgb[2] = 0;
                packet.lanes |= (int)(1u << i);
            }
        }
        if (!packet.lanes)
            continue;
        uint32_t sortedOfs[4];
        presort_ofs(sortedOfs, &rays[i0]);
        qkd_walkPacket(&packet, sortedOfs, &root, qkd);
        for (int i = 0; i < m; ++i)
            hit[i0 + i] = packet.result[i] != 0;
    }
}

int render_qkd_mlrta(const t_qkd* qkd, int x, int y, int size, t_pixel* p_pbuff, t_ray* p_rbuff,
                     unsigned int STRIDE, t_matrix* matView)
{
    // Columns are cut at the row width; the rows y .. y + size - 1 must
    // exist in both buffers. A tile starting left of or above the buffers
    // is not rendered.
    if (size <= 0 || x < 0 || y < 0 || (unsigned int)x >= STRIDE)
        return 0;
    t_renderData rdat;
    renderContext(&rdat, qkd, p_pbuff, p_rbuff, STRIDE, matView);
    const int64_t xEnd = (int64_t)x + size;
    rdat.clipX = (int32_t)(xEnd < (int64_t)STRIDE ? xEnd : (int64_t)STRIDE);
    const int64_t yEnd = (int64_t)y + size;
    rdat.clipY = (int32_t)(yEnd < INT32_MAX ? yEnd : INT32_MAX);

    const scalar centerXZ[2] = {0, 0};
    mlrta(&qkd->nodes[0], x, y, size, centerXZ, &rdat, 0);
    return 0;
}
