// The QKD tree: a complete quad-tree of min/max heights over a square
// heightmap. Leaves hold no geometry; their triangles are cut from the
// heightmap when a ray reaches them.
#ifndef TESK_QKD_H
#define TESK_QKD_H

#include <cstdint>

#include "tesk.h"

typedef uint16_t t_qkdHeightVal;

struct t_qkd_node {
    t_qkdHeightVal minH;  // lowest sample of the node's square, borders included
    t_qkdHeightVal maxH;  // highest sample of the node's square
    union {
        uint32_t ofs;          // inner node: first child index minus own index
        uint32_t heightmapUL;  // leaf: index of its upper-left sample in the heightmap
    };
};
static_assert(sizeof(t_qkd_node) == 8, "a tree node is eight bytes");

struct t_qkd {
    t_qkdHeightVal* heightmap;  // size * size samples, row-major
    uint32_t size;              // samples per side
    uint32_t minNodeSize;       // leaf width in cells
    scalar s;                   // world width in x and z
    scalar h;                   // world height of the sample 65535
    uint32_t numNodes;
    uint32_t numRecursions;  // level of the leaves; the root is level 0
    uint32_t nodeFree;
    t_qkd_node* nodes;
    scalar* S05;    // half the world width of a node, per level
    uint32_t* W05;  // size >> level
    scalar bbMin[3];
    scalar bbMax[3];
    scalar groundColorA[3];
    // World x of every column and z of every row, worked out once from the
    // sample index: a vertex shared by neighbouring leaves then has the same
    // coordinates in each. One block of 2 * size scalars; vertexZ points
    // into it.
    scalar* vertexX;
    scalar* vertexZ;
};

struct t_qkd_stats {
    uint64_t numLeafsVisited;
    uint64_t numNodesVisited;
    uint64_t numRaysHitRoot;
};
extern t_qkd_stats g_qkdStats;

// World height of a sample. Every user evaluates it this one way, so that a
// node's height bounds contain its triangles' vertices exactly.
static inline scalar qkd_sampleHeight(const t_qkd* qkd, t_qkdHeightVal sample)
{
    const double heightScale = 1.5259021896696422e-05 * (double)qkd->h;
    return (scalar)((double)sample * heightScale);
}

int invalidate_qkd(t_qkd* qkd);
int intersect_qkd(scalar* t, scalar* N, t_material* mat, const t_ray* ray, const t_qkd* qkd);
int render_qkd_mlrta(const t_qkd* qkd, int x, int y, int size, t_pixel* p_pbuff, t_ray* p_rbuff,
                     unsigned int STRIDE, t_matrix* matView);

#endif
