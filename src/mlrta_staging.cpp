// MLRTA (module tesk_qkd): a screen tile finds one entry point into the tree
// with frustum tests, is split while it is large, and its pixels are then
// traced from that entry point instead of from the root.
#include "mlrta_staging.h"

#include <cfloat>

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

int nodeInRegion(scalar* bbMin, scalar* bbMax, const t_qkd_node* node, int x, int y, int size,
                 const scalar* centerXZ, t_renderData* rdat, int rec)
{
    mlrta_nodeBox(bbMin, bbMax, node, centerXZ, rdat->qkd, rec);
    t_plane P[8];
    const unsigned int numPlanes = mlrta_buildFrustum(P, x, y, size, rdat);
    return !isAABBOutsideFrustum(bbMin, bbMax, P, numPlanes);
}

int mlrta_findEP(t_mlrta_EP* ep, int x, int y, int size, t_renderData* rdat)
{
    const t_qkd* qkd = rdat->qkd;
    if (!nodeInRegion(ep->bbMin, ep->bbMax, ep->ep, x, y, size, ep->centerXZ, rdat, ep->rec))
        return 0;

    // The leaves are never tested: a node one level above them is as deep
    // as an entry point goes.
    const int tmpRec = ep->rec + 1;
    if ((uint32_t)tmpRec >= qkd->numRecursions)
        return 1;

    const scalar S = qkd->S05[tmpRec];
    const t_qkd_node* firstChild = ep->ep + ep->ep->ofs;
    bool have_a_candidate = false;
    t_mlrta_EP candidate;
    for (uint32_t k = 0; k < 4; ++k) {
        t_mlrta_EP tmpEP;
        tmpEP.ep = firstChild + k;
        tmpEP.centerXZ[0] = (k & 1) ? ep->centerXZ[0] + S : ep->centerXZ[0] - S;
        tmpEP.centerXZ[1] = (k & 2) ? ep->centerXZ[1] - S : ep->centerXZ[1] + S;
        tmpEP.rec = tmpRec;
        if (!mlrta_findEP(&tmpEP, x, y, size, rdat))
            continue;
        // A second passing child makes this node the entry point.
        if (have_a_candidate)
            return 1;
        candidate = tmpEP;
        have_a_candidate = true;
    }
    if (have_a_candidate)
        *ep = candidate;
    return 1;
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
        // No ray of the tile can meet the start node: only a red frame.
        for (int sy = y; sy <= y1; ++sy)
            for (int sx = x; sx <= x1; ++sx)
                if (sx == x || sx == x1 || sy == y || sy == y1)
                    pbuff[(size_t)sy * STRIDE + (size_t)sx].r += 1.0f;
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

    for (int sy = y; sy <= y1; ++sy) {
        for (int sx = x; sx <= x1; ++sx) {
            t_pixel* pix = &pbuff[(size_t)sy * STRIDE + (size_t)sx];
            if ((((unsigned int)sx + (unsigned int)sy) & 1u) == 0)
                pix->g += levelTerm;
            if (sx == x || sx == x1 || sy == y || sy == y1)
                pix->r += 1.0f;

            t_ray ray;
            mlrta_worldRay(&ray, rdat, sx, sy);
            if (!intersectRayAABB(&state.t_min, &state.t_max, &ray, ep.bbMin, ep.bbMax) ||
                state.t_min >= state.t_max || state.t_max <= 0) {
                pix->density = 1.0f;
                pix->r += 0.9f;
                pix->g += 0.6f;
                pix->b += 0.4f;
                continue;
            }
            if (!(state.t_min >= 0))
                state.t_min = 0;

            scalar t = FLT_MAX;
            scalar N[3];
            t_material mat;
            mat.rgb[0] = mat.rgb[1] = mat.rgb[2] = 0;
            scalar inv_w[3];
            for (int i = 0; i < 3; ++i)
                inv_w[i] = 1.0f / ray.w[i];
            uint32_t sortedOfs[4];
            presort_ofs(sortedOfs, &ray);

            pix->density = 1.0f;
            if (iterativeQkdTraverse(&t, N, &mat, sortedOfs, &ray, inv_w, &state, qkd)) {
                const scalar f = 0.5f + 0.5f * N[0];
                pix->r += f * mat.rgb[0];
                pix->g += f * mat.rgb[1];
                pix->b += f * mat.rgb[2];
            } else {
                pix->r += 0.5f;
                pix->g += 0.2f;
                pix->b += 0.6f;
            }
        }
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
    rdat.p_pbuff = p_pbuff;
    rdat.p_rbuff = p_rbuff;
    rdat.STRIDE = STRIDE;
    rdat.matView = matView;
    rdat.qkd = qkd;
    rdat.mlrta_minSize = 16;
    rdat.mlrta_numSubdivisions = 2;
    const int64_t xEnd = (int64_t)x + size;
    rdat.clipX = (int32_t)(xEnd < (int64_t)STRIDE ? xEnd : (int64_t)STRIDE);
    const int64_t yEnd = (int64_t)y + size;
    rdat.clipY = (int32_t)(yEnd < INT32_MAX ? yEnd : INT32_MAX);

    const scalar centerXZ[2] = {0, 0};
    mlrta(&qkd->nodes[0], x, y, size, centerXZ, &rdat, 0);
    return 0;
}
