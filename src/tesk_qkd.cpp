// Module tesk_qkd: build of the min/max quad-tree over the heightmap and the
// single-ray walk through it.
#include <cstdio>
#include <cstdlib>

#include "tesk_qkd_internal.h"

t_qkd_stats g_qkdStats;
t_state g_stack[QKD_STACK_ENTRIES];

// Offsets from a node's centre to its children's centres: (-S, +S) of the
// children's level.
static scalar xz[2];

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
    if (!qkd->S05 || !qkd->W05) {
        fprintf(stderr, "doh! failed...\n");
        exit(1);
    }
    qkd->S05[0] = qkd->s * 0.5f;
    qkd->W05[0] = qkd->size;
    for (uint32_t L = 1; L <= numRecursions; ++L) {
        qkd->S05[L] = qkd->S05[L - 1] * 0.5f;
        qkd->W05[L] = qkd->W05[L - 1] >> 1;
    }
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

void presort_ofs(uint32_t* sortedOfs, const t_ray* ray)
{
    // Nearest child: a ray heading towards -x starts in the +x half (bit 0),
    // one heading towards +z in the -z half (bit 1). Zero counts as not > 0.
    const uint32_t n = (ray->w[0] > 0.0f ? 0u : 1u) | (ray->w[2] > 0.0f ? 2u : 0u);
    for (uint32_t k = 0; k < 4; ++k)
        sortedOfs[k] = n ^ (3u - k);
}

int iterativeQkdTraverse(scalar* t, scalar* N, t_material* mat, const uint32_t* sortedOfs,
                         const t_ray* ray, const scalar* inv_w, const t_state* initialState,
                         const t_qkd* qkd)
{
    const scalar* x = ray->x;
    const scalar* w = ray->w;
    const uint32_t numRecursions = qkd->numRecursions;
    // Which halves presort_ofs took as near; needed only for rays parallel
    // to a splitting plane.
    const bool nearIsPlusX = (sortedOfs[3] & 1u) != 0;
    const bool nearIsPlusZ = (sortedOfs[3] & 2u) == 0;

    g_stack[1] = *initialState;
    t_state cur = *initialState;
    int tos = 1;
    for (;;) {
        if (cur.rec < numRecursions) {
            const scalar cx = cur.centerXZ[0];
            const scalar cz = cur.centerXZ[1];
            scalar txIn, txOut, tzIn, tzOut;
            qkd_splitCrossing(&txIn, &txOut, cx, x[0], inv_w[0], nearIsPlusX);
            qkd_splitCrossing(&tzIn, &tzOut, cz, x[2], inv_w[2], nearIsPlusZ);
            sse_float entry, exit;
            qkd_childIntervals(&entry, &exit, txIn, txOut, tzIn, tzOut, cur.t_min, cur.t_max);

            const uint32_t childRec = cur.rec + 1;
            xz[0] = -qkd->S05[childRec];
            xz[1] = qkd->S05[childRec];
            const t_qkd_node* CN = cur.node + cur.node->ofs;
            for (int k = 0; k < 4; ++k) {
                const uint32_t su = sortedOfs[k];
                const t_qkd_node* childNode = CN + su;
                const scalar tIn = entry.f[k];
                const scalar tOut = exit.f[k];
                if (tIn > tOut)
                    continue;
                const scalar y_min = tIn * w[1] + x[1];
                const scalar y_max = tOut * w[1] + x[1];
                const scalar bbMaxY = qkd_sampleHeight(qkd, childNode->maxH);
                if (y_min > bbMaxY && y_max > bbMaxY)
                    continue;  // passes above
                const scalar bbMinY = qkd_sampleHeight(qkd, childNode->minH);
                if (!(y_min >= bbMinY || y_max >= bbMinY))
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
            const int r = intersectLeaf(t, N, mat, cur.centerXZ, qkd->S05[cur.rec], ray, cur.node,
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
    scalar t_min, t_max;
    if (!intersectRayAABB(&t_min, &t_max, ray, qkd->bbMin, qkd->bbMax))
        return 0;
    if (t_min >= t_max)
        return 0;
    if (t_max <= 0.0f)
        return 0;
    if (t_min < 0.0f)
        t_min = 0.0f;
    ++g_qkdStats.numRaysHitRoot;

    *t = FLT_MAX;
    mat->rgb[0] = mat->rgb[1] = mat->rgb[2] = 0.0f;

    const scalar inv_w[3] = {1.0f / ray->w[0], 1.0f / ray->w[1], 1.0f / ray->w[2]};
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
